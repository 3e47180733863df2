#include "lan/discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/debug_log.h"

namespace dovan {

namespace {

constexpr std::size_t RX_BUFFER = 65535;
// Name + version budget of a 64-byte list: 3 record headers and the one-byte os.
constexpr std::size_t BEACON_TEXT_BUDGET = 57;

std::uint8_t prefix_of_mask(std::uint32_t mask) {
    std::uint8_t n = 0;
    while (n < 32 && (mask & (0x80000000u >> n)) != 0) ++n;
    return n;
}

}  // namespace

std::vector<AdapterAddress> system_adapter_addresses() {
    std::vector<AdapterAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
        AdapterAddress a;
        a.ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
        if (ifa->ifa_netmask != nullptr && ifa->ifa_netmask->sa_family == AF_INET) {
            a.prefix_len = prefix_of_mask(
                ntohl(reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr));
        }
        out.push_back(a);
    }
    ::freeifaddrs(list);
    return out;
}

std::vector<std::uint32_t> broadcast_addresses(const std::vector<AdapterAddress>& adapters) {
    std::vector<std::uint32_t> out;
    for (const AdapterAddress& a : adapters) {
        std::uint32_t first = a.ipv4 >> 24;
        if (!a.full_size) continue;
        if (first >= 224 && first <= 239) continue;
        if (first == 127) continue;
        if ((a.ipv4 >> 16) == 0xA9FE) continue;  // 169.254.0.0/16, link-local
        // /31 and /32 have no broadcast address.
        if (a.prefix_len < 1 || a.prefix_len > 30) continue;
        std::uint32_t host_bits = 0xFFFFFFFFu >> a.prefix_len;
        std::uint32_t bcast = a.ipv4 | host_bits;
        if ((bcast >> 24) == 127) continue;
        if (std::find(out.begin(), out.end(), bcast) != out.end()) continue;
        out.push_back(bcast);
    }
    return out;
}

Result<Bytes, TlvError> encode_beacon(std::string_view advert_name, std::uint8_t os,
                                      std::string_view version) {
    std::string_view v = utf8_cut(version, BEACON_VERSION_MAX);
    std::size_t name_max = v.size() <= BEACON_TEXT_BUDGET ? BEACON_TEXT_BUDGET - v.size() : 0;
    std::string_view n = utf8_cut(advert_name, name_max);
    TlvRecord records[] = {
        {TAG_NAME, Bytes(n.begin(), n.end())},
        {TAG_OS, Bytes{os}},
        {TAG_VERSION, Bytes(v.begin(), v.end())},
    };
    return encode_tlvs(records);
}

Result<Advert, Error> decode_beacon(ByteView datagram) {
    auto records = decode_tlvs(datagram);
    if (!records) return fail_text("TLV 解析失败: " + records.error().display());
    std::optional<std::string> name, version;
    std::optional<std::uint8_t> os;
    for (const TlvRecord& r : *records) {
        if (r.tag == TAG_NAME) {
            name = utf8_lossy(as_text(r.value));
        } else if (r.tag == TAG_VERSION) {
            version = utf8_lossy(as_text(r.value));
        } else if (r.tag == TAG_OS) {
            os = r.value.empty() ? 0 : r.value.front();
        }
    }
    if (!name || !os || !version) return fail_text("缺少必需字段（advert_name/os/version）");
    return Advert{std::move(*name), std::move(*version), *os};
}

std::vector<SocketAddress> beacon_destinations(std::uint32_t all_hosts,
                                               const std::vector<std::uint32_t>& broadcasts,
                                               const std::vector<SocketAddress>& manual,
                                               std::uint16_t port) {
    std::vector<SocketAddress> out;
    auto add = [&](const SocketAddress& a) {
        if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    };
    add(SocketAddress::ipv4(all_hosts, port));
    for (std::uint32_t b : broadcasts) add(SocketAddress::ipv4(b, port));
    for (const SocketAddress& m : manual) add(m);
    return out;
}

DiscoveryOptions DiscoveryOptions::loopback(std::uint16_t port) {
    DiscoveryOptions o;
    o.bind_ipv4 = 0x7F000001;
    o.port = port;
    o.all_hosts = 0x7FFFFFFF;
    o.adapters = [] { return std::vector<AdapterAddress>{}; };
    o.loopback_only = true;
    return o;
}

Result<Discovery> open_discovery(DiscoveryOptions options) {
    auto io_error = [](int err) { return fail_text("IO 失败: " + errno_text(err)); };
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return io_error(errno);
    SocketAddress local = SocketAddress::ipv4(options.bind_ipv4, options.port);
    if (::bind(fd.get(), local.raw(), local.raw_len()) != 0) return io_error(errno);
    int one = 1;
    // Without broadcast permission beacons still reach unicast manual addresses.
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    int flags = ::fcntl(fd.get(), F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return io_error(errno);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return io_error(errno);
    auto bound = SocketAddress::from_raw(reinterpret_cast<sockaddr*>(&ss), len);
    std::uint16_t port = bound ? bound->port() : options.port;
    if (debug_log_enabled()) {
        emit_event(LogLevel::Info, "lan", "udp.bind", {{"port", std::to_string(port)}});
    }
    return Discovery(std::move(fd), port, std::move(options));
}

DiscoveryStepResult Discovery::discovery_step(Instant now, std::string_view shown_phone_address) {
    refresh_broadcasts(now);
    send_beacons(now);
    std::size_t changes = receive(now);
    expire(now);

    DiscoveryStepResult result;
    if (changes == 0 || bound_phone_) return result;
    for (const DiscoveryPeer& p : peers_) {
        if (!live(p, now) || !p.advert || p.advert->os != BEACON_OS_PHONE) continue;
        std::string ip = p.source.ip_text();
        if (ip != shown_phone_address) result.phone_address = std::move(ip);
        break;
    }
    return result;
}

void Discovery::refresh_broadcasts(Instant now) {
    if (last_subnet_scan_ && now - *last_subnet_scan_ < options_.subnet_refresh) return;
    last_subnet_scan_ = now;
    std::vector<AdapterAddress> adapters;
    if (options_.adapters) adapters = options_.adapters();
    std::vector<std::uint32_t> fresh = broadcast_addresses(adapters);
    if (fresh == broadcasts_) return;
    broadcasts_ = std::move(fresh);
    if (debug_log_enabled()) {
        std::string to;
        for (std::uint32_t b : broadcasts_) {
            if (!to.empty()) to += ',';
            to += ipv4_text(b);
        }
        emit_event(LogLevel::Info, "lan", "udp.subnets", {{"to", to}});
    }
}

void Discovery::send_beacons(Instant now) {
    if (last_beacon_ && now - *last_beacon_ < options_.beacon_interval) return;
    auto beacon = encode_beacon(options_.advert_name, BEACON_OS_PC, options_.version);
    if (!beacon) {
        console_line("[Dovan] UDP 信标广播失败: " + beacon.error().display());
        return;
    }
    for (const SocketAddress& dest :
         beacon_destinations(options_.all_hosts, broadcasts_, manual_, port_)) {
        if (options_.loopback_only && !dest.is_loopback()) continue;
        ssize_t r = ::sendto(fd_.get(), beacon->data(), beacon->size(), MSG_DONTWAIT, dest.raw(),
                             dest.raw_len());
        if (r >= 0) ++sent_;
    }
    last_beacon_ = now;
}

std::size_t Discovery::receive(Instant now) {
    if (rx_buf_.size() != RX_BUFFER) rx_buf_.resize(RX_BUFFER);
    std::vector<SocketAddress> taken;
    std::size_t changes = 0;
    for (;;) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ssize_t n = ::recvfrom(fd_.get(), rx_buf_.data(), rx_buf_.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&ss), &len);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // would-block ends the pass; other errors are retried next step
        }
        auto size = static_cast<std::size_t>(n);
        if (size > BEACON_MAX_DATAGRAM) {
            ++ignored_;
            continue;
        }
        auto source = SocketAddress::from_raw(reinterpret_cast<sockaddr*>(&ss), len);
        auto advert = decode_beacon(ByteView(rx_buf_.data(), size));
        if (!source || !advert) {
            ++ignored_;
            continue;
        }
        ++received_;
        auto same_ip = [&](const SocketAddress& a) { return a.same_ip(*source); };
        if (std::any_of(taken.begin(), taken.end(), same_ip)) continue;
        taken.push_back(*source);

        auto it = std::find_if(peers_.begin(), peers_.end(),
                               [&](const DiscoveryPeer& p) { return same_ip(p.source); });
        if (it != peers_.end()) {
            it->advert = std::move(*advert);
            it->source = *source;
            it->last_seen = now;
            ++it->beacon_count;
        } else if (insert_peer({std::move(*advert), now, *source, 1, false})) {
            if (debug_log_enabled()) {
                emit_event(LogLevel::Info, "lan", "udp.peer.up", {{"addr", source->text()}});
            }
        } else {
            continue;  // every slot is pinned: nothing changed
        }
        if (++changes >= DISCOVERY_MAX_CHANGES) {
            ++cut_short_;
            break;
        }
    }
    return changes;
}

bool Discovery::insert_peer(DiscoveryPeer peer) {
    if (peers_.size() >= DISCOVERY_MAX_PEERS) {
        auto oldest = peers_.end();
        for (auto it = peers_.begin(); it != peers_.end(); ++it) {
            if (it->pinned || (bound_phone_ && it->source.same_ip(*bound_phone_))) continue;
            if (oldest == peers_.end() || it->last_seen < oldest->last_seen) oldest = it;
        }
        if (oldest == peers_.end()) return false;
        peers_.erase(oldest);
    }
    peers_.push_back(std::move(peer));
    return true;
}

bool Discovery::live(const DiscoveryPeer& p, Instant now) const {
    return p.pinned || now - p.last_seen <= options_.peer_ttl;
}

void Discovery::expire(Instant now) {
    auto gone = std::erase_if(peers_, [&](const DiscoveryPeer& p) { return !live(p, now); });
    if (gone > 0 && debug_log_enabled()) {
        emit_event(LogLevel::Info, "lan", "udp.peer.down", {{"count", std::to_string(gone)}});
    }
}

void Discovery::add_manual_peer(const SocketAddress& address, Instant now) {
    if (std::find(manual_.begin(), manual_.end(), address) == manual_.end()) {
        manual_.push_back(address);
    }
    auto it = std::find_if(peers_.begin(), peers_.end(),
                           [&](const DiscoveryPeer& p) { return p.source.same_ip(address); });
    if (it != peers_.end()) {
        it->pinned = true;
        return;
    }
    insert_peer({std::nullopt, now, address, 1, true});
}

}  // namespace dovan
