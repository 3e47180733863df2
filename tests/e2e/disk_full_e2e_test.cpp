// A full disk under `dovan --headless`: the receive folder and the data folder each sit on a
// small tmpfs mounted in a mount namespace of this test process alone, so nothing on the
// machine fills up.
#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "common/bytes.h"
#include "common/text.h"
#include "desktop_fixture.h"

namespace dovan::e2e {
namespace {

namespace fs = std::filesystem;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 977);
    return b;
}

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& p, const Bytes& data) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

class DiskFull : public Desktop {
protected:
    void SetUp() override {
        // Without the right to make a mount namespace there is no safe way to fill a disk.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            GTEST_SKIP() << "no private mount namespace here: " << errno_text(errno);
        for (const fs::path& d : {inbox(), data()}) {
            fs::create_directories(d);
            ASSERT_EQ(::mount("tmpfs", d.c_str(), "tmpfs", 0, "size=1m"), 0) << errno_text(errno);
            mounted_.push_back(d);
        }
    }
    void TearDown() override {
        Desktop::TearDown();
        for (const fs::path& d : mounted_) ::umount2(d.c_str(), MNT_DETACH);
    }

    fs::path inbox() const { return fs::path(home) / "Downloads" / "Dovan"; }
    fs::path data() const { return fs::path(appdata) / "Dovan"; }
    fs::path sent(const std::string& name, const Bytes& b) {
        const fs::path p = tmp.path() / name;
        write_bytes(p, b);
        return p;
    }
    // Fills the folder's disk to the last byte; removing the file frees it again.
    static fs::path fill(const fs::path& dir) {
        const fs::path ballast = dir / "ballast";
        std::ofstream out(ballast, std::ios::binary);
        const std::string block(4096, 'x');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) out.flush();
        return ballast;
    }

    std::vector<fs::path> mounted_;
};

TEST_F(DiskFull, AFileTheDiskCannotHoldFailsWithItsReasonAndTheNextOneLandsOnceSpaceIsFree) {
    start_phone();
    start_pc();
    pair();
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    ASSERT_TRUE(phone->wait_line("tcp 1"));

    // Larger than the whole disk: refused up front with the space it needs.
    phone->send("send " + sent("big.bin", pattern(2 * 1024 * 1024, 1)).string());
    ASSERT_TRUE(phone->wait_line("file-out big.bin fail 本机空间不足"));
    EXPECT_TRUE(eventually([&] { return pc->transcript().find("本机空间不足：需要 2097152 B") != std::string::npos; }));
    EXPECT_FALSE(fs::exists(inbox() / "big.bin"));

    // It fits when offered, but the disk fills while the phone pauses after chunk 0: the
    // next write finds no space and ends the file, and nothing is left under its name.
    const Bytes mid = pattern(300 * 1024, 2);
    phone->send("send " + sent("mid.bin", mid).string() + " chunk=65536 pause=0");
    ASSERT_TRUE(phone->wait_line("file-paused mid.bin 0"));
    ASSERT_TRUE(eventually([&] { return fs::exists(inbox() / "mid.bin.partial") && fs::file_size(inbox() / "mid.bin.partial") == 65536; }));
    const fs::path ballast = fill(inbox());
    phone->send("continue");
    ASSERT_TRUE(phone->wait_line("file-out mid.bin fail 接收写入失败"));
    EXPECT_TRUE(eventually([&] { return pc->transcript().find("失败\tmid.bin") != std::string::npos; }));
    EXPECT_FALSE(fs::exists(inbox() / "mid.bin"));
    EXPECT_FALSE(fs::exists(inbox() / "mid.bin.partial"));

    // Space again: the same file now arrives whole.
    fs::remove(ballast);
    phone->send("send " + sent("mid.bin", mid).string() + " chunk=65536");
    ASSERT_TRUE(phone->wait_line("file-out mid.bin ok"));
    std::ifstream got(inbox() / "mid.bin", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(got), {}), mid);
}

TEST_F(DiskFull, ASettingsSaveOnAFullDiskKeepsTheSavedFileWhole) {
    start_pc();
    pc->send("set toast_show_content 0");
    const fs::path ini = data() / "settings.ini";
    ASSERT_TRUE(eventually([&] { return read_text(ini).find("toast_show_content=0") != std::string::npos; }));
    const std::string saved = read_text(ini);

    const fs::path ballast = fill(data());
    pc->send("set toast_show_content 1");
    ASSERT_TRUE(eventually([&] { return pc->transcript().find("设置未能保存") != std::string::npos; }));
    EXPECT_EQ(read_text(ini), saved);
    EXPECT_FALSE(fs::exists(data() / "settings.ini.tmp"));

    fs::remove(ballast);
    pc->send("set toast_show_content 1");
    EXPECT_TRUE(eventually([&] { return read_text(ini).find("toast_show_content=1") != std::string::npos; }));
}

}  // namespace
}  // namespace dovan::e2e
