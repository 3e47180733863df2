// The BLE central link over an in-memory platform whose every answer a test can script:
// the connect attempts and their texts, the paced writer, heal and autodial decisions.
#include "ble/link.h"
#include "protocol/product.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <optional>

#include "platform/debug_log.h"

namespace dovan::ble {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Uuid make_uuid(std::string_view text) { return *Uuid::parse(text); }

struct FakeWrite final : WriteOperation {
    AsyncStatus st = AsyncStatus::Started;
    GattStatus result = GattStatus::Success;
    AsyncStatus status() const override { return st; }
    Result<GattStatus> results() const override { return result; }
};

struct FakeChar final : Characteristic {
    Uuid id;
    explicit FakeChar(Uuid u) : id(u) {}
    GattStatus subscribe_answer = GattStatus::Success;
    ValueHandler handler;
    std::vector<Bytes> written;
    std::vector<std::shared_ptr<FakeWrite>> ops;
    bool refuse_writes = false;
    bool complete_at_once = false;
    std::optional<std::uint16_t> reported_mtu;
    std::optional<std::uint16_t> mtu() const override { return reported_mtu; }

    Uuid uuid() const override { return id; }
    Result<GattStatus> subscribe_notify() override { return subscribe_answer; }
    Result<std::uint64_t> add_value_changed(ValueHandler h) override {
        handler = std::move(h);
        return std::uint64_t{1};
    }
    Status remove_value_changed(std::uint64_t) override {
        handler = nullptr;
        return {};
    }
    Result<std::shared_ptr<WriteOperation>> write_value(ByteView value) override {
        if (refuse_writes) return fail_text("写入被拒");
        written.emplace_back(value.begin(), value.end());
        ops.push_back(std::make_shared<FakeWrite>());
        if (complete_at_once) ops.back()->st = AsyncStatus::Completed;
        return std::shared_ptr<WriteOperation>(ops.back());
    }
};

struct FakeService final : Service {
    Uuid id = make_uuid(kServiceUuid);
    std::shared_ptr<FakeChar> write = std::make_shared<FakeChar>(make_uuid(kWriteCharUuid));
    std::shared_ptr<FakeChar> notify = std::make_shared<FakeChar>(make_uuid(kNotifyCharUuid));
    bool lacks_notify = false;
    Uuid uuid() const override { return id; }
    Result<CharacteristicsResult> characteristics_for_uuid(const Uuid& u) override {
        CharacteristicsResult r{GattStatus::Success, {}};
        if (u == write->id) r.characteristics.push_back(write);
        if (u == notify->id && !lacks_notify) r.characteristics.push_back(notify);
        return r;
    }
};

// How one connect attempt's service discovery answers.
struct Discovery {
    GattStatus targeted = GattStatus::Success;
    bool targeted_empty = false;
    GattStatus full = GattStatus::Success;
};

struct FakeDevice final : Device {
    std::uint64_t addr = 0;
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::deque<Discovery>* script = nullptr;
    Discovery current;
    std::uint64_t address() const override { return addr; }
    Result<ServicesResult> services_for_uuid(const Uuid&) override {
        if (script && !script->empty()) {
            current = script->front();
            script->pop_front();
        } else {
            current = {};
        }
        ServicesResult r{current.targeted, {}};
        if (current.targeted == GattStatus::Success && !current.targeted_empty) r.services.push_back(service);
        return r;
    }
    Result<ServicesResult> all_services() override {
        ServicesResult r{current.full, {}};
        if (current.full == GattStatus::Success) r.services.push_back(service);
        return r;
    }
    LinkStateHandler link_state;
    Status on_link_state(LinkStateHandler h) override {
        link_state = std::move(h);
        return {};
    }
    // The platform's word that the connection went.
    void drop(std::string reason) {
        if (link_state) link_state(LinkStateEvent{false, std::move(reason)});
    }
};

struct FakeWatcher final : Watcher {
    AdvertisementHandler* out;
    explicit FakeWatcher(AdvertisementHandler* o) : out(o) {}
    Status set_active_scanning() override { return {}; }
    Status on_received(AdvertisementHandler h) override {
        *out = std::move(h);
        return {};
    }
    Status start() override { return {}; }
};

struct FakeAdapter final : Adapter {
    std::map<std::uint64_t, std::shared_ptr<FakeDevice>> devices;
    std::deque<Discovery> script;
    int opened = 0;
    AdvertisementHandler advertised;
    Result<std::unique_ptr<Watcher>> create_watcher() override {
        return std::unique_ptr<Watcher>(std::make_unique<FakeWatcher>(&advertised));
    }
    Result<std::shared_ptr<Device>> device_from_address(std::uint64_t a) override {
        ++opened;
        auto it = devices.find(a);
        if (it == devices.end()) return fail_text("设备不在");
        it->second->script = &script;
        return std::shared_ptr<Device>(it->second);
    }
};

struct FakeHost final : LinkHost {
    std::vector<std::string> notices;
    bool tcp = false;
    int prepared = 0;
    std::vector<TrustedPeer> trusted;
    std::vector<TrustedPeer> stored_names;
    std::atomic<int> scan_changes{0};
    std::optional<std::uint64_t> connecting;
    int connect_failures = 0;
    std::string peer;
    bool auto_connect = true;
    bool deciding = false;
    void push_notice(std::string_view t) override { notices.emplace_back(t); }
    void scan_list_changed() override { ++scan_changes; }
    void value_arrived() override { ++values; }
    std::atomic<int> values{0};
    void link_state_changed() override { ++state_changes; }
    std::atomic<int> state_changes{0};
    void ble_lost(std::string_view reason) override { losses.emplace_back(reason); }
    std::vector<std::string> losses;
    void connecting_to(std::uint64_t address) override { connecting = address; }
    void connect_failed() override { ++connect_failures; }
    std::string peer_name() const override { return peer; }
    bool auto_connect_enabled() const override { return auto_connect; }
    bool user_deciding() const override { return deciding; }
    void engine_ending() override { ++endings; }
    int endings = 0;
    void before_connect() override { ++prepared; }
    bool tcp_channel_bound() const override { return tcp; }
    EngineConfig engine_config() const override {
        EngineConfig c;
        c.device_name = std::string(kPcDeviceName);
        c.app_version = "0.5.3";
        return c;
    }
    std::vector<TrustedPeer> trusted_peers() const override { return trusted; }
    std::vector<TrustedPeer> stored_peer_names() const override { return stored_names; }
};

constexpr std::uint64_t kPhone = 0xA1B2C3D4E5F6;

class LinkTest : public ::testing::Test {
protected:
    LinkTest() {
        adapter->devices[kPhone] = device;
        EXPECT_TRUE(link.start(adapter).ok());
    }

    void SetUp() override { link.scan_list().note(kPhone, "Dovan", clock.now()); }

    // Every sighting so far is older than any age.
    void forget_sightings() { link.scan_list().expire(clock.now() + std::chrono::hours(24), seconds(0)); }

    FakeClock clock;
    std::shared_ptr<FakeAdapter> adapter = std::make_shared<FakeAdapter>();
    std::shared_ptr<FakeDevice> device = [] {
        auto d = std::make_shared<FakeDevice>();
        d->addr = kPhone;
        return d;
    }();
    FakeHost host;
    LinkState st;
    Link link{clock, host, st};
};

TEST(Advertisements, AcceptedByExactNameOrByTheServiceUuid) {
    const Uuid service = make_uuid(kServiceUuid);
    const Uuid other = make_uuid("0000180f-0000-1000-8000-00805f9b34fb");
    struct Case {
        std::string name;
        std::vector<Uuid> uuids;
        bool accepted;
    } cases[] = {
        {"Dovan", {}, true},
        {"Pixel 8", {other, service}, true},
        {"", {service}, true},
        {"dovan", {}, false},
        {"Dovan ", {other}, false},
        {"Pixel 8", {other}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_dovan_advertisement(Advertisement{1, c.name, c.uuids}), c.accepted) << c.name;
    }
}

TEST_F(LinkTest, ScanListKeepsOrderOfLastSightingAndOldNamesForEmptyAdverts) {
    const Uuid service = make_uuid(kServiceUuid);
    forget_sightings();
    adapter->advertised({0x1, "Dovan", {}});
    adapter->advertised({0x2, "Pixel 8", {service}});
    adapter->advertised({0x3, "Headphones", {}});  // not ours
    clock.advance(seconds(2));
    adapter->advertised({0x1, "", {service}});
    EXPECT_EQ(link.scan_list().devices(), (std::vector<ScannedDevice>{{0x2, "Pixel 8"}, {0x1, "Dovan"}}));
    EXPECT_EQ(link.scan_list().last_seen(0x1), clock.now());
    EXPECT_FALSE(link.scan_list().last_seen(0x3));
    // The host hears of the two new devices; a re-sighting that shows nothing new is quiet.
    EXPECT_EQ(host.scan_changes, 2);
}

TEST_F(LinkTest, ConnectSubscribesCreatesTheEngineAndQueuesHello) {
    st.ble_write_failures = 4;
    link.connect({kPhone, "Dovan"});
    ASSERT_NE(st.engine, nullptr);
    EXPECT_EQ(host.prepared, 1);
    EXPECT_EQ(st.ble_write_failures, 0u);
    EXPECT_TRUE(link.connected());
    EXPECT_EQ(link.connected_address(), kPhone);
    EXPECT_NE(device->service->notify->handler, nullptr);
    EXPECT_FALSE(st.engine->ble_out().empty());  // the first HELLO, at once
    EXPECT_EQ(host.connecting, kPhone);
    EXPECT_TRUE(host.notices.empty());

    // A value the phone notifies lands in the engine on the next drain.
    const Instant before = st.last_rx;
    clock.advance(seconds(3));
    device->service->notify->handler(Bytes{0x00});
    link.drain_inbound();
    EXPECT_EQ(st.last_rx, before + seconds(3));
}

// The MTU the stack reports is where the engine's value starts, and a later report raises
// it; like a long notification's, it never lowers the value, and a size outside 23..517 is
// no MTU at all.
TEST_F(LinkTest, TheMtuTheStackReportsRaisesTheEnginesAndNeverLowersIt) {
    auto& write = *device->service->write;
    write.reported_mtu = 40;
    link.connect({kPhone, "Dovan"});
    ASSERT_NE(st.engine, nullptr);
    EXPECT_EQ(st.engine->ble_mtu(), 40u);
    EXPECT_EQ(st.engine->ble_out().front().size(), 37u) << "HELLO is cut to the reported size";
    struct Step {
        std::optional<std::uint16_t> reported;
        std::size_t notified;  // a notification of this length first (0: none)
        std::size_t mtu;
    };
    const Step steps[] = {
        {300, 0, 300}, {200, 0, 300}, {600, 0, 300}, {0, 0, 300}, {std::nullopt, 0, 300},
        {std::nullopt, 400, 400}, {350, 0, 400}, {517, 0, 517},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.reported ? static_cast<int>(*s.reported) : -1);
        write.reported_mtu = s.reported;
        if (s.notified) {
            device->service->notify->handler(Bytes(s.notified, 0));
            link.drain_inbound();
        }
        link.write_pass();
        EXPECT_EQ(st.engine->ble_mtu(), s.mtu);
    }
}

TEST_F(LinkTest, FiveFailedDiscoveriesThenSuccessGiveTheConsoleLineAndNoNotice) {
    for (int i = 0; i < 5; ++i) adapter->script.push_back({GattStatus::Unreachable, false, GattStatus::Unreachable});
    const Instant t0 = clock.now();
    ::testing::internal::CaptureStderr();
    link.connect({kPhone, "Dovan"});
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Dovan] BLE 连接在第 6 次尝试成功"), std::string::npos) << err;
    EXPECT_TRUE(host.notices.empty());
    EXPECT_NE(st.engine, nullptr);
    EXPECT_EQ(clock.now() - t0, milliseconds(3500));  // five 700 ms pauses, on the clock
}

TEST_F(LinkTest, ConnectFailuresEndInOneNoticeWithTheLastErrorAndTheRetryCount) {
    struct Case {
        std::function<void()> arrange;
        std::string notice;
    } cases[] = {
        {[&] { adapter->devices.clear(); },
         "BLE 连接失败: 取设备句柄失败: 设备不在（已重试 6 次）"},
        {[&] {
             for (int i = 0; i < 6; ++i)
                 adapter->script.push_back({GattStatus::Unreachable, false, GattStatus::AccessDenied});
         },
         "BLE 连接失败: 对端不可达/服务发现失败（按 UUID 查询: Unreachable，全量枚举: AccessDenied）（已重试 6 次）"},
        {[&] {
             device->service->id = make_uuid("0000180f-0000-1000-8000-00805f9b34fb");
             for (int i = 0; i < 6; ++i) adapter->script.push_back({GattStatus::Success, true, GattStatus::Success});
         },
         "BLE 连接失败: 对端未提供 Dovan 服务（已枚举 1 个服务；请确认手机端 Dovan 已启动且蓝牙已开启）（已重试 6 次）"},
        {[&] { device->service->lacks_notify = true; },
         "BLE 连接失败: 对端缺少特征 44564e02-0000-1000-8000-00805f9b34fb（GATT 服务不完整）（已重试 6 次）"},
    };
    for (auto& c : cases) {
        FakeClock clock;
        FakeHost host;
        LinkState st;
        adapter = std::make_shared<FakeAdapter>();
        device = std::make_shared<FakeDevice>();
        device->addr = kPhone;
        adapter->devices[kPhone] = device;
        c.arrange();
        Link link(clock, host, st);
        (void)link.start(adapter);
        const Instant t0 = clock.now();
        link.connect({kPhone, "Dovan"});
        EXPECT_EQ(host.notices, std::vector<std::string>{c.notice});
        EXPECT_EQ(st.engine, nullptr);
        EXPECT_EQ(host.connect_failures, 1);
        EXPECT_EQ(clock.now() - t0, milliseconds(3500));
        EXPECT_EQ(adapter->opened, 6);
    }
}

TEST_F(LinkTest, TargetedDiscoveryAnsweredEmptyFallsBackToTheFullList) {
    adapter->script.push_back({GattStatus::Success, true, GattStatus::Success});
    link.connect({kPhone, "Dovan"});
    EXPECT_NE(st.engine, nullptr);
    EXPECT_EQ(adapter->opened, 1);
    EXPECT_TRUE(host.notices.empty());
}

TEST_F(LinkTest, RefusedSubscriptionStopsWithoutAnEngine) {
    device->service->notify->subscribe_answer = GattStatus::AccessDenied;
    link.connect({kPhone, "Dovan"});
    EXPECT_EQ(host.notices, std::vector<std::string>{"BLE 订阅失败: AccessDenied"});
    EXPECT_EQ(st.engine, nullptr);
}

class Writer : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        link.connect({kPhone, "Dovan"});
        ASSERT_NE(st.engine, nullptr);
        (void)st.engine->take_ble_fragments();
        for (std::uint8_t i = 0; i < 12; ++i) st.engine->queue_ble_fragment_for_test(Bytes{i});
    }
    FakeChar& out() { return *device->service->write; }
    void complete_last(GattStatus s = GattStatus::Success) {
        out().ops.back()->st = AsyncStatus::Completed;
        out().ops.back()->result = s;
    }
};

TEST_F(Writer, OneWriteInFlightAndAStalledOneEndsThePassAt150msWithoutFailure) {
    const Instant t0 = clock.now();
    link.write_pass();
    EXPECT_EQ(out().written.size(), 1u);
    EXPECT_EQ(clock.now() - t0, milliseconds(150));  // polled every 2 ms until the budget ran out
    EXPECT_TRUE(link.write_in_flight());
    EXPECT_EQ(st.ble_write_failures, 0u);
    EXPECT_TRUE(host.notices.empty());

    // Next pass: the write completes and the writer goes on, one at a time, in order.
    complete_last();
    link.write_pass();
    ASSERT_EQ(out().written.size(), 2u);
    EXPECT_EQ(out().written[1], Bytes{1});
}

TEST_F(Writer, AtMostEightWritesStartPerPass) {
    out().complete_at_once = true;
    link.write_pass();
    EXPECT_EQ(out().written.size(), 8u);
    link.write_pass();
    EXPECT_EQ(out().written.size(), 12u);
    for (std::uint8_t i = 0; i < 12; ++i) EXPECT_EQ(out().written[i], Bytes{i});
}

TEST_F(Writer, FailedWriteKeepsTheFragmentFirstAndShowsEachNewErrorOnce) {
    link.write_pass();
    out().ops.back()->st = AsyncStatus::Error;
    link.write_pass();
    EXPECT_EQ(st.ble_write_failures, 1u);
    EXPECT_EQ(link.fragments_waiting(), 12u);  // held for the retry, first in line
    EXPECT_FALSE(link.write_in_flight());

    link.write_pass();  // the same fragment again
    EXPECT_EQ(out().written.back(), Bytes{0});
    out().ops.back()->st = AsyncStatus::Error;
    link.write_pass();
    EXPECT_EQ(st.ble_write_failures, 2u);

    link.write_pass();
    complete_last(GattStatus::Unreachable);
    link.write_pass();
    EXPECT_EQ(st.ble_write_failures, 3u);
    EXPECT_EQ(host.notices, (std::vector<std::string>{"BLE 发送失败: BLE 写出错（链路可能已断开）",
                                                      "BLE 发送失败: BLE 写未完成: Unreachable"}));
    // Only an acknowledged write tells that the phone has the fragment.
    EXPECT_EQ(st.engine->ble_fragments_written(), 0u);

    link.write_pass();
    complete_last();
    link.write_pass();
    EXPECT_EQ(st.ble_write_failures, 0u);
    EXPECT_EQ(out().written[out().written.size() - 2], Bytes{0});
    EXPECT_EQ(out().written.back(), Bytes{1});
    EXPECT_EQ(st.engine->ble_fragments_written(), 1u);

    // A new connection lets the host settle the old session before it is dropped.
    EXPECT_EQ(host.endings, 0);
    link.connect({kPhone, "Dovan"});
    EXPECT_EQ(host.endings, 1);
}

TEST_F(Writer, WithoutAWriteCharacteristicTheFragmentIsKept) {
    link.teardown();
    link.write_pass();
    EXPECT_EQ(link.fragments_waiting(), 12u);
    EXPECT_EQ(st.engine->ble_out().front(), Bytes{1});  // Bytes{0} is held by the link
    EXPECT_EQ(host.notices, std::vector<std::string>{"BLE 发送失败: BLE 未连接（无写特征）"});
}

class Health : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        link.connect({kPhone, "Dovan"});
        ASSERT_NE(st.engine, nullptr);
        host.peer = "Pixel 8";
    }
    void go_silent() {
        st.ble_write_failures = 6;
        clock.advance(seconds(8));
        link.scan_list().note(kPhone, "Dovan", clock.now());
    }
};

TEST_F(Health, SixFailuresOnASilentLinkStartHealAttemptOne) {
    go_silent();
    link.heal_start();
    ASSERT_TRUE(st.heal_target.has_value());
    EXPECT_EQ(st.heal_target->names, (std::vector<std::string>{"Dovan", "Pixel 8"}));
    EXPECT_EQ(st.heal_target->deadline, clock.now() + seconds(30));
    EXPECT_EQ(st.heal_attempts, 1u);
    EXPECT_EQ(st.ble_write_failures, 0u);
    EXPECT_FALSE(link.connected());
    EXPECT_NE(st.engine, nullptr);  // only the link is torn down
    EXPECT_EQ(host.notices.back(),
              "蓝牙链路无响应，正在等「Dovan」重新广播后重连（第 1 次，期间文件传输会中断）");

    // The phone advertises again: the heal wait reconnects at once.
    link.heal_wait();
    EXPECT_FALSE(st.heal_target.has_value());
    EXPECT_TRUE(link.connected());
    EXPECT_EQ(st.heal_attempts, 0u);
}

TEST_F(Health, WithATcpConnectionOnlyTheCounterResets) {
    host.tcp = true;
    go_silent();
    link.heal_start();
    EXPECT_FALSE(st.heal_target.has_value());
    EXPECT_EQ(st.ble_write_failures, 0u);
    EXPECT_TRUE(link.connected());
    EXPECT_TRUE(host.notices.empty());
}

TEST_F(Health, NoHealBeforeFiveSecondsOfSilence) {
    st.ble_write_failures = 6;
    clock.advance(seconds(8));
    st.last_rx = clock.now() - seconds(4);
    link.heal_start();
    EXPECT_FALSE(st.heal_target.has_value());
    EXPECT_EQ(st.ble_write_failures, 6u);
}

TEST_F(Health, AHealThatNeverSeesThePhoneGivesUpAfter30Seconds) {
    go_silent();
    link.heal_start();
    forget_sightings();
    clock.advance(seconds(29));
    link.heal_wait();
    ASSERT_TRUE(st.heal_target.has_value());
    clock.advance(seconds(1));
    link.heal_wait();
    EXPECT_FALSE(st.heal_target.has_value());
    EXPECT_EQ(host.notices.back(),
              "没等到「Dovan」重新广播：请把手机上的 Dovan 切到前台，再在「连接」页点一次设备");
}

TEST_F(Health, ThirdHealHasItsOwnTextAndNamelessPhoneCannotBeHealed) {
    st.heal_attempts = 2;
    go_silent();
    link.heal_start();
    EXPECT_EQ(host.notices.back(),
              "蓝牙链路多次无响应，正在最后一次尝试等「Dovan」重新广播；还不行请确认手机开着 Dovan 并靠近电脑");

    // A phone with no name anywhere.
    st.heal_target.reset();
    st.heal_attempts = 0;
    link.connect({kPhone, ""});
    host.peer.clear();
    go_silent();
    forget_sightings();
    link.scan_list().note(kPhone, "", clock.now());
    link.heal_start();
    EXPECT_FALSE(st.heal_target.has_value());
    EXPECT_EQ(st.heal_attempts, 3u);
    EXPECT_EQ(host.notices.back(),
              "蓝牙链路无响应，且不知道对端叫什么（无法自动重连）：请在「连接」页点一次设备");
}

// The platform's word that the connection went is acted on in the core's next turn, as a
// heartbeat timeout would be, not 30 or 60 s later.
class Loss : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        link.connect({kPhone, "Dovan"});
        ASSERT_NE(st.engine, nullptr);
    }
    // Drives the session to `to` through the engine's own transitions.
    void reach(EngineState to) {
        if (to == EngineState::Discover) return;
        ASSERT_TRUE(st.engine->transition(EngineEvent{EngineEventKind::PeerDiscovered}));
        if (to == EngineState::Paired) {
            ASSERT_TRUE(st.engine->transition(EngineEvent::handshake_complete(TrustVerdict::Matched)));
        }
        (void)st.engine->take_events();
    }
};

TEST_F(Loss, ALostConnectionEndsTheSessionAtOnceWhateverItHadQueued) {
    const struct {
        EngineState before;
        EngineState after;
    } cases[] = {
        {EngineState::Handshake, EngineState::Reconnecting},
        {EngineState::Paired, EngineState::Reconnecting},
        {EngineState::Discover, EngineState::Discover},  // no peer yet: nothing to lose
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.before));
        link.connect({kPhone, "Dovan"});
        host.losses.clear();
        reach(c.before);
        ASSERT_FALSE(st.engine->ble_out().empty());  // the HELLO, not yet written
        const Instant lost_at = clock.now();
        device->drop("对端断开了 GATT 连接");
        EXPECT_EQ(host.state_changes, 1);
        host.state_changes = 0;
        EXPECT_TRUE(link.connected()) << "only the core's turn acts on it";

        link.drain_inbound();
        EXPECT_EQ(clock.now(), lost_at);
        EXPECT_EQ(st.engine->state(), c.after);
        EXPECT_FALSE(link.connected());
        EXPECT_EQ(host.losses, std::vector<std::string>{"对端断开了 GATT 连接"});
        // What waited for the dead link is gone and counted as never written; nothing new
        // can be queued for it.
        EXPECT_EQ(link.fragments_waiting(), 0u);
        EXPECT_GT(st.engine->ble_fragments_queued(), st.engine->ble_fragments_written());
        st.engine->send_hello();
        EXPECT_TRUE(st.engine->ble_out().empty());
        link.write_pass();
        EXPECT_EQ(st.ble_write_failures, 0u);

        // The news comes once.
        link.drain_inbound();
        EXPECT_EQ(host.losses.size(), 1u);
    }
}

TEST_F(Loss, WordOfAnEarlierConnectionOrOfADroppedOneChangesNothing) {
    reach(EngineState::Paired);
    auto old_handler = device->link_state;
    ASSERT_NE(old_handler, nullptr);
    link.connect({kPhone, "Dovan"});  // a new connection on the same device
    reach(EngineState::Paired);
    old_handler(LinkStateEvent{false, "旧连接"});
    link.drain_inbound();
    EXPECT_TRUE(link.connected());
    EXPECT_EQ(st.engine->state(), EngineState::Paired);
    EXPECT_TRUE(host.losses.empty());

    // A link the heal tore down on purpose stops listening.
    link.teardown();
    EXPECT_EQ(device->link_state, nullptr);
}

class Autodial : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        host.trusted = {{"0011223344556677", "Pixel 8"}, {"8899aabbccddeeff", ""}};
        host.stored_names = {{"0011223344556677", "Dovan"}, {"ffffffffffffffff", "Stranger"}};
    }
};

TEST_F(Autodial, ArmListsStoredNamesOfTrustedPhonesThenTheirOwnNames) {
    DebugCapture capture;
    link.arm_autodial("startup");
    ASSERT_TRUE(st.autodial_names.has_value());
    EXPECT_EQ(*st.autodial_names, (std::vector<std::string>{"Dovan", "Pixel 8"}));
    auto events = capture.events("autodial.arm");
    ASSERT_EQ(events.size(), 1u);
    link.arm_autodial("paired");  // same list: no second event
    EXPECT_EQ(capture.events("autodial.arm").size(), 1u);

    host.auto_connect = false;
    link.arm_autodial("paired");
    EXPECT_FALSE(st.autodial_names.has_value());
}

TEST_F(Autodial, DialsAKnownPhoneWithoutAnEngineAndWaitsThirtySecondsBetweenTries) {
    link.arm_autodial("startup");
    link.autodial();
    EXPECT_NE(st.engine, nullptr);
    EXPECT_EQ(st.autodial_next, clock.now() + seconds(30));
}

TEST_F(Autodial, PendingDecisionsClearTheNamesInsteadOfDialling) {
    for (int which = 0; which < 3; ++which) {
        link.arm_autodial("startup");
        host.auto_connect = true;
        host.deciding = which < 2;  // a SAS or an identity prompt is open
        if (which == 2) {
            link.arm_autodial("startup");
            host.auto_connect = false;
        }
        link.autodial();
        EXPECT_FALSE(st.autodial_names.has_value()) << which;
        EXPECT_EQ(st.engine, nullptr) << which;
    }
}

// An idle BLE-only session is quiet for a whole heartbeat interval; that alone is no
// reason to replace it. A session that is lost is replaced as soon as the phone is seen.
TEST_F(Autodial, OnlyALostSessionIsReplaced) {
    link.arm_autodial("paired");
    link.connect({kPhone, "Dovan"});
    ASSERT_TRUE(st.engine->transition(EngineEvent{EngineEventKind::PeerDiscovered}));
    ASSERT_TRUE(st.engine->transition(EngineEvent::handshake_complete(TrustVerdict::Matched)));
    const Engine* session = st.engine.get();
    const int opened = adapter->opened;
    clock.advance(seconds(31));
    link.scan_list().note(kPhone, "Dovan", clock.now());
    link.autodial();
    EXPECT_EQ(adapter->opened, opened);
    EXPECT_EQ(st.engine.get(), session);

    // The platform says the link went: the next sighting dials, without 30 s of silence;
    // one from before the loss does not.
    st.last_rx = clock.now();
    device->drop("对端断开了 GATT 连接");
    link.drain_inbound();
    link.autodial();
    EXPECT_EQ(adapter->opened, opened);
    clock.advance(milliseconds(300));
    link.scan_list().note(kPhone, "Dovan", clock.now());
    link.autodial();
    EXPECT_EQ(adapter->opened, opened + 1);
    EXPECT_EQ(st.engine->state(), EngineState::Discover) << "a new session";
    EXPECT_TRUE(link.connected());
}

TEST_F(Autodial, TheTrustedPhonesAddressGoesFirstAndAStrangerIsPassedOver) {
    constexpr std::uint64_t kNeighbour = 0x00DEADBEEF00;
    auto neighbour = std::make_shared<FakeDevice>();
    neighbour->addr = kNeighbour;
    adapter->devices[kNeighbour] = neighbour;
    link.arm_autodial("paired");
    st.trusted_address = kPhone;
    // The neighbour advertises the phone's name and was seen last.
    link.scan_list().note(kNeighbour, "Dovan", clock.now());
    link.autodial();
    EXPECT_EQ(link.connected_address(), kPhone);
    EXPECT_FALSE(st.dialed_by_itself) << "a new key at the phone's own address is the user's to judge";

    // The phone goes away; only the neighbour advertises.
    device->drop("对端断开了 GATT 连接");
    link.drain_inbound();
    forget_sightings();
    clock.advance(seconds(30));
    link.scan_list().note(kNeighbour, "Dovan", clock.now());
    link.autodial();
    ASSERT_EQ(link.connected_address(), kNeighbour);
    EXPECT_TRUE(st.dialed_by_itself);
    // Its key proves it another phone: dropped without a word, and the search goes on.
    const std::size_t notices = host.notices.size();
    link.drop_stranger();
    EXPECT_EQ(st.engine, nullptr);
    EXPECT_FALSE(link.connected());
    EXPECT_EQ(st.strangers, std::vector<std::uint64_t>{kNeighbour});
    EXPECT_TRUE(st.autodial_names.has_value());
    EXPECT_FALSE(st.autodial_next.has_value());
    EXPECT_EQ(host.notices.size(), notices);
    const int opened = adapter->opened;
    link.autodial();
    EXPECT_EQ(adapter->opened, opened) << "the stranger is not dialled again";
    clock.advance(seconds(1));
    link.scan_list().note(kPhone, "Dovan", clock.now());
    link.autodial();
    EXPECT_EQ(link.connected_address(), kPhone);
}

// A dial at the last sighting before the phone went finds nobody. The phone coming back
// a few seconds later is dialled at its first sighting, not when 30 s have passed.
TEST_F(Autodial, AfterADialThatFoundNoPhoneTheNextSightingDialsAtOnce) {
    adapter->devices.clear();  // gone, though just seen
    link.arm_autodial("paired");
    link.autodial();
    ASSERT_EQ(st.engine, nullptr);
    const int opened = adapter->opened;
    link.autodial();
    EXPECT_EQ(adapter->opened, opened) << "the sighting from before the failure proves nothing";

    adapter->devices[kPhone] = device;
    clock.advance(seconds(4));
    link.scan_list().note(kPhone, "Dovan", clock.now());
    link.autodial();
    EXPECT_EQ(adapter->opened, opened + 1);
    EXPECT_NE(st.engine, nullptr);
    EXPECT_EQ(st.autodial_attempts, 1u);
}

TEST_F(Autodial, ThreeDialsWithoutAnEngineGiveUp) {
    adapter->devices.clear();
    link.arm_autodial("startup");
    for (int i = 0; i < 3; ++i) {
        link.autodial();
        clock.advance(seconds(30));
        link.scan_list().note(kPhone, "Dovan", clock.now());
    }
    EXPECT_FALSE(st.autodial_names.has_value());
    EXPECT_EQ(host.notices.back(),
              "自动连接试了三次都没成功：请在「连接」页点一次设备，或到设置页关掉「自动连接已绑定设备」");
}

}  // namespace
}  // namespace dovan::ble
