// The freedesktop notification service (org.freedesktop.Notifications) over D-Bus. One
// thread owns the bus connection: posting hands the notification to it and returns at once,
// every call has a time-out, and a silent or failing service ends in an error outcome.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/result.h"
#include "platform/notifier.h"

namespace dovan {

class FreedesktopNotifier final : public Notifier {
public:
    struct Options {
        std::string bus_address;  // empty: the session bus of the environment
        std::chrono::milliseconds call_timeout{3000};
        std::size_t queue_limit = 16;
    };

    // Connects and checks that the service is there (running or startable on demand).
    static Result<std::unique_ptr<FreedesktopNotifier>> open(NotifierCallbacks callbacks, Options options);
    static Result<std::unique_ptr<FreedesktopNotifier>> open(NotifierCallbacks callbacks) {
        return open(std::move(callbacks), Options{});
    }
    ~FreedesktopNotifier() override;

    bool post(DesktopNotification notification) override;

    struct Bus;  // the sd-bus side, kept out of this header

private:
    FreedesktopNotifier(std::unique_ptr<Bus> bus, int wake_fd, NotifierCallbacks callbacks, Options options);
    void run();

    std::unique_ptr<Bus> bus_;
    int wake_fd_;
    NotifierCallbacks callbacks_;
    Options options_;
    std::mutex mu_;
    std::deque<DesktopNotification> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace dovan
