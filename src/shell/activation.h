// Notification buttons. Each button carries a "dovan://<verb>/<token>" link; the token is a
// one-shot key into the action table of the UI state, so another program that guesses or
// replays a link gets nothing beyond a notice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/clock.h"
#include "shell/ui_state.h"

namespace dovan {

class Clipboard;

inline constexpr std::string_view kActivationPrefix = "dovan://";
// An action older than this is gone, whether or not it was used.
inline constexpr Duration kActionLifetime = std::chrono::seconds(900);

enum class ActivationVerb : std::uint8_t { Copy, Reply, Open, Reveal };
enum class ActivationReject : std::uint8_t { Parse, Verb, Stale };

// "parse", "verb", "stale": the reason as the debug event writes it.
std::string_view reject_reason_name(ActivationReject reason);
// The notice the user sees for a rejected activation.
std::string_view reject_notice(ActivationReject reason);

struct ActivationLink {
    ActivationVerb verb = ActivationVerb::Copy;
    std::uint64_t token = 0;
    bool operator==(const ActivationLink&) const = default;
};

// "dovan://" + verb + "/" + token. The token is hexadecimal in any case, at most 64 bits,
// with an optional leading "+". A malformed link is "parse"; a well-formed one with another
// verb is "verb".
std::variant<ActivationLink, ActivationReject> parse_activation_link(std::string_view uri);

// The token as links carry it: 16 lower-case hex digits.
std::string token_text(std::uint64_t token);
std::string activation_link(ActivationVerb verb, std::uint64_t token);

// The action table. Insertion first forgets every action 900 s old or older; taking removes
// the entry, so a token works once, and an expired entry counts as missing.
void insert_toast_action(UiState& state, std::uint64_t token, ToastAction action, Instant now);
std::optional<ToastAction> take_toast_action(UiState& state, std::uint64_t token, Instant now);

// What an activation needs from the running program.
struct ActivationHost {
    std::shared_ptr<SharedUi> ui;
    Clipboard* clipboard = nullptr;
    Clock* clock = nullptr;
    // Brings the main window to the front; empty where there is no window.
    std::function<void()> show_window;
    // Opens a received file or its folder (open_saved) on the front end's own thread;
    // empty where nothing can open files.
    std::function<void(OpenRequest)> open = {};
};

enum class ActivationResult : std::uint8_t { Copied, ReplyOpened, Opened, Rejected };

// Carries out a button press: copies the code, makes the notification the reply target
// and focuses the reply box, or opens the saved file or its folder; the path is the one
// stored with the token, the link names nothing but the token. Anything else leaves a
// notice and a "toast.reject" event.
// Callable from any thread; the UI lock is held only around the table and field updates.
ActivationResult handle_activation(std::string_view uri, const ActivationHost& host);

}  // namespace dovan
