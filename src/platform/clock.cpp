#include "platform/clock.h"

#include <thread>

#include "platform/wake.h"

namespace dovan {

Instant SystemClock::now() const { return std::chrono::steady_clock::now(); }

std::uint64_t SystemClock::wall_ms() const {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

void SystemClock::sleep_for(Duration d) { std::this_thread::sleep_for(d); }

bool Clock::pause(Duration max, WakeSignal& wake) {
    if (wake.take()) return true;
    sleep_for(max);
    return false;
}

bool SystemClock::pause(Duration max, WakeSignal& wake) { return wake.wait_for(max); }

Clock& system_clock() {
    static SystemClock clock;
    return clock;
}

}  // namespace dovan
