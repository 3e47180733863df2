// Clipboard text in both directions: text from the phone is written to the local clipboard,
// local text (a user request or the clipboard-changed path) goes to the phone.
//
// Events: ClipboardReceived.
// Requests: send_clipboard.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "features/feature.h"

namespace dovan {

// The largest text pushed to the phone, in bytes (the phone refuses more).
inline constexpr std::size_t kClipboardSendLimit = 32768;

// A push has no acknowledgement, so what a dying link took is told by the writes the
// phone acknowledged: when a session ends with texts not fully written, the newest goes
// again once the next session is PAIRED and each older one gets the not-sent notice.
class ClipboardSync final : public Feature {
public:
    explicit ClipboardSync(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "clipboard"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;
    void on_link(const LinkChange& change) override;

private:
    // Pushes the text over BLE; false (with the not-sent notice) when it could not go.
    bool send(const std::string& text);
    // The text kept for the next session will not go: the user hears so.
    void drop_resend();

    FeatureHost& host_;
    // Texts the current engine took and has not seen written, oldest first, each as the
    // number of its last fragment; `newest_` is the last of them.
    std::deque<std::uint64_t> unwritten_;
    std::string newest_;
    std::optional<std::string> resend_;
};

}  // namespace dovan
