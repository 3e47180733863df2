// One sd-bus connection driven by a thread of its own. sd-bus objects are not thread-safe,
// so every use of the connection is posted to that thread; other threads wait on the
// results with bounded waits of their own. Shared by the BlueZ backend and the stand-in
// that tests it; nothing outside this folder and the stand-in sees these types.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/result.h"

namespace dovan::bluez {

class BusLoop {
public:
    using Task = std::function<void(sd_bus* bus)>;

    // An empty address is the system bus. The connection is open and authenticated on
    // return; the thread starts with start(), once the caller has added its matches.
    static Result<std::unique_ptr<BusLoop>> open(const std::string& address);
    ~BusLoop();
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    void start();
    // Runs `task` on the bus thread every `period` once started. One at most; before start().
    void every(std::chrono::milliseconds period, Task task) {
        period_ = period;
        periodic_ = std::move(task);
    }
    // Runs `task` on the bus thread (at once when called there). After stop() it is dropped.
    void post(Task task);
    // Posts and waits at most `limit`; false when the task did not run in time.
    bool run(Task task, std::chrono::milliseconds limit);
    // Ends the thread; tasks still queued are dropped. Idempotent.
    void stop();

    bool on_loop_thread() const { return std::this_thread::get_id() == thread_.get_id(); }
    // False once the bus has hung up (the daemon went away).
    bool connected() const { return connected_; }
    // Called on the bus thread once, when the connection is lost.
    void on_lost(std::function<void()> handler) { lost_ = std::move(handler); }
    // Only on the bus thread (or before start()).
    sd_bus* bus() const { return bus_; }
    std::string unique_name() const { return unique_name_; }

private:
    BusLoop(sd_bus* bus, int wake_fd);
    void loop();
    void wake();

    sd_bus* bus_;
    int wake_fd_;
    std::string unique_name_;
    std::thread thread_;
    std::mutex mu_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::atomic<bool> connected_{true};
    std::function<void()> lost_;
    std::chrono::milliseconds period_{0};
    Task periodic_;
};

// An error reply's name and message, or a local failure rendered the same way.
struct CallError {
    std::string name;
    std::string message;
    std::string text() const { return message.empty() ? name : name + ": " + message; }
};

CallError call_error(const sd_bus_error* e, int r);

}  // namespace dovan::bluez
