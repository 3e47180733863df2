// Album thumbnails decoded with QImageReader. The declared size is read from the header
// and checked against the limits before a single pixel is allocated.
#pragma once

#include <QImage>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

#include "shell/thumbnails.h"

namespace dovan {

// The picture as premultiplied 32-bit pixels, or the text the cell shows instead.
std::variant<QImage, std::string> decode_thumbnail(const std::uint8_t* data, std::size_t size);

// The window's thumbnails: decoded on first paint, cached within the byte bound. A failed
// decode is not cached, so the next paint tries again.
class QtThumbnails final : public ThumbnailSource {
public:
    void begin_paint(const std::vector<std::uint64_t>& visible) override;
    std::optional<std::string> prepare(std::uint64_t id, const std::vector<std::uint8_t>& jpeg) override;
    std::size_t cached_count() const override { return cache_.count(); }
    std::uint64_t cached_bytes() const override { return cache_.bytes(); }

    const QImage* peek(std::uint64_t id) const { return cache_.peek(id); }
    void release() { cache_.clear(); }

private:
    ThumbnailCache<QImage> cache_;
    std::unordered_set<std::uint64_t> visible_;
};

}  // namespace dovan
