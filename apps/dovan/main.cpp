// The program. Only the headless front end exists on Linux so far: start-up builds the UI
// state from the settings, starts the core thread and hands the terminal to the console.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "app/core.h"
#include "platform/debug_log.h"
#include "app/settings.h"
#include "store/stores.h"
#include "platform/clock.h"
#include "ble/adapter.h"
#include "shell/clipboard_actions.h"
#include "shell/console.h"
#include "shell/ui_state.h"

namespace {

using namespace dovan;
using namespace std::chrono_literals;


struct Args {
    bool headless = false;
    std::uint16_t lan_port = 55676;
};

bool parse_args(int argc, char** argv, Args& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--headless") {
            args.headless = true;
        } else if (a == "--lan-port" && i + 1 < argc) {
            const std::string_view v = argv[++i];
            unsigned port = 0;
            auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
            if (ec != std::errc{} || p != v.data() + v.size() || port == 0 || port > 65535) return false;
            args.lan_port = static_cast<std::uint16_t>(port);
        }
        // "--minimized", activation URIs and file paths belong to the window.
    }
    return true;
}

// Prints event lines whenever the core asks for a repaint, and on a short timer for the
// changes other threads make without asking.
class EventPump {
public:
    explicit EventPump(Console& console) : console_(console), thread_([this] { run(); }) {}
    ~EventPump() { stop(); }

    void wake() {
        {
            std::lock_guard lock(mu_);
            woken_ = true;
        }
        cv_.notify_one();
    }
    void stop() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable()) thread_.join();
        console_.poll_events();
    }

private:
    void run() {
        std::unique_lock lock(mu_);
        while (!stop_) {
            cv_.wait_for(lock, 100ms, [&] { return stop_ || woken_; });
            woken_ = false;
            lock.unlock();
            console_.poll_events();
            lock.lock();
        }
    }

    Console& console_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool woken_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parse_args(argc, argv, args)) {
        console_line("[Dovan] 用法: dovan --headless [--lan-port <端口>]");
        return 2;
    }
    if (!args.headless) {
        console_line("[Dovan] 桌面窗口尚未提供，请用 dovan --headless 运行");
        return 2;
    }

    // Signals are taken by the main thread alone, so teardown runs in order.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // Found once; every store is handed this folder. Without one, settings are the
    // defaults and the core stops at start-up with the reason.
    const auto found_dir = data_dir();
    const std::filesystem::path dir = found_dir ? *found_dir : std::filesystem::path{};
    const Settings settings = load_settings(dir);
    if (settings.debug_enabled && found_dir) (void)enable_debug_log(log_directory(dir));
    UiState initial = initial_ui_state();
    initial.settings = ui_settings_from(settings);
    const LoadedModules modules = LoadedModules::from(initial.settings);
    auto ui = SharedUi::create(std::move(initial), modules);

    // The headless program's clipboard lives in the process; the console's local-clip
    // stands in for another program copying, and the core writes the phone's text to it.
    auto clipboard = std::make_shared<ProcessClipboard>();
    clipboard->set_on_change([ui, clipboard = std::weak_ptr<ProcessClipboard>(clipboard)] {
        if (auto c = clipboard.lock()) on_clipboard_changed(*ui, *c);
    });
    ConsoleSettings console_settings;
    console_settings.list = [ui, dir] {
        UiSettings mirror;
        {
            auto g = ui->lock();
            mirror = g->settings;
        }
        return settings_pairs(settings_with(load_settings(dir), mirror));
    };
    console_settings.set = [ui, dir](std::string_view key, std::string_view value) -> std::optional<std::string> {
        UiSettings mirror;
        {
            auto g = ui->lock();
            mirror = g->settings;
            if (auto refused = set_ui_setting(mirror, key, value)) return refused;
            g->settings = mirror;
            g->bump();
        }
        save_settings(dir, settings_with(load_settings(dir), mirror));
        return std::nullopt;
    };
    Console console(ui, std::cout, system_clock(), clipboard, std::move(console_settings));
    EventPump pump(console);
    ui->set_repaint([&pump] { pump.wake(); });

    std::atomic<bool> core_stop{false};
    CoreConfig core_config;
    core_config.ui = ui;
    core_config.window = [&pump] { pump.wake(); };
    core_config.lan.port = args.lan_port;
    core_config.data_dir = dir;
    core_config.clipboard = clipboard;
    // The sim radio's phones live on this machine, so the LAN side then stays on loopback;
    // only a real BLE stack serves a phone on the real network.
    ble::PlatformAdapter platform = ble::open_platform_adapter();
    core_config.ble = platform.adapter;
    core_config.ble_error = platform.error;
    core_config.lan.loopback_only = platform.simulated || !platform.adapter;
    std::thread core([&] { run_core(std::move(core_config), system_clock(), core_stop); });
    console_line("[Dovan] shell up. core version: " + std::string(kPcVersion));

    // Commands until `quit` or a signal; when stdin ends the program keeps running.
    bool stdin_open = true;
    std::string pending;
    for (bool quit = false; !quit;) {
        timespec zero{0, 0};
        if (sigtimedwait(&signals, nullptr, &zero) > 0) break;
        if (!stdin_open) {
            timespec tick{0, 100'000'000};
            if (sigtimedwait(&signals, nullptr, &tick) > 0) break;
            continue;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdin_open = false;
            continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; !quit && (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            quit = console.command(line) == Console::Outcome::Quit;
        }
    }

    core_stop = true;
    core.join();
    ui->set_repaint({});
    pump.stop();
    console_line("[Dovan] shell teardown");
    return 0;
}
