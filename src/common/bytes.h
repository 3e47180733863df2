// Big-endian (network order) integer coding, the one order every wire field uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/text.h"

namespace dovan {

// Appends the low `width` bytes of `value`, most significant first.
inline void put_be(Bytes& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Writes the low `width` bytes of `value` at `at`, most significant first.
inline void store_be(std::uint8_t* at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

// The bytes as one unsigned number, most significant first; callers bound the length.
inline std::uint64_t read_be(ByteView bytes) {
    std::uint64_t v = 0;
    for (std::uint8_t b : bytes) v = (v << 8) | b;
    return v;
}

inline std::uint16_t read_be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(read_be({p, 2})); }
inline std::uint32_t read_be32(const std::uint8_t* p) { return static_cast<std::uint32_t>(read_be({p, 4})); }

}  // namespace dovan
