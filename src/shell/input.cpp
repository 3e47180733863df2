#include "shell/input.h"

#include <algorithm>

#include "session/code_extract.h"
#include "shell/view_rules.h"

namespace dovan {

namespace {

void set_page(UiState& s, const InputContext& ctx, Page page) {
    if (page == s.page) return;
    if (s.page == Page::Album) {
        ++s.album.generation;
        s.album.thumbnail_queue.clear();
    }
    s.page = page;
    s.transition_start = ctx.now;
    s.hover = {};
    s.focus = InputFocus::None;
    if (page == Page::Album && ctx.modules.album() && s.album.items.empty() && !s.album.loading) {
        s.requests.album_page = AlbumPageRequest{0, static_cast<std::uint32_t>(album_grid(ctx.metrics).page_size())};
    }
}

void copy(UiState& s, Effects& fx, std::string text, Instant now) {
    s.self_clipboard = SelfWrittenClipboard{text, now};
    fx.copy_text = std::move(text);
}

bool all_selected(const AlbumView& a) {
    return !a.items.empty() && std::all_of(a.items.begin(), a.items.end(), [&](const AlbumItemView& it) {
        return std::find(a.selection.begin(), a.selection.end(), it.id) != a.selection.end();
    });
}

void album_toolbar(UiState& s, const InputContext& ctx, std::uint64_t button, Effects& fx) {
    AlbumView& a = s.album;
    const auto per_page = std::max<std::uint32_t>(a.per_page, 1);
    switch (button) {
        case 0:
            s.requests.album_page = AlbumPageRequest{0, static_cast<std::uint32_t>(album_grid(ctx.metrics).page_size())};
            break;
        case 1:
            if (a.page == 0) {
                s.add_notice("已经是第一页了");
            } else {
                s.requests.album_page = AlbumPageRequest{a.page - 1, per_page};
            }
            break;
        case 2:
            if (a.total > 0 && static_cast<std::uint64_t>(a.page + 1) * a.per_page >= a.total) {
                s.add_notice(format_text("下一页没有内容：相册共 {} 张，第 {} 页已经到最后", a.total, a.page + 1));
            } else {
                s.requests.album_page = AlbumPageRequest{a.page + 1, per_page};
            }
            break;
        case 3:
            if (all_selected(a)) {
                a.selection.clear();
            } else {
                a.selection.clear();
                for (const auto& it : a.items) a.selection.push_back(it.id);
            }
            break;
        case 4:
            if (a.selection.empty()) {
                s.add_notice("还没有选中照片：先在格子上点一下（或按「全选」）再导出");
            } else {
                fx.picker = Picker::AlbumExport;
            }
            break;
        default: break;
    }
}

void media_command(UiState& s, std::uint64_t button) {
    if (!s.media) return;
    const std::int32_t volume = s.media->volume;
    MediaCommandRequest cmd;
    switch (button) {
        case 0: cmd.action = 4; break;
        case 1: cmd.action = 0; break;
        case 2: cmd.action = 3; break;
        case 3:
        case 4:
            if (volume < 0) return;
            cmd.action = 8;
            cmd.volume = std::clamp(button == 3 ? volume - 5 : volume + 5, 0, 100);
            break;
        default: return;
    }
    s.requests.media = cmd;
}

bool modules_differ(const UiState& s, LoadedModules loaded) { return pending_module_changes(s.settings, loaded) > 0; }

std::size_t char_count(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < text.size(); ++n) utf8_next(text, pos);
    return n;
}

bool is_boundary(std::string_view text, std::size_t at) {
    return at == text.size() || (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80);
}

std::size_t prev_boundary(std::string_view text, std::size_t at) {
    if (at == 0) return 0;
    --at;
    while (at > 0 && !is_boundary(text, at)) --at;
    return at;
}
std::size_t next_boundary(std::string_view text, std::size_t at) {
    if (at >= text.size()) return text.size();
    utf8_next(text, at);
    return at;
}

void focus_box(UiState& s, InputFocus box) { s.focus = box; }

}  // namespace

Effects click(UiState& s, const InputContext& ctx, const Action& a) {
    Effects fx;
    fx.changed = true;
    const Instant now = ctx.now;
    switch (a.id) {
        case kActNone: s.focus = InputFocus::None; break;
        case kActNav: set_page(s, ctx, static_cast<Page>(a.index)); break;
        case kActDevice:
            s.connecting = a.index;
            s.requests.connect = a.index;
            break;
        case kActSasConfirm: s.requests.sas_confirm = true; break;
        case kActSasReject: s.requests.sas_reject = true; break;
        case kActClipSend: fx.send_local_clipboard = true; break;
        case kActClipSync:
            s.settings.clip_sync = !s.settings.clip_sync;
            fx.save_settings = true;
            break;
        case kActNotificationRow:
            if (a.index < s.notifications.size()) {
                const auto& n = s.notifications[a.index];
                copy(s, fx, n.text.empty() ? n.title : n.text, now);
            }
            break;
        case kActNotificationCode:
            if (a.index < s.notifications.size()) {
                const auto& n = s.notifications[a.index];
                if (auto code = extract_code(n.title, n.text)) copy(s, fx, code->code, now);
            }
            break;
        case kActNotificationReply:
            if (a.index < s.notifications.size() && s.notifications[a.index].can_reply) {
                const ReplyTarget target = s.notifications[a.index].reply_target();
                if (s.reply_target == target) {
                    s.clear_reply_target();
                } else {
                    s.reply_target = target;
                    s.reply_box.clear();
                    focus_box(s, InputFocus::ReplyBox);
                }
            }
            break;
        case kActReplyBox: focus_box(s, InputFocus::ReplyBox); break;
        case kActReplySend: s.submit_reply(now); break;
        case kActAppearance:
            s.settings.theme = static_cast<std::uint8_t>(std::min<std::uint64_t>(a.index, 2));
            s.transition_start = now;
            fx.apply_theme = true;
            fx.save_settings = true;
            break;
        case kActToast:
            s.settings.toast_enabled = !s.settings.toast_enabled;
            fx.save_settings = true;
            break;
        case kActToastContent:
            s.settings.toast_show_content = !s.settings.toast_show_content;
            fx.save_settings = true;
            break;
        case kActAutoConnect:
            s.settings.auto_connect = !s.settings.auto_connect;
            fx.save_settings = true;
            break;
        case kActAutostart: fx.toggle_autostart = true; break;
        case kActCloseBehavior:
            s.settings.close_behavior = static_cast<std::uint8_t>((s.settings.close_behavior + 1) % 3);
            fx.save_settings = true;
            break;
        case kActSendBox: focus_box(s, InputFocus::SendBox); break;
        case kActSendFiles: {
            std::vector<std::string> list;
            for (const auto& q : s.send_queue) list.push_back(q.path);
            const std::string typed(trim_white(s.send_box));
            if (!typed.empty() && std::find(list.begin(), list.end(), typed) == list.end()) list.push_back(typed);
            s.send_queue.clear();
            s.send_box.clear();
            if (!list.empty()) s.requests.send_files = std::move(list);
            break;
        }
        case kActPickFiles: fx.picker = Picker::SendFiles; break;
        case kActFileRow: {
            const auto rows = file_list_rows(s);
            if (a.index >= rows.size()) break;
            const FileListRow row = rows[a.index];
            if (row.queued) {
                s.send_queue.erase(s.send_queue.begin() + static_cast<std::ptrdiff_t>(row.index));
            } else if (row.has_button) {
                const auto& t = s.transfer_rows[row.index];
                s.requests.cancel = CancelRequest{t.direction, t.name};
            }
            break;
        }
        case kActFileOpen:
        case kActFileReveal: {
            const auto rows = file_list_rows(s);
            if (a.index >= rows.size() || !rows[a.index].openable) break;
            fx.open = OpenRequest{s.transfer_rows[rows[a.index].index].saved_path,
                                  a.id == kActFileOpen ? OpenWhat::File : OpenWhat::Folder};
            break;
        }
        case kActChangeInbox: fx.picker = Picker::Inbox; break;
        case kActManualIpBox: focus_box(s, InputFocus::ManualIp); break;
        case kActManualConnect: s.requests.manual_connect = true; break;
        case kActUnbind: s.requests.unbind = true; break;
        case kActIdentityAccept: s.requests.identity_accept = true; break;
        case kActIdentityDismiss: s.requests.identity_reject = true; break;
        case kActDebug:
            s.settings.debug_enabled = !s.settings.debug_enabled;
            fx.save_settings = true;
            fx.debug_log = s.settings.debug_enabled;
            break;
        case kActExportLog: fx.picker = Picker::DebugExport; break;
        case kActMedia: media_command(s, a.index); break;
        case kActModule: {
            bool* switches[5] = {&s.settings.feat_notifications, &s.settings.feat_clipboard, &s.settings.feat_file_transfer,
                                 &s.settings.feat_media, &s.settings.feat_album};
            if (a.index >= 5) break;
            *switches[a.index] = !*switches[a.index];
            s.focus = InputFocus::None;
            if (modules_differ(s, ctx.modules)) s.restart_dialog = true;
            fx.save_settings = true;
            break;
        }
        case kActRestart:
        case kActRestartNow:
            s.restart_dialog = false;
            s.restart_requested = true;
            fx.quit = true;
            break;
        case kActRestartLater: s.restart_dialog = false; break;
        case kActCloseMinimize:
        case kActCloseExit:
        case kActCloseCancel: return close_choice(s, a.id);
        case kActCloseRemember: s.remember_close_choice = !s.remember_close_choice; break;
        case kActAlbumToolbar: album_toolbar(s, ctx, a.index, fx); break;
        case kActAlbumCell: album_press(s, a.index); break;
        case kActAlbumScroll:
            s.album.scroll = static_cast<std::int32_t>(a.index);
            fx.start_scroll_drag = true;
            break;
        case kActNotificationScroll:
            s.notification_scroll = static_cast<std::int32_t>(a.index);
            fx.start_scroll_drag = true;
            break;
        default: fx.changed = false; break;
    }
    if (fx.changed) s.bump();
    return fx;
}

void clipboard_to_phone(UiState& s, std::string_view text) {
    if (text.empty()) return;
    s.requests.send_clipboard = std::string(text);
    s.bump();
}

std::size_t queue_files(UiState& s, const std::vector<QueuedFile>& files) {
    std::size_t added = 0;
    for (const auto& f : files) {
        if (s.send_queue.size() >= kMaxSendQueue) break;
        const bool known = std::any_of(s.send_queue.begin(), s.send_queue.end(), [&](const QueuedFile& q) { return q.path == f.path; });
        if (known || f.path.empty()) continue;
        s.send_queue.push_back(f);
        ++added;
    }
    if (added) s.bump();
    return added;
}

namespace {
// Files that were new but found the queue full.
std::size_t refused_for_room(const UiState& s, const std::vector<QueuedFile>& files) {
    std::size_t fresh = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const bool queued = std::any_of(s.send_queue.begin(), s.send_queue.end(), [&](const QueuedFile& q) { return q.path == files[i].path; });
        const bool repeat = std::any_of(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(i),
                                        [&](const QueuedFile& q) { return q.path == files[i].path; });
        if (!queued && !repeat && !files[i].path.empty()) ++fresh;
    }
    return fresh;
}
void note_full_queue(UiState& s, std::size_t left_out) {
    if (left_out > 0) s.add_notice(format_text("待发清单最多 {} 个文件，另有 {} 个没有加入", kMaxSendQueue, left_out));
}
}  // namespace

void queue_picked_files(UiState& s, const std::vector<QueuedFile>& files) {
    const std::size_t added = queue_files(s, files);
    const std::size_t left_out = refused_for_room(s, files);
    if (added == 0 && left_out == 0) s.add_notice("这些文件已经在待发清单里了");
    note_full_queue(s, left_out);
}

bool drop_items(UiState& s, const std::vector<DroppedItem>& items) {
    if (items.empty()) {
        s.add_notice("系统没给出拖入的文件，请改用「选择…」");
        return false;
    }
    std::vector<QueuedFile> files;
    std::size_t folders = 0, unreadable = 0;
    for (const auto& it : items) {
        if (it.kind == DroppedItem::Kind::Folder) {
            ++folders;
        } else if (it.kind == DroppedItem::Kind::Unreadable || it.path.empty()) {
            ++unreadable;
        } else {
            files.push_back({it.path, it.size});
        }
    }
    const std::size_t added = queue_files(s, files);
    const std::size_t left_out = refused_for_room(s, files);
    if (added == 0) {
        s.add_notice(format_text("拖进来的 {} 项里没有可发送的文件（文件夹不算），请改用「选择…」", items.size()));
        note_full_queue(s, left_out);
        return false;
    }
    s.page = Page::Files;
    s.hover = {};
    s.focus = InputFocus::None;
    std::vector<std::string> parts;
    if (files.size() >= 2) parts.push_back(format_text("已加入待发清单 {} 个文件（共拖入 {} 个）", added, files.size()));
    if (folders) parts.push_back(format_text("{} 个文件夹不能直接发送", folders));
    if (unreadable) parts.push_back(format_text("{} 项读不出文件名，已跳过", unreadable));
    if (left_out) parts.push_back(format_text("待发清单最多 {} 个文件，另有 {} 个没有加入", kMaxSendQueue, left_out));
    if (!parts.empty()) {
        std::string line;
        for (std::size_t i = 0; i < parts.size(); ++i) line += (i ? "；" : "") + parts[i];
        s.add_notice(line);
    }
    s.bump();
    return true;
}

namespace {

// The window goes out of sight but the program runs on: into the tray, or onto the task bar
// where there is no tray to bring it back from.
void put_away(const UiState& s, Effects& fx) {
    if (s.tray_present) {
        fx.hide_window = true;
    } else {
        fx.minimize_window = true;
    }
}

}  // namespace

Effects system_close(UiState& s) {
    Effects fx;
    if (s.restart_dialog) return fx;
    switch (s.settings.close_behavior) {
        case 1: put_away(s, fx); break;
        case 2: fx.close_now = true; break;
        default:
            s.close_dialog = true;
            s.remember_close_choice = false;
            s.focus = InputFocus::None;
            s.bump();
            fx.changed = true;
            break;
    }
    return fx;
}

Effects close_choice(UiState& s, std::uint8_t choice) {
    Effects fx;
    fx.changed = true;
    if (choice == kActCloseMinimize) put_away(s, fx);
    if (choice == kActCloseExit) fx.quit = true;
    if (s.remember_close_choice && choice != kActCloseCancel) {
        s.settings.close_behavior = choice == kActCloseMinimize ? 1 : 2;
        fx.save_settings = true;
    }
    s.close_dialog = false;
    s.bump();
    return fx;
}

void album_export_to(UiState& s, const std::string& folder) {
    if (folder.empty()) {
        s.add_notice("已取消相册导出（没有选择目录，原图请求没有发出）");
    } else if (s.album.selection.empty()) {
        s.add_notice("选中状态在这一步被清掉了，没有请求任何原图");
    } else {
        s.requests.album_export = AlbumExportRequest{folder, s.album.selection};
        s.bump();
    }
}

bool wheel(UiState& s, const Metrics& m, int notches) {
    if (notches == 0) return false;
    if (s.page == Page::Notifications) {
        const int rows = static_cast<int>(s.notifications.size());
        const int limit = std::max(rows - notification_visible_rows(m), 0);
        const int next = std::clamp(s.notification_scroll - notches, 0, limit);
        if (next == s.notification_scroll) return false;
        s.notification_scroll = next;
    } else if (s.page == Page::Album) {
        const AlbumRange r = album_range(m, s.album.items.size(), s.album.scroll);
        const int next = std::clamp(r.scroll_row - notches, 0, r.max_scroll_row);
        if (next == s.album.scroll) return false;
        s.album.scroll = next;
    } else {
        return false;
    }
    s.bump();
    return true;
}

bool scroll_drag(UiState& s, const Metrics& m, double y) {
    if (s.page == Page::Notifications) {
        const int next = notification_scroll_from_pointer(m, static_cast<int>(s.notifications.size()), y);
        if (next == s.notification_scroll) return false;
        s.notification_scroll = next;
    } else if (s.page == Page::Album) {
        const int next = album_scroll_from_pointer(m, album_range(m, s.album.items.size(), s.album.scroll), y);
        if (next == s.album.scroll) return false;
        s.album.scroll = next;
    } else {
        return false;
    }
    s.bump();
    return true;
}

void settle_caret(const UiState& s, EditCaret& caret) {
    const std::string* text = s.focused_text();
    const std::size_t size = text ? text->size() : 0;
    if (!text || caret.caret > size || caret.anchor > size || !is_boundary(*text, caret.caret) ||
        !is_boundary(*text, caret.anchor)) {
        caret = {size, size};
    }
}

namespace {
bool erase_selection(std::string& text, EditCaret& c) {
    if (c.caret == c.anchor) return false;
    const std::size_t lo = std::min(c.caret, c.anchor), hi = std::max(c.caret, c.anchor);
    text.erase(lo, hi - lo);
    c = {lo, lo};
    return true;
}
}  // namespace

Effects key_press(UiState& s, EditCaret& c, Key key, bool shift, Instant now) {
    Effects fx;
    if (key == Key::Enter) {
        if (s.close_dialog) return close_choice(s, kActCloseMinimize);
        if (s.focus == InputFocus::ReplyBox) {
            s.submit_reply(now);
            c = {0, 0};
            fx.changed = true;
        }
        return fx;
    }
    if (key == Key::Escape) {
        if (s.close_dialog) return close_choice(s, kActCloseCancel);
        return fx;
    }
    std::string* text = s.focused_text();
    if (!text) return fx;
    settle_caret(s, c);
    const EditCaret before = c;
    const std::size_t old_size = text->size();
    auto move = [&](std::size_t to) {
        c.caret = to;
        if (!shift) c.anchor = to;
    };
    switch (key) {
        case Key::Backspace:
            if (!erase_selection(*text, c) && c.caret > 0) {
                const std::size_t from = prev_boundary(*text, c.caret);
                text->erase(from, c.caret - from);
                c = {from, from};
            }
            break;
        case Key::Delete:
            if (!erase_selection(*text, c) && c.caret < text->size()) {
                const std::size_t to = next_boundary(*text, c.caret);
                text->erase(c.caret, to - c.caret);
                c.anchor = c.caret;
            }
            break;
        case Key::Left:
            if (!shift && c.caret != c.anchor) move(std::min(c.caret, c.anchor));
            else move(prev_boundary(*text, c.caret));
            break;
        case Key::Right:
            if (!shift && c.caret != c.anchor) move(std::max(c.caret, c.anchor));
            else move(next_boundary(*text, c.caret));
            break;
        case Key::Home: move(0); break;
        case Key::End: move(text->size()); break;
        case Key::SelectAll: c = {text->size(), 0}; break;
        default: return fx;
    }
    fx.changed = text->size() != old_size || c.caret != before.caret || c.anchor != before.anchor;
    if (text->size() != old_size) s.bump();
    return fx;
}

bool insert_text(UiState& s, EditCaret& c, std::string_view typed) {
    std::string* text = s.focused_text();
    if (!text || typed.empty()) return false;
    settle_caret(s, c);
    std::string copy = *text;
    EditCaret edit = c;
    erase_selection(copy, edit);
    std::size_t count = char_count(copy);
    std::string add;
    bool in_break = false;
    for (std::size_t pos = 0; pos < typed.size();) {
        const char32_t ch = utf8_next(typed, pos);
        if (ch == kUtf8Invalid) continue;
        if (ch == '\n' || ch == '\r' || ch == '\t') {
            // A paste of several lines reads as one line of words.
            if (!in_break && count < kMaxBoxChars) {
                add.push_back(' ');
                ++count;
            }
            in_break = true;
            continue;
        }
        in_break = false;
        if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F)) continue;
        if (count >= kMaxBoxChars) break;
        utf8_append(add, ch);
        ++count;
    }
    if (add.empty()) return false;
    copy.insert(edit.caret, add);
    edit.caret += add.size();
    edit.anchor = edit.caret;
    *text = std::move(copy);
    c = edit;
    s.bump();
    return true;
}

void album_press(UiState& s, std::size_t index) {
    if (index >= s.album.items.size()) return;
    const std::uint64_t id = s.album.items[index].id;
    // Fetching the original starts at the press, so a drag soon after finds it on disk.
    if (!s.album.drag_files.contains(id)) s.requests.album_drag = std::vector<std::uint64_t>{id};
}

void album_release(UiState& s, std::size_t index) {
    if (index >= s.album.items.size()) {
        s.add_notice(format_text("第 {} 格已经没有照片了（清单刚变过），这次点击没有选中任何东西", index + 1));
        return;
    }
    const std::uint64_t id = s.album.items[index].id;
    auto& sel = s.album.selection;
    if (auto it = std::find(sel.begin(), sel.end(), id); it != sel.end()) {
        sel.erase(it);
    } else {
        sel.push_back(id);
    }
    s.bump();
}

std::optional<std::vector<std::uint64_t>> album_drag_items(UiState& s, std::size_t index) {
    const AlbumView& a = s.album;
    if (index >= a.items.size()) {
        s.add_notice(format_text("第 {} 格已经没有照片了，这次拖拽取消", index + 1));
        return std::nullopt;
    }
    const std::uint64_t pressed = a.items[index].id;
    auto selected = [&](std::uint64_t id) { return std::find(a.selection.begin(), a.selection.end(), id) != a.selection.end(); };
    std::vector<std::uint64_t> out;
    if (selected(pressed) && a.selection.size() >= 2) {
        for (const auto& it : a.items) {
            if (selected(it.id)) out.push_back(it.id);
        }
    } else {
        out.push_back(pressed);
    }
    return out;
}

std::optional<std::vector<std::string>> album_drag_files(UiState& s, const std::vector<std::uint64_t>& items) {
    std::vector<std::string> files;
    std::vector<std::uint64_t> missing;
    for (const auto id : items) {
        if (auto it = s.album.drag_files.find(id); it != s.album.drag_files.end()) {
            files.push_back(it->second);
        } else {
            missing.push_back(id);
        }
    }
    if (missing.empty()) return files;
    const std::size_t n = missing.size();
    s.requests.album_drag = std::move(missing);
    s.add_notice(format_text("这次没有拖出去：{} 张原图还在手机上没取回来（已重新发起 {} 张）。等这几格的圆环跑完再拖，就是一次全部出去", n, n));
    return std::nullopt;
}

void album_drag_done(UiState& s, const std::vector<std::uint64_t>& items) {
    auto& sel = s.album.selection;
    for (const auto id : items) {
        s.album.drag_files.erase(id);
        sel.erase(std::remove(sel.begin(), sel.end(), id), sel.end());
    }
    s.bump();
}

}  // namespace dovan
