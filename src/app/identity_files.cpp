// The two private-key files: the channel key (identity.bin) and the device identity
// (device_identity.bin), with the take-over of their older generations.
#include <memory>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "app/store_files.h"
#include "app/stores.h"
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

class OpenSslRsaFactory final : public DeviceKeyFactory {
public:
    bool parses(ByteView pkcs8) const override {
        const unsigned char* p = pkcs8.data();
        std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
            d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8.size())),
            PKCS8_PRIV_KEY_INFO_free);
        if (!info || p != pkcs8.data() + pkcs8.size()) return false;
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_PKCS82PKEY(info.get()),
                                                                 EVP_PKEY_free);
        // The phone refuses any other key, so such a file is as good as damaged.
        return key && EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA &&
               EVP_PKEY_get_bits(key.get()) == 2048;
    }

    Result<Bytes> generate_pkcs8() const override {
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
            EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)), EVP_PKEY_free);
        if (!key) return fail_text(format_text("RSA 身份生成失败: {}", "EVP_PKEY_Q_keygen"));
        std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
            EVP_PKEY2PKCS8(key.get()), PKCS8_PRIV_KEY_INFO_free);
        unsigned char* der = nullptr;
        const int len = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : -1;
        if (len <= 0) return fail_text(format_text("RSA 身份序列化失败: {}", "i2d_PKCS8"));
        Bytes out(der, der + len);
        OPENSSL_clear_free(der, static_cast<size_t>(len));
        return out;
    }
};

Result<Bytes> unprotect_file(const fs::path& path, const SecretProtector& protector) {
    auto blob = store_io::read_file(path);
    if (!blob) return fail(std::move(blob).error());
    return protector.unprotect(*blob);
}

Status protect_to_file(const fs::path& path, ByteView plain, const SecretProtector& protector) {
    auto blob = protector.protect(plain);
    if (!blob) return fail(std::move(blob).error());
    return store_io::write_file(path, *blob, 0600, true);
}

// The older text generation: 64 hex digits, blanks around them allowed.
bool parse_identity_hex(const fs::path& path, Bytes& key) {
    auto bytes = store_io::read_file(path);
    if (!bytes) return false;
    const std::string_view text = store_io::trim(as_text(*bytes));
    Bytes parsed;
    if (!parse_hex(text, parsed) || parsed.size() != kChannelKeyLen) return false;
    key = std::move(parsed);
    return true;
}

Status make_dir(const fs::path& dir) {
    auto made = store_io::ensure_dir(dir);
    if (!made) return fail_text(format_text("创建数据目录失败: {}", made.error().text));
    return {};
}

}  // namespace

const SecretProtector& platform_protector() {
    static const FileModeProtector protector;
    return protector;
}

const DeviceKeyFactory& rsa_key_factory() {
    static const OpenSslRsaFactory factory;
    return factory;
}

Result<Bytes> load_channel_key(const SecretProtector& protector) {
    auto dir = data_dir();
    if (!dir) return fail(std::move(dir).error());
    const fs::path bin = *dir / kIdentityBin;

    if (auto key = unprotect_file(bin, protector); key && key->size() == kChannelKeyLen)
        return std::move(*key);

    Bytes key;
    if (parse_identity_hex(*dir / kIdentityHex, key)) {
        if (auto made = make_dir(*dir); !made) return fail(std::move(made).error());
        // The key is good either way; the text copy goes only once the sealed one exists.
        if (protect_to_file(bin, key, protector)) {
            std::error_code ec;
            fs::remove(*dir / kIdentityHex, ec);
        }
        return key;
    }

    key.resize(kChannelKeyLen);
    if (!random_fill(key))
        return fail_text("系统随机源不可用");
    if (auto made = make_dir(*dir); !made) return fail(std::move(made).error());
    if (auto wrote = protect_to_file(bin, key, protector); !wrote)
        return fail_text(format_text("身份私钥加密落盘失败: {}", wrote.error().text));
    return key;
}

Result<Bytes> load_device_identity(const SecretProtector& protector,
                                   const DeviceKeyFactory& keys) {
    auto dir = data_dir();
    if (!dir) return fail(std::move(dir).error());
    const fs::path bin = *dir / kDeviceIdentityBin;

    if (auto der = unprotect_file(bin, protector); der && keys.parses(*der)) return std::move(*der);

    auto der = keys.generate_pkcs8();
    if (!der) return fail(std::move(der).error());
    if (auto made = make_dir(*dir); !made) return fail(std::move(made).error());
    if (auto wrote = protect_to_file(bin, *der, protector); !wrote)
        return fail_text(format_text("身份私钥加密落盘失败: {}", wrote.error().text));

    // The old single-phone pin predates this identity; it survives only as a backup.
    if (store_io::exists(*dir / kPeerHex)) {
        std::error_code ec;
        fs::rename(*dir / kPeerHex, *dir / kPeerHexBackup, ec);
    }
    return der;
}

Result<LocalStores> load_local_stores(const SecretProtector& protector,
                                      const DeviceKeyFactory& keys) {
    LocalStores out;
    auto channel = load_channel_key(protector);
    if (!channel) return fail_text(format_text("身份初始化失败: {}", channel.error().text));
    out.channel_key = std::move(*channel);
    auto device = load_device_identity(protector, keys);
    if (!device) return fail_text(format_text("设备身份初始化失败: {}", device.error().text));
    out.device_key = std::move(*device);
    out.trusted = load_trusted_peers();
    return out;
}

}  // namespace dovan
