// Lines typed at the headless console, or piped in by another program: one command per
// line through the parser, and the escape form on its own. Nothing may crash; escaping
// any text and reading it back gives the text, and whatever reads back escapes to a form
// that reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "shell/console.h"

using namespace dovan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);

    if (console_unescape(console_escape(in)) != std::optional<std::string>(std::string(in))) std::abort();
    if (const auto plain = console_unescape(in)) {
        if (console_unescape(console_escape(*plain)) != plain) std::abort();
    }

    static FakeClock clock;
    auto ui = std::make_shared<SharedUi>(initial_ui_state(), LoadedModules{0xFF});
    auto clipboard = std::make_shared<ProcessClipboard>();
    std::ostringstream out;
    ConsoleSettings settings{
        [] { return std::vector<std::pair<std::string, std::string>>{{"autostart", "0"}}; },
        [](std::string_view key, std::string_view) -> std::optional<std::string> {
            if (key == "autostart") return std::nullopt;
            return std::string("unknown key");
        }};
    Console console(ui, out, clock, clipboard, settings);
    std::size_t start = 0;
    while (start <= in.size()) {
        const std::size_t end = std::min(in.find('\n', start), in.size());
        if (console.command(in.substr(start, end - start)) == Console::Outcome::Quit) break;
        (void)ui->lock()->take_requests();
        start = end + 1;
    }
    console.poll_events();
    return 0;
}
