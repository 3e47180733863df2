#include "desktop/desktop_app.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "app/core_setup.h"
#include "platform/debug_log.h"
#include "desktop/qt_clipboard.h"
#include "protocol/product.h"
#include "desktop/main_window.h"
#include "desktop/tray.h"
#include "shell/activation.h"
#include "shell/console.h"
#include "shell/notification_drain.h"
#include "shell/startup.h"
#include "shell/view_rules.h"
#ifdef DOVAN_HAVE_FREEDESKTOP
#include "platform/freedesktop/notifier.h"
#endif

namespace dovan {

namespace {

constexpr int kTimerMs = 33;

}  // namespace

bool load_qt_translations(QTranslator& translator, const QLocale& locale) {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // The program speaks Chinese whatever the locale, so Qt's dialogs do too: in the user's
    // own variant of it (zh_TW, zh_HK) where that is theirs, else in zh_CN.
    if (locale.language() == QLocale::Chinese &&
        translator.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), dir))
        return true;
    return translator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"), dir);
}

std::unique_ptr<QWidget> make_blank_window(const std::shared_ptr<SharedUi>& /*ui*/) {
    auto w = std::make_unique<QWidget>();
    w->resize(960, 660);
    return w;
}

int run_desktop(int argc, char** argv, const DesktopConfig& c) {
    // SIGINT and SIGTERM end the program through its normal teardown. Blocked before any
    // thread starts, so only the signalfd below ever sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    const int sigfd = ::signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);

    // One application per process: a test may already have made it.
    std::optional<QApplication> own_app;
    if (QApplication::instance() == nullptr) own_app.emplace(argc, argv);
    QApplication& app = own_app ? *own_app : *qApp;
    QApplication::setApplicationName("Dovan");
    QGuiApplication::setDesktopFileName("dovan");
    // A tray program: closing or hiding the window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(dovan_icon());
    // Qt's own dialogs (the file picker) in the user's language; Debian's
    // qt6-translations-l10n holds them.
    QTranslator qt_texts;
    if (load_qt_translations(qt_texts, QLocale())) {
        QCoreApplication::installTranslator(&qt_texts);
    } else {
        console_line("[Dovan] 找不到 Qt 的中文翻译（qt6-translations-l10n），文件对话框将显示英文");
    }

    // Set once notifications can be shown; the signal handler below runs on this thread.
    NotificationDrain* parting = nullptr;
    std::unique_ptr<QSocketNotifier> on_signal;
    if (sigfd >= 0) {
        on_signal = std::make_unique<QSocketNotifier>(sigfd, QSocketNotifier::Read);
        QObject::connect(on_signal.get(), &QSocketNotifier::activated, &app, [sigfd, &parting] {
            signalfd_siginfo info{};
            const auto n = ::read(sigfd, &info, sizeof info);
            // SIGTERM is the close from outside (a package upgrade, the session ending, a
            // plain kill), which the user is told of; SIGINT is their own Ctrl+C.
            if (n == static_cast<ssize_t>(sizeof info) && info.ssi_signo == SIGTERM && parting)
                parting->show_parting(kPartingTitle, kPartingBody, kPartingWait);
            // exit, not quit: quit first asks every window to close, and the main window
            // answers a close by hiding to the tray, which would cancel the teardown.
            QCoreApplication::exit(0);
        });
    }

    // The system clipboard, one for the window, the notification buttons and the core; the
    // frame keeps it until the core has stopped, so it ends on this thread.
    auto clipboard = std::make_shared<QtClipboard>();

    std::unique_ptr<QWidget> window = c.make_window ? c.make_window(c.ui, clipboard.get()) : nullptr;
    if (!window) {
        console_line("[Dovan] 创建主窗口失败");
        if (sigfd >= 0) ::close(sigfd);
        return 1;
    }
    window->setWindowTitle("Dovan");

    // Other threads reach the window only through queued calls on this object, which
    // outlives every one of them.
    QObject bridge;
    QPointer<QWidget> target(window.get());
    RepaintFn repaint = [&bridge, target] {
        QMetaObject::invokeMethod(&bridge, [target] {
            if (target) target->update();
        }, Qt::QueuedConnection);
    };
    std::function<void()> show_window = [&bridge, target] {
        QMetaObject::invokeMethod(&bridge, [target] {
            if (!target) return;
            target->setWindowState(target->windowState() & ~Qt::WindowMinimized);
            target->show();
            target->raise();
            target->activateWindow();
        }, Qt::QueuedConnection);
    };

    c.ui->set_repaint(repaint);

    // The picker is a dialog with its own loop: it opens after the menu has closed.
    QPointer<QWidget> picker_target(window.get());
    Tray tray(show_window,
              [&bridge, picker_target] {
                  QMetaObject::invokeMethod(&bridge, [picker_target] {
                      if (picker_target) open_send_picker(*picker_target);
                  }, Qt::QueuedConnection);
              },
              [] { QCoreApplication::exit(0); });
    const bool tray_present = tray.create();
    {
        auto g = c.ui->lock();
        g->tray_present = tray_present;
        g->bump();
    }
    // Without a tray a hidden window could not be brought back: autostart then leaves it
    // minimized on the task bar.
    if (!c.command_line.minimized) {
        window->show();
    } else if (tray_present) {
        console_line("[Dovan] 按开机自启动方式拉起：主窗口不显示，托盘图标照常可用");
    } else {
        console_line("[Dovan] 按开机自启动方式拉起：桌面没有托盘，主窗口最小化到任务栏");
        window->showMinimized();
    }

    // A notification button's file opens on this thread, as a click in the window would.
    std::function<void(OpenRequest)> open_file = [&bridge, ui = c.ui](OpenRequest request) {
        QMetaObject::invokeMethod(&bridge, [ui, request = std::move(request)] {
            open_saved(*ui, request, open_with_desktop);
        }, Qt::QueuedConnection);
    };
    const ActivationHost activation{c.ui, clipboard.get(), &system_clock(), show_window, open_file};
    const HandoffHost handoff{activation, false};
    apply_startup_arguments(c.command_line, handoff);

    std::atomic<NotificationDrain*> drain_ref{nullptr};
    std::unique_ptr<Notifier> notifier;
#ifdef DOVAN_HAVE_FREEDESKTOP
    NotifierCallbacks callbacks;
    callbacks.on_outcome = [&drain_ref](std::uint64_t cookie, const std::optional<std::string>& error) {
        if (auto* d = drain_ref.load()) d->on_outcome(cookie, error);
    };
    callbacks.on_button = [activation](std::string_view key) { handle_activation(key, activation); };
    if (auto opened = FreedesktopNotifier::open(std::move(callbacks)); opened) {
        notifier = std::move(*opened);
    } else {
        console_line("[Dovan] 系统通知服务不可用，改用托盘气泡: " + opened.error().text);
    }
#endif
    // The freedesktop service plays the stamped identity: with it, notifications carry buttons.
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "ui", "toast.identity",
                   {{"ok", notifier ? "true" : "false"}, {"setting", "-1"}});
    NotificationDrain drain({c.ui, &system_clock(), notifier.get(),
                             [&tray](std::string_view title, std::string_view body) {
                                 return tray.show_balloon(title, body);
                             },
                             secure_token});
    drain_ref = &drain;
    parting = &drain;

    if (!c.ui->modules().clipboard()) console_line("[Dovan] 剪贴板同步已关闭：未注册剪贴板监听");

    // Opt-in for end-to-end tests: the feed's events on stdout, one line each as the console
    // prints them, so a test follows this front end as it follows the headless one. It only
    // reads the feed; nothing comes in this way.
    const char* lines_wanted = std::getenv(kEventLinesVariable);
    const bool event_lines = lines_wanted != nullptr && std::string_view(lines_wanted) == "1";
    std::uint64_t event_cursor = c.ui->feed().end();
    auto print_events = [&c, &event_cursor] {
        auto batch = c.ui->feed().read(event_cursor);
        event_cursor = batch.next;
        if (batch.lost > 0) std::cout << "lost " << batch.lost << '\n';
        for (const auto& e : batch.events) std::cout << event_line(e.data) << '\n';
        if (batch.lost > 0 || !batch.events.empty()) std::cout.flush();
    };

    QTimer timer;
    timer.setInterval(kTimerMs);
    QObject::connect(&timer, &QTimer::timeout, &app, [&drain, &tray, &c, event_lines, &print_events] {
        drain.drain();
        std::string tip;
        {
            auto g = c.ui->lock();
            tip = tray_tooltip(*g);
        }
        tray.set_tooltip(tip);
        if (event_lines) print_events();
    });
    timer.start();

    if (c.start_core) {
        ble::PlatformAdapter platform = c.open_ble ? c.open_ble() : ble::open_platform_adapter();
        c.start_core(program_core_config({c.ui, c.data_dir, c.command_line.lan_port}, {clipboard, repaint},
                                         std::move(platform)));
    }
    const bool primary = c.lock != nullptr && c.lock->state() == InstanceLock::State::Primary;
    auto server = start_handoff_server(c.socket, primary, handoff);
    console_line("[Dovan] shell up. core version: " + std::string(kPcVersion));

    const int status = QApplication::exec();
    parting = nullptr;

    timer.stop();
    tray.remove();
    window.reset();
    console_line("[Dovan] shell teardown");
    // Nothing may call into the frame once it is gone: the server, the notifier and the
    // core stop first.
    server.reset();
    notifier.reset();
    drain_ref = nullptr;
    if (c.stop_core) c.stop_core();
    c.ui->set_repaint({});
    on_signal.reset();
    if (sigfd >= 0) ::close(sigfd);
    if (c.lock != nullptr) restart_if_requested(*c.ui, *c.lock, c.command_line);
    return status;
}

}  // namespace dovan
