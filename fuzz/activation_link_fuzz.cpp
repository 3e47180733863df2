// Any text handed over as a notification button must parse consistently: a link that is
// accepted writes back to the same token, and a table lookup never spends another token.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "platform/clipboard.h"
#include "shell/activation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dovan;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const auto parsed = parse_activation_link(in);
    if (const auto* link = std::get_if<ActivationLink>(&parsed)) {
        const auto again = parse_activation_link(activation_link(link->verb, link->token));
        if (!std::holds_alternative<ActivationLink>(again) || std::get<ActivationLink>(again) != *link) {
            std::fprintf(stderr, "a written link does not parse back\n");
            std::abort();
        }
        if (!in.starts_with(kActivationPrefix)) std::abort();
    }

    // Through the handler: one copy action whose token is never the fuzzed one unless the
    // link names it exactly.
    static FakeClock clock;
    ProcessClipboard clipboard;
    auto ui = std::make_shared<SharedUi>();
    constexpr std::uint64_t kToken = 0x0123456789abcdefULL;
    insert_toast_action(*ui->lock(), kToken, ToastAction{CopyCodeAction{"123456"}, {}}, clock.now());
    const ActivationResult result = handle_activation(in, ActivationHost{ui, &clipboard, &clock, {}});
    const auto* link = std::get_if<ActivationLink>(&parsed);
    const bool names_it = link != nullptr && link->token == kToken;
    const bool copied = result == ActivationResult::Copied;
    if (copied != (names_it && link->verb == ActivationVerb::Copy)) std::abort();
    if (copied && clipboard.read_text() != std::optional<std::string>("123456")) std::abort();
    if (names_it != ui->lock()->toast_actions.empty()) std::abort();
    if (result == ActivationResult::ReplyOpened) std::abort();
    return 0;
}
