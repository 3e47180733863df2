// Helpers for the end-to-end suites: private folders, bounded waits, and child processes
// whose output is followed line by line.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dovan::e2e {

using namespace std::chrono_literals;

// Generous: the suites share two cores with seven other builds.
inline constexpr auto kWait = std::chrono::seconds(20);

// A private folder removed at the end of the test.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/dve2eXXXXXX";
        if (::mkdtemp(tmpl) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string sub(const std::string& name) const {
        std::filesystem::create_directories(path_ / name);
        return (path_ / name).string();
    }

private:
    std::filesystem::path path_;
};

// The whole file; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = kWait) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

// A child process with a pipe on stdin and its stdout read into lines. The destructor
// ends it (SIGTERM, then SIGKILL if it lingers) and reaps it.
class Process {
public:
    // `stderr_file`, when given, takes the child's diagnostics (kept out of the test log).
    Process(std::vector<std::string> argv, std::vector<std::string> env, std::string stderr_file = {})
        : stderr_file_(std::move(stderr_file)) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> full_env;
        for (char** e = environ; *e; ++e) {
            const std::string_view kv = *e;
            bool overridden = false;
            for (const auto& o : env)
                if (kv.substr(0, kv.find('=') + 1) == std::string_view(o).substr(0, o.find('=') + 1))
                    overridden = true;
            if (!overridden) full_env.emplace_back(kv);
        }
        for (auto& e : env) full_env.push_back(e);
        std::vector<char*> envp;
        for (auto& e : full_env) envp.push_back(e.data());
        envp.push_back(nullptr);

        const int err = stderr_file_.empty()
                            ? -1
                            : ::open(stderr_file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            if (err >= 0) ::dup2(err, STDERR_FILENO);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        if (err >= 0) ::close(err);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { read_loop(); });
    }
    ~Process() {
        close_stdin();
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGTERM);
            if (!wait_exit(10s)) {
                ::kill(pid_, SIGKILL);
                wait_exit(10s);
            }
        }
        if (reader_.joinable()) reader_.join();
        ::close(stdout_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void send(const std::string& line) {
        const std::string l = line + "\n";
        [[maybe_unused]] auto n = ::write(stdin_, l.data(), l.size());
    }
    void close_stdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }

    // Waits for the exit; false when it has not happened in time.
    bool wait_exit(std::chrono::milliseconds limit) {
        if (reaped_) return true;
        const bool ok = eventually([&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                exit_status_ = status;
            }
            return reaped_;
        }, limit);
        return ok;
    }
    int exit_status() const { return exit_status_; }

    std::vector<std::string> lines() {
        std::lock_guard lock(mu_);
        return lines_;
    }
    // The first line at or after `from` (an index into lines()) starting with `prefix`.
    std::optional<std::string> wait_line(const std::string& prefix, std::size_t from = 0,
                                         std::chrono::milliseconds limit = kWait) {
        std::optional<std::string> found;
        eventually([&] {
            std::lock_guard lock(mu_);
            for (std::size_t i = from; i < lines_.size(); ++i)
                if (lines_[i].rfind(prefix, 0) == 0) {
                    found = lines_[i];
                    return true;
                }
            return false;
        }, limit);
        return found;
    }
    std::size_t count(const std::string& prefix) {
        std::lock_guard lock(mu_);
        std::size_t n = 0;
        for (const auto& l : lines_) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::size_t mark() {
        std::lock_guard lock(mu_);
        return lines_.size();
    }
    std::string transcript() {
        std::lock_guard lock(mu_);
        std::string all;
        for (const auto& l : lines_) all += l + "\n";
        if (!stderr_file_.empty()) {
            std::ifstream in(stderr_file_);
            std::stringstream ss;
            ss << in.rdbuf();
            all += "--- stderr ---\n" + ss.str();
        }
        return all;
    }

private:
    void read_loop() {
        std::string pending;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::lock_guard lock(mu_);
                lines_.push_back(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
    }

    std::string stderr_file_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
    int exit_status_ = 0;
    std::thread reader_;
    std::mutex mu_;
    std::vector<std::string> lines_;
};

inline std::string binary(const std::string& name) { return std::string(DOVAN_BINARY_DIR) + "/" + name; }

// A loopback port nobody holds right now, so suites can run side by side.
inline std::uint16_t free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        std::abort();
    ::close(fd);
    return ntohs(sa.sin_port);
}

inline std::string after(const std::string& line, const std::string& prefix) { return line.substr(prefix.size()); }

}  // namespace dovan::e2e
