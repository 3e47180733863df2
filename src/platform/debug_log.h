// Structured debug events: level, module, dotted event name, named text fields.
// emit_event is callable from any thread and never blocks on disk.
//
// While logging is on, every record becomes one JSON line in dovan-debug.ndjson and one
// plain line in dovan-debug.log (written by the "dovan-debuglog" thread), and the newest
// plain lines stay in memory as the ring snapshot that export writes out.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace dovan {

enum class LogLevel : std::uint8_t { Info = 0, Warn = 1, Error = 2 };

struct DebugField {
    std::string key;
    std::string value;
};
using DebugFields = std::vector<DebugField>;

// Module, event name and field keys are the program's own fixed text, written as they
// are; anything from outside (names, texts, paths from the phone) goes only into field
// values, which both line forms escape.
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

// --- Line formats -------------------------------------------------------------------

std::string_view level_name(LogLevel level);  // "info", "warn", "error"
// JSON string escaping of one text (without the enclosing quotes); C0 and C1 controls and
// format characters (see is_control_or_format) as \u escapes.
std::string json_escape(std::string_view text);
// {"ts_ms":…,"level":"…","module":"…","event":"…","fields":{…}} without a line feed.
std::string debug_json_line(const DebugRecord& record);
// "[ts] LEVEL module event key=value …" with control and format characters in values
// blanked.
std::string debug_plain_line(const DebugRecord& record);

// --- File logging -------------------------------------------------------------------

inline constexpr std::uint64_t kDebugLogRotateBytes = 52'428'800;  // 50 MiB per file
inline constexpr std::size_t kDebugQueueCapacity = 4096;           // messages
inline constexpr std::size_t kDebugRingBytes = 4096;               // line bytes + 1 each
inline constexpr std::size_t kDebugWriteBuffer = 8192;             // per file

// The Logs folder inside the data directory.
std::filesystem::path log_directory(const std::filesystem::path& data_directory);

// Starts logging into `directory` (created if missing). Succeeds at once when logging is
// already on. `rotate_at` exists so tests can rotate without writing 50 MiB.
Status enable_debug_log(const std::filesystem::path& directory,
                        std::uint64_t rotate_at = kDebugLogRotateBytes);

// Stops logging after everything already queued has been written. The directory and the
// ring snapshot are kept for a later export.
void disable_debug_log();

// Asks the writer to flush both files and waits for it at most `wait`. False when logging
// is off or the writer did not answer in time.
bool flush_debug_log(std::chrono::milliseconds wait);

// Copies both log files and the ring snapshot into `destination`; returns that folder.
Result<std::filesystem::path> export_debug_log(const std::filesystem::path& destination);

// The newest plain lines, oldest first.
std::vector<std::string> debug_ring_snapshot();

// Writes a "[Dovan] …" diagnostic sentence and a line feed to standard error; never fails.
void console_line(std::string_view text);

}  // namespace dovan
