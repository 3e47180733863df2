// The TCP data channel: a reader thread accepts one connection at a time and queues whole
// frames; a writer thread sends the frames the core hands over, so a slow peer never holds
// the core in send(); the core drains the inbound queue and decides when a connection is
// dead. The threads meet only through TcpShared.
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
    // One connection is served at a time, so a peer must not hold it by trickling bytes:
    // a frame, once begun, must arrive whole within `frame_deadline`, and a connection
    // the core has not marked bound is dropped `bind_deadline` after it was accepted.
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
    std::mutex slot_mu;
    std::optional<Connection> slot;

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

    std::mutex accept_mu;
    std::optional<TcpAccepted> accepted;

    std::mutex close_mu;
    std::optional<TcpClosed> closed;

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

    std::optional<TcpAccepted> take_accepted();
    std::optional<TcpClosed> take_closed();
    std::optional<TcpFrame> pop_frame();
    bool has_frames();
    void wake_reader();
    // Hands the frames to the writer without waiting for the socket. Fails with "连接已关闭"
    // when frames come and no connection is there, and with the writer's first failure
    // ("IO 失败: …") once a send of this connection failed, frames or not.
    Status write_frames(std::vector<Bytes> frames);
    // Whether the writer takes more now (below TCP_WRITE_QUEUE_MAX_BYTES).
    bool write_room();
    // Shuts the socket down, so the reader leaves it at once and accepts the next one.
    void close_connection();
    bool has_connection();
    // The current connection completed channel binding: its bind deadline no longer applies.
    void mark_bound();
    std::optional<SocketAddress> connection_peer();

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

// Binds the listener, creates the shared objects and starts the reader thread.
Result<TcpChannel> open_listener(const TcpChannelOptions& options = {});

// The reader thread's body; owns the listener and closes it when the running flag drops.
void reader_main(UniqueFd listener, const std::shared_ptr<TcpShared>& shared);
// The writer thread's body: sends queued frames in order until the running flag drops.
void writer_main(const std::shared_ptr<TcpShared>& shared);

// "15s" for whole seconds, otherwise milliseconds ("250ms").
std::string duration_text(Duration d);

}  // namespace dovan
