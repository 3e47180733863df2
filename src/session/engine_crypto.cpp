#include "session/engine_crypto.h"

#include "crypto/cipher.h"
#include "crypto/key_schedule.h"

namespace dovan {

Result<SessionSecrets, CryptoError> derive_session_secrets(ByteView handshake_hash,
                                                           const SplitKeys& keys,
                                                           const Key32& remote_static) {
    auto derived = derive_session_keys(handshake_hash, keys, remote_static);
    if (!derived) return fail(std::move(derived.error()));
    SessionSecrets s;
    s.session_key = derived->session_key;
    s.session_id = derived->session_id;
    s.sas = derived->sas;
    s.static_fp = std::move(derived->static_fp);
    return s;
}

Bytes seal_frame(const Key32& session_key, const std::array<std::uint8_t, 16>& session_id,
                 std::uint8_t own_role, const FrameHeader& header, ByteView plaintext) {
    const auto head = write_header(header);
    const AeadNonce nonce = frame_nonce(session_key, send_dir(own_role), header.seq, session_id);
    Bytes frame;
    frame.reserve(head.size() + plaintext.size() + kAeadTagLen);
    frame.assign(head.begin(), head.end());
    seal_frame_payload_into(session_key, nonce, head, plaintext, frame);
    return frame;
}

Result<Bytes, CryptoError> open_frame(const Key32& session_key,
                                      const std::array<std::uint8_t, 16>& session_id,
                                      std::uint8_t own_role, const FrameHeader& header,
                                      ByteView sealed) {
    const auto head = write_header(header);
    const AeadNonce nonce = frame_nonce(session_key, receive_dir(own_role), header.seq, session_id);
    return open_frame_payload(session_key, nonce, head, sealed);
}

Result<ByteView, CryptoError> open_frame_in_place(const Key32& session_key,
                                                  const std::array<std::uint8_t, 16>& session_id,
                                                  std::uint8_t own_role, const FrameHeader& header,
                                                  std::span<std::uint8_t> sealed) {
    const auto head = write_header(header);
    const AeadNonce nonce = frame_nonce(session_key, receive_dir(own_role), header.seq, session_id);
    return open_frame_payload_in_place(session_key, nonce, head, sealed);
}

}  // namespace dovan
