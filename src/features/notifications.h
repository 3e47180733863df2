// Phone notifications mirrored to the PC: stored for the window, shown as toasts with the
// verification code found in them, answered with a reply through the phone, and the reply's
// acknowledgement or time-out.
//
// Events: NotificationPushed, NotificationReplyRequested (ignored), NotificationReplyAcked, NotificationDismissed.
// Requests: send_reply.
// Steps: ReplyExpiry.
#pragma once

#include <cstddef>

#include "features/feature.h"

namespace dovan {

// Replies only count as lost once the phone has had strictly more than this.
inline constexpr Duration kReplyAckTimeout = std::chrono::seconds(10);
inline constexpr std::string_view kReplyNoAnswer = "手机没有回应（请把手机端 Dovan 升到最新版）";
inline constexpr std::string_view kReplyNotSent = "回复未发出：通知同步已关闭，或未配对/链路未就绪";
inline constexpr std::size_t kMaxNotifications = 20;
// What is kept of a notification's shown texts: a phone may send a frame-sized title, and
// each copy of it would otherwise sit in the list, the toast queue and the event feed.
inline constexpr std::size_t kNotificationTitleLimit = 1024;
inline constexpr std::size_t kNotificationTextLimit = 4096;

class Notifications final : public Feature {
public:
    explicit Notifications(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "notifications"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;

private:
    void pushed(const pb::NotificationPush& push);
    void acked(const pb::NotificationReplyAck& ack);
    void dismissed(const pb::NotificationDismiss& dismiss);

    FeatureHost& host_;
};

// How a notification toasts under the current settings: the title (the package when
// empty), the body or the hidden-content text, the code only while content is shown.
SystemNotification notification_toast(const PhoneNotification& n, bool show_content);

}  // namespace dovan
