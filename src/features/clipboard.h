// Clipboard text in both directions: text from the phone is written to the local clipboard,
// local text (a user request or the clipboard-changed path) goes to the phone.
//
// Events: ClipboardReceived.
// Requests: send_clipboard.
#pragma once

#include "features/feature.h"

namespace dovan {

// The largest text pushed to the phone, in bytes (the phone refuses more).
inline constexpr std::size_t kClipboardSendLimit = 32768;

class ClipboardSync final : public Feature {
public:
    explicit ClipboardSync(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "clipboard"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;

private:
    FeatureHost& host_;
};

}  // namespace dovan
