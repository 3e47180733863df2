// The BlueZ backend against the stand-in on a private bus, with a simulated phone behind
// it: what the platform interface promises, and what it does when the stack misbehaves.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "bluez/private_bus.h"
#include "platform/bluez/bluez.h"
#include "platform/bluez/names.h"
#include "platform/bluez/props.h"
#include "ble/link.h"
#include "ble/scan_list.h"
#include "ble/sim_service.h"
#include "platform/clock.h"
#include "platform/sim/sim_peripheral.h"
#include "protocol/product.h"
#include "standin.h"

namespace dovan::bluez {
namespace {

using namespace std::chrono_literals;
using ble::AsyncStatus;
using ble::GattStatus;
using ble::Uuid;

const Uuid kService = *Uuid::parse(kServiceUuid);
const Uuid kWrite = *Uuid::parse(kWriteCharUuid);
const Uuid kNotify = *Uuid::parse(kNotifyCharUuid);
const Uuid kOther = *Uuid::parse("0000180f-0000-1000-8000-00805f9b34fb");
constexpr std::uint64_t kPhone = 0xC0FFEE000001;

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

// Advertisements as the watcher hands them over.
struct Sightings {
    std::mutex mu;
    std::vector<ble::Advertisement> all;
    void add(const ble::Advertisement& a) {
        std::lock_guard lock(mu);
        all.push_back(a);
    }
    std::optional<ble::Advertisement> last_of(std::uint64_t address) {
        std::lock_guard lock(mu);
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            if (it->address == address) return *it;
        return std::nullopt;
    }
    std::size_t count() {
        std::lock_guard lock(mu);
        return all.size();
    }
    std::size_t count_of(std::uint64_t address) {
        std::lock_guard lock(mu);
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [&](const ble::Advertisement& a) { return a.address == address; }));
    }
};

// Values the notification handler received.
struct Values {
    std::mutex mu;
    std::vector<Bytes> all;
    void add(Bytes v) {
        std::lock_guard lock(mu);
        all.push_back(std::move(v));
    }
    bool has(const Bytes& v) { return count(v) > 0; }
    std::size_t count(const Bytes& v) {
        std::lock_guard lock(mu);
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), v));
    }
};

struct Attached {
    std::shared_ptr<ble::Device> device;
    std::shared_ptr<ble::Characteristic> write;
    std::shared_ptr<ble::Characteristic> notify;
};

// Another client of the bus. What it sends it addresses to each other connection in turn:
// the bus delivers such signals whatever match rules the receiver has.
class Stranger {
public:
    explicit Stranger(const std::string& address) {
        ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
              sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0;
    }
    ~Stranger() {
        if (bus_) sd_bus_flush_close_unref(bus_);
    }
    Stranger(const Stranger&) = delete;
    Stranger& operator=(const Stranger&) = delete;
    bool ok() const { return ok_; }
    std::string unique_name() const {
        const char* n = nullptr;
        return sd_bus_get_unique_name(bus_, &n) >= 0 && n ? n : "";
    }
    std::string owner_of(const char* name) {
        sd_bus_message* reply = nullptr;
        const char* owner = nullptr;
        std::string out;
        if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetNameOwner", nullptr, &reply, "s", name) >= 0 &&
            sd_bus_message_read(reply, "s", &owner) >= 0 && owner)
            out = owner;
        sd_bus_message_unref(reply);
        return out;
    }
    // The object of bluetoothd's tree with this interface and UUID.
    std::string find_object(const char* iface, const std::string& uuid) {
        sd_bus_message* reply = nullptr;
        std::string found;
        int r = sd_bus_call_method(bus_, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                   nullptr, &reply, "");
        if (r >= 0) r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
        while (r >= 0 && sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}") > 0) {
            const char* path = nullptr;
            IfaceMap ifaces;
            if (sd_bus_message_read_basic(reply, 'o', &path) < 0 || read_ifaces(reply, ifaces) < 0) break;
            auto i = ifaces.find(iface);
            const std::string* u = i == ifaces.end() ? nullptr : prop_string(i->second, "UUID");
            if (u && *u == uuid) found = path;
            sd_bus_message_exit_container(reply);
        }
        sd_bus_message_unref(reply);
        return found;
    }
    // A method of bluetoothd's without arguments, or SetDiscoveryFilter with an RSSI
    // threshold when `rssi` is given; the error name, empty on success.
    std::string call(const std::string& path, const char* member, const char* iface = "org.bluez.GattCharacteristic1",
                     std::optional<int> rssi = std::nullopt) {
        sd_bus_message* m = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_message_new_method_call(bus_, &m, "org.bluez", path.c_str(), iface, member);
        if (r >= 0 && std::string(member) == "SetDiscoveryFilter")
            r = rssi ? sd_bus_message_append(m, "a{sv}", 1, "RSSI", "n", static_cast<std::int16_t>(*rssi))
                     : sd_bus_message_append(m, "a{sv}", 0);
        if (r >= 0) r = sd_bus_call(bus_, m, 5'000'000, &error, &reply);
        std::string out = r >= 0 ? "" : error.name ? error.name : "call failed";
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(m);
        return out;
    }
    // Returns once the bus has passed the signal on to every receiver.
    void unicast(const std::string& path, const char* iface, const char* member,
                 const std::function<int(sd_bus_message*)>& fill) {
        char** names = nullptr;
        ASSERT_GE(sd_bus_list_names(bus_, &names, nullptr), 0);
        const std::string self = unique_name();
        for (char** n = names; n && *n; ++n) {
            if ((*n)[0] == ':' && self != *n) {
                sd_bus_message* m = nullptr;
                EXPECT_GE(sd_bus_message_new_signal(bus_, &m, path.c_str(), iface, member), 0);
                EXPECT_GE(fill(m), 0);
                EXPECT_GE(sd_bus_message_set_destination(m, *n), 0);
                EXPECT_GE(sd_bus_send(bus_, m, nullptr), 0);
                sd_bus_message_unref(m);
            }
            std::free(*n);
        }
        std::free(names);
        // The bus handles one connection's messages in order: its answer comes after them.
        sd_bus_message* reply = nullptr;
        EXPECT_GE(sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "GetId", nullptr, &reply, ""),
                  0);
        sd_bus_message_unref(reply);
    }

private:
    sd_bus* bus_ = nullptr;
    bool ok_ = false;
};

// Just enough of the core for the link to connect and write.
struct QuietHost final : ble::LinkHost {
    void push_notice(std::string_view text) override { notices.emplace_back(text); }
    void scan_list_changed() override {}
    void value_arrived() override {}
    void link_state_changed() override {}
    void ble_lost(std::string_view) override {}
    void connecting_to(std::uint64_t) override {}
    void connect_failed() override {}
    std::string peer_name() const override { return {}; }
    bool auto_connect_enabled() const override { return false; }
    bool user_deciding() const override { return false; }
    void engine_ending() override {}
    void before_connect() override {}
    bool tcp_channel_bound() const override { return false; }
    EngineConfig engine_config() const override {
        EngineConfig c;
        c.device_name = std::string(kPcDeviceName);
        c.app_version = "0.5.3";
        return c;
    }
    std::vector<TrustedPeer> trusted_peers() const override { return {}; }
    std::vector<TrustedPeer> stored_peer_names() const override { return {}; }
    std::vector<std::string> notices;
};

class BluezBackend : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dvbzXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        radio_ = (dir_ / "radio").string();
        std::filesystem::create_directories(radio_);
        bus_ = std::make_unique<testing::PrivateBus>(dir_);
        ASSERT_TRUE(bus_->ready());
    }
    void TearDown() override {
        watcher_.reset();
        adapter_.reset();
        phones_.clear();
        standin_.reset();
        bus_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    BluezOptions options() const {
        BluezOptions o;
        o.bus_address = bus_->address();
        o.connect_timeout = 5s;
        o.call_timeout = 3s;
        o.write_timeout = 300ms;
        o.discovery_uuids = {kService};
        o.presence_interval = 100ms;
        o.presence_grace = 1s;
        return o;
    }
    void start_standin(bool adapter = true, bool powered = true, std::chrono::milliseconds connect_timeout = 20s,
                       std::uint16_t mtu = 185) {
        auto s = StandIn::start({bus_->address(), radio_, adapter, powered, connect_timeout, mtu});
        ASSERT_TRUE(s.ok()) << s.error().display();
        standin_ = std::move(*s);
    }
    sim::SimPeripheral& start_phone(std::uint64_t address, std::string name, std::vector<Uuid> uuids = {kService}) {
        sim::SimPeripheral::Options o;
        o.folder = radio_;
        o.address = address;
        o.name = std::move(name);
        o.advertised_uuids = std::move(uuids);
        o.services = {ble::dovan_sim_service()};
        auto p = std::make_unique<sim::SimPeripheral>(o);
        EXPECT_TRUE(p->start().ok());
        p->set_write_handler([this](const Uuid&, Bytes v) {
            std::lock_guard lock(writes_mu_);
            writes_.push_back(std::move(v));
            return write_status_.load();
        });
        p->start_advertising(50ms);
        phones_.push_back(std::move(p));
        return *phones_.back();
    }
    void open() {
        auto opened = open_bluez_adapter(options());
        ASSERT_TRUE(opened.adapter) << opened.error;
        EXPECT_EQ(opened.adapter_path, "/org/bluez/hci0");
        adapter_ = opened.adapter;
    }
    void scan() {
        auto w = adapter_->create_watcher();
        ASSERT_TRUE(w.ok());
        watcher_ = std::move(*w);
        ASSERT_TRUE(watcher_->set_active_scanning().ok());
        ASSERT_TRUE(watcher_->on_received([this](const ble::Advertisement& a) { seen_.add(a); }).ok());
        auto started = watcher_->start();
        ASSERT_TRUE(started.ok()) << started.error().display();
    }
    bool sighted(std::uint64_t address) {
        return eventually([&] { return seen_.last_of(address).has_value(); });
    }
    // The connect procedure as the link runs it, asserting each step.
    Attached attach(std::uint64_t address) {
        Attached a;
        auto dev = adapter_->device_from_address(address);
        EXPECT_TRUE(dev.ok()) << (dev.ok() ? "" : dev.error().display());
        if (!dev.ok()) return a;
        a.device = *dev;
        auto services = a.device->services_for_uuid(kService);
        EXPECT_TRUE(services.ok());
        if (!services.ok() || services->services.empty()) return a;
        EXPECT_EQ(services->status, GattStatus::Success);
        auto& service = services->services.front();
        EXPECT_EQ(service->uuid(), kService);
        for (auto [uuid, slot] : {std::pair{kWrite, &a.write}, std::pair{kNotify, &a.notify}}) {
            auto found = service->characteristics_for_uuid(uuid);
            EXPECT_TRUE(found.ok() && found->status == GattStatus::Success && found->characteristics.size() == 1);
            if (found.ok() && !found->characteristics.empty()) *slot = found->characteristics.front();
        }
        return a;
    }
    // A write that did not go through: no answer, or an answer other than Success.
    static bool write_failed(AsyncStatus st, const std::shared_ptr<ble::WriteOperation>& op) {
        return st == AsyncStatus::Error || (st == AsyncStatus::Completed && *op->results() != GattStatus::Success);
    }
    // Waits for a write's end without ever blocking inside the operation itself.
    AsyncStatus settle(const std::shared_ptr<ble::WriteOperation>& op) {
        eventually([&] { return op->status() != AsyncStatus::Started; }, 5s);
        return op->status();
    }
    std::vector<Bytes> writes() {
        std::lock_guard lock(writes_mu_);
        return writes_;
    }

    std::filesystem::path dir_;
    std::string radio_;
    std::unique_ptr<testing::PrivateBus> bus_;
    std::unique_ptr<StandIn> standin_;
    std::vector<std::unique_ptr<sim::SimPeripheral>> phones_;
    std::shared_ptr<ble::Adapter> adapter_;
    std::unique_ptr<ble::Watcher> watcher_;
    Sightings seen_;
    std::mutex writes_mu_;
    std::vector<Bytes> writes_;
    std::atomic<std::uint8_t> write_status_{0};
};

TEST_F(BluezBackend, OpeningSaysWhyThereIsNoStack) {
    struct Case {
        const char* what;
        bool standin;
        bool adapter;
        bool powered;
        const char* reason;
    };
    const Case cases[] = {
        {"nobody owns org.bluez", false, true, true, "bluetoothd not running"},
        {"bluetoothd without an adapter", true, false, true, "no Bluetooth adapter"},
        {"an adapter switched off", true, true, false, "adapter powered off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        standin_.reset();
        if (c.standin) start_standin(c.adapter, c.powered);
        auto opened = open_bluez_adapter(options());
        EXPECT_FALSE(opened.adapter);
        EXPECT_EQ(opened.error, c.reason);
    }
    // A bus that is not there at all is the same to the user: no bluetoothd to talk to.
    BluezOptions gone = options();
    gone.bus_address = "unix:path=" + (dir_ / "no-such-bus").string();
    auto opened = open_bluez_adapter(gone);
    EXPECT_FALSE(opened.adapter);
    EXPECT_TRUE(opened.error.starts_with("bluetoothd not running (")) << opened.error;
}

TEST_F(BluezBackend, DiscoveryAsksForTheServiceAndReportsAdvertsAsTheyCome) {
    start_standin();
    start_phone(kPhone, "Pixel 8");
    start_phone(0xC0FFEE000002, "Headphones", {kOther});
    // BlueZ keeps names UTF-8 by cutting at the first bad byte; the cut name still arrives.
    start_phone(0xC0FFEE000003, "Pix\xff\xfe" "el");
    open();
    scan();
    EXPECT_TRUE(standin_->discovering());
    EXPECT_EQ(standin_->discovery_filter_uuids(), std::vector<std::string>{std::string(kServiceUuid)});
    EXPECT_TRUE(standin_->discovery_filter_rssi().has_value()) << "every RSSI report is asked for";

    ASSERT_TRUE(sighted(kPhone));
    auto adv = *seen_.last_of(kPhone);
    EXPECT_EQ(adv.local_name, "Pixel 8");
    EXPECT_EQ(adv.service_uuids, std::vector<Uuid>{kService});
    ASSERT_TRUE(sighted(0xC0FFEE000003));
    EXPECT_EQ(seen_.last_of(0xC0FFEE000003)->local_name, "Pix");

    // Every advertisement counts as a sighting, not only the first (the scan list ages out).
    const std::size_t before = seen_.count();
    EXPECT_TRUE(eventually([&] { return seen_.count() >= before + 5; }));
    EXPECT_FALSE(seen_.last_of(0xC0FFEE000002)) << "the UUID filter lets only Dovan phones through";
}

TEST_F(BluezBackend, AConnectedPhoneCarriesValuesBothWays) {
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached a = attach(kPhone);
    ASSERT_TRUE(a.write && a.notify);
    EXPECT_EQ(a.device->address(), kPhone);

    // A full enumeration lists the same service.
    auto all = a.device->all_services();
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all->services.size(), 1u);
    EXPECT_EQ(all->services.front()->uuid(), kService);

    auto sub = a.notify->subscribe_notify();
    ASSERT_TRUE(sub.ok());
    EXPECT_EQ(*sub, GattStatus::Success);
    Values values;
    auto token = a.notify->add_value_changed([&](Bytes v) { values.add(std::move(v)); });
    ASSERT_TRUE(token.ok());
    ASSERT_TRUE(eventually([&] { return phone.subscribed(kNotify); }));
    const Bytes hello{0x01, 0x02, 0x03};
    ASSERT_TRUE(phone.notify(kNotify, hello));
    EXPECT_TRUE(eventually([&] { return values.has(hello); }));

    const Bytes out(200, 0x5A);
    auto op = a.write->write_value(out);
    ASSERT_TRUE(op.ok());
    ASSERT_EQ(settle(*op), AsyncStatus::Completed);
    EXPECT_EQ(*(*op)->results(), GattStatus::Success);
    EXPECT_EQ(writes(), std::vector<Bytes>{out});
    EXPECT_EQ(standin_->write_types(), std::vector<std::string>{"request"}) << "writes wait for the phone's answer";

    // Values longer than an attribute may hold never reach the bus.
    EXPECT_FALSE(a.write->write_value(Bytes(513, 1)).ok());
    EXPECT_FALSE(a.write->write_value(Bytes{}).ok());

    // Once removed, the handler hears nothing more.
    ASSERT_TRUE(a.notify->remove_value_changed(*token).ok());
    EXPECT_FALSE(a.notify->remove_value_changed(*token).ok());
    const Bytes later{0x09};
    ASSERT_TRUE(phone.notify(kNotify, later));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(values.has(later));

    // Dropping the device is the disconnect.
    a = {};
    EXPECT_TRUE(eventually([&] { return !standin_->connected(kPhone); }));
}

TEST_F(BluezBackend, WriteFailuresBecomeStatusesAndAnUnansweredWriteAnError) {
    start_standin();
    start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached a = attach(kPhone);
    ASSERT_TRUE(a.write);
    const Bytes v{0x42};
    auto write_once = [&] {
        auto op = a.write->write_value(v);
        EXPECT_TRUE(op.ok());
        return op.ok() ? *op : nullptr;
    };

    standin_->fail_writes(1);  // an ATT error from the phone
    auto refused = write_once();
    ASSERT_EQ(settle(refused), AsyncStatus::Completed);
    EXPECT_EQ(*refused->results(), GattStatus::ProtocolError);

    write_status_ = static_cast<std::uint8_t>(GattStatus::AccessDenied);
    auto denied = write_once();
    ASSERT_EQ(settle(denied), AsyncStatus::Completed);
    EXPECT_EQ(*denied->results(), GattStatus::AccessDenied);
    write_status_ = 0;

    // A write nobody answers stays Started without holding the caller, then times out.
    standin_->stall_writes(true);
    const auto began = std::chrono::steady_clock::now();
    auto stalled = write_once();
    EXPECT_EQ(stalled->status(), AsyncStatus::Started);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 100ms);
    EXPECT_EQ(settle(stalled), AsyncStatus::Error);
    EXPECT_FALSE(stalled->results().ok());
    standin_->stall_writes(false);

    auto fine = write_once();
    ASSERT_EQ(settle(fine), AsyncStatus::Completed);
    EXPECT_EQ(*fine->results(), GattStatus::Success);
}

TEST_F(BluezBackend, AFailedStartNotifyIsAStatusNotASubscription) {
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached a = attach(kPhone);
    ASSERT_TRUE(a.notify);
    standin_->fail_start_notify(1);
    auto sub = a.notify->subscribe_notify();
    ASSERT_TRUE(sub.ok());
    EXPECT_NE(*sub, GattStatus::Success);
    EXPECT_FALSE(phone.subscribed(kNotify));
    auto again = a.notify->subscribe_notify();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, GattStatus::Success);
}

TEST_F(BluezBackend, ADeviceRemovedDuringServiceDiscoveryFailsThatAttemptOnly) {
    start_standin();
    start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    standin_->remove_device_during_discovery(1);
    // The attempt ends when the object goes, not when the connect wait runs out.
    const auto began = std::chrono::steady_clock::now();
    auto dev = adapter_->device_from_address(kPhone);
    ASSERT_FALSE(dev.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - began, options().connect_timeout / 2);
    // Until it advertises again the device is unknown; then it connects as usual.
    ASSERT_TRUE(eventually([&] { return adapter_->device_from_address(kPhone).ok(); }));
    EXPECT_TRUE(attach(kPhone).write);
}

TEST_F(BluezBackend, AValueArrivingAfterTheLinkDroppedIsNotDelivered) {
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached a = attach(kPhone);
    ASSERT_TRUE(a.notify);
    ASSERT_EQ(*a.notify->subscribe_notify(), GattStatus::Success);
    Values values;
    ASSERT_TRUE(a.notify->add_value_changed([&](Bytes v) { values.add(std::move(v)); }).ok());
    const Bytes live{0x01};
    ASSERT_TRUE(eventually([&] { return phone.subscribed(kNotify); }));
    ASSERT_TRUE(phone.notify(kNotify, live));
    ASSERT_TRUE(eventually([&] { return values.has(live); }));

    const Bytes late{0x02, 0x02};
    standin_->drop_link(kPhone, late);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(values.has(late));
    // The dropped link is visible to the link logic: no services, writes refused.
    auto services = a.device->services_for_uuid(kService);
    ASSERT_TRUE(services.ok());
    EXPECT_EQ(services->status, GattStatus::Unreachable);
    auto op = a.write->write_value(Bytes{1});
    ASSERT_TRUE(op.ok());
    EXPECT_TRUE(write_failed(settle(*op), *op));
}

// However the connection goes, the device's watcher hears it once, at once, and one that
// starts watching afterwards hears it too.
TEST_F(BluezBackend, ALostConnectionIsReportedToItsWatcher) {
    struct Way {
        const char* what;
        std::function<void(StandIn&, sim::SimPeripheral&)> go;
        std::function<void(StandIn&)> back;
        const char* reason;  // null: any reason will do
    };
    const Way ways[] = {
        {"the stack drops the link", [](StandIn& s, sim::SimPeripheral&) { s.drop_link(kPhone); }, nullptr,
         "BlueZ 报告连接已断开"},
        {"the phone closes the link", [](StandIn&, sim::SimPeripheral& p) { p.disconnect(); }, nullptr,
         "BlueZ 报告连接已断开"},
        {"adapter removed", [](StandIn& s, sim::SimPeripheral&) { s.remove_adapter(); },
         [](StandIn& s) { s.add_adapter(); }, nullptr},
        {"bluetoothd gone", [](StandIn& s, sim::SimPeripheral&) { s.stop_daemon(); },
         [](StandIn& s) { ASSERT_TRUE(s.start_daemon().ok()); }, nullptr},
    };
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    for (const auto& w : ways) {
        SCOPED_TRACE(w.what);
        ASSERT_TRUE(sighted(kPhone));
        Attached a = attach(kPhone);
        ASSERT_TRUE(a.device);
        std::mutex mu;
        std::vector<std::string> heard, late;
        ASSERT_TRUE(a.device->on_link_state([&](const ble::LinkStateEvent& e) {
            std::lock_guard lock(mu);
            if (!e.connected) heard.push_back(e.reason);
        }).ok());
        std::this_thread::sleep_for(100ms);
        {
            std::lock_guard lock(mu);
            EXPECT_TRUE(heard.empty()) << "still connected";
        }
        w.go(*standin_, phone);
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lock(mu);
            return !heard.empty();
        }));
        std::this_thread::sleep_for(200ms);
        {
            std::lock_guard lock(mu);
            EXPECT_EQ(heard.size(), 1u);
            if (w.reason) {
                EXPECT_EQ(heard.front(), w.reason);
            }
        }
        ASSERT_TRUE(a.device->on_link_state([&](const ble::LinkStateEvent& e) {
            std::lock_guard lock(mu);
            late.push_back(e.reason);
        }).ok());
        {
            std::lock_guard lock(mu);
            EXPECT_EQ(late.size(), 1u);
        }
        ASSERT_TRUE(a.device->on_link_state(nullptr).ok());
        a = {};
        {
            std::lock_guard lock(seen_.mu);
            seen_.all.clear();
        }
        if (w.back) w.back(*standin_);
    }
}

// The adapter unplugged, switched off or bluetoothd restarting take the connection with them; the
// backend must say so to the link and pick discovery up again by itself once they are back.
TEST_F(BluezBackend, TheStackGoingAwayEndsTheLinkAndScanningResumesWhenItReturns) {
    struct Fault {
        const char* what;
        std::function<void(StandIn&)> go;
        std::function<void(StandIn&)> back;
        const char* connect_error;
    };
    const Fault faults[] = {
        {"adapter removed", [](StandIn& s) { s.remove_adapter(); }, [](StandIn& s) { s.add_adapter(); },
         "蓝牙适配器已移除"},
        {"bluetoothd restarted", [](StandIn& s) { s.stop_daemon(); },
         [](StandIn& s) { ASSERT_TRUE(s.start_daemon().ok()); }, "bluetoothd 未运行"},
        {"adapter switched off", [](StandIn& s) { s.set_powered(false); }, [](StandIn& s) { s.set_powered(true); },
         "连接失败: org.bluez.Error.NotReady: Resource Not Ready"},
    };
    start_standin();
    start_phone(kPhone, "Pixel 8");
    open();
    scan();
    for (const auto& f : faults) {
        SCOPED_TRACE(f.what);
        ASSERT_TRUE(sighted(kPhone));
        Attached a = attach(kPhone);
        ASSERT_TRUE(a.write);

        f.go(*standin_);
        auto op = a.write->write_value(Bytes{7});
        ASSERT_TRUE(op.ok());
        EXPECT_TRUE(write_failed(settle(*op), *op));
        auto services = a.device->all_services();
        ASSERT_TRUE(services.ok());
        EXPECT_EQ(services->status, GattStatus::Unreachable);
        auto dev = adapter_->device_from_address(kPhone);
        ASSERT_FALSE(dev.ok());
        EXPECT_EQ(dev.error().display(), f.connect_error);

        a = {};
        {
            std::lock_guard lock(seen_.mu);
            seen_.all.clear();
        }
        f.back(*standin_);
        EXPECT_TRUE(eventually([&] { return standin_->discovering(); }));
        ASSERT_TRUE(sighted(kPhone));
        EXPECT_TRUE(attach(kPhone).notify);
    }
}

// Only bluetoothd speaks for org.bluez's objects: another client's signals are ignored.
TEST_F(BluezBackend, SignalsFromAnotherClientAreIgnored) {
    start_standin();
    open();
    scan();
    sd_bus* stranger = nullptr;
    ASSERT_GE(sd_bus_new(&stranger), 0);
    ASSERT_GE(sd_bus_set_address(stranger, bus_->address().c_str()), 0);
    ASSERT_GE(sd_bus_set_bus_client(stranger, 1), 0);
    ASSERT_GE(sd_bus_start(stranger), 0);
    sd_bus_message* m = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(stranger, &m, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded"), 0);
    ASSERT_GE(sd_bus_message_append(m, "oa{sa{sv}}", "/org/bluez/hci0/dev_C0_FF_EE_00_00_09", 1, "org.bluez.Device1",
                                    3, "Address", "s", "C0:FF:EE:00:00:09", "Name", "s", "Dovan", "RSSI", "n", -40),
              0);
    ASSERT_GE(sd_bus_send(stranger, m, nullptr), 0);
    sd_bus_message_unref(m);
    sd_bus_flush_close_unref(stranger);
    // A phone of bluetoothd's own still comes through, so the watcher was listening.
    start_phone(kPhone, "Pixel 8");
    ASSERT_TRUE(sighted(kPhone));
    EXPECT_FALSE(seen_.last_of(0xC0FFEE000009));
}

// A client that tells our connection alone that it now owns org.bluez (or that bluetoothd
// left), then speaks as bluetoothd, is not heard; bluetoothd still is.
TEST_F(BluezBackend, AForgedOwnerChangeAddressedToUsLeavesBluetoothdInCharge) {
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached a = attach(kPhone);
    ASSERT_TRUE(a.notify && a.write);
    ASSERT_EQ(*a.notify->subscribe_notify(), GattStatus::Success);
    Values values;
    ASSERT_TRUE(a.notify->add_value_changed([&](Bytes v) { values.add(std::move(v)); }).ok());
    ASSERT_TRUE(eventually([&] { return phone.subscribed(kNotify); }));

    Stranger stranger(bus_->address());
    ASSERT_TRUE(stranger.ok());
    const std::string bluetoothd = stranger.owner_of("org.bluez");
    ASSERT_FALSE(bluetoothd.empty());
    const std::string notify_path = stranger.find_object("org.bluez.GattCharacteristic1", kNotify.text());
    ASSERT_FALSE(notify_path.empty());
    const std::string phone_path = device_path("/org/bluez/hci0", kPhone);
    const std::string fake_path = device_path("/org/bluez/hci0", 0xC0FFEE000009);

    const struct {
        const char* what;
        std::string new_owner;
    } cases[] = {{"org.bluez handed to the stranger", stranger.unique_name()}, {"bluetoothd gone", ""}};
    std::uint8_t round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ++round;
        stranger.unicast("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged", [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "sss", "org.bluez", bluetoothd.c_str(), c.new_owner.c_str());
        });
        // Then bluetoothd's part: a new device in range, the phone connected under another
        // name, and a notification from it.
        for (const auto& [path, address, name] : {std::tuple{fake_path, "C0:FF:EE:00:00:09", "Attacker"},
                                                  std::tuple{phone_path, "C0:FF:EE:00:00:01", "Attacker"}}) {
            stranger.unicast("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "oa{sa{sv}}", path.c_str(), 1, "org.bluez.Device1", 6, "Address", "s",
                                             address, "Name", "s", name, "UUIDs", "as", 1, kService.text().c_str(), "RSSI", "n",
                                             -40, "Connected", "b", 1, "ServicesResolved", "b", 1);
            });
        }
        stranger.unicast("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "oa{sa{sv}}", notify_path.c_str(), 1, "org.bluez.GattCharacteristic1", 1,
                                         "UUID", "s", kNotify.text().c_str());
        });
        const Bytes forged{0x48, round};
        stranger.unicast(notify_path, "org.freedesktop.DBus.Properties", "PropertiesChanged", [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "sa{sv}as", "org.bluez.GattCharacteristic1", 1, "Value", "ay", 2,
                                         forged[0], forged[1], 0);
        });

        const Bytes real{0x52, round};
        ASSERT_TRUE(phone.notify(kNotify, real));
        EXPECT_TRUE(eventually([&] { return values.has(real); })) << "bluetoothd is no longer heard";
        EXPECT_FALSE(values.has(forged));
        EXPECT_FALSE(seen_.last_of(0xC0FFEE000009));
        EXPECT_NE(seen_.last_of(kPhone)->local_name, "Attacker");
        auto services = a.device->all_services();
        ASSERT_TRUE(services.ok());
        EXPECT_EQ(services->status, GattStatus::Success);
        auto op = a.write->write_value(Bytes{round});
        ASSERT_TRUE(op.ok());
        ASSERT_EQ(settle(*op), AsyncStatus::Completed);
        EXPECT_EQ(*(*op)->results(), GattStatus::Success);
    }
}

// The core forgets a phone not seen for 12 s. A phone whose signal holds still, and then one
// that stops advertising while linked, stay in its list for minutes of (fake) time; once the
// link is gone for longer than the grace, the backend stops vouching for it.
TEST_F(BluezBackend, APhoneStaysInTheScanListWithASteadySignalAndWhileLinked) {
    constexpr auto kListAge = std::chrono::seconds(12);  // the core's scan-list age
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");  // -50 dBm, advert after advert
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    ble::ScanList list;
    Instant now{};
    auto five_seconds_pass = [&] {
        const std::size_t before = seen_.count_of(kPhone);
        if (eventually([&] { return seen_.count_of(kPhone) > before; }, 2s)) list.note(kPhone, "Pixel 8", now);
        now += std::chrono::seconds(5);
        list.expire(now, kListAge);
        return list.find(kPhone).has_value();
    };
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(five_seconds_pass()) << "gone after " << i * 5 << " s, advertising";

    Attached a = attach(kPhone);
    ASSERT_TRUE(a.write);
    phone.stop_advertising();
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(five_seconds_pass()) << "gone after " << i * 5 << " s, linked";

    standin_->drop_link(kPhone);
    std::this_thread::sleep_for(options().presence_grace + 3 * options().presence_interval);
    const std::size_t after_grace = seen_.count_of(kPhone);
    std::this_thread::sleep_for(5 * options().presence_interval);
    EXPECT_EQ(seen_.count_of(kPhone), after_grace);
}

// bluetoothd keeps a device's GATT objects and our notification session across a link loss;
// a new link picks both up, and every value arrives once.
TEST_F(BluezBackend, AfterALinkLossTheCachedServicesAndTheSessionServeTheNextLink) {
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached first = attach(kPhone);
    ASSERT_TRUE(first.notify && first.write);
    ASSERT_EQ(*first.notify->subscribe_notify(), GattStatus::Success);
    standin_->drop_link(kPhone);
    ASSERT_TRUE(eventually([&] { return !standin_->connected(kPhone); }));

    // Between links the cached objects are there, but nothing goes through them.
    auto op = first.write->write_value(Bytes{1});
    ASSERT_TRUE(op.ok());
    ASSERT_EQ(settle(*op), AsyncStatus::Completed);
    EXPECT_EQ(*(*op)->results(), GattStatus::Unreachable);
    EXPECT_EQ(*first.notify->subscribe_notify(), GattStatus::Unreachable);
    first = {};

    Attached second = attach(kPhone);
    ASSERT_TRUE(second.notify && second.write);
    ASSERT_EQ(*second.notify->subscribe_notify(), GattStatus::Success);
    Values values;
    ASSERT_TRUE(second.notify->add_value_changed([&](Bytes v) { values.add(std::move(v)); }).ok());
    ASSERT_TRUE(eventually([&] { return phone.subscribed(kNotify); }));
    const Bytes hello{0x07, 0x07};
    ASSERT_TRUE(phone.notify(kNotify, hello));
    ASSERT_TRUE(eventually([&] { return values.has(hello); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(values.count(hello), 1u);
}

// Notification sessions are per client: another program stopping its own leaves ours alone,
// and one that never started any cannot stop ours.
TEST_F(BluezBackend, AnotherClientsStopNotifyLeavesOurNotifications) {
    start_standin();
    auto& phone = start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    Attached a = attach(kPhone);
    ASSERT_TRUE(a.notify);
    ASSERT_EQ(*a.notify->subscribe_notify(), GattStatus::Success);
    Values values;
    ASSERT_TRUE(a.notify->add_value_changed([&](Bytes v) { values.add(std::move(v)); }).ok());

    Stranger other(bus_->address());
    ASSERT_TRUE(other.ok());
    const std::string path = other.find_object("org.bluez.GattCharacteristic1", kNotify.text());
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(other.call(path, "StopNotify"), "org.bluez.Error.Failed");
    EXPECT_EQ(other.call(path, "StartNotify"), "");
    EXPECT_EQ(other.call(path, "StopNotify"), "");
    const Bytes value{0x0A};
    ASSERT_TRUE(phone.notify(kNotify, value));
    EXPECT_TRUE(eventually([&] { return values.has(value); }));
}

// An LE Connect to a device that stays away is pending until the kernel gives up, not
// refused at once; the attempt ends with BlueZ's answer, inside the backend's own wait.
TEST_F(BluezBackend, AConnectToADeviceThatStaysAwayFailsWhenTheKernelGivesUp) {
    start_standin(true, true, 600ms);
    start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    phones_.clear();  // the phone leaves; bluetoothd still has its object
    const auto began = std::chrono::steady_clock::now();
    auto dev = adapter_->device_from_address(kPhone);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_FALSE(dev.ok());
    EXPECT_EQ(dev.error().display(), "连接失败: org.bluez.Error.Failed: le-connection-abort-by-local");
    EXPECT_GE(took, 600ms);
    EXPECT_LT(took, options().connect_timeout);
}

// The pending Connect is the reconnection: it completes as soon as the phone advertises
// again, without a second try.
TEST_F(BluezBackend, APendingConnectCompletesWhenThePhoneAdvertisesAgain) {
    start_standin();
    start_phone(kPhone, "Pixel 8");
    open();
    scan();
    ASSERT_TRUE(sighted(kPhone));
    phones_.clear();  // out of range
    auto connecting = std::async(std::launch::async, [&] { return adapter_->device_from_address(kPhone); });
    ASSERT_EQ(connecting.wait_for(300ms), std::future_status::timeout) << "nothing to connect to yet";
    start_phone(kPhone, "Pixel 8");  // back, advertising
    auto dev = connecting.get();
    ASSERT_TRUE(dev.ok()) << dev.error().display();
    EXPECT_TRUE(standin_->connected(kPhone));
    EXPECT_EQ(standin_->connect_calls(), 1u);
}

// Where bluetoothd reports GattCharacteristic1.MTU the link writes at that size from its
// first write (the HELLO), instead of 20 bytes until a long notification arrives. A size
// outside 23..517 is not an MTU and changes nothing.
TEST_F(BluezBackend, TheLinksFirstWriteIsCutToTheMtuBluezReports) {
    struct Case {
        std::uint16_t mtu;
        std::size_t first;  // length of the first write; 0: the whole HELLO in one
    };
    const Case cases[] = {{30, 27}, {40, 37}, {185, 0}, {23, 20}, {22, 20}, {600, 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mtu);
        standin_.reset();
        phones_.clear();
        {
            std::lock_guard lock(writes_mu_);
            writes_.clear();
        }
        start_standin(true, true, 20s, c.mtu);
        start_phone(kPhone, "Pixel 8");
        open();
        SystemClock clock;
        QuietHost host;
        ble::LinkState state;
        {
            ble::Link link(clock, host, state);
            ASSERT_TRUE(link.start(adapter_).ok());
            ASSERT_TRUE(eventually([&] { return link.scan_list().find(kPhone).has_value(); }));
            link.connect({kPhone, "Pixel 8"});
            ASSERT_TRUE(link.connected()) << (host.notices.empty() ? "" : host.notices.back());
            ASSERT_TRUE(eventually([&] {
                link.write_pass();
                return !writes().empty();
            }));
        }
        const Bytes first = writes().front();
        ASSERT_GE(first.size(), 6u);
        const auto fragments = static_cast<unsigned>((first[4] << 8) | first[5]);
        if (c.first == 0) {
            EXPECT_EQ(fragments, 1u);
            EXPECT_GT(first.size(), 20u);
        } else {
            EXPECT_EQ(first.size(), c.first);
            EXPECT_GT(fragments, 1u);
        }
        state.engine.reset();
        adapter_.reset();
    }
}

// The stand-in reports RSSI as bluetoothd does: without an RSSI or Pathloss filter only moves
// of 8 dBm or more, with one every advertisement.
TEST_F(BluezBackend, TheStandInReportsRssiAsBluetoothdDoes) {
    start_standin();
    start_phone(kPhone, "Pixel 8");
    Stranger client(bus_->address());
    ASSERT_TRUE(client.ok());
    const std::string adapter = "/org/bluez/hci0";
    ASSERT_EQ(client.call(adapter, "SetDiscoveryFilter", "org.bluez.Adapter1"), "");
    ASSERT_EQ(client.call(adapter, "StartDiscovery", "org.bluez.Adapter1"), "");
    auto reports_after_adverts = [&] {
        std::this_thread::sleep_for(400ms);  // adverts every 50 ms
        return standin_->rssi_reports(kPhone);
    };
    EXPECT_EQ(reports_after_adverts(), 0u) << "a steady signal is not news";
    standin_->set_rssi(kPhone, -57);
    EXPECT_EQ(reports_after_adverts(), 0u) << "7 dBm is below the threshold";
    standin_->set_rssi(kPhone, -58);
    EXPECT_EQ(reports_after_adverts(), 1u) << "8 dBm is reported, once";
    ASSERT_EQ(client.call(adapter, "SetDiscoveryFilter", "org.bluez.Adapter1", -127), "");
    EXPECT_GT(reports_after_adverts(), 3u) << "with an RSSI filter every advertisement is reported";
    EXPECT_EQ(client.call(adapter, "SetDiscoveryFilter", "org.bluez.Adapter1", -128),
              "org.bluez.Error.InvalidArguments");
}

}  // namespace
}  // namespace dovan::bluez
