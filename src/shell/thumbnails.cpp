#include "shell/thumbnails.h"

#include <cstring>

#include "common/bytes.h"
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
        const std::size_t length = load_be16(data + i);
        if (length < 2 || i + length > size) break;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7) break;
            JpegSize s;
            s.height = load_be16(data + i + 3);
            s.width = load_be16(data + i + 5);
            return s;
        }
        i += length;
    }
    return std::string("取图像尺寸失败: 没有找到帧头");
}

namespace {

bool is_frame_header(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

std::variant<JpegLayout, std::string> jpeg_layout(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
        return std::string("JPEG 解码器创建失败: 不是 JPEG 数据");
    }
    const std::string cut_short = "读出像素失败: 数据不完整（没有结束标记）";
    const std::string misplaced = "取图像尺寸失败: 标记段错位";
    JpegLayout out;
    bool frame = false;
    std::uint32_t segments = 0;
    std::size_t i = 2;
    for (;;) {
        if (i >= size) return cut_short;
        if (data[i] != 0xFF) return misplaced;
        while (i < size && data[i] == 0xFF) ++i;  // fill bytes
        if (i >= size) return cut_short;
        const std::uint8_t marker = data[i++];
        if (marker == 0xD9) {
            if (!frame) return std::string("取图像尺寸失败: 没有找到帧头");
            if (out.scans == 0) return std::string("读出像素失败: 没有图像扫描段");
            return out;
        }
        if (marker == 0x00) return misplaced;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (++segments > kThumbnailMaxSegments) {
            return format_text("缩略图的标记段过多（超过 {} 段），已拒绝解码", kThumbnailMaxSegments);
        }
        if (i + 2 > size) return cut_short;
        const std::size_t length = load_be16(data + i);
        if (length < 2) return misplaced;
        if (length > size - i) return cut_short;
        if (is_frame_header(marker)) {
            if (frame) return std::string("取图像尺寸失败: 帧头不止一个");
            if (length < 8) return std::string("取图像尺寸失败: 帧头不完整");
            out.size.height = load_be16(data + i + 3);
            out.size.width = load_be16(data + i + 5);
            out.progressive = (marker & 0x03) == 0x02;
            frame = true;
        }
        i += length;
        if (marker != 0xDA) continue;
        if (!frame) return std::string("取图像尺寸失败: 没有找到帧头");
        if (++out.scans > kThumbnailMaxScans) {
            return format_text("缩略图的扫描段过多（超过 {} 段），已拒绝解码", kThumbnailMaxScans);
        }
        // The scan's coded data runs to the next marker that is not a restart; inside it
        // 0xFF 0x00 stands for a data byte.
        for (;;) {
            const void* ff = i < size ? std::memchr(data + i, 0xFF, size - i) : nullptr;
            if (ff == nullptr) return cut_short;
            i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - data);
            if (i + 1 >= size) return cut_short;
            const std::uint8_t next = data[i + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                i += 2;
            } else if (next == 0xFF) {
                i += 1;
            } else {
                break;
            }
        }
    }
}

std::variant<JpegSize, std::string> screen_thumbnail(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return std::string(kThumbnailEmpty);
    if (size > kThumbnailMaxBytes) {
        return format_text("缩略图数据过大（{} 字节，上限 {} 字节），已拒绝解码", size, kThumbnailMaxBytes);
    }
    auto layout = jpeg_layout(data, size);
    if (auto* refused = std::get_if<std::string>(&layout)) return std::move(*refused);
    const JpegSize declared = std::get<JpegLayout>(layout).size;
    if (auto refused = check_thumbnail_size(declared.width, declared.height)) return *refused;
    return declared;
}

}  // namespace dovan
