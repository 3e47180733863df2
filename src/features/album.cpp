#include "features/album.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <system_error>
#include <unordered_set>

#include "common/text.h"
#include "platform/debug_log.h"
#include "platform/files.h"
#include "protocol/frame.h"
#include "protocol/messages.h"

namespace dovan {

namespace {

constexpr std::string_view kListNotSent = "相册清单请求未发出：通道在按下的一瞬间断了，请重试";
constexpr std::string_view kNothingSelected = "还没有选中照片：先在格子上点一下再导出";
constexpr std::string_view kOriginalsNotSent = "原图请求未发出：局域网通道在按下的一瞬间断了，请重试";
constexpr std::string_view kDragNotSent = "原图请求未发出：局域网通道在按下的一瞬间断了";
// Names reach the window and the console; the phone's are cut to this many bytes.
constexpr std::size_t kMaxItemName = 1024;

// The phone's names are shown one per cell and printed one per line: no control
// characters, valid UTF-8, bounded.
std::string clean_name(std::string_view raw) {
    const std::string text = utf8_lossy(utf8_cut(raw, kMaxItemName));
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = utf8_next(text, pos);
        utf8_append(out, (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) ? U'\uFFFD' : cp);
    }
    return out;
}

std::size_t entry_bytes(const ThumbnailEntry& e) {
    if (const auto* b = std::get_if<Bytes>(&e.content)) return b->size();
    return std::get<std::string>(e.content).size();
}

feed::Thumb thumb_event(std::uint64_t id, const ThumbnailEntry& e) {
    if (const auto* b = std::get_if<Bytes>(&e.content)) return {id, b->size(), {}};
    return {id, std::nullopt, std::get<std::string>(e.content)};
}

}  // namespace

std::filesystem::path Album::drag_folder() {
    // One name per user: in a folder every user shares, whoever made a fixed name first
    // would own it and leave everyone else without drag-out.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / "dovan-drag";
    std::error_code ec;
    auto tmp = std::filesystem::temp_directory_path(ec);
    if (ec) tmp = "/tmp";
    return tmp / ("Dovan-" + std::to_string(::geteuid()));
}

std::string_view Album::gate() const {
    if (!host_.modules().album()) return kAlbumGateOff;
    Engine* e = host_.engine();
    if (e == nullptr || e->state() != EngineState::Paired) return kAlbumGateNoPhone;
    if (!e->tcp_bound()) return kAlbumGateNoTcp;
    return {};
}

bool Album::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::AlbumListReceived:
            if (host_.modules().album()) on_list(event);
            return true;
        case AppEventKind::AlbumThumbReceived:
            if (host_.modules().album()) on_thumb(event);
            return true;
        case AppEventKind::AlbumListRequested:
        case AppEventKind::AlbumThumbRequested:
        case AppEventKind::AlbumFullRequested:
            // Only the PC browses; the phone asking for a page is a confused peer.
            host_.push_notice("收到对端发来的相册请求（本端是发起方，已忽略）");
            return true;
        default:
            return false;
    }
}

void Album::on_requests(UiRequests& r) {
    if (r.album_page) request_page(r.album_page->page, r.album_page->per_page);
    if (r.album_export) export_selected(r.album_export->folder, r.album_export->ids);
    if (r.album_drag) drag_out(*r.album_drag);
    if (r.thumbnail_wanted) want_thumbnail(*r.thumbnail_wanted);
    r.album_page.reset();
    r.album_export.reset();
    r.album_drag.reset();
    r.thumbnail_wanted.reset();
}

void Album::request_page(std::uint32_t page, std::uint32_t per_page) {
    per_page = std::max<std::uint32_t>(per_page, 1);
    if (const auto refused = gate(); !refused.empty()) {
        page_sent_.reset();
        {
            auto g = host_.ui().lock();
            g->album.loading = false;
            g->bump();
        }
        host_.push_notice(refused);
        host_.request_repaint();
        return;
    }
    pb::AlbumListRequest m;
    if (page != 0) m.set_page(page);
    m.set_per_page(per_page);
    const bool sent = host_.engine()->send_tcp_only(ALBUM_LIST_REQUEST, encode_album_list_request(m),
                                                    host_.clock().wall_ms());
    if (!sent) {
        page_sent_.reset();
        {
            auto g = host_.ui().lock();
            g->album.loading = false;
            g->bump();
        }
        host_.push_notice(kListNotSent);
        host_.request_repaint();
        return;
    }
    page_requested_ = true;
    page_sent_ = host_.clock().now();
    wanted_page_ = page;
    wanted_per_page_ = per_page;
    if (page == 0) in_flight_.clear();
    {
        auto g = host_.ui().lock();
        g->album.loading = true;
        ++g->album.generation;
        g->album.thumbnail_queue.clear();
        g->album.thumbs_in_flight = static_cast<std::uint32_t>(in_flight_.size());
        g->bump();
    }
    host_.request_repaint();
}

void Album::want_thumbnail(std::uint64_t id) {
    auto g = host_.ui().lock();
    // Asked for by name, a cell that shows an error text is tried again.
    if (auto it = g->album.thumbnails.find(id);
        it != g->album.thumbnails.end() && std::holds_alternative<std::string>(it->second.content))
        g->album.thumbnails.erase(it);
    auto& wanted = g->album.thumbnail_queue;
    if (std::find(wanted.begin(), wanted.end(), id) != wanted.end()) return;
    // A window shows no more cells than the cache holds; older wishes give way.
    if (wanted.size() >= kThumbCacheEntries) wanted.erase(wanted.begin());
    wanted.push_back(id);
}

std::pair<std::size_t, std::size_t> Album::request_originals(const std::vector<std::uint64_t>& ids, bool drag) {
    const Instant now = host_.clock().now();
    for (std::uint64_t id : ids) pending_[id] = Pending{now, false, drag, false};
    if (const auto refused = gate(); !refused.empty()) {
        for (std::uint64_t id : ids) pending_.erase(id);
        return {0, ids.size()};
    }
    std::size_t sent = 0;
    std::size_t failed = 0;
    for (std::size_t at = 0; at < ids.size(); at += kFullSizeIdsPerMessage) {
        const std::size_t end = std::min(ids.size(), at + kFullSizeIdsPerMessage);
        pb::AlbumFullRequest m;
        for (std::size_t i = at; i < end; ++i) m.add_ids(ids[i]);
        Engine* e = host_.engine();
        if (e != nullptr && e->send_tcp_only(ALBUM_FULL_REQUEST, encode_album_full_request(m), host_.clock().wall_ms())) {
            sent += end - at;
        } else {
            for (std::size_t i = at; i < end; ++i) pending_.erase(ids[i]);
            failed += end - at;
        }
    }
    return {sent, failed};
}

void Album::export_selected(const std::string& folder, const std::vector<std::uint64_t>& ids) {
    if (ids.empty()) {
        host_.push_notice(kNothingSelected);
        return;
    }
    export_folder_ = folder;
    std::vector<std::uint64_t> rest;
    std::unordered_set<std::uint64_t> seen;
    std::size_t skipped = 0;
    for (std::uint64_t id : ids) {
        if (!seen.insert(id).second) continue;
        if (exported_.contains(id)) {
            ++skipped;
            continue;
        }
        // Asking again for an original already on its way would land it twice.
        if (pending_.contains(id)) continue;
        rest.push_back(id);
    }
    const std::string skipped_note =
        skipped > 0 ? format_text("（已自动跳过之前导出成功的 {} 张）", skipped) : std::string();
    if (rest.empty()) {
        host_.push_notice(skipped > 0 ? "这次选中的照片都已导出或正在传：没有新的原图要请求" + skipped_note
                                      : std::string("这次选中的照片都已在传：没有新的原图要请求"));
        return;
    }
    std::vector<std::uint64_t> kept(rest.begin(), rest.begin() + std::min(rest.size(), kFullSizePerRequest));
    if (const auto refused = gate(); !refused.empty()) {
        host_.push_notice(refused);
        return;
    }
    if (rest.size() > kFullSizePerRequest) {
        host_.push_notice(format_text("一次最多取 {} 张（手机侧同时只排 4 批、每批 {} 张）：已发出 {} 张，还有 {} 张没发，"
                                      "等这批传完再点一次就接着往下取",
                                      kFullSizePerRequest, kFullSizeIdsPerMessage, kept.size(),
                                      rest.size() - kept.size()) +
                          skipped_note);
    }
    const auto [sent, failed] = request_originals(kept, false);
    if (sent == 0) {
        host_.push_notice(kOriginalsNotSent);
        return;
    }
    const std::string body = failed == 0
                                 ? format_text("已请求 {} 张，落盘目录：{}", sent, folder)
                                 : format_text("{} 张已发出，另有 {} 张这一批没发出去，请再点一次导出", sent, failed);
    {
        auto g = host_.ui().lock();
        g->queue_system_notification({"正在导出相册原图", body, {}, {}});
        g->bump();
    }
    host_.request_repaint();
}

void Album::drag_out(const std::vector<std::uint64_t>& ids) {
    std::vector<std::uint64_t> kept;
    std::unordered_set<std::uint64_t> seen;
    for (std::uint64_t id : ids) {
        if (kept.size() == kFullSizePerRequest) break;
        if (seen.insert(id).second) kept.push_back(id);
    }
    if (kept.empty()) return;
    // The batch being replaced is withdrawn: what of it has not begun is refused on arrival.
    for (std::uint64_t id : drag_batch_) {
        auto it = pending_.find(id);
        if (it != pending_.end() && it->second.drag && !it->second.started && !seen.contains(id)) {
            withdrawn_.insert(id);
            pending_.erase(it);
        }
    }
    for (std::uint64_t id : kept) withdrawn_.erase(id);
    drag_batch_ = kept;
    if (const auto refused = gate(); !refused.empty()) {
        set_drag({DragStatus::Kind::Failed, std::string(refused)});
        return;
    }
    set_drag({DragStatus::Kind::Pending, {}});
    // An original already on its way for a drag is not asked for twice: the second copy
    // would arrive after the first had ended its pending entry and be refused.
    std::vector<std::uint64_t> fresh;
    for (std::uint64_t id : kept) {
        auto it = pending_.find(id);
        if (it == pending_.end() || !it->second.drag) fresh.push_back(id);
    }
    if (fresh.empty()) return;
    const auto [sent, failed] = request_originals(fresh, true);
    (void)failed;
    if (sent == 0) set_drag({DragStatus::Kind::Failed, std::string(kDragNotSent)});
}

void Album::set_drag(DragStatus status) {
    {
        auto g = host_.ui().lock();
        if (status.kind != DragStatus::Kind::Pending)
            g->emit(feed::Drag{status.kind == DragStatus::Kind::Ready, status.text});
        g->album.drag = std::move(status);
        g->bump();
    }
    host_.request_repaint();
}

std::variant<std::filesystem::path, FullSizeRefusal> Album::full_size_folder(std::uint64_t photo_id) {
    if (withdrawn_.erase(photo_id) > 0) {
        const std::string reason = format_text("照片 {} 的拖出已取消", photo_id);
        emit_event(LogLevel::Info, "album", format_text("撤销在途的拖出到货，已静默拒收: {}", reason));
        return FullSizeRefusal{{}, reason, true};
    }
    auto it = pending_.find(photo_id);
    if (it == pending_.end()) {
        return FullSizeRefusal{
            format_text("收到相册原图（照片 {}），但它不属于本机任何一次导出或拖出请求：没有登记落盘目录，已拒绝", photo_id),
            std::string(kFullSizeReason), false};
    }
    if (it->second.drag) {
        // The folder may sit in the shared temporary folder: whatever another user put
        // under its name first could read or swap the photo before the drop target takes it.
        const auto folder = drag_folder();
        if (auto made = files::ensure_private_dir(folder); !made) {
            return FullSizeRefusal{format_text("拖拽临时目录不可用（{}）: {}", folder.string(), made.error().text),
                                   "创建落盘目录失败", false};
        }
        it->second.started = true;
        return folder;
    }
    if (export_folder_.empty()) {
        return FullSizeRefusal{format_text("照片 {} 属于本次导出，但导出目录已不可用（请重新选一次目录）", photo_id),
                               std::string(kFullSizeReason), false};
    }
    it->second.started = true;
    return std::filesystem::path(export_folder_);
}

void Album::prune_drag_files() {
    std::error_code ec;
    std::erase_if(drag_files_, [&](const DragFile& f) { return !std::filesystem::exists(f.path, ec); });
    const auto in_batch = [&](const DragFile& f) {
        return std::find(drag_batch_.begin(), drag_batch_.end(), f.id) != drag_batch_.end();
    };
    // Only files in our own drag folder are ever deleted, whatever a path says.
    const auto remove = [&](const DragFile& f) {
        if (f.path.parent_path() == drag_folder()) std::filesystem::remove(f.path, ec);
    };
    if (drag_files_.size() >= 3) {
        for (const auto& f : drag_files_)
            if (!in_batch(f)) remove(f);
        std::erase_if(drag_files_, [&](const DragFile& f) { return !in_batch(f); });
    }
    const auto total = [&] {
        std::uint64_t sum = 0;
        for (const auto& f : drag_files_) {
            const auto size = std::filesystem::file_size(f.path, ec);
            if (!ec) sum += size;
        }
        return sum;
    };
    while (!drag_files_.empty() && total() > kDragFilesBytes) {
        auto victim = std::find_if(drag_files_.begin(), drag_files_.end(), [&](const DragFile& f) { return !in_batch(f); });
        if (victim == drag_files_.end()) victim = drag_files_.begin();
        remove(*victim);
        drag_files_.erase(victim);
    }
}

void Album::full_size_done(std::uint64_t photo_id, bool ok, std::string_view text,
                           const std::filesystem::path& file) {
    auto it = pending_.find(photo_id);
    if (it == pending_.end()) return;
    const bool drag = it->second.drag;
    pending_.erase(it);
    if (drag) {
        const bool in_batch = std::find(drag_batch_.begin(), drag_batch_.end(), photo_id) != drag_batch_.end();
        if (ok) {
            drag_files_.push_back({photo_id, file});
            prune_drag_files();
            {
                // The window drags what this map names; what was pruned is gone from disk.
                auto g = host_.ui().lock();
                auto& shown = g->album.drag_files;
                std::erase_if(shown, [&](const auto& kv) {
                    return std::none_of(drag_files_.begin(), drag_files_.end(),
                                        [&](const DragFile& f) { return f.id == kv.first && f.path == kv.second; });
                });
                if (std::any_of(drag_files_.begin(), drag_files_.end(), [&](const DragFile& f) { return f.id == photo_id; }))
                    shown[photo_id] = file.string();
            }
            // The window offers the drag once the whole batch is on disk.
            const bool batch_done = std::none_of(drag_batch_.begin(), drag_batch_.end(),
                                                 [&](std::uint64_t id) { return pending_.contains(id); });
            if (in_batch && batch_done) set_drag({DragStatus::Kind::Ready, file.string()});
        } else if (in_batch) {
            set_drag({DragStatus::Kind::Failed, std::string(text)});
        }
    } else if (ok) {
        exported_.insert(photo_id);
        auto g = host_.ui().lock();
        g->queue_system_notification({"相册原图已导出", std::string(text), {}, {}});
    } else {
        host_.push_notice(format_text("相册原图导出失败: {}", text));
    }
    host_.ui().lock()->bump();
    host_.request_repaint();
}

void Album::on_list(const AppEvent& event) {
    const auto* m = event.as<MessageEvent<pb::AlbumList>>();
    if (m == nullptr) return;
    const pb::AlbumList& list = m->message;
    if (!page_requested_ || list.page() != wanted_page_) {
        emit_event(LogLevel::Warn, "album", "stale_page_dropped",
                   {{"page", std::to_string(list.page())}, {"want", std::to_string(wanted_page_)}});
        return;
    }
    page_sent_.reset();
    std::vector<AlbumItemView> items;
    items.reserve(static_cast<std::size_t>(list.items_size()));
    std::unordered_set<std::uint64_t> seen;
    for (const auto& it : list.items()) {
        // One cell per photo: a repeated id would share its thumbnail and selection.
        if (!seen.insert(it.id()).second) continue;
        items.push_back({it.id(), clean_name(it.name()), it.size_bytes(), it.mtime_ms(), it.width(), it.height(),
                         it.kind(), it.duration_ms()});
    }
    const std::string error = clean_name(list.error());
    {
        auto g = host_.ui().lock();
        auto& a = g->album;
        a.loading = false;
        a.items = std::move(items);
        a.total = list.total();
        a.page = wanted_page_;
        a.per_page = wanted_per_page_;
        a.error = error;
        a.selection.clear();
        a.scroll = 0;
        g->bump();
        g->emit(feed::AlbumList{a.page, a.total, static_cast<std::uint32_t>(a.items.size()), a.error});
    }
    host_.request_repaint();
}

void Album::on_thumb(const AppEvent& event) {
    const auto* m = event.as<MessageEvent<pb::AlbumThumb>>();
    if (m == nullptr) return;
    const pb::AlbumThumb& t = m->message;
    auto it = std::find_if(in_flight_.begin(), in_flight_.end(), [&](const InFlight& f) { return f.id == t.id(); });
    if (it == in_flight_.end()) {
        emit_event(LogLevel::Warn, "album", "thumb_not_inflight",
                   {{"id", std::to_string(t.id())}, {"bytes", std::to_string(t.jpeg().size())}});
        return;
    }
    const std::uint64_t generation = it->generation;
    in_flight_.erase(it);
    const Instant now = host_.clock().now();
    {
        auto g = host_.ui().lock();
        auto& a = g->album;
        a.thumbs_in_flight = static_cast<std::uint32_t>(in_flight_.size());
        if (generation == a.generation) {
            ThumbnailEntry entry;
            entry.last_used = now;
            if (!t.error().empty()) {
                entry.content = clean_name(t.error());
            } else if (!t.jpeg().empty() && t.jpeg().size() <= FRAME_MAX_PAYLOAD) {
                entry.content = Bytes(t.jpeg().begin(), t.jpeg().end());
            } else {
                entry.content = std::string(kThumbEmpty);
            }
            g->emit(thumb_event(t.id(), entry));
            a.thumbnails[t.id()] = std::move(entry);
            trim_cache(a, visible_window(a));
        }
        g->bump();
    }
    host_.request_repaint();
}

std::vector<std::uint64_t> Album::visible_window(const AlbumView& a) {
    std::vector<std::uint64_t> ids;
    if (!a.thumbnail_queue.empty()) {
        for (std::uint64_t id : a.thumbnail_queue) {
            if (ids.size() == kThumbCacheEntries) break;
            if (std::any_of(a.items.begin(), a.items.end(), [&](const AlbumItemView& i) { return i.id == id; }))
                ids.push_back(id);
        }
        return ids;
    }
    // Without a window telling which cells it shows, the whole page is shown, up to what the
    // cache can hold at once.
    const std::size_t first = static_cast<std::size_t>(std::max(a.scroll, 0));
    for (std::size_t i = first; i < a.items.size() && ids.size() < kThumbCacheEntries; ++i) ids.push_back(a.items[i].id);
    return ids;
}

void Album::trim_cache(AlbumView& a, const std::vector<std::uint64_t>& visible) {
    const std::unordered_set<std::uint64_t> shown(visible.begin(), visible.end());
    std::size_t bytes = 0;
    for (const auto& [id, e] : a.thumbnails) bytes += entry_bytes(e);
    while (!a.thumbnails.empty() && (a.thumbnails.size() > kThumbCacheEntries || bytes > kThumbCacheBytes)) {
        auto victim = a.thumbnails.end();
        auto oldest_any = a.thumbnails.end();
        for (auto it = a.thumbnails.begin(); it != a.thumbnails.end(); ++it) {
            if (oldest_any == a.thumbnails.end() || it->second.last_used < oldest_any->second.last_used) oldest_any = it;
            if (shown.contains(it->first)) continue;
            if (victim == a.thumbnails.end() || it->second.last_used < victim->second.last_used) victim = it;
        }
        // When the visible cells alone overflow the bound, the bound still wins.
        if (victim == a.thumbnails.end()) victim = oldest_any;
        bytes -= entry_bytes(victim->second);
        a.thumbnails.erase(victim);
    }
}

void Album::forget_in_flight() {
    in_flight_.clear();
    auto g = host_.ui().lock();
    if (g->album.thumbs_in_flight != 0) {
        g->album.thumbs_in_flight = 0;
        g->bump();
    }
}

void Album::step(TurnStep at, Instant now) {
    if (at != TurnStep::Album) return;
    if (!host_.modules().album()) {
        forget_in_flight();
        return;
    }
    album_step(now);
}

void Album::album_step(Instant now) {
    bool changed = false;
    bool on_page = false;
    bool loading = false;
    std::uint64_t generation = 0;
    std::vector<std::uint64_t> visible;
    {
        auto g = host_.ui().lock();
        on_page = g->page == Page::Album;
        loading = g->album.loading;
        generation = g->album.generation;
        if (on_page) visible = visible_window(g->album);
    }
    if (!on_page) {
        forget_in_flight();
    } else {
        // Time-outs: an older generation's wait ends silently, the current one's in the cell.
        std::vector<std::uint64_t> timed_out;
        std::erase_if(in_flight_, [&](const InFlight& f) {
            if (f.generation != generation) return true;
            if (now - f.sent > kThumbTimeout) {
                timed_out.push_back(f.id);
                return true;
            }
            return false;
        });
        if (!timed_out.empty()) {
            auto g = host_.ui().lock();
            for (std::uint64_t id : timed_out) {
                auto [entry, fresh] = g->album.thumbnails.try_emplace(id);
                if (!fresh && std::holds_alternative<Bytes>(entry->second.content)) continue;
                entry->second.content = std::string(kThumbTimedOut);
                entry->second.last_used = now;
                g->emit(thumb_event(id, entry->second));
            }
            trim_cache(g->album, visible);
            changed = true;
        }
        if (!loading) {
            for (std::uint64_t id : visible) {
                if (in_flight_.size() >= kThumbsInFlight) break;
                if (std::any_of(in_flight_.begin(), in_flight_.end(), [&](const InFlight& f) { return f.id == id; }))
                    continue;
                {
                    auto g = host_.ui().lock();
                    auto cached = g->album.thumbnails.find(id);
                    if (cached != g->album.thumbnails.end()) {
                        cached->second.last_used = now;
                        continue;
                    }
                }
                Engine* e = host_.engine();
                if (e == nullptr) continue;
                pb::AlbumThumbRequest m;
                m.set_id(id);
                m.set_edge(kThumbEdge);
                const bool sent = e->send_tcp_only(ALBUM_THUMB_REQUEST, encode_album_thumb_request(m),
                                                   host_.clock().wall_ms());
                auto g = host_.ui().lock();
                if (sent) {
                    in_flight_.push_back({generation, id, now});
                } else {
                    ThumbnailEntry entry{std::string(kThumbNotSent), now};
                    g->emit(thumb_event(id, entry));
                    g->album.thumbnails[id] = std::move(entry);
                }
                trim_cache(g->album, visible);
                changed = true;
            }
        }
        auto g = host_.ui().lock();
        if (g->album.thumbs_in_flight != in_flight_.size()) {
            g->album.thumbs_in_flight = static_cast<std::uint32_t>(in_flight_.size());
            changed = true;
        }
    }

    if (page_sent_ && now - *page_sent_ > kPageTimeout) {
        page_sent_.reset();
        {
            auto g = host_.ui().lock();
            g->album.loading = false;
        }
        host_.push_notice(kPageTimedOut);
        changed = true;
    }

    std::size_t flagged = 0;
    for (auto& [id, p] : pending_) {
        if (!p.started && !p.slow && now - p.requested > kFullSizeSlowAfter) {
            p.slow = true;
            ++flagged;
        }
    }
    if (flagged > 0) {
        host_.push_notice(format_text("有 {} 张原图手机到现在还没开始传（多半是在它那边排队满了，或前面有大文件）。"
                                      "先别重复点导出，等这批传完再看一眼目录",
                                      flagged));
        changed = true;
    }
    if (changed) {
        host_.ui().lock()->bump();
        host_.request_repaint();
    }
}

void Album::on_link(const LinkChange& change) {
    if (change.kind != LinkChange::Kind::Unbound) return;
    // A phone that is no longer ours sends nothing we asked for.
    pending_.clear();
    withdrawn_.clear();
    page_sent_.reset();
    forget_in_flight();
    auto g = host_.ui().lock();
    g->album.loading = false;
    g->bump();
}

std::optional<Instant> Album::next_deadline() const {
    std::optional<Instant> first;
    const auto consider = [&](Instant at) {
        if (!first || at < *first) first = at;
    };
    for (const auto& f : in_flight_) consider(f.sent + kThumbTimeout + std::chrono::milliseconds(1));
    if (page_sent_) consider(*page_sent_ + kPageTimeout + std::chrono::milliseconds(1));
    for (const auto& [id, p] : pending_)
        if (!p.started && !p.slow) consider(p.requested + kFullSizeSlowAfter + std::chrono::milliseconds(1));
    return first;
}

}  // namespace dovan
