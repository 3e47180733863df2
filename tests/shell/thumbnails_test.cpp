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

namespace dovan {
namespace {

std::string describe(const std::variant<JpegSize, std::string>& r) {
    if (const auto* s = std::get_if<JpegSize>(&r)) return std::to_string(s->width) + "x" + std::to_string(s->height);
    return std::get<std::string>(r);
}

TEST(JpegHeader, DeclaredSizeFromTheMarkersAlone) {
    using B = std::vector<std::uint8_t>;
    const B sof0 = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x20, 0x03};
    auto jpeg = [](std::initializer_list<B> parts) {
        B out = {0xFF, 0xD8};
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        out.resize(out.size() + 16, 0);  // the rest of the segment and some data
        return out;
    };
    struct Case {
        const char* name;
        B bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"baseline frame", jpeg({sof0}), "32x16"},
        {"after an APP0 segment and fill bytes", jpeg({{0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46, 0xFF, 0xFF}, sof0}), "32x16"},
        {"progressive frame", jpeg({{0xFF, 0xC2, 0x00, 0x11, 0x08, 0xFF, 0xFF, 0xFF, 0xFF}}), "65535x65535"},
        {"a Huffman table is no frame", jpeg({{0xFF, 0xC4, 0x00, 0x04, 0x00, 0x00}, sof0}), "32x16"},
        {"image data before any frame", jpeg({{0xFF, 0xDA, 0x00, 0x02}, sof0}), "取图像尺寸失败: 没有找到帧头"},
        {"segment longer than the file", B{0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xF0, 0x00}, "取图像尺寸失败: 没有找到帧头"},
        {"frame header cut short", B{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00}, "取图像尺寸失败: 没有找到帧头"},
        {"garbage between segments", jpeg({{0x00, 0x01}, sof0}), "取图像尺寸失败: 标记段错位"},
        {"not a JPEG at all", B{0x89, 'P', 'N', 'G', 0, 0}, "JPEG 解码器创建失败: 不是 JPEG 数据"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(jpeg_declared_size(c.bytes.data(), c.bytes.size())), c.expected) << c.name;
}

TEST(JpegHeader, ScreeningAppliesTheLimitsToTheDeclaredSize) {
    std::vector<std::uint8_t> b = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x08, 0x00, 0x08, 0x00, 0x03};
    b.resize(40, 0);
    EXPECT_EQ(describe(screen_thumbnail(b.data(), b.size())), "缩略图声明的尺寸过大（2048×2048 ≈ 16 MB），已拒绝解码");
    b[7] = 0x02;  // 512 high
    b[9] = 0x10;  // 4096 wide
    EXPECT_EQ(describe(screen_thumbnail(b.data(), b.size())), "4096x512");
    EXPECT_EQ(describe(screen_thumbnail(nullptr, 0)), "缩略图数据是空的");
}

}  // namespace
}  // namespace dovan
