#include "desktop/thumbnail_decoder.h"

#include <QBuffer>
#include <QApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <memory>

#include "common/text.h"

namespace dovan {
namespace {

// Image plugins, fonts and widgets need an application object; offscreen needs no display.
class QtApp : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_desktop";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};
const auto* const kQtApp = ::testing::AddGlobalTestEnvironment(new QtApp);

Bytes encode(int w, int h, const char* format = "JPG") {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(40, 120, 200));
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    EXPECT_TRUE(img.save(&buf, format));
    return Bytes(out.begin(), out.end());
}

// Rewrites the frame header so the file claims another size; the data stays small.
Bytes declare(Bytes jpeg, std::uint16_t w, std::uint16_t h) {
    for (std::size_t i = 0; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<std::uint8_t>(h >> 8);
            jpeg[i + 6] = static_cast<std::uint8_t>(h);
            jpeg[i + 7] = static_cast<std::uint8_t>(w >> 8);
            jpeg[i + 8] = static_cast<std::uint8_t>(w);
            return jpeg;
        }
    }
    ADD_FAILURE() << "no frame header";
    return jpeg;
}

std::string error_of(const Bytes& b) {
    auto r = decode_thumbnail(b.data(), b.size());
    if (auto* e = std::get_if<std::string>(&r)) return *e;
    return {};
}

TEST(ThumbnailDecoding, LimitsAndTheirTexts) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::string error;  // empty: decodes
    };
    const Bytes small = encode(160, 120);
    const Case cases[] = {
        {"ordinary thumbnail", small, ""},
        {"largest allowed area", encode(4096, 512), ""},
        {"empty", {}, "缩略图数据是空的"},
        {"one side too long", encode(4097, 1), "缩略图声明的尺寸过大（4097×1），已拒绝解码"},
        {"too many pixels", encode(2048, 2048), "缩略图声明的尺寸过大（2048×2048 ≈ 16 MB），已拒绝解码"},
        {"a small file declaring 65535 × 65535", declare(small, 65535, 65535), "缩略图声明的尺寸过大（65535×65535），已拒绝解码"},
        {"a small file declaring 3000 × 3000", declare(small, 3000, 3000), "缩略图声明的尺寸过大（3000×3000 ≈ 34 MB），已拒绝解码"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.bytes), c.error) << c.name;
}

TEST(ThumbnailDecoding, AnythingButAJpegIsRefused) {
    const Bytes png = encode(16, 16, "PNG");
    EXPECT_TRUE(error_of(png).starts_with("JPEG 解码器创建失败")) << error_of(png);
    const Bytes small = encode(160, 120);
    const Bytes cut(small.begin(), small.begin() + 20);
    EXPECT_FALSE(error_of(cut).empty()) << "a header cut short";
    const Bytes noise(4096, 0x5A);
    EXPECT_FALSE(error_of(noise).empty());
}

TEST(ThumbnailDecoding, DecodedPicturesArePremultipliedAndOfTheDeclaredSize) {
    const Bytes b = encode(160, 120);
    auto r = decode_thumbnail(b.data(), b.size());
    ASSERT_TRUE(std::holds_alternative<QImage>(r));
    const QImage& img = std::get<QImage>(r);
    EXPECT_EQ(img.width(), 160);
    EXPECT_EQ(img.height(), 120);
    EXPECT_EQ(img.format(), QImage::Format_ARGB32_Premultiplied);
}

TEST(ThumbnailDecoding, TheWindowCacheKeepsSuccessesOnly) {
    QtThumbnails thumbs;
    thumbs.begin_paint({1, 2});
    EXPECT_EQ(thumbs.prepare(1, encode(100, 50)), std::nullopt);
    EXPECT_EQ(thumbs.cached_count(), 1u);
    EXPECT_EQ(thumbs.cached_bytes(), 100u * 50 * 4);
    EXPECT_NE(thumbs.peek(1), nullptr);
    EXPECT_EQ(thumbs.prepare(2, Bytes{1, 2, 3}).has_value(), true);
    EXPECT_EQ(thumbs.cached_count(), 1u) << "a failure is tried again next paint";
    EXPECT_EQ(thumbs.prepare(1, Bytes{}), std::nullopt) << "cached: the bytes are not looked at again";
    thumbs.release();
    EXPECT_EQ(thumbs.cached_count(), 0u);
}

}  // namespace
}  // namespace dovan
