#include "crypto/cipher.h"

#include <algorithm>

#include "common/bytes.h"

namespace dovan {

std::uint8_t send_dir(std::uint8_t role) { return static_cast<std::uint8_t>(role + 1); }
std::uint8_t receive_dir(std::uint8_t role) { return static_cast<std::uint8_t>(2 - role); }

AeadNonce frame_nonce(const Key32& session_key, std::uint8_t dir, std::uint32_t seq,
                      const SessionId& session_id) {
    std::uint8_t prefix[5] = {dir};
    store_be32(prefix + 1, seq);
    const Digest32 mac = hmac_sha256(session_key, {prefix, session_id});
    AeadNonce nonce{};
    std::copy_n(mac.begin(), nonce.size(), nonce.begin());
    return nonce;
}

void seal_frame_payload_into(const Key32& session_key, const AeadNonce& nonce, ByteView header,
                             ByteView plaintext, Bytes& out) {
    const ByteView parts[] = {plaintext};
    seal_frame_payload_into(session_key, nonce, header, parts, out);
}

void seal_frame_payload_into(const Key32& session_key, const AeadNonce& nonce, ByteView header,
                             ByteParts plaintext, Bytes& out) {
    invariant(header.size() == kFrameHeaderLen, "帧头必为 13 字节");
    std::size_t len = 0;
    for (ByteView piece : plaintext) len += piece.size();
    const std::size_t at = out.size();
    out.resize(at + len + kAeadTagLen);
    aead_seal(session_key, nonce, header, plaintext, out.data() + at);
}

Bytes seal_frame_payload(const Key32& session_key, const AeadNonce& nonce, ByteView header,
                         ByteView plaintext) {
    Bytes out;
    out.reserve(plaintext.size() + kAeadTagLen);
    seal_frame_payload_into(session_key, nonce, header, plaintext, out);
    return out;
}

Result<Bytes, CryptoError> open_frame_payload(const Key32& session_key, const AeadNonce& nonce,
                                              ByteView header, ByteView sealed) {
    if (header.size() != kFrameHeaderLen) return fail(length_error("header", header.size(), kFrameHeaderLen));
    if (sealed.size() < kAeadTagLen) return fail(open_failed_error());
    Bytes plain(sealed.size() - kAeadTagLen);
    if (!aead_open(session_key, nonce, header, sealed, plain.data())) return fail(open_failed_error());
    return plain;
}

Result<ByteView, CryptoError> open_frame_payload_in_place(const Key32& session_key, const AeadNonce& nonce,
                                                          ByteView header, std::span<std::uint8_t> sealed) {
    if (header.size() != kFrameHeaderLen) return fail(length_error("header", header.size(), kFrameHeaderLen));
    if (sealed.size() < kAeadTagLen) return fail(open_failed_error());
    // The stream cipher writes each byte over the one it came from; the tag lies beyond them.
    if (!aead_open(session_key, nonce, header, sealed, sealed.data())) return fail(open_failed_error());
    return ByteView(sealed.first(sealed.size() - kAeadTagLen));
}

}  // namespace dovan
