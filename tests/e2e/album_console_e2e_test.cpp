// The album: the program and a phone simulator serving a synthetic album, as processes over
// a private loopback port; a page of it with both front ends, the rest through the console.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "album.h"
#include "desktop_fixture.h"
#include "front_end.h"

namespace dovan::e2e {
namespace {

class AlbumConsole : public Desktop {};

// Opening the album shows a page of it: the console asks for 24 photos, the window for as
// many as its grid shows.
class AlbumPage : public BothFrontEnds {};

TEST_P(AlbumPage, AnAlbumPageAndItsThumbnailsArriveOverTheBoundChannel) {
    start({"--album", "300"});
    if (HasFatalFailure()) return;
    const std::size_t from = pc->mark();
    const auto asked = std::chrono::steady_clock::now();
    const std::uint32_t shown = open_album();
    auto list = pc->wait_line("album-list ", from);
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, "album-list 0 300 " + std::to_string(shown) + "\t");
    ASSERT_TRUE(eventually([&] { return pc->count("thumb ") >= shown; }));
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    std::printf("[ figure ] album page to the %uth thumbnail stored (%s): %lld ms\n", shown,
                window() ? "window" : "console", static_cast<long long>(latency.count()));
    for (const auto& l : pc->lines()) {
        if (l.starts_with("thumb ")) {
            EXPECT_EQ(l.find("error"), std::string::npos) << l;
        }
    }
    if (window()) return;

    const std::size_t listed = pc->mark();
    pc->send("album");
    ASSERT_TRUE(pc->wait_line("album end 0 300", listed));
    EXPECT_EQ(pc->count("album-item "), 24u);
    auto first = pc->wait_line("album-item 0 ", listed);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->ends_with(" 0 100000 4000x3000\tIMG_0.jpg")) << *first;
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, AlbumPage, front_ends(), front_end_name);

Bytes read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string photo_file(std::uint32_t index) { return "IMG_" + std::to_string(phonesim::photo_id(index)) + ".jpg"; }

std::string id_list(std::uint32_t first, std::uint32_t count) {
    std::string out;
    for (std::uint32_t i = first; i < first + count; ++i) out += " " + std::to_string(phonesim::photo_id(i));
    return out;
}

TEST_F(AlbumConsole, OriginalsLandVerifiedInTheExportFolderOnceAndADragEndsReady) {
    constexpr std::uint64_t kSize = 70000;  // two chunks each
    // The program's runtime folder (and with it the drag folder) is one of the test's own.
    const std::filesystem::path runtime = tmp.path() / "runtime";
    std::filesystem::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    struct Restore {
        bool had;
        std::string value;
        ~Restore() { had ? ::setenv("XDG_RUNTIME_DIR", value.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR"); }
    };
    const char* was = std::getenv("XDG_RUNTIME_DIR");
    const Restore restore{was != nullptr, was ? was : ""};
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    start_phone({"--album", "10", "--album-original", std::to_string(kSize)});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    const std::filesystem::path folder = tmp.path() / "export";
    const std::string exported = "sysnote 相册原图已导出\t";

    pc->send("album export " + folder.string() + id_list(0, 3));
    ASSERT_TRUE(eventually([&] { return pc->count(exported) == 3; }));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{photo_file(0), photo_file(1), photo_file(2)}));
    for (std::uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(read_all(folder / photo_file(i)), phonesim::original_bytes(phonesim::photo_id(i), kSize)) << i;

    // Again with two more: only the two new ones are asked for and land.
    std::size_t from = pc->mark();
    pc->send("album export " + folder.string() + id_list(0, 5));
    EXPECT_TRUE(pc->wait_line("sysnote 正在导出相册原图\t已请求 2 张，落盘目录：" + folder.string(), from));
    ASSERT_TRUE(eventually([&] { return pc->count(exported) == 5; }));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{photo_file(0), photo_file(1), photo_file(2), photo_file(3),
                                                           photo_file(4)}));
    EXPECT_EQ(read_all(folder / photo_file(4)), phonesim::original_bytes(phonesim::photo_id(4), kSize));

    // A drag-out of two ends ready once both are in this user's drag folder.
    from = pc->mark();
    pc->send("album drag" + id_list(6, 2));
    auto drag = pc->wait_line("drag ", from);
    ASSERT_TRUE(drag);
    const std::filesystem::path drag_dir = runtime / "dovan-drag";
    EXPECT_TRUE(*drag == "drag ready\t" + (drag_dir / photo_file(6)).string() ||
                *drag == "drag ready\t" + (drag_dir / photo_file(7)).string())
        << *drag;
    EXPECT_EQ(names_in(drag_dir), (std::vector<std::string>{photo_file(6), photo_file(7)}));
    for (std::uint32_t i : {6u, 7u})
        EXPECT_EQ(read_all(drag_dir / photo_file(i)), phonesim::original_bytes(phonesim::photo_id(i), kSize)) << i;
    EXPECT_EQ(pc->count("notice 已拒绝接收"), 0u);
}

TEST_F(AlbumConsole, AlbumRequestsWithTheChannelUnboundShowTheGateAndSendNothing) {
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

}  // namespace
}  // namespace dovan::e2e
