#include "crypto/primitives.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "common/result.h"

namespace dovan {
namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

// Fetched once: implicit fetches on every call would dominate small-frame costs.
EVP_MAC* hmac_algorithm() {
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    invariant(mac != nullptr, "HMAC-SHA256 接受任意长度 key，32B 输入必然成功");
    return mac;
}
const EVP_CIPHER* chacha_algorithm() {
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    invariant(cipher != nullptr, "ChaCha20-Poly1305 加密失败");
    return cipher;
}
const EVP_MD* sha256_algorithm() {
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    invariant(md != nullptr, "SHA-256 不可用");
    return md;
}

int as_int(std::size_t n) {
    invariant(n <= static_cast<std::size_t>(INT_MAX), "加密输入超出长度上限");
    return static_cast<int>(n);
}

}  // namespace

Digest32 sha256(std::initializer_list<ByteView> parts) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestInit_ex2(ctx.get(), sha256_algorithm(), nullptr) == 1;
    for (ByteView p : parts) ok = ok && EVP_DigestUpdate(ctx.get(), p.data(), p.size()) == 1;
    Digest32 out{};
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx.get(), out.data(), &len) == 1 && len == out.size();
    invariant(ok, "SHA-256 不可用");
    return out;
}

Digest32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts) {
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(hmac_algorithm()));
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    // An empty key is legal HMAC; OpenSSL wants a non-null pointer for it.
    static const std::uint8_t empty_key = 0;
    const std::uint8_t* key_data = key.empty() ? &empty_key : key.data();
    bool ok = ctx && EVP_MAC_init(ctx.get(), key_data, key.size(), params) == 1;
    for (ByteView p : parts) ok = ok && EVP_MAC_update(ctx.get(), p.data(), p.size()) == 1;
    Digest32 out{};
    std::size_t len = 0;
    ok = ok && EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) == 1 && len == out.size();
    invariant(ok, "HMAC-SHA256 接受任意长度 key，32B 输入必然成功");
    return out;
}

Bytes hkdf_sha256(ByteView salt, ByteView ikm, ByteView info, std::size_t length) {
    invariant(length <= std::size_t{255} * 32, "HKDF 输出长度超出上限");
    const Digest32 prk = hmac_sha256(salt, {ikm});
    Bytes out;
    out.reserve(length);
    Digest32 t{};
    std::size_t t_len = 0;
    for (std::uint8_t i = 1; out.size() < length; ++i) {
        const std::uint8_t counter[1] = {i};
        t = hmac_sha256(prk, {ByteView(t.data(), t_len), info, counter});
        t_len = t.size();
        const std::size_t take = std::min(t.size(), length - out.size());
        out.insert(out.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return out;
}

Key32 x25519_public(const Key32& private_key) {
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size()));
    Key32 pub{};
    std::size_t len = pub.size();
    const bool ok = pkey && EVP_PKEY_get_raw_public_key(pkey.get(), pub.data(), &len) == 1 &&
                    len == pub.size();
    invariant(ok, "X25519 公钥计算失败");
    return pub;
}

bool x25519(const Key32& private_key, const Key32& peer_public, Key32& shared) {
    std::unique_ptr<EVP_PKEY, PkeyFree> priv(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size()));
    std::unique_ptr<EVP_PKEY, PkeyFree> peer(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public.data(), peer_public.size()));
    if (!priv || !peer) return false;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, priv.get(), nullptr));
    std::size_t len = shared.size();
    return ctx && EVP_PKEY_derive_init(ctx.get()) == 1 &&
           EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) == 1 &&
           EVP_PKEY_derive(ctx.get(), shared.data(), &len) == 1 && len == shared.size();
}

void aead_seal(const Key32& key, const AeadNonce& nonce, ByteView ad, ByteView plain,
               std::uint8_t* out) {
    const ByteView parts[] = {plain};
    aead_seal(key, nonce, ad, parts, out);
}

void aead_seal(const Key32& key, const AeadNonce& nonce, ByteView ad, ByteParts plain,
               std::uint8_t* out) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    bool ok = ctx && EVP_EncryptInit_ex2(ctx.get(), chacha_algorithm(), key.data(), nonce.data(), nullptr) == 1;
    if (ok && !ad.empty()) ok = EVP_EncryptUpdate(ctx.get(), nullptr, &len, ad.data(), as_int(ad.size())) == 1;
    // The cipher is a stream: pieces of any length seal exactly as their concatenation would.
    std::size_t at = 0;
    for (ByteView piece : plain) {
        if (!ok || piece.empty()) continue;
        ok = EVP_EncryptUpdate(ctx.get(), out + at, &len, piece.data(), as_int(piece.size())) == 1 &&
             static_cast<std::size_t>(len) == piece.size();
        at += piece.size();
    }
    ok = ok && EVP_EncryptFinal_ex(ctx.get(), out + at, &len) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kAeadTagLen), out + at) == 1;
    invariant(ok, "ChaCha20-Poly1305 加密失败");
}

bool aead_open(const Key32& key, const AeadNonce& nonce, ByteView ad, ByteView sealed,
               std::uint8_t* out) {
    if (sealed.size() < kAeadTagLen) return false;
    const std::size_t body = sealed.size() - kAeadTagLen;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    bool ok = ctx && EVP_DecryptInit_ex2(ctx.get(), chacha_algorithm(), key.data(), nonce.data(), nullptr) == 1;
    if (ok && !ad.empty()) ok = EVP_DecryptUpdate(ctx.get(), nullptr, &len, ad.data(), as_int(ad.size())) == 1;
    if (ok && body > 0)
        ok = EVP_DecryptUpdate(ctx.get(), out, &len, sealed.data(), as_int(body)) == 1 &&
             static_cast<std::size_t>(len) == body;
    std::uint8_t tag[kAeadTagLen];
    std::copy(sealed.begin() + static_cast<std::ptrdiff_t>(body), sealed.end(), tag);
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kAeadTagLen), tag) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), out + body, &len) == 1;
    if (!ok && body > 0) OPENSSL_cleanse(out, body);
    return ok;
}

bool constant_time_equal(ByteView a, ByteView b) {
    if (a.size() != b.size()) return false;
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    // Keep the compiler from turning the accumulation into an early exit.
    volatile std::uint8_t sink = diff;
    return sink == 0;
}

}  // namespace dovan
