// The two private-key files: the channel key (identity.bin) and the device identity
// (device_identity.bin), with the take-over of their older generations.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <openssl/crypto.h>

#include "platform/debug_log.h"
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

// What a key file holds: nothing (missing), or the unsealed bytes, or bytes that are
// definitely not a key of ours (damaged). Any other read failure is an error: the file may
// be perfectly good behind it, so it must not be replaced.
struct KeyFile {
    enum class Kind : std::uint8_t { Missing, Damaged, Read } kind = Kind::Missing;
    Bytes plain;
};

Result<KeyFile> read_key_file(const fs::path& path, const SecretProtector& protector) {
    auto blob = files::read_file(path, kMaxKeyFileBytes, false);
    if (!blob) {
        // ENOTDIR: the data folder is not there as a folder, so neither is the file.
        if (blob.error().code == ENOENT || blob.error().code == ENOTDIR) return KeyFile{};
        // No key of ours comes near the limit: what is there is not one.
        if (blob.error().code == EFBIG) return KeyFile{KeyFile::Kind::Damaged, {}};
        return fail_text(format_text("读取 {} 失败: {}（现有身份不动，本次不启动）", path.string(),
                                     blob.error().text));
    }
    auto plain = protector.unprotect(*blob);
    if (!plain) return KeyFile{KeyFile::Kind::Damaged, {}};
    return KeyFile{KeyFile::Kind::Read, std::move(*plain)};
}

// The damaged file moves aside under a timestamped name before a new key takes its place,
// so whatever it still holds can be recovered.
Status keep_aside(const fs::path& path) {
    auto kept = keep_damaged_aside(path);
    if (!kept)
        return fail_text(format_text("无法保留损坏的 {}: {}（现有身份不动，本次不启动）",
                                     path.string(), kept.error().text));
    console_line(format_text("[Dovan] {} 已损坏，原文件保留为 {}，将生成新的", path.string(), kept->string()));
    return {};
}

std::string mode_text(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// Keys are read from and written to the data folder only while no other user can
// replace its files.
Status check_data_dir(const fs::path& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        // Not there yet: creating it reports what stands in the way.
        if (errno == ENOENT || errno == ENOTDIR) return {};
        return fail_text(format_text("数据目录 {} 无法检查: {}", dir.string(), errno_text(errno)));
    }
    if (!S_ISDIR(st.st_mode))
        return fail_text(format_text("数据目录 {} 不是文件夹，拒绝使用", dir.string()));
    if (st.st_uid != ::geteuid())
        return fail_text(format_text("数据目录 {} 属于另一个用户（uid {}），拒绝使用", dir.string(),
                                     st.st_uid));
    if (st.st_mode & S_IWOTH)
        return fail_text(format_text("数据目录 {} 可被其他用户写入（权限 {}），拒绝使用",
                                     dir.string(), mode_text(st.st_mode)));
    return {};
}

Status protect_to_file(const fs::path& path, ByteView plain, const SecretProtector& protector) {
    auto blob = protector.protect(plain);
    if (!blob) return fail(std::move(blob).error());
    return files::write_file(path, *blob, 0600, true);
}

// The older text generation: 64 hex digits, blanks around them allowed.
bool parse_identity_hex(const fs::path& path, Bytes& key) {
    auto bytes = files::read_file(path, kMaxKeyFileBytes);
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
    if (auto ok = check_data_dir(dir); !ok) return fail(std::move(ok).error());
    const fs::path bin = dir / kIdentityBin;

    auto file = read_key_file(bin, protector);
    if (!file) return fail(std::move(file).error());
    if (file->kind == KeyFile::Kind::Read && file->plain.size() == kChannelKeyLen)
        return std::move(file->plain);
    OPENSSL_cleanse(file->plain.data(), file->plain.size());
    if (file->kind != KeyFile::Kind::Missing) {
        if (auto kept = keep_aside(bin); !kept) return fail(std::move(kept).error());
    }

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
    if (auto ok = check_data_dir(dir); !ok) return fail(std::move(ok).error());
    const fs::path bin = dir / kDeviceIdentityBin;

    auto file = read_key_file(bin, protector);
    if (!file) return fail(std::move(file).error());
    if (file->kind == KeyFile::Kind::Read) {
        auto stored = DeviceIdentity::from_pkcs8_der(file->plain);
        OPENSSL_cleanse(file->plain.data(), file->plain.size());
        if (stored) return std::move(*stored);
    }
    if (file->kind != KeyFile::Kind::Missing) {
        if (auto kept = keep_aside(bin); !kept) return fail(std::move(kept).error());
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
