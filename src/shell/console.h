// The headless front end: commands in, event lines out, one per line, UTF-8. Like the
// window it only reads the shared UI state and fills its request slots; it never reaches
// the core. Text fields are escaped (see console_escape), and so are text arguments.
//
// Commands: devices · connect <ADDR> · sas confirm|reject · identity accept|reject ·
//   unbind · manual-ip <text> · send <path> · cancel send|recv <name> · clip <text> ·
//   media <action> [<volume>] · reply <row> <text> · album page <page> <per_page> ·
//   status · notifications · quit. Anything else prints "error <text>" and changes nothing.
// Events: state <n> · notice <text> · sysnote <title>\t<body> · sas <dddddd> ·
//   identity-changed <name>\t<old fp>\t<new fp> · paired <fp>\t<name> · tcp <0|1> ·
//   notification <package>\t<title>\t<text> · clipboard <text> ·
//   row <send|recv> <percent> <status>\t<name>
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "shell/ui_state.h"

namespace dovan {

// `\` → `\\`, line feed → `\n`, carriage return → `\r`, tab → `\t`.
std::string console_escape(std::string_view text);
// The reverse; nothing for a dangling backslash or an escape not listed above.
std::optional<std::string> console_unescape(std::string_view text);

class Console {
public:
    enum class Outcome { Continue, Quit };

    Console(std::shared_ptr<SharedUi> ui, std::ostream& out, Clock& clock);

    // Carries out one command line. A malformed one prints "error …" and changes nothing.
    Outcome command(std::string_view line);

    // Prints an event line for everything that changed since the last call, and drains
    // the system-notification queue as the window's timer would.
    void poll_events();

private:
    struct NotificationKey {
        std::string package, title, text;
        std::uint64_t post_ts_ms = 0;
        std::int32_t key_hash = 0;
        bool operator==(const NotificationKey&) const = default;
    };
    struct Seen {
        std::uint8_t engine_state = 0;
        std::deque<Notice> notices;
        std::optional<std::uint32_t> sas;
        std::optional<std::tuple<std::string, std::string, std::string>> identity_change;
        bool paired = false;
        std::string paired_fp;
        bool tcp = false;
        std::optional<NotificationKey> newest_notification;
        std::string clipboard;
        std::map<std::pair<TransferDirection, std::string>, std::pair<std::uint8_t, std::string>> rows;
    };
    static Seen snapshot(const UiState& s);
    static NotificationKey key_of(const PhoneNotification& n);

    void line(const std::string& text);  // out_mu_ held
    void error(std::string_view text);   // out_mu_ held
    void print_status();
    void print_devices();
    void print_notifications();
    Outcome dispatch(std::string_view verb, std::string_view rest);

    std::shared_ptr<SharedUi> ui_;
    std::ostream& out_;
    Clock& clock_;
    std::mutex out_mu_;  // taken before the UI lock, never after it
    Seen seen_;
};

}  // namespace dovan
