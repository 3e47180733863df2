// The main window: one custom-drawn widget that paints every page from the shared UI state
// and turns the user's input into changes of that state.
#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/clipboard.h"
#include "platform/clock.h"
#include "protocol/product.h"
#include "shell/autostart.h"
#include "shell/open_saved.h"
#include "shell/theme.h"
#include "shell/ui_state.h"

namespace dovan {

class PaintResources;
class QtThumbnails;

struct MainWindowOptions {
    // The system clipboard; null makes the window use its own QClipboard-backed one.
    Clipboard* clipboard = nullptr;
    std::string version{kPcVersion};
    // The data folder: settings.ini and the debug log live there. Empty: nothing is written.
    std::filesystem::path data_dir;
    // After the user changed a setting, called with the UI lock released. Default: settings.ini
    // in the data folder.
    std::function<void(const UiSettings&)> save_settings;
    // Where the autostart entry lives. The window reads it back when it opens and each
    // click on the switch writes or removes it. None: a click only says it cannot work.
    std::optional<AutostartPlace> autostart;
    // Every 33 ms, before the repaint decision (draining system notifications).
    std::function<void()> on_tick;
    // The program should end (exit chosen, restart asked). Default: the application quits.
    std::function<void()> on_quit;
    // The monotonic and wall clock; null: the system clock.
    const Clock* clock = nullptr;
    // Hands a received file or its folder to the desktop. Default: open_with_desktop.
    OpenFn open_path;
};

// The desktop's default handler for a local file or folder (QDesktopServices).
bool open_with_desktop(const std::string& path);

std::unique_ptr<QWidget> make_main_window(std::shared_ptr<SharedUi> ui, MainWindowOptions options = {});

// Restore if minimized, show, raise and give it the keyboard.
void show_main_window(QWidget& window);
// Shows the window on the Files page and opens the picker of files to send (the tray's
// "发送文件…"); a window of another kind is only shown.
void open_send_picker(QWidget& window);
// Hide and let go of the decoded thumbnails.
void hide_main_window(QWidget& window);

// Fits the window to `room`, what the screen leaves for its client area: the minimum is
// kMinClientW × kMinClientH but never more than the room, and a larger window shrinks.
void fit_window_to(QWidget& window, QSize room);

// The system's colour scheme as Qt reports it; unknown when it says nothing.
SystemLook system_look();

// One frame of the window for `state`, `px_w` × `px_h` device pixels at `scale`.
QImage render_window(const UiState& state, LoadedModules modules, int px_w, int px_h, double scale,
                     SystemLook system, Instant now, std::uint64_t wall_ms, const std::string& version,
                     QtThumbnails* thumbnails, PaintResources& resources);

}  // namespace dovan
