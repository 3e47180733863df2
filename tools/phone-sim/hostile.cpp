// A phone that turns on the PC once paired: floods and malformed input at each layer, a
// bounded batch every step, until told to behave.
#include <sys/socket.h>

#include <array>

#include "crypto/random.h"
#include "phone.h"
#include "protocol/frame.h"
#include "protocol/messages.h"

namespace dovan::phonesim {

namespace {

Bytes random_bytes(std::size_t n) {
    Bytes b(n);
    (void)random_fill(b);
    return b;
}

std::uint32_t random_below(std::uint32_t n) {
    Bytes b = random_bytes(4);
    const std::uint32_t v = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
    return v % n;
}

Bytes notification_push(std::int32_t id, std::string title, std::string text) {
    pb::NotificationPush n;
    n.set_package("com.example.hostile");
    n.set_title(std::move(title));
    n.set_text(std::move(text));
    n.set_key_hash(id);
    n.set_notification_id(id);
    n.set_reply_action_index(-1);
    return encode_notification_push(n);
}

constexpr std::array<std::uint8_t, 14> kBusinessTypes = {
    NOTIFICATION_PUSH, NOTIFICATION_DISMISS, NOTIFICATION_REPLY_ACK, CLIPBOARD_PUSH, FILE_META, FILE_CHUNK,
    FILE_DONE,         FILE_CANCEL,          FILE_RESUME,            CONFIG_SYNC,    ALBUM_LIST, ALBUM_THUMB,
    MEDIA_STATE,       DEVICE_STATUS};

}  // namespace

std::optional<HostileMode> parse_hostile_mode(std::string_view s) {
    static constexpr std::pair<std::string_view, HostileMode> kModes[] = {
        {"fragments", HostileMode::Fragments},        {"frames", HostileMode::Frames},
        {"notifications", HostileMode::Notifications}, {"meta", HostileMode::Meta},
        {"malformed", HostileMode::Malformed},         {"oversized", HostileMode::Oversized},
    };
    for (const auto& [name, mode] : kModes)
        if (name == s) return mode;
    return std::nullopt;
}

void Phone::set_hostile(bool on) {
    hostile_on_ = on;
    emit(on ? "hostile on" : "hostile off " + std::to_string(hostile_sent_.load()));
}

void Phone::hostile_step() {
    if (!opt_.hostile || !hostile_on_ || !engine_ || engine_->state() != EngineState::Paired) return;
    const bool tcp = engine_->tcp_bound() && tcp_fd_ >= 0;
    const std::uint64_t ts = clock_.wall_ms();
    switch (*opt_.hostile) {
        case HostileMode::Fragments: {
            // Proper notifications on the phone's characteristic carrying fragments no
            // message could be reassembled from.
            static const ble::Uuid notify_char = *ble::Uuid::parse(kNotifyCharUuid);
            std::lock_guard lock(radio_mu_);
            for (int i = 0; i < 32; ++i)
                if (radio_ && radio_->notify(notify_char, random_bytes(1 + random_below(opt_.mtu - 3))))
                    ++hostile_sent_;
            break;
        }
        case HostileMode::Frames:
            // Well-formed headers, sealed flag, bodies nobody could open.
            if (!tcp) return;
            for (int i = 0; i < 64; ++i) {
                FrameHeader h;
                h.type = kBusinessTypes[random_below(kBusinessTypes.size())];
                h.flags = FLAG_ENCRYPTED;
                h.seq = random_below(1u << 30);
                const Bytes body = random_bytes(16 + random_below(512));
                h.payload_len = static_cast<std::uint32_t>(body.size() - 16);  // the rest is the tag
                if (auto f = encode_frame(h, body);
                    f.ok() && ::send(tcp_fd_, f->data(), f->size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
                    ++hostile_sent_;
            }
            break;
        case HostileMode::Notifications:
            for (int i = 0; i < 100; ++i) {
                const auto id = static_cast<std::int32_t>(++hostile_count_);
                if (engine_->send_business(NOTIFICATION_PUSH, notification_push(id, "洪水", "第 " + std::to_string(id) + " 条"), ts, false))
                    ++hostile_sent_;
            }
            break;
        case HostileMode::Meta:
            // Offers of huge files, each under a new id, none followed by a byte.
            for (int i = 0; i < 16; ++i) {
                pb::FileMeta meta;
                meta.set_name("offer-" + std::to_string(++hostile_count_) + ".bin");
                meta.set_size(std::uint64_t{1} << 30);
                meta.set_file_id(0x4000000000000000ull + hostile_count_);
                meta.set_chunk_size(262144);
                if (engine_->send_business(FILE_META, encode_file_meta(meta), ts, false)) ++hostile_sent_;
            }
            break;
        case HostileMode::Malformed:
            // Sealed properly, so they pass the session and reach each message parser.
            for (int i = 0; i < 64; ++i)
                if (engine_->send_business(kBusinessTypes[random_below(kBusinessTypes.size())],
                                           random_bytes(random_below(300)), ts, false))
                    ++hostile_sent_;
            break;
        case HostileMode::Oversized: {
            // Past every limit the PC sets on what it shows or keeps.
            const auto id = static_cast<std::int32_t>(++hostile_count_);
            if (engine_->send_business(NOTIFICATION_PUSH,
                                       notification_push(id % 40, std::string(std::size_t{64} * 1024, 'T'), std::string(std::size_t{256} * 1024, 'x')),
                                       ts, false))
                ++hostile_sent_;
            pb::ClipboardPush clip;
            clip.set_kind(1);
            clip.set_data(std::string(std::size_t{40} * 1024, 'c'));
            clip.set_mime("text/plain");
            clip.set_ts_ms(ts);
            (void)engine_->send_business(CLIPBOARD_PUSH, encode_clipboard_push(clip), ts, false);
            if (tcp) (void)engine_->send_business(NOTIFICATION_PUSH, random_bytes(FRAME_MAX_PAYLOAD - 64), ts, false);
            break;
        }
    }
}

}  // namespace dovan::phonesim
