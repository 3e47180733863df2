#include "album.h"

#include <algorithm>
#include <array>

#include "crypto/primitives.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "transfer/chunk.h"

namespace dovan::phonesim {

namespace {

// The TCP writer drains the phone's queue each loop; chunks wait while it is this long.
constexpr std::size_t kChunkQueueLimit = 8;

class BitWriter {
public:
    void put(std::uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) {
            acc_ = static_cast<std::uint8_t>((acc_ << 1) | ((code >> i) & 1u));
            if (++used_ == 8) flush_byte();
        }
    }
    // Pads the last byte with one-bits, as the format asks.
    Bytes finish() {
        while (used_ != 0) put(1, 1);
        return std::move(out_);
    }

private:
    void flush_byte() {
        out_.push_back(acc_);
        if (acc_ == 0xFF) out_.push_back(0x00);
        acc_ = 0;
        used_ = 0;
    }
    Bytes out_;
    std::uint8_t acc_ = 0;
    int used_ = 0;
};

void segment(Bytes& out, std::uint8_t marker, const Bytes& payload) {
    out.push_back(0xFF);
    out.push_back(marker);
    const std::size_t len = payload.size() + 2;
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    out.push_back(static_cast<std::uint8_t>(len));
    out.insert(out.end(), payload.begin(), payload.end());
}

// The usual luminance DC table: code lengths per category 0..11.
constexpr std::array<std::uint8_t, 16> kDcCounts{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

std::uint64_t photo_id(std::uint32_t index) { return 0x10000000ull + index; }

Bytes original_bytes(std::uint64_t id, std::uint64_t size) {
    Bytes b(static_cast<std::size_t>(size));
    std::uint32_t x = static_cast<std::uint32_t>(id * 2654435761u) | 1u;
    for (auto& byte : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x);
    }
    return b;
}

Bytes flat_jpeg(std::uint32_t edge, std::uint8_t shade) {
    edge = std::clamp<std::uint32_t>(edge, 8, 65535);
    Bytes out{0xFF, 0xD8};
    // Quantisation by one keeps the arithmetic exact.
    Bytes dqt{0x00};
    dqt.insert(dqt.end(), 64, 1);
    segment(out, 0xDB, dqt);
    segment(out, 0xC0,
            {8, static_cast<std::uint8_t>(edge >> 8), static_cast<std::uint8_t>(edge),
             static_cast<std::uint8_t>(edge >> 8), static_cast<std::uint8_t>(edge), 1, 1, 0x11, 0});
    Bytes dht_dc{0x00};
    dht_dc.insert(dht_dc.end(), kDcCounts.begin(), kDcCounts.end());
    for (std::uint8_t v = 0; v < 12; ++v) dht_dc.push_back(v);
    segment(out, 0xC4, dht_dc);
    // A flat image needs one AC symbol only: end of block, coded as a single zero bit.
    Bytes dht_ac{0x10, 1};
    dht_ac.insert(dht_ac.end(), 15, 0);
    dht_ac.push_back(0x00);
    segment(out, 0xC4, dht_ac);
    segment(out, 0xDA, {1, 1, 0x00, 0, 63, 0});

    // Canonical codes of the DC table.
    std::array<std::uint32_t, 12> code{};
    std::array<int, 12> length{};
    std::uint32_t next = 0;
    std::size_t symbol = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < kDcCounts[len - 1]; ++i, ++symbol) {
            code[symbol] = next++;
            length[symbol] = len;
        }
        next <<= 1;
    }
    BitWriter bits;
    const std::uint32_t blocks = ((edge + 7) / 8) * ((edge + 7) / 8);
    // The DC coefficient of a flat block is eight times its level shift.
    const int dc = 8 * (static_cast<int>(shade) - 128);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const int diff = b == 0 ? dc : 0;
        const int magnitude = diff < 0 ? -diff : diff;
        int category = 0;
        while ((magnitude >> category) != 0) ++category;
        bits.put(code[category], length[category]);
        if (category > 0) {
            const int value = diff < 0 ? diff + (1 << category) - 1 : diff;
            bits.put(static_cast<std::uint32_t>(value), category);
        }
        bits.put(0, 1);  // end of block
    }
    const Bytes scan = bits.finish();
    out.insert(out.end(), scan.begin(), scan.end());
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

Bytes SimAlbum::thumb_body(std::uint64_t id, std::uint32_t edge) const {
    pb::AlbumThumb t;
    t.set_id(id);
    t.set_edge(edge);
    t.set_width(edge);
    t.set_height(edge);
    if (!opt_.empty_thumbs) {
        Bytes jpeg = flat_jpeg(edge, static_cast<std::uint8_t>(id * 37));
        if (jpeg.size() < opt_.thumb_padding) {
            // Comment segments after the start marker keep the image valid at any size.
            Bytes padded(jpeg.begin(), jpeg.begin() + 2);
            std::size_t left = opt_.thumb_padding - jpeg.size();
            while (left > 0) {
                const std::size_t n = std::min<std::size_t>(std::max<std::size_t>(left, 4) - 4, 65533);
                segment(padded, 0xFE, Bytes(n, 'x'));
                left = left > n + 4 ? left - (n + 4) : 0;
            }
            padded.insert(padded.end(), jpeg.begin() + 2, jpeg.end());
            jpeg = std::move(padded);
        }
        t.set_jpeg(jpeg.data(), jpeg.size());
    }
    if (opt_.thumb_bytes_and_error) t.set_error("缩略图生成失败");
    return encode_album_thumb(t);
}

void SimAlbum::answer_page(std::uint32_t page, std::uint32_t per_page, Instant now) {
    const std::uint32_t answered = opt_.answer_page.value_or(page);
    pb::AlbumList list;
    list.set_page(answered);
    list.set_total(opt_.count);
    const std::uint64_t first = static_cast<std::uint64_t>(answered) * per_page;
    std::vector<std::uint64_t> ids;
    for (std::uint64_t i = first; i < opt_.count && i < first + per_page; ++i) {
        const auto index = static_cast<std::uint32_t>(i);
        for (int copy = 0; copy < (opt_.duplicate_ids ? 2 : 1); ++copy) {
            auto* item = list.add_items();
            item->set_id(photo_id(index));
            item->set_name(opt_.control_names ? "IMG\n" + std::to_string(index) + "\x01\x1b[2J.jpg"
                                              : "IMG_" + std::to_string(index) + ".jpg");
            item->set_size_bytes(opt_.original_size);
            item->set_mtime_ms(1733700000000ull - i * 60000);
            item->set_width(4000);
            item->set_height(3000);
            item->set_kind(0);
        }
        ids.push_back(photo_id(index));
    }
    due_.push_back({now + opt_.page_delay, ALBUM_LIST, encode_album_list(list)});
    for (std::uint32_t i = 0; i < opt_.unasked_thumbs && i < ids.size(); ++i)
        due_.push_back({now + opt_.page_delay, ALBUM_THUMB, thumb_body(ids[i], 256)});
}

bool SimAlbum::on_event(const AppEvent& event, Instant now) {
    if (const auto* page = event.as<MessageEvent<pb::AlbumListRequest>>()) {
        ++pages_requested_;
        answer_page(page->message.page(), std::max<std::uint32_t>(page->message.per_page(), 1), now);
        return true;
    }
    if (const auto* thumb = event.as<MessageEvent<pb::AlbumThumbRequest>>()) {
        ++thumbs_requested_;
        // A slow phone works through its thumbnails one after another.
        const Instant at = opt_.thumb_delay.count() > 0 ? std::max(now, last_thumb_at_) + opt_.thumb_delay : now;
        last_thumb_at_ = at;
        due_.push_back({at, ALBUM_THUMB, thumb_body(thumb->message.id(), thumb->message.edge())});
        return true;
    }
    if (const auto* full = event.as<MessageEvent<pb::AlbumFullRequest>>()) {
        ++full_requests_;
        if (opt_.unrequested_original && !stranger_sent_) {
            stranger_sent_ = true;
            originals_.push_back(kStrangerPhoto);
        }
        for (std::uint64_t id : full->message.ids()) {
            full_requested_.push_back(id);
            if (!opt_.originals_never_start) originals_.push_back(id);
        }
        return true;
    }
    return false;
}

void SimAlbum::step(Engine& engine, Instant now) {
    if (engine.state() != EngineState::Paired) return;
    // Pages and thumbnails are worked on apart, so whatever is due goes, in the order asked.
    std::erase_if(due_, [&](const Due& d) {
        if (d.at > now) return false;
        engine.send_tcp_only(d.type, d.body, 0);
        return true;
    });
    if (!sending_ && !originals_.empty()) {
        const std::uint64_t photo = originals_.front();
        originals_.pop_front();
        sending_ = Sending{photo, next_file_id_++, original_bytes(photo, opt_.original_size), 0, false};
    }
    if (!sending_) return;
    Sending& s = *sending_;
    if (!s.meta_sent) {
        pb::FileMeta meta;
        meta.set_name("IMG_" + std::to_string(s.photo) + ".jpg");
        meta.set_size(s.data.size());
        meta.set_file_id(s.file_id);
        meta.set_chunk_size(opt_.chunk_size);
        const Digest32 digest = sha256({s.data});
        meta.set_sha256(digest.data(), digest.size());
        meta.set_crc32(crc32(s.data));
        meta.set_album_id(s.photo);
        engine.set_transfer_lock({LockChannel::Tcp, s.file_id});
        if (!engine.send_business(FILE_META, encode_file_meta(meta), 0, false)) return;
        s.meta_sent = true;
    }
    const auto chunks = static_cast<std::uint32_t>((s.data.size() + opt_.chunk_size - 1) / opt_.chunk_size);
    while (s.next < chunks && engine.tcp_out().size() < kChunkQueueLimit) {
        const std::size_t at = static_cast<std::size_t>(s.next) * opt_.chunk_size;
        const ByteView piece = ByteView(s.data).subspan(at, std::min<std::size_t>(opt_.chunk_size, s.data.size() - at));
        pb::FileChunk c;
        c.set_file_id(s.file_id);
        c.set_index(s.next);
        c.set_data(piece.data(), piece.size());
        c.set_crc32(crc32(piece));
        if (!engine.send_business(FILE_CHUNK, encode_file_chunk(c), 0, true)) return;
        ++s.next;
    }
    if (s.next < chunks) return;
    const Digest32 digest = sha256({s.data});
    engine.send_file_done(s.file_id, true, std::nullopt, Bytes(digest.begin(), digest.end()), false, 0);
    sending_.reset();
}

}  // namespace dovan::phonesim
