// The TCP data channel: a reader thread accepts one connection at a time and queues whole
// frames; the core thread drains the queue, writes frames and decides when a connection
// is dead. The two meet only through TcpShared.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "common/result.h"
#include "common/text.h"
#include "lan/net_address.h"
#include "platform/clock.h"

namespace dovan {

// Most frames and bytes the inbound queue holds before the reader waits for the core.
constexpr std::size_t TCP_QUEUE_MAX_FRAMES = 64;
constexpr std::size_t TCP_QUEUE_MAX_BYTES = 8 * 1024 * 1024;

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

// The objects the reader thread and the core share. Each lock guards one member group;
// no code path holds two of them.
struct TcpShared {
    explicit TcpShared(const TcpChannelOptions& o) : options(o) {}

    const TcpChannelOptions options;

    struct Connection {
        int write_fd = -1;
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
    void wake_reader();
    Status write_frames(std::span<const Bytes> frames);
    // Shuts the socket down, so the reader leaves it at once and accepts the next one.
    void close_connection();
    bool has_connection();
    // The current connection completed channel binding: its bind deadline no longer applies.
    void mark_bound();
    std::optional<SocketAddress> connection_peer();

    // Clears the running flag, shuts the connection down and wakes the reader.
    void stop();
    // stop(), then waits for the reader thread to finish (tests and benchmarks).
    void stop_and_join();

    const std::shared_ptr<TcpShared>& shared() const { return shared_; }

private:
    friend Result<TcpChannel> open_listener(const TcpChannelOptions& options);
    TcpChannel(std::shared_ptr<TcpShared> shared, std::thread reader, std::uint16_t port)
        : shared_(std::move(shared)), reader_(std::move(reader)), port_(port) {}

    std::shared_ptr<TcpShared> shared_;
    std::thread reader_;
    std::uint16_t port_ = 0;
};

// Binds the listener, creates the shared objects and starts the reader thread.
Result<TcpChannel> open_listener(const TcpChannelOptions& options = {});

// The reader thread's body; owns the listener and closes it when the running flag drops.
void reader_main(UniqueFd listener, std::shared_ptr<TcpShared> shared);

// "15s" for whole seconds, otherwise milliseconds ("250ms").
std::string duration_text(Duration d);

}  // namespace dovan
