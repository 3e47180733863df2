// Shows the queued system notifications: through the desktop's notification service with
// buttons while it works, else as a balloon on the tray icon. A failure of the service
// pauses it for five minutes, so a broken service costs one attempt, not one per message.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/notifier.h"
#include "shell/ui_state.h"

namespace dovan {

inline constexpr Duration kNotifierBackoff = std::chrono::milliseconds(300'000);
inline constexpr std::string_view kBalloonFailedNotice =
    "[系统弹窗失败] 托盘图标未建立或被系统禁止（检查桌面的通知设置）";
// Said once as the program is ended from outside: SIGTERM comes from the session ending,
// systemctl or kill, and nothing tells which.
inline constexpr std::string_view kPartingTitle = "Dovan 已退出";
inline constexpr std::string_view kPartingBody = "系统要求结束程序（注销、关机或结束进程），Dovan 已退出。";
inline constexpr std::chrono::milliseconds kPartingWait{1500};

// A fresh action token; none when the secure random source fails.
using TokenSource = std::function<std::optional<std::uint64_t>()>;
std::optional<std::uint64_t> secure_token();

// Shows a balloon on the tray icon; false when there is no icon or the system refused.
using BalloonFn = std::function<bool(std::string_view title, std::string_view body)>;

class NotificationDrain {
public:
    struct Config {
        std::shared_ptr<SharedUi> ui;
        Clock* clock = nullptr;
        Notifier* notifier = nullptr;  // null: the service is not reachable, balloons only
        BalloonFn balloon;             // empty: no tray icon
        TokenSource tokens = secure_token;
    };

    explicit NotificationDrain(Config config);

    // Window thread, every timer tick: empties the queue of the UI state.
    void drain();

    // Any thread: the service's verdict on a posted notification. A failure withdraws its
    // tokens, starts the pause and leaves its balloon for the next drain.
    void on_outcome(std::uint64_t cookie, const std::optional<std::string>& error);

    // Window thread, as the program ends: one notification without buttons, through the
    // service while it is not paused and takes it within `wait` (nothing would be left to
    // deliver it later), else as a balloon. True when either showed it.
    bool show_parting(std::string_view title, std::string_view body, std::chrono::milliseconds wait);

    // No notification goes to the service before this instant.
    std::optional<Instant> paused_until() const;

private:
    struct Posted {
        std::optional<std::uint64_t> copy_token;
        std::optional<std::uint64_t> reply_token;
        std::optional<std::uint64_t> open_token;
        std::optional<std::uint64_t> reveal_token;
        std::string title;
        std::string body;
        bool parting = false;  // its outcome is awaited, not left for the next drain
    };

    bool paused(Instant now) const;  // mu_ held
    void withdraw(const Posted& posted);
    void show_balloon(std::string_view title, std::string_view body);

    Config c_;
    mutable std::mutex mu_;  // never held together with the UI lock
    std::optional<Instant> paused_until_;
    std::uint64_t next_cookie_ = 1;
    std::unordered_map<std::uint64_t, Posted> in_flight_;
    std::deque<std::pair<std::string, std::string>> balloons_due_;
    std::condition_variable parting_cv_;
    std::optional<bool> parting_shown_;  // the service's verdict on the parting notification
};

}  // namespace dovan
