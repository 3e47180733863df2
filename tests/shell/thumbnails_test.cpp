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
    b.resize(21, 0);  // the rest of the frame header
    // One scan with a byte of data, and the end.
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x12, 0xFF, 0xD9});
    EXPECT_EQ(describe(screen_thumbnail(b.data(), b.size())), "缩略图声明的尺寸过大（2048×2048 ≈ 16 MB），已拒绝解码");
    b[7] = 0x02;  // 512 high
    b[9] = 0x10;  // 4096 wide
    EXPECT_EQ(describe(screen_thumbnail(b.data(), b.size())), "4096x512");
    EXPECT_EQ(describe(screen_thumbnail(nullptr, 0)), "缩略图数据是空的");
}

// A JPEG put together marker by marker.
class JpegBuilder {
public:
    using B = std::vector<std::uint8_t>;
    JpegBuilder() { bytes_ = {0xFF, 0xD8}; }
    JpegBuilder& segment(std::uint8_t marker, const B& payload) {
        const std::size_t n = payload.size() + 2;
        bytes_.insert(bytes_.end(), {0xFF, marker, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return *this;
    }
    JpegBuilder& frame(std::uint8_t marker, std::uint16_t w, std::uint16_t h) {
        return segment(marker, {0x08, static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h),
                                static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w), 0x01, 0x01, 0x11, 0x00});
    }
    JpegBuilder& tables() {
        segment(0xE0, {'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
        B dqt(65, 1);
        dqt[0] = 0x00;
        return segment(0xDB, dqt);
    }
    // A scan with coded data holding a stuffed 0xFF, a restart marker and fill bytes.
    JpegBuilder& scan(int count = 1) {
        for (int k = 0; k < count; ++k) {
            segment(0xDA, {0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
            raw({0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xFF});
        }
        return *this;
    }
    JpegBuilder& raw(const B& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    B end() const {
        B out = bytes_;
        out.insert(out.end(), {0xFF, 0xD9});
        return out;
    }
    B cut(std::size_t drop) const { return B(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(drop)); }

private:
    B bytes_;
};

std::string describe(const std::variant<JpegLayout, std::string>& r) {
    if (const auto* l = std::get_if<JpegLayout>(&r)) {
        return std::to_string(l->size.width) + "x" + std::to_string(l->size.height) + (l->progressive ? " progressive" : "") +
               " scans " + std::to_string(l->scans);
    }
    return std::get<std::string>(r);
}

// The screen a decoder is never asked before: the whole marker structure, read once.
TEST(JpegLayout, MarkersAreScreenedBeforeAnyDecoding) {
    using B = std::vector<std::uint8_t>;
    const auto base = [] { return JpegBuilder().tables().frame(0xC0, 32, 16); };
    const auto progressive = [] { return JpegBuilder().tables().frame(0xC2, 256, 192); };
    B bytes_after_end = base().scan().end();
    bytes_after_end.insert(bytes_after_end.end(), {0x00, 0x01, 0x02});
    JpegBuilder comments;
    for (std::uint32_t k = 0; k < kThumbnailMaxSegments; ++k) comments.segment(0xFE, {'x'});
    const B many_segments = comments.frame(0xC0, 32, 16).scan().end();
    struct Case {
        const char* name;
        B bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"valid baseline", base().scan().end(), "32x16 scans 1"},
        {"progressive with a usual ten scans", progressive().scan(10).end(), "256x192 progressive scans 10"},
        {"progressive at the scan limit", progressive().scan(32).end(), "256x192 progressive scans 32"},
        {"one scan too many", progressive().scan(33).end(), "缩略图的扫描段过多（超过 32 段），已拒绝解码"},
        {"thousands of scans", progressive().scan(5000).end(), "缩略图的扫描段过多（超过 32 段），已拒绝解码"},
        {"huge declared size (the limits come after)", JpegBuilder().frame(0xC2, 65535, 65535).scan().end(),
         "65535x65535 progressive scans 1"},
        {"bytes after the end are not looked at", bytes_after_end, "32x16 scans 1"},
        {"cut inside the coded data", base().scan().cut(3), "读出像素失败: 数据不完整（没有结束标记）"},
        {"cut on a lone 0xFF", base().scan().cut(1), "读出像素失败: 数据不完整（没有结束标记）"},
        {"cut inside a segment", base().cut(3), "读出像素失败: 数据不完整（没有结束标记）"},
        {"cut inside a length", base().raw({0xFF, 0xDB, 0x00}).cut(0), "读出像素失败: 数据不完整（没有结束标记）"},
        {"just the start marker", B{0xFF, 0xD8, 0xFF, 0xFF}, "读出像素失败: 数据不完整（没有结束标记）"},
        {"not a JPEG", B{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, "JPEG 解码器创建失败: 不是 JPEG 数据"},
        {"too short to be one", B{0xFF, 0xD8}, "JPEG 解码器创建失败: 不是 JPEG 数据"},
        {"a scan before the frame header", JpegBuilder().tables().scan().frame(0xC0, 32, 16).end(), "取图像尺寸失败: 没有找到帧头"},
        {"no frame header at all", JpegBuilder().tables().end(), "取图像尺寸失败: 没有找到帧头"},
        {"a frame but no scan", base().end(), "读出像素失败: 没有图像扫描段"},
        {"two frame headers", base().frame(0xC2, 4096, 4096).scan().end(), "取图像尺寸失败: 帧头不止一个"},
        {"a frame header too short", JpegBuilder().segment(0xC0, {0x08, 0x00, 0x10, 0x00, 0x20}).scan().end(),
         "取图像尺寸失败: 帧头不完整"},
        {"garbage between segments", base().raw({0x00}).scan().end(), "取图像尺寸失败: 标记段错位"},
        {"a stuffed zero outside a scan", base().raw({0xFF, 0x00}).scan().end(), "取图像尺寸失败: 标记段错位"},
        {"a length below two", base().raw({0xFF, 0xFE, 0x00, 0x01}).scan().end(), "取图像尺寸失败: 标记段错位"},
        {"too many segments", many_segments, "缩略图的标记段过多（超过 512 段），已拒绝解码"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(jpeg_layout(c.bytes.data(), c.bytes.size())), c.expected) << c.name;
}

TEST(JpegLayout, ScreeningOrdersItsRefusals) {
    using B = std::vector<std::uint8_t>;
    const auto frame = [](std::uint16_t w, std::uint16_t h) { return JpegBuilder().tables().frame(0xC2, w, h); };
    const B thumbnail = frame(256, 256).scan().end();
    B oversized = frame(256, 256).segment(0xFE, B(65000, 'x')).scan().end();
    while (oversized.size() <= kThumbnailMaxBytes) {
        oversized.insert(oversized.end() - 2, {0xFF, 0xFE, 0xFD, 0xE8});
        oversized.insert(oversized.end() - 2, 65000 - 2, 'x');
    }
    struct Case {
        const char* name;
        B bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"a thumbnail", thumbnail, "256x256"},
        {"empty", {}, "缩略图数据是空的"},
        {"more bytes than a thumbnail needs", oversized,
         "缩略图数据过大（" + std::to_string(oversized.size()) + " 字节，上限 4194304 字节），已拒绝解码"},
        {"too many scans within the size limits", frame(2048, 1024).scan(2000).end(), "缩略图的扫描段过多（超过 32 段），已拒绝解码"},
        {"huge dimensions", frame(65535, 65535).scan().end(), "缩略图声明的尺寸过大（65535×65535），已拒绝解码"},
        {"too many pixels", frame(2048, 2048).scan().end(), "缩略图声明的尺寸过大（2048×2048 ≈ 16 MB），已拒绝解码"},
        {"the largest allowed", frame(4096, 512).scan(kThumbnailMaxScans).end(), "4096x512"},
    };
    for (const auto& c : cases) {
        const auto r = screen_thumbnail(c.bytes.data(), c.bytes.size());
        std::string got = std::holds_alternative<JpegSize>(r) ? std::to_string(std::get<JpegSize>(r).width) + "x" +
                                                                    std::to_string(std::get<JpegSize>(r).height)
                                                              : std::get<std::string>(r);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

}  // namespace
}  // namespace dovan
