#include "ble/scan_list.h"

#include <gtest/gtest.h>

#include <thread>

namespace dovan::ble {
namespace {

TEST(ScanList, ResightingMovesTheDeviceLastAndKeepsItsName) {
    FakeClock clock;
    ScanList s;
    EXPECT_TRUE(s.note(1, "Dovan", clock.now()));
    EXPECT_TRUE(s.note(2, "Pixel", clock.now()));
    EXPECT_FALSE(s.note(1, "", clock.now()));
    EXPECT_EQ(s.devices(), (std::vector<ScannedDevice>{{2, "Pixel"}, {1, "Dovan"}}));
    EXPECT_TRUE(s.note(2, "Pixel 8", clock.now()));  // a new name is a visible change
    EXPECT_FALSE(s.note(2, "Pixel 8", clock.now()));
    EXPECT_EQ(s.devices().back(), (ScannedDevice{2, "Pixel 8"}));
}

TEST(ScanList, ExpiresAtTheAgeAndLooksUpTheLatestSighting) {
    FakeClock clock;
    ScanList s;
    s.note(1, "Dovan", clock.now());
    clock.advance(std::chrono::seconds(6));
    s.note(2, "Dovan", clock.now());
    s.note(3, "Pixel", clock.now());
    // Both carry the name; the one seen last is the one to dial.
    EXPECT_EQ(s.find_named({"Dovan"}), (ScannedDevice{2, "Dovan"}));
    EXPECT_EQ(s.find(3), (ScannedDevice{3, "Pixel"}));
    EXPECT_FALSE(s.find(4));

    clock.advance(std::chrono::milliseconds(5999));
    EXPECT_EQ(s.expire(clock.now(), std::chrono::seconds(12)), 0u);
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(s.expire(clock.now(), std::chrono::seconds(12)), 1u);  // exactly 12 s: gone
    EXPECT_EQ(s.devices(), (std::vector<ScannedDevice>{{2, "Dovan"}, {3, "Pixel"}}));
    EXPECT_FALSE(s.last_seen(1));
    EXPECT_FALSE(s.find_named({"Nothing"}));
}

// The watcher records on its own thread while the core reads and expires.
TEST(ScanList, SightingsAndExpiryFromTwoThreads) {
    FakeClock clock;
    ScanList s;
    std::thread watcher([&] {
        for (std::uint64_t i = 0; i < 2000; ++i) s.note(i % 50, "Dovan", clock.now());
    });
    for (int i = 0; i < 2000; ++i) {
        (void)s.expire(clock.now(), std::chrono::seconds(12));
        (void)s.find_named({"Dovan"});
    }
    watcher.join();
    EXPECT_EQ(s.devices().size(), 50u);
}

}  // namespace
}  // namespace dovan::ble
