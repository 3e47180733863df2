// The phone's photo album: pages, thumbnails and export of the originals, paced while the
// album page is shown. Thumbnails are kept as the phone's bytes, in memory only, within a
// bound of entries and bytes; originals arrive through file receive, which asks this module
// where each goes (FullSizeSink).
//
// Events: AlbumListReceived, AlbumThumbReceived, AlbumListRequested, AlbumThumbRequested, AlbumFullRequested.
// Requests: album_page, album_export, album_drag, thumbnail_wanted.
// Steps: Album.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "features/feature.h"
#include "features/full_size.h"

namespace dovan {

inline constexpr std::uint32_t kThumbEdge = 256;
inline constexpr std::size_t kThumbsInFlight = 4;
inline constexpr Duration kThumbTimeout = std::chrono::seconds(20);
inline constexpr Duration kPageTimeout = std::chrono::seconds(20);
inline constexpr std::size_t kThumbCacheEntries = 240;
inline constexpr std::size_t kThumbCacheBytes = 6291456;
inline constexpr std::size_t kFullSizePerRequest = 256;
inline constexpr std::size_t kFullSizeIdsPerMessage = 64;
inline constexpr Duration kFullSizeSlowAfter = std::chrono::seconds(300);
inline constexpr std::uint64_t kDragFilesBytes = 2147483648ull;

inline constexpr std::string_view kAlbumGateOff = "相册已在「功能」页关闭：重新开启并重启后才能取照片";
inline constexpr std::string_view kAlbumGateNoPhone = "相册请求没有发出：还没连上手机（在「连接」页点一下设备）";
inline constexpr std::string_view kAlbumGateNoTcp =
    "相册请求没有发出：局域网 TCP 通道未就绪（相册只走 TCP，不降级蓝牙）";
inline constexpr std::string_view kThumbTimedOut = "手机没有回这张缩略图（超时）";
inline constexpr std::string_view kThumbNotSent = "通道未就绪，缩略图没有发出";
inline constexpr std::string_view kThumbEmpty = "手机回了一张空的缩略图";
inline constexpr std::string_view kPageTimedOut =
    "手机没有回这一页清单（超时 20 秒）：手机可能锁屏，或相册任务在它那边排队满了。点「刷新」重试";
inline constexpr std::string_view kFullSizeReason = "原图不属于本机任何一次请求";

class Album final : public Feature, public FullSizeSink {
public:
    explicit Album(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "album"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;
    void on_link(const LinkChange& change) override;
    std::optional<Instant> next_deadline() const override;

    std::variant<std::filesystem::path, FullSizeRefusal> full_size_folder(std::uint64_t photo_id) override;
    void full_size_done(std::uint64_t photo_id, bool ok, std::string_view text,
                        const std::filesystem::path& file) override;

    // The folder drag-out originals are written to, this user's alone by its name:
    // "dovan-drag" in $XDG_RUNTIME_DIR when that is an absolute path, else "Dovan-<uid>" in
    // the system's temporary folder.
    static std::filesystem::path drag_folder();

private:
    struct InFlight {
        std::uint64_t generation = 0;
        std::uint64_t id = 0;
        Instant sent{};
    };
    struct Pending {
        Instant requested{};
        bool started = false;
        bool drag = false;
        bool slow = false;
    };
    struct DragFile {
        std::uint64_t id = 0;
        std::filesystem::path path;
    };

    // Empty when album requests may go out, else the text saying why not.
    std::string_view gate() const;
    void request_page(std::uint32_t page, std::uint32_t per_page);
    void want_thumbnail(std::uint64_t id);
    void export_selected(const std::string& folder, const std::vector<std::uint64_t>& ids);
    void drag_out(const std::vector<std::uint64_t>& ids);
    // Registers up to 256 ids as pending and sends them in groups; returns (sent, not sent).
    std::pair<std::size_t, std::size_t> request_originals(const std::vector<std::uint64_t>& ids, bool drag);
    void set_drag(DragStatus status);
    void prune_drag_files();

    void on_list(const AppEvent& event);
    void on_thumb(const AppEvent& event);
    void album_step(Instant now);
    void forget_in_flight();
    // Keeps the cache within its bounds, sparing the visible cells as long as possible.
    static void trim_cache(AlbumView& album, const std::vector<std::uint64_t>& visible);
    static std::vector<std::uint64_t> visible_window(const AlbumView& album);

    FeatureHost& host_;

    // The outstanding or last page request.
    bool page_requested_ = false;
    std::optional<Instant> page_sent_;
    std::uint32_t wanted_page_ = 0;
    std::uint32_t wanted_per_page_ = 0;

    std::vector<InFlight> in_flight_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::string export_folder_;
    std::set<std::uint64_t> exported_;
    std::vector<std::uint64_t> drag_batch_;
    // Drag-outs the user replaced before their originals began: refused when they come.
    std::set<std::uint64_t> withdrawn_;
    std::vector<DragFile> drag_files_;
};

}  // namespace dovan
