#include "lan/net_address.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

TEST(SocketAddress, ParsesUserAddresses) {
    struct Case {
        const char* in;
        const char* text;  // nullptr: refused
    } cases[] = {
        {"192.168.1.50", "192.168.1.50:55676"},
        {"192.168.1.50:4000", "192.168.1.50:4000"},
        {"::1", "[::1]:55676"},
        {"[fe80::1]:9", "[fe80::1]:9"},
        {"[::1]", "[::1]:55676"},
        {"192.168.1.50:", nullptr},
        {"192.168.1.50:65536", nullptr},
        {"192.168.1.50:12a", nullptr},
        {"[::1]9", nullptr},
        {"phone.local", nullptr},
        {"", nullptr},
        {"300.1.1.1", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        auto a = SocketAddress::parse(c.in);
        if (c.text == nullptr) {
            EXPECT_FALSE(a);
        } else {
            ASSERT_TRUE(a);
            EXPECT_EQ(a->text(), c.text);
        }
    }
}

TEST(SocketAddress, IdentityIsTheIpAlone) {
    auto a = *SocketAddress::parse("10.0.0.7:1000");
    auto b = *SocketAddress::parse("10.0.0.7:2000");
    auto v6 = *SocketAddress::parse("[::1]:1000");
    EXPECT_TRUE(a.same_ip(b));
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a.same_ip(v6));
    EXPECT_EQ(a.ip_text(), "10.0.0.7");
    EXPECT_TRUE(v6.is_loopback());
    EXPECT_TRUE(SocketAddress::ipv4(0x7F123456, 1).is_loopback());
    EXPECT_FALSE(a.is_loopback());
}

}  // namespace
}  // namespace dovan
