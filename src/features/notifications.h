// Phone notifications mirrored to the PC: stored for the window, shown as toasts with the
// verification code found in them, answered with a reply through the phone, and the reply's
// acknowledgement or time-out.
//
// Events: NotificationPushed, NotificationReplyRequested (ignored), NotificationReplyAcked, NotificationDismissed.
// Requests: send_reply.
// Steps: ReplyExpiry.
#pragma once

#include "features/feature.h"

namespace dovan {

// Replies only count as lost once the phone has had strictly more than this.
inline constexpr Duration kReplyAckTimeout = std::chrono::seconds(10);
inline constexpr std::string_view kReplyNoAnswer = "手机没有回应（请把手机端 Dovan 升到最新版）";

class Notifications final : public Feature {
public:
    explicit Notifications(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "notifications"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;

private:
    FeatureHost& host_;
};

}  // namespace dovan
