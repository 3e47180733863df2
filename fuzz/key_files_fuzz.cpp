// The key files in the data folder, which a person (or a damaged disk) may have changed: a
// device identity in PKCS#8 DER, the older text form of the channel key. The first byte
// picks the file. Nothing may crash; an accepted identity signs what its own public key
// verifies, and every start ends with a usable key.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "crypto/identity.h"
#include "platform/files.h"
#include "store/stores.h"

#include "engine_pair.h"

using namespace dovan;
namespace fs = std::filesystem;

namespace {

// A made identity would cost an RSA generation per input; the process's fixed one stands in.
class FixedKeys final : public DeviceKeyFactory {
public:
    Result<DeviceIdentity> generate() const override { return fuzz::keys().pc; }
};

const fs::path& root() {
    static const fs::path dir = [] {
        std::string tmpl = (fs::temp_directory_path() / "dovan-fuzz-keys-XXXXXX").string();
        invariant(::mkdtemp(tmpl.data()) != nullptr, "fuzz folder");
        return fs::path(tmpl);
    }();
    return dir;
}

void identity_der(ByteView der) {
    const auto id = DeviceIdentity::from_pkcs8_der(der);
    if (!id) return;
    if (id->private_pkcs8_der() != Bytes(der.begin(), der.end())) std::abort();
    const ByteView message = as_bytes(std::string_view("dovan key check"));
    const auto sig = id->sign(message);
    if (!sig || !rsa_verify(id->public_spki_der(), message, *sig)) std::abort();
}

void channel_key_text(ByteView text) {
    const fs::path dir = root() / "data";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all);
    if (!files::write_file(dir / kIdentityHex, text, 0600, false)) std::abort();
    const auto key = load_channel_key(dir);
    if (!key || key->size() != 32) std::abort();
    Bytes parsed;
    if (parse_hex(trim_white(as_text(text)), parsed) && parsed.size() == 32 && *key != parsed) std::abort();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

void identity_file(ByteView der) {
    const fs::path dir = root() / "data";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all);
    if (!files::write_file(dir / kDeviceIdentityBin, der, 0600, false)) std::abort();
    const auto id = load_device_identity(dir, platform_protector(), FixedKeys());
    if (!id) std::abort();
    const auto stored = DeviceIdentity::from_pkcs8_der(der);
    const std::string want = stored ? stored->fingerprint() : fuzz::keys().pc.fingerprint();
    if (id->fingerprint() != want) std::abort();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ByteView rest(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0: identity_der(rest); break;
        case 1: channel_key_text(rest); break;
        default: identity_file(rest); break;
    }
    return 0;
}
