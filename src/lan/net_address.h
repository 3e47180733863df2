// Socket addresses shared by the TCP channel and UDP discovery.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "protocol/product.h"

namespace dovan {

// An IPv4 or IPv6 socket address.
class SocketAddress {
public:
    SocketAddress() = default;
    static SocketAddress ipv4(std::uint32_t host_order_ip, std::uint16_t port);
    // From a raw address as the kernel filled it; nothing for families other than IPv4/IPv6.
    static std::optional<SocketAddress> from_raw(const sockaddr* sa, socklen_t len);
    // "a.b.c.d:port", "[v6]:port" or a bare IP (which then takes `default_port`).
    static std::optional<SocketAddress> parse(std::string_view text,
                                              std::uint16_t default_port = kLanPort);

    int family() const { return storage_.ss_family; }
    bool is_ipv4() const { return family() == AF_INET; }
    std::uint16_t port() const;
    // Host byte order; 0 when this is not IPv4.
    std::uint32_t ipv4_host() const;
    // Loopback: 127.0.0.0/8 or ::1.
    bool is_loopback() const;
    // IP address alone, without the port.
    std::string ip_text() const;
    // ip:port, with IPv6 in brackets.
    std::string text() const;
    bool same_ip(const SocketAddress& other) const;

    const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t raw_len() const { return len_; }

    bool operator==(const SocketAddress& other) const;

private:
    sockaddr_storage storage_{};
    socklen_t len_ = 0;
};

// Dotted form of a host-order IPv4 address.
std::string ipv4_text(std::uint32_t host_order_ip);

}  // namespace dovan
