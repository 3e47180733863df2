// The desktop frame as the program starts it, on the offscreen platform: what it hands the
// core and the window. The core itself is the test's recorder.
#include "desktop/desktop_app.h"
#include "desktop/tray.h"

#include <QApplication>
#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QSystemTrayIcon>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dovan {
namespace {

class Frame : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QApplication::instance()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "test_desktop";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);  // lives for the whole run
        }
        // No session bus: notifications fall back to the tray, which offscreen has none of.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/dovan-test-bus");
        config.ui = ui;
        config.data_dir = "/nonexistent/dovan-test-data";
        config.command_line.lan_port = 40123;
        config.open_ble = [] { return ble::PlatformAdapter{nullptr, "test: no stack", false}; };
        config.make_window = [this](std::shared_ptr<SharedUi>, Clipboard* clipboard) {
            window_clipboard = clipboard;
            auto w = std::make_unique<QWidget>();
            window = w.get();
            return w;
        };
    }

    // Runs the frame; `at_start` runs on the main thread once the core has been started.
    int run(std::function<void()> at_start) {
        config.start_core = [this, at_start = std::move(at_start)](CoreConfig c) {
            core = std::move(c);
            QTimer::singleShot(0, qApp, at_start);
        };
        static int argc = 1;
        static char name[] = "dovan";
        static char* argv[] = {name, nullptr};
        return run_desktop(argc, argv, config);
    }

    std::shared_ptr<SharedUi> ui = SharedUi::create(initial_ui_state(), LoadedModules{0x1f});
    DesktopConfig config;
    std::optional<CoreConfig> core;
    Clipboard* window_clipboard = nullptr;
    QWidget* window = nullptr;
};

// The phone's text reaches the system clipboard only if the core holds it; the window
// program once started its core without one.
TEST_F(Frame, TheCoreWritesTheSameSystemClipboardAsTheWindow) {
    std::optional<std::string> seen;
    const int status = run([&] {
        if (!core || !core->clipboard) {
            QCoreApplication::exit(1);  // checked below
            return;
        }
        // The core writes from its own thread.
        std::thread([clip = core->clipboard] { clip->write_text("手机上复制的字"); }).join();
        QTimer::singleShot(0, qApp, [&] {
            seen = QGuiApplication::clipboard()->text().toStdString();
            QCoreApplication::exit(0);
        });
    });
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(core);
    ASSERT_TRUE(core->clipboard) << "the core got no clipboard";
    EXPECT_EQ(core->clipboard.get(), window_clipboard) << "one clipboard for the window and the core";
    EXPECT_EQ(seen, std::optional<std::string>("手机上复制的字"));
    EXPECT_EQ(core->ui, ui);
    EXPECT_EQ(core->data_dir, config.data_dir);
    EXPECT_EQ(core->lan.port, 40123);
    EXPECT_TRUE(core->window) << "the window repaints on the core's changes";
    EXPECT_EQ(core->ble_error, "test: no stack");
}

// Qt's own dialogs speak the program's Chinese, in the user's variant of it, never English
// or German beside Chinese pages.
TEST_F(Frame, QtsOwnTextsSpeakTheUsersLanguageElseChinese) {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFileInfo::exists(dir + "/qtbase_zh_CN.qm") || !QFileInfo::exists(dir + "/qtbase_zh_TW.qm"))
        GTEST_SKIP() << "Qt's translations (qt6-translations-l10n) are not installed";
    const struct {
        QLocale locale;
        const char* open;
    } cases[] = {
        {QLocale(QLocale::German, QLocale::Germany), "打开"},
        {QLocale(QLocale::Chinese, QLocale::China), "打开"},
        {QLocale(QLocale::Chinese, QLocale::TraditionalChineseScript, QLocale::Taiwan), "開啟"},
        {QLocale::c(), "打开"},
        {QLocale(QLocale::English, QLocale::UnitedStates), "打开"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale.name().toStdString());
        QTranslator t;
        ASSERT_TRUE(load_qt_translations(t, c.locale));
        QCoreApplication::installTranslator(&t);
        EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Open").toStdString(), c.open);
        QCoreApplication::removeTranslator(&t);
    }
    // The frame installs them for as long as it runs.
    QLocale::setDefault(QLocale::c());
    std::string cancel;
    run([&] {
        cancel = QCoreApplication::translate("QPlatformTheme", "Cancel").toStdString();
        QCoreApplication::exit(0);
    });
    EXPECT_EQ(cancel, "取消");
}

// The tray's menu: show the window, send files, close; each item does what it says.
TEST_F(Frame, TheTrayMenuShowsSendsAndCloses) {
    int shown = 0, picked = 0, quits = 0;
    Tray tray([&] { ++shown; }, [&] { ++picked; }, [&] { ++quits; });
    ASSERT_NE(tray.menu(), nullptr);
    std::vector<std::string> texts;
    for (QAction* a : tray.menu()->actions()) texts.push_back(a->isSeparator() ? "—" : a->text().toStdString());
    EXPECT_EQ(texts, (std::vector<std::string>{"显示主窗口", "发送文件…", "—", "关闭"}));
    tray.menu()->actions()[0]->trigger();
    tray.menu()->actions()[1]->trigger();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(picked, 1);
    EXPECT_EQ(quits, 0);
    tray.menu()->actions()[3]->trigger();
    EXPECT_EQ(quits, 1);
}

// Autostart starts the program with --minimized. Without a tray a hidden window could never
// be found again: it starts minimized on the task bar, and closing offers the task bar.
TEST_F(Frame, WithoutATrayAMinimizedStartStaysOnTheTaskBar) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the offscreen platform has no tray";
    config.command_line.minimized = true;
    bool visible = false, minimized = false, tray = true;
    const int status = run([&] {
        visible = window->isVisible();
        minimized = window->isMinimized();
        tray = ui->lock()->tray_present;
        QCoreApplication::exit(0);
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(tray);
    EXPECT_TRUE(visible) << "not hidden";
    EXPECT_TRUE(minimized);
}

}  // namespace
}  // namespace dovan
