#include "desktop/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>

namespace dovan {

namespace {
bool on_gui_thread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }
}  // namespace

QtClipboard::QtClipboard() {
    last_ = read_here();
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, [this] { changed(); });
}

std::optional<std::string> QtClipboard::read_here() const {
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isNull()) return std::nullopt;
    const QByteArray utf8 = text.toUtf8();
    return clipboard_text_from_bytes(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

std::optional<std::string> QtClipboard::read_text() {
    if (on_gui_thread()) {
        auto text = read_here();
        std::lock_guard lock(mu_);
        last_ = text;
        return text;
    }
    std::lock_guard lock(mu_);
    return last_;
}

void QtClipboard::write_here(const std::string& text) {
    writing_ = true;
    QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    writing_ = false;
    std::lock_guard lock(mu_);
    last_ = text;
}

void QtClipboard::write_text(std::string_view text) {
    std::string copy(text);
    if (on_gui_thread()) {
        write_here(copy);
    } else {
        QMetaObject::invokeMethod(this, [this, copy] { write_here(copy); }, Qt::QueuedConnection);
    }
}

void QtClipboard::set_on_change(std::function<void()> on_change) {
    std::lock_guard lock(mu_);
    on_change_ = std::move(on_change);
}

void QtClipboard::changed() {
    if (writing_) return;  // our own write is not another program's copy
    auto text = read_here();
    std::function<void()> callback;
    {
        std::lock_guard lock(mu_);
        last_ = text;
        callback = on_change_;
    }
    if (callback) callback();
}

}  // namespace dovan
