#include "desktop/main_window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "shell/layout.h"

namespace dovan {
namespace {

// A clipboard of the test's own, so nothing reaches the system's.
class TestClipboard final : public Clipboard {
public:
    std::optional<std::string> read_text() override { return text; }
    void write_text(std::string_view t) override { text = std::string(t); }
    void set_on_change(std::function<void()> f) override { on_change = std::move(f); }
    std::optional<std::string> text;
    std::function<void()> on_change;
};

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QApplication::instance()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "test_desktop";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);  // lives for the whole run
        }
        ui = SharedUi::create(initial_ui_state(), LoadedModules{0x1f});
        MainWindowOptions o;
        o.clipboard = &clipboard;
        o.save_settings = [this](const UiSettings& s) { saved.push_back(s); };
        o.on_quit = [this] { ++quits; };
        o.open_path = [this](const std::string& path) {
            opened.push_back(path);
            return true;
        };
        window = make_main_window(ui, o);
        window->show();
        // The cases' coordinates are at the default size, taller than the offscreen screen.
        window->resize(kDefaultClientW, kDefaultClientH);
        QCoreApplication::processEvents();
    }

    void press(double x, double y) {
        QMouseEvent down(QEvent::MouseButtonPress, QPointF(x, y), QPointF(x, y), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &down);
        QMouseEvent up(QEvent::MouseButtonRelease, QPointF(x, y), QPointF(x, y), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &up);
    }
    void key(int k, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent e(QEvent::KeyPress, k, mods, text);
        QCoreApplication::sendEvent(window.get(), &e);
    }

    TestClipboard clipboard;
    std::shared_ptr<SharedUi> ui;
    std::unique_ptr<QWidget> window;
    std::vector<UiSettings> saved;
    std::vector<std::string> opened;
    int quits = 0;
};

// At 150 % a 1280 × 800 screen leaves about 853 × 500 for the client area, less than the
// window's minimum: the minimum and the size give way, so the window never opens larger
// than the screen. A roomy screen keeps both.
TEST_F(Window, NeverLargerThanTheScreen) {
    MainWindowOptions o;
    o.clipboard = &clipboard;
    auto fresh = make_main_window(ui, o);
    fresh->show();
    QCoreApplication::processEvents();
    const QSize room = fresh->screen()->availableGeometry().size();
    EXPECT_LE(fresh->minimumHeight(), room.height()) << "the screen it opened on";
    EXPECT_LE(fresh->height(), room.height());

    fit_window_to(*fresh, QSize(853, 500));
    EXPECT_EQ(fresh->minimumSize(), QSize(kMinClientW, 500));
    EXPECT_LE(fresh->width(), 853);
    EXPECT_EQ(fresh->height(), 500);
    fit_window_to(*fresh, QSize(1920, 1040));
    EXPECT_EQ(fresh->minimumSize(), QSize(kMinClientW, kMinClientH));
}

TEST_F(Window, ClicksAndKeysReachTheState) {
    EXPECT_EQ(window->minimumWidth(), kMinClientW);
    press(90, 240);  // "文件"
    EXPECT_EQ(ui->lock()->page, Page::Files);
    press(300, 120);  // the send box
    EXPECT_EQ(ui->lock()->focus, InputFocus::SendBox);
    key(Qt::Key_A, "a");
    key(Qt::Key_B, "b");
    key(Qt::Key_Left);
    key(Qt::Key_Backspace);
    clipboard.text = "/x\n/y";
    key(Qt::Key_V, {}, Qt::ControlModifier);
    EXPECT_EQ(ui->lock()->send_box, "/x /yb");
    press(300, 600);  // empty space
    EXPECT_EQ(ui->lock()->focus, InputFocus::None);
    key(Qt::Key_C, "c");
    EXPECT_EQ(ui->lock()->send_box, "/x /yb") << "no focus, no typing";
}

TEST_F(Window, SettingsAreSavedAfterTheClick) {
    press(90, 416);  // "设置"
    ASSERT_EQ(ui->lock()->page, Page::Settings);
    press(600, 157);  // "消息弹窗"
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_FALSE(saved.back().toast_enabled);
    press(500, 110);  // "深色"
    EXPECT_EQ(saved.back().theme, 2);
}

TEST_F(Window, CopyingARowWritesTheClipboard) {
    {
        auto g = ui->lock();
        PhoneNotification n;
        n.title = "银行";
        n.text = "验证码 482913";
        g->notifications = {n};
        g->page = Page::Notifications;
    }
    const Metrics m = Metrics::from_pixels(kDefaultClientW, kDefaultClientH, 96);
    const auto code = notification_buttons(m, 0, false, true).code;
    ASSERT_TRUE(code);
    press(code->l + 5, code->t + 5);
    EXPECT_EQ(clipboard.text, std::optional<std::string>("482913"));
    ASSERT_TRUE(ui->lock()->self_clipboard);
}

TEST_F(Window, CloseAsksAndExitEndsTheProgram) {
    EXPECT_FALSE(window->close()) << "the first close asks";
    EXPECT_TRUE(ui->lock()->close_dialog);
    const Metrics m = Metrics::from_pixels(kDefaultClientW, kDefaultClientH, 96);
    const Rect exit = close_exit_rect(m);
    press(exit.l + 5, exit.t + 5);
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(ui->lock()->close_dialog);
}

TEST_F(Window, DroppedFilesAreQueued) {
    const auto dir = std::filesystem::temp_directory_path() / ("dovan-drop-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "folder");
    std::ofstream(dir / "a.txt") << "12345";
    std::ofstream(dir / "b.txt") << "1";
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString((dir / "a.txt").string())),
                  QUrl::fromLocalFile(QString::fromStdString((dir / "b.txt").string())),
                  QUrl::fromLocalFile(QString::fromStdString((dir / "folder").string()))});
    QDragEnterEvent enter(QPoint(400, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted()) << "files are welcome";
    QDropEvent drop(QPointF(400, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &drop);
    auto g = ui->lock();
    EXPECT_EQ(g->page, Page::Files);
    ASSERT_EQ(g->send_queue.size(), 2u);
    EXPECT_EQ(g->send_queue[0].size, 5u);
    ASSERT_EQ(g->notices.size(), 1u);
    EXPECT_EQ(g->notices.front().text, "已加入待发清单 2 个文件（共拖入 2 个）；1 个文件夹不能直接发送");
    std::filesystem::remove_all(dir);
}

// The buttons of finished received rows hand the desktop the saved file or its folder; a
// received script is never handed over itself.
TEST_F(Window, FinishedRowsOpenTheSavedFileOrItsFolder) {
    const auto dir = std::filesystem::temp_directory_path() / ("dovan-open-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "a (1).pdf") << "%PDF";
    std::ofstream(dir / "run.sh") << "#!/bin/sh\n";
    {
        auto g = ui->lock();
        for (const char* name : {"run.sh", "a (1).pdf"}) {
            TransferRow r;
            r.direction = TransferDirection::Receive;
            r.name = name;
            r.status = "已完成";
            r.percent = 100;
            r.saved_path = (dir / name).string();
            g->transfer_rows.push_front(r);
        }
    }
    press(90, 240);  // "文件"
    ASSERT_EQ(ui->lock()->page, Page::Files);
    press(840, 240);  // "打开所在文件夹" of the newest row
    press(750, 240);  // its "打开"
    press(750, 286);  // "打开" of the script
    EXPECT_EQ(opened, (std::vector<std::string>{dir.string(), (dir / "a (1).pdf").string(), dir.string()}));
    auto g = ui->lock();
    ASSERT_EQ(g->notices.size(), 1u);
    EXPECT_NE(g->notices.front().text.find("run.sh 是程序或脚本"), std::string::npos) << g->notices.front().text;
    std::filesystem::remove_all(dir);
}

// The switch writes and removes the real entry, under a config folder of the test's own.
TEST_F(Window, AutostartSwitchFollowsTheEntry) {
    const auto dir = std::filesystem::temp_directory_path() / ("dovan-autostart-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const auto entry = *autostart_entry_path((dir / "config").c_str(), nullptr);
    std::filesystem::create_directories(entry.parent_path());
    // Left by an older copy somewhere else: there, but not ours.
    std::ofstream(entry) << "[Desktop Entry]\nExec=/old/place/dovan --minimized\n";

    // The saved setting says off; the window must show what is really there.
    MainWindowOptions o;
    o.clipboard = &clipboard;
    o.save_settings = [this](const UiSettings& s) { saved.push_back(s); };
    o.autostart = AutostartPlace{entry, [] { return Result<std::string>("/opt/dovan/dovan"); }};
    window = make_main_window(ui, o);
    window->resize(kDefaultClientW, kDefaultClientH);
    window->show();
    QCoreApplication::processEvents();
    {
        auto g = ui->lock();
        EXPECT_TRUE(g->settings.autostart_present);
        EXPECT_FALSE(g->settings.autostart_ours);
    }
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved.back().autostart_present);

    press(90, 416);  // "设置"
    ASSERT_EQ(ui->lock()->page, Page::Settings);
    const Rect toggle = settings_switch_rect(4);  // "开机自启动"
    press(toggle.l + 5, toggle.t + 5);
    EXPECT_FALSE(std::filesystem::exists(entry)) << "on (someone else's): the click removes it";
    EXPECT_FALSE(ui->lock()->settings.autostart_present);

    press(toggle.l + 5, toggle.t + 5);
    std::ifstream in(entry);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Exec=\"/opt/dovan/dovan\" --minimized\n"), std::string::npos) << text.str();
    {
        auto g = ui->lock();
        EXPECT_TRUE(g->settings.autostart_present);
        EXPECT_TRUE(g->settings.autostart_ours);
        EXPECT_TRUE(g->notices.empty());
    }
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_FALSE(saved[1].autostart_present);
    EXPECT_TRUE(saved[2].autostart_present);
    std::filesystem::remove_all(dir);
}

TEST_F(Window, AutostartWithoutAPlaceSaysSo) {
    press(90, 416);  // "设置"
    const Rect toggle = settings_switch_rect(4);
    press(toggle.l + 5, toggle.t + 5);
    auto g = ui->lock();
    EXPECT_FALSE(g->settings.autostart_present);
    ASSERT_EQ(g->notices.size(), 1u);
    EXPECT_EQ(g->notices.front().text.rfind("开机自启动没能开启：找不到放启动项的配置目录", 0), 0u) << g->notices.front().text;
}

}  // namespace
}  // namespace dovan
