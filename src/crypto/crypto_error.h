// Errors of the secure channel. Each carries its display text ready for the user or the
// log; callers wrap it in their own context ("握手读入失败: {}" and the like).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dovan {

enum class CryptoErrc {
    HandshakeParams,      // bad handshake set-up (keys, prologue)
    MessageRejected,      // the Noise state machine refused a message
    OutOfOrder,           // wrong turn, or the handshake is not finished
    RemoteStaticMissing,  // the peer's static key was never received
    BadLength,            // a value of the wrong length
    InvalidKeyLength,     // AEAD key of the wrong length
    OpenFailed,           // AEAD tag mismatch or truncated ciphertext
    Derivation,           // a primitive refused to derive (library failure)
};

struct CryptoError {
    CryptoErrc code = CryptoErrc::MessageRejected;
    std::string text;

    const std::string& display() const { return text; }
    bool operator==(const CryptoError&) const = default;
};

CryptoError handshake_params_error(std::string_view detail);
CryptoError message_rejected_error(std::string_view detail);
CryptoError out_of_order_error();
CryptoError remote_static_missing_error();
CryptoError length_error(std::string_view name, std::size_t actual, std::size_t expected);
CryptoError invalid_key_length_error();
CryptoError open_failed_error();
CryptoError derivation_error(std::string_view detail);

}  // namespace dovan
