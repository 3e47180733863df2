// The two resolvers of our Noise machinery.
//
// standard_noise_resolver(): the primitives exactly as the Noise framework publishes them
// (little-endian nonce, no extra key checks). It exists to prove the machinery against
// the public test vectors and is never used on a link.
//
// dovan_noise_resolver(): the program's resolver, used for every real handshake. It
// differs in the nonce byte order (big-endian counter, which the phone uses too) and in
// refusing short keys, small-order peer keys and all-zero shared secrets, each with its
// crypto debug event.
#pragma once

#include <array>

#include "crypto/noise.h"

namespace dovan {

const NoiseResolver& standard_noise_resolver();
const NoiseResolver& dovan_noise_resolver();

// The seven X25519 points of small order, little-endian.
extern const std::array<Key32, 7> kX25519SmallOrderPoints;

// True when `public_key` equals one of them, ignoring the top bit of byte 31.
bool x25519_is_small_order(const Key32& public_key);

}  // namespace dovan
