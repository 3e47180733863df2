#include "session/replay_window.h"

#include <gtest/gtest.h>

#include <vector>

namespace dovan {
namespace {

constexpr int kBle = 0;
constexpr int kTcp = 1;

struct Step {
    std::uint32_t seq;
    bool accepted;
    const char* reason;  // expected refusal text, or nullptr
};

// Feeds a sequence on one link, accepting what passes, as the engine does after a good open.
void run_on_link(LinkReplayGuard& guard, int link, const std::vector<Step>& steps) {
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << "seq " << s.seq);
        auto out = guard.check(s.seq, link);
        EXPECT_EQ(out.ok, s.accepted);
        if (s.reason) {
            EXPECT_EQ(out.reason, s.reason);
        }
        if (out.ok) guard.accept(s.seq, link);
    }
}

TEST(ReplayWindow, SingleLinkRulesHoldOnEitherLink) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"reorder then replay", {{5, true, nullptr}, {3, true, nullptr}, {5, false, "重放：seq=5 已被接收过"}}},
        {"max age 16",
         {{100, true, nullptr},
          {84, true, nullptr},
          {84, false, "重放：seq=84 已被接收过"},
          {83, false, "超出窗口：seq=83 过旧（当前最高 100）"}}},
        {"big jump resets bitmap",
         {{10, true, nullptr}, {9, true, nullptr}, {80, true, nullptr}, {79, true, nullptr},
          {80, false, "重放：seq=80 已被接收过"}, {10, false, "超出窗口：seq=10 过旧（当前最高 80）"}}},
        {"seq zero first", {{0, true, nullptr}, {0, false, "重放：seq=0 已被接收过"}, {1, true, nullptr}}},
    };
    for (int link : {kBle, kTcp}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            LinkReplayGuard guard;
            run_on_link(guard, link, c.steps);
        }
    }
}

TEST(ReplayWindow, JumpOf64OrMoreLeavesOnlyTheNewHighestMarked) {
    ReplayWindow w;
    w.accept(10);
    w.accept(9);
    w.accept(80);
    EXPECT_TRUE(w.marked(80));
    EXPECT_FALSE(w.marked(79));
    EXPECT_FALSE(w.marked(10));
    EXPECT_EQ(w.highest(), 80u);
}

TEST(ReplayWindow, BleFrameOvertakenBySeventeenTcpFramesIsAccepted) {
    LinkReplayGuard guard;
    // seq 1 was sent over BLE, 2..18 over TCP; TCP delivers all of them first.
    for (std::uint32_t s = 2; s <= 18; ++s) {
        ASSERT_TRUE(guard.check(s, kTcp).ok);
        guard.accept(s, kTcp);
    }
    EXPECT_TRUE(guard.check(1, kBle).ok);
    guard.accept(1, kBle);
    // And BLE keeps working with later numbers while TCP continues.
    EXPECT_TRUE(guard.check(19, kBle).ok);
    guard.accept(19, kBle);
    EXPECT_TRUE(guard.check(20, kTcp).ok);
}

TEST(ReplayWindow, FrameReplayedOnTheOtherLinkIsRefused) {
    LinkReplayGuard guard;
    for (std::uint32_t s : {3u, 4u, 5u}) guard.accept(s, kTcp);
    guard.accept(1, kBle);
    auto tcp_copy_on_ble = guard.check(4, kBle);
    EXPECT_FALSE(tcp_copy_on_ble.ok);
    EXPECT_EQ(tcp_copy_on_ble.reason, "重放：seq=4 已被接收过");
    auto ble_copy_on_tcp = guard.check(1, kTcp);
    EXPECT_FALSE(ble_copy_on_tcp.ok);
    EXPECT_EQ(ble_copy_on_tcp.reason, "重放：seq=1 已被接收过");
}

TEST(ReplayWindow, FrameTheOtherLinkNoLongerRemembersIsRefusedAsTooOld) {
    LinkReplayGuard guard;
    guard.accept(1, kBle);
    for (std::uint32_t s = 2; s <= 70; ++s) guard.accept(s, kTcp);
    // seq 5 went over TCP long ago; the TCP bitmap forgot it, so BLE must not take it.
    auto out = guard.check(5, kBle);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.reason, "超出窗口：seq=5 过旧（当前最高 70）");
    // Within the other link's memory an unmarked seq is fine (overtaken, not replayed).
    LinkReplayGuard g2;
    for (std::uint32_t s = 2; s <= 60; ++s) g2.accept(s, kTcp);
    EXPECT_TRUE(g2.check(1, kBle).ok);
}

TEST(ReplayWindow, ResetForgetsBothLinks) {
    LinkReplayGuard guard;
    guard.accept(7, kBle);
    guard.accept(8, kTcp);
    guard.reset();
    EXPECT_TRUE(guard.check(7, kBle).ok);
    EXPECT_TRUE(guard.check(8, kBle).ok);
    EXPECT_FALSE(guard.window(kTcp).initialized());
}

}  // namespace
}  // namespace dovan
