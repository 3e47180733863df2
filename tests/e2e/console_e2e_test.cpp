// The built program (`dovan --headless`) and the built phone simulator as processes, each
// test on its own sim-radio folder, data directory and LAN port, followed through the
// console's event lines. Every test runs twice: with the program on the sim radio, and with
// the program on BlueZ, served by the stand-in on a private bus in front of the same radio.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "bluez/private_bus.h"
#include "e2e_support.h"
#include "standin.h"

namespace dovan::e2e {
namespace {

// On BlueZ the program's LAN side is not held to loopback, so those runs move this test
// process (and the processes it starts) into a network of its own with only loopback up.
bool private_network() {
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    return up;
}

enum class Backend { SimRadio, Bluez };

std::string backend_name(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::SimRadio ? "SimRadio" : "Bluez";
}

class Desktop : public ::testing::TestWithParam<Backend> {
protected:
    TempDir tmp;
    std::string radio = tmp.sub("radio");
    std::string appdata = tmp.sub("appdata");
    std::string phone_data = tmp.sub("phone");
    std::uint16_t lan_port = free_loopback_port();
    std::unique_ptr<dovan::testing::PrivateBus> bus;
    std::unique_ptr<bluez::StandIn> standin;

    std::unique_ptr<Process> phone;
    std::unique_ptr<Process> pc;
    std::string phone_addr;
    std::string phone_fp;

    void SetUp() override {
        if (GetParam() != Backend::Bluez) return;
        if (!private_network()) GTEST_SKIP() << "no private network namespace for a program on BlueZ";
        bus = std::make_unique<dovan::testing::PrivateBus>(tmp.path());
        ASSERT_TRUE(bus->ready());
    }
    void TearDown() override {
        if (HasFailure()) {
            if (pc) ADD_FAILURE() << "console said:\n" << pc->transcript();
            if (phone) ADD_FAILURE() << "phone said:\n" << phone->transcript();
        }
        pc.reset();
        phone.reset();
        standin.reset();
        bus.reset();
    }

    void start_standin(bool adapter = true, bool powered = true) {
        auto s = bluez::StandIn::start({bus->address(), radio, adapter, powered});
        ASSERT_TRUE(s.ok()) << s.error().display();
        standin = std::move(*s);
    }
    std::vector<std::string> pc_env() const {
        if (GetParam() == Backend::SimRadio) return {"DOVAN_SIM_RADIO=" + radio, "APPDATA=" + appdata};
        return {"DOVAN_SIM_RADIO=", "DOVAN_BLUEZ_BUS=" + bus->address(), "APPDATA=" + appdata};
    }

    void start_phone(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{binary("phone-sim"), "--radio", radio, "--data", phone_data,
                                      "--lan-port", std::to_string(lan_port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        phone = std::make_unique<Process>(argv, std::vector<std::string>{},
                                          (tmp.path() / "phone.stderr").string());
        auto addr = phone->wait_line("address ");
        auto id = phone->wait_line("identity ");
        ASSERT_TRUE(addr && id);
        phone_addr = after(*addr, "address ");
        phone_fp = after(*id, "identity ");
    }
    void start_pc() {
        if (GetParam() == Backend::Bluez && !standin) start_standin();
        pc = std::make_unique<Process>(
            std::vector<std::string>{binary("dovan"), "--headless", "--lan-port", std::to_string(lan_port)},
            pc_env(), (tmp.path() / "dovan.stderr").string());
    }
    void stop_pc() {
        pc->send("quit");
        ASSERT_TRUE(pc->wait_exit(kWait));
        EXPECT_TRUE(WIFEXITED(pc->exit_status()) && WEXITSTATUS(pc->exit_status()) == 0);
        pc.reset();
    }

    // Asks for the device list until the phone is in it.
    bool wait_for_device() {
        return eventually([&] {
            const std::size_t from = pc->mark();
            pc->send("devices");
            if (!pc->wait_line("devices end", from, 5s)) return false;
            if (pc->wait_line("device " + phone_addr, from, 0ms)) return true;
            std::this_thread::sleep_for(200ms);
            return false;
        });
    }

    // The console still answers, and says what it is doing.
    std::optional<std::string> status() {
        const std::size_t from = pc->mark();
        pc->send("status");
        return pc->wait_line("status ", from);
    }

    // The program's diagnostics ("[Dovan] …" lines) of every run in this test.
    std::string pc_stderr() {
        std::ifstream in(tmp.path() / "dovan.stderr");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::string read_app_file(const std::string& name) {
        std::ifstream in(std::filesystem::path(appdata) / "Dovan" / name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // A first pairing with both sides confirming the six digits.
    void pair() {
        ASSERT_TRUE(wait_for_device());
        const std::size_t from = pc->mark();
        pc->send("connect " + phone_addr);
        auto sas = pc->wait_line("sas ", from);
        ASSERT_TRUE(sas);
        ASSERT_TRUE(phone->wait_line(*sas)) << "the phone computed other digits";
        pc->send("sas confirm");
        ASSERT_TRUE(pc->wait_line("state 4", from));
        auto paired = pc->wait_line("paired ", from);
        ASSERT_TRUE(paired);
        EXPECT_EQ(*paired, "paired " + phone_fp + "\tPixel 8");
    }
};

TEST_P(Desktop, FirstPairingIsRememberedAndARestartReconnectsByItself) {
    start_phone();
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    EXPECT_NE(read_app_file("trusted_peers.tsv").find(phone_fp), std::string::npos);
    EXPECT_NE(read_app_file("peer_names.tsv").find(phone_fp + "\tPixel 8"), std::string::npos);
    // Once paired, the phone joins the TCP channel on loopback and binds it.
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    ASSERT_TRUE(phone->wait_line("tcp 1"));
    auto st = status();
    ASSERT_TRUE(st);
    EXPECT_TRUE(st->starts_with("status state=4 paired=1 tcp=1 peer=Pixel 8 fp=" + phone_fp + " ")) << *st;
    EXPECT_TRUE(st->ends_with(" addr=127.0.0.1")) << *st;

    stop_pc();
    start_pc();
    ASSERT_TRUE(pc->wait_line("state 4"));
    ASSERT_TRUE(pc->wait_line("paired " + phone_fp));
    EXPECT_EQ(pc->count("sas "), 0u) << "a known phone must not be compared again";
    EXPECT_TRUE(pc->wait_line("tcp 1"));
}

// The phone vanishes, link and LAN channel both: the console says the session is lost
// well before the 30 s silence rule could have (the platform said so), and the known
// phone is paired again by itself once it is back.
TEST_P(Desktop, APhoneThatGoesAwayIsShownLostPromptlyAndIsPairedAgainWhenBack) {
    start_phone();
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    const std::size_t from = pc->mark();
    phone->send("away 3");
    ASSERT_TRUE(pc->wait_line("state 6", from, 10s)) << "the loss must not wait for a timeout";
    ASSERT_TRUE(pc->wait_line("state 4", from));
    EXPECT_EQ(pc->count("sas "), 1u) << "a known phone must not be compared again";
    EXPECT_EQ(pc->count("identity-changed"), 0u);
}

TEST_P(Desktop, NewIdentityUnderTheSameNameAsksTheUserAndPairsAfresh) {
    start_phone();
    const std::string old_fp = phone_fp;
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    stop_pc();
    phone.reset();

    start_phone({"--new-identity"});
    ASSERT_NE(phone_fp, old_fp);
    start_pc();
    auto changed = pc->wait_line("identity-changed ");
    ASSERT_TRUE(changed);
    EXPECT_EQ(*changed, "identity-changed Pixel 8\t" + old_fp + "\t" + phone_fp);
    const std::size_t from = pc->mark();
    pc->send("identity accept");
    auto sas = pc->wait_line("sas ", from);
    ASSERT_TRUE(sas);
    ASSERT_TRUE(phone->wait_line(*sas));
    pc->send("sas confirm");
    ASSERT_TRUE(pc->wait_line("paired " + phone_fp, from));
    EXPECT_NE(read_app_file("trusted_peers.tsv").find(phone_fp), std::string::npos);
}

TEST_P(Desktop, SixRefusedConnectsGiveOneNoticeWithTheRetryCount) {
    start_phone({"--refuse-connects", "1000"});
    start_pc();
    ASSERT_TRUE(wait_for_device());
    pc->send("connect " + phone_addr);
    auto notice = pc->wait_line("notice BLE 连接失败");
    ASSERT_TRUE(notice);
    EXPECT_TRUE(notice->ends_with("（已重试 6 次）")) << *notice;
    ASSERT_TRUE(status());
    EXPECT_EQ(pc->count("notice BLE 连接失败"), 1u);
    EXPECT_EQ(pc->count("state 4"), 0u);
}

// Phones that vanish mid-handshake, hang up mid-message or talk garbage: the program
// stays up and its console keeps answering. Each phone has its own address, so the
// link's healing of an earlier one stays apart from the next.
TEST_P(Desktop, BrokenPhonesDoNotBringTheProgramDown) {
    start_phone({"--drop-after-writes", "3"});
    start_pc();
    ASSERT_TRUE(wait_for_device());
    pc->send("connect " + phone_addr);
    ASSERT_TRUE(phone->wait_line("disconnected"));
    ASSERT_TRUE(status());
    phone.reset();

    phone_data = tmp.sub("phone2");
    start_phone();
    ASSERT_TRUE(wait_for_device());
    pc->send("connect " + phone_addr);
    ASSERT_TRUE(phone->wait_line("connected"));
    phone->send("half");
    ASSERT_TRUE(phone->wait_line("disconnected"));
    ASSERT_TRUE(status());
    phone.reset();

    phone_data = tmp.sub("phone3");
    start_phone();
    pair();
    if (HasFatalFailure()) return;
    const std::size_t from = phone->mark();
    phone->send("garbage 70000");
    ASSERT_TRUE(phone->wait_line("disconnected", from));
    ASSERT_TRUE(status());
    EXPECT_FALSE(pc->wait_exit(0ms)) << "the program exited";
}

TEST_P(Desktop, SignalAndEndOfInputRunTheNormalTeardown) {
    start_pc();
    pc->close_stdin();
    // Still running with stdin gone: it must wait for a signal.
    EXPECT_FALSE(pc->wait_exit(1s));
    pc->signal(SIGTERM);
    ASSERT_TRUE(pc->wait_exit(kWait));
    EXPECT_TRUE(WIFEXITED(pc->exit_status()) && WEXITSTATUS(pc->exit_status()) == 0);
}

// The console's diagnostics name the stack in use.
TEST_P(Desktop, SaysWhichStackItUses) {
    start_pc();
    const std::string expected = GetParam() == Backend::SimRadio ? "[Dovan] BLE 后端: 模拟射频 " + radio
                                                                 : "[Dovan] BLE 后端: BlueZ /org/bluez/hci0";
    EXPECT_TRUE(eventually([&] { return pc_stderr().find(expected) != std::string::npos; })) << pc_stderr();
    ASSERT_TRUE(status());
    EXPECT_EQ(pc->count("notice BLE 初始化失败"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Desktop, ::testing::Values(Backend::SimRadio, Backend::Bluez), backend_name);

// What only a real stack does to the program: not being there, and failing under it.
class DesktopOnBluez : public Desktop {};

TEST_P(DesktopOnBluez, WithoutBluetoothItSaysWhyInOneLineAndKeepsAnswering) {
    struct Case {
        const char* what;
        bool standin;
        bool adapter;
        bool powered;
        const char* reason;
    };
    const Case cases[] = {
        {"an empty bus", false, true, true, "bluetoothd not running"},
        {"bluetoothd without an adapter", true, false, true, "no Bluetooth adapter"},
        {"an adapter switched off", true, true, false, "adapter powered off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        standin.reset();
        if (c.standin) start_standin(c.adapter, c.powered);
        pc = std::make_unique<Process>(
            std::vector<std::string>{binary("dovan"), "--headless", "--lan-port", std::to_string(lan_port)},
            pc_env(), (tmp.path() / "dovan.stderr").string());
        ASSERT_TRUE(pc->wait_line(std::string("notice BLE 初始化失败: ") + c.reason));
        ASSERT_TRUE(status());
        EXPECT_EQ(pc->count("notice BLE 初始化失败"), 1u);
        stop_pc();
        EXPECT_EQ(pc_stderr().find("[Dovan] BLE 后端"), std::string::npos);
    }
}

// Writes the stack fails while the phone says nothing: the program stops waiting on that
// link and connects again when the phone next advertises.
TEST_P(DesktopOnBluez, FailingWritesHealByReconnectingOnceTheyGoThrough) {
    start_phone({"--no-tcp"});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    stop_pc();
    // The restarted program dials the known phone by itself; its HELLO cannot get out.
    standin->fail_writes(1000000);
    start_pc();
    ASSERT_TRUE(pc->wait_line("notice BLE 发送失败: BLE 写未完成: ProtocolError"));
    ASSERT_TRUE(pc->wait_line("notice 蓝牙链路无响应，正在等「Pixel 8」重新广播后重连（第 1 次", 0, 30s));
    const std::size_t healing = pc->mark();
    standin->fail_writes(0);
    ASSERT_TRUE(pc->wait_line("state 4", healing, 30s));
    EXPECT_EQ(pc->count("sas "), 0u) << "a known phone must not be compared again";
}

// bluetoothd restarting or the adapter unplugged under a paired link: the link is dead
// without a word from the stack; the next heartbeat or the automatic dial finds out and
// the program is paired again once the phone is seen on the returned stack.
TEST_P(DesktopOnBluez, APairedLinkComesBackAfterTheStackWentAway) {
    struct Fault {
        const char* what;
        std::function<void(bluez::StandIn&)> go;
        std::function<void(bluez::StandIn&)> back;
    };
    const Fault faults[] = {
        {"bluetoothd restarting", [](bluez::StandIn& s) { s.stop_daemon(); },
         [](bluez::StandIn& s) { ASSERT_TRUE(s.start_daemon().ok()); }},
        {"adapter unplugged", [](bluez::StandIn& s) { s.remove_adapter(); },
         [](bluez::StandIn& s) { s.add_adapter(); }},
    };
    start_phone({"--no-tcp"});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    for (const auto& f : faults) {
        SCOPED_TRACE(f.what);
        const std::size_t from = pc->mark();
        f.go(*standin);
        std::this_thread::sleep_for(500ms);
        f.back(*standin);
        ASSERT_TRUE(pc->wait_line("state 4", from, 75s));
        EXPECT_EQ(pc->count("sas "), 1u) << "a known phone must not be compared again";
    }
    ASSERT_TRUE(status());
}

INSTANTIATE_TEST_SUITE_P(Backends, DesktopOnBluez, ::testing::Values(Backend::Bluez), backend_name);

}  // namespace
}  // namespace dovan::e2e
