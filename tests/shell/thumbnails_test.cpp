#include "shell/thumbnails.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

TEST(ThumbnailLimits, DeclaredSizesAndTheirTexts) {
    struct Case {
        std::uint64_t w, h;
        std::optional<std::string> refusal;
    };
    const Case cases[] = {
        {4096, 512, std::nullopt},
        {1, 1, std::nullopt},
        {4097, 1, "缩略图声明的尺寸过大（4097×1），已拒绝解码"},
        {1, 4097, "缩略图声明的尺寸过大（1×4097），已拒绝解码"},
        {65535, 65535, "缩略图声明的尺寸过大（65535×65535），已拒绝解码"},
        {2048, 2048, "缩略图声明的尺寸过大（2048×2048 ≈ 16 MB），已拒绝解码"},
        {2049, 1024, "缩略图声明的尺寸过大（2049×1024 ≈ 8 MB），已拒绝解码"},
        {0, 10, "JPEG 声明的尺寸是 0"},
        {10, 0, "JPEG 声明的尺寸是 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(check_thumbnail_size(c.w, c.h), c.refusal) << c.w << "×" << c.h;
}

TEST(ThumbnailCache, EvictsTheOldestOffScreenFirst) {
    ThumbnailCache<int> cache;
    const std::uint64_t third = kThumbnailCacheBytes / 3;
    cache.add(1, 10, third, {});
    cache.add(2, 20, third, {});
    cache.add(3, 30, third, {});
    ASSERT_NE(cache.use(1), nullptr);  // 1 is now the most recent
    cache.add(4, 40, third, {1, 2, 3, 4});
    EXPECT_EQ(cache.peek(2), nullptr) << "every picture on screen: the least recently used goes";
    cache.add(5, 50, third, {4});
    EXPECT_EQ(cache.peek(3), nullptr) << "the oldest off screen goes before the visible one";
    EXPECT_NE(cache.peek(4), nullptr);
    EXPECT_NE(cache.peek(1), nullptr);
    EXPECT_LE(cache.bytes(), kThumbnailCacheBytes);
    EXPECT_EQ(cache.count(), 3u);
    cache.add(1, 11, third, {});
    EXPECT_EQ(*cache.peek(1), 11) << "a replaced picture is counted once";
    EXPECT_EQ(cache.bytes(), 3 * third);
    cache.clear();
    EXPECT_EQ(cache.bytes(), 0u);
}

TEST(ThumbnailCache, ALoneOversizedPictureStillFits) {
    ThumbnailCache<int> cache;
    cache.add(1, 1, 100, {});
    cache.add(2, 2, kThumbnailCacheBytes + 1, {});
    EXPECT_EQ(cache.count(), 1u) << "everything else made room";
    EXPECT_NE(cache.peek(2), nullptr);
}

}  // namespace
}  // namespace dovan
