#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/sim/sim_peripheral.h"
#include "platform/sim/sim_radio.h"
#include "platform/sim/sim_wire.h"

namespace dovan::sim {
namespace {

using namespace std::chrono_literals;
using ble::GattStatus;
using ble::Uuid;

// Any service with one write and one notify characteristic will do for the radio.
const Uuid kService = *Uuid::parse("12345600-0000-1000-8000-00805f9b34fb");
const Uuid kWrite = *Uuid::parse("12345601-0000-1000-8000-00805f9b34fb");
const Uuid kNotify = *Uuid::parse("12345602-0000-1000-8000-00805f9b34fb");
const Uuid kOther = *Uuid::parse("0000180f-0000-1000-8000-00805f9b34fb");

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

TEST(SimWire, AdvertisementParsing) {
    struct Case {
        const char* text;
        bool valid;
        std::uint64_t addr;
        const char* name;
        std::size_t uuids;
    };
    const Case cases[] = {
        {"DVADV1\naddr=A1B2C3D4E5F6\nname=Pixel\nuuid=44564e00-0000-1000-8000-00805f9b34fb\n", true,
         0xA1B2C3D4E5F6, "Pixel", 1},
        {"DVADV1\naddr=000000000001\nname=", true, 1, "", 0},          // no final line feed
        {"DVADV1\nx=1\naddr=00000000000A\nfoo\nname=Dovan", true, 10, "Dovan", 0},  // unknown lines
        {"DVADV2\naddr=000000000001\n", false, 0, "", 0},
        {"addr=000000000001\nDVADV1\n", false, 0, "", 0},
        {"DVADV1\nname=Pixel\n", false, 0, "", 0},                    // addr required
        {"DVADV1\naddr=a1b2c3d4e5f6\n", false, 0, "", 0},             // upper-case only
        {"DVADV1\naddr=A1B2C3D4E5\n", false, 0, "", 0},
        {"", false, 0, "", 0},
    };
    for (const auto& c : cases) {
        auto adv = parse_advertisement(c.text);
        ASSERT_EQ(adv.has_value(), c.valid) << c.text;
        if (!c.valid) continue;
        EXPECT_EQ(adv->address, c.addr);
        EXPECT_EQ(adv->local_name, c.name);
        EXPECT_EQ(adv->service_uuids.size(), c.uuids);
    }
    ble::Advertisement a{0xA1B2C3D4E5F6, "手机", {kService}};
    auto back = parse_advertisement(encode_advertisement(a));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->local_name, "手机");
    EXPECT_EQ(back->service_uuids.at(0), kService);
}

TEST(SimWire, UuidTextForms) {
    EXPECT_EQ(kService.text(), "12345600-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(kService.bytes[0], 0x12);
    EXPECT_EQ(kService.bytes[15], 0xfb);
    EXPECT_EQ(Uuid::parse("44564E0000001000800000805F9B34FB")->text(), "44564e00-0000-1000-8000-00805f9b34fb");
    EXPECT_TRUE(Uuid::parse("44564E0000001000800000805F9B34FB").ok());
    EXPECT_FALSE(Uuid::parse("44564e00-0000-1000-8000-00805f9b34f").ok());
    EXPECT_FALSE(Uuid::parse("44564e00-0000-1000-8000-00805f9b34fbb").ok());
    EXPECT_FALSE(Uuid::parse("g4564e00-0000-1000-8000-00805f9b34fb").ok());
    EXPECT_EQ(ble::gatt_status_name(ble::gatt_status_from_byte(9)), "Unknown");
    EXPECT_EQ(ble::gatt_status_name(ble::gatt_status_from_byte(3)), "AccessDenied");
}

class SimRadio : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dvsimXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
        adapter_ = make_sim_adapter(folder_);
    }
    void TearDown() override {
        phone_.reset();
        adapter_.reset();
        std::filesystem::remove_all(folder_);
    }
    SimPeripheral& phone(std::string name = "Pixel 8") {
        SimPeripheral::Options o{folder_, 0xA1B2C3D4E5F6, std::move(name), {kService}, {ServiceSpec{kService, {{kWrite, false, true}, {kNotify, true, false}}}}};
        phone_ = std::make_unique<SimPeripheral>(o);
        EXPECT_TRUE(phone_->start().ok());
        return *phone_;
    }
    std::shared_ptr<ble::Characteristic> characteristic(ble::Device& dev, const Uuid& ch) {
        auto services = dev.services_for_uuid(kService);
        EXPECT_TRUE(services.ok());
        auto chars = services->services.at(0)->characteristics_for_uuid(ch);
        EXPECT_TRUE(chars.ok());
        return chars->characteristics.at(0);
    }

    std::string folder_;
    std::unique_ptr<ble::Adapter> adapter_;
    std::unique_ptr<SimPeripheral> phone_;
};

// Whoever can write in the folder can pose as a radio peer, on either side.
TEST_F(SimRadio, AMissingFolderIsMadePrivateAndOneOthersMayWriteToIsRefused) {
    const std::string fresh = folder_ + "/radio";
    auto watcher = make_sim_adapter(fresh)->create_watcher();
    ASSERT_TRUE(watcher.ok());
    ASSERT_TRUE((*watcher)->start().ok());
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    const uid_t me = ::geteuid();
    const uid_t someone = me + 4242;
    struct Case {
        const char* name;
        mode_t mode;
        uid_t owner;
        std::string why;
    };
    const Case cases[] = {
        {"shared", 0777, me, "可被其他用户写入（权限 0777）"},
        {"group", 0775, me, "可被其他用户写入（权限 0775）"},
        {"theirs", 0755, someone, "属于其他用户（uid " + std::to_string(someone) + "）"},
        {"theirs-private", 0700, someone, "属于其他用户（uid " + std::to_string(someone) + "）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = folder_ + "/" + c.name;
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
        if (c.owner != me && ::chown(dir.c_str(), c.owner, static_cast<gid_t>(-1)) != 0) {
            ADD_FAILURE() << "cannot give the folder to another user (the suite runs as root)";
            continue;
        }
        const std::string refused = "模拟射频目录 " + dir + " " + c.why + "，拒绝使用";
        auto central = make_sim_adapter(dir)->create_watcher();
        ASSERT_TRUE(central.ok());
        auto started = (*central)->start();
        ASSERT_FALSE(started.ok());
        EXPECT_EQ(started.error().text, refused);
        EXPECT_FALSE(std::filesystem::exists(dir + "/air"));
        auto dialled = make_sim_adapter(dir)->device_from_address(0xA1B2C3D4E5F6);
        ASSERT_FALSE(dialled.ok());
        EXPECT_EQ(dialled.error().text, refused);
        SimPeripheral peripheral({dir, 0xA1B2C3D4E5F6, "Pixel 8", {kService},
                                  {ServiceSpec{kService, {{kWrite, false, true}, {kNotify, true, false}}}}});
        auto served = peripheral.start();
        ASSERT_FALSE(served.ok());
        EXPECT_EQ(served.error().text, refused);
    }

    // mkdir -p under the usual umask gives 0755: this user's, nobody else may write.
    const std::string usual = folder_ + "/usual";
    ASSERT_EQ(::mkdir(usual.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(usual.c_str(), 0755), 0);
    auto central = make_sim_adapter(usual)->create_watcher();
    ASSERT_TRUE(central.ok());
    EXPECT_TRUE((*central)->start().ok());
}

TEST_F(SimRadio, WatcherReceivesAdvertisementsOnlyWhileBound) {
    auto& p = phone();
    EXPECT_FALSE(p.advertise_once());  // nobody scanning yet
    auto watcher = adapter_->create_watcher();
    ASSERT_TRUE(watcher.ok());
    std::mutex mu;
    std::vector<ble::Advertisement> seen;
    ASSERT_TRUE((*watcher)->set_active_scanning().ok());
    ASSERT_TRUE((*watcher)->on_received([&](const ble::Advertisement& a) {
        std::lock_guard lock(mu);
        seen.push_back(a);
    }).ok());
    ASSERT_TRUE((*watcher)->start().ok());
    EXPECT_TRUE(p.advertise_once());
    ASSERT_TRUE(eventually([&] { std::lock_guard lock(mu); return !seen.empty(); }));
    std::lock_guard lock(mu);
    EXPECT_EQ(seen[0].address, 0xA1B2C3D4E5F6u);
    EXPECT_EQ(seen[0].local_name, "Pixel 8");
    ASSERT_EQ(seen[0].service_uuids.size(), 1u);
    EXPECT_EQ(seen[0].service_uuids[0], kService);
}

TEST_F(SimRadio, DiscoveryAnswersFollowTheGattTable) {
    phone();
    auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(dev.ok()) << dev.error().text;

    auto targeted = (*dev)->services_for_uuid(kService);
    ASSERT_TRUE(targeted.ok());
    EXPECT_EQ(targeted->status, GattStatus::Success);
    ASSERT_EQ(targeted->services.size(), 1u);

    auto none = (*dev)->services_for_uuid(kOther);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->status, GattStatus::Success);
    EXPECT_TRUE(none->services.empty());

    auto all = (*dev)->all_services();
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all->services.size(), 1u);
    EXPECT_EQ(all->services[0]->uuid(), kService);

    auto& svc = *targeted->services[0];
    auto w = svc.characteristics_for_uuid(kWrite);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w->status, GattStatus::Success);
    ASSERT_EQ(w->characteristics.size(), 1u);
    auto missing = svc.characteristics_for_uuid(kOther);
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(missing->status, GattStatus::ProtocolError);

}

TEST_F(SimRadio, WritesAndNotificationsFlowBothWays) {
    auto& p = phone();
    std::mutex mu;
    std::vector<Bytes> writes;
    p.set_write_handler([&](const Uuid& ch, Bytes v) -> std::uint8_t {
        EXPECT_EQ(ch, kWrite);
        std::lock_guard lock(mu);
        writes.push_back(std::move(v));
        return writes.size() == 2 ? 3 : 0;  // the second write is refused
    });
    auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(dev.ok());
    auto wch = characteristic(**dev, kWrite);
    auto nch = characteristic(**dev, kNotify);

    EXPECT_EQ(*wch->subscribe_notify(), GattStatus::ProtocolError);  // write-only
    EXPECT_FALSE(p.notify(kNotify, Bytes{1}));                       // not subscribed yet
    ASSERT_EQ(*nch->subscribe_notify(), GattStatus::Success);
    EXPECT_TRUE(p.subscribed(kNotify));

    std::vector<Bytes> got;
    auto token = nch->add_value_changed([&](Bytes v) {
        std::lock_guard lock(mu);
        got.push_back(std::move(v));
    });
    ASSERT_TRUE(token.ok());
    Bytes big(512, 0x5A);
    EXPECT_TRUE(p.notify(kNotify, big));
    ASSERT_TRUE(eventually([&] { std::lock_guard lock(mu); return got.size() == 1; }));
    EXPECT_EQ(got[0], big);

    auto op1 = wch->write_value(Bytes{1, 2, 3});
    ASSERT_TRUE(op1.ok());
    auto op2 = wch->write_value(Bytes{4});
    ASSERT_TRUE(op2.ok());
    ASSERT_TRUE(eventually([&] { return (*op2)->status() == ble::AsyncStatus::Completed; }));
    EXPECT_EQ((*op1)->status(), ble::AsyncStatus::Completed);
    EXPECT_EQ(*(*op1)->results(), GattStatus::Success);
    EXPECT_EQ(*(*op2)->results(), GattStatus::AccessDenied);
    {
        std::lock_guard lock(mu);
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0], (Bytes{1, 2, 3}));
    }
    EXPECT_FALSE(wch->write_value(Bytes{}).ok());
    EXPECT_FALSE(wch->write_value(Bytes(513, 0)).ok());

    ASSERT_TRUE(nch->remove_value_changed(*token).ok());
    EXPECT_FALSE(nch->remove_value_changed(*token).ok());
}

TEST_F(SimRadio, BrokenLinkFailsPendingAndLaterOperations) {
    auto& p = phone();
    // Shared with the phone's thread, which may still be inside the handler after the
    // test body has returned.
    auto entered = std::make_shared<std::atomic<bool>>(false);
    auto release = std::make_shared<std::atomic<bool>>(false);
    p.set_write_handler([entered, release](const Uuid&, Bytes) -> std::uint8_t {
        *entered = true;
        while (!*release) std::this_thread::sleep_for(1ms);
        return 0;
    });
    auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(dev.ok());
    auto wch = characteristic(**dev, kWrite);
    auto op = wch->write_value(Bytes{9});
    ASSERT_TRUE(op.ok());
    ASSERT_TRUE(eventually([&] { return entered->load(); }));
    EXPECT_EQ((*op)->status(), ble::AsyncStatus::Started);
    p.disconnect();
    *release = true;
    ASSERT_TRUE(eventually([&] { return (*op)->status() == ble::AsyncStatus::Error; }));
    EXPECT_FALSE((*dev)->all_services().ok());
    EXPECT_FALSE(adapter_->device_from_address(0x123456789ABC).ok());  // nobody there
}

// What the central hears when the connection goes, however it goes.
class LinkStates {
public:
    ble::LinkStateHandler handler() {
        return [this](const ble::LinkStateEvent& e) {
            std::lock_guard lock(mu_);
            events_.push_back(e);
        };
    }
    std::vector<std::string> losses() {
        std::lock_guard lock(mu_);
        std::vector<std::string> out;
        for (const auto& e : events_)
            if (!e.connected) out.push_back(e.reason);
        return out;
    }

private:
    std::mutex mu_;
    std::vector<ble::LinkStateEvent> events_;
};

TEST_F(SimRadio, AClosedGattSocketIsReportedOnceWithItsReason) {
    const struct {
        const char* what;
        std::function<void(SimPeripheral&)> close;
        const char* reason;
    } cases[] = {
        {"the phone drops the central", [](SimPeripheral& p) { p.disconnect(); }, "对端断开了 GATT 连接"},
        {"the phone is gone", [](SimPeripheral& p) { p.stop(); }, "对端断开了 GATT 连接"},
        {"the phone breaks the protocol", [](SimPeripheral& p) { p.send_raw(Bytes{0, 0, 0, 1, 0x55}); },
         "对端违反 GATT 协议，连接已关闭"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto& p = phone();
        auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
        ASSERT_TRUE(dev.ok());
        LinkStates heard;
        ASSERT_TRUE((*dev)->on_link_state(heard.handler()).ok());
        ASSERT_TRUE((*dev)->all_services().ok());
        EXPECT_TRUE(heard.losses().empty());
        c.close(p);
        ASSERT_TRUE(eventually([&] { return !heard.losses().empty(); }));
        EXPECT_FALSE((*dev)->all_services().ok());
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(heard.losses(), std::vector<std::string>{c.reason});

        // A handler set after the loss still hears of it; dropping the device is no news.
        LinkStates late;
        ASSERT_TRUE((*dev)->on_link_state(late.handler()).ok());
        EXPECT_EQ(late.losses(), std::vector<std::string>{c.reason});
    }
    auto& p = phone();
    auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(dev.ok());
    ASSERT_TRUE((*dev)->all_services().ok());
    LinkStates heard;
    ASSERT_TRUE((*dev)->on_link_state(heard.handler()).ok());
    dev->reset();
    EXPECT_TRUE(eventually([&] { return !p.connected(); }));
    EXPECT_TRUE(heard.losses().empty());
}

TEST_F(SimRadio, MalformedMessagesCloseTheConnection) {
    struct Case {
        const char* what;
        Bytes raw;
    };
    const Case cases[] = {
        {"zero length", {0, 0, 0, 0}},
        {"too long", {0, 0, 2, 0x22, OP_NOTIFY}},
        {"unknown op", {0, 0, 0, 1, 0x55}},
        {"answer nobody asked for", {0, 0, 0, 2, 0x84, 0}},
        {"notify without value", encode_message(OP_NOTIFY, kNotify.bytes)},
    };
    for (const auto& c : cases) {
        auto& p = phone();
        auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
        ASSERT_TRUE(dev.ok());
        ASSERT_TRUE((*dev)->all_services().ok()) << c.what;
        ASSERT_TRUE(eventually([&] { return p.connected(); }));
        ASSERT_TRUE(p.send_raw(c.raw));
        EXPECT_TRUE(eventually([&] { return !(*dev)->all_services().ok(); })) << c.what;
    }
}

TEST_F(SimRadio, NewCentralReplacesTheServedOne) {
    auto& p = phone();
    // Shared with the phone's thread: dropping the devices below still reports a close
    // after the test body has returned.
    struct Counts {
        std::atomic<int> ups{0}, downs{0};
    };
    auto counts = std::make_shared<Counts>();
    auto& ups = counts->ups;
    auto& downs = counts->downs;
    p.set_connection_handler([counts](bool up) { (up ? counts->ups : counts->downs)++; });
    auto first = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE((*first)->all_services().ok());
    auto second = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE((*second)->all_services().ok());
    EXPECT_TRUE(eventually([&] { return !(*first)->all_services().ok(); }));
    EXPECT_EQ(ups.load(), 2);
    EXPECT_EQ(downs.load(), 1);
}

TEST_F(SimRadio, RequestFilterForcesAnswers) {
    auto& p = phone();
    p.set_request_filter([](std::uint8_t op) { return op == OP_SERVICES ? 1 : -1; });
    auto dev = adapter_->device_from_address(0xA1B2C3D4E5F6);
    ASSERT_TRUE(dev.ok());
    auto r = (*dev)->services_for_uuid(kService);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->status, GattStatus::Unreachable);
    EXPECT_TRUE(r->services.empty());
}

}  // namespace
}  // namespace dovan::sim
