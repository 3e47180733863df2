#include "desktop/tray.h"

#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "platform/debug_log.h"
#include "common/text.h"

namespace dovan {

namespace {

QString cut_utf16(std::string_view text, qsizetype units) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (s.size() > units) {
        s.truncate(units);
        // Never leave half of a surrogate pair behind.
        if (!s.isEmpty() && s.back().isHighSurrogate()) s.chop(1);
    }
    return s;
}

}  // namespace

QIcon dovan_icon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2F6FED));
        p.drawRoundedRect(QRectF(0, 0, size, size), size * 0.22, size * 0.22);
        p.setPen(QPen(Qt::white, size * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        const qreal m = size * 0.28;
        QPainterPath d;
        d.moveTo(m, m);
        d.lineTo(m, size - m);
        d.lineTo(size * 0.5, size - m);
        d.arcTo(QRectF(size * 0.5 - (size - 2 * m) / 2, m, size - 2 * m, size - 2 * m), 270, 180);
        d.closeSubpath();
        p.drawPath(d);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

Tray::Tray(std::function<void()> show_window, std::function<void()> send_files, std::function<void()> quit)
    : show_window_(std::move(show_window)), send_files_(std::move(send_files)), quit_(std::move(quit)) {
    menu_ = std::make_unique<QMenu>();
    QAction* show = menu_->addAction(QString::fromUtf8("显示主窗口"));
    connect(show, &QAction::triggered, this, [this] {
        if (show_window_) show_window_();
    });
    QAction* send = menu_->addAction(QString::fromUtf8("发送文件…"));
    connect(send, &QAction::triggered, this, [this] {
        if (send_files_) send_files_();
    });
    menu_->addSeparator();
    QAction* close = menu_->addAction(QString::fromUtf8("关闭"));
    connect(close, &QAction::triggered, this, [this] {
        if (quit_) quit_();
    });
}

Tray::~Tray() { remove(); }

bool Tray::create() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        console_line("[Dovan] 托盘图标创建失败，系统弹窗将不可用");
        return false;
    }
    icon_ = std::make_unique<QSystemTrayIcon>(dovan_icon());
    if (tooltip_.empty()) tooltip_ = "Dovan — 待机";
    icon_->setToolTip(cut_utf16(tooltip_, 127));
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &Tray::activated);
    icon_->show();
    return true;
}

void Tray::remove() {
    if (icon_) icon_->hide();
    icon_.reset();
}

bool Tray::show_balloon(std::string_view title, std::string_view body) {
    if (!icon_ || !icon_->isVisible() || !QSystemTrayIcon::supportsMessages()) return false;
    icon_->showMessage(cut_utf16(title, 63), cut_utf16(body, 255), QSystemTrayIcon::Information);
    return true;
}

void Tray::set_tooltip(std::string_view text) {
    if (text == tooltip_) return;
    tooltip_ = std::string(text);
    if (icon_) icon_->setToolTip(cut_utf16(tooltip_, 127));
}

void Tray::activated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
        case QSystemTrayIcon::DoubleClick:
            if (show_window_) show_window_();
            return;
        case QSystemTrayIcon::Context:
            return;  // the menu opens by itself
        default:
            emit_event(LogLevel::Info, "ui", "tray.event.unknown",
                       {{"code", "0x" + hex_upper(static_cast<std::uint64_t>(reason), 4)}});
            return;
    }
}

}  // namespace dovan
