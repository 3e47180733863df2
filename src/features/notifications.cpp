#include "features/notifications.h"

#include <vector>

namespace dovan {

bool Notifications::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::NotificationPushed:
        case AppEventKind::NotificationReplyRequested:
        case AppEventKind::NotificationReplyAcked:
        case AppEventKind::NotificationDismissed:
            return true;
        default:
            return false;
    }
}

void Notifications::on_requests(UiRequests&) {}

void Notifications::step(TurnStep at, Instant now) {
    if (at != TurnStep::ReplyExpiry) return;
    bool any = false;
    {
        auto g = host_.ui().lock();
        std::vector<std::uint32_t> expired;
        for (const auto& r : g->awaiting_replies) {
            if (now - r.sent > kReplyAckTimeout) expired.push_back(r.id);
        }
        for (std::uint32_t id : expired) any |= g->finish_reply(id, false, kReplyNoAnswer, now);
    }
    if (any) host_.request_repaint();
}

}  // namespace dovan
