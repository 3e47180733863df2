#include "features/device_status.h"

#include "platform/debug_log.h"
#include "protocol/messages.h"

namespace dovan {

bool DeviceStatus::on_event(const AppEvent& event) {
    if (event.kind != AppEventKind::DeviceStatusReceived) return false;
    const auto* m = event.as<MessageEvent<pb::DeviceStatus>>();
    if (m == nullptr) return true;
    const pb::DeviceStatus& status = m->message;
    std::int32_t level = status.battery();
    if (level < 0 || level > 100) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "ui", "battery.out_of_range", {{"value", std::to_string(level)}});
        level = -1;
    }
    const std::uint64_t wall = host_.clock().wall_ms();
    bool changed = false;
    {
        auto g = host_.ui().lock();
        auto& stored = g->device_status;
        const bool stored_unplaceable = stored && stored->ts_ms > wall && stored->ts_ms - wall > kStatusFutureSlackMs;
        if (stored && status.ts_ms() < stored->ts_ms && !stored_unplaceable) return true;
        const std::uint8_t charging = status.charging() ? 1 : 0;
        changed = !stored || stored->battery != level || stored->charging != charging;
        stored = DeviceStatusView{status.ts_ms(), level, charging};
        if (changed) {
            g->emit(feed::Battery{level, status.charging()});
            g->bump();
        }
    }
    if (changed) host_.request_repaint();
    return true;
}

}  // namespace dovan
