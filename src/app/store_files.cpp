#include "app/store_files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace dovan::store_io {
namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Length of the white-space character whose UTF-8 starts at s[i], or 0.
std::size_t space_len_at(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0d)) return 1;
    auto byte = [&](std::size_t k) {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    };
    if (c == 0xc2 && (byte(1) == 0x85 || byte(1) == 0xa0)) return 2;
    if (c == 0xe1 && byte(1) == 0x9a && byte(2) == 0x80) return 3;  // U+1680
    if (c == 0xe2 && byte(1) == 0x80) {
        const auto b = byte(2);
        if ((b >= 0x80 && b <= 0x8a) || b == 0xa8 || b == 0xa9 || b == 0xaf) return 3;
    }
    if (c == 0xe2 && byte(1) == 0x81 && byte(2) == 0x9f) return 3;  // U+205F
    if (c == 0xe3 && byte(1) == 0x80 && byte(2) == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white space that ends at s[end), or 0.
std::size_t space_len_before(std::string_view s, std::size_t end) {
    for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
        const std::size_t start = end - len;
        if (space_len_at(s, start) == len) return len;
    }
    return 0;
}

IoFault& io_fault() {
    static IoFault fault;
    return fault;
}

int injected(IoStep step, const std::filesystem::path& path) {
    const IoFault& f = io_fault();
    return f ? f(step, path) : 0;
}

}  // namespace

void set_io_fault(IoFault fault) { io_fault() = std::move(fault); }

std::string os_error(int err) { return std::error_code(err, std::system_category()).message(); }

Result<Bytes> read_file(const std::filesystem::path& path, bool follow_links) {
    if (const int err = injected(IoStep::Read, path)) return fail_text(os_error(err), err);
    Fd f;
    // Non-blocking open: a FIFO must not stall us before we can see what it is.
    f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW));
    if (f.fd < 0) return fail_text(os_error(errno), errno);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return fail_text(os_error(errno), errno);
    if (!S_ISREG(st.st_mode)) return fail_text(os_error(EINVAL), EINVAL);
    Bytes out;
    out.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_text(os_error(errno), errno);
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

Status write_file(const std::filesystem::path& path, ByteView data, mode_t mode, bool durable) {
    // Something other than a file in its place is not ours to replace.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        const int err = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
        return fail_text(os_error(err), err);
    }
    std::filesystem::path tmp = path;
    tmp += ".tmp";
    // A leftover from an interrupted write is stale by definition.
    (void)::unlink(tmp.c_str());
    Fd f;
    f.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (f.fd < 0) return fail_text(os_error(errno), errno);
    auto failed = [&](int err) {
        (void)::unlink(tmp.c_str());
        return fail_text(os_error(err), err);
    };
    // The umask must not loosen or tighten what the caller asked for.
    if (::fchmod(f.fd, mode) != 0) return failed(errno);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(f.fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (durable && ::fsync(f.fd) != 0) return failed(errno);
    const int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0) return failed(errno);
    // Left in place as a crash here would leave it; the old file is untouched.
    if (const int err = injected(IoStep::Rename, path)) return fail_text(os_error(err), err);
    if (::rename(tmp.c_str(), path.c_str()) != 0) return failed(errno);
    if (durable) sync_dir(path.has_parent_path() ? path.parent_path() : std::filesystem::path("."));
    return {};
}

Status ensure_dir(const std::filesystem::path& dir) {
    std::error_code ec;
    if (dir.has_parent_path()) {
        std::filesystem::create_directories(dir.parent_path(), ec);
        if (ec) return fail_text(ec.message(), ec.value());
    }
    if (::mkdir(dir.c_str(), 0700) == 0) return {};
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return fail_text(os_error(err == EEXIST ? ENOTDIR : err), err);
}

void sync_dir(const std::filesystem::path& dir) {
    Fd f;
    f.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (f.fd >= 0) (void)::fsync(f.fd);
}

bool exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string_view trim(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size()) {
        const std::size_t n = space_len_at(s, b);
        if (n == 0) break;
        b += n;
    }
    std::size_t e = s.size();
    while (e > b) {
        const std::size_t n = space_len_before(s, e);
        if (n == 0) break;
        e -= n;
    }
    return s.substr(b, e - b);
}

}  // namespace dovan::store_io
