#include "crypto/noise_resolver.h"

#include <algorithm>

#include "common/bytes.h"
#include "platform/debug_log.h"
#include "crypto/random.h"

namespace dovan {
namespace {

constexpr std::uint8_t hex_nibble(char c) {
    return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}
constexpr Key32 key_from_hex(const char (&h)[65]) {
    Key32 k{};
    for (std::size_t i = 0; i < k.size(); ++i)
        k[i] = static_cast<std::uint8_t>(hex_nibble(h[2 * i]) << 4 | hex_nibble(h[2 * i + 1]));
    return k;
}

void warn_event(std::string_view event, std::string_view key, std::string value) {
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "crypto", event, {{std::string(key), std::move(value)}});
}

class StandardResolver : public NoiseResolver {
public:
    void dh_set_private(DhKeyPair& pair, ByteView private_key) const override {
        if (private_key.size() < kNoiseDhLen) {
            on_short_private(private_key.size());
            return;
        }
        std::copy_n(private_key.begin(), kNoiseDhLen, pair.private_key.begin());
        pair.public_key = x25519_public(pair.private_key);
        pair.present = true;
    }

    bool dh_generate(DhKeyPair& pair) const override {
        Key32 priv{};
        if (!random_fill(priv)) return false;
        pair.private_key = priv;
        pair.public_key = x25519_public(priv);
        pair.present = true;
        return true;
    }

    Result<Key32, CryptoError> dh(const DhKeyPair& local, ByteView remote_public) const override {
        if (remote_public.size() < kNoiseDhLen) return reject("short_pubkey");
        Key32 remote{};
        std::copy_n(remote_public.begin(), kNoiseDhLen, remote.begin());
        if (check_small_order() && x25519_is_small_order(remote)) return reject("small_order_pubkey");
        Key32 shared{};
        // OpenSSL itself refuses an all-zero result; check too in case a build does not.
        if (!x25519(local.private_key, remote, shared) ||
            std::all_of(shared.begin(), shared.end(), [](std::uint8_t b) { return b == 0; }))
            return reject("zero_shared");
        return shared;
    }

    bool cipher_set_key(Key32& slot, ByteView key) const override {
        if (key.size() < kNoiseKeyLen) {
            on_short_cipher_key(key.size());
            return false;
        }
        std::copy_n(key.begin(), kNoiseKeyLen, slot.begin());
        return true;
    }

    AeadNonce cipher_nonce(std::uint64_t n) const override {
        AeadNonce nonce{};
        store_le64(nonce.data() + 4, n);
        return nonce;
    }

    Digest32 hash(std::initializer_list<ByteView> parts) const override { return sha256(parts); }
    Digest32 hmac(ByteView key, std::initializer_list<ByteView> parts) const override {
        return hmac_sha256(key, parts);
    }

protected:
    virtual bool check_small_order() const { return false; }
    virtual void on_short_private(std::size_t) const {}
    virtual void on_short_cipher_key(std::size_t) const {}
    virtual Unexpected<CryptoError> reject(std::string_view reason) const {
        return fail(message_rejected_error(format_text("X25519 拒绝对端公钥（{}）", reason)));
    }
};

class DovanResolver final : public StandardResolver {
public:
    AeadNonce cipher_nonce(std::uint64_t n) const override {
        AeadNonce nonce{};
        store_be64(nonce.data() + 4, n);
        return nonce;
    }

protected:
    bool check_small_order() const override { return true; }
    void on_short_private(std::size_t len) const override {
        warn_event("resolver.set_short_privkey", "len", std::to_string(len));
    }
    void on_short_cipher_key(std::size_t len) const override {
        warn_event("cipher.set_short_key", "len", std::to_string(len));
    }
    Unexpected<CryptoError> reject(std::string_view reason) const override {
        warn_event("dh.reject", "reason", std::string(reason));
        return StandardResolver::reject(reason);
    }
};

}  // namespace

const std::array<Key32, 7> kX25519SmallOrderPoints = {
    key_from_hex("0000000000000000000000000000000000000000000000000000000000000000"),
    key_from_hex("0100000000000000000000000000000000000000000000000000000000000000"),
    key_from_hex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"),
    key_from_hex("5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157"),
    key_from_hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p - 1
    key_from_hex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p
    key_from_hex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p + 1
};

bool x25519_is_small_order(const Key32& public_key) {
    for (const Key32& point : kX25519SmallOrderPoints) {
        if (std::equal(point.begin(), point.begin() + 31, public_key.begin()) &&
            (point[31] & 0x7f) == (public_key[31] & 0x7f))
            return true;
    }
    return false;
}

const NoiseResolver& standard_noise_resolver() {
    static const StandardResolver resolver;
    return resolver;
}

const NoiseResolver& dovan_noise_resolver() {
    static const DovanResolver resolver;
    return resolver;
}

}  // namespace dovan
