// The built program (`dovan --headless`) and the built phone simulator as processes, each
// test on its own sim-radio folder, data directory and LAN port, followed through the
// console's event lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace dovan::e2e {
namespace {

// A loopback port nobody holds right now, so suites can run side by side.
std::uint16_t free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        std::abort();
    ::close(fd);
    return ntohs(sa.sin_port);
}

std::string after(const std::string& line, const std::string& prefix) { return line.substr(prefix.size()); }

class Desktop : public ::testing::Test {
protected:
    TempDir tmp;
    std::string radio = tmp.sub("radio");
    std::string appdata = tmp.sub("appdata");
    std::string phone_data = tmp.sub("phone");
    std::uint16_t lan_port = free_loopback_port();

    std::unique_ptr<Process> phone;
    std::unique_ptr<Process> pc;
    std::string phone_addr;
    std::string phone_fp;

    void TearDown() override {
        if (HasFailure()) {
            if (pc) ADD_FAILURE() << "console said:\n" << pc->transcript();
            if (phone) ADD_FAILURE() << "phone said:\n" << phone->transcript();
        }
        pc.reset();
        phone.reset();
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
        pc = std::make_unique<Process>(
            std::vector<std::string>{binary("dovan"), "--headless", "--lan-port", std::to_string(lan_port)},
            std::vector<std::string>{"DOVAN_SIM_RADIO=" + radio, "APPDATA=" + appdata},
            (tmp.path() / "dovan.stderr").string());
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

TEST_F(Desktop, FirstPairingIsRememberedAndARestartReconnectsByItself) {
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

TEST_F(Desktop, NewIdentityUnderTheSameNameAsksTheUserAndPairsAfresh) {
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

TEST_F(Desktop, SixRefusedConnectsGiveOneNoticeWithTheRetryCount) {
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
TEST_F(Desktop, BrokenPhonesDoNotBringTheProgramDown) {
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

TEST_F(Desktop, AnAlbumPageAndItsThumbnailsArriveOverTheBoundChannel) {
    start_phone({"--album", "300"});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    const std::size_t from = pc->mark();
    const auto asked = std::chrono::steady_clock::now();
    pc->send("album page 0 24");
    auto list = pc->wait_line("album-list ", from);
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, "album-list 0 300 24\t");
    ASSERT_TRUE(eventually([&] { return pc->count("thumb ") >= 24; }));
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    std::printf("[ figure ] album page to the 24th thumbnail stored: %lld ms\n",
                static_cast<long long>(latency.count()));
    for (const auto& l : pc->lines()) {
        if (l.starts_with("thumb ")) {
            EXPECT_EQ(l.find("error"), std::string::npos) << l;
        }
    }

    const std::size_t listed = pc->mark();
    pc->send("album");
    ASSERT_TRUE(pc->wait_line("album end 0 300", listed));
    EXPECT_EQ(pc->count("album-item "), 24u);
    auto first = pc->wait_line("album-item 0 ", listed);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->ends_with(" 0 100000 4000x3000\tIMG_0.jpg")) << *first;
}

TEST_F(Desktop, AlbumRequestsWithTheChannelUnboundShowTheGateAndSendNothing) {
    start_phone({"--no-tcp", "--album", "10"});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    const std::string gate = "相册请求没有发出：局域网 TCP 通道未就绪（相册只走 TCP，不降级蓝牙）";
    const std::size_t from = pc->mark();
    pc->send("album page 0 10");
    EXPECT_TRUE(pc->wait_line("notice " + gate, from));
    pc->send("album drag 1 2");
    EXPECT_TRUE(pc->wait_line("drag failed\t" + gate, from));
    ASSERT_TRUE(status());
    EXPECT_EQ(pc->count("album-list"), 0u);
}

TEST_F(Desktop, SignalAndEndOfInputRunTheNormalTeardown) {
    start_pc();
    pc->close_stdin();
    // Still running with stdin gone: it must wait for a signal.
    EXPECT_FALSE(pc->wait_exit(1s));
    pc->signal(SIGTERM);
    ASSERT_TRUE(pc->wait_exit(kWait));
    EXPECT_TRUE(WIFEXITED(pc->exit_status()) && WEXITSTATUS(pc->exit_status()) == 0);
}

}  // namespace
}  // namespace dovan::e2e
