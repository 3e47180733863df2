// Sealing and opening of encrypted frame payloads with the session key: ChaCha20-Poly1305
// under a per-frame nonce, with the frame's 13 header bytes as associated data.
//
// Use: the sender computes frame_nonce(key, send_dir(role), seq, session_id), writes the
// header (FLAG_ENCRYPTED, payload_len = plaintext length) and appends the sealed payload
// after it with seal_frame_payload_into. The receiver uses receive_dir(role) and the
// header bytes exactly as received.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "common/text.h"
#include "crypto/crypto_error.h"
#include "crypto/key_schedule.h"
#include "crypto/primitives.h"

namespace dovan {

inline constexpr std::size_t kFrameHeaderLen = 13;

// dir is 1 for frames written by the initiator, 2 for the responder's; `role` is the
// role byte (0 initiator, 1 responder).
std::uint8_t send_dir(std::uint8_t role);
std::uint8_t receive_dir(std::uint8_t role);

// First 12 bytes of HMAC-SHA256(session key, dir ‖ BE32(seq) ‖ session id).
AeadNonce frame_nonce(const Key32& session_key, std::uint8_t dir, std::uint32_t seq,
                      const SessionId& session_id);

// Appends ciphertext ‖ tag (plaintext length + 16) to `out`. `header` must be 13 bytes.
void seal_frame_payload_into(const Key32& session_key, const AeadNonce& nonce, ByteView header,
                             ByteView plaintext, Bytes& out);
Bytes seal_frame_payload(const Key32& session_key, const AeadNonce& nonce, ByteView header,
                         ByteView plaintext);

// Fails with the AEAD-open error for a payload under 16 bytes or a tag mismatch, and with
// a length error for a header that is not 13 bytes.
Result<Bytes, CryptoError> open_frame_payload(const Key32& session_key, const AeadNonce& nonce,
                                              ByteView header, ByteView sealed);
// The same, decrypting over the sealed bytes themselves: the plaintext is the front of
// `sealed`. On failure those bytes are wiped.
Result<ByteView, CryptoError> open_frame_payload_in_place(const Key32& session_key, const AeadNonce& nonce,
                                                          ByteView header, std::span<std::uint8_t> sealed);

}  // namespace dovan
