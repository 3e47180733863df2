// Structured debug events: level, module, dotted event name, named text fields.
// emit_event is callable from any thread and never blocks on disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dovan {

enum class LogLevel : std::uint8_t { Info = 0, Warn = 1, Error = 2 };

struct DebugField {
    std::string key;
    std::string value;
};
using DebugFields = std::vector<DebugField>;

struct DebugRecord {
    std::uint64_t ts_ms = 0;
    LogLevel level = LogLevel::Info;
    std::string module;
    std::string event;
    DebugFields fields;

    // Value of the first field with this key, or empty.
    std::string field(std::string_view key) const;
};

// One flag read; producers test it before formatting field values.
bool debug_log_enabled();

void emit_event(LogLevel level, std::string_view module, std::string_view event,
                DebugFields fields = {});

// Test aid: while one is alive, emitted records are also kept in memory (and the
// enabled flag reads true), so any module's tests can check the events it emits.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<DebugRecord> records() const;
    std::vector<DebugRecord> events(std::string_view event) const;
    bool has(std::string_view event) const;
    void clear();
};

}  // namespace dovan
