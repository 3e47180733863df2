#include "common/bytes.h"
#include "platform/sim/sim_wire.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

namespace dovan::sim {

Bytes encode_message(std::uint8_t op, ByteView body) {
    std::uint32_t n = static_cast<std::uint32_t>(1 + body.size());
    Bytes out;
    out.reserve(4 + n);
    put_be(out, n, 4);
    out.push_back(op);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

static bool read_exact(int fd, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool read_message(int fd, Message& out) {
    std::uint8_t len[4];
    if (!read_exact(fd, len, 4)) return false;
    const std::uint32_t n = load_be32(len);
    if (n == 0 || n > kMaxMessage) return false;
    std::uint8_t op;
    if (!read_exact(fd, &op, 1)) return false;
    out.op = op;
    out.body.resize(n - 1);
    return n == 1 || read_exact(fd, out.body.data(), n - 1);
}

bool write_all(int fd, ByteView data) {
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t w = ::send(fd, p, left, MSG_NOSIGNAL);
        if (w > 0) {
            p += w;
            left -= static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

std::string encode_advertisement(const ble::Advertisement& adv) {
    std::string out = "DVADV1\naddr=" + ble::address_text(adv.address) + "\nname=" + adv.local_name;
    for (const auto& u : adv.service_uuids) out += "\nuuid=" + u.text();
    out += "\n";
    return out;
}

std::optional<ble::Advertisement> parse_advertisement(std::string_view datagram) {
    ble::Advertisement adv;
    bool first = true;
    bool have_addr = false;
    while (!datagram.empty() || first) {
        std::size_t nl = datagram.find('\n');
        std::string_view line = datagram.substr(0, nl);
        datagram = nl == std::string_view::npos ? std::string_view{} : datagram.substr(nl + 1);
        if (first) {
            if (line != "DVADV1") return std::nullopt;
            first = false;
            continue;
        }
        if (line.starts_with("addr=")) {
            if (!ble::parse_address(line.substr(5), adv.address)) return std::nullopt;
            have_addr = true;
        } else if (line.starts_with("name=")) {
            adv.local_name = std::string(line.substr(5));
        } else if (line.starts_with("uuid=")) {
            auto u = ble::Uuid::parse(line.substr(5));
            if (u.ok()) adv.service_uuids.push_back(*u);
        }
    }
    if (!have_addr) return std::nullopt;
    return adv;
}

std::string air_path(const std::string& folder) { return folder + "/air"; }

namespace {
std::string mode_text(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}
}  // namespace

Status prepare_radio_folder(const std::string& folder) {
    std::error_code ec;
    const std::filesystem::path dir(folder);
    if (dir.has_parent_path() && !std::filesystem::exists(dir.parent_path(), ec))
        std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail_text(format_text("模拟射频目录 {} 创建失败: {}", folder, errno_text(errno)));
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail_text(format_text("模拟射频目录 {} 不是文件夹", folder));
    if (st.st_uid != ::geteuid())
        return fail_text(format_text("模拟射频目录 {} 属于其他用户（uid {}），拒绝使用", folder,
                                     static_cast<unsigned>(st.st_uid)));
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return fail_text(format_text("模拟射频目录 {} 可被其他用户写入（权限 {}），拒绝使用", folder,
                                     mode_text(st.st_mode)));
    return {};
}

std::string gatt_path(const std::string& folder, std::uint64_t address) {
    return folder + "/" + ble::address_text(address) + ".gatt";
}

ble::Uuid uuid_at(const Bytes& body, std::size_t offset) {
    ble::Uuid u;
    std::copy(body.begin() + static_cast<std::ptrdiff_t>(offset),
              body.begin() + static_cast<std::ptrdiff_t>(offset + 16), u.bytes.begin());
    return u;
}

void append_uuid(Bytes& out, const ble::Uuid& u) { out.insert(out.end(), u.bytes.begin(), u.bytes.end()); }

}  // namespace dovan::sim
