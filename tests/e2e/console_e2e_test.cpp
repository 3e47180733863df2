// The built program (`dovan --headless`) and the built phone simulator as processes, each
// test on its own sim-radio folder, data directory and LAN port, followed through the
// console's event lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "desktop_fixture.h"

namespace dovan::e2e {
namespace {


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
