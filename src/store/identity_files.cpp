// The two private-key files: the channel key (identity.bin) and the device identity
// (device_identity.bin), with the take-over of their older generations.
#include <memory>
#include <openssl/crypto.h>

#include "platform/files.h"
#include "store/stores.h"
#include "crypto/random.h"

namespace dovan {
namespace fs = std::filesystem;

namespace {

class FileModeProtector final : public SecretProtector {
public:
    Result<Bytes> protect(ByteView plain) const override {
        if (plain.empty()) return fail_text("加密返回了空缓冲");
        return Bytes(plain.begin(), plain.end());
    }
    Result<Bytes> unprotect(ByteView blob) const override {
        if (blob.empty()) return fail_text("身份文件为空");
        return Bytes(blob.begin(), blob.end());
    }
};

class RsaKeyFactory final : public DeviceKeyFactory {
public:
    Result<DeviceIdentity> generate() const override { return DeviceIdentity::generate(); }
};

Result<Bytes> unprotect_file(const fs::path& path, const SecretProtector& protector) {
    auto blob = files::read_file(path);
    if (!blob) return fail(std::move(blob).error());
    return protector.unprotect(*blob);
}

Status protect_to_file(const fs::path& path, ByteView plain, const SecretProtector& protector) {
    auto blob = protector.protect(plain);
    if (!blob) return fail(std::move(blob).error());
    return files::write_file(path, *blob, 0600, true);
}

// The older text generation: 64 hex digits, blanks around them allowed.
bool parse_identity_hex(const fs::path& path, Bytes& key) {
    auto bytes = files::read_file(path);
    if (!bytes) return false;
    const std::string_view text = trim_white(as_text(*bytes));
    Bytes parsed;
    if (!parse_hex(text, parsed) || parsed.size() != kChannelKeyLen) return false;
    key = std::move(parsed);
    return true;
}

Status make_dir(const fs::path& dir) {
    auto made = files::ensure_dir(dir);
    if (!made) return fail_text(format_text("创建数据目录失败: {}", made.error().text));
    return {};
}

}  // namespace

const SecretProtector& platform_protector() {
    static const FileModeProtector protector;
    return protector;
}

const DeviceKeyFactory& rsa_key_factory() {
    static const RsaKeyFactory factory;
    return factory;
}

Result<Bytes> load_channel_key(const fs::path& dir, const SecretProtector& protector) {
    if (!usable_dir(dir)) return fail_text(kNoDataDir);
    const fs::path bin = dir / kIdentityBin;

    if (auto key = unprotect_file(bin, protector); key && key->size() == kChannelKeyLen)
        return std::move(*key);

    Bytes key;
    if (parse_identity_hex(dir / kIdentityHex, key)) {
        if (auto made = make_dir(dir); !made) return fail(std::move(made).error());
        // The key is good either way; the text copy goes only once the sealed one exists.
        if (protect_to_file(bin, key, protector)) {
            std::error_code ec;
            fs::remove(dir / kIdentityHex, ec);
        }
        return key;
    }

    key.resize(kChannelKeyLen);
    if (!random_fill(key))
        return fail_text("系统随机源不可用");
    if (auto made = make_dir(dir); !made) return fail(std::move(made).error());
    if (auto wrote = protect_to_file(bin, key, protector); !wrote)
        return fail_text(format_text("身份私钥加密落盘失败: {}", wrote.error().text));
    return key;
}

Result<DeviceIdentity> load_device_identity(const fs::path& dir, const SecretProtector& protector,
                                            const DeviceKeyFactory& keys) {
    if (!usable_dir(dir)) return fail_text(kNoDataDir);
    const fs::path bin = dir / kDeviceIdentityBin;

    if (auto der = unprotect_file(bin, protector)) {
        auto stored = DeviceIdentity::from_pkcs8_der(*der);
        OPENSSL_cleanse(der->data(), der->size());
        if (stored) return std::move(*stored);
    }

    auto made = keys.generate();
    if (!made) return fail_text(format_text("RSA 身份生成失败: {}", made.error().text));
    Bytes der = made->private_pkcs8_der();
    if (der.empty()) return fail_text(format_text("RSA 身份序列化失败: {}", "PKCS#8"));
    if (auto dir_made = make_dir(dir); !dir_made) return fail(std::move(dir_made).error());
    auto wrote = protect_to_file(bin, der, protector);
    OPENSSL_cleanse(der.data(), der.size());
    if (!wrote) return fail_text(format_text("身份私钥加密落盘失败: {}", wrote.error().text));

    // The old single-phone pin predates this identity; it survives only as a backup.
    if (files::exists(dir / kPeerHex)) {
        std::error_code ec;
        fs::rename(dir / kPeerHex, dir / kPeerHexBackup, ec);
    }
    return std::move(*made);
}

Result<LocalStores> load_local_stores(const fs::path& dir, const SecretProtector& protector,
                                      const DeviceKeyFactory& keys) {
    auto channel = load_channel_key(dir, protector);
    if (!channel) return fail_text(format_text("身份初始化失败: {}", channel.error().text));
    auto device = load_device_identity(dir, protector, keys);
    if (!device) return fail_text(format_text("设备身份初始化失败: {}", device.error().text));
    std::string own = device->fingerprint();
    return LocalStores{std::move(*channel), std::move(*device), std::move(own),
                       load_trusted_peers(dir)};
}

}  // namespace dovan
