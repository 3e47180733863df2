// The tray icon: tip "Dovan — 待机", shows the window on a click, one menu item "关闭", and
// balloons for notifications when the notification service cannot take them.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <string_view>

class QMenu;

namespace dovan {

class Tray final : public QObject {
    Q_OBJECT
public:
    Tray(std::function<void()> show_window, std::function<void()> quit);
    ~Tray() override;

    // False (and the line saying so) when the desktop has no tray.
    bool create();
    void remove();
    // Main thread only. False without an icon or when the desktop cannot show messages.
    bool show_balloon(std::string_view title, std::string_view body);

private:
    void activated(QSystemTrayIcon::ActivationReason reason);

    std::function<void()> show_window_;
    std::function<void()> quit_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

// The program's icon, drawn rather than loaded so the tray never lacks one.
QIcon dovan_icon();

}  // namespace dovan
