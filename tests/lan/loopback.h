// Loopback-only socket helpers for the LAN tests. Every address here is in 127.0.0.0/8.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/text.h"
#include "lan/net_address.h"
#include "protocol/frame.h"

namespace dovan::test {

inline SocketAddress loopback_addr(std::uint16_t port, std::uint8_t last = 1) {
    return SocketAddress::ipv4(0x7F000000u | last, port);
}

// Polls until `pred` holds or `limit` passes; the reader thread works in real time.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

inline UniqueFd tcp_connect(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    SocketAddress to = loopback_addr(port);
    if (::connect(fd.get(), to.raw(), to.raw_len()) != 0) return UniqueFd();
    return fd;
}

// From 127.0.0.`from`, so that tests can stand for several hosts on the network.
inline UniqueFd tcp_connect_from(std::uint16_t port, std::uint8_t from) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    SocketAddress src = loopback_addr(0, from);
    if (::bind(fd.get(), src.raw(), src.raw_len()) != 0) return UniqueFd();
    SocketAddress to = loopback_addr(port);
    if (::connect(fd.get(), to.raw(), to.raw_len()) != 0) return UniqueFd();
    return fd;
}

inline bool send_all(int fd, ByteView bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t r = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (r <= 0) return false;
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

// Reads exactly n bytes, or fewer when the stream ends or nothing comes for `limit`.
inline Bytes recv_n(int fd, std::size_t n,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    Bytes out(n);
    std::size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) break;
        ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
}

// True when the peer hangs up within `limit`: an orderly close, or a reset when it closed
// with bytes still unread.
inline bool sees_hangup(int fd, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    std::uint8_t b = 0;
    ssize_t r = ::recv(fd, &b, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
}

inline Bytes make_frame(std::uint8_t type, std::uint8_t flags, std::uint32_t seq,
                        std::uint32_t payload_len, std::uint8_t fill = 0xA5) {
    FrameHeader h;
    h.type = type;
    h.flags = flags;
    h.seq = seq;
    h.payload_len = payload_len;
    auto head = write_header(h);
    Bytes f(head.begin(), head.end());
    f.resize(h.frame_len(), fill);
    return f;
}

}  // namespace dovan::test
