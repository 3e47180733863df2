// Start at login: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/dovan.desktop (or
// ~/.config/autostart/dovan.desktop), whose Exec line starts this program with
// "--minimized". After every change the entry is read back and classified, and the
// settings page shows whether it is there and whether it is ours.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "shell/ui_state.h"

namespace dovan {

inline constexpr std::string_view kAutostartOn = "登录桌面后自动启动，且不显示主窗口";
inline constexpr std::string_view kAutostartForeign = "当前启动项不是本机写入的内容";
inline constexpr std::string_view kAutostartOff = "登录桌面后不自动启动";

struct AutostartState {
    bool present = false;
    bool ours = false;
    bool operator==(const AutostartState&) const = default;
};

// The line under the settings switch.
std::string_view autostart_description(AutostartState state);

// Where the entry lives; none when neither XDG_CONFIG_HOME nor HOME is an absolute path.
std::optional<std::filesystem::path> autostart_entry_path(const char* xdg_config_home, const char* home);
std::optional<std::filesystem::path> autostart_entry_path_from_env();

// "\"<program>\" --minimized" and the whole entry around it.
std::string autostart_exec(std::string_view program_path);
std::string autostart_entry(std::string_view program_path);

// The Exec value (after the entry's own escapes) judged against the running program: a
// quoted or unquoted command path, compared after trimming spaces and quotes and dropping
// trailing slashes (ASCII case ignored), and "--minimized" among the words after it.
AutostartState classify_autostart_exec(std::string_view exec, std::string_view program_path);

// The Exec value of an entry file's text; none when the entry is hidden or has no Exec.
std::optional<std::string> autostart_exec_of(std::string_view entry_text);

// Set by the toolkit-free `dovan` to its own path before it execs the window program, so an
// autostart entry starts what the person started.
inline constexpr const char* kProgramPathVariable = "DOVAN_PROGRAM";

// The running program's full path (the launcher's when it set kProgramPathVariable to an
// absolute path); errors carry the texts the settings notice shows.
Result<std::string> current_program_path();

// What the switch does, with the program path and the entry path given, so tests can put
// both anywhere.
struct AutostartPlace {
    std::filesystem::path entry;
    std::function<Result<std::string>()> program_path = current_program_path;
};

Status write_autostart(const AutostartPlace& place, bool enable);
Result<AutostartState> read_autostart(const AutostartPlace& place);

// The settings switch: `enable` is "not present now". Notices for every failure; the flags
// in the UI state follow the read-back, and `save_present` runs when they changed.
void set_autostart(const AutostartPlace& place, bool enable, SharedUi& ui,
                   const std::function<void(bool present)>& save_present);
// The read-back alone, as after a change.
void refresh_autostart(const AutostartPlace& place, SharedUi& ui,
                       const std::function<void(bool present)>& save_present);
// One click on the switch: on when the entry is not there now, off when it is.
void toggle_autostart(const AutostartPlace& place, SharedUi& ui,
                      const std::function<void(bool present)>& save_present);

}  // namespace dovan
