// Decisions the painters and the hit-test must agree on: which cards show, which rows
// are on screen, which buttons exist. One answer for both, so nothing drawn is dead and
// nothing clickable is invisible.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/layout.h"
#include "shell/ui_state.h"

namespace dovan {

// Paired, engine paired, no identity prompt, and the phone heard from recently.
bool link_healthy(const UiState& s);

struct ConnectCards {
    bool identity = false;
    bool sas = false;
    bool paired = false;
};
ConnectCards connect_cards(const UiState& s);
// Device rows drawn: as many as fit above the notices (all of them in any usual case).
// The cards below move down by the rows drawn.
std::size_t visible_device_rows(const UiState& s, const Metrics& m);

// What "minimize" is called where the window is closed: into the tray, or onto the task
// bar when the desktop has no tray.
struct CloseTexts {
    std::string_view put_away;              // the button and the setting's value
    std::string_view put_away_description;  // the setting's line
    std::string_view dialog_body;
};
CloseTexts close_texts(const UiState& s);

// The tray icon's tip: the phone connected, else "Dovan — 待机".
std::string tray_tooltip(const UiState& s);

// The scroll offset as drawn: clamped to 0 … rows − visible rows.
int notification_scroll(const UiState& s, const Metrics& m);
bool notification_has_code(const PhoneNotification& n);

// One line of the files list: a queued file or a transfer row.
struct FileListRow {
    bool queued = false;
    std::size_t index = 0;  // into the send queue or the transfer rows
    bool has_button = false;  // "移除" or "取消"
    bool openable = false;    // "打开" and "打开所在文件夹" instead
};
std::vector<FileListRow> file_list_rows(const UiState& s);
bool transfer_cancellable(const TransferRow& row);
// A received file that was verified and saved, with the place it was saved at.
bool transfer_openable(const TransferRow& row);

// The five module switches and whether each was loaded in this run.
struct ModuleRow {
    std::string_view name;
    std::string_view on_text;
    std::string_view off_text;
    bool switched_on = false;
    bool loaded = false;
};
std::vector<ModuleRow> module_rows(const UiSettings& s, LoadedModules loaded);
std::size_t pending_module_changes(const UiSettings& s, LoadedModules loaded);

// The settings page's six switches, top to bottom, with the action each one fires.
struct SettingsSwitch {
    std::string_view label;
    std::string description;
    bool on = false;
    std::uint8_t action = 0;
};
std::vector<SettingsSwitch> settings_switches(const UiSettings& s);

// Album scroll bar: a track, and the pointer's row when it presses or drags there.
int album_scroll_from_pointer(const Metrics& m, const AlbumRange& range, double y);
int notification_scroll_from_pointer(const Metrics& m, int rows, double y);

// "m:ss", or "h:mm:ss" from one hour.
std::string clock_duration(std::uint64_t ms);
// Sizes the way the files list shows them ("812 B", "3.4 KB", "12.0 MB", "1.2 GB").
std::string human_size(std::uint64_t bytes);

}  // namespace dovan
