// A dbus-daemon of the test's own, on a Unix socket in a private folder, with a config
// file that lets every client own any name. Tests point the BlueZ backend and the stand-in
// at it; nothing here goes near the system bus.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace dovan::testing {

class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& dir) {
        const auto socket = dir / "bus";
        const auto config = dir / "bus.conf";
        std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>dovan-test</type>
  <listen>unix:path=)" << socket.string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";
        address_ = "unix:path=" + socket.string();
        const std::string arg = "--config-file=" + config.string();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Its complaints (fd limits and the like) go to a file beside the socket.
            const int log = ::open((dir / "bus.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (log >= 0) ::dup2(log, STDERR_FILENO);
            ::execl("/usr/bin/dbus-daemon", "dbus-daemon", arg.c_str(), "--nofork", "--nopidfile",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once the socket accepts a connection.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until && !ready_) {
            ready_ = accepts(socket.string());
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }
    // The daemon itself goes away (every client is cut off).
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    static bool accepts(const std::string& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
        const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        if (fd >= 0) ::close(fd);
        return ok;
    }

    std::string address_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace dovan::testing
