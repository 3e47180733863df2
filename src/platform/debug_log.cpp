#include "platform/debug_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <variant>

#include "common/shown_text.h"
#include "common/text.h"
#include "platform/clock.h"

namespace dovan {
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------
// Line formats
// ---------------------------------------------------------------------------------------
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Ill-formed bytes read as U+FFFD one byte at a time, so a stray byte from a producer
// never makes the JSON line invalid.
char32_t next_char(std::string_view s, std::size_t& i) {
    const char32_t cp = utf8_next(s, i);
    return cp == kUtf8Invalid ? kReplacement : cp;
}

void append_json_unit(std::string& out, char32_t unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
}

// \uXXXX, as a surrogate pair above U+FFFF.
void append_json_u(std::string& out, char32_t c) {
    if (c < 0x10000) return append_json_unit(out, c);
    c -= 0x10000;
    append_json_unit(out, 0xD800 + (c >> 10));
    append_json_unit(out, 0xDC00 + (c & 0x3FF));
}

void append_escaped(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        // Plain ASCII is by far the common case: copy it without decoding.
        if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        const char32_t c = next_char(text, i);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                // C1 and format characters too: a viewer of the raw file would obey or
                // reorder by them. DEL does nothing on a terminal and stays.
                if (c != 0x7F && is_control_or_format(c))
                    append_json_u(out, c);
                else
                    utf8_append(out, c);
        }
    }
}

void append_plain_value(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        const char32_t c = next_char(text, i);
        if (is_control_or_format(c))
            out.push_back(' ');
        else
            utf8_append(out, c);
    }
}

void append_number(std::string& out, std::uint64_t n) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
    (void)ec;
    out.append(buf, end);
}

std::size_t estimated_size(const DebugRecord& r) {
    std::size_t n = 80 + r.module.size() + r.event.size();
    for (const auto& f : r.fields) n += f.key.size() + f.value.size() + 6;
    return n;
}

}  // namespace

std::string_view level_name(LogLevel level) {
    switch (level) {
        case LogLevel::Info: return "info";
        case LogLevel::Warn: return "warn";
        case LogLevel::Error: return "error";
    }
    return "info";
}

namespace {
std::string_view level_upper(LogLevel level) {
    switch (level) {
        case LogLevel::Info: return "INFO";
        case LogLevel::Warn: return "WARN";
        case LogLevel::Error: return "ERROR";
    }
    return "INFO";
}
}  // namespace

std::string json_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    append_escaped(out, text);
    return out;
}

std::string debug_json_line(const DebugRecord& r) {
    std::string out;
    out.reserve(estimated_size(r));
    out += "{\"ts_ms\":";
    append_number(out, r.ts_ms);
    out += ",\"level\":\"";
    out += level_name(r.level);
    out += "\",\"module\":\"";
    append_escaped(out, r.module);
    out += "\",\"event\":\"";
    append_escaped(out, r.event);
    out += "\",\"fields\":{";
    bool first = true;
    for (const auto& f : r.fields) {
        if (!first) out.push_back(',');
        first = false;
        out.push_back('"');
        append_escaped(out, f.key);
        out += "\":\"";
        append_escaped(out, f.value);
        out.push_back('"');
    }
    out += "}}";
    return out;
}

std::string debug_plain_line(const DebugRecord& r) {
    std::string out;
    out.reserve(estimated_size(r));
    out.push_back('[');
    append_number(out, r.ts_ms);
    out += "] ";
    out += level_upper(r.level);
    out.push_back(' ');
    out += r.module;
    out.push_back(' ');
    out += r.event;
    for (const auto& f : r.fields) {
        out.push_back(' ');
        out += f.key;
        out.push_back('=');
        append_plain_value(out, f.value);
    }
    return out;
}

std::string DebugRecord::field(std::string_view key) const {
    for (const auto& f : fields)
        if (f.key == key) return f.value;
    return {};
}

fs::path log_directory(const fs::path& data_directory) { return data_directory / "Logs"; }

void console_line(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    // One write call per line keeps lines from different threads whole.
    std::size_t off = 0;
    while (off < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + off, line.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

// ---------------------------------------------------------------------------------------
// Log queue: bounded, many senders, one receiver. The receiver ends once the queue is
// empty and every sender is gone; senders fail once the receiver is gone.
// ---------------------------------------------------------------------------------------
namespace {

struct RecordMsg {
    std::string json;
    std::string plain;
};
struct FlushMsg {
    std::shared_ptr<std::promise<void>> ack;
};
struct StopMsg {};
using LogMsg = std::variant<RecordMsg, FlushMsg, StopMsg>;

class LogQueue {
public:
    bool try_send(LogMsg&& m) {
        {
            std::lock_guard lock(mu_);
            if (!receiver_alive_ || q_.size() >= kDebugQueueCapacity) return false;
            q_.push_back(std::move(m));
        }
        readable_.notify_one();
        return true;
    }

    // Waits for space until `deadline` (or forever when none is given).
    bool send(LogMsg&& m, std::optional<std::chrono::steady_clock::time_point> deadline) {
        {
            std::unique_lock lock(mu_);
            auto room = [&] { return !receiver_alive_ || q_.size() < kDebugQueueCapacity; };
            if (deadline) {
                if (!writable_.wait_until(lock, *deadline, room)) return false;
            } else {
                writable_.wait(lock, room);
            }
            if (!receiver_alive_) return false;
            q_.push_back(std::move(m));
        }
        readable_.notify_one();
        return true;
    }

    // Takes everything queued. When waiting, blocks for at least one message and comes
    // back empty only once the queue is drained and no sender is left.
    void receive_all(std::deque<LogMsg>& out, bool wait) {
        std::unique_lock lock(mu_);
        if (wait) readable_.wait(lock, [&] { return !q_.empty() || senders_.load() == 0; });
        if (q_.empty()) return;
        out.swap(q_);
        lock.unlock();
        writable_.notify_all();
    }

    void close_receiver() {
        std::deque<LogMsg> dropped;
        {
            std::lock_guard lock(mu_);
            receiver_alive_ = false;
            dropped.swap(q_);
        }
        writable_.notify_all();
    }

    void add_sender() { senders_.fetch_add(1); }
    void remove_sender() {
        if (senders_.fetch_sub(1) == 1) {
            // Take the lock so the receiver cannot miss the wake-up between its check
            // and its wait.
            std::lock_guard lock(mu_);
            readable_.notify_all();
        }
    }

private:
    std::mutex mu_;
    std::condition_variable readable_;
    std::condition_variable writable_;
    std::deque<LogMsg> q_;
    std::atomic<std::size_t> senders_{0};
    bool receiver_alive_ = true;
};

class LogSender {
public:
    explicit LogSender(std::shared_ptr<LogQueue> q) : q_(std::move(q)) { q_->add_sender(); }
    LogSender(const LogSender& o) : q_(o.q_) { q_->add_sender(); }
    LogSender& operator=(const LogSender&) = delete;
    ~LogSender() { q_->remove_sender(); }
    LogQueue& queue() const { return *q_; }

private:
    std::shared_ptr<LogQueue> q_;
};

// ---------------------------------------------------------------------------------------
// The writer: two append-only files, each behind an 8 KiB buffer.
// ---------------------------------------------------------------------------------------


class BufferedFile {
public:
    BufferedFile() = default;
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    BufferedFile(BufferedFile&& o) noexcept : fd_(o.fd_), buf_(std::move(o.buf_)) { o.fd_ = -1; }
    BufferedFile& operator=(BufferedFile&& o) noexcept {
        if (this != &o) {
            close_fd();
            fd_ = o.fd_;
            buf_ = std::move(o.buf_);
            o.fd_ = -1;
        }
        return *this;
    }
    ~BufferedFile() { close_fd(); }

    // Opens for appending; `truncate` gives a fresh empty file.
    static Result<BufferedFile> open(const fs::path& path, bool truncate, std::uint64_t* size) {
        int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
        if (truncate) flags |= O_TRUNC;
        const int fd = ::open(path.c_str(), flags, 0600);
        if (fd < 0) return fail_text(errno_text(errno));
        BufferedFile f;
        f.fd_ = fd;
        f.buf_.reserve(kDebugWriteBuffer);
        if (size) {
            struct stat st {};
            *size = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        }
        return f;
    }

    void write_line(std::string_view line) {
        if (buf_.size() + line.size() + 1 > kDebugWriteBuffer) flush();
        if (line.size() + 1 > kDebugWriteBuffer) {
            // Too big to buffer: write it straight through, the line feed with it.
            write_all(line);
            write_all("\n");
            return;
        }
        buf_.append(line);
        buf_.push_back('\n');
    }

    bool flush() {
        const bool ok = write_all(buf_);
        // On error the buffered lines are given up rather than growing without bound.
        buf_.clear();
        return ok;
    }

    // Writes `data` straight to the file, reporting the system error.
    Status write_whole(std::string_view data) {
        errno = 0;
        if (!flush() || !write_all(data)) return fail_text(errno_text(errno ? errno : EIO));
        return {};
    }

private:
    bool write_all(std::string_view data) {
        if (fd_ < 0) return false;
        std::size_t off = 0;
        while (off < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + off, data.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            off += static_cast<std::size_t>(n);
        }
        return true;
    }
    void close_fd() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
    std::string buf_;
};

constexpr const char* kExts[] = {"ndjson", "log"};

fs::path log_file(const fs::path& dir, std::string_view ext, int generation) {
    if (generation == 0) return dir / format_text("dovan-debug.{}", ext);
    return dir / format_text("dovan-debug.{}.{}", generation, ext);
}

struct Writer {
    fs::path dir;
    BufferedFile files[2];  // JSON, plain
    std::uint64_t counters[2] = {0, 0};
    std::uint64_t limit = kDebugLogRotateBytes;

    void flush_all() {
        files[0].flush();
        files[1].flush();
    }

    void rotate() {
        bool flushed = files[0].flush();
        flushed = files[1].flush() && flushed;
        if (!flushed) return;
        for (const char* ext : kExts) {
            std::error_code ec;
            fs::remove(log_file(dir, ext, 2), ec);
            if (fs::exists(log_file(dir, ext, 1), ec)) {
                fs::rename(log_file(dir, ext, 1), log_file(dir, ext, 2), ec);
                if (ec) return;
            }
            if (fs::exists(log_file(dir, ext, 0), ec)) {
                fs::rename(log_file(dir, ext, 0), log_file(dir, ext, 1), ec);
                if (ec) return;
            }
        }
        for (int k = 0; k < 2; ++k) {
            auto fresh = BufferedFile::open(log_file(dir, kExts[k], 0), true, nullptr);
            if (!fresh) return;
            files[k] = std::move(*fresh);
            // Each counter follows its own file, so a half-done rotation is retried
            // only for the file that is still large.
            counters[k] = 0;
        }
    }

    // Returns false on Stop.
    bool handle(LogMsg& m) {
        if (auto* r = std::get_if<RecordMsg>(&m)) {
            files[0].write_line(r->json);
            files[1].write_line(r->plain);
            counters[0] += r->json.size() + 1;
            counters[1] += r->plain.size() + 1;
            if (counters[0] >= limit || counters[1] >= limit) rotate();
            return true;
        }
        if (auto* f = std::get_if<FlushMsg>(&m)) {
            flush_all();
            f->ack->set_value();
            f->ack.reset();
            return true;
        }
        return false;
    }

    void run(LogQueue& q) {
        std::deque<LogMsg> batch;
        bool running = true;
        while (running) {
            batch.clear();
            q.receive_all(batch, true);
            if (batch.empty()) break;  // every sender gone
            // Bursts go through the buffers; the files are flushed once the queue is empty.
            while (running && !batch.empty()) {
                for (auto& m : batch) {
                    if (!handle(m)) {
                        running = false;
                        break;
                    }
                }
                batch.clear();
                if (running) q.receive_all(batch, false);
            }
            if (running) flush_all();
        }
        flush_all();
        q.close_receiver();
    }
};

// ---------------------------------------------------------------------------------------
// Process-wide state. Each piece has its own lock and no path holds two of them.
// ---------------------------------------------------------------------------------------

// Bit 0: file logging on. Higher bits: live DebugCapture count (in units of 2). Emitters
// read the whole word once, so both reasons to record cost a single load.
constexpr std::uint32_t kLogBit = 1;
constexpr std::uint32_t kCaptureUnit = 2;

struct Ring {
    std::deque<std::string> lines;
    std::size_t total = 0;

    void push(std::string line) {
        total += line.size() + 1;
        lines.push_back(std::move(line));
        while (total > kDebugRingBytes) {
            if (lines.size() >= 2) {
                total -= lines.front().size() + 1;
                lines.pop_front();
                continue;
            }
            std::string& only = lines.front();
            if (only.size() > kDebugRingBytes) {
                std::size_t start = only.size() - kDebugRingBytes;
                while (start < only.size() && (static_cast<unsigned char>(only[start]) & 0xC0) == 0x80)
                    ++start;
                only.erase(0, start);
            }
            total = only.size() + 1;
            break;
        }
    }
};

// Constant-initialised, so it is usable before and after every other static.
std::atomic<std::uint32_t> g_flags{0};

struct LogState {

    std::mutex sender_mu;
    std::shared_ptr<LogSender> sender;

    std::mutex dir_mu;
    std::optional<fs::path> dir;

    std::mutex thread_mu;
    std::thread thread;

    std::mutex ring_mu;
    Ring ring;

    std::mutex capture_mu;
    std::vector<DebugRecord> captured;
};

// Never destroyed: threads may still emit while the process exits.
LogState& state() {
    static LogState* s = new LogState;
    return *s;
}

// Writes out whatever is queued when the process ends without disabling.
struct FlushAtExit {
    ~FlushAtExit() { disable_debug_log(); }
} g_flush_at_exit;

std::shared_ptr<LogSender> current_sender() {
    auto& st = state();
    std::lock_guard lock(st.sender_mu);
    return st.sender;
}

}  // namespace

bool debug_log_enabled() { return g_flags.load(std::memory_order_relaxed) != 0; }

void emit_event(LogLevel level, std::string_view module, std::string_view event,
                DebugFields fields) {
    auto& st = state();
    const std::uint32_t flags = g_flags.load(std::memory_order_relaxed);
    if (flags == 0) return;

    std::optional<LogSender> sender;
    if (flags & kLogBit) {
        std::lock_guard lock(st.sender_mu);
        if (st.sender) sender.emplace(*st.sender);
    }
    const bool capturing = flags >= kCaptureUnit;
    if (!sender && !capturing) return;

    DebugRecord rec{system_clock().wall_ms(), level, std::string(module), std::string(event),
                    std::move(fields)};
    if (sender) {
        RecordMsg msg{debug_json_line(rec), debug_plain_line(rec)};
        {
            std::lock_guard lock(st.ring_mu);
            st.ring.push(msg.plain);
        }
        // A full queue or a finished writer drops the record; the ring keeps it.
        sender->queue().try_send(std::move(msg));
    }
    if (capturing) {
        std::lock_guard lock(st.capture_mu);
        st.captured.push_back(std::move(rec));
    }
}

Status enable_debug_log(const fs::path& directory, std::uint64_t rotate_at) {
    auto& st = state();
    if (g_flags.load(std::memory_order_acquire) & kLogBit) return {};

    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) return fail_text(format_text("创建日志目录失败: {}", ec.message()));

    auto writer = std::make_unique<Writer>();
    writer->dir = directory;
    writer->limit = rotate_at;
    for (int k = 0; k < 2; ++k) {
        auto f = BufferedFile::open(log_file(directory, kExts[k], 0), false, &writer->counters[k]);
        if (!f) return fail_text(format_text("打开日志文件失败: {}", f.error().text));
        writer->files[k] = std::move(*f);
    }

    auto queue = std::make_shared<LogQueue>();
    auto sender = std::make_shared<LogSender>(queue);
    std::thread thread;
    try {
        thread = std::thread([queue, w = std::move(writer)]() mutable {
            pthread_setname_np(pthread_self(), "dovan-debuglog");
            w->run(*queue);
        });
    } catch (const std::system_error& e) {
        return fail_text(format_text("启动日志线程失败: {}", e.code().message()));
    }

    {
        std::lock_guard lock(st.sender_mu);
        st.sender = std::move(sender);
    }
    {
        std::lock_guard lock(st.dir_mu);
        st.dir = directory;
    }
    {
        std::lock_guard lock(st.thread_mu);
        // An older writer left here has lost its sender and ends by itself.
        if (st.thread.joinable()) st.thread.detach();
        st.thread = std::move(thread);
    }
    {
        std::lock_guard lock(st.ring_mu);
        st.ring = Ring{};
    }
    g_flags.fetch_or(kLogBit, std::memory_order_release);
    return {};
}

void disable_debug_log() {
    auto& st = state();
    if (!(g_flags.fetch_and(~kLogBit) & kLogBit)) return;

    std::shared_ptr<LogSender> sender;
    {
        std::lock_guard lock(st.sender_mu);
        sender.swap(st.sender);
    }
    if (sender) {
        sender->queue().send(StopMsg{}, std::nullopt);
        sender.reset();
    }
    std::thread thread;
    {
        std::lock_guard lock(st.thread_mu);
        thread.swap(st.thread);
    }
    if (thread.joinable()) thread.join();
}

bool flush_debug_log(std::chrono::milliseconds wait) {
    if (!(g_flags.load(std::memory_order_acquire) & kLogBit)) return false;
    auto sender = current_sender();
    if (!sender) return false;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto ack = std::make_shared<std::promise<void>>();
    auto done = ack->get_future();
    if (!sender->queue().send(FlushMsg{std::move(ack)}, deadline)) return false;
    sender.reset();
    if (done.wait_until(deadline) != std::future_status::ready) return false;
    try {
        done.get();
        return true;
    } catch (const std::future_error&) {
        return false;  // the writer stopped before reaching the flush
    }
}

Result<fs::path> export_debug_log(const fs::path& destination) {
    auto& st = state();
    std::optional<fs::path> dir;
    {
        std::lock_guard lock(st.dir_mu);
        dir = st.dir;
    }
    if (!dir) return fail_text("Debug 日志从未开启，无可导出内容");

    flush_debug_log(std::chrono::seconds(2));

    std::error_code ec;
    fs::create_directories(destination, ec);
    if (ec) return fail_text(format_text("创建导出目录失败: {}", ec.message()));

    const std::uint64_t ts = system_clock().wall_ms();
    int count = 0;
    for (const char* ext : kExts) {
        const fs::path src = log_file(*dir, ext, 0);
        if (!fs::exists(src, ec)) continue;
        fs::copy_file(src, destination / format_text("dovan-debug-export-{}.{}", ts, ext),
                      fs::copy_options::overwrite_existing, ec);
        if (ec)
            return fail_text(
                format_text("复制 {} 失败: {}", src.filename().string(), ec.message()));
        ++count;
    }

    std::string joined;
    {
        std::lock_guard lock(st.ring_mu);
        for (const auto& line : st.ring.lines) {
            if (!joined.empty()) joined.push_back('\n');
            joined += line;
        }
    }
    if (!joined.empty()) {
        const fs::path ring_path = destination / format_text("dovan-debug-ring-{}.log", ts);
        auto file = BufferedFile::open(ring_path, true, nullptr);
        if (!file) return fail_text(format_text("写出环形快照失败: {}", file.error().text));
        if (auto written = file->write_whole(joined); !written)
            return fail_text(format_text("写出环形快照失败: {}", written.error().text));
        ++count;
    }

    if (count == 0) return fail_text("暂无可导出的日志文件");
    return destination;
}

std::vector<std::string> debug_ring_snapshot() {
    auto& st = state();
    std::lock_guard lock(st.ring_mu);
    return {st.ring.lines.begin(), st.ring.lines.end()};
}

// ---------------------------------------------------------------------------------------
// DebugCapture
// ---------------------------------------------------------------------------------------

DebugCapture::DebugCapture() {
    auto& st = state();
    {
        std::lock_guard lock(st.capture_mu);
        st.captured.clear();
    }
    g_flags.fetch_add(kCaptureUnit);
}

DebugCapture::~DebugCapture() { g_flags.fetch_sub(kCaptureUnit); }

std::vector<DebugRecord> DebugCapture::records() const {
    auto& st = state();
    std::lock_guard lock(st.capture_mu);
    return st.captured;
}

std::vector<DebugRecord> DebugCapture::events(std::string_view event) const {
    auto& st = state();
    std::lock_guard lock(st.capture_mu);
    std::vector<DebugRecord> out;
    for (const auto& r : st.captured)
        if (r.event == event) out.push_back(r);
    return out;
}

bool DebugCapture::has(std::string_view event) const { return !events(event).empty(); }

void DebugCapture::clear() {
    auto& st = state();
    std::lock_guard lock(st.capture_mu);
    st.captured.clear();
}

}  // namespace dovan
