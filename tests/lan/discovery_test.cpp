#include "lan/discovery.h"

#include <gtest/gtest.h>

#include "platform/debug_log.h"
#include "protocol/product.h"
#include "loopback.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;
using test::loopback_addr;

constexpr std::uint32_t ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | std::uint32_t{c} << 8 | d;
}

Bytes tlv(std::initializer_list<TlvRecord> records) {
    Bytes out;
    for (const TlvRecord& r : records) {
        out.push_back(r.tag);
        out.push_back(static_cast<std::uint8_t>(r.value.size()));
        out.insert(out.end(), r.value.begin(), r.value.end());
    }
    return out;
}
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes phone_beacon(std::string_view name = "Pixel", std::uint8_t os = BEACON_OS_PHONE) {
    return tlv({{TAG_NAME, text(name)}, {TAG_OS, {os}}, {TAG_VERSION, text("1.2.0")}});
}

// A UDP socket standing in for a phone at 127.0.0.<last>.
struct Phone {
    explicit Phone(std::uint8_t last = 2) {
        fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        SocketAddress a = loopback_addr(0, last);
        EXPECT_EQ(::bind(fd.get(), a.raw(), a.raw_len()), 0) << errno_text(errno);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&ss), &len);
        addr = *SocketAddress::from_raw(reinterpret_cast<sockaddr*>(&ss), len);
    }
    void send(ByteView datagram, std::uint16_t port) const {
        SocketAddress to = loopback_addr(port);
        ASSERT_EQ(::sendto(fd.get(), datagram.data(), datagram.size(), 0, to.raw(), to.raw_len()),
                  static_cast<ssize_t>(datagram.size()));
    }
    std::vector<Bytes> drain() const {
        std::vector<Bytes> got;
        Bytes buf(2048);
        ssize_t n;
        while ((n = ::recv(fd.get(), buf.data(), buf.size(), MSG_DONTWAIT)) >= 0) {
            got.emplace_back(buf.begin(), buf.begin() + n);
        }
        return got;
    }
    UniqueFd fd;
    SocketAddress addr;
};

Discovery open_loopback(DiscoveryOptions o = DiscoveryOptions::loopback()) {
    auto d = open_discovery(std::move(o));
    EXPECT_TRUE(d.ok()) << d.error().display();
    return std::move(d).value();
}

TEST(Beacon, PcBeaconBytes) {
    auto b = encode_beacon("Linux-PC", BEACON_OS_PC, "0.5.3");
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(*b, (Bytes{0x01, 0x08, 0x4C, 0x69, 0x6E, 0x75, 0x78, 0x2D, 0x50, 0x43,
                         0x02, 0x01, 0x02, 0x03, 0x05, 0x30, 0x2E, 0x35, 0x2E, 0x33}));
    // The PC's own beacon: its name record, then the OS and the version.
    Bytes own{0x01, static_cast<std::uint8_t>(kPcDeviceName.size())};
    own.insert(own.end(), kPcDeviceName.begin(), kPcDeviceName.end());
    for (std::uint8_t x : {0x02, 0x01, 0x02, 0x03, 0x05, 0x30, 0x2E, 0x35, 0x2E, 0x33}) own.push_back(x);
    EXPECT_EQ(encode_beacon(kPcDeviceName, BEACON_OS_PC, kPcVersion).value(), own);
}

TEST(Beacon, NameAndVersionAreCutToFit) {
    const std::string han = "\xE6\xB5\x8B";  // one 3-byte character
    std::string han20;
    for (int i = 0; i < 20; ++i) han20 += han;
    struct Case {
        std::string name, version;
        std::size_t name_len, version_len;
    } cases[] = {
        {"PC", std::string(20, 'v'), 2, 16},
        {std::string(50, 'n'), "0.5.3", 50, 5},
        {std::string(60, 'n'), "0.5.3", 52, 5},
        {std::string(60, 'n'), std::string(16, 'v'), 41, 16},
        // Cuts fall back to a character boundary.
        {"PC", "1.0" + han + han + han + han + han, 2, 15},
        {han20, "0.5.3", 51, 5},
        {"", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.size());
        auto b = encode_beacon(c.name, BEACON_OS_PC, c.version);
        ASSERT_TRUE(b.ok()) << b.error().display();
        EXPECT_LE(b->size(), BEACON_MAX_DATAGRAM);
        auto back = decode_beacon(*b);
        ASSERT_TRUE(back.ok()) << back.error().text;
        EXPECT_EQ(back->advert_name, c.name.substr(0, c.name_len));
        EXPECT_EQ(back->version, c.version.substr(0, c.version_len));
        EXPECT_EQ(back->os, BEACON_OS_PC);
    }
}

TEST(Beacon, DecodeRules) {
    struct Case {
        const char* what;
        Bytes datagram;
        std::optional<Advert> advert;
        std::string error;
    } cases[] = {
        {"phone beacon", phone_beacon(), Advert{"Pixel", "1.2.0", 1}, ""},
        {"order free, unknown tags ignored",
         tlv({{TAG_VERSION, text("9")}, {9, text("x")}, {TAG_OS, {1, 7}}, {TAG_NAME, text("A")}}),
         Advert{"A", "9", 1}, ""},
        {"repeated tag replaces",
         tlv({{TAG_NAME, text("old")}, {TAG_OS, {1}}, {TAG_VERSION, text("1")}, {TAG_NAME, text("new")}}),
         Advert{"new", "1", 1}, ""},
        {"empty os value is 0", tlv({{TAG_NAME, text("A")}, {TAG_OS, {}}, {TAG_VERSION, text("1")}}),
         Advert{"A", "1", 0}, ""},
        {"invalid UTF-8 replaced",
         tlv({{TAG_NAME, {'A', 0xFF, 'B', 0xE6, 0xB5}}, {TAG_OS, {1}}, {TAG_VERSION, {0xC0, 0xAF}}}),
         Advert{"A\xEF\xBF\xBD" "B\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD", 1}, ""},
        {"missing version", tlv({{TAG_NAME, text("A")}, {TAG_OS, {1}}}), std::nullopt,
         "缺少必需字段（advert_name/os/version）"},
        {"empty datagram", {}, std::nullopt, "缺少必需字段（advert_name/os/version）"},
        {"truncated record", Bytes{TAG_NAME, 3, 'A'}, std::nullopt,
         "TLV 解析失败: 输入在 offset 0 处截断（声明 len=3）"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto got = decode_beacon(c.datagram);
        if (c.advert) {
            ASSERT_TRUE(got.ok()) << got.error().text;
            EXPECT_EQ(*got, *c.advert);
        } else {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error().text, c.error);
        }
    }
}

TEST(BroadcastList, UsableNetworksOnly) {
    struct Case {
        const char* what;
        std::vector<AdapterAddress> adapters;
        std::vector<std::uint32_t> want;
    } cases[] = {
        {"/24", {{ip(192, 168, 1, 23), 24}}, {ip(192, 168, 1, 255)}},
        {"/8 and /30", {{ip(10, 1, 2, 3), 8}, {ip(172, 16, 0, 5), 30}},
         {ip(10, 255, 255, 255), ip(172, 16, 0, 7)}},
        {"/31 and /32 have no broadcast", {{ip(10, 0, 0, 5), 31}, {ip(10, 0, 0, 5), 32}}, {}},
        {"prefix 0", {{ip(10, 0, 0, 5), 0}}, {}},
        {"link-local", {{ip(169, 254, 3, 4), 16}}, {}},
        {"loopback", {{ip(127, 0, 0, 1), 8}}, {}},
        {"multicast", {{ip(224, 0, 0, 1), 24}, {ip(239, 1, 1, 1), 8}}, {}},
        {"broadcast landing in 127/8", {{ip(126, 1, 2, 3), 7}}, {}},
        {"truncated address", {{ip(192, 168, 1, 23), 24, false}}, {}},
        {"duplicates once, order kept",
         {{ip(192, 168, 1, 23), 24}, {ip(10, 0, 0, 1), 16}, {ip(192, 168, 1, 40), 24}},
         {ip(192, 168, 1, 255), ip(10, 0, 255, 255)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(broadcast_addresses(c.adapters), c.want);
    }
}

TEST(BroadcastList, BeaconDestinations) {
    // Computed only; nothing is sent to these addresses.
    auto bcast = broadcast_addresses({{ip(192, 168, 1, 23), 24}});
    auto manual = *SocketAddress::parse("192.168.1.50");
    auto dests = beacon_destinations(0xFFFFFFFF, bcast, {manual}, kLanPort);
    std::vector<std::string> got;
    for (const auto& d : dests) got.push_back(d.text());
    EXPECT_EQ(got, (std::vector<std::string>{"255.255.255.255:55676", "192.168.1.255:55676",
                                             "192.168.1.50:55676"}));

    // An address already listed is not repeated; a manual port of its own is kept.
    auto same = SocketAddress::ipv4(ip(192, 168, 1, 255), kLanPort);
    auto other_port = *SocketAddress::parse("192.168.1.50:4000");
    EXPECT_EQ(beacon_destinations(0xFFFFFFFF, bcast, {same, other_port, other_port}, kLanPort).size(),
              3u);
}

TEST(Discovery, OpensAndReportsPort) {
    DebugCapture capture;
    Discovery d = open_loopback();
    EXPECT_NE(d.port(), 0);
    auto ev = capture.events("udp.bind");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].field("port"), std::to_string(d.port()));

    DiscoveryOptions o = DiscoveryOptions::loopback(d.port());
    auto clash = open_discovery(o);
    ASSERT_FALSE(clash.ok());
    EXPECT_EQ(clash.error().text, "IO 失败: " + errno_text(EADDRINUSE));
}

TEST(Discovery, BeaconsOnScheduleToLoopbackOnly) {
    DebugCapture capture;
    int scans = 0;
    DiscoveryOptions o = DiscoveryOptions::loopback();
    // A LAN adapter: its broadcast address is listed but never sent to in loopback scope.
    o.adapters = [&] {
        ++scans;
        return std::vector<AdapterAddress>{{ip(192, 168, 1, 23), 24}};
    };
    Discovery d = open_loopback(o);
    Phone phone;
    d.add_manual_peer(phone.addr, Instant{});

    const Instant t0 = Instant{} + 1h;
    d.discovery_step(t0);
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(d.broadcasts(), (std::vector<std::uint32_t>{ip(192, 168, 1, 255)}));
    auto subnets = capture.events("udp.subnets");
    ASSERT_EQ(subnets.size(), 1u);
    EXPECT_EQ(subnets[0].field("to"), "192.168.1.255");
    // 127.255.255.255 and the manual phone: the LAN broadcast address was refused.
    EXPECT_EQ(d.sent_count(), 2u);
    auto got = phone.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], *encode_beacon(kPcDeviceName, BEACON_OS_PC, kPcVersion));

    d.discovery_step(t0 + 2999ms);
    EXPECT_TRUE(phone.drain().empty());
    d.discovery_step(t0 + 3s);
    EXPECT_EQ(phone.drain().size(), 1u);
    EXPECT_EQ(d.sent_count(), 4u);

    d.discovery_step(t0 + 14s);
    EXPECT_EQ(scans, 1);
    d.discovery_step(t0 + 15s);
    EXPECT_EQ(scans, 2);
    EXPECT_EQ(capture.events("udp.subnets").size(), 1u) << "an unchanged list is not announced";
}

TEST(Discovery, ReceivesBeaconsAndPublishesThePhone) {
    DebugCapture capture;
    Discovery d = open_loopback();
    Phone phone(7), pc(8);
    const Instant t0 = Instant{} + 1h;

    pc.send(phone_beacon("Other-PC", BEACON_OS_PC), d.port());
    phone.send(phone_beacon("Pixel"), d.port());
    phone.send(phone_beacon("Pixel again"), d.port());
    auto r = d.discovery_step(t0);
    EXPECT_EQ(d.received_count(), 3u);
    ASSERT_EQ(d.peers().size(), 2u);
    const DiscoveryPeer& p = d.peers()[1];
    EXPECT_EQ(p.beacon_count, 1u) << "two beacons from one IP in a step count as one";
    EXPECT_EQ(p.advert->advert_name, "Pixel");
    EXPECT_EQ(p.source, phone.addr);
    EXPECT_FALSE(p.pinned);
    ASSERT_TRUE(r.phone_address);
    EXPECT_EQ(*r.phone_address, "127.0.0.7");
    auto up = capture.events("udp.peer.up");
    ASSERT_EQ(up.size(), 2u);
    EXPECT_EQ(up[1].field("addr"), phone.addr.text());

    // Same phone from a new port next step: updated in place; already shown, not republished.
    Phone moved(7);
    moved.send(phone_beacon("Pixel 2"), d.port());
    r = d.discovery_step(t0 + 5s, "127.0.0.7");
    EXPECT_FALSE(r.phone_address);
    ASSERT_EQ(d.peers().size(), 2u);
    EXPECT_EQ(d.peers()[1].beacon_count, 2u);
    EXPECT_EQ(d.peers()[1].source, moved.addr);
    EXPECT_EQ(d.peers()[1].advert->advert_name, "Pixel 2");

    // The PC peer (heard at t0) expires after more than 10 s; the phone (t0+5s) stays.
    d.discovery_step(t0 + 10s);
    EXPECT_EQ(d.peers().size(), 2u);
    d.discovery_step(t0 + 10s + 1ms);
    ASSERT_EQ(d.peers().size(), 1u);
    auto down = capture.events("udp.peer.down");
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].field("count"), "1");
}

TEST(Discovery, OversizedAndMalformedDatagramsAreIgnored) {
    Discovery d = open_loopback();
    Phone phone;
    // A well-formed list of exactly 65 bytes, and one of 64.
    Bytes big = tlv({{TAG_NAME, Bytes(53, 'n')}, {TAG_OS, {1}}, {TAG_VERSION, text("1.2.0")}});
    ASSERT_EQ(big.size(), 65u);
    ASSERT_TRUE(decode_beacon(big).ok());
    Bytes fits = tlv({{TAG_NAME, Bytes(52, 'n')}, {TAG_OS, {1}}, {TAG_VERSION, text("1.2.0")}});

    phone.send(big, d.port());
    phone.send(Bytes(1000, 0x01), d.port());
    phone.send(Bytes{TAG_NAME, 9, 'x'}, d.port());
    phone.send(tlv({{TAG_NAME, text("A")}, {TAG_OS, {1}}}), d.port());
    auto r = d.discovery_step(Instant{} + 1h);
    EXPECT_EQ(d.ignored_count(), 4u);
    EXPECT_EQ(d.received_count(), 0u);
    EXPECT_TRUE(d.peers().empty());
    EXPECT_FALSE(r.phone_address);

    phone.send(fits, d.port());
    d.discovery_step(Instant{} + 1h + 1s);
    EXPECT_EQ(d.ignored_count(), 4u);
    EXPECT_EQ(d.received_count(), 1u);
    EXPECT_EQ(d.peers().size(), 1u);
}

TEST(Discovery, ManualEntriesArePinnedAndNeverExpire) {
    Discovery d = open_loopback();
    Phone phone(9);
    const Instant t0 = Instant{} + 1h;
    d.add_manual_peer(phone.addr, t0);
    d.add_manual_peer(phone.addr, t0);
    EXPECT_EQ(d.manual_addresses().size(), 1u);
    ASSERT_EQ(d.peers().size(), 1u);
    EXPECT_FALSE(d.peers()[0].advert);
    EXPECT_TRUE(d.peers()[0].pinned);
    EXPECT_EQ(d.peers()[0].beacon_count, 1u);

    // No advert yet: nothing to publish, and it survives long silence.
    auto r = d.discovery_step(t0 + 1h);
    EXPECT_FALSE(r.phone_address);
    ASSERT_EQ(d.peers().size(), 1u);

    phone.send(phone_beacon(), d.port());
    r = d.discovery_step(t0 + 2h);
    ASSERT_EQ(d.peers().size(), 1u);
    EXPECT_TRUE(d.peers()[0].pinned);
    EXPECT_EQ(d.peers()[0].advert->advert_name, "Pixel");
    EXPECT_EQ(d.peers()[0].beacon_count, 2u);
    EXPECT_EQ(r.phone_address, std::optional<std::string>("127.0.0.9"));
    d.discovery_step(t0 + 3h);
    EXPECT_EQ(d.peers().size(), 1u);

    // A peer first heard by beacon becomes pinned when added by hand.
    Phone other(10);
    other.send(phone_beacon(), d.port());
    d.discovery_step(t0 + 3h + 1s);
    d.add_manual_peer(SocketAddress::ipv4(ip(127, 0, 0, 10), kLanPort), t0);
    d.discovery_step(t0 + 5h);
    EXPECT_EQ(d.peers().size(), 2u);
}

TEST(Discovery, FullListEvictsOldestUnpinnedOrRefusesWhenAllPinned) {
    DebugCapture capture;
    Discovery d = open_loopback();
    const Instant t0 = Instant{} + 1h;
    std::vector<Phone> phones;
    for (int i = 0; i < 65; ++i) phones.emplace_back(static_cast<std::uint8_t>(20 + i));

    // 64 senders heard one per millisecond; the oldest is 127.0.0.20.
    for (int i = 0; i < 64; ++i) {
        phones[i].send(phone_beacon(), d.port());
        d.discovery_step(t0 + std::chrono::milliseconds(i));
    }
    ASSERT_EQ(d.peers().size(), 64u);
    phones[64].send(phone_beacon(), d.port());
    d.discovery_step(t0 + 100ms);
    ASSERT_EQ(d.peers().size(), 64u);
    EXPECT_EQ(d.peers().back().source.ip_text(), "127.0.0.84");
    for (const auto& p : d.peers()) EXPECT_NE(p.source.ip_text(), "127.0.0.20");
    EXPECT_EQ(capture.events("udp.peer.up").size(), 65u);

    // With 64 manual entries nobody new is remembered.
    Discovery pinned = open_loopback();
    for (int i = 0; i < 64; ++i) {
        pinned.add_manual_peer(SocketAddress::ipv4(ip(127, 0, 1, static_cast<std::uint8_t>(i + 1)), 4000),
                               t0);
    }
    pinned.add_manual_peer(SocketAddress::ipv4(ip(127, 0, 2, 1), 4000), t0);
    EXPECT_EQ(pinned.peers().size(), 64u);
    capture.clear();
    phones[0].send(phone_beacon(), pinned.port());
    auto r = pinned.discovery_step(t0 + 1s);
    EXPECT_EQ(pinned.peers().size(), 64u);
    EXPECT_EQ(pinned.received_count(), 1u);
    EXPECT_FALSE(capture.has("udp.peer.up"));
    EXPECT_FALSE(r.phone_address);
}

// Spoofed sources cost nothing to send: while the TCP channel is bound to the phone, they
// neither move the shown address nor push the phone's own entry out.
TEST(Discovery, WhileBoundBeaconsKeepTheShownAddressAndAFloodSparesThePhone) {
    Discovery d = open_loopback();
    const Instant t0 = Instant{} + 1h;
    Phone real(7);
    real.send(phone_beacon("Pixel"), d.port());
    ASSERT_EQ(d.discovery_step(t0).phone_address, "127.0.0.7");
    d.set_bound_phone(real.addr);

    // The real phone is now the oldest entry; 64 newer sources claim to be phones.
    std::vector<Phone> spoofed;
    for (int i = 0; i < 64; ++i) spoofed.emplace_back(static_cast<std::uint8_t>(20 + i));
    for (int i = 0; i < 64; ++i) {
        spoofed[i].send(phone_beacon("Evil-Phone"), d.port());
        EXPECT_FALSE(d.discovery_step(t0 + std::chrono::milliseconds(i + 1), "127.0.0.7").phone_address);
    }
    ASSERT_EQ(d.peers().size(), 64u);
    EXPECT_TRUE(std::any_of(d.peers().begin(), d.peers().end(),
                            [](const DiscoveryPeer& p) { return p.source.ip_text() == "127.0.0.7"; }));
    // The oldest spoofed entry went instead.
    EXPECT_TRUE(std::none_of(d.peers().begin(), d.peers().end(),
                             [](const DiscoveryPeer& p) { return p.source.ip_text() == "127.0.0.20"; }));

    // Unbound again, beacons speak for the phone's address as before.
    d.set_bound_phone(std::nullopt);
    Phone elsewhere(9);
    elsewhere.send(phone_beacon("Pixel"), d.port());
    EXPECT_TRUE(d.discovery_step(t0 + 1s, "127.0.0.7").phone_address.has_value());
}

TEST(Discovery, AFloodIsCutShortAtSixtyFourChanges) {
    Discovery d = open_loopback();
    std::vector<Phone> phones;
    for (int i = 0; i < 70; ++i) phones.emplace_back(static_cast<std::uint8_t>(100 + i));
    for (const Phone& p : phones) p.send(phone_beacon(), d.port());

    const Instant t0 = Instant{} + 1h;
    d.discovery_step(t0);
    EXPECT_EQ(d.peers().size(), 64u);
    EXPECT_EQ(d.cut_short_count(), 1u);
    d.discovery_step(t0 + 1ms);
    EXPECT_EQ(d.received_count(), 70u);
    EXPECT_EQ(d.cut_short_count(), 1u);
    // The six late ones pushed out the six oldest of the first step.
    ASSERT_EQ(d.peers().size(), 64u);
    EXPECT_EQ(d.peers().back().source.ip_text(), "127.0.0.169");
}

}  // namespace
}  // namespace dovan
