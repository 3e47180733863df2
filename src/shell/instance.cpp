#include "shell/instance.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/debug_log.h"
#include "platform/files.h"
#include "common/text.h"
#include "shell/handoff.h"

extern char** environ;

namespace dovan {

namespace {

using Steady = std::chrono::steady_clock;


// A stable id for the data folder, so instances on different data folders (tests running
// side by side) never meet in one runtime folder.
std::string folder_id(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
    return hex_upper(h, 16);
}

bool socket_address(const std::filesystem::path& path, sockaddr_un& sa) {
    sa = {};
    sa.sun_family = AF_UNIX;
    const std::string& p = path.native();
    if (p.size() >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path, p.data(), p.size());
    return true;
}

int remaining_ms(Steady::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Result<std::filesystem::path> ipc_directory(const std::filesystem::path& data_dir) {
    std::filesystem::path dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        dir = std::filesystem::path(runtime) / ("dovan-" + folder_id(data_dir.string()));
    } else {
        if (auto made = files::ensure_private_dir(data_dir); !made) return fail(made.error());
        dir = data_dir / "run";
    }
    if (auto made = files::ensure_private_dir(dir); !made) return fail(made.error());
    return dir;
}

// ---- the lock ----

InstanceLock InstanceLock::acquire(const std::filesystem::path& dir) {
    InstanceLock lock;
    const auto path = dir / kInstanceLockName;
    lock.fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock.fd_ < 0) {
        lock.error_ = errno_text(errno);
        return lock;
    }
    if (::flock(lock.fd_, LOCK_EX | LOCK_NB) == 0) {
        lock.state_ = State::Primary;
    } else if (errno == EWOULDBLOCK) {
        lock.state_ = State::Taken;
        ::close(lock.fd_);
        lock.fd_ = -1;
    } else {
        lock.error_ = errno_text(errno);
        ::close(lock.fd_);
        lock.fd_ = -1;
    }
    return lock;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : state_(other.state_), fd_(std::exchange(other.fd_, -1)), error_(std::move(other.error_)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        release();
        state_ = other.state_;
        fd_ = std::exchange(other.fd_, -1);
        error_ = std::move(other.error_);
    }
    return *this;
}

InstanceLock::~InstanceLock() { release(); }

void InstanceLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// ---- the server ----

Result<std::unique_ptr<HandoffServer>> HandoffServer::start(const std::filesystem::path& socket_path,
                                                           bool replace_stale, OnMessage on_message) {
    sockaddr_un sa;
    if (!socket_address(socket_path, sa)) return fail_text(format_text("套接字路径过长: {}", socket_path.string()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail_text(errno_text(errno));
    if (replace_stale) ::unlink(socket_path.c_str());
    // Nobody but the owner may even connect; the peer check below is the second wall.
    const mode_t old_mask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    const int bind_err = errno;
    ::umask(old_mask);
    if (bound != 0 || ::listen(fd, 8) != 0) {
        const int err = bound != 0 ? bind_err : errno;
        ::close(fd);
        return fail_text(errno_text(err));
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(socket_path.c_str());
        return fail_text(errno_text(err));
    }
    return std::unique_ptr<HandoffServer>(new HandoffServer(fd, wake, socket_path, std::move(on_message)));
}

HandoffServer::HandoffServer(int listen_fd, int wake_fd, std::filesystem::path path, OnMessage on_message)
    : listen_fd_(listen_fd), wake_fd_(wake_fd), path_(std::move(path)), on_message_(std::move(on_message)) {
    thread_ = std::thread([this] { run(); });
}

HandoffServer::~HandoffServer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
    ::close(wake_fd_);
    ::unlink(path_.c_str());
}

void HandoffServer::run() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            // A broken poll would spin; wait as a failed connect wait does, then retry.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) continue;
        serve(client);
    }
}

void HandoffServer::serve(int client) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
        ::close(client);
        console_line("[Dovan] 转交连接来自其他用户，已拒绝");
        return;
    }

    std::string bytes;
    bool oversized = false;
    const auto whole = Steady::now() + kHandoffWhole;
    auto window = Steady::now() + kHandoffFirstByte;
    for (;;) {
        const int wait = bytes.empty() ? remaining_ms(window) : static_cast<int>(kHandoffGap.count());
        pollfd p{client, POLLIN, 0};
        const int ready = ::poll(&p, 1, std::min(wait, remaining_ms(whole)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[kHandoffLimit + 1];
        const ssize_t n = ::read(client, buf, kHandoffLimit + 1 - bytes.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > kHandoffLimit) {
            oversized = true;
            break;
        }
    }
    ::close(client);

    if (oversized) {
        console_line("[Dovan] 转交内容超过 4096 字节，本次转交作废");
        return;
    }
    if (bytes.empty()) {
        console_line("[Dovan] 命名管道连接没有送到内容，本次转交作废");
        return;
    }
    if (on_message_) on_message_(bytes);
}

// ---- the client ----

bool forward_to_running_instance(const std::filesystem::path& socket_path, std::string_view message,
                                 int attempts, std::chrono::milliseconds pause) {
    sockaddr_un sa;
    if (!socket_address(socket_path, sa)) return false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(pause);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            continue;
        }
        std::size_t done = 0;
        while (done < message.size()) {
            const ssize_t n = ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        return done == message.size();
    }
    return false;
}

// ---- restart ----

Status start_detached_self(std::vector<std::string> args) {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return fail_text("posix_spawnattr_init");
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::string exe = "/proc/self/exe";
    // posix_spawn takes non-const strings: these copies are the ones it gets.
    std::vector<char*> argv{exe.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int err = ::posix_spawn(&pid, exe.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) return fail_text(errno_text(err));
    return {};
}

}  // namespace dovan
