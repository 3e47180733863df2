// The operating system's CSPRNG (through OpenSSL), for ephemeral keys, nonces and tokens.
#pragma once

#include <cstdint>
#include <span>

namespace dovan {

// Fills `out` with random bytes; false only when the random source is unusable.
[[nodiscard]] bool random_fill(std::span<std::uint8_t> out);

}  // namespace dovan
