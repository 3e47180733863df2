// The tray icon: its tip says whether a phone is connected ("Dovan — 待机" when none), a
// click shows the window, the menu holds "显示主窗口", "发送文件…" and "关闭", and balloons
// carry notifications when the notification service cannot take them.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QMenu;

namespace dovan {

class Tray final : public QObject {
    Q_OBJECT
public:
    Tray(std::function<void()> show_window, std::function<void()> send_files, std::function<void()> quit);
    ~Tray() override;

    // False (and the line saying so) when the desktop has no tray.
    bool create();
    void remove();
    // Main thread only. False without an icon or when the desktop cannot show messages.
    bool show_balloon(std::string_view title, std::string_view body);
    // Main thread only; nothing without an icon.
    void set_tooltip(std::string_view text);
    // The icon's menu (made with the tray, shown only with an icon).
    QMenu* menu() const { return menu_.get(); }

private:
    void activated(QSystemTrayIcon::ActivationReason reason);

    std::function<void()> show_window_;
    std::function<void()> send_files_;
    std::function<void()> quit_;
    std::string tooltip_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

// The program's icon, drawn rather than loaded so the tray never lacks one.
QIcon dovan_icon();

}  // namespace dovan
