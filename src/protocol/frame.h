// Frames: the unit exchanged over BLE and TCP alike. A fixed 13-byte header (magic "DV",
// version, type, flags, seq, payload_len; integers big-endian) followed by the payload, plus
// a 16-byte AEAD tag when the payload is encrypted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/text.h"

namespace dovan {

constexpr std::size_t FRAME_HEADER_LEN = 13;
constexpr std::size_t FRAME_TAG_LEN = 16;
constexpr std::uint32_t FRAME_MAX_PAYLOAD = 1048576;  // 0x100000
constexpr std::uint8_t FRAME_VERSION = 1;
constexpr std::uint8_t FRAME_MAGIC_0 = 0x44;  // 'D'
constexpr std::uint8_t FRAME_MAGIC_1 = 0x56;  // 'V'

constexpr std::uint8_t FLAG_ENCRYPTED = 0x10;

// Frame types. Any other value is undefined.
constexpr std::uint8_t HELLO = 0x01;
constexpr std::uint8_t CHALLENGE = 0x02;
constexpr std::uint8_t REPLY = 0x03;
constexpr std::uint8_t PAIR_CONFIRM = 0x04;
constexpr std::uint8_t PAIR_DONE = 0x05;
constexpr std::uint8_t BIND = 0x06;
constexpr std::uint8_t FILE_RESUME = 0x07;
constexpr std::uint8_t CONFIG_SYNC = 0x08;
constexpr std::uint8_t IDENTITY = 0x09;
constexpr std::uint8_t NOTIFICATION_PUSH = 0x10;
constexpr std::uint8_t NOTIFICATION_REPLY = 0x11;
constexpr std::uint8_t NOTIFICATION_DISMISS = 0x12;
constexpr std::uint8_t NOTIFICATION_REPLY_ACK = 0x13;
constexpr std::uint8_t CLIPBOARD_PUSH = 0x20;
constexpr std::uint8_t FILE_META = 0x30;
constexpr std::uint8_t FILE_CHUNK = 0x31;
constexpr std::uint8_t FILE_DONE = 0x32;
constexpr std::uint8_t FILE_CANCEL = 0x33;
constexpr std::uint8_t ALBUM_LIST_REQUEST = 0x60;
constexpr std::uint8_t ALBUM_LIST = 0x61;
constexpr std::uint8_t ALBUM_THUMB_REQUEST = 0x62;
constexpr std::uint8_t ALBUM_THUMB = 0x63;
constexpr std::uint8_t ALBUM_FULL_REQUEST = 0x64;
constexpr std::uint8_t HEARTBEAT = 0x70;
constexpr std::uint8_t MEDIA_STATE = 0x80;
constexpr std::uint8_t MEDIA_COMMAND = 0x81;
constexpr std::uint8_t DEVICE_STATUS = 0x82;

// Upper-case name of a known type ("HELLO"), or empty for an undefined value.
std::string_view frame_type_name(std::uint8_t type);
bool is_known_frame_type(std::uint8_t type);
// HELLO, CHALLENGE, REPLY, BIND and HEARTBEAT: handled before any session key exists.
bool is_clear_frame_type(std::uint8_t type);
// ALBUM_*_REQUEST: only ever sent over the TCP channel.
bool is_tcp_only_frame_type(std::uint8_t type);

struct FrameHeader {
    std::uint32_t seq = 0;
    std::uint32_t payload_len = 0;
    std::uint8_t version = FRAME_VERSION;
    std::uint8_t type = 0;
    std::uint8_t flags = 0;

    bool encrypted() const { return (flags & FLAG_ENCRYPTED) != 0; }
    // Payload bytes that follow the header: payload_len plus the tag when encrypted.
    std::size_t body_len() const { return payload_len + (encrypted() ? FRAME_TAG_LEN : 0); }
    std::size_t frame_len() const { return FRAME_HEADER_LEN + body_len(); }
    bool operator==(const FrameHeader&) const = default;
};

struct FrameError {
    enum class Kind : std::uint8_t { TooShort, BadMagic, BadVersion, PayloadTooLarge, FrameLengthMismatch };
    Kind kind = Kind::TooShort;
    // TooShort: input length; BadMagic: the two bytes as BE u16; BadVersion: the byte;
    // PayloadTooLarge: payload_len; FrameLengthMismatch: need.
    std::uint64_t value = 0;
    std::uint64_t have = 0;  // FrameLengthMismatch only

    static FrameError too_short(std::size_t len) { return {Kind::TooShort, len, 0}; }
    static FrameError bad_magic(std::uint16_t m) { return {Kind::BadMagic, m, 0}; }
    static FrameError bad_version(std::uint8_t v) { return {Kind::BadVersion, v, 0}; }
    static FrameError payload_too_large(std::uint32_t n) { return {Kind::PayloadTooLarge, n, 0}; }
    static FrameError length_mismatch(std::size_t need, std::size_t have) {
        return {Kind::FrameLengthMismatch, need, have};
    }

    std::string display() const;
    bool operator==(const FrameError&) const = default;
};

// A decoded frame: the header and its owned payload (ciphertext and tag when encrypted).
struct Frame {
    FrameHeader header;
    Bytes payload;
};

Result<FrameHeader, FrameError> parse_header(ByteView input);
// Bytes beyond the frame's own length are ignored.
Result<Frame, FrameError> decode_frame(ByteView input);
// Always writes version 1, whatever the header holds.
std::array<std::uint8_t, FRAME_HEADER_LEN> write_header(const FrameHeader& header);
Result<Bytes, FrameError> encode_frame(const FrameHeader& header, ByteView payload);

}  // namespace dovan
