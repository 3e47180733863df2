// The program: reads its command line, makes sure one instance runs per user and data
// folder (a second start hands its request over and ends), builds the UI state from the
// settings, starts the core thread and the hand-off server, and runs one front end: the
// desktop window with its tray icon, or the headless console.
//
// Built twice: `dovan` holds no toolkit, so the headless program never maps Qt and stays
// small; asked for the window, it becomes `dovan-window` (the same program with the desktop
// front end) through exec, keeping its process id, arguments and environment.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <filesystem>
#include <optional>
#include <vector>

#include "common/text.h"
#include "app/core.h"
#include "app/core_setup.h"
#include "platform/debug_log.h"
#include "platform/memory.h"
#include "app/settings.h"
#include "store/stores.h"
#include "platform/clock.h"
#include "ble/adapter.h"
#include "protocol/product.h"
#include "shell/autostart.h"
#include "shell/clipboard_actions.h"
#include "shell/console.h"
#include "shell/startup.h"
#include "shell/ui_state.h"
#include "platform/clipboard.h"
#include "platform/stdin_lines.h"
#ifdef DOVAN_HAVE_DESKTOP
#include "desktop/desktop_app.h"
#include "desktop/main_window.h"
#endif

namespace {

using namespace dovan;
using namespace std::chrono_literals;

// Prints the feed's events as they come; it sleeps until there is one.
class EventPump {
public:
    explicit EventPump(Console& console) : console_(console), thread_([this] { run(); }) {}
    ~EventPump() { stop(); }

    void stop() {
        stop_.store(true);
        console_.interrupt_wait();
        if (thread_.joinable()) thread_.join();
        console_.poll_events();
    }

private:
    void run() {
        while (!stop_.load()) {
            console_.wait_events(std::chrono::hours(1));
            console_.poll_events();
        }
    }

    Console& console_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int run_headless(const CommandLine& cl, const std::filesystem::path& dir, std::shared_ptr<SharedUi> ui,
                 InstanceLock& lock, const std::optional<std::filesystem::path>& socket) {
    // Signals are taken by the main thread alone, so teardown runs in order.
    block_stop_signals();

    // The headless program's clipboard lives in the process; the console's local-clip
    // stands in for another program copying, and the core writes the phone's text to it.
    auto clipboard = std::make_shared<ProcessClipboard>();
    if (ui->modules().clipboard()) {
        clipboard->set_on_change([ui, clipboard = std::weak_ptr<ProcessClipboard>(clipboard)] {
            if (auto c = clipboard.lock()) on_clipboard_changed(*ui, *c);
        });
    }
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

    const HandoffHost host{{ui, clipboard.get(), &system_clock(), {}}, true};
    apply_startup_arguments(cl, host);

    if (!ui->modules().clipboard()) console_line("[Dovan] 剪贴板同步已关闭：未注册剪贴板监听");

    std::atomic<bool> core_stop{false};
    CoreConfig core_config = program_core_config({ui, dir, cl.lan_port}, {clipboard, {}}, ble::open_platform_adapter());
    std::thread core([&] { run_core(std::move(core_config), system_clock(), core_stop); });
    auto server = start_handoff_server(socket, lock.state() == InstanceLock::State::Primary, host);
    console_line("[Dovan] shell up. core version: " + std::string(kPcVersion));

    // Commands until `quit` or a signal; when stdin ends the program keeps running.
    run_stdin_lines([&console](const std::string& line) { return console.command(line) != Console::Outcome::Quit; });

    server.reset();
    core_stop = true;
    core.join();
    ui->set_repaint({});
    pump.stop();
    console_line("[Dovan] shell teardown");
    restart_if_requested(*ui, lock, cl);
    return 0;
}

}  // namespace

#ifdef DOVAN_HAVE_DESKTOP
int run_desktop_program(int argc, char** argv, const CommandLine& cl, const std::filesystem::path& dir,
                        std::shared_ptr<SharedUi> ui, InstanceLock& lock,
                        const std::optional<std::filesystem::path>& socket) {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && v[0] != '\0';
    };
    // Without this the toolkit would end the process with its own message.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        console_line("[Dovan] 没有可用的图形显示，请改用 dovan --headless");
        return 2;
    }
    std::atomic<bool> core_stop{false};
    std::thread core;
    DesktopConfig config;
    config.ui = std::move(ui);
    config.command_line = cl;
    config.lock = &lock;
    config.socket = socket;
    config.data_dir = dir;
    config.make_window = [dir](std::shared_ptr<SharedUi> shared, Clipboard* clipboard) {
        MainWindowOptions options;
        options.data_dir = dir;
        options.clipboard = clipboard;
        if (auto entry = autostart_entry_path_from_env()) options.autostart = AutostartPlace{*entry};
        return make_main_window(std::move(shared), std::move(options));
    };
    config.start_core = [&](CoreConfig core_config) {
        core = std::thread([&core_stop, c = std::move(core_config)]() mutable {
            run_core(std::move(c), system_clock(), core_stop);
        });
    };
    config.stop_core = [&] {
        core_stop = true;
        if (core.joinable()) core.join();
    };
    return run_desktop(argc, argv, config);
}
#else
// Where `dovan-window` sits: beside this program in a build folder, under libexec when
// installed.
std::optional<std::filesystem::path> window_program(const std::filesystem::path& self) {
    const auto dir = self.parent_path();
    for (const auto& candidate : {dir / "dovan-window", dir / ".." / "libexec" / "dovan" / "dovan-window"}) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// Returns only when there is no window program to become.
void become_window_program(char** argv) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    const auto program = window_program(self);
    if (!program) return;
    // The autostart entry names the program people start, not the one it became.
    // Before any thread starts: nothing else reads the environment yet.
    ::setenv(kProgramPathVariable, self.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    ::execv(program->c_str(), argv);
    console_line(format_text("[Dovan] 启动桌面窗口失败: {}", errno_text(errno)));
}
#endif

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLine cl = parse_command_line(args);
    if (cl.error) {
        std::cerr << "dovan: " << *cl.error << "\n" << "用 dovan --help 查看用法\n";
        return 2;
    }
    if (cl.help || cl.version) {
        std::cout << (cl.help ? usage_text() : version_text());
        return 0;
    }
#ifndef DOVAN_HAVE_DESKTOP
    if (!cl.headless) become_window_program(argv);
#endif
    ::signal(SIGPIPE, SIG_IGN);
    keep_stream_buffers();

    // Found once; every store is handed this folder. Without one, settings are the
    // defaults and the core stops at start-up with the reason.
    const auto found_dir = data_dir();
    const std::filesystem::path dir = found_dir ? *found_dir : std::filesystem::path{};
    const Settings settings = load_settings(dir);
    // One instance per data folder: the lock and the socket live beside it.
    std::optional<std::filesystem::path> ipc;
    std::string ipc_error;
    if (!found_dir) {
        ipc_error = found_dir.error().text;
    } else if (auto made = ipc_directory(dir); !made) {
        ipc_error = made.error().text;
    } else {
        ipc = *made;
    }
    InstanceLock lock = ipc ? InstanceLock::acquire(*ipc) : InstanceLock{};
    if (lock.state() == InstanceLock::State::Taken) {
        if (settings.debug_enabled) (void)enable_debug_log(log_directory(dir));
        const int status = run_second_instance(cl, *ipc / kHandoffSocketName);
        (void)flush_debug_log(std::chrono::milliseconds(500));
        return status;
    }
    if (lock.state() == InstanceLock::State::Failed)
        console_line("[Dovan] 单实例互斥体创建失败（继续启动）: " + (ipc ? lock.error() : ipc_error));
    const std::optional<std::filesystem::path> socket =
        ipc ? std::optional<std::filesystem::path>(*ipc / kHandoffSocketName) : std::nullopt;

    if (settings.debug_enabled && found_dir) (void)enable_debug_log(log_directory(dir));
    UiState initial = initial_ui_state();
    initial.settings = ui_settings_from(settings);
    const LoadedModules modules = LoadedModules::from(initial.settings);
    auto ui = SharedUi::create(std::move(initial), modules);

    if (cl.headless) return run_headless(cl, dir, ui, lock, socket);
#ifdef DOVAN_HAVE_DESKTOP
    return run_desktop_program(argc, argv, cl, dir, ui, lock, socket);
#else
    console_line("[Dovan] 桌面窗口尚未提供，请用 dovan --headless 运行");
    return 2;
#endif
}
