#include "lan/net_address.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/text.h"

namespace dovan {

SocketAddress SocketAddress::ipv4(std::uint32_t host_order_ip, std::uint16_t port) {
    SocketAddress a;
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage_);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = htonl(host_order_ip);
    a.len_ = sizeof(sockaddr_in);
    return a;
}

std::optional<SocketAddress> SocketAddress::from_raw(const sockaddr* sa, socklen_t len) {
    if (sa == nullptr) return std::nullopt;
    SocketAddress a;
    if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        std::memcpy(&a.storage_, sa, sizeof(sockaddr_in));
        a.len_ = sizeof(sockaddr_in);
        return a;
    }
    if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        std::memcpy(&a.storage_, sa, sizeof(sockaddr_in6));
        a.len_ = sizeof(sockaddr_in6);
        return a;
    }
    return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view text, std::uint16_t default_port) {
    std::string host;
    std::uint16_t port = default_port;
    auto parse_port = [&](std::string_view p) -> bool {
        if (p.empty() || p.size() > 5) return false;
        unsigned v = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + static_cast<unsigned>(c - '0');
        }
        if (v > 65535) return false;
        port = static_cast<std::uint16_t>(v);
        return true;
    };
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        auto rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':' || !parse_port(rest.substr(1))) return std::nullopt;
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        auto colon = text.find(':');
        host = std::string(text.substr(0, colon));
        if (!parse_port(text.substr(colon + 1))) return std::nullopt;
    } else {
        host = std::string(text);
    }
    SocketAddress a;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage_);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        sin->sin_addr = v4;
        a.len_ = sizeof(sockaddr_in);
        return a;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.storage_);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        sin6->sin6_addr = v6;
        a.len_ = sizeof(sockaddr_in6);
        return a;
    }
    return std::nullopt;
}

std::uint16_t SocketAddress::port() const {
    if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return 0;
}

std::uint32_t SocketAddress::ipv4_host() const {
    if (family() != AF_INET) return 0;
    return ntohl(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr.s_addr);
}

bool SocketAddress::is_loopback() const {
    if (family() == AF_INET) return (ipv4_host() >> 24) == 127;
    if (family() == AF_INET6) {
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr);
    }
    return false;
}

std::string SocketAddress::ip_text() const {
    char buf[INET6_ADDRSTRLEN] = {};
    if (family() == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, buf, sizeof buf);
    } else if (family() == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr, buf,
                  sizeof buf);
    }
    return buf;
}

std::string SocketAddress::text() const {
    if (family() == AF_INET6) return format_text("[{}]:{}", ip_text(), port());
    return format_text("{}:{}", ip_text(), port());
}

bool SocketAddress::same_ip(const SocketAddress& other) const {
    if (family() != other.family()) return false;
    if (family() == AF_INET) return ipv4_host() == other.ipv4_host();
    if (family() == AF_INET6) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(&other.storage_)->sin6_addr,
                           sizeof(in6_addr)) == 0;
    }
    return false;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return same_ip(other) && port() == other.port();
}

std::string ipv4_text(std::uint32_t host_order_ip) {
    return format_text("{}.{}.{}.{}", host_order_ip >> 24, (host_order_ip >> 16) & 0xFF,
                       (host_order_ip >> 8) & 0xFF, host_order_ip & 0xFF);
}

}  // namespace dovan
