// Binding a TCP connection to the BLE session: a key derived from the session key, and
// proofs over 16-byte nonces that each side checks in constant time.
//
// Use: when a TCP connection is accepted while paired, derive the key once; answer the
// peer's nonce with binding_proof, and check the peer's proof over our nonce with
// binding_proof_matches.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "common/result.h"
#include "common/text.h"
#include "crypto/crypto_error.h"
#include "crypto/primitives.h"

namespace dovan {

inline constexpr std::string_view kChannelBindSalt = "dovan/v1";
inline constexpr std::string_view kChannelBindInfo = "channel-bind-key";
inline constexpr std::size_t kBindingNonceLen = 16;

using BindingProof = std::array<std::uint8_t, 16>;

Key32 derive_channel_binding_key(const Key32& session_key);

// First 16 bytes of HMAC-SHA256(binding key, nonce); a nonce that is not 16 bytes is a
// length error naming `nonce`.
Result<BindingProof, CryptoError> binding_proof(const Key32& binding_key, ByteView nonce);

// Constant time: every byte is examined whatever the first difference.
bool binding_proof_matches(const BindingProof& expected, ByteView received);

}  // namespace dovan
