// UDP discovery: the PC announces itself on every local IPv4 network and remembers who
// announces back, so the phone can find the TCP channel and the user can see the phone's
// LAN address. Runs on the core thread; the socket is non-blocking.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "lan/net_address.h"
#include "platform/clock.h"
#include "protocol/tlv_codec.h"

namespace dovan {

constexpr std::size_t DISCOVERY_MAX_PEERS = 64;
constexpr std::size_t DISCOVERY_MAX_CHANGES = 64;
// Datagrams of this size or more are never beacons.
constexpr std::size_t BEACON_MAX_DATAGRAM = 64;
constexpr std::size_t BEACON_VERSION_MAX = 16;
constexpr std::uint8_t BEACON_OS_PHONE = 1;
constexpr std::uint8_t BEACON_OS_PC = 2;

struct Advert {
    std::string advert_name;
    std::string version;
    std::uint8_t os = 0;
    bool operator==(const Advert&) const = default;
};

// One IPv4 unicast address of a local adapter, as the operating system reports it.
struct AdapterAddress {
    std::uint32_t ipv4 = 0;  // host byte order
    std::uint8_t prefix_len = 0;
    // False when the OS handed over a truncated socket address.
    bool full_size = true;
};
using AdapterSource = std::function<std::vector<AdapterAddress>()>;

// The machine's IPv4 adapter addresses (getifaddrs); empty on any failure.
std::vector<AdapterAddress> system_adapter_addresses();

// Directed broadcast addresses (host order) of the usable networks, in adapter order,
// without duplicates.
std::vector<std::uint32_t> broadcast_addresses(const std::vector<AdapterAddress>& adapters);

// The PC's beacon with the name and version cut to fit one 64-byte TLV list.
Result<Bytes, TlvError> encode_beacon(std::string_view advert_name, std::uint8_t os,
                                      std::string_view version);
// A beacon's content, or the reason it is not one.
Result<Advert, Error> decode_beacon(ByteView datagram);

// Where one round of beacons goes: the all-hosts address, every broadcast address (all at
// `port`), then the manual addresses with their own ports; no address twice.
std::vector<SocketAddress> beacon_destinations(std::uint32_t all_hosts,
                                               const std::vector<std::uint32_t>& broadcasts,
                                               const std::vector<SocketAddress>& manual,
                                               std::uint16_t port);

struct DiscoveryOptions {
    std::uint32_t bind_ipv4 = 0;  // 0.0.0.0
    std::uint16_t port = kLanPort;  // 0 picks an ephemeral port
    std::uint32_t all_hosts = 0xFFFFFFFF;
    AdapterSource adapters = system_adapter_addresses;
    // Refuses every destination outside 127.0.0.0/8 and ::1.
    bool loopback_only = false;
    std::string advert_name = std::string(kPcDeviceName);
    std::string version = std::string(kPcVersion);
    Duration peer_ttl = std::chrono::seconds(10);
    Duration beacon_interval = std::chrono::seconds(3);
    Duration subnet_refresh = std::chrono::seconds(15);

    // Beacons to 127.255.255.255, no adapters, socket on 127.0.0.1.
    static DiscoveryOptions loopback(std::uint16_t port = 0);
};

struct DiscoveryPeer {
    std::optional<Advert> advert;
    Instant last_seen{};
    SocketAddress source;
    std::uint64_t beacon_count = 0;
    bool pinned = false;
};

struct DiscoveryStepResult {
    // The phone's IP to show, when it differs from what is shown.
    std::optional<std::string> phone_address;
};

class Discovery {
public:
    Discovery(Discovery&&) noexcept = default;
    Discovery& operator=(Discovery&&) noexcept = default;

    std::uint16_t port() const { return port_; }
    const std::vector<DiscoveryPeer>& peers() const { return peers_; }
    const std::vector<SocketAddress>& manual_addresses() const { return manual_; }
    const std::vector<std::uint32_t>& broadcasts() const { return broadcasts_; }
    std::uint64_t sent_count() const { return sent_; }
    std::uint64_t received_count() const { return received_; }
    std::uint64_t ignored_count() const { return ignored_; }
    std::uint64_t cut_short_count() const { return cut_short_; }

    // One pass: refresh the broadcast list, beacon when due, take in beacons, expire
    // peers and publish the phone's address.
    DiscoveryStepResult discovery_step(Instant now, std::string_view shown_phone_address = {});
    void add_manual_peer(const SocketAddress& address, Instant now);
    // The source of the bound TCP channel, or none. While there is one, beacons do not
    // change the shown address and a flood of new sources cannot evict its entry.
    void set_bound_phone(std::optional<SocketAddress> address) { bound_phone_ = address; }

private:
    friend Result<Discovery> open_discovery(DiscoveryOptions options);
    Discovery(UniqueFd fd, std::uint16_t port, DiscoveryOptions options)
        : fd_(std::move(fd)), port_(port), options_(std::move(options)) {}

    void refresh_broadcasts(Instant now);
    void send_beacons(Instant now);
    // Returns the number of changes.
    std::size_t receive(Instant now);
    void expire(Instant now);
    // Adds a peer, evicting the stalest one that is neither pinned nor the bound phone's;
    // false when there is none.
    bool insert_peer(DiscoveryPeer peer);
    bool live(const DiscoveryPeer& p, Instant now) const;

    UniqueFd fd_;
    std::uint16_t port_ = 0;
    DiscoveryOptions options_;
    std::vector<DiscoveryPeer> peers_;
    std::vector<SocketAddress> manual_;
    std::optional<SocketAddress> bound_phone_;
    std::vector<std::uint32_t> broadcasts_;
    std::optional<Instant> last_beacon_;
    std::optional<Instant> last_subnet_scan_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t ignored_ = 0;
    std::uint64_t cut_short_ = 0;
    Bytes rx_buf_;
};

// Binds the UDP socket and returns the fresh discovery state.
Result<Discovery> open_discovery(DiscoveryOptions options = {});

}  // namespace dovan
