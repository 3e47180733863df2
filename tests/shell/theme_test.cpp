#include "shell/theme.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

TEST(Theme, FollowingTheSystemAndChoosingByHand) {
    struct Case {
        std::uint8_t theme;
        SystemLook system;
        bool dark;
    };
    const Case cases[] = {
        {0, SystemLook::Unknown, false}, {0, SystemLook::Light, false}, {0, SystemLook::Dark, true},
        {1, SystemLook::Dark, false},    {2, SystemLook::Light, true},  {7, SystemLook::Dark, true},
    };
    for (const auto& c : cases) EXPECT_EQ(is_dark(c.theme, c.system), c.dark) << int(c.theme) << "/" << int(c.system);
}

TEST(Theme, MixRoundsEachChannelAndClamps) {
    EXPECT_EQ(mix(0x3399f5, kWhite, 0.16), 0x54a9f7u);  // hovered primary button
    EXPECT_EQ(mix(0xf6f7f9, kBlack, 0.45), 0x878889u);  // dialog scrim, light
    EXPECT_EQ(mix(0x000000, 0xffffff, 0.5), 0x808080u) << "halves round up";
    EXPECT_EQ(mix(0x102030, 0x102030, 0.7), 0x102030u);
    EXPECT_EQ(mix(0x00ff00, 0xff0000, 2.0), 0xff0000u) << "clamped to 0…255";
}

TEST(Theme, PalettesDifferWhereTheyShould) {
    EXPECT_EQ(palette(false)[kAccent], 0x3399f5u);
    EXPECT_EQ(palette(true)[kAccent], 0x4aa8ffu);
    EXPECT_EQ(palette(false)[kError], 0xd03030u);
    EXPECT_EQ(palette(true)[kWindowBg], 0x1b1f25u);
}

}  // namespace
}  // namespace dovan
