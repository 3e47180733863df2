// The desktop front end's frame: the Qt application, the main window (made by the window
// factory), the tray icon, system notifications, the hand-off server and the core thread,
// from start-up to teardown and an optional restart.
#pragma once

#include <QLocale>
#include <QTranslator>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/core.h"
#include "ble/adapter.h"
#include "platform/clipboard.h"
#include "shell/command_line.h"
#include "shell/instance.h"
#include "shell/ui_state.h"

namespace dovan {

// Set to "1", the program writes every event of the feed to stdout in the console's line
// format (see shell/console.h): what end-to-end tests of the window program follow.
inline constexpr const char* kEventLinesVariable = "DOVAN_EVENT_LINES";

// Makes the main window; `clipboard` is the system clipboard the frame made, which the core
// writes too (it outlives the window).
using WindowFactory = std::function<std::unique_ptr<QWidget>(std::shared_ptr<SharedUi>, Clipboard* clipboard)>;

struct DesktopConfig {
    std::shared_ptr<SharedUi> ui;
    CommandLine command_line;
    InstanceLock* lock = nullptr;
    std::optional<std::filesystem::path> socket;  // none: hand-offs are impossible
    // Where the stores live (may be empty: the core then stops at start-up with the reason).
    std::filesystem::path data_dir;
    WindowFactory make_window;
    // Opens the BLE stack; empty: ble::open_platform_adapter.
    std::function<ble::PlatformAdapter()> open_ble;
    // Starts the core thread with the configuration the frame built (program_core_config,
    // with this window's clipboard and repaint).
    std::function<void(CoreConfig config)> start_core;
    std::function<void()> stop_core;
};

// Runs until the application quits (tray "关闭", SIGINT or SIGTERM); returns the exit status.
int run_desktop(int argc, char** argv, const DesktopConfig& config);

// Qt's Chinese translations (the program's language): the user's variant where their locale
// is Chinese, else zh_CN; false when they are not installed.
bool load_qt_translations(QTranslator& translator, const QLocale& locale);

// A plain top-level widget titled "Dovan", 960 × 660, for builds without the page window.
std::unique_ptr<QWidget> make_blank_window(const std::shared_ptr<SharedUi>& ui);

}  // namespace dovan
