#include "shell/icons.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace dovan {
namespace {

std::uint8_t at(const std::vector<std::uint8_t>& a, int size, int x, int y) {
    return a[static_cast<std::size_t>(y) * size + x];
}

TEST(Icons, NothingBelowEightPixelsSomethingFromEight) {
    for (int icon = 0; icon < kIconCount; ++icon) {
        EXPECT_TRUE(rasterize_alpha(icon_shape(icon), 7).empty()) << icon;
        const auto alpha = rasterize_alpha(icon_shape(icon), 8);
        ASSERT_EQ(alpha.size(), 64u) << icon;
        EXPECT_TRUE(std::any_of(alpha.begin(), alpha.end(), [](auto a) { return a > 0; })) << icon << " draws at 8 px";
        EXPECT_TRUE(std::any_of(alpha.begin(), alpha.end(), [](auto a) { return a == 0; })) << icon << " is not a blot";
    }
    EXPECT_TRUE(icon_shape(21).empty());
    EXPECT_TRUE(icon_shape(-1).empty());
}

TEST(Icons, NonZeroWindingLeavesHolesAndMergesOverlaps) {
    // Icon 5 at 24 px maps its design grid one to one.
    const auto a = rasterize_alpha(icon_shape(5), 24);
    EXPECT_EQ(at(a, 24, 4, 4), 255) << "inside a square's band";
    EXPECT_EQ(at(a, 24, 7, 7), 0) << "inside a hole traced the other way";
    EXPECT_EQ(at(a, 24, 12, 12), 0) << "between the squares";
    EXPECT_EQ(at(a, 24, 3, 10), 255) << "left edge of the lower-left square's band";
    EXPECT_EQ(at(a, 24, 2, 4), 0);
    // Icon 16: two bars (6..10 and 14..18 across); pixel 6 is fully inside, 5 outside.
    const auto bars = rasterize_alpha(icon_shape(16), 24);
    EXPECT_EQ(at(bars, 24, 6, 10), 255);
    EXPECT_EQ(at(bars, 24, 5, 10), 0);
    EXPECT_EQ(at(bars, 24, 12, 10), 0);
}

TEST(Icons, HalfCoveredPixelsAreHalfAlpha) {
    // A square from 2.5 to 5.5 on a 24 grid at 24 px: the edge pixels are half covered.
    const IconShape shape{{{2.5f, 2.5f}, {5.5f, 2.5f}, {5.5f, 5.5f}, {2.5f, 5.5f}}};
    const auto a = rasterize_alpha(shape, 24);
    EXPECT_EQ(at(a, 24, 3, 3), 255);
    EXPECT_EQ(at(a, 24, 2, 3), 128);
    EXPECT_EQ(at(a, 24, 2, 2), 64);
    EXPECT_EQ(at(a, 24, 6, 3), 0);
    // Reversing a lone contour changes nothing: the winding only needs to be non-zero.
    const IconShape reversed{{{2.5f, 2.5f}, {2.5f, 5.5f}, {5.5f, 5.5f}, {5.5f, 2.5f}}};
    EXPECT_EQ(rasterize_alpha(reversed, 24), a);
}

TEST(Icons, PremultipliedColourInBlueGreenRedAlphaOrder) {
    const auto px = premultiplied_bgra({255, 128, 0}, 0x3399f5);
    ASSERT_EQ(px.size(), 12u);
    EXPECT_EQ((std::vector<std::uint8_t>(px.begin(), px.begin() + 4)), (std::vector<std::uint8_t>{0xf5, 0x99, 0x33, 255}));
    EXPECT_EQ((std::vector<std::uint8_t>(px.begin() + 4, px.begin() + 8)),
              (std::vector<std::uint8_t>{0xf5 * 128 / 255, 0x99 * 128 / 255, 0x33 * 128 / 255, 128}));
    EXPECT_EQ((std::vector<std::uint8_t>(px.begin() + 8, px.end())), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(Icons, CacheEmptiesWhenTheNextEntryWouldPassTheBound) {
    IconCache<int> cache;
    for (int i = 0; i < 192; ++i) cache.add({8 + i, 0, 1}, i);
    EXPECT_EQ(cache.size(), 192u);
    ASSERT_NE(cache.find({8, 0, 1}), nullptr);
    EXPECT_EQ(*cache.find({8 + 191, 0, 1}), 191);
    EXPECT_EQ(cache.find({8, 1, 1}), nullptr) << "colour is part of the key";
    cache.add({500, 0, 1}, 7);
    EXPECT_EQ(cache.size(), 1u) << "the 193rd empties the cache first";
    EXPECT_EQ(cache.find({8, 0, 1}), nullptr);
    EXPECT_EQ(*cache.find({500, 0, 1}), 7);
}

}  // namespace
}  // namespace dovan
