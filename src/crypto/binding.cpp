#include "crypto/binding.h"

#include <algorithm>

namespace dovan {

Key32 derive_channel_binding_key(const Key32& session_key) {
    const Bytes okm = hkdf_sha256(as_bytes(kChannelBindSalt), session_key, as_bytes(kChannelBindInfo), 32);
    Key32 key{};
    std::copy(okm.begin(), okm.end(), key.begin());
    return key;
}

Result<BindingProof, CryptoError> binding_proof(const Key32& binding_key, ByteView nonce) {
    if (nonce.size() != kBindingNonceLen) return fail(length_error("nonce", nonce.size(), kBindingNonceLen));
    const Digest32 mac = hmac_sha256(binding_key, {nonce});
    BindingProof proof{};
    std::copy_n(mac.begin(), proof.size(), proof.begin());
    return proof;
}

bool binding_proof_matches(const BindingProof& expected, ByteView received) {
    return constant_time_equal(expected, received);
}

}  // namespace dovan
