#include "features/notifications.h"

#include <algorithm>
#include <vector>

#include "platform/debug_log.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "session/code_extract.h"

namespace dovan {

namespace {

std::string shown_text(const std::string& raw, std::size_t limit) {
    return utf8_lossy(utf8_cut(raw, limit));
}

std::size_t char_count(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < text.size(); ++n) (void)utf8_next(text, pos);
    return n;
}

bool same_notification(const ReplyTarget& t, std::string_view package, std::string_view tag, std::int32_t id) {
    return t.package == package && t.tag == tag && t.notification_id == id;
}

}  // namespace

SystemNotification notification_toast(const PhoneNotification& n, bool show_content) {
    SystemNotification s;
    s.title = n.title.empty() ? n.package : n.title;
    if (show_content) {
        s.body = n.text.empty() ? std::string("（内容未同步）") : n.text;
        if (auto code = extract_code(n.title, n.text)) s.code = std::move(code->code);
    } else {
        s.body = "收到一条通知（正文已隐藏）";
    }
    if (n.can_reply) s.reply_target = n.reply_target();
    return s;
}

bool Notifications::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::NotificationPushed:
            if (const auto* m = event.as<MessageEvent<pb::NotificationPush>>(); m && host_.modules().notifications())
                pushed(m->message);
            return true;
        case AppEventKind::NotificationReplyRequested:
            return true;
        case AppEventKind::NotificationReplyAcked:
            if (const auto* m = event.as<MessageEvent<pb::NotificationReplyAck>>()) acked(m->message);
            return true;
        case AppEventKind::NotificationDismissed:
            if (const auto* m = event.as<MessageEvent<pb::NotificationDismiss>>()) dismissed(m->message);
            return true;
        default:
            return false;
    }
}

void Notifications::pushed(const pb::NotificationPush& push) {
    PhoneNotification n;
    n.package = shown_text(push.package(), kNotificationTitleLimit);
    n.title = shown_text(push.title(), kNotificationTitleLimit);
    n.text = shown_text(push.text(), kNotificationTextLimit);
    n.post_ts_ms = push.post_ts_ms();
    n.key_hash = push.key_hash();
    // The cover is not shown by any front end yet; keeping twenty of them would only cost memory.
    n.tag = utf8_lossy(push.tag());
    n.notification_id = push.notification_id();
    n.can_reply = push.can_reply();
    n.reply_action_index = push.reply_action_index();
    n.reply_result_key = utf8_lossy(push.reply_result_key());
    n.active = true;

    if (debug_log_enabled())
        emit_event(LogLevel::Info, "app", "notif.rx",
                   {{"pkg", n.package},
                    {"title_len", std::to_string(char_count(push.title()))},
                    {"text_len", std::to_string(char_count(push.text()))},
                    {"id", std::to_string(n.notification_id)},
                    {"tag", n.tag},
                    {"reply", n.can_reply ? "1" : "0"}});

    auto g = host_.ui().lock();
    if (g->settings.toast_enabled) g->queue_system_notification(notification_toast(n, g->settings.toast_show_content));
    g->emit(feed::NotificationStored{n.package, n.title, n.text});
    auto& list = g->notifications;
    auto same = list.end();
    if (n.notification_id != 0) {
        same = std::find_if(list.begin(), list.end(), [&](const PhoneNotification& e) {
            return e.notification_id == n.notification_id && e.package == n.package;
        });
    }
    if (same != list.end()) {
        *same = std::move(n);
    } else {
        list.insert(list.begin(), std::move(n));
        if (list.size() > kMaxNotifications) list.resize(kMaxNotifications);
    }
    g->bump();
}

void Notifications::acked(const pb::NotificationReplyAck& ack) {
    const Instant now = host_.clock().now();
    bool matched = false;
    {
        auto g = host_.ui().lock();
        matched = g->finish_reply(ack.reply_id(), ack.ok(), utf8_lossy(ack.error()), now);
    }
    if (!matched) host_.push_notice(format_text("收到一条不认识的回执（第 {} 次回复）", ack.reply_id()));
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "app", "notif.reply.ack",
                   {{"reply_id", std::to_string(ack.reply_id())},
                    {"pkg", utf8_lossy(ack.package())},
                    {"ok", ack.ok() ? "1" : "0"},
                    {"err_len", std::to_string(char_count(ack.error()))},
                    {"matched", matched ? "1" : "0"}});
    host_.request_repaint();
}

void Notifications::dismissed(const pb::NotificationDismiss& d) {
    const std::string package = utf8_lossy(d.package());
    const std::string tag = utf8_lossy(d.tag());
    const std::int32_t id = d.notification_id();
    bool matched = false;
    {
        auto g = host_.ui().lock();
        for (auto& n : g->notifications) {
            if (n.package == package && n.tag == tag && n.notification_id == id) {
                n.active = false;
                matched = true;
            }
        }
        std::erase_if(g->toast_actions, [&](const auto& entry) {
            const auto* reply = std::get_if<ReplyAction>(&entry.second.action);
            return reply != nullptr && same_notification(reply->target, package, tag, id);
        });
        if (g->reply_target && same_notification(*g->reply_target, package, tag, id)) {
            g->clear_reply_target();
            matched = true;
        }
        if (matched) g->bump();
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "app", "notif.dismiss",
                   {{"pkg", package}, {"id", std::to_string(id)}, {"tag", tag}, {"entry", matched ? "removed" : "none"}});
    if (matched) host_.request_repaint();
}

void Notifications::on_requests(UiRequests& requests) {
    if (!requests.send_reply) return;
    const ReplyRequest r = std::move(*requests.send_reply);
    requests.send_reply.reset();
    bool sent = false;
    if (host_.modules().notifications()) {
        if (Engine* e = host_.engine()) {
            pb::NotificationReply m;
            m.set_reply_id(r.reply_id);
            m.set_package(r.target.package);
            m.set_tag(r.target.tag);
            m.set_notification_id(r.target.notification_id);
            m.set_action_index(r.target.action_index);
            m.set_result_key(r.target.result_key);
            m.set_text(r.text);
            sent = e->send_business(NOTIFICATION_REPLY, encode_notification_reply(m), host_.clock().wall_ms(), false);
            if (sent) {
                sent_.push_back({r.reply_id, e->tcp_bound() ? std::nullopt
                                                            : std::optional<std::uint64_t>(e->ble_fragments_queued())});
                if (sent_.size() > kMaxTrackedReplies) sent_.pop_front();
            }
        }
    }
    if (sent) return;
    {
        auto g = host_.ui().lock();
        g->finish_reply(r.reply_id, false, kReplyNotSent, host_.clock().now());
    }
    host_.request_repaint();
}

void Notifications::on_link(const LinkChange& change) {
    using Kind = LinkChange::Kind;
    if (change.kind != Kind::BleLost && change.kind != Kind::EngineEnding && change.kind != Kind::Unbound) return;
    const Engine* e = host_.engine();
    const std::uint64_t written = e != nullptr ? e->ble_fragments_written() : 0;
    // Over a bound TCP channel the session may go on without BLE, and so may the receipt.
    const bool goes_on = change.kind == Kind::BleLost && e != nullptr && e->state() == EngineState::Paired;
    const Instant now = host_.clock().now();
    bool any = false;
    {
        auto g = host_.ui().lock();
        std::vector<std::uint32_t> waiting;
        for (const auto& r : g->awaiting_replies) waiting.push_back(r.id);
        for (std::uint32_t id : waiting) {
            auto it = std::find_if(sent_.begin(), sent_.end(), [id](const SentReply& s) { return s.id == id; });
            const bool unwritten = it != sent_.end() && it->ble_mark && *it->ble_mark > written;
            if (unwritten) {
                any |= g->finish_reply(id, false, kReplyLinkLost, now);
            } else if (!goes_on) {
                any |= g->finish_reply(id, false, kReplyMaybeLost, now);
            }
        }
        std::erase_if(sent_, [&g](const SentReply& s) {
            return std::none_of(g->awaiting_replies.begin(), g->awaiting_replies.end(),
                                [&s](const AwaitingReply& r) { return r.id == s.id; });
        });
    }
    if (any) host_.request_repaint();
}

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
