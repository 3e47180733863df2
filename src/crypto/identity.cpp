#include "crypto/identity.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

#include "common/bytes.h"
#include "platform/debug_log.h"
#include "crypto/primitives.h"

namespace dovan {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct P8Free {
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::shared_ptr<EVP_PKEY> share(EVP_PKEY* p) { return {p, PkeyFree{}}; }

template <class I2d, class T>
Bytes to_der(I2d i2d, T* obj) {
    const int len = i2d(obj, nullptr);
    invariant(len > 0, "DER 编码失败");
    Bytes out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    invariant(i2d(obj, &p) == len, "DER 编码失败");
    return out;
}

bool same_bytes(ByteView a, ByteView b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

// A strict parse: the input must be exactly the key's own DER encoding. The parser also
// takes BER forms (long-form lengths, trailing bytes), which would give one key several
// fingerprints.
PkeyPtr parse_spki(ByteView der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
    const unsigned char* p = der.data();
    PkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    if (!key || p != der.data() + der.size()) return nullptr;
    const int len = i2d_PUBKEY(key.get(), nullptr);
    if (len <= 0 || !same_bytes(to_der(i2d_PUBKEY, key.get()), der)) return nullptr;
    return key;
}

Unexpected<IdentityRejection> reject(std::string reason, int bits = 0) {
    if (debug_log_enabled()) {
        DebugFields fields = {{"ok", "false"}, {"reason", reason}};
        if (reason == "bad_key_bits") fields.push_back({"bits", std::to_string(bits)});
        emit_event(LogLevel::Warn, "crypto", "identity.verify", std::move(fields));
    }
    return fail(IdentityRejection{std::move(reason), bits,
                                  Error{std::string(kIdentityVerifyFailed), kIdentityErrorCode}});
}

}  // namespace

std::string fingerprint(ByteView spki_der) {
    const Digest32 d = sha256({spki_der});
    return hex_lower(ByteView(d.data(), 8));
}

Bytes identity_binding_message(ByteView handshake_hash) {
    Bytes m;
    m.reserve(kIdentityBindLabel.size() + handshake_hash.size());
    const ByteView label = as_bytes(kIdentityBindLabel);
    m.insert(m.end(), label.begin(), label.end());
    m.insert(m.end(), handshake_hash.begin(), handshake_hash.end());
    return m;
}

Result<DeviceIdentity> DeviceIdentity::generate() {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned int>(kIdentityKeyBits));
    if (!key) return fail_text("RSA 密钥生成失败");
    return DeviceIdentity(share(key));
}

Result<DeviceIdentity> DeviceIdentity::from_pkcs8_der(ByteView der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX))
        return fail_text(std::string(kPrivateKeyParseError));
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    if (!info || p != der.data() + der.size()) return fail_text(std::string(kPrivateKeyParseError));
    EVP_PKEY* key = EVP_PKCS82PKEY(info.get());
    if (!key) return fail_text(std::string(kPrivateKeyParseError));
    DeviceIdentity identity(share(key));
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return fail_text(std::string(kPrivateKeyParseError));
    // A file damaged in place still parses; its parts must still make one key pair, or it
    // would sign what no peer can verify and be kept as the identity for good.
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) {
        ERR_clear_error();
        return fail_text(std::string(kPrivateKeyParseError));
    }
    // One stored form per key, as for public keys: anything but our own encoding is damage.
    Bytes again = identity.private_pkcs8_der();
    const bool canonical = same_bytes(again, der);
    OPENSSL_cleanse(again.data(), again.size());
    if (!canonical) return fail_text(std::string(kPrivateKeyParseError));
    return identity;
}

Bytes DeviceIdentity::private_pkcs8_der() const {
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> info(EVP_PKEY2PKCS8(key_.get()));
    invariant(info != nullptr, "PKCS#8 编码失败");
    return to_der(i2d_PKCS8_PRIV_KEY_INFO, info.get());
}

Bytes DeviceIdentity::public_spki_der() const { return to_der(i2d_PUBKEY, key_.get()); }

std::string DeviceIdentity::fingerprint() const { return dovan::fingerprint(public_spki_der()); }

int DeviceIdentity::bits() const { return EVP_PKEY_get_bits(key_.get()); }

Result<Bytes> DeviceIdentity::sign(ByteView message) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    std::size_t len = 0;
    if (!ctx || EVP_DigestSignInit_ex(ctx.get(), &pctx, "SHA256", nullptr, nullptr, key_.get(), nullptr) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &len, message.data(), message.size()) != 1)
        return fail_text(std::string(kIdentitySignError), kIdentityErrorCode);
    Bytes sig(len);
    if (EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()) != 1)
        return fail_text(std::string(kIdentitySignError), kIdentityErrorCode);
    sig.resize(len);
    return sig;
}

bool rsa_verify(ByteView spki_der, ByteView message, ByteView signature) {
    PkeyPtr key = parse_spki(spki_der);
    if (!key) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    return ctx &&
           EVP_DigestVerifyInit_ex(ctx.get(), &pctx, "SHA256", nullptr, nullptr, key.get(), nullptr) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

Result<Bytes> build_identity_payload(const DeviceIdentity& local, ByteView handshake_hash) {
    auto sig = local.sign(identity_binding_message(handshake_hash));
    if (!sig) return fail(sig.error());
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "identity.sign",
                   {{"ok", "true"}, {"sig_len", std::to_string(sig->size())}});
    const Bytes spki = local.public_spki_der();
    if (spki.size() > 0xFFFF || sig->size() > 0xFFFF)
        return fail_text(std::string(kIdentityPayloadTooLong), kIdentityErrorCode);
    Bytes out;
    out.reserve(4 + spki.size() + sig->size());
    put_be(out, spki.size(), 2);
    out.insert(out.end(), spki.begin(), spki.end());
    put_be(out, sig->size(), 2);
    out.insert(out.end(), sig->begin(), sig->end());
    return out;
}

Result<IdentityPayload> parse_identity_payload(ByteView payload) {
    auto malformed = [] { return fail_text(std::string(kIdentityMalformed), -1); };
    ByteReader r(payload);
    const auto key_len = r.read_u16();
    if (!key_len) return malformed();
    const auto key = r.read_bytes(*key_len);
    if (!key) return malformed();
    const auto sig_len = r.read_u16();
    if (!sig_len) return malformed();
    const auto sig = r.read_bytes(*sig_len);
    // Exact: bytes after the signature would let one identity travel in many forms.
    if (!sig || !r.at_end()) return malformed();
    return IdentityPayload{*key, *sig};
}

Result<VerifiedIdentity, IdentityRejection> verify_identity(const IdentityPayload& payload,
                                                            ByteView handshake_hash) {
    if (payload.signature.size() != kIdentitySignatureLen) return reject("bad_sig_len");
    PkeyPtr key = parse_spki(payload.public_key);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return reject("bad_public_key");
    const int bits = EVP_PKEY_get_bits(key.get());
    if (bits != kIdentityKeyBits) return reject("bad_key_bits", bits);
    BIGNUM* e_raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e_raw) != 1) return reject("bad_public_exponent");
    std::unique_ptr<BIGNUM, BnFree> e(e_raw);
    if (!BN_is_word(e.get(), 65537)) return reject("bad_public_exponent");

    const bool ok = rsa_verify(payload.public_key, identity_binding_message(handshake_hash), payload.signature);
    const std::string fp = fingerprint(payload.public_key);
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "identity.verify", {{"ok", ok ? "true" : "false"}, {"fp", fp}});
    if (!ok)
        return fail(IdentityRejection{"bad_signature", 0,
                                      Error{std::string(kIdentityVerifyFailed), kIdentityErrorCode}});
    return VerifiedIdentity{fp, Bytes(payload.public_key.begin(), payload.public_key.end())};
}

}  // namespace dovan
