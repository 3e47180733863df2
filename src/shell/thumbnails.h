// Album thumbnails on the window side: the size limits checked before any pixels are
// decoded, and the bounded cache of decoded pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

namespace dovan {

inline constexpr std::uint32_t kThumbnailMaxSide = 4096;
inline constexpr std::uint64_t kThumbnailMaxPixels = 2097152;
inline constexpr std::uint64_t kThumbnailCacheBytes = 8388608;
// A JPEG's cost is its pixels times its passes over them. A baseline file has one scan and
// a usual progressive one about ten; thousands of scans would keep a decoder busy for seconds.
inline constexpr std::uint32_t kThumbnailMaxScans = 32;
// Marker segments of every kind (tables, application data, scans); ordinary files have tens.
inline constexpr std::uint32_t kThumbnailMaxSegments = 512;
inline constexpr std::size_t kThumbnailMaxBytes = 4194304;

inline constexpr const char* kThumbnailEmpty = "缩略图数据是空的";
inline constexpr const char* kThumbnailDecodeFailed = "解码失败";

// The refusal for a declared size, or nothing when it may be decoded.
std::optional<std::string> check_thumbnail_size(std::uint64_t width, std::uint64_t height);

// The width and height a JPEG's frame header declares, read from the markers alone; a
// decoder is never asked before this has passed.
struct JpegSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};
// The declared size, or the text of why the bytes are no JPEG a thumbnail can come from.
std::variant<JpegSize, std::string> jpeg_declared_size(const std::uint8_t* data, std::size_t size);

// What a whole JPEG's markers say: its one frame header and the number of scans up to
// the end-of-image marker.
struct JpegLayout {
    JpegSize size;
    bool progressive = false;
    std::uint32_t scans = 0;
};
// Walks every marker segment and the entropy-coded data between them once, in time linear
// in `size`, decoding nothing. Refuses data that is no JPEG, is cut short (no end-of-image
// marker), has no frame header, more than one, or no scan, and stops as soon as the scans
// pass kThumbnailMaxScans or the segments kThumbnailMaxSegments.
std::variant<JpegLayout, std::string> jpeg_layout(const std::uint8_t* data, std::size_t size);

// Everything a decoder is spared, in order: empty data, more than kThumbnailMaxBytes, a
// layout jpeg_layout refuses, a declared size outside the limits. The declared size when
// it may be decoded, the refusal text otherwise.
std::variant<JpegSize, std::string> screen_thumbnail(const std::uint8_t* data, std::size_t size);

// Decoded thumbnails by album item, at most kThumbnailCacheBytes of pixels. Room is made
// from the least recently used picture not on screen; when every one is on screen, the
// least recently used of all goes.
template <class Image>
class ThumbnailCache {
public:
    struct Entry {
        Image image;
        std::uint64_t bytes = 0;
        std::uint64_t last_use = 0;
    };

    const Image* use(std::uint64_t id) {
        auto it = entries_.find(id);
        if (it == entries_.end()) return nullptr;
        it->second.last_use = ++tick_;
        return &it->second.image;
    }
    const Image* peek(std::uint64_t id) const {
        auto it = entries_.find(id);
        return it == entries_.end() ? nullptr : &it->second.image;
    }
    // `visible` are the items on screen now; they are kept as long as anything else can go.
    const Image& add(std::uint64_t id, Image image, std::uint64_t bytes,
                     const std::unordered_set<std::uint64_t>& visible) {
        erase(id);
        while (!entries_.empty() && total_ + bytes > kThumbnailCacheBytes) evict_one(visible);
        total_ += bytes;
        auto& e = entries_[id];
        e = Entry{std::move(image), bytes, ++tick_};
        return e.image;
    }
    void erase(std::uint64_t id) {
        auto it = entries_.find(id);
        if (it == entries_.end()) return;
        total_ -= it->second.bytes;
        entries_.erase(it);
    }
    void clear() {
        entries_.clear();
        total_ = 0;
    }
    std::size_t count() const { return entries_.size(); }
    std::uint64_t bytes() const { return total_; }

private:
    void evict_one(const std::unordered_set<std::uint64_t>& visible) {
        auto victim = entries_.end(), oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (oldest == entries_.end() || it->second.last_use < oldest->second.last_use) oldest = it;
            if (!visible.contains(it->first) &&
                (victim == entries_.end() || it->second.last_use < victim->second.last_use)) {
                victim = it;
            }
        }
        if (victim == entries_.end()) victim = oldest;
        total_ -= victim->second.bytes;
        entries_.erase(victim);
    }

    std::unordered_map<std::uint64_t, Entry> entries_;
    std::uint64_t total_ = 0;
    std::uint64_t tick_ = 0;
};

// Where one thumbnail stands at a paint.
struct ThumbnailReadiness {
    enum class Kind : std::uint8_t { Ready, Pending, Failed };
    Kind kind = Kind::Ready;
    std::string error;  // why it failed

    static ThumbnailReadiness ready() { return {}; }
    static ThumbnailReadiness pending() { return {Kind::Pending, {}}; }
    static ThumbnailReadiness failed(std::string why) { return {Kind::Failed, std::move(why)}; }
    bool operator==(const ThumbnailReadiness&) const = default;
};

// What the album painter asks of the window's thumbnails.
class ThumbnailSource {
public:
    virtual ~ThumbnailSource() = default;
    // Called once per paint with the items on screen, before any lookup.
    virtual void begin_paint(const std::vector<std::uint64_t>& visible) = 0;
    // Asks for the picture of `id` from its JPEG bytes and says where it stands: ready to
    // draw, still being decoded (the cell shows a placeholder), or failed with the refusal
    // or failure text. Never waits for a decoder.
    virtual ThumbnailReadiness prepare(std::uint64_t id, const std::vector<std::uint8_t>& jpeg) = 0;
    virtual std::size_t cached_count() const = 0;
    virtual std::uint64_t cached_bytes() const = 0;
};

}  // namespace dovan
