// The phone's side of the album: a synthetic album of any size, paged as asked, with small
// valid JPEG thumbnails and full-size originals sent as file transfers, and the faults real
// phones show. The simulator process and in-process tests both drive it through its
// phone-side engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"
#include "session/engine.h"

namespace dovan::phonesim {

struct AlbumOptions {
    std::uint32_t count = 0;                 // photos in the album
    std::uint64_t original_size = 100000;    // bytes of each original
    std::uint32_t chunk_size = 65536;
    std::chrono::milliseconds page_delay{0};   // before each page answer
    std::chrono::milliseconds thumb_delay{0};  // before each thumbnail answer
    std::optional<std::uint32_t> answer_page{};  // answers every page request with this page
    bool thumb_bytes_and_error = false;      // thumbnails carry an image and an error
    bool empty_thumbs = false;               // thumbnails carry neither
    std::size_t thumb_padding = 0;           // thumbnails padded to at least this many bytes
    std::uint32_t unasked_thumbs = 0;        // after each page, thumbnails of it nobody asked for
    bool control_names = false;              // names with line feeds and control characters
    bool duplicate_ids = false;              // every item of a page appears twice
    bool originals_never_start = false;      // full-size requests are taken and never served
    bool unrequested_original = false;       // the first full-size request also brings a stranger
};

// The id of the photo at `index` (0-based, newest first).
std::uint64_t photo_id(std::uint32_t index);
// Its original's bytes.
Bytes original_bytes(std::uint64_t id, std::uint64_t size);
// A baseline greyscale JPEG of `edge` × `edge` in one flat shade.
Bytes flat_jpeg(std::uint32_t edge, std::uint8_t shade);
// The id of the original that arrives though nobody requested it.
inline constexpr std::uint64_t kStrangerPhoto = 0x5757575757ull;

class SimAlbum {
public:
    explicit SimAlbum(AlbumOptions options) : opt_(options) {}

    // One application event of the phone's engine; true when it was an album request.
    bool on_event(const AppEvent& event, Instant now);
    // Sends what is due: delayed answers and the next pieces of the original being sent.
    // Chunks go only while the engine's TCP queue is short.
    void step(Engine& engine, Instant now);

    std::size_t thumbs_requested() const { return thumbs_requested_; }
    std::size_t pages_requested() const { return pages_requested_; }
    const std::vector<std::uint64_t>& originals_requested() const { return full_requested_; }
    std::size_t full_requests() const { return full_requests_; }
    bool idle() const { return due_.empty() && originals_.empty() && !sending_; }

private:
    struct Due {
        Instant at{};
        std::uint8_t type = 0;
        Bytes body;
    };
    struct Sending {
        std::uint64_t photo = 0;
        std::uint64_t file_id = 0;
        Bytes data;
        std::uint32_t next = 0;
        bool meta_sent = false;
    };

    void answer_page(std::uint32_t page, std::uint32_t per_page, Instant now);
    Bytes thumb_body(std::uint64_t id, std::uint32_t edge) const;

    AlbumOptions opt_;
    std::deque<Due> due_;  // in the order asked
    Instant last_thumb_at_{};
    std::deque<std::uint64_t> originals_;
    std::optional<Sending> sending_;
    std::uint64_t next_file_id_ = 0xA1B0000001ull;
    std::size_t thumbs_requested_ = 0;
    std::size_t pages_requested_ = 0;
    std::size_t full_requests_ = 0;
    std::vector<std::uint64_t> full_requested_;
    bool stranger_sent_ = false;
};

}  // namespace dovan::phonesim
