#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace dovan::files {
namespace {

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

Result<Bytes> read_file(const std::filesystem::path& path, std::uint64_t max_bytes, bool follow_links) {
    if (const int err = injected(IoStep::Read, path)) return fail_text(errno_text(err), err);
    UniqueFd f;
    // Non-blocking open: a FIFO must not stall us before we can see what it is.
    f.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW)));
    if (f.get() < 0) return fail_text(errno_text(errno), errno);
    struct stat st {};
    if (::fstat(f.get(), &st) != 0) return fail_text(errno_text(errno), errno);
    if (!S_ISREG(st.st_mode)) return fail_text(errno_text(EINVAL), EINVAL);
    auto too_big = [] { return fail_text(errno_text(EFBIG), EFBIG); };
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > max_bytes) return too_big();
    // Read straight into the result: one buffer, so no copy of a key is left behind in a
    // freed one. One byte more than the size tells a file that grew since fstat.
    Bytes out(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (out.size() > max_bytes) return too_big();
            out.resize(std::min<std::uint64_t>(out.size() * 2, max_bytes + 1));
        }
        const ssize_t n = ::read(f.get(), out.data() + got, out.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_text(errno_text(errno), errno);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

Status write_file(const std::filesystem::path& path, ByteView data, mode_t mode, bool durable) {
    // Something other than a file in its place is not ours to replace.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        const int err = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
        return fail_text(errno_text(err), err);
    }
    std::filesystem::path tmp = path;
    tmp += ".tmp";
    // A leftover from an interrupted write is stale by definition.
    (void)::unlink(tmp.c_str());
    UniqueFd f;
    f.reset(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (f.get() < 0) return fail_text(errno_text(errno), errno);
    auto failed = [&](int err) {
        (void)::unlink(tmp.c_str());
        return fail_text(errno_text(err), err);
    };
    // The umask must not loosen or tighten what the caller asked for.
    if (::fchmod(f.get(), mode) != 0) return failed(errno);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(f.get(), data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (durable && ::fsync(f.get()) != 0) return failed(errno);
    // A close that fails may have lost the data, so it is reported rather than left to the owner.
    if (::close(f.release()) != 0) return failed(errno);
    // Left in place as a crash here would leave it; the old file is untouched.
    if (const int err = injected(IoStep::Rename, path)) return fail_text(errno_text(err), err);
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
    return fail_text(errno_text(err == EEXIST ? ENOTDIR : err), err);
}

Status ensure_private_dir(const std::filesystem::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail_text(errno_text(errno), errno);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return fail_text(errno_text(errno), errno);
    if (!S_ISDIR(st.st_mode)) return fail_text(format_text("{} 不是目录", dir.string()), ENOTDIR);
    if (st.st_uid != ::geteuid()) return fail_text(format_text("{} 属于其他用户", dir.string()), EPERM);
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return fail_text(errno_text(errno), errno);
    return {};
}

void sync_dir(const std::filesystem::path& dir) {
    UniqueFd f;
    f.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (f.get() >= 0) (void)::fsync(f.get());
}

bool exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace dovan::files

namespace dovan::files {

std::optional<std::uint64_t> free_space(const std::filesystem::path& path) {
    struct statvfs v {};
    if (::statvfs(path.c_str(), &v) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(v.f_bavail) * static_cast<std::uint64_t>(v.f_frsize);
}

Status rename_noreplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    int err = errno;
    // Some file systems lack the flag; a hard link is just as unable to replace.
    if (err == EINVAL || err == ENOSYS) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return {};
        }
        err = errno;
    }
    return fail_text(errno_text(err), err);
}

}  // namespace dovan::files
