#include "desktop/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>
#include <QStyleHints>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/settings.h"
#include "features/album.h"
#include "platform/debug_log.h"
#include "platform/files.h"
#include "desktop/qt_canvas.h"
#include "desktop/qt_clipboard.h"
#include "desktop/thumbnail_decoder.h"
#include "shell/actions.h"
#include "shell/clipboard_actions.h"
#include "shell/input.h"
#include "shell/paint.h"
#include "shell/view_rules.h"

namespace dovan {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kNoAutostartPlace = "找不到放启动项的配置目录（XDG_CONFIG_HOME 与 HOME 都不是绝对路径）";

std::string to_std(const QString& s) { return s.toUtf8().toStdString(); }
QString to_q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::optional<std::uint64_t> resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    if (!(statm >> size >> resident)) return std::nullopt;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

Key key_of(const QKeyEvent& e) {
    if (e.matches(QKeySequence::SelectAll)) return Key::SelectAll;
    switch (e.key()) {
        case Qt::Key_Backspace: return Key::Backspace;
        case Qt::Key_Delete: return Key::Delete;
        case Qt::Key_Left: return Key::Left;
        case Qt::Key_Right: return Key::Right;
        case Qt::Key_Home: return Key::Home;
        case Qt::Key_End: return Key::End;
        case Qt::Key_Return:
        case Qt::Key_Enter: return Key::Enter;
        case Qt::Key_Escape: return Key::Escape;
        default: return Key::Other;
    }
}

class MainWindow final : public QWidget {
public:
    MainWindow(std::shared_ptr<SharedUi> ui, MainWindowOptions options)
        : ui_(std::move(ui)), opt_(std::move(options)), clock_(opt_.clock ? *opt_.clock : system_clock()) {
        setWindowTitle(QStringLiteral("Dovan"));
        setObjectName(QStringLiteral("DovanShellWnd"));
        resize(kDefaultClientW, kDefaultClientH);
        setMinimumSize(kMinClientW, kMinClientH);
        setMouseTracking(true);
        setAcceptDrops(true);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_InputMethodEnabled);
        setFocusPolicy(Qt::StrongFocus);
        if (!opt_.clipboard) {
            own_clipboard_ = std::make_unique<QtClipboard>();
            opt_.clipboard = own_clipboard_.get();
        }
        if (ui_->modules().clipboard()) {
            opt_.clipboard->set_on_change([this] {
                QMetaObject::invokeMethod(this, [this] { clipboard_changed(); }, Qt::QueuedConnection);
            });
        }
        ui_->set_repaint([this] { QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection); });
        // A thumbnail decoded on the worker is drawn by the repaint this posts.
        thumbnails_.set_on_ready([this] { QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection); });
        timer_.setInterval(33);
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
        // The switch shows the entry as it is now, not as the settings last remembered it.
        if (opt_.autostart) refresh_autostart(*opt_.autostart, *ui_, [this](bool) { save_current(); });
    }

    ~MainWindow() override {
        ui_->set_repaint({});
        thumbnails_.set_on_ready({});
        if (opt_.clipboard) opt_.clipboard->set_on_change({});
    }

    void release_thumbnails() { thumbnails_.release(); }

    void send_picker() {
        {
            auto g = ui_->lock();
            if (g->page != Page::Files) {
                g->page = Page::Files;
                g->bump();
            }
        }
        update();
        pick_files();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const double dpr = devicePixelRatioF();
        // The canvas works in device pixels and does its own DIP rounding.
        painter.scale(1 / dpr, 1 / dpr);
        const Metrics m = metrics();
        QtCanvas canvas(painter, m.scale, resources_, &thumbnails_);
        auto g = ui_->lock();
        PaintInput in{*g, ui_->modules(), m};
        in.system = look_;
        in.now = clock_.now();
        in.wall_ms = clock_.wall_ms();
        in.version = opt_.version;
        in.thumbnails = &thumbnails_;
        if (g->page == Page::Features) in.memory_bytes = resident_bytes();
        if (g->focus != InputFocus::None) {
            settle_caret(*g, caret_);
            in.caret = CaretView{caret_.caret, caret_.anchor};
        }
        const PaintResult result = paint_window(canvas, in);
        painted_counter_ = g->change_counter;
        if (g->page == Page::Album && result.thumbnail_wanted && !g->requests.thumbnail_wanted &&
            result.thumbnail_wanted != last_wanted_) {
            g->requests.thumbnail_wanted = result.thumbnail_wanted;
            last_wanted_ = result.thumbnail_wanted;
        }
    }

    void changeEvent(QEvent* e) override {
        if (e->type() == QEvent::PaletteChange || e->type() == QEvent::ThemeChange ||
            e->type() == QEvent::ApplicationPaletteChange || e->type() == QEvent::StyleChange) {
            look_ = system_look();
            update();
        }
        if (e->type() == QEvent::WindowStateChange && isMinimized()) thumbnails_.release();
        QWidget::changeEvent(e);
    }
    void showEvent(QShowEvent* e) override {
        QWidget::showEvent(e);
        if (QWindow* w = windowHandle(); w != nullptr && !screen_watch_) {
            screen_watch_ = connect(w, &QWindow::screenChanged, this, [this](QScreen*) { fit_screen(); });
        }
        fit_screen();
    }
    void hideEvent(QHideEvent* e) override {
        thumbnails_.release();
        QWidget::hideEvent(e);
    }

    void mouseMoveEvent(QMouseEvent* e) override {
        const QPointF dip = to_dip(e->position());
        const Metrics m = metrics();
        bool repaint = false;
        if (scroll_drag_) {
            auto g = ui_->lock();
            repaint = scroll_drag(*g, m, dip.y());
        } else if (press_ && !press_->dragged && (e->buttons() & Qt::LeftButton) &&
                   std::abs(dip.x() - press_->at.x()) + std::abs(dip.y() - press_->at.y()) > kDragThreshold) {
            press_->dragged = true;
            start_drag(press_->index);
            return;
        }
        Action hit;
        {
            auto g = ui_->lock();
            hit = hit_test(*g, ui_->modules(), m, dip.x(), dip.y());
            if (g->hover != hit.as_hover()) {
                g->hover = hit.as_hover();
                repaint = true;
            }
        }
        setCursor(hit.id == kActNone ? Qt::ArrowCursor : Qt::PointingHandCursor);
        if (repaint) update();
    }

    void leaveEvent(QEvent*) override {
        auto g = ui_->lock();
        if (g->hover != HoverTarget{}) {
            g->hover = {};
            update();
        }
    }

    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return;
        const QPointF dip = to_dip(e->position());
        Effects fx;
        {
            auto g = ui_->lock();
            const Action hit = hit_test(*g, ui_->modules(), metrics(), dip.x(), dip.y());
            const InputFocus before = g->focus;
            if (hit.id == kActAlbumCell) press_ = Press{static_cast<std::size_t>(hit.index), dip, false};
            fx = click(*g, context(), hit);
            if (g->focus != before && g->focus != InputFocus::None) {
                const std::size_t end = g->focused_text() ? g->focused_text()->size() : 0;
                caret_ = {end, end};
            }
        }
        if (fx.start_scroll_drag) scroll_drag_ = true;
        run(fx);
    }

    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return;
        scroll_drag_ = false;
        if (press_ && !press_->dragged) {
            auto g = ui_->lock();
            album_release(*g, press_->index);
        }
        press_.reset();
        update();
    }

    void wheelEvent(QWheelEvent* e) override {
        wheel_rest_ += e->angleDelta().y();
        const int notches = wheel_rest_ / 120;
        wheel_rest_ -= notches * 120;
        if (notches == 0) return;
        auto g = ui_->lock();
        if (wheel(*g, metrics(), notches)) update();
    }

    void keyPressEvent(QKeyEvent* e) override {
        if (e->matches(QKeySequence::Paste)) {
            const auto text = opt_.clipboard->read_text();
            auto g = ui_->lock();
            if (text && insert_text(*g, caret_, *text)) update();
            return;
        }
        const Key key = key_of(*e);
        Effects fx;
        bool typed = false;
        {
            auto g = ui_->lock();
            if (key != Key::Other) {
                fx = key_press(*g, caret_, key, e->modifiers() & Qt::ShiftModifier, clock_.now());
            } else if (!e->text().isEmpty() && !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
                typed = insert_text(*g, caret_, to_std(e->text()));
            }
        }
        if (typed) update();
        run(fx);
    }

    void inputMethodEvent(QInputMethodEvent* e) override {
        if (e->commitString().isEmpty()) return;
        auto g = ui_->lock();
        if (insert_text(*g, caret_, to_std(e->commitString()))) update();
    }
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override {
        if (query == Qt::ImEnabled) {
            auto g = ui_->lock();
            return g->focus != InputFocus::None;
        }
        return QWidget::inputMethodQuery(query);
    }

    void closeEvent(QCloseEvent* e) override {
        if (closing_) {
            e->accept();
            return;
        }
        Effects fx;
        {
            auto g = ui_->lock();
            fx = system_close(*g);
        }
        e->ignore();
        run(fx);
    }

    void dragEnterEvent(QDragEnterEvent* e) override {
        if (e->mimeData()->hasUrls() && e->source() != this) e->acceptProposedAction();
    }
    void dropEvent(QDropEvent* e) override {
        std::vector<DroppedItem> items;
        for (const QUrl& url : e->mimeData()->urls()) {
            DroppedItem item;
            const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
            if (path.isEmpty()) {
                item.kind = DroppedItem::Kind::Unreadable;
            } else {
                const QFileInfo info(path);
                item.path = to_std(path);
                item.kind = info.isDir() && !info.isSymLink() ? DroppedItem::Kind::Folder : DroppedItem::Kind::File;
                item.size = info.isFile() ? static_cast<std::uint64_t>(std::max<qint64>(info.size(), 0)) : 0;
            }
            items.push_back(std::move(item));
        }
        e->acceptProposedAction();
        auto g = ui_->lock();
        drop_items(*g, items);
        update();
    }

private:
    struct Press {
        std::size_t index = 0;
        QPointF at;
        bool dragged = false;
    };

    Metrics metrics() const {
        const double dpr = devicePixelRatioF();
        return Metrics::from_pixels(round_half_away(width() * dpr), round_half_away(height() * dpr),
                                    static_cast<unsigned>(std::lround(96 * dpr)));
    }
    QPointF to_dip(const QPointF& logical) const {
        const Metrics m = metrics();
        const double dpr = devicePixelRatioF();
        return {logical.x() * dpr / m.scale, logical.y() * dpr / m.scale};
    }
    InputContext context() const { return {metrics(), ui_->modules(), clock_.now()}; }

    // At a large scale a small screen is smaller than the window's minimum: the minimum and
    // the size give way, frame included, so the whole window stays reachable.
    void fit_screen() {
        const QScreen* s = screen();
        if (s == nullptr) return;
        const QSize frame = (frameGeometry().size() - geometry().size()).expandedTo(QSize(0, 0));
        fit_window_to(*this, s->availableGeometry().size() - frame);
    }

    void tick() {
        if (opt_.on_tick) opt_.on_tick();
        bool repaint = false;
        {
            auto g = ui_->lock();
            const Instant now = clock_.now();
            auto since = [&](const std::optional<Instant>& t) { return t ? now - *t : Duration::max(); };
            // A change not yet painted (the core may have set it without asking), and the
            // animations: the scanning pulse only while something scans.
            repaint = g->change_counter != painted_counter_ || since(g->transition_start) < 220ms ||
                      (g->page == Page::Connect && !g->ble_failure &&
                       (g->engine_state == kEngineDiscover || g->engine_state == 3)) ||
                      g->focus != InputFocus::None ||
                      (g->self_clipboard && since(g->self_clipboard->at) < 1850ms) ||
                      (g->reply_status && now - g->reply_status->at < 4250ms) ||
                      (g->page == Page::Album && (g->album.loading || !g->album.thumbnail_queue.empty()));
        }
        if (repaint) update();
    }

    void clipboard_changed() {
        on_clipboard_changed(*ui_, *opt_.clipboard);
        update();
    }

    void save(const UiSettings& s) {
        if (opt_.save_settings) {
            opt_.save_settings(s);
        } else {
            if (!opt_.data_dir.empty()) save_settings(opt_.data_dir, settings_with(load_settings(opt_.data_dir), s));
        }
    }

    void save_current() {
        UiSettings copy;
        {
            auto g = ui_->lock();
            copy = g->settings;
        }
        save(copy);
    }

    void toggle_autostart_entry() {
        if (opt_.autostart) {
            toggle_autostart(*opt_.autostart, *ui_, [this](bool) { save_current(); });
            return;
        }
        bool present = false;
        {
            auto g = ui_->lock();
            present = g->settings.autostart_present;
        }
        notice(format_text("开机自启动没能{}：{}", present ? "关闭" : "开启", kNoAutostartPlace));
    }

    void quit() {
        closing_ = true;
        if (opt_.on_quit) {
            opt_.on_quit();
        } else {
            QCoreApplication::quit();
        }
    }

    // Work that must not run under the UI lock: dialogs, the clipboard, files, settings.
    void run(const Effects& fx) {
        if (fx.copy_text) opt_.clipboard->write_text(*fx.copy_text);
        if (fx.open) open_saved(*ui_, *fx.open, opt_.open_path ? opt_.open_path : OpenFn(open_with_desktop));
        if (fx.send_local_clipboard) {
            const auto text = opt_.clipboard->read_text();
            auto g = ui_->lock();
            clipboard_to_phone(*g, text.value_or(""));
        }
        if (fx.apply_theme) look_ = system_look();
        if (fx.debug_log) {
            if (*fx.debug_log) {
                if (!opt_.data_dir.empty()) (void)enable_debug_log(log_directory(opt_.data_dir));
            } else {
                disable_debug_log();
            }
        }
        if (fx.toggle_autostart) toggle_autostart_entry();
        if (fx.save_settings) save_current();
        switch (fx.picker) {
            case Picker::None: break;
            case Picker::SendFiles: pick_files(); break;
            case Picker::Inbox: pick_inbox(); break;
            case Picker::AlbumExport: pick_album_export(); break;
            case Picker::DebugExport: pick_debug_export(); break;
        }
        if (fx.hide_window) hide_main_window(*this);
        if (fx.minimize_window) showMinimized();
        if (fx.quit) quit();
        if (fx.close_now) {
            closing_ = true;
            quit();
        }
        if (fx.changed) update();
    }

    void notice(const std::string& text) {
        auto g = ui_->lock();
        g->add_notice(text);
        update();
    }

    void pick_files() {
        const QStringList files = QFileDialog::getOpenFileNames(this, QStringLiteral("选择要发送到手机的文件（可一次多选）"));
        if (files.isEmpty()) return;
        std::vector<QueuedFile> picked;
        for (const QString& f : files) {
            const QFileInfo info(f);
            picked.push_back({to_std(f), info.isFile() ? static_cast<std::uint64_t>(std::max<qint64>(info.size(), 0)) : 0});
        }
        auto g = ui_->lock();
        queue_picked_files(*g, picked);
        update();
    }

    void pick_inbox() {
        const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("选择收件目录（手机发来的文件落这里）"));
        if (dir.isEmpty()) return;
        const std::string path = to_std(dir);
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        if (ec) {
            notice(format_text("收件目录用不了（{}）: {}", path, ec.message()));
            return;
        }
        UiSettings copy;
        {
            auto g = ui_->lock();
            g->settings.inbox = path;
            g->queue_system_notification({"收件目录已更改", format_text("手机发来的文件将落到：{}", path), std::nullopt, std::nullopt});
            copy = g->settings;
        }
        save(copy);
        update();
    }

    void pick_album_export() {
        const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("选择导出目录（手机原图会落到这里）"));
        const std::string path = to_std(dir);
        if (!path.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(path, ec);
            if (ec) {
                notice(format_text("导出目录用不了（{}）: {}", path, ec.message()));
                return;
            }
        }
        auto g = ui_->lock();
        album_export_to(*g, path);
        update();
    }

    void pick_debug_export() {
        const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("选择 Dovan Debug 日志导出目录"));
        if (dir.isEmpty()) return;
        auto result = export_debug_log(std::filesystem::path(to_std(dir)));
        auto g = ui_->lock();
        if (result.ok()) {
            g->queue_system_notification({"Dovan · Debug", format_text("Debug 日志已导出到 {}", result->string()), std::nullopt, std::nullopt});
        } else {
            g->add_notice(format_text("Debug 日志导出失败: {}", result.error().text));
        }
        update();
    }

    void start_drag(std::size_t index) {
        std::optional<std::vector<std::uint64_t>> items;
        std::optional<std::vector<std::string>> files;
        {
            auto g = ui_->lock();
            items = album_drag_items(*g, index);
            if (items) files = album_drag_files(*g, *items);
        }
        update();
        if (!items || !files) return;
        const std::filesystem::path temp = Album::drag_folder();
        if (auto made = files::ensure_private_dir(temp); !made) {
            notice(format_text("拖拽临时目录建不出来（{}）: {}", temp.string(), made.error().text));
            return;
        }
        if (files->empty()) {
            notice("拖拽失败：这次没有可拖出的文件");
            return;
        }
        QList<QUrl> urls;
        std::filesystem::path folder;
        for (const auto& f : *files) {
            const std::filesystem::path p(f);
            if (!p.has_parent_path()) {
                notice("拖拽失败：拖拽载荷路径看不出所在目录");
                return;
            }
            if (folder.empty()) folder = p.parent_path();
            if (p.parent_path() != folder) {
                notice(format_text("拖拽失败：这一批拖出的载荷不在同一个目录（{} 与 {}），已中止", folder.string(), p.parent_path().string()));
                return;
            }
            if (!p.has_filename()) {
                notice(format_text("拖拽失败：拖拽载荷看不出文件名：{}", f));
                return;
            }
            urls.push_back(QUrl::fromLocalFile(to_q(f)));
        }
        auto* drag = new QDrag(this);
        auto* mime = new QMimeData;
        mime->setUrls(urls);
        drag->setMimeData(mime);
        const Qt::DropAction result = drag->exec(Qt::CopyAction, Qt::CopyAction);
        if (result == Qt::IgnoreAction) {
            notice("拖拽失败：拖拽没有落点（取消，或目标不接受文件）：请拖到文件管理器窗口或微信聊天框里");
            return;
        }
        if (result != Qt::CopyAction) {
            notice(format_text("拖拽失败：放下了，但目标给的效果是 {}（不是复制）：换一个文件夹窗口再拖", hex_id(static_cast<std::uint64_t>(result))));
            return;
        }
        for (const auto& f : *files) {
            std::error_code rm;
            if (!std::filesystem::remove(f, rm) && rm) notice(format_text("拖拽用的临时文件没删掉，请手动清理：{}", f));
        }
        auto g = ui_->lock();
        album_drag_done(*g, *items);
        update();
    }

    std::shared_ptr<SharedUi> ui_;
    MainWindowOptions opt_;
    const Clock& clock_;
    std::unique_ptr<QtClipboard> own_clipboard_;
    PaintResources resources_;
    QtThumbnails thumbnails_;
    QTimer timer_;
    SystemLook look_ = system_look();
    EditCaret caret_;
    std::optional<Press> press_;
    bool scroll_drag_ = false;
    int wheel_rest_ = 0;
    bool closing_ = false;
    std::optional<std::uint64_t> last_wanted_;
    std::uint64_t painted_counter_ = 0;
    QMetaObject::Connection screen_watch_;
};

}  // namespace

void fit_window_to(QWidget& window, QSize room) {
    room = room.expandedTo(QSize(1, 1));
    window.setMinimumSize(QSize(kMinClientW, kMinClientH).boundedTo(room));
    if (window.width() > room.width() || window.height() > room.height())
        window.resize(window.size().boundedTo(room).expandedTo(window.minimumSize()));
}

SystemLook system_look() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    switch (QGuiApplication::styleHints()->colorScheme()) {
        case Qt::ColorScheme::Dark: return SystemLook::Dark;
        case Qt::ColorScheme::Light: return SystemLook::Light;
        default: return SystemLook::Unknown;
    }
#else
    // Older Qt has no colour-scheme hint; a window colour darker than its text means dark.
    const QPalette p = QGuiApplication::palette();
    return p.color(QPalette::Window).lightness() < p.color(QPalette::WindowText).lightness() ? SystemLook::Dark
                                                                                          : SystemLook::Light;
#endif
}

std::unique_ptr<QWidget> make_main_window(std::shared_ptr<SharedUi> ui, MainWindowOptions options) {
    return std::make_unique<MainWindow>(std::move(ui), std::move(options));
}

void show_main_window(QWidget& window) {
    if (window.isMinimized()) window.showNormal(); else window.show();
    window.raise();
    window.activateWindow();
    window.update();
}

bool open_with_desktop(const std::string& path) {
    // The handler runs as a process of its own (Qt starts it detached), so nothing waits here.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(to_q(path)));
}

void open_send_picker(QWidget& window) {
    show_main_window(window);
    if (auto* w = dynamic_cast<MainWindow*>(&window)) w->send_picker();
}

void hide_main_window(QWidget& window) {
    window.hide();
    if (auto* w = dynamic_cast<MainWindow*>(&window)) w->release_thumbnails();
}

QImage render_window(const UiState& state, LoadedModules modules, int px_w, int px_h, double scale, SystemLook system,
                     Instant now, std::uint64_t wall_ms, const std::string& version, QtThumbnails* thumbnails,
                     PaintResources& resources) {
    QImage image(px_w, px_h, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    const Metrics m = Metrics::from_pixels(px_w, px_h, static_cast<unsigned>(std::lround(96 * scale)));
    QtCanvas canvas(painter, m.scale, resources, thumbnails);
    PaintInput in{state, modules, m};
    in.system = system;
    in.now = now;
    in.wall_ms = wall_ms;
    in.version = version;
    in.thumbnails = thumbnails;
    in.memory_bytes = resident_bytes();
    paint_window(canvas, in);
    painter.end();
    return image;
}

}  // namespace dovan
