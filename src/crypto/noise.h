// Our Noise machinery for Noise_XX_25519_ChaChaPoly_SHA256: CipherState, SymmetricState
// and HandshakeState, over a resolver that supplies DH, cipher and hash.
//
// Use: HandshakeState::create(resolver, role, static key) and then alternate
// write_message / read_message (the initiator writes first) until finished(); then take
// handshake_hash(), remote_static() and split(). Both message calls are all-or-nothing:
// on failure the state is exactly what it was before the call, so a forged or misplaced
// message does not spoil the handshake. The state is a value type, so a caller may also
// keep its own snapshot. Resolvers are stateless and must outlive the states using them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "common/result.h"
#include "common/text.h"
#include "crypto/crypto_error.h"
#include "crypto/primitives.h"

namespace dovan {

inline constexpr std::size_t kNoiseDhLen = 32;
inline constexpr std::size_t kNoiseKeyLen = 32;
inline constexpr std::size_t kNoiseHashLen = 32;
inline constexpr std::size_t kNoiseTagLen = 16;
inline constexpr std::size_t kNoiseMaxMessage = 65535;
inline constexpr std::string_view kNoiseProtocolName = "Noise_XX_25519_ChaChaPoly_SHA256";

struct DhKeyPair {
    Key32 private_key{};
    Key32 public_key{};
    bool present = false;
};

// The three primitive families of a Noise protocol. Implementations hold no state.
class NoiseResolver {
public:
    virtual ~NoiseResolver() = default;

    // DH. A key that cannot be used leaves `pair` unchanged.
    virtual void dh_set_private(DhKeyPair& pair, ByteView private_key) const = 0;
    virtual bool dh_generate(DhKeyPair& pair) const = 0;
    virtual Result<Key32, CryptoError> dh(const DhKeyPair& local, ByteView remote_public) const = 0;

    // Cipher. `cipher_set_key` returns false (and leaves `slot` alone) for an unusable key.
    virtual bool cipher_set_key(Key32& slot, ByteView key) const = 0;
    virtual AeadNonce cipher_nonce(std::uint64_t n) const = 0;
    // Appends ciphertext and tag to `out`.
    void cipher_encrypt(const Key32& key, std::uint64_t n, ByteView ad, ByteView plain, Bytes& out) const;
    // Appends the plaintext to `out`; on failure `out` is unchanged.
    Result<void, CryptoError> cipher_decrypt(const Key32& key, std::uint64_t n, ByteView ad,
                                             ByteView sealed, Bytes& out) const;
    Key32 cipher_rekey(const Key32& key) const;

    // Hash (SHA-256 for every resolver we have; HKDF is built on hmac by SymmetricState).
    virtual Digest32 hash(std::initializer_list<ByteView> parts) const = 0;
    virtual Digest32 hmac(ByteView key, std::initializer_list<ByteView> parts) const = 0;
};

class CipherState {
public:
    explicit CipherState(const NoiseResolver& resolver) : resolver_(&resolver) {}
    // Key-holding states are copied freely (snapshots); every copy wipes its key when it goes.
    CipherState(const CipherState&) = default;
    CipherState& operator=(const CipherState&) = default;
    ~CipherState();

    // A key the resolver refuses leaves the state without a key.
    void initialize_key(ByteView key);
    bool has_key() const { return has_key_; }
    const Key32& key() const { return key_; }
    std::uint64_t nonce() const { return n_; }
    void set_nonce(std::uint64_t n) { n_ = n; }

    // Without a key both pass the text through. The nonce 2^64-1 is reserved, so a state
    // that reaches it refuses further messages instead of reusing a nonce.
    Result<void, CryptoError> encrypt_with_ad(ByteView ad, ByteView plain, Bytes& out);
    Result<void, CryptoError> decrypt_with_ad(ByteView ad, ByteView sealed, Bytes& out);
    void rekey();

private:
    const NoiseResolver* resolver_;
    Key32 key_{};
    std::uint64_t n_ = 0;
    bool has_key_ = false;
};

class SymmetricState {
public:
    SymmetricState(const NoiseResolver& resolver, std::string_view protocol_name);
    SymmetricState(const SymmetricState&) = default;
    SymmetricState& operator=(const SymmetricState&) = default;
    ~SymmetricState();

    void mix_key(ByteView input_key_material);
    void mix_hash(ByteView data);
    Result<void, CryptoError> encrypt_and_hash(ByteView plain, Bytes& out);
    Result<void, CryptoError> decrypt_and_hash(ByteView sealed, Bytes& out);
    // The two keys (initiator→responder, responder→initiator).
    std::pair<Key32, Key32> split_keys() const;
    const Digest32& handshake_hash() const { return h_; }
    bool has_key() const { return cipher_.has_key(); }

private:
    const NoiseResolver* resolver_;
    Digest32 ck_{};
    Digest32 h_{};
    CipherState cipher_;
};

enum class NoiseRole : std::uint8_t { Initiator = 0, Responder = 1 };

struct SplitKeys {
    Key32 k1{};  // initiator → responder
    Key32 k2{};  // responder → initiator
};

class HandshakeState {
public:
    // `fixed_ephemeral` replaces the random ephemeral key (known-answer tests only).
    static Result<HandshakeState, CryptoError> create(const NoiseResolver& resolver, NoiseRole role,
                                                      ByteView local_static_private,
                                                      ByteView prologue = {},
                                                      ByteView fixed_ephemeral = {});
    HandshakeState(const HandshakeState&) = default;
    HandshakeState& operator=(const HandshakeState&) = default;
    ~HandshakeState();

    // Writes the next message carrying `payload`; out of turn or after the end fails with
    // "握手尚未完成或越序调用".
    Result<Bytes, CryptoError> write_message(ByteView payload = {});
    // Processes the peer's next message and returns its payload.
    Result<Bytes, CryptoError> read_message(ByteView message);

    NoiseRole role() const { return role_; }
    bool finished() const { return step_ >= 3; }
    // Whether the next message is ours to write (false once finished).
    bool is_my_turn() const;
    int messages_done() const { return step_; }
    ByteView handshake_hash() const { return symmetric_.handshake_hash(); }
    const Key32& local_static_public() const { return s_.public_key; }
    // Present once the peer's static key has been read (message 2 or 3).
    std::optional<Key32> remote_static() const;
    // The split keys; fails unless finished.
    Result<SplitKeys, CryptoError> split() const;
    // Transport CipherStates (ours to send, ours to receive), for callers that run Noise
    // transport messages themselves.
    Result<std::pair<CipherState, CipherState>, CryptoError> split_ciphers() const;

private:
    HandshakeState(const NoiseResolver& resolver, NoiseRole role);
    Result<void, CryptoError> mix_dh(const DhKeyPair& local, const Key32& remote);
    Result<void, CryptoError> write_tokens(Bytes& out, ByteView payload);
    Result<void, CryptoError> read_tokens(ByteView message, Bytes& payload);

    const NoiseResolver* resolver_;
    NoiseRole role_;
    SymmetricState symmetric_;
    DhKeyPair s_;
    DhKeyPair e_;
    Key32 rs_{};
    Key32 re_{};
    bool has_rs_ = false;
    bool has_re_ = false;
    int step_ = 0;  // messages processed, 0..3
};

}  // namespace dovan
