// What the program was asked to do, read once from its arguments, and what a second start
// hands over to the instance already running.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dovan {

inline constexpr std::uint16_t kDefaultLanPort = 55676;

struct CommandLine {
    bool headless = false;
    bool minimized = false;  // started at login: no window
    bool help = false;
    bool version = false;
    std::uint16_t lan_port = kDefaultLanPort;
    // The first argument that begins with "dovan://" (broken UTF-8 replaced).
    std::optional<std::string> activation_uri;
    // The first argument naming an existing file-system entry, made absolute so another
    // process with another working folder finds the same file.
    std::optional<std::string> file_path;
    // An unknown option or a bad option value, as the user should read it.
    std::optional<std::string> error;
};

// True when the path names an entry of any kind (a dangling link counts).
bool path_entry_exists(const std::string& path);

// `args` without the program name. `exists` decides which arguments are file paths.
CommandLine parse_command_line(std::span<const std::string> args,
                               const std::function<bool(const std::string&)>& exists = path_entry_exists);

// The arguments a restart passes on: what shapes the running program (console or window,
// its LAN port), never what asked it to do something once (a file, a link, a start at login).
std::vector<std::string> restart_arguments(const CommandLine& cl);

// --help and --version.
std::string usage_text();
std::string version_text();

// What a second start does. The link wins over a file, a file over the show request; a
// start at login (--minimized) sends nothing at all.
enum class HandoffKind : std::uint8_t { Card, Show, File };
struct SecondInstancePlan {
    HandoffKind kind = HandoffKind::Show;
    bool send = true;
    std::string message;  // the bytes to hand over
};
SecondInstancePlan plan_second_instance(const CommandLine& cl);

// "card", "show", "file" as the "ipc.forward" event writes them.
std::string_view handoff_kind_name(HandoffKind kind);
// The "[Dovan] …" line that ends a second start.
std::string second_instance_line(const SecondInstancePlan& plan, bool delivered);

}  // namespace dovan
