// The one way to wake a thread that pauses between turns: any thread may notify; the
// paused one returns early. A notification that comes while nobody waits is kept for the
// next wait, so work that arrives between a look and the pause is never slept through.
#pragma once

#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/clock.h"

namespace dovan {

class WakeSignal {
public:
    void notify() {
        {
            std::lock_guard lock(mu_);
            pending_ = true;
        }
        cv_.notify_one();
    }

    // Consumes a pending notification; true when there was one.
    bool take() {
        std::lock_guard lock(mu_);
        return std::exchange(pending_, false);
    }

    // Waits at most `max` of real time; true when woken (the notification is consumed).
    bool wait_for(Duration max) {
        std::unique_lock lock(mu_);
        const bool woken = cv_.wait_for(lock, max, [&] { return pending_; });
        pending_ = false;
        return woken;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool pending_ = false;
};

}  // namespace dovan
