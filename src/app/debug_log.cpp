// Interim: capture only. The file writer, ring snapshot and export replace this.
#include "app/debug_log.h"

#include <atomic>
#include <mutex>

namespace dovan {
namespace {
std::atomic<int> g_captures{0};
std::mutex g_mu;
std::vector<DebugRecord> g_records;
}  // namespace

std::string DebugRecord::field(std::string_view key) const {
    for (const auto& f : fields)
        if (f.key == key) return f.value;
    return {};
}

bool debug_log_enabled() { return g_captures.load(std::memory_order_relaxed) > 0; }

void emit_event(LogLevel level, std::string_view module, std::string_view event,
                DebugFields fields) {
    if (!debug_log_enabled()) return;
    std::lock_guard lock(g_mu);
    g_records.push_back({0, level, std::string(module), std::string(event), std::move(fields)});
}

DebugCapture::DebugCapture() {
    std::lock_guard lock(g_mu);
    g_records.clear();
    g_captures.fetch_add(1);
}
DebugCapture::~DebugCapture() { g_captures.fetch_sub(1); }

std::vector<DebugRecord> DebugCapture::records() const {
    std::lock_guard lock(g_mu);
    return g_records;
}
std::vector<DebugRecord> DebugCapture::events(std::string_view event) const {
    std::lock_guard lock(g_mu);
    std::vector<DebugRecord> out;
    for (const auto& r : g_records)
        if (r.event == event) out.push_back(r);
    return out;
}
bool DebugCapture::has(std::string_view event) const { return !events(event).empty(); }
void DebugCapture::clear() {
    std::lock_guard lock(g_mu);
    g_records.clear();
}

}  // namespace dovan
