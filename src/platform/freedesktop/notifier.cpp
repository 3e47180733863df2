#include "platform/freedesktop/notifier.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "common/text.h"

namespace dovan {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// Servers that keep notifications never report them closed; only this many are remembered.
constexpr std::size_t kRememberedIds = 256;

std::string bus_error_text(const sd_bus_error* e, int r) {
    if (e != nullptr && sd_bus_error_is_set(e))
        return std::string(e->name) + (e->message ? std::string(": ") + e->message : std::string());
    return errno_text(r < 0 ? -r : r);
}

// Body text is markup for servers that say so; peer text must stay text.
std::string markup_escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::uint64_t now_usec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

}  // namespace

struct FreedesktopNotifier::Bus {
    struct Call {
        Bus* bus = nullptr;
        std::uint64_t cookie = 0;
        std::vector<std::string> keys;
        sd_bus_slot* slot = nullptr;
        bool done = false;
    };

    // A notification with buttons, as the server that shows it numbered it.
    struct Shown {
        std::string server;  // the unique name that answered Notify
        std::vector<std::string> keys;
    };

    sd_bus* bus = nullptr;
    sd_bus_slot* action_slot = nullptr;
    sd_bus_slot* closed_slot = nullptr;
    sd_bus_slot* caps_slot = nullptr;
    NotifierCallbacks* callbacks = nullptr;
    bool markup = true;  // until the server says otherwise
    std::map<std::uint64_t, std::unique_ptr<Call>> calls;
    std::map<std::uint32_t, Shown> shown;  // by server id
    std::deque<std::uint32_t> shown_order;

    ~Bus() {
        for (auto& [cookie, call] : calls) sd_bus_slot_unref(call->slot);
        sd_bus_slot_unref(caps_slot);
        sd_bus_slot_unref(closed_slot);
        sd_bus_slot_unref(action_slot);
        if (bus) sd_bus_flush_close_unref(bus);
    }

    static int on_reply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* call = static_cast<Call*>(userdata);
        call->done = true;
        Bus& self = *call->bus;
        const sd_bus_error* e = sd_bus_message_get_error(m);
        if (e != nullptr) {
            if (self.callbacks->on_outcome) self.callbacks->on_outcome(call->cookie, bus_error_text(e, 0));
            return 0;
        }
        std::uint32_t id = 0;
        const int r = sd_bus_message_read(m, "u", &id);
        if (r < 0) {
            if (self.callbacks->on_outcome)
                self.callbacks->on_outcome(call->cookie, "bad Notify reply: " + bus_error_text(nullptr, r));
            return 0;
        }
        const char* server = sd_bus_message_get_sender(m);
        if (!call->keys.empty() && server != nullptr) {
            self.forget(id);
            self.shown[id] = Shown{server, std::move(call->keys)};
            self.shown_order.push_back(id);
            while (self.shown_order.size() > kRememberedIds) {
                self.shown.erase(self.shown_order.front());
                self.shown_order.pop_front();
            }
        }
        if (self.callbacks->on_outcome) self.callbacks->on_outcome(call->cookie, std::nullopt);
        return 0;
    }

    // The notification `id` as shown by the sender of `m`. Any client may address signals to
    // this connection whatever the match rule says; only the server that showed it speaks for it.
    std::map<std::uint32_t, Shown>::iterator shown_by_sender(sd_bus_message* m, std::uint32_t id) {
        auto it = shown.find(id);
        const char* sender = sd_bus_message_get_sender(m);
        if (it == shown.end() || sender == nullptr || it->second.server != sender) return shown.end();
        return it;
    }

    void forget(std::uint32_t id) {
        if (shown.erase(id) == 0) return;
        auto at = std::find(shown_order.begin(), shown_order.end(), id);
        if (at != shown_order.end()) shown_order.erase(at);
    }

    static int on_action(sd_bus_message* m, void* userdata, sd_bus_error*) {
        Bus& self = *static_cast<Bus*>(userdata);
        std::uint32_t id = 0;
        const char* key = nullptr;
        if (sd_bus_message_read(m, "us", &id, &key) < 0 || key == nullptr) return 0;
        // Only keys of buttons this process put on that very notification count.
        auto it = self.shown_by_sender(m, id);
        if (it == self.shown.end() ||
            std::find(it->second.keys.begin(), it->second.keys.end(), key) == it->second.keys.end())
            return 0;
        const std::string pressed = key;
        if (self.callbacks->on_button) self.callbacks->on_button(pressed);
        return 0;
    }

    // A closed notification's buttons can no longer be pressed.
    static int on_closed(sd_bus_message* m, void* userdata, sd_bus_error*) {
        Bus& self = *static_cast<Bus*>(userdata);
        std::uint32_t id = 0;
        if (sd_bus_message_read(m, "u", &id) < 0) return 0;
        if (self.shown_by_sender(m, id) != self.shown.end()) self.forget(id);
        return 0;
    }

    static int on_caps(sd_bus_message* m, void* userdata, sd_bus_error*) {
        Bus& self = *static_cast<Bus*>(userdata);
        if (sd_bus_message_get_error(m) != nullptr) return 0;
        char** caps = nullptr;
        if (sd_bus_message_read_strv(m, &caps) < 0) return 0;
        bool markup = false;
        for (char** c = caps; c && *c; ++c) {
            if (std::strcmp(*c, "body-markup") == 0) markup = true;
            std::free(*c);
        }
        std::free(caps);
        self.markup = markup;
        return 0;
    }

    void send(DesktopNotification& n, std::chrono::milliseconds timeout) {
        auto call = std::make_unique<Call>();
        call->bus = this;
        call->cookie = n.cookie;
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus, &m, kService, kPath, kInterface, "Notify");
        const std::string title = utf8_lossy(n.title);
        const std::string body = markup ? markup_escape(utf8_lossy(n.body)) : utf8_lossy(n.body);
        if (r >= 0) r = sd_bus_message_append(m, "susss", "Dovan", 0u, "dovan", title.c_str(), body.c_str());
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "s");
        for (const auto& b : n.buttons) {
            const std::string key = utf8_lossy(b.key);
            const std::string label = utf8_lossy(b.label);
            if (r >= 0) r = sd_bus_message_append(m, "ss", key.c_str(), label.c_str());
            call->keys.push_back(key);
        }
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0) r = sd_bus_message_append(m, "a{sv}", 1, "desktop-entry", "s", "dovan");
        if (r >= 0) r = sd_bus_message_append(m, "i", -1);
        if (r >= 0)
            r = sd_bus_call_async(bus, &call->slot, m, &Bus::on_reply, call.get(),
                                  static_cast<std::uint64_t>(timeout.count()) * 1000ULL);
        sd_bus_message_unref(m);
        if (r < 0) {
            if (callbacks->on_outcome) callbacks->on_outcome(n.cookie, "Notify: " + bus_error_text(nullptr, r));
            return;
        }
        calls.emplace(n.cookie, std::move(call));
    }

    void sweep() {
        for (auto it = calls.begin(); it != calls.end();) {
            if (it->second->done) {
                sd_bus_slot_unref(it->second->slot);
                it = calls.erase(it);
            } else {
                ++it;
            }
        }
    }
};

Result<std::unique_ptr<FreedesktopNotifier>> FreedesktopNotifier::open(NotifierCallbacks callbacks,
                                                                     Options options) {
    auto bus = std::make_unique<Bus>();
    int r = 0;
    if (options.bus_address.empty()) {
        r = sd_bus_open_user(&bus->bus);
    } else {
        r = sd_bus_new(&bus->bus);
        if (r >= 0) r = sd_bus_set_address(bus->bus, options.bus_address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus->bus, 1);
        if (r >= 0) r = sd_bus_start(bus->bus);
    }
    if (r < 0) return fail_text("D-Bus: " + bus_error_text(nullptr, r));
    sd_bus_set_method_call_timeout(bus->bus, static_cast<std::uint64_t>(options.call_timeout.count()) * 1000ULL);

    // The service must be running or startable; otherwise balloons are the only way.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int has_owner = 0;
    r = sd_bus_call_method(bus->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error, &reply, "s", kService);
    if (r >= 0) r = sd_bus_message_read(reply, "b", &has_owner);
    sd_bus_message_unref(reply);
    reply = nullptr;
    if (r < 0) {
        std::string text = bus_error_text(&error, r);
        sd_bus_error_free(&error);
        return fail_text("D-Bus: " + text);
    }
    if (!has_owner) {
        char** acquired = nullptr;
        char** startable = nullptr;
        bool activatable = false;
        if (sd_bus_list_names(bus->bus, &acquired, &startable) >= 0)
            for (char** n = startable; n && *n; ++n) activatable = activatable || std::strcmp(*n, kService) == 0;
        for (char** lists[2] = {acquired, startable}; char** list : lists) {
            for (char** n = list; n && *n; ++n) std::free(*n);
            std::free(list);
        }
        if (!activatable) return fail_text("D-Bus: 没有通知服务");
    }

    r = sd_bus_match_signal(bus->bus, &bus->action_slot, kService, kPath, kInterface, "ActionInvoked",
                            &Bus::on_action, bus.get());
    if (r >= 0)
        r = sd_bus_match_signal(bus->bus, &bus->closed_slot, kService, kPath, kInterface, "NotificationClosed",
                                &Bus::on_closed, bus.get());
    if (r >= 0) {
        sd_bus_message* m = nullptr;
        r = sd_bus_message_new_method_call(bus->bus, &m, kService, kPath, kInterface, "GetCapabilities");
        if (r >= 0)
            r = sd_bus_call_async(bus->bus, &bus->caps_slot, m, &Bus::on_caps, bus.get(),
                                  static_cast<std::uint64_t>(options.call_timeout.count()) * 1000ULL);
        sd_bus_message_unref(m);
    }
    if (r < 0) return fail_text("D-Bus: " + bus_error_text(nullptr, r));

    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail_text(errno_text(errno));
    return std::unique_ptr<FreedesktopNotifier>(
        new FreedesktopNotifier(std::move(bus), wake, std::move(callbacks), std::move(options)));
}

FreedesktopNotifier::FreedesktopNotifier(std::unique_ptr<Bus> bus, int wake_fd, NotifierCallbacks callbacks,
                                         Options options)
    : bus_(std::move(bus)), wake_fd_(wake_fd), callbacks_(std::move(callbacks)), options_(std::move(options)) {
    bus_->callbacks = &callbacks_;
    thread_ = std::thread([this] { run(); });
}

FreedesktopNotifier::~FreedesktopNotifier() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    bus_.reset();
    ::close(wake_fd_);
}

bool FreedesktopNotifier::post(DesktopNotification notification) {
    {
        std::lock_guard lock(mu_);
        if (stopping_ || queue_.size() >= options_.queue_limit) return false;
        queue_.push_back(std::move(notification));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
    return true;
}

void FreedesktopNotifier::run() {
    sd_bus* bus = bus_->bus;
    for (;;) {
        int r = 0;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
        }
        bus_->sweep();
        std::deque<DesktopNotification> work;
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
            work.swap(queue_);
        }
        for (auto& n : work) bus_->send(n, options_.call_timeout);
        if (!work.empty()) continue;  // let the sends go out before sleeping
        if (r < 0) {
            // The bus is gone: every later post fails at once instead of waiting.
            std::deque<DesktopNotification> rest;
            {
                std::lock_guard lock(mu_);
                stopping_ = true;
                rest.swap(queue_);
            }
            for (auto& [cookie, call] : bus_->calls)
                if (!call->done && callbacks_.on_outcome) callbacks_.on_outcome(cookie, "D-Bus connection lost");
            for (auto& n : rest)
                if (callbacks_.on_outcome) callbacks_.on_outcome(n.cookie, "D-Bus connection lost");
            for (auto& [cookie, call] : bus_->calls) call->done = true;
            return;
        }

        pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                         {wake_fd_, POLLIN, 0}};
        std::uint64_t until = 0;
        int timeout_ms = -1;
        if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
            const std::uint64_t now = now_usec();
            timeout_ms = until <= now ? 0 : static_cast<int>(std::min<std::uint64_t>((until - now + 999) / 1000, 60'000));
        }
        if (::poll(fds, 2, timeout_ms) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) {
            std::uint64_t v = 0;
            [[maybe_unused]] auto n = ::read(wake_fd_, &v, sizeof v);
        }
    }
}

}  // namespace dovan
