// "打开" and "打开所在文件夹" for a file this program received. The path is only ever the
// one stored when the file was saved (a transfer row, a notification button's action),
// never a name from the phone or from a link's text. A file the desktop would run rather
// than show is never handed to it: its folder opens instead, and a notice says why, so a
// received script or program cannot start by one click on a friendly-looking button.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "shell/ui_state.h"

namespace dovan {

// The name alone says it would run: scripts, programs, installers, launchers
// (".desktop", ".sh", ".exe", ".jar", ".AppImage", …), in any letter case.
bool launching_name(std::string_view file_name);

// The file would run: a launching name, an executable bit, or contents that start like a
// program (ELF, a Windows program, "#!").
bool launches_program(const std::filesystem::path& path);

struct OpenPlan {
    std::optional<std::string> target;  // what to hand the desktop: the file or its folder
    std::optional<std::string> notice;
};

// What a press asks of the desktop, decided on the file as it is now. A file that is no
// longer the regular file saved there is not opened (its folder still is, for the folder
// button); a launching file shows its folder.
OpenPlan plan_open(const OpenRequest& request);

inline constexpr std::string_view kNoOpenerNotice = "这里没有桌面程序可以打开文件";

// Hands a local path to the desktop's default handler; false when that failed.
using OpenFn = std::function<bool(const std::string& path)>;

// Plans the press, leaves its notice, and calls `open` with the UI lock let go. A handler
// that fails leaves a notice too. Without a handler only the notice is left.
void open_saved(SharedUi& ui, const OpenRequest& request, const OpenFn& open);

}  // namespace dovan
