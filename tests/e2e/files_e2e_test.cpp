// Files both ways between the program and the phone simulator as processes, over a private
// loopback port, with private receive folders on both sides. What a user does with files
// runs with both front ends (see front_end.h); the faults of the transfer itself, which the
// front end does not touch, run with the headless program.
#include <filesystem>
#include <fstream>

#include "crypto/primitives.h"
#include "desktop_fixture.h"
#include "front_end.h"

namespace dovan::e2e {
namespace {

namespace fs = std::filesystem;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + seed + i / 4093);
    return b;
}

Bytes read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class Files : public Desktop {
protected:
    fs::path pc_inbox() const { return fs::path(home) / "Downloads" / "Dovan"; }
    fs::path phone_inbox() const { return fs::path(phone_data) / "inbox"; }

    // Both sides up, paired and the TCP channel bound.
    void connect(std::vector<std::string> phone_extra = {}) {
        start_phone(std::move(phone_extra));
        start_pc();
        pair();
        ASSERT_TRUE(pc->wait_line("tcp 1"));
        ASSERT_TRUE(phone->wait_line("tcp 1"));
    }
    fs::path write(const std::string& name, const Bytes& data) {
        const fs::path p = tmp.path() / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                  static_cast<std::streamsize>(data.size()));
        return p;
    }
    // A line that contains `text` (row lines start with a percent that varies).
    static bool saw(Process& p, const std::string& text) {
        return eventually([&] { return p.transcript().find(text) != std::string::npos; });
    }
    std::string sha_hex(const Bytes& data) {
        auto d = sha256({data});
        return hex_lower(ByteView(d.data(), d.size()));
    }
};

// Files with both front ends: picked on the PC, sent from the phone, handed over by a later
// start of the program.
class FilesBoth : public BothFrontEnds {
protected:
    fs::path pc_inbox() const { return fs::path(home) / "Downloads" / "Dovan"; }
    fs::path phone_inbox() const { return fs::path(phone_data) / "inbox"; }
    fs::path write(const std::string& name, const Bytes& data) {
        const fs::path p = tmp.path() / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                  static_cast<std::streamsize>(data.size()));
        return p;
    }
    static std::string sha_hex(const Bytes& data) {
        auto d = sha256({data});
        return hex_lower(ByteView(d.data(), d.size()));
    }
};

TEST_P(FilesBoth, ThreeChunkAndEmptyFilesCrossBothWaysBitExact) {
    start();
    if (HasFatalFailure()) return;
    const Bytes three = pattern(2 * 262144 + 4321, 3);
    const Bytes empty;
    for (const auto& [name, data] : {std::pair{std::string("three.bin"), three}, std::pair{std::string("empty.bin"), empty}}) {
        SCOPED_TRACE(name);
        // PC → phone: the phone checks every CRC and the SHA-256 and says ok.
        std::size_t from = pc->mark();
        send_file(write("pc-" + name, data));
        ASSERT_TRUE(phone->wait_line("file-in pc-" + name + " ok " + sha_hex(data)));
        ASSERT_TRUE(pc->wait_line("row send 100 已完成\tpc-" + name, from));
        EXPECT_EQ(read_all(phone_inbox() / ("pc-" + name)), data);

        // phone → PC.
        from = pc->mark();
        phone->send("send " + write("ph-" + name, data).string());
        ASSERT_TRUE(phone->wait_line("file-out ph-" + name + " ok"));
        ASSERT_TRUE(pc->wait_line("row recv 100 已完成\tph-" + name, from));
        EXPECT_EQ(read_all(pc_inbox() / ("ph-" + name)), data);
        EXPECT_FALSE(fs::exists(pc_inbox() / ("ph-" + name + ".partial")));
    }
}

// A file picked while the phone is away waits for it and goes once the phone is back.
TEST_P(FilesBoth, AFileQueuedWhileThePhoneIsAwayGoesWhenItComesBack) {
    start();
    if (HasFatalFailure()) return;
    const Bytes data = pattern(300000, 8);
    const fs::path file = write("while-away.bin", data);
    std::size_t from = pc->mark();
    const std::size_t phone_from = phone->mark();
    phone->send("away 4");
    ASSERT_TRUE(phone->wait_line("away", phone_from));
    ASSERT_TRUE(pc->wait_line("tcp 0", from));
    send_file(file);
    ASSERT_TRUE(phone->wait_line("back", phone_from, 30s));
    ASSERT_TRUE(pc->wait_line("tcp 1", from, 60s));
    ASSERT_TRUE(phone->wait_line("file-in while-away.bin ok " + sha_hex(data), phone_from, 60s));
    ASSERT_TRUE(pc->wait_line("row send 100 已完成\twhile-away.bin", from));
    EXPECT_EQ(read_all(phone_inbox() / "while-away.bin"), data);
}

// `dovan <file>` while the program runs: the running one takes the file (the window asks
// for "发送" first) and it reaches the phone.
TEST_P(FilesBoth, AFileHandedOverByALaterStartReachesThePhone) {
    start();
    if (HasFatalFailure()) return;
    const Bytes data = pattern(5000, 11);
    const std::size_t from = pc->mark();
    hand_off(write("handed over.txt", data));
    if (HasFatalFailure()) return;
    ASSERT_TRUE(phone->wait_line("file-in handed over.txt ok " + sha_hex(data)));
    ASSERT_TRUE(pc->wait_line("row send 100 已完成\thanded over.txt", from));
    EXPECT_EQ(read_all(phone_inbox() / "handed over.txt"), data);
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, FilesBoth, front_ends(), front_end_name);

// A file from the phone opens through the desktop's handler, from its row and from its
// notification: a stand-in xdg-open on the program's PATH writes down what it was given.
class ReceivedFile : public FilesBoth {};

TEST_P(ReceivedFile, ItsFolderAndTheFileOpenFromTheRowAndTheNotification) {
    const fs::path bin = tmp.sub("bin");
    const fs::path asked = tmp.path() / "xdg-open.log";
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << asked.string() << "'\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    extra_env = {"PATH=" + bin.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")};
    start();
    if (HasFatalFailure()) return;
    const std::size_t from = pc->mark();
    phone->send("send " + write("report.txt", pattern(100, 7)).string());
    ASSERT_TRUE(pc->wait_line("row recv 100 已完成\treport.txt", from));
    const std::string folder_url = "file://" + pc_inbox().string();
    open_received(0, true);
    EXPECT_TRUE(eventually([&] { return read_file(asked) == folder_url + "\n"; })) << read_file(asked);
    ASSERT_TRUE(press_notification_button("dovan://open/"));
    EXPECT_TRUE(eventually([&] { return read_file(asked) == folder_url + "\n" + folder_url + "/report.txt\n"; }))
        << read_file(asked);
}

// Builds without the window program (the sanitizer builds) have only the console.
#ifdef DOVAN_HAVE_DESKTOP
INSTANTIATE_TEST_SUITE_P(Window, ReceivedFile, ::testing::Values(FrontEnd::Window), front_end_name);
#else
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReceivedFile);
#endif

TEST_F(Files, TheFilesPhoneAsksForAgainAreResentAndVerified) {
    connect({"--resume-from", "1"});
    // PC → phone: the phone drops chunk 1 and asks from there; the PC re-hashes the prefix.
    const Bytes data = pattern(3 * 262144, 5);
    pc->send("send " + write("resume.bin", data).string());
    ASSERT_TRUE(phone->wait_line("file-resume resume.bin 1"));
    ASSERT_TRUE(phone->wait_line("file-in resume.bin ok " + sha_hex(data)));
    EXPECT_EQ(read_all(phone_inbox() / "resume.bin"), data);

    // phone → PC: a damaged chunk, chunks out of order and FILE_DONE before the last chunk
    // each end in a verified file.
    const Bytes small = pattern(5000, 9);
    for (const std::string faults : {"corrupt=1", "swap=1", "early"}) {
        SCOPED_TRACE(faults);
        const std::string name = "f-" + faults.substr(0, faults.find('=')) + ".bin";
        const std::size_t from = pc->mark();
        phone->send("send " + write(name, small).string() + " chunk=1024 " + faults);
        ASSERT_TRUE(phone->wait_line("file-out " + name + " ok"));
        ASSERT_TRUE(pc->wait_line("row recv 100 已完成\t" + name, from));
        EXPECT_EQ(read_all(pc_inbox() / name), small);
    }
}

TEST_F(Files, RefusalsMismatchesCancelsAndLostConnectionsAreReportedWithTheirLeftovers) {
    connect({"--refuse", "手机存储已满"});
    std::size_t from = pc->mark();
    pc->send("send " + write("refused.bin", pattern(10, 1)).string());
    ASSERT_TRUE(pc->wait_line("notice 对端拒收（refused.bin）: 手机存储已满", from));

    // A wrong digest: the PC keeps the bytes under a name that says so.
    const Bytes data = pattern(3000, 2);
    from = pc->mark();
    phone->send("send " + write("wrong.bin", data).string() + " chunk=1024 wrongdigest");
    ASSERT_TRUE(phone->wait_line("file-out wrong.bin fail 接收端摘要不符"));
    ASSERT_TRUE(pc->wait_line("row recv 100 摘要不符\twrong.bin", from));
    EXPECT_FALSE(fs::exists(pc_inbox() / "wrong.bin"));
    EXPECT_EQ(read_all(pc_inbox() / "wrong.bin.unverified"), data);

    // The phone cancels mid-way: the partial file goes.
    phone->send("send " + write("cancel.bin", data).string() + " chunk=1024 cancel=0");
    ASSERT_TRUE(saw(*pc, "已取消\tcancel.bin"));
    EXPECT_TRUE(eventually([&] { return !fs::exists(pc_inbox() / "cancel.bin.partial"); }));
    EXPECT_FALSE(fs::exists(pc_inbox() / "cancel.bin"));

    // The PC cancels a file the phone is holding back: the partial file goes too.
    phone->send("send " + write("held.bin", data).string() + " chunk=1024 withhold");
    ASSERT_TRUE(saw(*pc, "重传中\theld.bin"));
    pc->send("cancel recv held.bin");
    ASSERT_TRUE(saw(*pc, "已取消\theld.bin"));
    ASSERT_TRUE(phone->wait_line("file-out held.bin cancelled 电脑端已取消"));
    EXPECT_FALSE(fs::exists(pc_inbox() / "held.bin.partial"));

    // The TCP connection drops mid-file: failed, nothing over BLE, the bytes so far kept
    // under the working name only.
    from = pc->mark();
    phone->send("send " + write("drop.bin", data).string() + " chunk=1024 droptcp=0");
    ASSERT_TRUE(pc->wait_line("notice 文件接收失败（drop.bin）: 接收中 TCP 通道断开，文件未完成（不会改走蓝牙）", from));
    EXPECT_FALSE(fs::exists(pc_inbox() / "drop.bin"));
    // The offer and chunk 0 left the phone before the close and are taken in; whether
    // chunk 0 reached the disk before the failure is a race, anything else is a fault.
    ASSERT_TRUE(fs::exists(pc_inbox() / "drop.bin.partial"));
    const Bytes kept = read_all(pc_inbox() / "drop.bin.partial");
    EXPECT_TRUE(kept.empty() || kept == Bytes(data.begin(), data.begin() + 1024));
}

TEST_F(Files, APcKilledMidReceiveLeavesNothingUnderTheFinalName) {
    connect();
    const Bytes data = pattern(3000, 6);
    phone->send("send " + write("crash.jpg", data).string() + " chunk=1024 pause=1");
    // Two of three chunks are on disk and the PC waits for the rest.
    ASSERT_TRUE(saw(*pc, "row recv 68 接收中\tcrash.jpg"));
    pc->signal(SIGKILL);
    ASSERT_TRUE(pc->wait_exit(kWait));
    pc.reset();
    EXPECT_FALSE(fs::exists(pc_inbox() / "crash.jpg"));
    EXPECT_EQ(read_all(pc_inbox() / "crash.jpg.partial"), Bytes(data.begin(), data.begin() + 2048));

    // Started again, the program takes the same file under the next name and leaves the
    // crash's leftover alone.
    start_pc();
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    const std::size_t from = pc->mark();
    phone->send("send " + write("crash.jpg", data).string() + " chunk=1024");
    ASSERT_TRUE(pc->wait_line("row recv 100 已完成\tcrash (1).jpg", from));
    EXPECT_EQ(read_all(pc_inbox() / "crash (1).jpg"), data);
    EXPECT_EQ(read_all(pc_inbox() / "crash.jpg.partial"), Bytes(data.begin(), data.begin() + 2048));
    EXPECT_FALSE(fs::exists(pc_inbox() / "crash.jpg"));
}

TEST_F(Files, UnbindMidReceiveDeletesThePartialFile) {
    connect({"--never-answer"});
    const Bytes data = pattern(3000, 4);
    phone->send("send " + write("held.bin", data).string() + " chunk=1024 withhold");
    ASSERT_TRUE(saw(*pc, "重传中\theld.bin"));
    ASSERT_TRUE(fs::exists(pc_inbox() / "held.bin.partial"));
    pc->send("unbind");
    ASSERT_TRUE(saw(*pc, "已取消\theld.bin"));
    EXPECT_FALSE(fs::exists(pc_inbox() / "held.bin.partial"));
    EXPECT_FALSE(fs::exists(pc_inbox() / "held.bin"));
}

TEST_F(Files, SeventyFilesOverflowTheQueue) {
    // The first file waits for an answer the phone never gives, so the picks behind it
    // stay queued however the core's turns fall: the queue holds 64 and says so (in one
    // batch or, when the picks straddle a turn, once it is full).
    connect({"--never-answer"});
    const fs::path one = write("q.bin", pattern(3000, 4));
    pc->send("send " + one.string());
    ASSERT_TRUE(saw(*pc, "等待对端确认\tq.bin"));
    for (int i = 0; i < 70; ++i) pc->send("send " + one.string());
    EXPECT_TRUE(eventually([&] {
        const std::string t = pc->transcript();
        return t.find("notice 一次最多排队 64 个文件，这批多出来的没有排上") != std::string::npos ||
               t.find("notice 待发队列已满（上限 64 个文件），等这批发完再选") != std::string::npos;
    }));
}

}  // namespace
}  // namespace dovan::e2e
