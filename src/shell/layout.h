// Where every control of the window sits, in device-independent pixels (DIP). The painters
// and the hit-test both call these rules, so a click lands on exactly what was drawn.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "shell/ui_state.h"

namespace dovan {

struct Rect {
    int l = 0, t = 0, r = 0, b = 0;

    int w() const { return r - l; }
    int h() const { return b - t; }
    // Half-open, so neighbouring controls never both claim the shared edge.
    bool contains(double x, double y) const { return x >= l && x < r && y >= t && y < b; }
    bool operator==(const Rect&) const = default;
};

// Rounds half away from zero, the one rounding every DIP conversion uses.
int round_half_away(double v);

// The measures derived from the client size on every paint and every hit-test.
struct Metrics {
    double scale = 1.0;
    int px_w = 0, px_h = 0;  // client size in pixels
    int W = 0, H = 0;        // client size in DIP
    int R = 0;               // content right edge
    int device_r = 0;        // device-list right edge
    int album_r = 0;         // album right edge

    // `dpi` 0 counts as 96.
    static Metrics from_pixels(int px_w, int px_h, unsigned dpi);
    int px(double dip) const { return round_half_away(dip * scale); }
};

inline constexpr int kSidebarWidth = 180;
inline constexpr int kContentX = 208;
// The size the window opens at and the least it may be dragged to.
inline constexpr int kDefaultClientW = 960, kDefaultClientH = 660;
inline constexpr int kMinClientW = 760, kMinClientH = 658;

struct NavItem {
    std::string_view label;
    int icon = 0;
    Page page = Page::Connect;
};
// The navigation in order; pages of modules not loaded in this run are left out.
std::vector<NavItem> nav_items(LoadedModules modules);
Rect nav_item_rect(int i);

// Connect page.
Rect device_row_rect(const Metrics& m, int i);
int connect_cards_offset(std::size_t device_count);  // d: the cards move down with the list
Rect identity_card_rect(int d);
Rect identity_accept_rect(int d);
Rect identity_dismiss_rect(int d);
Rect sas_confirm_rect(int d);
Rect sas_reject_rect(int d);

// Notifications page.
Rect reply_box_rect(const Metrics& m);
Rect reply_send_rect(const Metrics& m);
Rect notification_row_rect(const Metrics& m, int i);
struct NotificationButtons {
    std::optional<Rect> reply;
    std::optional<Rect> code;
    Rect copy;
};
NotificationButtons notification_buttons(const Metrics& m, int i, bool can_reply, bool has_code);
Rect notification_scrollbar_rect(const Metrics& m);
int notification_visible_rows(const Metrics& m);

// Clipboard page.
Rect clip_sync_rect();
Rect clip_send_rect();

// Files page.
Rect send_box_rect(const Metrics& m);
Rect pick_files_rect(const Metrics& m);
Rect send_files_rect(const Metrics& m);
Rect change_inbox_rect(const Metrics& m);
Rect file_row_rect(const Metrics& m, int i);
Rect file_row_button_rect(const Metrics& m, int i);
// A finished received row: "打开" left of "打开所在文件夹", where the single button sits
// on other rows.
struct FileOpenButtons {
    Rect open;
    Rect reveal;
};
FileOpenButtons file_row_open_buttons(const Metrics& m, int i);
inline constexpr int kMaxFileRows = 8;

// Media page.
Rect media_button_rect(const Metrics& m, int i);

// Features page.
Rect module_switch_rect(int i);
Rect restart_now_rect();

// Settings page.
Rect appearance_rect(int i);
Rect settings_switch_rect(int i);
Rect export_log_rect();
Rect close_behavior_rect();
Rect manual_ip_box_rect();
Rect manual_connect_rect();
Rect bound_row_rect(const Metrics& m, int i);
inline constexpr int kMaxBoundRows = 2;

// Album page.
Rect album_toolbar_rect(int i);
Rect album_cell_rect(int column, int row);
Rect album_scrollbar_rect(const Metrics& m);
struct AlbumGrid {
    int columns = 1;
    int rows = 1;
    int page_size() const { return columns * rows; }
};
AlbumGrid album_grid(const Metrics& m);
struct AlbumRange {
    int scroll_row = 0;      // first shown row, already clamped
    int max_scroll_row = 0;  // largest useful scroll row
    int item_rows = 0;
    std::size_t first = 0;   // index of the first visible item
    std::size_t count = 0;
};
AlbumRange album_range(const Metrics& m, std::size_t items, int scroll);

// Dialogs.
Rect restart_dialog_rect(const Metrics& m);
Rect restart_now_dialog_rect(const Metrics& m);
Rect restart_later_rect(const Metrics& m);
Rect close_dialog_rect(const Metrics& m);
Rect close_cancel_rect(const Metrics& m);
Rect close_exit_rect(const Metrics& m);
Rect close_minimize_rect(const Metrics& m);
Rect close_remember_rect(const Metrics& m);

}  // namespace dovan
