// Time comes from an injected clock so every deadline can be tested without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace dovan {

using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Lets other threads cut the core's pause short when they hand it work. A wake that comes
// before the wait is kept, so work posted between a look at the queues and the wait is not
// slept over.
class Wake {
public:
    void notify() {
        {
            std::lock_guard lock(mu_);
            pending_ = true;
        }
        cv_.notify_one();
    }
    // Until notified or `d` has passed; true when woken.
    bool wait_for(Duration d) {
        std::unique_lock lock(mu_);
        const bool woken = cv_.wait_for(lock, d, [&] { return pending_; });
        pending_ = false;
        return woken;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool pending_ = false;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic instant, for every time-out, interval and rate.
    virtual Instant now() const = 0;
    // Wall-clock milliseconds since the Unix epoch (0 before the epoch).
    virtual std::uint64_t wall_ms() const = 0;
    // The core loop's pause between turns; a fake clock just moves forward.
    virtual void sleep_for(Duration d) = 0;
    // The same pause, ended early by `wake`. A fake clock ignores the wake and moves on by
    // `d`, so tests see the same instants as before.
    virtual void sleep_until_woken(Duration d, Wake& wake) {
        (void)wake;
        sleep_for(d);
    }
};

class SystemClock final : public Clock {
public:
    Instant now() const override;
    std::uint64_t wall_ms() const override;
    void sleep_for(Duration d) override;
    void sleep_until_woken(Duration d, Wake& wake) override { wake.wait_for(d); }
};

// A clock that only moves when told to. Thread-safe so a test may advance it while
// another thread reads it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(std::uint64_t wall_ms_start = 1733700000000ULL)
        : mono_(Instant{} + std::chrono::hours(1)), wall_(wall_ms_start) {}

    Instant now() const override {
        std::lock_guard lock(mu_);
        return mono_;
    }
    std::uint64_t wall_ms() const override {
        std::lock_guard lock(mu_);
        return wall_;
    }
    void sleep_for(Duration d) override { advance(d); }

    void advance(Duration d) {
        std::lock_guard lock(mu_);
        mono_ += d;
        wall_ += static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    }
    void set_wall_ms(std::uint64_t ms) {
        std::lock_guard lock(mu_);
        wall_ = ms;
    }

private:
    mutable std::mutex mu_;
    Instant mono_;
    std::uint64_t wall_;
};

// The process-wide system clock, for code that has no clock injected (threads that
// only need real time, such as the debug-log writer).
Clock& system_clock();

}  // namespace dovan
