// The album module against the simulated phone's album, in one process: a paired PC engine
// and phone engine joined by in-memory links, the core's album turn driven by hand on a
// fake clock, and file receive writing and verifying the originals where the album says.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>

#include "album.h"
#include "crypto/primitives.h"
#include "features/album.h"
#include "features/fake_host.h"
#include "features/file_receive.h"
#include "platform/debug_log.h"
#include "protocol/frame.h"
#include "session/bound_pair.h"
#include "transfer/temp_dir.h"

using dovan::testing_support::TempDir;

namespace dovan {
namespace {

using namespace std::chrono_literals;
using phonesim::AlbumOptions;
using phonesim::SimAlbum;
using phonesim::photo_id;

struct Rig {
    explicit Rig(AlbumOptions options, bool bound = true, LoadedModules modules = {0x1f})
        : ui(SharedUi::create(initial_ui_state(), modules)),
          host(pair.clock, &pair.pc, ui, modules),
          album(host),
          phone(std::move(options)),
          receiver(host) {
        receiver.set_full_size_sink(&album);
        if (bound) pair.bind();
        ui->lock()->page = Page::Album;
    }

    // One core turn as far as the album is concerned, with the phone answering in between.
    void turn() {
        const Instant now = pair.clock.now();
        UiRequests r = ui->lock()->take_requests();
        album.on_requests(r);
        pair.pump();
        for (const auto& e : pair.phone.take_events()) phone.on_event(e, now);
        phone.step(pair.phone, now);
        pair.pump();
        for (const auto& e : pair.pc.take_events()) {
            if (!album.on_event(e)) receiver.on_event(e);
        }
        receiver.step(TurnStep::ReceivedChunks, now);
        album.step(TurnStep::Album, now);
        receiver.step(TurnStep::ReceiveHolds, now);
        pair.pump();
    }
    void turns(int n, Duration each = 200ms) {
        for (int i = 0; i < n; ++i) {
            turn();
            pair.clock.advance(each);
        }
    }
    AlbumView view() { return ui->lock()->album; }
    std::vector<std::string> feed_lines() {
        std::vector<std::string> out;
        for (const auto& e : ui->feed().read(0).events) {
            if (const auto* t = std::get_if<feed::Thumb>(&e.data))
                out.push_back("thumb " + std::to_string(t->id) + (t->bytes ? "" : " error " + t->error));
            if (const auto* d = std::get_if<feed::Drag>(&e.data))
                out.push_back(std::string("drag ") + (d->ready ? "ready " : "failed ") + d->text);
            if (const auto* l = std::get_if<feed::AlbumList>(&e.data))
                out.push_back("album-list " + std::to_string(l->page) + " " + std::to_string(l->count));
        }
        return out;
    }
    void request_page(std::uint32_t page, std::uint32_t per_page) {
        ui->lock()->requests.album_page = AlbumPageRequest{page, per_page};
    }
    std::size_t cached_images() {
        auto g = ui->lock();
        return std::count_if(g->album.thumbnails.begin(), g->album.thumbnails.end(),
                             [](const auto& kv) { return std::holds_alternative<Bytes>(kv.second.content); });
    }

    test::BoundPair pair;
    std::shared_ptr<SharedUi> ui;
    FakeFeatureHost host;
    Album album;
    SimAlbum phone;
    FileReceive receiver;
};

std::vector<std::uint64_t> ids(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint64_t> out;
    for (std::uint32_t i = first; i < first + count; ++i) out.push_back(photo_id(i));
    return out;
}

// The simulator's thumbnails are what a decoder expects: start, tables, a frame of the
// asked edge, one scan, end. (They decode to their flat shade with libjpeg.)
TEST(SimulatedThumbnails, AreBaselineJpegsOfTheAskedEdge) {
    for (std::uint32_t edge : {8u, 100u, 256u}) {
        SCOPED_TRACE(edge);
        const Bytes j = phonesim::flat_jpeg(edge, 77);
        ASSERT_GE(j.size(), 4u);
        EXPECT_EQ(j[0], 0xFF);
        EXPECT_EQ(j[1], 0xD8);
        EXPECT_EQ(j[j.size() - 2], 0xFF);
        EXPECT_EQ(j[j.size() - 1], 0xD9);
        std::vector<std::uint8_t> markers;
        std::size_t at = 2;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> size;
        while (at + 4 <= j.size() && j[at] == 0xFF && j[at + 1] != 0xDA) {
            const std::size_t len = (j[at + 2] << 8) | j[at + 3];
            markers.push_back(j[at + 1]);
            if (j[at + 1] == 0xC0) {
                EXPECT_EQ(j[at + 4], 8) << "8-bit samples";
                size = {(j[at + 5] << 8) | j[at + 6], (j[at + 7] << 8) | j[at + 8]};
            }
            at += 2 + len;
        }
        ASSERT_LT(at + 1, j.size());
        EXPECT_EQ(j[at + 1], 0xDA) << "the scan follows the tables";
        EXPECT_EQ(markers, (std::vector<std::uint8_t>{0xDB, 0xC0, 0xC4, 0xC4}));
        ASSERT_TRUE(size);
        EXPECT_EQ(*size, std::make_pair(edge, edge));
    }
}

TEST(AlbumEndToEnd, APageArrivesAndItsThumbnailsAreAskedFourAtATime) {
    // A phone that takes a second per thumbnail shows the pacing: at most four wait at once.
    Rig rig({.count = 100, .thumb_delay = 1s});
    rig.request_page(0, 24);
    rig.turns(2);
    ASSERT_EQ(rig.view().items.size(), 24u);
    EXPECT_EQ(rig.phone.thumbs_requested(), 4u);
    EXPECT_EQ(rig.view().thumbs_in_flight, 4u);
    rig.turns(3);  // 600 ms: nothing answered yet, nothing more asked
    EXPECT_EQ(rig.phone.thumbs_requested(), 4u);
    rig.turns(3);  // past one second: the first answer frees one place
    EXPECT_EQ(rig.cached_images(), 1u);
    EXPECT_EQ(rig.phone.thumbs_requested(), 5u);
    EXPECT_LE(rig.view().thumbs_in_flight, 4u);
    rig.turns(150);
    EXPECT_EQ(rig.cached_images(), 24u);
    EXPECT_EQ(rig.phone.thumbs_requested(), 24u) << "a cached thumbnail is not asked again";
    EXPECT_TRUE(rig.pair.pc.ble_out().empty());
}

TEST(AlbumEndToEnd, TheFirst24ThumbnailsOfAPromptPhoneAreStoredWithinAFewTurns) {
    Rig rig({.count = 500});
    rig.request_page(0, 24);
    int turns = 0;
    while (rig.cached_images() < 24 && turns < 100) {
        rig.turns(1);
        ++turns;
    }
    EXPECT_EQ(rig.cached_images(), 24u);
    // Four per turn after the page's own turn: the latency is paced by the core's turns.
    EXPECT_LE(turns, 8);
    std::printf("[ figure ] first 24 thumbnails stored after %d core turns (%d ms of turn pauses)\n", turns,
                turns * 200);
}

TEST(AlbumEndToEnd, ALatePageAndAnOldGenerationsThumbnailAreNotStored) {
    DebugCapture capture;
    Rig rig({.count = 100, .page_delay = 2s, .thumb_delay = 3s});
    rig.request_page(0, 10);
    rig.turns(12);
    ASSERT_EQ(rig.view().items.size(), 10u);
    ASSERT_EQ(rig.view().thumbs_in_flight, 4u);
    const std::uint64_t asked_before = photo_id(0);
    // The user moves on while page 0's thumbnails and then page 1's answer are on their way.
    rig.request_page(1, 10);
    rig.turns(1);
    rig.request_page(2, 10);
    rig.turns(40);
    const AlbumView v = rig.view();
    EXPECT_EQ(v.page, 2u);
    EXPECT_EQ(v.items.front().id, photo_id(20));
    EXPECT_FALSE(v.thumbnails.contains(asked_before)) << "a thumbnail of an older generation was stored";
    EXPECT_FALSE(capture.events("stale_page_dropped").empty());
}

TEST(AlbumEndToEnd, ThumbnailRepliesOfEveryShapeEndAsTheRightCell) {
    const struct {
        const char* name;
        AlbumOptions options;
        std::optional<std::string> error;  // nothing: the image bytes are kept
    } cases[] = {
        {"image", {.count = 4}, std::nullopt},
        {"bytes and error", {.count = 4, .thumb_bytes_and_error = true}, "缩略图生成失败"},
        {"empty", {.count = 4, .empty_thumbs = true}, std::string(kThumbEmpty)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.options);
        rig.request_page(0, 4);
        rig.turns(6);
        const AlbumView v = rig.view();
        ASSERT_EQ(v.thumbnails.size(), 4u);
        const auto& content = v.thumbnails.at(photo_id(0)).content;
        if (c.error) {
            EXPECT_EQ(std::get<std::string>(content), *c.error);
        } else {
            const Bytes& jpeg = std::get<Bytes>(content);
            ASSERT_GE(jpeg.size(), 4u);
            EXPECT_EQ(jpeg[0], 0xFF);
            EXPECT_EQ(jpeg[1], 0xD8);
        }
    }
}

TEST(AlbumEndToEnd, ThumbnailsNobodyAskedForAreDropped) {
    DebugCapture capture;
    // The eight strangers come with the page, before any thumbnail was asked for.
    Rig rig({.count = 50, .unasked_thumbs = 8});
    rig.request_page(0, 10);
    rig.turns(1);
    EXPECT_EQ(capture.events("thumb_not_inflight").size(), 8u);
    EXPECT_TRUE(rig.view().thumbnails.empty());
    rig.turns(5);
    EXPECT_EQ(rig.cached_images(), 10u) << "asked for in its own time, each is stored";
}

TEST(AlbumEndToEnd, HostilePagesStayInsideTheCacheBound) {
    // Every thumbnail is a megabyte; names carry control characters; each id comes twice.
    Rig rig({.count = 600,
             .thumb_padding = 1024 * 1000,
             .control_names = true,
             .duplicate_ids = true});
    rig.request_page(0, 300);
    rig.turns(40);
    const AlbumView v = rig.view();
    EXPECT_EQ(v.items.size(), 300u) << "duplicates are one cell";
    for (const auto& item : v.items) EXPECT_EQ(item.name.find_first_of("\n\x01\x1b"), std::string::npos);
    std::size_t bytes = 0;
    for (const auto& [id, e] : v.thumbnails)
        if (const auto* b = std::get_if<Bytes>(&e.content)) bytes += b->size();
    EXPECT_LE(bytes, kThumbCacheBytes);
    EXPECT_LE(v.thumbnails.size(), kThumbCacheEntries);
    EXPECT_GT(rig.cached_images(), 0u);
}

TEST(AlbumEndToEnd, Exporting300Requests256InGroupsOf64AndASecondExportTakesTheRest) {
    TempDir dir;
    const auto folder = dir.path() / "export";
    Rig rig({.count = 300, .original_size = 3000, .chunk_size = 1024});
    rig.request_page(0, 300);
    rig.turns(2);
    rig.ui->lock()->requests.album_export = AlbumExportRequest{folder.string(), ids(0, 300)};
    rig.turns(1);
    EXPECT_EQ(rig.phone.full_requests(), 4u);
    EXPECT_EQ(rig.phone.originals_requested().size(), 256u);
    EXPECT_NE(std::find(rig.host.notices.begin(), rig.host.notices.end(),
                        "一次最多取 256 张（手机侧同时只排 4 批、每批 64 张）：已发出 256 张，还有 44 张没发，"
                        "等这批传完再点一次就接着往下取"),
              rig.host.notices.end());
    for (int i = 0; i < 2000 && !rig.phone.idle(); ++i) rig.turns(1, 1ms);
    rig.turns(3, 1ms);
    std::size_t landed = 0;
    for (const auto& f : std::filesystem::directory_iterator(folder)) {
        ++landed;
        EXPECT_EQ(std::filesystem::file_size(f.path()), 3000u);
    }
    EXPECT_EQ(landed, 256u);

    rig.ui->lock()->requests.album_export = AlbumExportRequest{folder.string(), ids(0, 300)};
    rig.turns(1);
    EXPECT_EQ(rig.phone.originals_requested().size(), 300u) << "only the 44 left are asked for";
    const std::vector<std::uint64_t> second(rig.phone.originals_requested().begin() + 256,
                                            rig.phone.originals_requested().end());
    EXPECT_EQ(second, ids(256, 44));
    bool told = false;
    for (const auto& n : rig.ui->lock()->system_notifications)
        told |= n.title == "正在导出相册原图" && n.body == "已请求 44 张，落盘目录：" + folder.string();
    EXPECT_TRUE(told);
}

TEST(AlbumEndToEnd, ADragOutOfTwoEndsReadyWithTheFilesInTheDragFolder) {
    // A private runtime folder, so nothing left there by others takes the names.
    TempDir tmp;
    struct Restore {
        const char* name;
        bool had;
        std::string value;
        ~Restore() { had ? ::setenv(name, value.c_str(), 1) : ::unsetenv(name); }
    };
    const char* was = std::getenv("XDG_RUNTIME_DIR");
    Restore restore{"XDG_RUNTIME_DIR", was != nullptr, was ? was : ""};
    ::setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1);
    ASSERT_EQ(Album::drag_folder(), tmp.path() / "dovan-drag");
    Rig rig({.count = 10, .original_size = 5000});
    rig.request_page(0, 10);
    rig.turns(2);
    rig.ui->lock()->requests.album_drag = ids(3, 2);
    rig.turns(10, 1ms);
    const AlbumView v = rig.view();
    ASSERT_TRUE(v.drag);
    EXPECT_EQ(v.drag->kind, DragStatus::Kind::Ready);
    const std::filesystem::path ready(v.drag->text);
    EXPECT_EQ(ready.parent_path(), Album::drag_folder());
    EXPECT_EQ(std::filesystem::file_size(ready), 5000u);
    for (std::uint32_t i : {3u, 4u}) {
        const auto file = Album::drag_folder() / ("IMG_" + std::to_string(photo_id(i)) + ".jpg");
        EXPECT_EQ(phonesim::original_bytes(photo_id(i), 5000), [&] {
            std::ifstream in(file, std::ios::binary);
            return Bytes(std::istreambuf_iterator<char>(in), {});
        }()) << i;
        // The window drags what the state names.
        EXPECT_EQ(v.drag_files.at(photo_id(i)), file.string());
    }
}

TEST(AlbumEndToEnd, AnOriginalNobodyRequestedIsRefusedWithItsText) {
    TempDir dir;
    Rig rig({.count = 10, .original_size = 100, .unrequested_original = true});
    rig.ui->lock()->requests.album_export = AlbumExportRequest{dir.path().string(), ids(0, 1)};
    rig.turns(10, 1ms);
    const std::string refused = "已拒绝接收：收到相册原图（照片 " + std::to_string(phonesim::kStrangerPhoto) +
                                "），但它不属于本机任何一次导出或拖出请求：没有登记落盘目录，已拒绝";
    EXPECT_EQ(std::count(rig.host.notices.begin(), rig.host.notices.end(), refused), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / ("IMG_" + std::to_string(phonesim::kStrangerPhoto) + ".jpg")));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / ("IMG_" + std::to_string(photo_id(0)) + ".jpg")));
}

TEST(AlbumEndToEnd, EveryRequestMeetsTheGateAndNothingGoesOverBle) {
    const struct {
        const char* name;
        bool bound;
        bool engine;
        LoadedModules modules;
        std::string_view text;
    } cases[] = {
        {"album switched off", true, true, {0x0f}, kAlbumGateOff},
        {"no phone", false, false, {0x1f}, kAlbumGateNoPhone},
        {"TCP unbound", false, true, {0x1f}, kAlbumGateNoTcp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Rig rig({.count = 10}, c.bound, c.modules);
        if (!c.engine) rig.host.engine_ = nullptr;
        (void)rig.pair.pc.take_ble_fragments();
        rig.request_page(0, 10);
        rig.turns(1);
        rig.ui->lock()->requests.album_export = AlbumExportRequest{dir.path().string(), ids(0, 3)};
        rig.turns(1);
        rig.ui->lock()->requests.album_drag = ids(0, 2);
        rig.turns(1);
        EXPECT_EQ(std::count(rig.host.notices.begin(), rig.host.notices.end(), std::string(c.text)), 2);
        ASSERT_TRUE(rig.view().drag);
        EXPECT_EQ(rig.view().drag->kind, DragStatus::Kind::Failed);
        EXPECT_EQ(rig.view().drag->text, c.text);
        EXPECT_FALSE(rig.view().loading);
        EXPECT_TRUE(rig.pair.pc.ble_out().empty()) << "an album request went over BLE";
        EXPECT_TRUE(rig.pair.pc.tcp_out().empty());
        EXPECT_EQ(rig.phone.pages_requested() + rig.phone.full_requests(), 0u);
        // A later original for those ids has no folder.
        EXPECT_TRUE(std::holds_alternative<FullSizeRefusal>(rig.album.full_size_folder(photo_id(0))));
    }
}

TEST(AlbumEndToEnd, APageTheyNeverAnswerTimesOutAfter20Seconds) {
    Rig rig({.count = 10, .page_delay = 1h});
    rig.request_page(0, 10);
    rig.turn();
    ASSERT_TRUE(rig.view().loading);
    rig.pair.clock.advance(20s);
    rig.turn();
    EXPECT_TRUE(rig.view().loading) << "exactly 20 s is not yet a time-out";
    EXPECT_EQ(rig.album.next_deadline(), rig.pair.clock.now() + 1ms);
    rig.pair.clock.advance(1ms);
    rig.turn();
    EXPECT_FALSE(rig.view().loading);
    EXPECT_EQ(rig.host.notices.back(), kPageTimedOut);
}

TEST(AlbumEndToEnd, AThumbnailTheyNeverAnswerTimesOutIntoItsCell) {
    Rig rig({.count = 10, .thumb_delay = 1h});
    rig.request_page(0, 10);
    rig.turns(2);
    ASSERT_EQ(rig.view().thumbs_in_flight, 4u);
    rig.pair.clock.advance(20s);
    rig.turn();
    rig.turn();  // the phone hears of what the last turn asked
    const AlbumView v = rig.view();
    ASSERT_TRUE(v.thumbnails.contains(photo_id(0)));
    EXPECT_EQ(std::get<std::string>(v.thumbnails.at(photo_id(0)).content), kThumbTimedOut);
    EXPECT_EQ(rig.phone.thumbs_requested(), 8u) << "the next four go out once the first four gave up";
    // Named again, the cell is asked for again; the cells it did not name wait.
    rig.ui->lock()->requests.thumbnail_wanted = photo_id(0);
    rig.pair.clock.advance(21s);
    rig.turn();
    rig.turn();
    EXPECT_EQ(rig.phone.thumbs_requested(), 9u);
    EXPECT_EQ(rig.view().thumbs_in_flight, 1u);
}

TEST(AlbumEndToEnd, OriginalsThatNeverStartAreReportedOnceAfter300Seconds) {
    TempDir dir;
    Rig rig({.count = 10, .originals_never_start = true});
    rig.ui->lock()->requests.album_export = AlbumExportRequest{dir.path().string(), ids(0, 3)};
    rig.turn();
    ASSERT_EQ(rig.phone.originals_requested().size(), 3u);
    rig.pair.clock.advance(300s);
    rig.turn();
    const std::string slow =
        "有 3 张原图手机到现在还没开始传（多半是在它那边排队满了，或前面有大文件）。先别重复点导出，等这批传完再看一眼目录";
    EXPECT_EQ(std::count(rig.host.notices.begin(), rig.host.notices.end(), slow), 0);
    rig.pair.clock.advance(1ms);
    rig.turn();
    rig.pair.clock.advance(600s);
    rig.turn();
    EXPECT_EQ(std::count(rig.host.notices.begin(), rig.host.notices.end(), slow), 1);
}

}  // namespace
}  // namespace dovan
