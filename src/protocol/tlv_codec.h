// TLV lists for small control payloads: one byte tag, one byte length, the value; at most
// 64 bytes encoded and 32 records decoded. No count, no terminator: the list ends where
// the payload ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/text.h"

namespace dovan {

constexpr std::size_t TLV_MAX_ENCODED = 64;
constexpr std::size_t TLV_MAX_RECORDS = 32;
constexpr std::size_t TLV_MAX_VALUE = 255;
// HELLO's four records fit the 64-byte budget only with these cuts: (2+32)+(2+1)+(2+15)+(2+8).
constexpr std::size_t HELLO_NAME_MAX = 32;
constexpr std::size_t HELLO_VERSION_MAX = 15;

constexpr std::uint8_t TAG_NAME = 1;
constexpr std::uint8_t TAG_OS = 2;
constexpr std::uint8_t TAG_VERSION = 3;
constexpr std::uint8_t TAG_SAS = 17;
constexpr std::uint8_t TAG_PING = 32;
constexpr std::uint8_t TAG_PONG = 33;
constexpr std::uint8_t TAG_NONCE_TCP = 48;
constexpr std::uint8_t TAG_FINGERPRINT = 50;
constexpr std::uint8_t TAG_BIND_TAG = 51;
constexpr std::uint8_t TAG_FILE_ID = 52;
constexpr std::uint8_t TAG_RESUME_FROM = 53;
constexpr std::uint8_t TAG_HELLO_SEQ = 54;

struct TlvRecord {
    std::uint8_t tag = 0;
    Bytes value;
    bool operator==(const TlvRecord&) const = default;
};

struct TlvError {
    enum class Kind : std::uint8_t { Truncated, TagNotFound, TooLarge, TooManyEntries, LengthMismatch };
    Kind kind = Kind::Truncated;
    std::size_t offset = 0;  // Truncated: where the record that runs past the end starts
    std::size_t len = 0;     // Truncated: declared value length (0 if the length byte is missing);
                             // TooLarge: the offending length
    std::uint8_t tag = 0;    // TagNotFound
    std::size_t limit = 0;   // TooManyEntries: always 32

    static TlvError truncated(std::size_t offset, std::size_t len) {
        return {Kind::Truncated, offset, len, 0, 0};
    }
    static TlvError tag_not_found(std::uint8_t tag) { return {Kind::TagNotFound, 0, 0, tag, 0}; }
    static TlvError too_large(std::size_t len) { return {Kind::TooLarge, 0, len, 0, 0}; }
    static TlvError too_many_entries() { return {Kind::TooManyEntries, 0, 0, 0, TLV_MAX_RECORDS}; }
    static TlvError length_mismatch() { return {Kind::LengthMismatch, 0, 0, 0, 0}; }

    std::string display() const;
    // Variant and field names, for logs and test failures: "Truncated { offset: 0, len: 3 }".
    std::string debug() const;
    bool operator==(const TlvError&) const = default;
};

Result<Bytes, TlvError> encode_tlvs(std::span<const TlvRecord> records);
Result<std::vector<TlvRecord>, TlvError> decode_tlvs(ByteView input);
// The value of the first record with `tag`; nothing when absent; the decoding error when the
// whole input is not a well-formed list.
Result<std::optional<Bytes>, TlvError> find_tlv(ByteView input, std::uint8_t tag);
// The 3-byte record {tag, 1, 0x00} (heartbeat ping and pong).
Bytes single_tlv(std::uint8_t tag);

}  // namespace dovan
