// The core with the desktop window in front of it, for trying the window on a display and
// for the real-window test. window-demo [--lan-port N] [--shot-when-paired FILE.png]
#include <QApplication>
#include <QTimer>

#include <atomic>
#include <charconv>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>

#include "app/core.h"
#include "app/core_setup.h"
#include "desktop/qt_clipboard.h"
#include "app/settings.h"
#include "platform/debug_log.h"
#include "store/stores.h"
#include "ble/adapter.h"
#include "desktop/main_window.h"
#include "shell/ui_state.h"
#include "shell/view_rules.h"

int main(int argc, char** argv) {
    using namespace dovan;
    std::uint16_t lan_port = 55676;
    std::string shot;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--lan-port" && i + 1 < argc) {
            const std::string v = argv[++i];
            unsigned port = 0;
            auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
            if (ec != std::errc{} || p != v.data() + v.size() || port == 0 || port > 65535) return 2;
            lan_port = static_cast<std::uint16_t>(port);
        } else if (a == "--shot-when-paired" && i + 1 < argc) {
            shot = argv[++i];
        }
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        console_line("[Dovan] 没有可用的图形显示，请改用 dovan --headless");
        return 2;
    }
    QApplication app(argc, argv);
    const auto found_dir = data_dir();
    const std::filesystem::path dir = found_dir ? *found_dir : std::filesystem::path{};
    const Settings settings = load_settings(dir);
    if (settings.debug_enabled && found_dir) (void)enable_debug_log(log_directory(dir));
    UiState initial = initial_ui_state();
    initial.settings = ui_settings_from(settings);
    const LoadedModules modules = LoadedModules::from(initial.settings);
    auto ui = SharedUi::create(std::move(initial), modules);

    // The system clipboard, shared by the window and the core as in the program.
    auto clipboard = std::make_shared<QtClipboard>();
    MainWindowOptions options;
    options.data_dir = dir;
    options.clipboard = clipboard.get();
    auto window = make_main_window(ui, options);

    std::atomic<bool> core_stop{false};
    CoreConfig core_config = program_core_config({ui, dir, lan_port}, {clipboard, [&ui] { ui->post_repaint(); }},
                                                 ble::open_platform_adapter());
    std::thread core([&] { run_core(std::move(core_config), system_clock(), core_stop); });

    // What the window shows, one line per change, so a driving script can follow it.
    QTimer watch;
    bool shot_taken = false;
    std::string last_line;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        bool paired = false;
        std::string line;
        {
            auto g = ui->lock();
            paired = link_healthy(*g);
            line = "ui engine=" + std::to_string(g->engine_state) + " devices=" + std::to_string(g->devices.size()) +
                   " sas=" + (g->sas_prompt ? "1" : "0") + " paired=" + (paired ? "1" : "0");
        }
        if (line != last_line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            last_line = line;
        }
        if (shot.empty() || shot_taken || !paired) return;
        window->repaint();
        shot_taken = window->grab().save(QString::fromStdString(shot), "PNG");
        std::printf("shot %s\n", shot_taken ? "saved" : "failed");
        std::fflush(stdout);
    });
    watch.start(200);

    show_main_window(*window);
    std::printf("window up\n");
    std::fflush(stdout);
    const int rc = app.exec();
    core_stop = true;
    core.join();
    window.reset();
    return rc;
}
