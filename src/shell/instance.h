// One running instance per user and data folder: a lock file held for the whole life of the
// primary instance, and a Unix stream socket beside it through which later starts hand
// their request over. Both live in a 0700 folder of the user's; the server also checks
// every client's user, so other users cannot reach the running program.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/result.h"

namespace dovan {

inline constexpr int kForwardAttempts = 12;
inline constexpr std::chrono::milliseconds kForwardPause{120};
// A client has this long for its first byte, and each later byte may follow the one
// before by at most kHandoffGap.
inline constexpr std::chrono::milliseconds kHandoffFirstByte{200};
inline constexpr std::chrono::milliseconds kHandoffGap{30};
// Whatever a client does, it holds the server no longer than this.
inline constexpr std::chrono::milliseconds kHandoffWhole{1000};

// $XDG_RUNTIME_DIR/dovan-<id of the data folder> when that variable holds an absolute path,
// else <data folder>/run. Created 0700; refused when it is a link or someone else's.
Result<std::filesystem::path> ipc_directory(const std::filesystem::path& data_dir);

inline constexpr const char* kInstanceLockName = "instance.lock";
inline constexpr const char* kHandoffSocketName = "handoff.sock";

class InstanceLock {
public:
    enum class State { Primary, Taken, Failed };

    // Tries the lock once, without waiting.
    static InstanceLock acquire(const std::filesystem::path& dir);

    InstanceLock() = default;
    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    ~InstanceLock();

    State state() const { return state_; }
    const std::string& error() const { return error_; }  // for Failed
    // Lets the next instance become primary (before a restart starts it).
    void release();

private:
    State state_ = State::Failed;
    int fd_ = -1;
    std::string error_;
};

// The server thread. Each message is handed to `on_message` on that thread, one at a time.
class HandoffServer {
public:
    using OnMessage = std::function<void(std::string_view bytes)>;

    // `replace_stale`: the caller holds the instance lock, so a socket file left there
    // belongs to a dead instance and may go.
    static Result<std::unique_ptr<HandoffServer>> start(const std::filesystem::path& socket_path,
                                                       bool replace_stale, OnMessage on_message);
    ~HandoffServer();
    HandoffServer(const HandoffServer&) = delete;
    HandoffServer& operator=(const HandoffServer&) = delete;

private:
    HandoffServer(int listen_fd, int wake_fd, std::filesystem::path path, OnMessage on_message);
    void run();
    void serve(int client);

    int listen_fd_;
    int wake_fd_;
    std::filesystem::path path_;
    OnMessage on_message_;
    std::thread thread_;
};

// The client of a second start: up to 12 connection attempts 120 ms apart; true when the
// whole message was written.
bool forward_to_running_instance(const std::filesystem::path& socket_path, std::string_view message,
                                 int attempts = kForwardAttempts,
                                 std::chrono::milliseconds pause = kForwardPause);

// Starts this program's executable again with `args`, in a session of its own, and does not
// wait for it.
Status start_detached_self(std::vector<std::string> args);

}  // namespace dovan
