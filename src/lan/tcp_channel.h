// The TCP data channel: an accept thread takes connections and gives each its own reader
// thread, which queues whole frames; a writer thread sends the frames the core hands over
// for the bound connection, so a slow peer never holds the core in send(); the core drains
// the inbound queue and decides when a connection is dead. The threads meet only through
// TcpShared.
//
// Anyone on the network can connect, so several connections wait to bind at once: a few
// idle strangers cannot keep the phone out. The core binds the one whose nonce the phone
// proves over BLE and the others are closed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "lan/net_address.h"
#include "platform/unique_fd.h"
#include "platform/clock.h"

namespace dovan {

// Most frames and bytes the inbound queue holds before the reader waits for the core.
constexpr std::size_t TCP_QUEUE_MAX_FRAMES = 64;
constexpr std::size_t TCP_QUEUE_MAX_BYTES = std::size_t{8} * 1024 * 1024;
// Bytes handed to the writer and not yet sent, past which the core stops handing more
// (the frames wait in the engine, where the file sender's window sees them); the writer
// wakes the core once half of it is out.
constexpr std::size_t TCP_WRITE_QUEUE_MAX_BYTES = std::size_t{2} * 1024 * 1024;
// Connections served at once, and of those the unbound ones one source address may hold.
// A new connection past either bound displaces an older unbound one (see reader_main).
constexpr std::size_t TCP_MAX_CONNECTIONS = 8;
constexpr std::size_t TCP_MAX_UNBOUND_PER_ADDRESS = 2;

struct TcpChannelOptions {
    // 0.0.0.0 in the product; 127.0.0.1 when the LAN side is kept on loopback.
    std::uint32_t bind_ipv4 = 0;
    // 0 picks an ephemeral port (tests run side by side).
    std::uint16_t port = kLanPort;
    Duration receive_timeout = std::chrono::milliseconds(15000);
    Duration send_timeout = std::chrono::milliseconds(3000);
    // One wait of a reader whose queue is full, and the total after which it gives up.
    Duration queue_wait = std::chrono::milliseconds(100);
    Duration backpressure_give_up = std::chrono::seconds(15);
    Duration accept_idle = std::chrono::milliseconds(40);
    Duration accept_error_pause = std::chrono::milliseconds(200);
    // Connections are few, so a peer must not hold one by trickling bytes: a frame, once
    // begun, must arrive whole within `frame_deadline`, and a connection the core has not
    // bound is dropped `bind_deadline` after it was accepted.
    Duration frame_deadline = std::chrono::seconds(30);
    Duration bind_deadline = std::chrono::seconds(20);
    // Called on the reader or writer thread whenever it leaves work for the core (a frame,
    // an accepted or a closed connection, room in the write queue, a failed write); must
    // not block.
    std::function<void()> on_work;

    static TcpChannelOptions loopback(std::uint16_t port = 0);
};

struct TcpAccepted {
    std::uint64_t conn = 0;
    SocketAddress peer;
};
struct TcpClosed {
    std::uint64_t conn = 0;  // 0 for accept and handle-duplication failures
    std::string reason;
};
struct TcpFrame {
    std::uint64_t conn = 0;
    Bytes bytes;  // 13-byte header followed by the body
};

// The objects the threads and the core share. Each lock guards one member group; no code
// path holds two of them.
struct TcpShared {
    explicit TcpShared(const TcpChannelOptions& o) : options(o) {}

    const TcpChannelOptions options;

    struct Connection {
        std::uint64_t id = 0;
        // Shared with a write in progress, so dropping the connection never closes the
        // descriptor under the writer (where its number could already name another file).
        std::shared_ptr<const UniqueFd> write_fd;
        SocketAddress peer;
        bool bound = false;
    };
    // The connections being served, oldest first; at most TCP_MAX_CONNECTIONS, at most
    // one of them bound. A connection leaves it when its reader ends or the core drops it.
    std::mutex conns_mu;
    std::vector<Connection> conns;

    std::mutex queue_mu;
    std::deque<TcpFrame> queue;
    std::size_t queued_bytes = 0;

    // Stand-in for wait-on-address: the word changes on every wake, so a wake that lands
    // between the reader's look at the queue and its wait is not lost.
    std::mutex wake_mu;
    std::condition_variable wake_cv;
    std::atomic<std::uint32_t> wake_word{0};

    // Frames for connection `out_conn`, the one in the writer's hands counted until sent.
    // The first failure stays until the connection changes; the frames behind it go.
    std::mutex out_mu;
    std::condition_variable out_cv;
    std::deque<Bytes> out;
    std::size_t out_bytes = 0;
    std::uint64_t out_conn = 0;
    std::optional<std::string> write_failure;

    // Accepts and ends not yet taken by the core, each in its order. A connection that
    // ends before the core took its accept takes the accept back and posts no end, so
    // neither list outgrows the connections the core knows plus those being served.
    std::mutex events_mu;
    std::deque<TcpAccepted> accepted;
    std::deque<TcpClosed> closed;

    std::atomic<bool> running{true};
};

class TcpChannel {
public:
    TcpChannel(TcpChannel&&) noexcept = default;
    TcpChannel& operator=(TcpChannel&& other) noexcept;
    TcpChannel(const TcpChannel&) = delete;
    TcpChannel& operator=(const TcpChannel&) = delete;
    // Stops the reader without waiting for it; the thread lets go of the shared objects
    // and the listener by itself moments later.
    ~TcpChannel();

    std::uint16_t port() const { return port_; }

    // Oldest first; each connection is accepted once and ends at most once.
    std::optional<TcpAccepted> take_accepted();
    std::optional<TcpClosed> take_closed();
    std::optional<TcpFrame> pop_frame();
    bool has_frames();
    void wake_reader();
    // Hands connection `conn`'s frames to the writer without waiting for the socket. Fails
    // with "连接已关闭" when frames come and that connection is gone, and with the writer's
    // first failure ("IO 失败: …") once a send on it failed, frames or not. Frames still
    // waiting for another connection are dropped: one connection at a time is written.
    Status write_frames(std::uint64_t conn, std::vector<Bytes> frames);
    // A small frame for a connection that is still binding, sent at once from the caller's
    // thread: a new socket's send buffer takes it whole, and one that does not is closed.
    Status send_now(std::uint64_t conn, ByteView frame);
    // Whether the writer takes more now (below TCP_WRITE_QUEUE_MAX_BYTES).
    bool write_room();
    // Shuts connection `conn` down, so its reader leaves it at once; any other connection
    // is left alone, so a late close never hits a connection accepted since.
    void close_connection(std::uint64_t conn);
    void close_all_connections();
    bool has_connection();
    bool has_connection(std::uint64_t conn);
    // `conn` completed channel binding: its bind deadline no longer applies, and every
    // other connection is closed. False when `conn` is already gone.
    bool bind_connection(std::uint64_t conn);
    std::optional<SocketAddress> connection_peer(std::uint64_t conn);
    std::optional<SocketAddress> bound_peer();

    // Clears the running flag, shuts the connection down and wakes both threads.
    void stop();
    // stop(), then waits for both threads to finish (tests and benchmarks).
    void stop_and_join();

    const std::shared_ptr<TcpShared>& shared() const { return shared_; }

private:
    friend Result<TcpChannel> open_listener(const TcpChannelOptions& options);
    TcpChannel(std::shared_ptr<TcpShared> shared, std::thread reader, std::thread writer, std::uint16_t port)
        : shared_(std::move(shared)), reader_(std::move(reader)), writer_(std::move(writer)), port_(port) {}

    std::shared_ptr<TcpShared> shared_;
    std::thread reader_;
    std::thread writer_;
    std::uint16_t port_ = 0;
};

// Binds the listener, creates the shared objects and starts the accept thread.
Result<TcpChannel> open_listener(const TcpChannelOptions& options = {});

// The accept thread's body; owns the listener and closes it when the running flag drops,
// after the readers it started have ended.
void reader_main(UniqueFd listener, const std::shared_ptr<TcpShared>& shared);
// The writer thread's body: sends queued frames in order until the running flag drops.
void writer_main(const std::shared_ptr<TcpShared>& shared);

// "15s" for whole seconds, otherwise milliseconds ("250ms").
std::string duration_text(Duration d);

}  // namespace dovan
