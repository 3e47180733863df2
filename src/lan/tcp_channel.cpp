#include "lan/tcp_channel.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

#include "platform/debug_log.h"
#include "protocol/frame.h"

namespace dovan {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

timeval to_timeval(Duration d) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    if (us <= 0) us = 1000;  // zero would mean "wait forever"
    return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

void apply_socket_settings(int fd, const TcpChannelOptions& o) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval rcv = to_timeval(o.receive_timeout);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv);
    timeval snd = to_timeval(o.send_timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);
}

// A connection the core has not heard of yet goes unmentioned: its accept is taken back.
// Accept failures (connection 0) keep only the first reason until the core takes it.
void post_close(TcpShared& sh, std::uint64_t conn, std::string reason) {
    {
        std::lock_guard lock(sh.events_mu);
        if (conn == 0) {
            if (std::any_of(sh.closed.begin(), sh.closed.end(), [](const TcpClosed& c) { return c.conn == 0; }))
                return;
        } else {
            auto it = std::find_if(sh.accepted.begin(), sh.accepted.end(),
                                   [&](const TcpAccepted& a) { return a.conn == conn; });
            if (it != sh.accepted.end()) {
                sh.accepted.erase(it);
                return;
            }
        }
        sh.closed.push_back(TcpClosed{conn, std::move(reason)});
    }
    if (sh.options.on_work) sh.options.on_work();
}

// Under out_mu. A frame the writer holds stays counted until its send ends.
void drop_unsent(TcpShared& sh) {
    for (const Bytes& f : sh.out) sh.out_bytes -= f.size();
    sh.out.clear();
}

// Under conns_mu.
std::vector<TcpShared::Connection>::iterator find_conn(TcpShared& sh, std::uint64_t id) {
    return std::find_if(sh.conns.begin(), sh.conns.end(), [&](const auto& c) { return c.id == id; });
}

bool conn_gone(TcpShared& sh, std::uint64_t id) {
    std::lock_guard lock(sh.conns_mu);
    return find_conn(sh, id) == sh.conns.end();
}

bool conn_bound(TcpShared& sh, std::uint64_t id) {
    std::lock_guard lock(sh.conns_mu);
    auto it = find_conn(sh, id);
    return it != sh.conns.end() && it->bound;
}

// Under conns_mu. The shutdown reaches the reader's descriptor too (both name one socket),
// so a reader blocked in the middle of a frame leaves at once instead of serving a dropped
// peer, and a send in progress fails at once.
void shut(const TcpShared::Connection& c) { ::shutdown(c.write_fd->get(), SHUT_RDWR); }

// Frames still waiting for the writer go with their connection.
void drop_unsent_of(TcpShared& sh, const std::vector<std::uint64_t>& ids) {
    std::lock_guard lock(sh.out_mu);
    if (std::find(ids.begin(), ids.end(), sh.out_conn) != ids.end()) drop_unsent(sh);
}

// Drops the connections `pick` selects; returns how many went.
template <class Pick>
std::size_t drop_connections(TcpShared& sh, Pick pick) {
    std::vector<std::uint64_t> dropped;
    {
        std::lock_guard lock(sh.conns_mu);
        for (auto it = sh.conns.begin(); it != sh.conns.end();) {
            if (pick(*it)) {
                shut(*it);
                dropped.push_back(it->id);
                it = sh.conns.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!dropped.empty()) drop_unsent_of(sh, dropped);
    return dropped.size();
}

void drop_connection(TcpShared& sh, std::uint64_t id) {
    drop_connections(sh, [&](const TcpShared::Connection& c) { return c.id == id; });
}

// Under conns_mu. Room for one more connection from `peer`: the oldest unbound connection
// of the same address when it already holds its share, otherwise, when the table is full,
// the oldest unbound connection of the address that holds the most. So a stranger cannot
// keep the phone out by holding connections, only displace its own or those of another
// stranger that holds as many; the bound connection is never displaced.
std::optional<std::uint64_t> displaced_by(const TcpShared& sh, const SocketAddress& peer) {
    auto unbound_of = [&](const SocketAddress& a) {
        return static_cast<std::size_t>(std::count_if(sh.conns.begin(), sh.conns.end(), [&](const auto& c) {
            return !c.bound && c.peer.same_ip(a);
        }));
    };
    auto oldest_unbound_of = [&](const SocketAddress& a) -> std::optional<std::uint64_t> {
        for (const auto& c : sh.conns)
            if (!c.bound && c.peer.same_ip(a)) return c.id;
        return std::nullopt;
    };
    if (unbound_of(peer) >= TCP_MAX_UNBOUND_PER_ADDRESS) return oldest_unbound_of(peer);
    if (sh.conns.size() < TCP_MAX_CONNECTIONS) return std::nullopt;
    const TcpShared::Connection* busiest = nullptr;
    std::size_t most = 0;
    for (const auto& c : sh.conns) {
        if (c.bound) continue;
        const std::size_t n = unbound_of(c.peer);
        if (n > most) {
            most = n;
            busiest = &c;
        }
    }
    if (!busiest) return std::nullopt;
    return busiest->id;
}

// How a connection's reading stopped: `reason` is empty when the core gave it up.
struct ConnectionEnd {
    std::optional<std::string> reason;
};

class ConnectionReader {
public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    ConnectionReader(int fd, std::uint64_t conn, TcpShared& sh)
        : fd_(fd), conn_(conn), sh_(sh),
          bind_end_(std::chrono::steady_clock::now() + sh.options.bind_deadline) {}

    ConnectionEnd serve() {
        std::array<std::uint8_t, FRAME_HEADER_LEN> header{};
        while (sh_.running.load()) {
            frame_end_.reset();
            if (auto end = read_exact(header.data(), header.size())) return *end;
            auto parsed = parse_header(ByteView(header));
            if (!parsed) return {"帧解析失败: " + parsed.error().display()};
            Bytes frame(parsed->frame_len());
            std::memcpy(frame.data(), header.data(), header.size());
            if (auto end = read_exact(frame.data() + header.size(), frame.size() - header.size())) {
                return *end;
            }
            if (auto end = enqueue(std::move(frame))) return *end;
        }
        return {};
    }

private:
    // Progress survives receive time-outs: a peer that pauses inside a frame stays in
    // step, but only until the frame's deadline.
    std::optional<ConnectionEnd> read_exact(std::uint8_t* buf, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            if (auto end = past_deadline()) return end;
            // Read first and wait only when nothing is there: under a stream the data is
            // usually waiting, and a poll before every read doubles the system calls.
            ssize_t r = ::recv(fd_, buf + got, n - got, MSG_DONTWAIT);
            if (r > 0) {
                if (!frame_end_) frame_end_ = std::chrono::steady_clock::now() + sh_.options.frame_deadline;
                got += static_cast<std::size_t>(r);
                continue;
            }
            const int err = r < 0 ? errno : 0;
            if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
                if (!readable()) {
                    if (conn_gone(sh_, conn_)) return given_up();
                    if (!sh_.running.load()) return ConnectionEnd{};
                }
                continue;
            }
            // After the core's shutdown the socket reads as closed: that is its decision,
            // not the peer's, and was already told.
            if (!sh_.running.load()) return ConnectionEnd{};
            if (conn_gone(sh_, conn_)) return given_up();
            if (r == 0) return ConnectionEnd{"连接被关闭"};
            if (err == EINTR) continue;
            return ConnectionEnd{"IO 失败: " + errno_text(err)};
        }
        return std::nullopt;
    }

    ConnectionEnd given_up() const {
        console_line(format_text("[Dovan] TCP #{} 本端已判死，收线后回到监听", conn_));
        return ConnectionEnd{};
    }

    std::optional<ConnectionEnd> past_deadline() {
        const auto now = std::chrono::steady_clock::now();
        if (frame_end_ && now >= *frame_end_)
            return ConnectionEnd{format_text("一帧 {} 内未收完，断开",
                                             duration_text(sh_.options.frame_deadline))};
        if (!bound_) bound_ = conn_bound(sh_, conn_);
        if (!bound_ && now >= bind_end_)
            return ConnectionEnd{format_text("{} 内未完成通道绑定，断开",
                                             duration_text(sh_.options.bind_deadline))};
        return std::nullopt;
    }

    // Waits for data at most until the next deadline or the receive time-out.
    bool readable() const {
        const auto now = std::chrono::steady_clock::now();
        auto until = now + sh_.options.receive_timeout;
        if (frame_end_) until = std::min(until, *frame_end_);
        if (!bound_) until = std::min(until, bind_end_);
        const auto ms = duration_cast<milliseconds>(until - now).count() + 1;
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::clamp<std::int64_t>(ms, 1, INT_MAX)));
        return r > 0;
    }

    bool fits(std::size_t frame_len) const {
        return sh_.queue.empty() || (sh_.queue.size() < TCP_QUEUE_MAX_FRAMES &&
                                     sh_.queued_bytes + frame_len <= TCP_QUEUE_MAX_BYTES);
    }

    std::optional<ConnectionEnd> enqueue(Bytes frame) {
        const auto& o = sh_.options;
        // Only waits that time out count: a wake means the core is still draining.
        Duration waited{0};
        std::unique_lock lock(sh_.queue_mu);
        while (!fits(frame.size()) && sh_.running.load()) {
            std::uint32_t seen = sh_.wake_word.load();
            std::size_t queued = sh_.queue.size();
            lock.unlock();
            ++episodes_;
            if (episodes_ % 64 == 1 && debug_log_enabled()) {
                emit_event(LogLevel::Info, "lan", "tcp.rx.backpressure",
                           {{"conn", std::to_string(conn_)},
                            {"queued", std::to_string(queued)},
                            {"episodes", std::to_string(episodes_)}});
            }
            bool woken;
            {
                std::unique_lock wl(sh_.wake_mu);
                woken = sh_.wake_cv.wait_for(wl, o.queue_wait,
                                             [&] { return sh_.wake_word.load() != seen; });
            }
            if (!woken) {
                waited += o.queue_wait;
                if (waited >= o.backpressure_give_up) {
                    return ConnectionEnd{format_text(
                        "入站队列 {} 内无人取帧，本机吃不下了，主动断开",
                        duration_text(o.backpressure_give_up))};
                }
            }
            // A connection the core has already dropped is not worth waiting for.
            if (conn_gone(sh_, conn_)) return ConnectionEnd{};
            lock.lock();
        }
        sh_.queued_bytes += frame.size();
        sh_.queue.push_back(TcpFrame{conn_, std::move(frame)});
        if (sh_.options.on_work) sh_.options.on_work();
        return std::nullopt;
    }

    int fd_;
    std::uint64_t conn_;
    TcpShared& sh_;
    std::uint64_t episodes_ = 0;
    SteadyTime bind_end_;
    std::optional<SteadyTime> frame_end_;
    bool bound_ = false;
};

// Waits for a pending connection at most `idle`, so the running flag is seen promptly.
void wait_for_listener(int fd, Duration idle) {
    pollfd p{fd, POLLIN, 0};
    int ms = static_cast<int>(duration_cast<milliseconds>(idle).count());
    ::poll(&p, 1, ms > 0 ? ms : 1);
}

}  // namespace

TcpChannelOptions TcpChannelOptions::loopback(std::uint16_t port) {
    TcpChannelOptions o;
    o.bind_ipv4 = 0x7F000001;
    o.port = port;
    return o;
}

std::string duration_text(Duration d) {
    auto ms = duration_cast<milliseconds>(d).count();
    if (ms % 1000 == 0) return format_text("{}s", ms / 1000);
    return format_text("{}ms", ms);
}

namespace {

// One connection's reader: serves it until it ends, then lets go of it.
void serve_connection(UniqueFd read_fd, std::uint64_t id, const std::shared_ptr<TcpShared>& shared) {
    TcpShared& sh = *shared;
    ConnectionEnd end = ConnectionReader(read_fd.get(), id, sh).serve();
    if (end.reason) post_close(sh, id, std::move(*end.reason));
    read_fd.reset();
    drop_connection(sh, id);
}

struct Reader {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

void join_finished(std::vector<Reader>& readers) {
    std::erase_if(readers, [](Reader& r) {
        if (!r.done->load()) return false;
        r.thread.join();
        return true;
    });
}

}  // namespace

void reader_main(UniqueFd listener, const std::shared_ptr<TcpShared>& shared) {
    TcpShared& sh = *shared;
    const auto& o = sh.options;
    std::uint64_t counter = 0;
    // Each ends soon after its connection leaves the table, which it does at the latest
    // when the running flag drops.
    std::vector<Reader> readers;
    while (sh.running.load()) {
        join_finished(readers);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                wait_for_listener(listener.get(), o.accept_idle);
                continue;
            }
            if (err == EINTR) continue;
            post_close(sh, 0, "TCP accept 失败: " + errno_text(err));
            std::this_thread::sleep_for(o.accept_error_pause);
            continue;
        }
        UniqueFd read_fd(fd);
        auto peer = SocketAddress::from_raw(reinterpret_cast<const sockaddr*>(&ss), len);
        if (!peer) {
            read_fd.reset();
            post_close(sh, 0, "TCP accept 失败: " + errno_text(EAFNOSUPPORT));
            std::this_thread::sleep_for(o.accept_error_pause);
            continue;
        }
        if (!sh.running.load()) break;

        int write_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (write_fd < 0) {
            post_close(sh, 0, "复制 TCP 句柄失败: " + errno_text(errno));
            continue;
        }
        auto shared_write_fd = std::make_shared<const UniqueFd>(write_fd);
        std::uint64_t id = ++counter;
        if (debug_log_enabled()) {
            emit_event(LogLevel::Info, "lan", "tcp.accept",
                       {{"conn", std::to_string(id)}, {"addr", peer->text()}});
        }
        apply_socket_settings(write_fd, o);
        apply_socket_settings(fd, o);
        // In the table and announced before its reader starts, so the reader cannot
        // mistake it for one the core dropped, nor end it before the core could hear of it.
        std::optional<std::uint64_t> displaced;
        {
            std::lock_guard lock(sh.conns_mu);
            displaced = displaced_by(sh, *peer);
            if (displaced) {
                auto it = find_conn(sh, *displaced);
                shut(*it);
                sh.conns.erase(it);
            }
            sh.conns.push_back(TcpShared::Connection{id, shared_write_fd, *peer, false});
        }
        if (displaced) {
            drop_unsent_of(sh, {*displaced});
            post_close(sh, *displaced, "连接过多，让位给新连接");
        }
        {
            std::lock_guard lock(sh.events_mu);
            sh.accepted.push_back(TcpAccepted{id, *peer});
        }
        if (o.on_work) o.on_work();
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            std::thread reader([read = std::move(read_fd), id, shared, done]() mutable {
                serve_connection(std::move(read), id, shared);
                done->store(true);
            });
            readers.push_back(Reader{std::move(reader), std::move(done)});
        } catch (const std::system_error& e) {
            drop_connection(sh, id);
            post_close(sh, id, format_text("TCP 读线程启动失败: {}", e.what()));
            std::this_thread::sleep_for(o.accept_error_pause);
            continue;
        }
        console_line(format_text("[Dovan] TCP 对端已连接 #{} {}", id, peer->text()));
    }
    // Stopping shut every connection down, so each reader is on its way out.
    drop_connections(sh, [](const TcpShared::Connection&) { return true; });
    for (Reader& r : readers) r.thread.join();
}

namespace {

// Sends one frame whole; a peer that takes no byte for `send_timeout` fails it as a
// blocking send with that time-out would.
std::optional<std::string> send_whole(int fd, const Bytes& frame, Duration send_timeout) {
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const std::size_t n = std::min<std::size_t>(frame.size() - sent, INT_MAX);
        const ssize_t r = ::send(fd, frame.data() + sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += static_cast<std::size_t>(r);
            continue;
        }
        if (r == 0) return "IO 失败: failed to write whole buffer";
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) return "IO 失败: " + errno_text(err);
        pollfd p{fd, POLLOUT, 0};
        const auto ms = std::max<std::int64_t>(1, duration_cast<milliseconds>(send_timeout).count());
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(ms, INT_MAX)));
        if (ready == 0) return "IO 失败: " + errno_text(EAGAIN);
        if (ready < 0 && errno != EINTR) return "IO 失败: " + errno_text(errno);
    }
    return std::nullopt;
}

}  // namespace

void writer_main(const std::shared_ptr<TcpShared>& shared) {
    TcpShared& sh = *shared;
    std::unique_lock lock(sh.out_mu);
    while (true) {
        sh.out_cv.wait(lock, [&] { return !sh.running.load() || (!sh.out.empty() && !sh.write_failure); });
        if (!sh.running.load()) return;
        Bytes frame = std::move(sh.out.front());
        sh.out.pop_front();
        const std::uint64_t conn = sh.out_conn;
        lock.unlock();

        std::shared_ptr<const UniqueFd> fd;
        {
            std::lock_guard conns_lock(sh.conns_mu);
            auto it = find_conn(sh, conn);
            if (it != sh.conns.end()) fd = it->write_fd;
        }
        std::optional<std::string> failed =
            fd ? send_whole(fd->get(), frame, sh.options.send_timeout) : std::optional<std::string>("连接已关闭");
        fd.reset();

        lock.lock();
        const std::size_t before = sh.out_bytes;
        sh.out_bytes -= frame.size();
        bool wake = false;
        if (failed && conn == sh.out_conn && !sh.write_failure) {
            sh.write_failure = std::move(failed);
            drop_unsent(sh);
            wake = true;
        }
        // A core that found the queue full waits for room; half of it is worth a turn.
        if (before >= TCP_WRITE_QUEUE_MAX_BYTES / 2 && sh.out_bytes < TCP_WRITE_QUEUE_MAX_BYTES / 2) wake = true;
        if (wake && sh.options.on_work) {
            lock.unlock();
            sh.options.on_work();
            lock.lock();
        }
    }
}

Result<TcpChannel> open_listener(const TcpChannelOptions& options) {
    SocketAddress bind_addr = SocketAddress::ipv4(options.bind_ipv4, options.port);
    auto listen_error = [&](int err) {
        return fail_text(format_text("TCP 监听 {} 失败: {}", bind_addr.text(), errno_text(err)));
    };
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return listen_error(errno);
    // Without it a restart cannot bind while old connections sit in TIME_WAIT.
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), bind_addr.raw(), bind_addr.raw_len()) != 0) return listen_error(errno);
    if (::listen(fd.get(), 128) != 0) return listen_error(errno);
    int flags = fcntl(fd.get(), F_GETFL, 0);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail_text("设置非阻塞失败: " + errno_text(errno));
    }
    sockaddr_storage local{};
    socklen_t local_len = sizeof local;
    std::uint16_t port = options.port;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &local_len) == 0) {
        if (auto a = SocketAddress::from_raw(reinterpret_cast<sockaddr*>(&local), local_len)) {
            port = a->port();
        }
    }
    auto shared = std::make_shared<TcpShared>(options);
    std::thread writer;
    try {
        writer = std::thread(writer_main, shared);
    } catch (const std::system_error& e) {
        return fail_text(format_text("TCP 写线程启动失败: {}", e.what()));
    }
    std::thread reader;
    try {
        reader = std::thread(reader_main, std::move(fd), shared);
    } catch (const std::system_error& e) {
        shared->running.store(false);
        {
            std::lock_guard lock(shared->out_mu);
        }
        shared->out_cv.notify_all();
        writer.join();
        return fail_text(format_text("TCP 读线程启动失败: {}", e.what()));
    }
    return TcpChannel(std::move(shared), std::move(reader), std::move(writer), port);
}

TcpChannel& TcpChannel::operator=(TcpChannel&& other) noexcept {
    if (this != &other) {
        if (shared_) stop();
        if (reader_.joinable()) reader_.detach();
        if (writer_.joinable()) writer_.detach();
        shared_ = std::move(other.shared_);
        reader_ = std::move(other.reader_);
        writer_ = std::move(other.writer_);
        port_ = other.port_;
    }
    return *this;
}

TcpChannel::~TcpChannel() {
    if (shared_) stop();
    if (reader_.joinable()) reader_.detach();
    if (writer_.joinable()) writer_.detach();
}

std::optional<TcpAccepted> TcpChannel::take_accepted() {
    std::lock_guard lock(shared_->events_mu);
    if (shared_->accepted.empty()) return std::nullopt;
    TcpAccepted a = shared_->accepted.front();
    shared_->accepted.pop_front();
    return a;
}

std::optional<TcpClosed> TcpChannel::take_closed() {
    std::lock_guard lock(shared_->events_mu);
    if (shared_->closed.empty()) return std::nullopt;
    TcpClosed c = std::move(shared_->closed.front());
    shared_->closed.pop_front();
    return c;
}

std::optional<TcpFrame> TcpChannel::pop_frame() {
    std::lock_guard lock(shared_->queue_mu);
    if (shared_->queue.empty()) return std::nullopt;
    TcpFrame f = std::move(shared_->queue.front());
    shared_->queue.pop_front();
    shared_->queued_bytes -= f.bytes.size();
    return f;
}

bool TcpChannel::has_frames() {
    std::lock_guard lock(shared_->queue_mu);
    return !shared_->queue.empty();
}

void TcpChannel::wake_reader() {
    {
        std::lock_guard lock(shared_->wake_mu);
        shared_->wake_word.fetch_add(1);
    }
    shared_->wake_cv.notify_all();
}

Status TcpChannel::write_frames(std::uint64_t conn, std::vector<Bytes> frames) {
    TcpShared& sh = *shared_;
    const bool present = has_connection(conn);
    {
        std::lock_guard lock(sh.out_mu);
        if (sh.write_failure && conn == sh.out_conn) return fail_text(*sh.write_failure);
        if (!present) return frames.empty() ? Status{} : Status(fail_text("连接已关闭"));
        if (frames.empty()) return {};
        if (conn != sh.out_conn) {
            drop_unsent(sh);
            sh.out_conn = conn;
            sh.write_failure.reset();
        }
        for (Bytes& f : frames) {
            sh.out_bytes += f.size();
            sh.out.push_back(std::move(f));
        }
    }
    sh.out_cv.notify_one();
    return {};
}

Status TcpChannel::send_now(std::uint64_t conn, ByteView frame) {
    TcpShared& sh = *shared_;
    {
        // The writer's connection gets its frames in order through the writer.
        std::unique_lock lock(sh.out_mu);
        if (conn == sh.out_conn && !sh.write_failure) {
            lock.unlock();
            return write_frames(conn, {Bytes(frame.begin(), frame.end())});
        }
    }
    std::shared_ptr<const UniqueFd> fd;
    {
        std::lock_guard lock(sh.conns_mu);
        auto it = find_conn(sh, conn);
        if (it != sh.conns.end()) fd = it->write_fd;
    }
    if (!fd) return fail_text("连接已关闭");
    const ssize_t r = ::send(fd->get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r == static_cast<ssize_t>(frame.size())) return {};
    const int err = errno;
    close_connection(conn);
    return fail_text("IO 失败: " + (r < 0 ? errno_text(err) : std::string("failed to write whole buffer")));
}

bool TcpChannel::write_room() {
    std::lock_guard lock(shared_->out_mu);
    return shared_->out_bytes < TCP_WRITE_QUEUE_MAX_BYTES;
}

void TcpChannel::close_connection(std::uint64_t conn) { drop_connection(*shared_, conn); }

void TcpChannel::close_all_connections() {
    drop_connections(*shared_, [](const TcpShared::Connection&) { return true; });
}

bool TcpChannel::has_connection() {
    std::lock_guard lock(shared_->conns_mu);
    return !shared_->conns.empty();
}

bool TcpChannel::has_connection(std::uint64_t conn) { return !conn_gone(*shared_, conn); }

bool TcpChannel::bind_connection(std::uint64_t conn) {
    TcpShared& sh = *shared_;
    {
        std::lock_guard lock(sh.conns_mu);
        auto it = find_conn(sh, conn);
        if (it == sh.conns.end()) return false;
        it->bound = true;
    }
    drop_connections(sh, [&](const TcpShared::Connection& c) { return c.id != conn; });
    return true;
}

std::optional<SocketAddress> TcpChannel::connection_peer(std::uint64_t conn) {
    std::lock_guard lock(shared_->conns_mu);
    auto it = find_conn(*shared_, conn);
    if (it == shared_->conns.end()) return std::nullopt;
    return it->peer;
}

std::optional<SocketAddress> TcpChannel::bound_peer() {
    std::lock_guard lock(shared_->conns_mu);
    for (const auto& c : shared_->conns)
        if (c.bound) return c.peer;
    return std::nullopt;
}

void TcpChannel::stop() {
    shared_->running.store(false);
    // The shutdowns end reads blocked in the sockets, so the listener's port is free at
    // once instead of after the receive time-out.
    close_all_connections();
    wake_reader();
    {
        std::lock_guard lock(shared_->out_mu);  // so the writer cannot miss the flag
    }
    shared_->out_cv.notify_all();
}

void TcpChannel::stop_and_join() {
    if (shared_) stop();
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
}

}  // namespace dovan
