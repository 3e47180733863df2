#include "protocol/frame.h"

#include "common/bytes.h"

namespace dovan {

std::string_view frame_type_name(std::uint8_t type) {
    switch (type) {
        case HELLO: return "HELLO";
        case CHALLENGE: return "CHALLENGE";
        case REPLY: return "REPLY";
        case PAIR_CONFIRM: return "PAIR_CONFIRM";
        case PAIR_DONE: return "PAIR_DONE";
        case BIND: return "BIND";
        case FILE_RESUME: return "FILE_RESUME";
        case CONFIG_SYNC: return "CONFIG_SYNC";
        case IDENTITY: return "IDENTITY";
        case NOTIFICATION_PUSH: return "NOTIFICATION_PUSH";
        case NOTIFICATION_REPLY: return "NOTIFICATION_REPLY";
        case NOTIFICATION_DISMISS: return "NOTIFICATION_DISMISS";
        case NOTIFICATION_REPLY_ACK: return "NOTIFICATION_REPLY_ACK";
        case CLIPBOARD_PUSH: return "CLIPBOARD_PUSH";
        case FILE_META: return "FILE_META";
        case FILE_CHUNK: return "FILE_CHUNK";
        case FILE_DONE: return "FILE_DONE";
        case FILE_CANCEL: return "FILE_CANCEL";
        case ALBUM_LIST_REQUEST: return "ALBUM_LIST_REQUEST";
        case ALBUM_LIST: return "ALBUM_LIST";
        case ALBUM_THUMB_REQUEST: return "ALBUM_THUMB_REQUEST";
        case ALBUM_THUMB: return "ALBUM_THUMB";
        case ALBUM_FULL_REQUEST: return "ALBUM_FULL_REQUEST";
        case HEARTBEAT: return "HEARTBEAT";
        case MEDIA_STATE: return "MEDIA_STATE";
        case MEDIA_COMMAND: return "MEDIA_COMMAND";
        case DEVICE_STATUS: return "DEVICE_STATUS";
        default: return {};
    }
}

bool is_known_frame_type(std::uint8_t type) { return !frame_type_name(type).empty(); }

bool is_clear_frame_type(std::uint8_t type) {
    return type == HELLO || type == CHALLENGE || type == REPLY || type == BIND || type == HEARTBEAT;
}

bool is_tcp_only_frame_type(std::uint8_t type) {
    return type == ALBUM_LIST_REQUEST || type == ALBUM_THUMB_REQUEST || type == ALBUM_FULL_REQUEST;
}

std::string FrameError::display() const {
    switch (kind) {
        case Kind::TooShort: return format_text("输入不足 {} 字节", value);
        case Kind::BadMagic: return "magic 不匹配（0x" + hex_upper(value, 4) + "）";
        case Kind::BadVersion: return "协议版本不匹配（0x" + hex_upper(value, 2) + "）";
        case Kind::PayloadTooLarge: return format_text("payload_len 超出上限 {}", value);
        case Kind::FrameLengthMismatch: return format_text("帧长校验失败：需要 {} 但只有 {}", value, have);
    }
    return {};
}

Result<FrameHeader, FrameError> parse_header(ByteView input) {
    if (input.size() < FRAME_HEADER_LEN) return fail(FrameError::too_short(input.size()));
    if (input[0] != FRAME_MAGIC_0 || input[1] != FRAME_MAGIC_1) {
        return fail(FrameError::bad_magic(load_be16(input.data())));
    }
    if (input[2] != FRAME_VERSION) return fail(FrameError::bad_version(input[2]));
    FrameHeader h;
    h.version = input[2];
    h.type = input[3];
    h.flags = input[4];
    h.seq = load_be32(input.data() + 5);
    h.payload_len = load_be32(input.data() + 9);
    if (h.payload_len > FRAME_MAX_PAYLOAD) return fail(FrameError::payload_too_large(h.payload_len));
    return h;
}

Result<Frame, FrameError> decode_frame(ByteView input) {
    auto header = parse_header(input);
    if (!header) return fail(header.error());
    const std::size_t need = header->frame_len();
    if (input.size() < need) return fail(FrameError::length_mismatch(need, input.size()));
    auto body = input.subspan(FRAME_HEADER_LEN, header->body_len());
    return Frame{*header, Bytes(body.begin(), body.end())};
}

std::array<std::uint8_t, FRAME_HEADER_LEN> write_header(const FrameHeader& header) {
    std::array<std::uint8_t, FRAME_HEADER_LEN> out{};
    out[0] = FRAME_MAGIC_0;
    out[1] = FRAME_MAGIC_1;
    out[2] = FRAME_VERSION;
    out[3] = header.type;
    out[4] = header.flags;
    store_be32(out.data() + 5, header.seq);
    store_be32(out.data() + 9, header.payload_len);
    return out;
}

Result<Bytes, FrameError> encode_frame(const FrameHeader& header, ByteView payload) {
    // A frame the peer's parser would refuse is never put on the wire.
    if (header.payload_len > FRAME_MAX_PAYLOAD) return fail(FrameError::payload_too_large(header.payload_len));
    const std::size_t need = header.body_len();
    if (payload.size() != need) return fail(FrameError::length_mismatch(need, payload.size()));
    Bytes out;
    out.reserve(FRAME_HEADER_LEN + payload.size());
    const auto head = write_header(header);
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace dovan
