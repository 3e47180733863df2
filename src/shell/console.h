// The headless front end: commands in, event lines out, one per line, UTF-8. Like the
// window it only reads the shared UI state and fills its request slots; it never reaches
// the core. Text fields are escaped (see console_escape), and so are text arguments.
//
// Commands: devices · connect <ADDR> · sas confirm|reject · identity accept|reject ·
//   unbind · manual-ip <text> · send <path> · cancel send|recv <name> · clip <text> ·
//   media <action> [<volume>] · reply <row> <text> · album page <page> <per_page> ·
//   album · album thumb <id> · album export <folder> <id>… · album drag <id>… · status ·
//   notifications · copy-code <row> · copy-text <row> · local-clip <text> · send-clip ·
//   settings · set <key> <value> · rows · help · quit. Anything else prints "error <text>" and changes nothing.
//   The album's shown cells are the whole current page, until `album thumb` names cells
//   (the next page shows all again).
// Events: state <n> · notice <text> · sysnote <title>\t<body> · sas <dddddd> ·
//   identity-changed <name>\t<old fp>\t<new fp> · paired <fp>\t<name> · tcp <0|1> ·
//   notification <package>\t<title>\t<text> · clipboard <text> ·
//   row <send|recv> <percent> <status>\t<name> · local-clipboard <text> · media … · battery … ·
//   reply-status <ok>\t<text> · album-list … · thumb … · drag … · lost <n> (a slow reader
//   missed that many events)
#pragma once

#include <cstdint>
#include <functional>
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

#include "platform/clipboard.h"
#include "platform/clock.h"
#include "shell/ui_state.h"

namespace dovan {

// The line an event is printed as (without the line feed).
std::string event_line(const FeedData& event);

// `\` → `\\`, line feed → `\n`, carriage return → `\r`, tab → `\t`; every other byte
// that is no printable character becomes `\xNN` (the other C0 controls, DEL, and each
// byte of ill-formed UTF-8), and a character above U+007F that acts on the display (C1
// controls, bidirectional and other format characters, see is_control_or_format) becomes
// `\u{XXXX}` (four to six hex digits). So peer text cannot drive the terminal, reorder the
// line or split it, and the output is always valid UTF-8. `\xNN` is always one byte and
// `\u{…}` one character, so every text escapes and unescapes to itself.
std::string console_escape(std::string_view text);
// The reverse; nothing for a dangling backslash, a malformed `\x` or `\u{…}` (not a
// Unicode scalar value) or an escape not listed above.
std::optional<std::string> console_unescape(std::string_view text);

// The settings file as the console's settings commands reach it; the program wires it to
// settings.ini, which lives above this layer.
struct ConsoleSettings {
    // Every key with its value, in the file's order.
    std::function<std::vector<std::pair<std::string, std::string>>()> list;
    // Changes one setting as the settings page would and saves it; the error text when the
    // key or value is not accepted.
    std::function<std::optional<std::string>(std::string_view key, std::string_view value)> set;
};

class Console {
public:
    enum class Outcome { Continue, Quit };

    // `clipboard` null: the clipboard commands answer with an error.
    Console(std::shared_ptr<SharedUi> ui, std::ostream& out, Clock& clock,
            std::shared_ptr<ProcessClipboard> clipboard = nullptr, ConsoleSettings settings = {});

    // Carries out one command line. A malformed one prints "error …" and changes nothing.
    Outcome command(std::string_view line);

    // Prints a line for every event the feed got since the last call, oldest first, and
    // empties the system-notification queue as the window's timer would. When the feed
    // dropped events this reader had not seen, one "lost <n>" line comes first. Never
    // blocks the core: it only reads the feed and takes the UI lock briefly.
    void poll_events();

    // For the thread that calls poll_events: sleeps until there is an event to print,
    // `timeout` passed or interrupt_wait() was called.
    void wait_events(std::chrono::steady_clock::duration timeout) { ui_->feed().wait(cursor_, timeout); }
    void interrupt_wait() { ui_->feed().interrupt(); }

private:
    void line(const std::string& text);  // out_mu_ held
    void error(std::string_view text);   // out_mu_ held
    void print_status();
    void print_devices();
    void print_notifications();
    void print_album();
    void print_help();
    void print_rows();
    Outcome dispatch(std::string_view verb, std::string_view rest);

    std::shared_ptr<SharedUi> ui_;
    std::ostream& out_;
    Clock& clock_;
    std::shared_ptr<ProcessClipboard> clipboard_;
    ConsoleSettings settings_;
    std::mutex out_mu_;  // taken before the UI lock, never after it
    std::uint64_t cursor_ = 0;  // the next feed event to print
};

}  // namespace dovan
