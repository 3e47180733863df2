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

}  // namespace dovan
