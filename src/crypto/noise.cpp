#include "crypto/noise.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <limits>

namespace dovan {
namespace {

constexpr std::uint64_t kReservedNonce = std::numeric_limits<std::uint64_t>::max();

// HKDF as Noise defines it (two outputs; the third is never needed by XX).
std::pair<Digest32, Digest32> noise_hkdf2(const NoiseResolver& r, ByteView ck, ByteView ikm) {
    const Digest32 temp = r.hmac(ck, {ikm});
    const std::uint8_t one[1] = {0x01};
    const std::uint8_t two[1] = {0x02};
    const Digest32 out1 = r.hmac(temp, {one});
    const Digest32 out2 = r.hmac(temp, {out1, two});
    return {out1, out2};
}

}  // namespace

// ---- resolver shared parts --------------------------------------------------------------

void NoiseResolver::cipher_encrypt(const Key32& key, std::uint64_t n, ByteView ad, ByteView plain,
                                   Bytes& out) const {
    const std::size_t at = out.size();
    out.resize(at + plain.size() + kAeadTagLen);
    aead_seal(key, cipher_nonce(n), ad, plain, out.data() + at);
}

Result<void, CryptoError> NoiseResolver::cipher_decrypt(const Key32& key, std::uint64_t n, ByteView ad,
                                                        ByteView sealed, Bytes& out) const {
    if (sealed.size() < kAeadTagLen) return fail(open_failed_error());
    const std::size_t at = out.size();
    out.resize(at + sealed.size() - kAeadTagLen);
    if (!aead_open(key, cipher_nonce(n), ad, sealed, out.data() + at)) {
        out.resize(at);
        return fail(open_failed_error());
    }
    return {};
}

Key32 NoiseResolver::cipher_rekey(const Key32& key) const {
    const std::uint8_t zeros[32] = {};
    Bytes sealed;
    sealed.reserve(32 + kAeadTagLen);
    cipher_encrypt(key, kReservedNonce, {}, zeros, sealed);
    Key32 next{};
    std::copy_n(sealed.begin(), next.size(), next.begin());
    return next;
}

// ---- CipherState ------------------------------------------------------------------------

CipherState::~CipherState() { OPENSSL_cleanse(key_.data(), key_.size()); }

void CipherState::initialize_key(ByteView key) {
    if (resolver_->cipher_set_key(key_, key)) {
        has_key_ = true;
        n_ = 0;
    }
}

Result<void, CryptoError> CipherState::encrypt_with_ad(ByteView ad, ByteView plain, Bytes& out) {
    if (!has_key_) {
        out.insert(out.end(), plain.begin(), plain.end());
        return {};
    }
    if (n_ == kReservedNonce) return fail(message_rejected_error("nonce 已耗尽"));
    resolver_->cipher_encrypt(key_, n_, ad, plain, out);
    ++n_;
    return {};
}

Result<void, CryptoError> CipherState::decrypt_with_ad(ByteView ad, ByteView sealed, Bytes& out) {
    if (!has_key_) {
        out.insert(out.end(), sealed.begin(), sealed.end());
        return {};
    }
    if (n_ == kReservedNonce) return fail(message_rejected_error("nonce 已耗尽"));
    auto r = resolver_->cipher_decrypt(key_, n_, ad, sealed, out);
    if (!r) return r;
    ++n_;
    return {};
}

void CipherState::rekey() {
    if (has_key_) key_ = resolver_->cipher_rekey(key_);
}

// ---- SymmetricState ---------------------------------------------------------------------

SymmetricState::SymmetricState(const NoiseResolver& resolver, std::string_view protocol_name)
    : resolver_(&resolver), cipher_(resolver) {
    if (protocol_name.size() <= h_.size()) {
        std::copy(protocol_name.begin(), protocol_name.end(), h_.begin());
    } else {
        h_ = resolver.hash({as_bytes(protocol_name)});
    }
    ck_ = h_;
}

SymmetricState::~SymmetricState() { OPENSSL_cleanse(ck_.data(), ck_.size()); }

void SymmetricState::mix_key(ByteView input_key_material) {
    auto [ck, temp_k] = noise_hkdf2(*resolver_, ck_, input_key_material);
    ck_ = ck;
    cipher_.initialize_key(temp_k);
    OPENSSL_cleanse(ck.data(), ck.size());
    OPENSSL_cleanse(temp_k.data(), temp_k.size());
}

void SymmetricState::mix_hash(ByteView data) { h_ = resolver_->hash({h_, data}); }

Result<void, CryptoError> SymmetricState::encrypt_and_hash(ByteView plain, Bytes& out) {
    const std::size_t at = out.size();
    auto r = cipher_.encrypt_with_ad(h_, plain, out);
    if (!r) return r;
    mix_hash(ByteView(out).subspan(at));
    return {};
}

Result<void, CryptoError> SymmetricState::decrypt_and_hash(ByteView sealed, Bytes& out) {
    auto r = cipher_.decrypt_with_ad(h_, sealed, out);
    if (!r) return r;
    mix_hash(sealed);
    return {};
}

std::pair<Key32, Key32> SymmetricState::split_keys() const {
    auto [k1, k2] = noise_hkdf2(*resolver_, ck_, {});
    return {k1, k2};
}

// ---- HandshakeState ---------------------------------------------------------------------

HandshakeState::HandshakeState(const NoiseResolver& resolver, NoiseRole role)
    : resolver_(&resolver), role_(role), symmetric_(resolver, kNoiseProtocolName) {}

HandshakeState::~HandshakeState() {
    OPENSSL_cleanse(s_.private_key.data(), s_.private_key.size());
    OPENSSL_cleanse(e_.private_key.data(), e_.private_key.size());
}

Result<HandshakeState, CryptoError> HandshakeState::create(const NoiseResolver& resolver, NoiseRole role,
                                                           ByteView local_static_private,
                                                           ByteView prologue, ByteView fixed_ephemeral) {
    HandshakeState hs(resolver, role);
    resolver.dh_set_private(hs.s_, local_static_private);
    if (!hs.s_.present)
        return fail(handshake_params_error(
            length_error("local_static", local_static_private.size(), kNoiseDhLen).text));
    if (!fixed_ephemeral.empty()) {
        resolver.dh_set_private(hs.e_, fixed_ephemeral);
        if (!hs.e_.present)
            return fail(handshake_params_error(
                length_error("ephemeral", fixed_ephemeral.size(), kNoiseDhLen).text));
    }
    hs.symmetric_.mix_hash(prologue);
    return hs;
}

bool HandshakeState::is_my_turn() const {
    if (finished()) return false;
    const bool initiator_turn = step_ % 2 == 0;
    return initiator_turn == (role_ == NoiseRole::Initiator);
}

std::optional<Key32> HandshakeState::remote_static() const {
    if (!has_rs_) return std::nullopt;
    return rs_;
}

Result<SplitKeys, CryptoError> HandshakeState::split() const {
    if (!finished()) return fail(out_of_order_error());
    auto [k1, k2] = symmetric_.split_keys();
    return SplitKeys{k1, k2};
}

Result<std::pair<CipherState, CipherState>, CryptoError> HandshakeState::split_ciphers() const {
    auto keys = split();
    if (!keys) return fail(keys.error());
    CipherState c1(*resolver_), c2(*resolver_);
    c1.initialize_key(keys->k1);
    c2.initialize_key(keys->k2);
    if (role_ == NoiseRole::Initiator) return std::pair{c1, c2};
    return std::pair{c2, c1};
}

Result<void, CryptoError> HandshakeState::mix_dh(const DhKeyPair& local, const Key32& remote) {
    auto shared = resolver_->dh(local, remote);
    if (!shared) return fail(shared.error());
    symmetric_.mix_key(*shared);
    OPENSSL_cleanse(shared->data(), shared->size());
    return {};
}

Result<Bytes, CryptoError> HandshakeState::write_message(ByteView payload) {
    if (!is_my_turn()) return fail(out_of_order_error());
    HandshakeState next = *this;
    Bytes out;
    out.reserve(2 * kNoiseDhLen + 2 * kNoiseTagLen + payload.size());
    auto r = next.write_tokens(out, payload);
    if (!r) return fail(r.error());
    if (out.size() > kNoiseMaxMessage)
        return fail(length_error("noise_message", out.size(), kNoiseMaxMessage));
    *this = next;
    return out;
}

Result<Bytes, CryptoError> HandshakeState::read_message(ByteView message) {
    if (finished() || is_my_turn()) return fail(out_of_order_error());
    if (message.size() > kNoiseMaxMessage)
        return fail(length_error("noise_message", message.size(), kNoiseMaxMessage));
    HandshakeState next = *this;
    Bytes payload;
    auto r = next.read_tokens(message, payload);
    if (!r) return fail(r.error());
    *this = next;
    return payload;
}

// XX: -> e ; <- e, ee, s, es ; -> s, se
Result<void, CryptoError> HandshakeState::write_tokens(Bytes& out, ByteView payload) {
    auto write_e = [&]() -> Result<void, CryptoError> {
        if (!e_.present && !resolver_->dh_generate(e_))
            return fail(handshake_params_error("随机源不可用"));
        out.insert(out.end(), e_.public_key.begin(), e_.public_key.end());
        symmetric_.mix_hash(e_.public_key);
        return {};
    };
    Result<void, CryptoError> r;
    switch (step_) {
        case 0:
            r = write_e();
            break;
        case 1:
            r = write_e();
            if (r) r = mix_dh(e_, re_);                                    // ee
            if (r) r = symmetric_.encrypt_and_hash(s_.public_key, out);    // s
            if (r) r = mix_dh(s_, re_);                                    // es (responder side)
            break;
        case 2:
            r = symmetric_.encrypt_and_hash(s_.public_key, out);           // s
            if (r) r = mix_dh(s_, re_);                                    // se (initiator side)
            break;
        default:
            return fail(out_of_order_error());
    }
    if (!r) return r;
    r = symmetric_.encrypt_and_hash(payload, out);
    if (!r) return r;
    ++step_;
    return {};
}

Result<void, CryptoError> HandshakeState::read_tokens(ByteView message, Bytes& payload) {
    std::size_t pos = 0;
    auto read_e = [&]() -> Result<void, CryptoError> {
        if (message.size() - pos < kNoiseDhLen)
            return fail(message_rejected_error(
                length_error("ephemeral", message.size() - pos, kNoiseDhLen).text));
        std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(pos), kNoiseDhLen, re_.begin());
        has_re_ = true;
        pos += kNoiseDhLen;
        symmetric_.mix_hash(re_);
        return {};
    };
    auto read_s = [&]() -> Result<void, CryptoError> {
        const std::size_t need = kNoiseDhLen + (symmetric_.has_key() ? kNoiseTagLen : 0);
        if (message.size() - pos < need)
            return fail(message_rejected_error(length_error("static", message.size() - pos, need).text));
        Bytes plain;
        auto r = symmetric_.decrypt_and_hash(message.subspan(pos, need), plain);
        if (!r) return fail(message_rejected_error(r.error().text));
        std::copy_n(plain.begin(), kNoiseDhLen, rs_.begin());
        has_rs_ = true;
        pos += need;
        return {};
    };
    auto dh_rejected = [](Result<void, CryptoError> r) -> Result<void, CryptoError> {
        if (r || r.error().code == CryptoErrc::MessageRejected) return r;
        return fail(message_rejected_error(r.error().text));
    };
    Result<void, CryptoError> r;
    switch (step_) {
        case 0:  // responder reads e
            r = read_e();
            break;
        case 1:  // initiator reads e, ee, s, es
            r = read_e();
            if (r) r = dh_rejected(mix_dh(e_, re_));
            if (r) r = read_s();
            if (r) r = dh_rejected(mix_dh(e_, rs_));
            break;
        case 2:  // responder reads s, se
            r = read_s();
            if (r) r = dh_rejected(mix_dh(e_, rs_));
            break;
        default:
            return fail(out_of_order_error());
    }
    if (!r) return r;
    r = symmetric_.decrypt_and_hash(message.subspan(pos), payload);
    if (!r) return fail(message_rejected_error(r.error().text));
    ++step_;
    return {};
}

}  // namespace dovan
