#include "shell/layout.h"

#include <algorithm>
#include <cmath>

namespace dovan {

int round_half_away(double v) {
    return static_cast<int>(v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5));
}

Metrics Metrics::from_pixels(int px_w, int px_h, unsigned dpi) {
    Metrics m;
    m.scale = (dpi == 0 ? 96.0 : static_cast<double>(dpi)) / 96.0;
    m.px_w = px_w;
    m.px_h = px_h;
    m.W = round_half_away(px_w / m.scale);
    m.H = round_half_away(px_h / m.scale);
    m.R = std::clamp(m.W - 32, 448, 908);
    m.device_r = std::clamp(m.W - 32, 448, 808);
    m.album_r = std::clamp(m.W - 32, 448, 1388);
    return m;
}

std::vector<NavItem> nav_items(LoadedModules modules) {
    std::vector<NavItem> items;
    items.push_back({"连接", 0, Page::Connect});
    if (modules.notifications()) items.push_back({"通知", 1, Page::Notifications});
    if (modules.clipboard()) items.push_back({"剪贴板", 2, Page::Clipboard});
    if (modules.file_transfer()) items.push_back({"文件", 3, Page::Files});
    if (modules.album()) items.push_back({"相册", 11, Page::Album});
    if (modules.media()) items.push_back({"媒体", 4, Page::Media});
    items.push_back({"功能", 5, Page::Features});
    items.push_back({"设置", 6, Page::Settings});
    items.push_back({"关于", 12, Page::About});
    return items;
}

Rect nav_item_rect(int i) { return {0, 84 + 44 * i, kSidebarWidth, 128 + 44 * i}; }

Rect device_row_rect(const Metrics& m, int i) { return {208, 92 + 38 * i, m.device_r, 130 + 38 * i}; }
int connect_cards_offset(std::size_t device_count) {
    return 38 * static_cast<int>(std::max<std::size_t>(device_count, 1));
}
Rect identity_card_rect(int d) { return {208, 150 + d, 678, 242 + d}; }
Rect identity_accept_rect(int d) { return {208, 232 + d, 404, 270 + d}; }
Rect identity_dismiss_rect(int d) { return {420, 232 + d, 532, 270 + d}; }
Rect sas_confirm_rect(int d) { return {208, 232 + d, 320, 270 + d}; }
Rect sas_reject_rect(int d) { return {336, 232 + d, 448, 270 + d}; }

Rect reply_box_rect(const Metrics& m) { return {208, 56, m.W - 108, 88}; }
Rect reply_send_rect(const Metrics& m) { return {m.W - 100, 56, m.W - 32, 88}; }
Rect notification_row_rect(const Metrics& m, int i) { return {208, 92 + 66 * i, m.W - 32, 158 + 66 * i}; }

NotificationButtons notification_buttons(const Metrics& m, int i, bool can_reply, bool has_code) {
    const int top = 112 + 66 * i, bottom = 138 + 66 * i;
    int right = m.W - 138;
    NotificationButtons b;
    if (can_reply) {
        b.reply = Rect{right - 64, top, right, bottom};
        right -= 64 + 6;
    }
    if (has_code) {
        b.code = Rect{right - 84, top, right, bottom};
        right -= 84 + 6;
    }
    b.copy = Rect{right - 70, top, right, bottom};
    return b;
}

Rect notification_scrollbar_rect(const Metrics& m) {
    return {m.W - 24, 92, m.W - 12, std::max(m.H - 36, 158)};
}
int notification_visible_rows(const Metrics& m) { return std::max(m.H - 128, 66) / 66; }

Rect clip_sync_rect() { return {208, 92, 448, 130}; }
Rect clip_send_rect() { return {208, 140, 448, 178}; }

Rect send_box_rect(const Metrics& m) { return {208, 106, m.R - 224, 138}; }
Rect pick_files_rect(const Metrics& m) { return {m.R - 214, 106, m.R - 122, 138}; }
Rect send_files_rect(const Metrics& m) { return {m.R - 112, 106, m.R, 138}; }
Rect change_inbox_rect(const Metrics& m) { return {m.R - 94, 167, m.R - 12, 188}; }
Rect file_row_rect(const Metrics& m, int i) { return {208, 216 + 46 * i, m.R, 262 + 46 * i}; }
Rect file_row_button_rect(const Metrics& m, int i) { return {m.R - 68, 227 + 46 * i, m.R - 12, 251 + 46 * i}; }
FileOpenButtons file_row_open_buttons(const Metrics& m, int i) {
    const int t = 227 + 46 * i, b = 251 + 46 * i;
    const Rect reveal{m.R - 120, t, m.R - 12, b};
    return {{reveal.l - 6 - 56, t, reveal.l - 6, b}, reveal};
}

Rect media_button_rect(const Metrics& m, int i) {
    const int left = std::max((m.W - 468) / 2, 208) + 96 * i;
    return {left, 276, left + 84, 320};
}

Rect module_switch_rect(int i) { return {588, 106 + 62 * i, 634, 132 + 62 * i}; }
Rect restart_now_rect() { return {558, 503, 662, 535}; }

Rect appearance_rect(int i) { return {208 + 112 * i, 96, 312 + 112 * i, 130}; }
Rect settings_switch_rect(int i) { return {588, 144 + 42 * i, 634, 170 + 42 * i}; }
Rect export_log_rect() { return {648, 354, 752, 384}; }
Rect close_behavior_rect() { return {588, 396, 704, 426}; }
Rect manual_ip_box_rect() { return {208, 458, 428, 490}; }
Rect manual_connect_rect() { return {440, 458, 524, 490}; }
Rect bound_row_rect(const Metrics& m, int i) { return {208, 520 + 26 * i, m.R, 546 + 26 * i}; }

Rect album_toolbar_rect(int i) {
    static constexpr int kWidths[5] = {64, 72, 72, 96, 124};
    int left = 208;
    for (int k = 0; k < i; ++k) left += kWidths[k] + 8;
    return {left, 92, left + kWidths[i], 124};
}
Rect album_cell_rect(int c, int r) { return {208 + 122 * c, 162 + 122 * r, 316 + 122 * c, 270 + 122 * r}; }
Rect album_scrollbar_rect(const Metrics& m) {
    return {m.album_r - 12, 162, m.album_r, std::max(m.H - 58, 270)};
}

AlbumGrid album_grid(const Metrics& m) {
    AlbumGrid g;
    g.columns = std::max((m.album_r - 206) / 122, 1);
    g.rows = std::max((std::max(m.H - 58, 270) - 148) / 122, 1);
    return g;
}

AlbumRange album_range(const Metrics& m, std::size_t items, int scroll) {
    const AlbumGrid g = album_grid(m);
    AlbumRange a;
    a.item_rows = static_cast<int>((items + g.columns - 1) / g.columns);
    a.max_scroll_row = std::max(a.item_rows - g.rows, 0);
    a.scroll_row = std::clamp(scroll, 0, a.max_scroll_row);
    a.first = static_cast<std::size_t>(a.scroll_row) * g.columns;
    a.count = std::min<std::size_t>(items > a.first ? items - a.first : 0,
                                    static_cast<std::size_t>(g.page_size()));
    return a;
}

Rect restart_dialog_rect(const Metrics& m) {
    const int l = (m.W - 460) / 2, t = (m.H - 248) / 2 - 12;
    return {l, t, l + 460, t + 248};
}
Rect restart_now_dialog_rect(const Metrics& m) {
    const Rect d = restart_dialog_rect(m);
    return {d.r - 24 - 150, d.b - 20 - 36, d.r - 24, d.b - 20};
}
Rect restart_later_rect(const Metrics& m) {
    const Rect now = restart_now_dialog_rect(m);
    return {now.l - 12 - 150, now.t, now.l - 12, now.b};
}
Rect close_dialog_rect(const Metrics& m) {
    const int l = (m.W - 460) / 2, t = (m.H - 176) / 2 - 12;
    return {l, t, l + 460, t + 176};
}
namespace {
Rect close_button(const Metrics& m, int k) {
    static constexpr int kWidths[3] = {72, 96, 130};
    const Rect d = close_dialog_rect(m);
    int left = d.l + 24;
    for (int i = 0; i < k; ++i) left += kWidths[i] + 12;
    return {left, d.b - 56 - 36, left + kWidths[k], d.b - 56};
}
}  // namespace
Rect close_cancel_rect(const Metrics& m) { return close_button(m, 0); }
Rect close_exit_rect(const Metrics& m) { return close_button(m, 1); }
Rect close_minimize_rect(const Metrics& m) { return close_button(m, 2); }
Rect close_remember_rect(const Metrics& m) {
    const Rect d = close_dialog_rect(m);
    const int bottom = d.b - 56;
    return {d.l + 24, bottom + 14, d.r - 24, bottom + 36};
}

}  // namespace dovan
