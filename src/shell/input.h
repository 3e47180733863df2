// What clicks, keys, the wheel, drops and the close command do to the UI state. Each call
// runs with the UI lock held and returns the work that must wait until the lock is let go
// (dialogs, the clipboard, saving settings, hiding the window).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/actions.h"
#include "shell/layout.h"
#include "shell/ui_state.h"

namespace dovan {

// A single-line box holds at most this many characters.
inline constexpr std::size_t kMaxBoxChars = 400;
// The send queue takes at most this many files; a bigger drop is told what was left out.
inline constexpr std::size_t kMaxSendQueue = 256;
// A press turns into a drag beyond this distance (DIP, horizontal plus vertical).
inline constexpr double kDragThreshold = 6;

enum class Picker : std::uint8_t { None, SendFiles, Inbox, AlbumExport, DebugExport };

struct Effects {
    bool save_settings = false;
    bool apply_theme = false;             // title bar and palette follow the new theme
    bool send_local_clipboard = false;    // read the clipboard, then clipboard_to_phone()
    std::optional<std::string> copy_text;  // put on the system clipboard
    std::optional<OpenRequest> open;       // a received file or its folder, see open_saved
    std::optional<bool> debug_log;        // switch the debug log on or off
    bool toggle_autostart = false;
    Picker picker = Picker::None;
    bool quit = false;                    // end the program (teardown restarts it if asked)
    bool hide_window = false;             // into the tray
    bool minimize_window = false;         // onto the task bar: there is no tray
    bool close_now = false;               // the default close: the program ends
    bool start_scroll_drag = false;
    bool changed = false;                 // repaint
};

struct InputContext {
    Metrics metrics;
    LoadedModules modules;
    Instant now{};
};

// A left-button press on `action` (kActNone clears the focus).
Effects click(UiState& s, const InputContext& ctx, const Action& action);

// "发送本机剪贴板" after the clipboard was read: an empty text does nothing.
void clipboard_to_phone(UiState& s, std::string_view text);

// Files chosen in the picker or dropped: queued once each, within kMaxSendQueue.
// Returns how many were added.
std::size_t queue_files(UiState& s, const std::vector<QueuedFile>& files);
// Picker outcome: nothing added says so.
void queue_picked_files(UiState& s, const std::vector<QueuedFile>& files);

struct DroppedItem {
    enum class Kind : std::uint8_t { File, Folder, Unreadable };
    Kind kind = Kind::File;
    std::string path;
    std::uint64_t size = 0;
};
// Files dropped on the window. True when the files page should come up.
bool drop_items(UiState& s, const std::vector<DroppedItem>& items);

// The system close command (title-bar button, Alt+F4).
Effects system_close(UiState& s);
// A choice in the close dialog: kActCloseMinimize, kActCloseExit or kActCloseCancel.
Effects close_choice(UiState& s, std::uint8_t choice);

// The album export folder came back from the picker (empty: cancelled).
void album_export_to(UiState& s, const std::string& folder);

// One wheel notch is one row; positive notches turn forward, towards the top.
bool wheel(UiState& s, const Metrics& m, int notches);
// A scroll-bar drag moved to `y` (DIP).
bool scroll_drag(UiState& s, const Metrics& m, double y);

// Caret and selection of the focused box, in bytes; the window keeps it.
struct EditCaret {
    std::size_t caret = 0;
    std::size_t anchor = 0;
};
// Moves a caret that no longer fits its text (another thread replaced it) to the end.
void settle_caret(const UiState& s, EditCaret& caret);

enum class Key : std::uint8_t { Backspace, Delete, Left, Right, Home, End, Enter, Escape, SelectAll, Other };
Effects key_press(UiState& s, EditCaret& caret, Key key, bool shift, Instant now);
// Typed, committed by an input method, or pasted. Control characters never enter; line
// breaks and tabs of a paste become one space each run, since every box is one line.
bool insert_text(UiState& s, EditCaret& caret, std::string_view text);

// Album cells: the press, a release without a drag, and what a drag would carry.
void album_press(UiState& s, std::size_t index);
void album_release(UiState& s, std::size_t index);
// The items a drag from `index` carries, or nothing (with a notice) when the cell is gone.
std::optional<std::vector<std::uint64_t>> album_drag_items(UiState& s, std::size_t index);
// Before a drag: the files ready on disk, in order, or nothing when some are still on the
// phone (they are requested again and a notice says so).
std::optional<std::vector<std::string>> album_drag_files(UiState& s, const std::vector<std::uint64_t>& items);
// After a copy drop: the dragged items are unselected and their files forgotten.
void album_drag_done(UiState& s, const std::vector<std::uint64_t>& items);

}  // namespace dovan
