// What the PC remembers between runs: the data directory, the two private keys, the trusted
// phones and the BLE names they advertise under. Read by the core thread at start-up, written
// when a pairing completes and when the user forgets all phones.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "crypto/identity.h"
#include "session/engine_types.h"

namespace dovan {

inline constexpr const char* kIdentityBin = "identity.bin";
inline constexpr const char* kIdentityHex = "identity.hex";
inline constexpr const char* kDeviceIdentityBin = "device_identity.bin";
inline constexpr const char* kPeerHex = "peer.hex";
inline constexpr const char* kPeerHexBackup = "peer.hex.pre-0.3.0.bak";
inline constexpr const char* kTrustedPeersTsv = "trusted_peers.tsv";
inline constexpr const char* kPeerNamesTsv = "peer_names.tsv";
inline constexpr std::size_t kChannelKeyLen = 32;
inline constexpr std::size_t kMaxPeerNames = 8;
// The most any store file may hold; a larger one is read as damaged, without reading it.
inline constexpr std::uint64_t kMaxKeyFileBytes = std::uint64_t{64} * 1024;     // identity.bin, device_identity.bin, identity.hex
inline constexpr std::uint64_t kMaxTableFileBytes = std::uint64_t{1024} * 1024;  // trusted_peers.tsv, peer_names.tsv, settings.ini

// ---- data directory ----

// APPDATA, else LOCALAPPDATA (each used only when valid UTF-8 and not blank), else on Linux
// $XDG_DATA_HOME or ~/.local/share; joined with "Dovan". Only absolute paths qualify: a
// relative one would tie the identity to the working directory. The program resolves it
// once at start and hands it to every store below as `dir`; a store given a path that is
// not absolute reads nothing and writes nothing.
Result<std::filesystem::path> data_dir();
bool usable_dir(const std::filesystem::path& dir);

inline constexpr const char* kNoDataDir =
    "无法确定数据目录：APPDATA 与 LOCALAPPDATA 均不可用（拒绝回退到当前目录，以免身份漂移）";

// Moves a damaged store file aside to "<name>.damaged-<local time>" (numbered when that is
// taken), so what it holds can still be recovered once a fresh file takes its place.
// Returns the new path.
Result<std::filesystem::path> keep_damaged_aside(const std::filesystem::path& path);

// ---- protection of the private-key files ----

// Windows seals the key files with DPAPI for the signed-in user. On Linux the protection is
// the file mode (0600 inside a 0700 directory), so the blob is the plaintext itself.
class SecretProtector {
public:
    virtual ~SecretProtector() = default;
    virtual Result<Bytes> protect(ByteView plain) const = 0;
    // An empty blob, a failed unsealing and an empty plaintext are all failures.
    virtual Result<Bytes> unprotect(ByteView blob) const = 0;
};
const SecretProtector& platform_protector();

// ---- start-up loaders ----

// Where new device identities come from; tests swap it to skip RSA generation or make it fail.
class DeviceKeyFactory {
public:
    virtual ~DeviceKeyFactory() = default;
    virtual Result<DeviceIdentity> generate() const = 0;
};
const DeviceKeyFactory& rsa_key_factory();

// The 32-byte X25519 static key: identity.bin, else identity.hex taken over, else new.
Result<Bytes> load_channel_key(const std::filesystem::path& dir,
                               const SecretProtector& protector = platform_protector());

// The device identity from device_identity.bin, else a new one (and peer.hex moved aside,
// since its pin belonged to the old identity).
Result<DeviceIdentity> load_device_identity(
    const std::filesystem::path& dir, const SecretProtector& protector = platform_protector(),
    const DeviceKeyFactory& keys = rsa_key_factory());

// ---- trusted phones ----

// TrustedPeer (16 lower-case hex digits and a name) is the session engine's own type, so the
// loaded list goes to every new engine as it is.

struct PeerName {
    std::string fingerprint;
    std::string name;  // BLE local name the phone advertised under
    bool operator==(const PeerName&) const = default;
};

// Lower-cased and trimmed fingerprint when it is exactly 16 hex digits, else empty.
std::string normalize_fingerprint(std::string_view text);

std::vector<TrustedPeer> parse_trusted_peers(std::string_view text);
std::string format_trusted_peers(const std::vector<TrustedPeer>& peers);
std::vector<PeerName> parse_peer_names(std::string_view text);
std::string format_peer_names(const std::vector<PeerName>& names);

// Never fail: a missing or unreadable file is an empty list; one over kMaxTableFileBytes is
// kept aside as damaged, with a console line. Write errors are ignored.
std::vector<TrustedPeer> load_trusted_peers(const std::filesystem::path& dir);
void save_trusted_peers(const std::filesystem::path& dir, const std::vector<TrustedPeer>& peers);
std::vector<PeerName> load_peer_names(const std::filesystem::path& dir);
void remember_peer_name(const std::filesystem::path& dir, std::string_view fingerprint,
                        std::string_view name);

// Deletes trusted_peers.tsv, peer.hex and peer_names.tsv; missing files are fine.
void forget_all(const std::filesystem::path& dir);

// ---- start-up ----

struct LocalStores {
    Bytes channel_key;  // X25519 static private key
    DeviceIdentity device;
    std::string own_fingerprint;
    std::vector<TrustedPeer> trusted;
};

// The core thread's first steps, in order. The error text is the notice that ends start-up
// ("身份初始化失败: …" or "设备身份初始化失败: …").
Result<LocalStores> load_local_stores(const std::filesystem::path& dir,
                                      const SecretProtector& protector = platform_protector(),
                                      const DeviceKeyFactory& keys = rsa_key_factory());

// The store side of a completed pairing: the phone joins (or renames in) `trusted`, the list
// is saved, and the advertised BLE name (empty when not connected over BLE) is remembered.
// Returns false when the fingerprint is malformed and the list was left alone.
bool record_pairing(const std::filesystem::path& dir, std::vector<TrustedPeer>& trusted,
                    std::string_view fingerprint,
                    std::string_view peer_name, std::string_view advertised_name);

}  // namespace dovan
