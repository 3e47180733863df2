#include "platform/stdin_lines.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace dovan {

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void block_stop_signals() {
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void run_stdin_lines(const std::function<bool(const std::string& line)>& on_line) {
    const sigset_t set = stop_signals();
    const int signal_fd = ::signalfd(-1, &set, SFD_CLOEXEC);
    bool stdin_open = true;
    std::string pending;
    for (bool go_on = true; go_on;) {
        pollfd p[2] = {{signal_fd, POLLIN, 0}, {stdin_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[0].revents != 0) break;
        if (p[1].revents == 0) continue;
        char buf[65536];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdin_open = false;
            continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; go_on && (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            go_on = on_line(line);
        }
    }
    if (signal_fd >= 0) ::close(signal_fd);
}

}  // namespace dovan
