#include "crypto/key_schedule.h"

#include <algorithm>
#include <cstdio>

#include "common/bytes.h"
#include "platform/debug_log.h"

namespace dovan {

Key32 derive_session_key(const Digest32& handshake_hash, const Key32& k1, const Key32& k2) {
    std::array<std::uint8_t, 64> ikm{};
    std::copy(k1.begin(), k1.end(), ikm.begin());
    std::copy(k2.begin(), k2.end(), ikm.begin() + 32);
    const Bytes okm = hkdf_sha256(handshake_hash, ikm, as_bytes(kSessionKeyLabel), 32);
    Key32 key{};
    std::copy(okm.begin(), okm.end(), key.begin());
    return key;
}

SessionId derive_session_id(const Digest32& handshake_hash) {
    const Digest32 d = sha256({as_bytes(kSessionIdLabel), handshake_hash});
    SessionId id{};
    std::copy_n(d.begin(), id.size(), id.begin());
    return id;
}

std::uint32_t derive_sas(const Digest32& handshake_hash) {
    const Digest32 mac = hmac_sha256(handshake_hash, {as_bytes("SAS")});
    return load_be24(mac.data()) % kSasModulus;
}

std::string static_fingerprint(const Key32& remote_static) {
    const Digest32 d = sha256({remote_static});
    return hex_lower(ByteView(d.data(), 8));
}

Result<SessionKeys, CryptoError> derive_session_keys(ByteView handshake_hash, const SplitKeys& split,
                                                     ByteView remote_static) {
    if (handshake_hash.size() != 32) return fail(length_error("handshake_hash", handshake_hash.size(), 32));
    if (remote_static.size() != 32) return fail(length_error("remote_static", remote_static.size(), 32));
    Digest32 h{};
    std::copy(handshake_hash.begin(), handshake_hash.end(), h.begin());
    Key32 rs{};
    std::copy(remote_static.begin(), remote_static.end(), rs.begin());

    SessionKeys out;
    out.session_key = derive_session_key(h, split.k1, split.k2);
    out.session_id = derive_session_id(h);
    out.sas = derive_sas(h);
    out.static_fp = static_fingerprint(rs);
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "session_key.derive", {{"ok", "true"}, {"len", "32"}});
    return out;
}

std::string sas_text(std::uint32_t sas) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(sas));
    return buf;
}

SasBytes sas_bytes(std::uint32_t sas) {
    SasBytes out{};
    store_be24(out.data(), sas);
    return out;
}

std::optional<std::uint32_t> sas_from_bytes(ByteView bytes) {
    if (bytes.size() != 3) return std::nullopt;
    return load_be24(bytes.data());
}

DeviceId derive_device_id(const Key32& local_static_private) {
    const Digest32 d = sha256({as_bytes(kDeviceIdLabel), local_static_private});
    DeviceId id{};
    std::copy_n(d.begin(), id.size(), id.begin());
    return id;
}

MessageId MessageIds::next() {
    if (++counter_ == 0) ++high_;
    MessageId id{};
    std::copy(device_id_.begin(), device_id_.end(), id.begin());
    store_be64(id.data() + 8, counter_);
    return id;
}

}  // namespace dovan
