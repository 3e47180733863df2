#include "shell/thumbnails.h"

#include "common/text.h"

namespace dovan {

std::optional<std::string> check_thumbnail_size(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0) return std::string("JPEG 声明的尺寸是 0");
    if (width > kThumbnailMaxSide || height > kThumbnailMaxSide) {
        return format_text("缩略图声明的尺寸过大（{}×{}），已拒绝解码", width, height);
    }
    if (width * height > kThumbnailMaxPixels) {
        return format_text("缩略图声明的尺寸过大（{}×{} ≈ {} MB），已拒绝解码", width, height, width * height / 262144);
    }
    return std::nullopt;
}

std::variant<JpegSize, std::string> jpeg_declared_size(const std::uint8_t* data, std::size_t size) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::string("JPEG 解码器创建失败: 不是 JPEG 数据");
    std::size_t i = 2;
    while (i < size) {
        if (data[i] != 0xFF) return std::string("取图像尺寸失败: 标记段错位");
        while (i < size && data[i] == 0xFF) ++i;  // fill bytes
        if (i >= size) break;
        const std::uint8_t marker = data[i++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA) break;  // image data or end before any frame header
        if (i + 2 > size) break;
        const std::size_t length = (static_cast<std::size_t>(data[i]) << 8) | data[i + 1];
        if (length < 2 || i + length > size) break;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7) break;
            JpegSize s;
            s.height = (static_cast<std::uint32_t>(data[i + 3]) << 8) | data[i + 4];
            s.width = (static_cast<std::uint32_t>(data[i + 5]) << 8) | data[i + 6];
            return s;
        }
        i += length;
    }
    return std::string("取图像尺寸失败: 没有找到帧头");
}

std::variant<JpegSize, std::string> screen_thumbnail(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return std::string(kThumbnailEmpty);
    auto declared = jpeg_declared_size(data, size);
    if (const auto* s = std::get_if<JpegSize>(&declared)) {
        if (auto refused = check_thumbnail_size(s->width, s->height)) return *refused;
    }
    return declared;
}

}  // namespace dovan
