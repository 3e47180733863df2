// What a finished handshake turns into: the session key that seals every frame, the
// session id mixed into frame nonces, the six-digit SAS and the peer's static-key
// fingerprint; plus the device id and message ids stamped on business messages.
//
// Use: at handshake completion call derive_session_keys(hs.handshake_hash(), *hs.split(),
// *hs.remote_static()) and store the result; it emits crypto "session_key.derive".
// Keep one MessageIds per engine (it is not reset with the session).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/text.h"
#include "crypto/crypto_error.h"
#include "crypto/noise.h"
#include "crypto/primitives.h"

namespace dovan {

inline constexpr std::string_view kSessionKeyLabel = "dovan/v1/session-key";
inline constexpr std::string_view kSessionIdLabel = "dovan/v1/session-id";
inline constexpr std::string_view kDeviceIdLabel = "dovan/v1/dev-id";
inline constexpr std::uint32_t kSasModulus = 1'000'000;

using SessionId = std::array<std::uint8_t, 16>;
using DeviceId = std::array<std::uint8_t, 8>;
using MessageId = std::array<std::uint8_t, 16>;
using SasBytes = std::array<std::uint8_t, 3>;

struct SessionKeys {
    Key32 session_key{};
    SessionId session_id{};
    std::uint32_t sas = 0;       // 0..999,999
    std::string static_fp;       // 16 lower-case hex characters
};

// Checks the lengths (errors name `handshake_hash` or `remote_static`), then derives all
// four values and emits crypto "session_key.derive".
Result<SessionKeys, CryptoError> derive_session_keys(ByteView handshake_hash, const SplitKeys& split,
                                                     ByteView remote_static);

Key32 derive_session_key(const Digest32& handshake_hash, const Key32& k1, const Key32& k2);
SessionId derive_session_id(const Digest32& handshake_hash);
std::uint32_t derive_sas(const Digest32& handshake_hash);
std::string static_fingerprint(const Key32& remote_static);

// The SAS as the user compares it (six digits, leading zeros) and as TAG_SAS carries it.
std::string sas_text(std::uint32_t sas);
SasBytes sas_bytes(std::uint32_t sas);
// Nothing unless exactly three bytes.
std::optional<std::uint32_t> sas_from_bytes(ByteView bytes);

DeviceId derive_device_id(const Key32& local_static_private);

// Message ids of one engine: device id followed by a big-endian counter that starts at 1
// and is incremented before each use, so the first id ends in 2.
class MessageIds {
public:
    explicit MessageIds(const DeviceId& device_id) : device_id_(device_id) {}
    // For restoring a counter (and tests near the wrap).
    MessageIds(const DeviceId& device_id, std::uint64_t counter) : device_id_(device_id), counter_(counter) {}

    MessageId next();
    const DeviceId& device_id() const { return device_id_; }
    std::uint64_t counter() const { return counter_; }
    // Carries out of the transmitted 64 bits; never on the wire.
    std::uint64_t high_word() const { return high_; }

private:
    DeviceId device_id_;
    std::uint64_t counter_ = 1;
    std::uint64_t high_ = 0;
};

}  // namespace dovan
