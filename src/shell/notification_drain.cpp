#include "shell/notification_drain.h"

#include <array>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "platform/debug_log.h"
#include "crypto/random.h"
#include "shell/activation.h"
#include "shell/toast_xml.h"

namespace dovan {

std::optional<std::uint64_t> secure_token() {
    std::array<std::uint8_t, 8> b{};
    if (!random_fill(b)) return std::nullopt;
    return load_be64(b.data());
}

NotificationDrain::NotificationDrain(Config config) : c_(std::move(config)) {}

bool NotificationDrain::paused(Instant now) const { return paused_until_ && now < *paused_until_; }

std::optional<Instant> NotificationDrain::paused_until() const {
    std::lock_guard lock(mu_);
    return paused_until_;
}

void NotificationDrain::withdraw(const Posted& posted) {
    auto g = c_.ui->lock();
    if (posted.copy_token) g->toast_actions.erase(*posted.copy_token);
    if (posted.reply_token) g->toast_actions.erase(*posted.reply_token);
    if (posted.open_token) g->toast_actions.erase(*posted.open_token);
    if (posted.reveal_token) g->toast_actions.erase(*posted.reveal_token);
}

void NotificationDrain::show_balloon(std::string_view title, std::string_view body) {
    if (c_.balloon && c_.balloon(title, body)) return;
    {
        auto g = c_.ui->lock();
        g->add_notice(kBalloonFailedNotice);
    }
    c_.ui->post_repaint();
}

void NotificationDrain::drain() {
    std::deque<SystemNotification> queue;
    {
        auto g = c_.ui->lock();
        queue.swap(g->system_notifications);
    }
    std::deque<std::pair<std::string, std::string>> due;
    {
        std::lock_guard lock(mu_);
        due.swap(balloons_due_);
    }
    for (const auto& [title, body] : due) show_balloon(title, body);

    for (auto& request : queue) {
        const Instant now = c_.clock->now();
        bool try_service = false;
        {
            std::lock_guard lock(mu_);
            try_service = c_.notifier != nullptr && !paused(now);
        }
        if (try_service) {
            Posted posted;
            posted.title = request.title;
            posted.body = request.body;
            bool tokens_ok = true;
            {
                // Tokens are drawn outside the lock; a clash with a live one is drawn again.
                auto draw = [&](std::optional<std::uint64_t>& slot, const ToastAction& action) {
                    for (int attempt = 0; attempt < 4 && !slot; ++attempt) {
                        const auto token = c_.tokens ? c_.tokens() : std::nullopt;
                        if (!token) break;
                        auto g = c_.ui->lock();
                        if (g->toast_actions.contains(*token)) continue;
                        insert_toast_action(*g, *token, action, now);
                        slot = token;
                    }
                    if (!slot) tokens_ok = false;
                };
                if (request.code) draw(posted.copy_token, ToastAction{CopyCodeAction{*request.code}, now});
                if (request.reply_target && tokens_ok)
                    draw(posted.reply_token, ToastAction{ReplyAction{*request.reply_target}, now});
                // Each button holds the saved path itself; the link carries only its token.
                if (request.saved_path && tokens_ok)
                    draw(posted.open_token, ToastAction{OpenRequest{*request.saved_path, OpenWhat::File}, now});
                if (request.saved_path && tokens_ok)
                    draw(posted.reveal_token, ToastAction{OpenRequest{*request.saved_path, OpenWhat::Folder}, now});
            }
            DesktopNotification n;
            n.title = request.title;
            n.body = request.body;
            if (posted.copy_token)
                n.buttons.push_back({activation_link(ActivationVerb::Copy, *posted.copy_token),
                                     copy_button_label(*request.code)});
            if (posted.reply_token)
                n.buttons.push_back({activation_link(ActivationVerb::Reply, *posted.reply_token),
                                     std::string(kReplyButtonLabel)});
            if (posted.open_token)
                n.buttons.push_back({activation_link(ActivationVerb::Open, *posted.open_token),
                                     std::string(kOpenButtonLabel)});
            if (posted.reveal_token)
                n.buttons.push_back({activation_link(ActivationVerb::Reveal, *posted.reveal_token),
                                     std::string(kRevealButtonLabel)});
            std::uint64_t cookie = 0;
            {
                std::lock_guard lock(mu_);
                cookie = next_cookie_++;
                in_flight_.emplace(cookie, posted);
            }
            n.cookie = cookie;
            if (tokens_ok && c_.notifier->post(std::move(n))) continue;
            {
                std::lock_guard lock(mu_);
                in_flight_.erase(cookie);
                paused_until_ = now + kNotifierBackoff;
            }
            withdraw(posted);
        }
        show_balloon(request.title, request.body);
    }
}

void NotificationDrain::on_outcome(std::uint64_t cookie, const std::optional<std::string>& error) {
    Posted posted;
    {
        std::lock_guard lock(mu_);
        auto it = in_flight_.find(cookie);
        if (it == in_flight_.end()) return;
        posted = std::move(it->second);
        in_flight_.erase(it);
        if (posted.parting) {
            parting_shown_ = !error;
            parting_cv_.notify_all();
        }
        if (!error) return;
        paused_until_ = c_.clock->now() + kNotifierBackoff;
        if (!posted.parting) balloons_due_.emplace_back(posted.title, posted.body);
    }
    withdraw(posted);
    emit_event(LogLevel::Warn, "ui", "toast.failed", {{"error", *error}});
    c_.ui->post_repaint();
}

bool NotificationDrain::show_parting(std::string_view title, std::string_view body,
                                     std::chrono::milliseconds wait) {
    std::uint64_t cookie = 0;
    {
        std::lock_guard lock(mu_);
        if (c_.notifier != nullptr && !paused(c_.clock->now())) {
            cookie = next_cookie_++;
            Posted posted;
            posted.title = title;
            posted.body = body;
            posted.parting = true;
            in_flight_.emplace(cookie, std::move(posted));
            parting_shown_.reset();
        }
    }
    if (cookie != 0) {
        DesktopNotification n;
        n.cookie = cookie;
        n.title = title;
        n.body = body;
        // The verdict may come at once, on the service's thread, so no lock is held here.
        const bool handed_over = c_.notifier->post(std::move(n));
        std::unique_lock lock(mu_);
        if (handed_over) parting_cv_.wait_for(lock, wait, [this] { return parting_shown_.has_value(); });
        const bool shown = parting_shown_.value_or(false);
        // Unanswered: whatever the service says later finds nothing to act on.
        in_flight_.erase(cookie);
        if (shown) return true;
    }
    return c_.balloon && c_.balloon(title, body);
}

}  // namespace dovan
