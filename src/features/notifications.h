// Phone notifications mirrored to the PC: stored for the window, shown as toasts with the
// verification code found in them, answered with a reply through the phone, and the reply's
// acknowledgement or time-out.
//
// Events: NotificationPushed, NotificationReplyRequested (ignored), NotificationReplyAcked, NotificationDismissed.
// Requests: send_reply.
// Steps: ReplyExpiry.
// Link: a reply still waiting when its link is lost ends at once, as not delivered.
#pragma once

#include <deque>
#include <optional>

#include <cstddef>

#include "features/feature.h"

namespace dovan {

// Replies only count as lost once the phone has had strictly more than this.
inline constexpr Duration kReplyAckTimeout = std::chrono::seconds(10);
inline constexpr std::string_view kReplyNoAnswer = "手机没有回应（请把手机端 Dovan 升到最新版）";
inline constexpr std::string_view kReplyNotSent = "回复未发出：通知同步已关闭，或未配对/链路未就绪";
// The link died before the reply was written out.
inline constexpr std::string_view kReplyLinkLost = "回复没有送达：与手机的蓝牙连接断开了";
// The link died after the reply left but before the phone's receipt came.
inline constexpr std::string_view kReplyMaybeLost = "与手机的连接断开了，没等到回执：回复可能没有送达";
// Replies handed to the session whose fate is still tracked; older ones are only timed out.
inline constexpr std::size_t kMaxTrackedReplies = 64;
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
    void on_link(const LinkChange& change) override;

private:
    // A reply handed to the session: over BLE, the engine's fragment count once it was
    // queued; over the bound TCP channel, nothing.
    struct SentReply {
        std::uint32_t id = 0;
        std::optional<std::uint64_t> ble_mark;
    };
    void pushed(const pb::NotificationPush& push);
    void acked(const pb::NotificationReplyAck& ack);
    void dismissed(const pb::NotificationDismiss& dismiss);

    FeatureHost& host_;
    std::deque<SentReply> sent_;
};

// How a notification toasts under the current settings: the title (the package when
// empty), the body or the hidden-content text, the code only while content is shown.
SystemNotification notification_toast(const PhoneNotification& n, bool show_content);

}  // namespace dovan
