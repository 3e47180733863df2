// `dovan --headless` killed with SIGKILL at varied points while it receives a file, saves
// its settings and records a pairing: after each kill what is on disk is the old state or
// the new one, never a mix, and the next start comes back to the phone by itself.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "common/bytes.h"
#include "desktop_fixture.h"

namespace dovan::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Crash : public Desktop {
protected:
    // The seed is printed so that a failing order of kill points can be replayed.
    std::mt19937 rng{seed_};
    const unsigned seed_ = std::random_device{}();

    fs::path inbox() const { return fs::path(home) / "Downloads" / "Dovan"; }
    fs::path data() const { return fs::path(appdata) / "Dovan"; }

    void kill_pc() {
        pc->signal(SIGKILL);
        ASSERT_TRUE(pc->wait_exit(kWait));
        pc.reset();
    }
    // A known phone comes back by itself: PAIRED without digits, then the TCP channel.
    void restart_and_reconnect() {
        start_pc();
        ASSERT_TRUE(pc->wait_line("paired " + phone_fp));
        ASSERT_TRUE(pc->wait_line("tcp 1"));
        EXPECT_EQ(pc->count("sas "), 0u);
    }
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
};

TEST_F(Crash, KilledWhileReceivingItLeavesNoUnverifiedFileUnderAFinalName) {
    SCOPED_TRACE("seed " + std::to_string(seed_));
    Bytes data(8 * 1024 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 65521);
    const fs::path src = tmp.path() / "crash.bin";
    std::ofstream(src, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));

    start_phone();
    start_pc();
    pair();
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    for (int round = 0; round < 4; ++round) {
        // From the first chunk to a little after the last (the whole file takes a few
        // hundred milliseconds on loopback).
        const int after_ms = between(0, 400);
        SCOPED_TRACE("killed " + std::to_string(after_ms) + " ms into the file");
        const std::size_t from = pc->mark();
        phone->send("send " + src.string() + " chunk=65536");
        ASSERT_TRUE(pc->wait_line("row recv 0 接收中", from));
        std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
        kill_pc();
        if (HasFatalFailure()) return;

        // Whatever carries a final name holds the whole file; work in progress keeps its
        // working names.
        for (const auto& entry : fs::directory_iterator(inbox())) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".partial") || name.ends_with(".unverified")) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const Bytes got(std::istreambuf_iterator<char>(in), {});
            EXPECT_TRUE(got == data) << name << " holds " << got.size() << " bytes";
        }
        restart_and_reconnect();
        if (HasFatalFailure()) return;
    }
    // And a file still comes through whole after all that.
    const std::size_t from = pc->mark();
    phone->send("send " + src.string() + " chunk=65536");
    ASSERT_TRUE(pc->wait_line("sysnote 文件接收完成", from, 60s));
}

TEST_F(Crash, KilledWhileSavingSettingsItKeepsTheOldFileOrTheNewOne) {
    SCOPED_TRACE("seed " + std::to_string(seed_));
    const fs::path ini = data() / "settings.ini";
    start_pc();
    pc->send("set toast_show_content 0");
    ASSERT_TRUE(eventually([&] { return read_text(ini).find("toast_show_content=0\n") != std::string::npos; }));
    std::string before = read_text(ini);
    kill_pc();

    for (int round = 0; round < 6; ++round) {
        // Each round flips what the file holds now.
        const bool on = before.find("toast_show_content=0\n") != std::string::npos;
        std::string after = before;
        const std::string was = std::string("toast_show_content=") + (on ? "0" : "1") + "\n";
        after.replace(after.find(was), was.size(), std::string("toast_show_content=") + (on ? "1" : "0") + "\n");

        start_pc();
        ASSERT_TRUE(status());
        pc->send(std::string("set toast_show_content ") + (on ? "1" : "0"));
        std::this_thread::sleep_for(std::chrono::microseconds(between(0, 20000)));
        kill_pc();
        if (HasFatalFailure()) return;
        const std::string now = read_text(ini);
        EXPECT_TRUE(now == before || now == after) << "round " << round << ":\n" << now;

        // The next start reads what is there, whichever it is.
        start_pc();
        const std::size_t from = pc->mark();
        pc->send("settings");
        ASSERT_TRUE(pc->wait_line("settings end", from));
        const bool saved_new = now == after;
        const std::string want = std::string("setting toast_show_content ") + ((saved_new ? on : !on) ? "1" : "0");
        EXPECT_TRUE(pc->wait_line(want, from, 0ms)) << want;
        kill_pc();
        if (HasFatalFailure()) return;
        before = now;
    }
}

TEST_F(Crash, KilledWhileRecordingAPairingItTrustsThePhoneWhollyOrNotAtAll) {
    SCOPED_TRACE("seed " + std::to_string(seed_));
    const fs::path trusted = data() / "trusted_peers.tsv";
    auto lines = [](const std::string& text) {
        std::set<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.insert(l);
        return out;
    };
    // Each round pairs a new phone (its own keys, address and name) with the same PC.
    for (int round = 0; round < 3; ++round) {
        const std::string name = "Phone " + std::to_string(round);
        phone.reset();
        phone_data = tmp.sub("phone-" + std::to_string(round));
        start_phone({"--name", name});
        const std::set<std::string> before = lines(read_text(trusted));
        std::set<std::string> after = before;
        after.insert(phone_fp + "\t" + name);
        auto pair_up = [&] {
            ASSERT_TRUE(wait_for_device());
            const std::size_t from = pc->mark();
            pc->send("connect " + phone_addr);
            ASSERT_TRUE(pc->wait_line("sas ", from));
            pc->send("sas confirm");
        };

        start_pc();
        pair_up();
        if (HasFatalFailure()) return;
        std::this_thread::sleep_for(std::chrono::microseconds(between(0, 30000)));
        kill_pc();
        if (HasFatalFailure()) return;

        const std::set<std::string> now = lines(read_text(trusted));
        ASSERT_TRUE(now == before || now == after) << "round " << round << ":\n" << read_text(trusted);
        if (now == after) {
            restart_and_reconnect();
        } else {
            start_pc();
            pair_up();
            if (HasFatalFailure()) return;
            ASSERT_TRUE(pc->wait_line("paired " + phone_fp));
            EXPECT_EQ(lines(read_text(trusted)), after);
        }
        if (HasFatalFailure()) return;
        kill_pc();
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace dovan::e2e
