#include "desktop/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QThread>

namespace dovan {

namespace {

bool on_main_thread() { return QThread::currentThread() == qApp->thread(); }

std::optional<std::string> current_text() {
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isNull()) return std::nullopt;
    const QByteArray utf8 = text.toUtf8();
    return clipboard_text_from_bytes(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

}  // namespace

QtClipboard::QtClipboard() {
    seen_ = current_text();
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, &QtClipboard::changed);
}

std::optional<std::string> QtClipboard::read_text() {
    if (on_main_thread()) {
        auto text = current_text();
        std::lock_guard lock(mu_);
        seen_ = text;
        return text;
    }
    std::lock_guard lock(mu_);
    return seen_;
}

void QtClipboard::write_text(std::string_view text) {
    std::string copy(text);
    if (on_main_thread()) {
        write_here(copy);
        return;
    }
    // Queued, never blocking: the main thread may itself be waiting for this thread.
    QMetaObject::invokeMethod(this, [this, copy] { write_here(copy); }, Qt::QueuedConnection);
}

void QtClipboard::write_here(const std::string& text) {
    {
        std::lock_guard lock(mu_);
        written_ = text;
        seen_ = text;
    }
    QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void QtClipboard::set_on_change(std::function<void()> on_change) {
    std::lock_guard lock(mu_);
    on_change_ = std::move(on_change);
}

void QtClipboard::changed() {
    const auto text = current_text();
    std::function<void()> notify;
    {
        std::lock_guard lock(mu_);
        seen_ = text;
        const bool ours = text && written_ && *text == *written_;
        written_.reset();
        if (ours) return;
        notify = on_change_;
    }
    if (notify) notify();
}

}  // namespace dovan
