// The device identity: a long-lived RSA-2048 key (exponent 65537) that signs each Noise
// session's handshake hash, so a peer learns which device sits behind the session.
//
// Use (stores): DeviceIdentity::generate() once, keep private_pkcs8_der(), and
// from_pkcs8_der() on later starts; public_spki_der() and fingerprint() identify it.
// Use (engine): at handshake completion send build_identity_payload(local, h); on an
// IDENTITY frame call parse_identity_payload and then verify_identity with this side's
// own handshake hash. Both emit their crypto events; errors carry the engine code
// (-212 ends pairing, -1 drops the frame) and the display text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/text.h"

struct evp_pkey_st;

namespace dovan {

inline constexpr std::string_view kIdentityBindLabel = "dovan/v1/identity-bind";
inline constexpr std::size_t kIdentityBindMessageLen = 54;
inline constexpr int kIdentityKeyBits = 2048;
inline constexpr std::size_t kIdentitySignatureLen = 256;
inline constexpr int kIdentityErrorCode = -212;

inline constexpr std::string_view kPublicKeyParseError = "公钥解析失败（SPKI DER）";
inline constexpr std::string_view kPrivateKeyParseError = "私钥解析失败（PKCS#8 DER）";
inline constexpr std::string_view kIdentitySignError = "本机身份签名失败";
inline constexpr std::string_view kIdentityPayloadTooLong = "本机身份载荷超出长度前缀上限";
inline constexpr std::string_view kIdentityMalformed = "IDENTITY 载荷畸形";
inline constexpr std::string_view kIdentityVerifyFailed = "设备身份校验失败（签名与本次握手不匹配），已终止配对";

// 16 lower-case hex characters: the first 8 bytes of SHA-256 over the DER bytes as given.
std::string fingerprint(ByteView spki_der);

// "dovan/v1/identity-bind" followed by the handshake hash.
Bytes identity_binding_message(ByteView handshake_hash);

class DeviceIdentity {
public:
    static Result<DeviceIdentity> generate();
    // Any RSA key in PKCS#8 DER, in its one canonical encoding; other input fails with
    // "私钥解析失败（PKCS#8 DER）".
    static Result<DeviceIdentity> from_pkcs8_der(ByteView der);

    Bytes private_pkcs8_der() const;
    Bytes public_spki_der() const;
    std::string fingerprint() const;
    int bits() const;

    // PKCS#1 v1.5 SHA-256 signature over `message`.
    Result<Bytes> sign(ByteView message) const;

private:
    explicit DeviceIdentity(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}
    std::shared_ptr<evp_pkey_st> key_;  // never modified once made, so copies share it
};

// PKCS#1 v1.5 SHA-256 verification against a SubjectPublicKeyInfo DER key; false for a
// key that does not parse.
bool rsa_verify(ByteView spki_der, ByteView message, ByteView signature);

// Signs the binding message for `handshake_hash` (crypto "identity.sign") and lays out
// key_len ‖ SPKI ‖ sig_len ‖ signature. Errors carry code -212.
Result<Bytes> build_identity_payload(const DeviceIdentity& local, ByteView handshake_hash);

// Views into a received payload; valid while the payload is.
struct IdentityPayload {
    ByteView public_key;
    ByteView signature;
};
// Length checks only: the two length-prefixed parts must fill the payload exactly, else
// "IDENTITY 载荷畸形" with code -1.
Result<IdentityPayload> parse_identity_payload(ByteView payload);

struct VerifiedIdentity {
    std::string fingerprint;
    Bytes public_key;  // SPKI DER exactly as received
};
struct IdentityRejection {
    std::string reason;  // "bad_sig_len", "bad_public_key", "bad_key_bits", "bad_public_exponent", "bad_signature"
    int bits = 0;        // set for "bad_key_bits"
    Error error;         // code -212, "设备身份校验失败…"

    const std::string& display() const { return error.text; }
};
// The checks in order (signature length, SPKI of an RSA key, 2048 bits, exponent 65537,
// signature over our own handshake hash), stopping at the first failure, each with its
// "identity.verify" event.
Result<VerifiedIdentity, IdentityRejection> verify_identity(const IdentityPayload& payload,
                                                            ByteView handshake_hash);

}  // namespace dovan
