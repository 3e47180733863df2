// Fixed-width integer coding: every wire field, nonce and length prefix goes through here.
// Most fields are big-endian (network order); the protobuf fixed64 and the ChaCha nonce
// counter are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/text.h"

namespace dovan {

namespace bytes_detail {

template <class T, std::size_t N>
constexpr T load_be(const std::uint8_t* p) {
    T v = 0;
    for (std::size_t i = 0; i < N; ++i) v = static_cast<T>((v << 8) | p[i]);
    return v;
}

template <class T, std::size_t N>
constexpr T load_le(const std::uint8_t* p) {
    T v = 0;
    for (std::size_t i = N; i-- > 0;) v = static_cast<T>((v << 8) | p[i]);
    return v;
}

template <std::size_t N>
constexpr void store_be(std::uint8_t* p, std::uint64_t v) {
    for (std::size_t i = N; i-- > 0; v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

template <std::size_t N>
constexpr void store_le(std::uint8_t* p, std::uint64_t v) {
    for (std::size_t i = 0; i < N; ++i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

}  // namespace bytes_detail

// Loads read exactly that many bytes at `p`; callers have checked the length.
constexpr std::uint16_t load_be16(const std::uint8_t* p) { return bytes_detail::load_be<std::uint16_t, 2>(p); }
constexpr std::uint32_t load_be24(const std::uint8_t* p) { return bytes_detail::load_be<std::uint32_t, 3>(p); }
constexpr std::uint32_t load_be32(const std::uint8_t* p) { return bytes_detail::load_be<std::uint32_t, 4>(p); }
constexpr std::uint64_t load_be64(const std::uint8_t* p) { return bytes_detail::load_be<std::uint64_t, 8>(p); }
constexpr std::uint16_t load_le16(const std::uint8_t* p) { return bytes_detail::load_le<std::uint16_t, 2>(p); }
constexpr std::uint32_t load_le32(const std::uint8_t* p) { return bytes_detail::load_le<std::uint32_t, 4>(p); }
constexpr std::uint64_t load_le64(const std::uint8_t* p) { return bytes_detail::load_le<std::uint64_t, 8>(p); }

// Stores write the low bytes of `v`; the higher ones are dropped.
constexpr void store_be16(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_be<2>(p, v); }
constexpr void store_be24(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_be<3>(p, v); }
constexpr void store_be32(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_be<4>(p, v); }
constexpr void store_be64(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_be<8>(p, v); }
constexpr void store_le16(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_le<2>(p, v); }
constexpr void store_le32(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_le<4>(p, v); }
constexpr void store_le64(std::uint8_t* p, std::uint64_t v) { bytes_detail::store_le<8>(p, v); }

// Appends the low `width` bytes of `value`, most significant first.
inline void put_be(Bytes& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The bytes as one unsigned number, most significant first; callers bound the length to 8.
constexpr std::uint64_t read_be(ByteView bytes) {
    std::uint64_t v = 0;
    for (std::uint8_t b : bytes) v = (v << 8) | b;
    return v;
}

enum class Endian { Big, Little };

// A cursor over a buffer that never reads past its end: a read that does not fit returns
// nothing and leaves the position where it was, so a parser can report where it stopped.
class ByteReader {
public:
    constexpr explicit ByteReader(ByteView in) : in_(in) {}

    constexpr std::size_t position() const { return pos_; }
    constexpr std::size_t remaining() const { return in_.size() - pos_; }
    constexpr bool at_end() const { return pos_ == in_.size(); }

    constexpr std::optional<ByteView> read_bytes(std::size_t n) {
        if (n > remaining()) return std::nullopt;
        const ByteView v = in_.subspan(pos_, n);
        pos_ += n;
        return v;
    }

    constexpr std::optional<std::uint8_t> read_u8() {
        if (at_end()) return std::nullopt;
        return in_[pos_++];
    }
    constexpr std::optional<std::uint16_t> read_u16(Endian e = Endian::Big) { return read<std::uint16_t, 2>(e); }
    constexpr std::optional<std::uint32_t> read_u32(Endian e = Endian::Big) { return read<std::uint32_t, 4>(e); }
    constexpr std::optional<std::uint64_t> read_u64(Endian e = Endian::Big) { return read<std::uint64_t, 8>(e); }

private:
    template <class T, std::size_t N>
    constexpr std::optional<T> read(Endian e) {
        const auto v = read_bytes(N);
        if (!v) return std::nullopt;
        return e == Endian::Big ? bytes_detail::load_be<T, N>(v->data()) : bytes_detail::load_le<T, N>(v->data());
    }

    ByteView in_;
    std::size_t pos_ = 0;
};

}  // namespace dovan
