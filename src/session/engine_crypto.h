// The engine's narrow view of the secure channel: the key schedule at handshake end and
// the sealing and opening of frames. Kept in one place so the engine
// reads as protocol logic, not as calls into the crypto library.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/result.h"
#include "common/text.h"
#include "crypto/crypto_error.h"
#include "crypto/noise.h"
#include "protocol/frame.h"

namespace dovan {

struct SessionSecrets {
    Key32 session_key{};
    std::array<std::uint8_t, 16> session_id{};
    std::uint32_t sas = 0;
    std::string static_fp;
};

Result<SessionSecrets, CryptoError> derive_session_secrets(ByteView handshake_hash,
                                                           const SplitKeys& keys,
                                                           const Key32& remote_static);

// Seals a frame's plaintext under the session key and returns the whole frame: the header,
// the ciphertext, the tag, sealed straight into one buffer. `header` must already carry
// FLAG_ENCRYPTED and the plaintext length, at most FRAME_MAX_PAYLOAD.
Bytes seal_frame(const Key32& session_key, const std::array<std::uint8_t, 16>& session_id,
                 std::uint8_t own_role, const FrameHeader& header, ByteView plaintext);
Result<Bytes, CryptoError> open_frame(const Key32& session_key,
                                      const std::array<std::uint8_t, 16>& session_id,
                                      std::uint8_t own_role, const FrameHeader& header,
                                      ByteView sealed);
// Opens over the sealed bytes: the plaintext is their front.
Result<ByteView, CryptoError> open_frame_in_place(const Key32& session_key,
                                                  const std::array<std::uint8_t, 16>& session_id,
                                                  std::uint8_t own_role, const FrameHeader& header,
                                                  std::span<std::uint8_t> sealed);

}  // namespace dovan
