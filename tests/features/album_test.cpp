// The album's own rules that need no phone: where originals go and what their end does,
// the drag files kept on disk, and the thumbnail cache bound.
#include "features/album.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "features/fake_host.h"
#include "session/bound_pair.h"
#include "transfer/temp_dir.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;
using testing_support::TempDir;

class AlbumRules : public ::testing::Test {
protected:
    AlbumRules() { pair.bind(); }

    void export_ids(const std::string& folder, std::vector<std::uint64_t> ids) {
        UiRequests r;
        r.album_export = AlbumExportRequest{folder, std::move(ids)};
        album.on_requests(r);
    }
    void drag(std::vector<std::uint64_t> ids) {
        UiRequests r;
        r.album_drag = std::move(ids);
        album.on_requests(r);
    }
    std::filesystem::path make_drag_file(std::uint64_t id, std::size_t size) {
        const auto path = Album::drag_folder() / ("album-test-" + std::to_string(::getpid()) + "-" + std::to_string(id));
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
        made.push_back(path);
        return path;
    }
    ~AlbumRules() override {
        std::error_code ec;
        for (const auto& p : made) std::filesystem::remove(p, ec);
    }

    test::BoundPair pair;
    std::shared_ptr<SharedUi> ui = SharedUi::create(initial_ui_state(), {0x1f});
    FakeFeatureHost host{pair.clock, &pair.pc, ui, {0x1f}};
    Album album{host};
    TempDir dir;
    std::vector<std::filesystem::path> made;
};

TEST_F(AlbumRules, EachOriginalGoesWhereItsRequestSaysOrIsRefused) {
    export_ids(dir.path().string(), {1, 2});
    drag({3});
    drag({4});  // replaces the batch before 3 began: 3 is withdrawn
    const auto folder = [&](std::uint64_t id) { return album.full_size_folder(id); };

    EXPECT_EQ(std::get<std::filesystem::path>(folder(1)), dir.path());
    EXPECT_EQ(std::get<std::filesystem::path>(folder(4)), Album::drag_folder());

    const auto withdrawn = std::get<FullSizeRefusal>(folder(3));
    EXPECT_TRUE(withdrawn.silent);
    EXPECT_EQ(withdrawn.reason, "照片 3 的拖出已取消");

    const auto stranger = std::get<FullSizeRefusal>(folder(99));
    EXPECT_FALSE(stranger.silent);
    EXPECT_EQ(stranger.detail, "收到相册原图（照片 99），但它不属于本机任何一次导出或拖出请求：没有登记落盘目录，已拒绝");
    EXPECT_EQ(stranger.reason, kFullSizeReason);
    EXPECT_TRUE(std::holds_alternative<FullSizeRefusal>(folder(3))) << "a withdrawn id is refused like any stranger later";

    export_ids("", {7});
    const auto unusable = std::get<FullSizeRefusal>(folder(7));
    EXPECT_EQ(unusable.detail, "照片 7 属于本次导出，但导出目录已不可用（请重新选一次目录）");
}

// An environment variable set or unset for one scope, put back as it was afterwards.
class EnvFor {
public:
    EnvFor(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old) saved_ = old;
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    }
    ~EnvFor() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }
    EnvFor(const EnvFor&) = delete;
    EnvFor& operator=(const EnvFor&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// The drag folder is named for this user alone; it is in the per-user runtime folder when
// there is one, else in the shared temporary folder where another user may have put
// something under its name first.
TEST_F(AlbumRules, ADragFolderSomeoneElseCouldReachIsNotWrittenInto) {
    const auto runtime_dir = dir.path() / "runtime";
    const auto tmp_dir = dir.path() / "tmp";
    std::filesystem::create_directory(runtime_dir);
    std::filesystem::create_directory(tmp_dir);
    const std::string per_user = "Dovan-" + std::to_string(::geteuid());
    struct Place {
        const char* what;
        std::optional<std::string> runtime;  // XDG_RUNTIME_DIR
        std::filesystem::path expected;
    };
    const Place places[] = {
        {"the runtime folder", runtime_dir.string(), runtime_dir / "dovan-drag"},
        {"no runtime folder", std::nullopt, tmp_dir / per_user},
        {"an empty runtime folder", std::string(), tmp_dir / per_user},
        {"a relative runtime folder", std::string("run/user"), tmp_dir / per_user},
    };
    const auto elsewhere = dir.path() / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    const bool can_chown = ::geteuid() == 0;
    std::uint64_t id = 100;
    for (const auto& place : places) {
        SCOPED_TRACE(place.what);
        EnvFor tmp_env("TMPDIR", tmp_dir.c_str());
        EnvFor runtime_env("XDG_RUNTIME_DIR", place.runtime ? place.runtime->c_str() : nullptr);
        const auto drag_dir = Album::drag_folder();
        ASSERT_EQ(drag_dir, place.expected);
        struct Case {
            const char* what;
            std::function<void()> make;
            std::string refused;  // empty: taken, and closed to others
        };
        const std::vector<Case> cases = {
            {"missing", [] {}, ""},
            {"open to all", [&] { std::filesystem::create_directory(drag_dir); ::chmod(drag_dir.c_str(), 0777); }, ""},
            {"a link", [&] { std::filesystem::create_directory_symlink(elsewhere, drag_dir); }, drag_dir.string() + " 不是目录"},
            {"a file", [&] { std::ofstream(drag_dir) << "x"; }, drag_dir.string() + " 不是目录"},
            {"another user's",
             [&] {
                 std::filesystem::create_directory(drag_dir);
                 ASSERT_EQ(::chown(drag_dir.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)), 0);
             },
             drag_dir.string() + " 属于其他用户"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            if (c.refused.find("其他用户") != std::string::npos && !can_chown) continue;
            std::error_code ec;
            std::filesystem::remove_all(drag_dir, ec);
            c.make();
            drag({++id});
            const auto where = album.full_size_folder(id);
            if (c.refused.empty()) {
                ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(where));
                EXPECT_EQ(std::get<std::filesystem::path>(where), drag_dir);
                struct stat st {};
                ASSERT_EQ(::lstat(drag_dir.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0777, 0700u);
            } else {
                ASSERT_TRUE(std::holds_alternative<FullSizeRefusal>(where));
                const auto& refusal = std::get<FullSizeRefusal>(where);
                EXPECT_EQ(refusal.detail, "拖拽临时目录不可用（" + drag_dir.string() + "）: " + c.refused);
                EXPECT_EQ(refusal.reason, "创建落盘目录失败");
                EXPECT_FALSE(refusal.silent);
            }
        }
        std::error_code ec;
        std::filesystem::remove_all(drag_dir, ec);
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_FALSE(std::filesystem::exists(tmp_dir / "Dovan")) << "the name every user would share";
}

TEST_F(AlbumRules, AnExportedOriginalIsAnnouncedAndNeverAskedForAgain) {
    export_ids(dir.path().string(), {1, 2});
    album.full_size_done(1, true, "IMG_1.jpg → 某处", dir.path() / "IMG_1.jpg");
    album.full_size_done(2, false, "IMG_2.jpg：摘要不符", {});
    EXPECT_EQ(host.notices.back(), "相册原图导出失败: IMG_2.jpg：摘要不符");
    {
        auto g = ui->lock();
        ASSERT_FALSE(g->system_notifications.empty());
        EXPECT_EQ(g->system_notifications.back().title, "相册原图已导出");
        EXPECT_EQ(g->system_notifications.back().body, "IMG_1.jpg → 某处");
    }
    (void)pair.pc.take_tcp_frames();
    export_ids(dir.path().string(), {1, 2});
    ASSERT_EQ(pair.pc.tcp_out().size(), 1u) << "one request for the failed one only";
    pair.pump();
    const auto events = pair.phone.take_events();
    ASSERT_EQ(events.size(), 1u);
    const auto* full = events[0].as<MessageEvent<pb::AlbumFullRequest>>();
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(std::vector<std::uint64_t>(full->message.ids().begin(), full->message.ids().end()),
              std::vector<std::uint64_t>{2});
    // Asked again while on its way, an original is not asked for twice.
    export_ids(dir.path().string(), {2});
    EXPECT_TRUE(pair.pc.tcp_out().empty());
}

TEST_F(AlbumRules, DragFilesOutsideTheBatchGoOnceThreeAreKept) {
    drag({1});
    album.full_size_folder(1);
    const auto f1 = make_drag_file(1, 10);
    album.full_size_done(1, true, "", f1);
    drag({2});
    album.full_size_folder(2);
    const auto f2 = make_drag_file(2, 10);
    album.full_size_done(2, true, "", f2);
    EXPECT_TRUE(std::filesystem::exists(f1)) << "two files are kept";
    using Shown = std::unordered_map<std::uint64_t, std::string>;
    EXPECT_EQ(ui->lock()->album.drag_files, (Shown{{1, f1.string()}, {2, f2.string()}})) << "the window can drag both";
    drag({3, 4});
    const auto f3 = make_drag_file(3, 10);
    album.full_size_done(3, true, "", f3);
    EXPECT_FALSE(std::filesystem::exists(f1));
    EXPECT_FALSE(std::filesystem::exists(f2));
    EXPECT_TRUE(std::filesystem::exists(f3));
    EXPECT_EQ(ui->lock()->album.drag_files, (Shown{{3, f3.string()}})) << "deleted files are not offered";
    EXPECT_EQ(ui->lock()->album.drag->kind, DragStatus::Kind::Pending) << "ready only once the whole batch is here";
    const auto f4 = make_drag_file(4, 10);
    album.full_size_done(4, true, "", f4);
    const auto status = *ui->lock()->album.drag;
    EXPECT_EQ(status.kind, DragStatus::Kind::Ready);
    EXPECT_EQ(status.text, f4.string());
}

TEST_F(AlbumRules, ADragOfAnOriginalAlreadyOnItsWayAsksForNothingNew) {
    drag({5});
    ASSERT_EQ(pair.pc.take_tcp_frames().size(), 1u);
    drag({5});  // pressed again before it arrived
    EXPECT_TRUE(pair.pc.tcp_out().empty());
    EXPECT_EQ(ui->lock()->album.drag->kind, DragStatus::Kind::Pending);
    drag({5, 6});
    pair.pump();
    const auto events = pair.phone.take_events();
    ASSERT_EQ(events.size(), 1u);
    const auto* full = events[0].as<MessageEvent<pb::AlbumFullRequest>>();
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(std::vector<std::uint64_t>(full->message.ids().begin(), full->message.ids().end()),
              std::vector<std::uint64_t>{6});
    album.full_size_folder(5);
    album.full_size_done(5, true, "", make_drag_file(5, 10));
    EXPECT_EQ(ui->lock()->album.drag->kind, DragStatus::Kind::Pending) << "6 is still coming";
}

TEST_F(AlbumRules, AFailedDragOriginalFailsTheDrag) {
    drag({5, 6});
    album.full_size_done(5, false, "IMG_5.jpg：链路重建，接收中断", {});
    const auto status = *ui->lock()->album.drag;
    EXPECT_EQ(status.kind, DragStatus::Kind::Failed);
    EXPECT_EQ(status.text, "IMG_5.jpg：链路重建，接收中断");
}

TEST_F(AlbumRules, AnEmptySelectionAsksNothing) {
    export_ids(dir.path().string(), {});
    EXPECT_EQ(host.notices.back(), "还没有选中照片：先在格子上点一下再导出");
    EXPECT_TRUE(pair.pc.tcp_out().empty());
}

TEST_F(AlbumRules, LeavingTheAlbumPageForgetsTheThumbnailsInFlight) {
    {
        auto g = ui->lock();
        g->page = Page::Album;
        g->album.items = {{11, "a"}, {12, "b"}};
    }
    album.step(TurnStep::Album, pair.clock.now());
    EXPECT_EQ(ui->lock()->album.thumbs_in_flight, 2u);
    ui->lock()->page = Page::Files;
    album.step(TurnStep::Album, pair.clock.now());
    EXPECT_EQ(ui->lock()->album.thumbs_in_flight, 0u);
    EXPECT_FALSE(album.next_deadline()) << "nothing left to time out";
}

}  // namespace
}  // namespace dovan
