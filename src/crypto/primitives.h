// The primitives every secure-channel piece is built from, over OpenSSL 3: SHA-256,
// HMAC-SHA256, HKDF-SHA256, X25519, ChaCha20-Poly1305 with a raw 12-byte nonce, and a
// constant-time comparison. No policy here: key checks and events live with the callers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/text.h"

namespace dovan {

using Key32 = std::array<std::uint8_t, 32>;
using Digest32 = std::array<std::uint8_t, 32>;
using AeadNonce = std::array<std::uint8_t, 12>;

inline constexpr std::size_t kAeadTagLen = 16;

// Digests of the concatenation of `parts`.
Digest32 sha256(std::initializer_list<ByteView> parts);
Digest32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts);
// RFC 5869; `length` at most 255 * 32.
Bytes hkdf_sha256(ByteView salt, ByteView ikm, ByteView info, std::size_t length);

// X25519 (RFC 7748, scalar clamped by the primitive).
Key32 x25519_public(const Key32& private_key);
// False when the primitive refuses, which it does for an all-zero shared secret.
bool x25519(const Key32& private_key, const Key32& peer_public, Key32& shared);

// ChaCha20-Poly1305. `out` receives plain.size() + 16 bytes (ciphertext then tag).
void aead_seal(const Key32& key, const AeadNonce& nonce, ByteView ad, ByteView plain,
               std::uint8_t* out);
// `sealed` is ciphertext then tag; `out` receives sealed.size() - 16 bytes and may be
// sealed.data() itself. False on a short input or a tag mismatch (then `out` holds nothing
// meaningful).
bool aead_open(const Key32& key, const AeadNonce& nonce, ByteView ad, ByteView sealed,
               std::uint8_t* out);

// Examines every byte whatever the first difference; different lengths are unequal.
bool constant_time_equal(ByteView a, ByteView b);

}  // namespace dovan
