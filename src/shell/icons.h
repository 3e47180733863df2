// The program's own vector icons: closed outlines on a 24 × 24 grid, filled by the
// non-zero winding rule and rasterised with 4 × 4 supersampling into alpha coverage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "shell/theme.h"

namespace dovan {

inline constexpr int kIconCount = 21;
inline constexpr int kIconGrid = 24;
// Smaller than this, an icon is a smudge; nothing is drawn.
inline constexpr int kIconMinSize = 8;
inline constexpr std::size_t kIconCacheLimit = 192;

struct IconPoint {
    float x = 0, y = 0;
};
using IconContour = std::vector<IconPoint>;
using IconShape = std::vector<IconContour>;

// Icon `number` (0…20); an empty shape for any other number.
const IconShape& icon_shape(int number);

// Coverage of each pixel (row-major, size × size) as alpha 0…255. Empty below 8 pixels.
std::vector<std::uint8_t> rasterize_alpha(const IconShape& shape, int size);

// A top-down 32-bit bitmap of premultiplied colour, bytes blue, green, red, alpha.
std::vector<std::uint8_t> premultiplied_bgra(const std::vector<std::uint8_t>& alpha, Color color);

// Rasterised icons by (size, colour, number). Full at kIconCacheLimit entries: the whole
// cache is emptied before the next one is added, which keeps it bounded without
// bookkeeping on every hit.
template <class Bitmap>
class IconCache {
public:
    struct Key {
        int size = 0;
        Color color = 0;
        int icon = 0;
        bool operator==(const Key&) const = default;
    };

    const Bitmap* find(const Key& key) const {
        for (const auto& e : entries_) if (e.first == key) return &e.second;
        return nullptr;
    }
    const Bitmap& add(const Key& key, Bitmap bitmap) {
        if (entries_.size() >= kIconCacheLimit) entries_.clear();
        entries_.emplace_back(key, std::move(bitmap));
        return entries_.back().second;
    }
    std::size_t size() const { return entries_.size(); }

private:
    std::vector<std::pair<Key, Bitmap>> entries_;
};

}  // namespace dovan
