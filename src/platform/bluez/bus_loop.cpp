#include "common/text.h"
#include "platform/bluez/bus_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>

namespace dovan::bluez {

Result<std::unique_ptr<BusLoop>> BusLoop::open(const std::string& address) {
    sd_bus* bus = nullptr;
    int r;
    if (address.empty()) {
        r = sd_bus_open_system(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    }
    // The unique name arrives with the Hello reply: having one means the bus is really there.
    const char* unique = nullptr;
    if (r >= 0) r = sd_bus_get_unique_name(bus, &unique);
    if (r < 0) {
        if (bus) sd_bus_unref(bus);
        return fail_text(errno_text(-r), -r);
    }
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        sd_bus_unref(bus);
        return fail_text(std::string("eventfd: ") + errno_text(errno));
    }
    return std::unique_ptr<BusLoop>(new BusLoop(bus, fd));
}

BusLoop::BusLoop(sd_bus* bus, int wake_fd) : bus_(bus), wake_fd_(wake_fd) {
    const char* name = nullptr;
    if (sd_bus_get_unique_name(bus_, &name) >= 0 && name) unique_name_ = name;
}

BusLoop::~BusLoop() {
    stop();
    sd_bus_flush_close_unref(bus_);
    ::close(wake_fd_);
}

void BusLoop::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
}

void BusLoop::stop() {
    {
        std::lock_guard lock(mu_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
    }
    wake();
    if (thread_.joinable() && !on_loop_thread()) thread_.join();
    std::deque<Task> dropped;
    {
        std::lock_guard lock(mu_);
        dropped.swap(tasks_);
    }
}

void BusLoop::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
}

void BusLoop::post(Task task) {
    if (on_loop_thread()) {
        task(bus_);
        return;
    }
    {
        std::lock_guard lock(mu_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    wake();
}

bool BusLoop::run(Task task, std::chrono::milliseconds limit) {
    if (on_loop_thread()) {
        task(bus_);
        return true;
    }
    struct Done {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    post([task = std::move(task), done](sd_bus* bus) {
        task(bus);
        std::lock_guard lock(done->mu);
        done->done = true;
        done->cv.notify_all();
    });
    std::unique_lock lock(done->mu);
    return done->cv.wait_for(lock, limit, [&] { return done->done; });
}

void BusLoop::loop() {
    using Steady = std::chrono::steady_clock;
    auto next_tick = Steady::now() + period_;
    for (;;) {
        std::deque<Task> batch;
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
            batch.swap(tasks_);
        }
        for (auto& t : batch) t(bus_);
        if (periodic_ && Steady::now() >= next_tick) {
            periodic_(bus_);
            next_tick = Steady::now() + period_;
        }

        if (connected_) {
            int r;
            do {
                r = sd_bus_process(bus_, nullptr);
            } while (r > 0);
            if (r < 0) {
                connected_ = false;
                if (lost_) lost_();
            }
        }
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
        int timeout_ms = -1;
        if (connected_) {
            fds[1].fd = sd_bus_get_fd(bus_);
            const int ev = sd_bus_get_events(bus_);
            fds[1].events = static_cast<short>(ev < 0 ? POLLIN : ev);
            std::uint64_t until = 0;
            if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
                timespec now{};
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                const std::uint64_t now_us =
                    static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
                timeout_ms = until <= now_us ? 0 : static_cast<int>((until - now_us + 999) / 1000);
            }
        }
        if (periodic_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_tick - Steady::now()).count();
            const int tick_ms = static_cast<int>(std::max<long long>(0, left));
            timeout_ms = timeout_ms < 0 ? tick_ms : std::min(timeout_ms, tick_ms);
        }
        const int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout_ms);
        if (n > 0 && (fds[0].revents & POLLIN)) {
            std::uint64_t v;
            [[maybe_unused]] auto got = ::read(wake_fd_, &v, sizeof v);
        }
    }
}

CallError call_error(const sd_bus_error* e, int r) {
    if (e && sd_bus_error_is_set(e)) return {e->name ? e->name : "", e->message ? e->message : ""};
    return {"org.freedesktop.DBus.Error.Failed", errno_text(r < 0 ? -r : r)};
}

}  // namespace dovan::bluez
