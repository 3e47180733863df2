// Time comes from an injected clock so every deadline can be tested without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace dovan {

class WakeSignal;

using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;
using std::chrono::milliseconds;
using std::chrono::seconds;

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic instant, for every time-out, interval and rate.
    virtual Instant now() const = 0;
    // Wall-clock milliseconds since the Unix epoch (0 before the epoch).
    virtual std::uint64_t wall_ms() const = 0;
    // The core loop's pause between turns; a fake clock just moves forward.
    virtual void sleep_for(Duration d) = 0;
    // A pause that work can cut short: returns true at once, without time passing, when
    // `wake` was notified; otherwise sleeps `max` and returns false. The real clock blocks
    // on `wake` instead, so it returns as soon as work arrives.
    virtual bool pause(Duration max, WakeSignal& wake);
};

class SystemClock final : public Clock {
public:
    Instant now() const override;
    std::uint64_t wall_ms() const override;
    void sleep_for(Duration d) override;
    bool pause(Duration max, WakeSignal& wake) override;
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
