#include "desktop/qt_canvas.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "desktop/thumbnail_decoder.h"

namespace dovan {

QString PaintResources::ui_face() {
    static const QString face = [] {
        // A CJK face first: the whole interface is Chinese.
        for (const char* name : {"Noto Sans CJK SC", "Noto Sans SC", "Source Han Sans SC", "WenQuanYi Micro Hei"}) {
            if (QFontDatabase::hasFamily(QString::fromLatin1(name))) return QString::fromLatin1(name);
        }
        return QGuiApplication::font().family();
    }();
    return face;
}

const PaintResources::Font& PaintResources::font(FontKind kind, double scale) {
    const FontSpec style = font_spec(kind);
    const int height = round_half_away(style.size * scale);
    auto& slot = fonts_[{height, style.weight}];
    if (!slot) {
        slot = std::make_unique<Font>();
        QFont f(ui_face());
        f.setPixelSize(std::max(height, 1));
        f.setWeight(style.weight >= 700 ? QFont::Bold : style.weight >= 600 ? QFont::DemiBold : QFont::Normal);
        f.setHintingPreference(QFont::PreferNoHinting);
        slot->font = f;
        slot->metrics = QFontMetricsF(f);
        slot->line_px = round_half_away(round_half_away(style.size * 1.55) * scale);
    }
    return *slot;
}

const PaintResources::LaidOut& PaintResources::layout(const Font& font, std::string_view text) {
    static constexpr std::size_t kLimit = 4096;
    auto key = std::make_pair(&font, std::string(text));
    if (auto it = texts_.find(key); it != texts_.end()) return it->second;
    if (texts_.size() >= kLimit) texts_.clear();
    LaidOut out;
    const QString q = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    out.text = QStaticText(q);
    out.text.setTextFormat(Qt::PlainText);
    out.text.setPerformanceHint(QStaticText::AggressiveCaching);
    out.text.prepare(QTransform(), font.font);
    out.width = font.metrics.horizontalAdvance(q);
    return texts_.emplace(std::move(key), std::move(out)).first->second;
}

QtCanvas::QtCanvas(QPainter& painter, double scale, PaintResources& resources, const QtThumbnails* thumbnails)
    : p_(painter), scale_(scale), res_(resources), thumbnails_(thumbnails) {
    p_.setRenderHint(QPainter::Antialiasing, true);
    p_.setRenderHint(QPainter::TextAntialiasing, true);
    p_.setLayoutDirection(Qt::LeftToRight);
}

int QtCanvas::px(double v) const { return round_half_away(v * scale_); }
QRect QtCanvas::px_rect(const Rect& r) const {
    const int l = px(r.l), t = px(r.t);
    return QRect(l, t, px(r.r) - l, px(r.b) - t);
}

void QtCanvas::fill_rect(const Rect& r, Color c) { p_.fillRect(px_rect(r), qcolor(c)); }

// Rounded shapes are drawn as straight parts without antialiasing and only the corners
// with it: the raster engine's path filling over a whole card costs far more.
void QtCanvas::fill_round(const Rect& r, double radius, Color c) {
    const QRect q = px_rect(r);
    if (q.width() <= 0 || q.height() <= 0) return;
    const QColor colour = qcolor(c);
    const double rad = std::min({radius * scale_, q.width() / 2.0, q.height() / 2.0});
    const int k = static_cast<int>(std::floor(rad));
    if (k <= 0) {
        p_.fillRect(q, colour);
        return;
    }
    p_.fillRect(QRect(q.left() + k, q.top(), q.width() - 2 * k, q.height()), colour);
    p_.fillRect(QRect(q.left(), q.top() + k, q.width(), q.height() - 2 * k), colour);
    p_.setPen(Qt::NoPen);
    p_.setBrush(colour);
    const QRectF f(q);
    const double d = 2 * rad;
    p_.drawPie(QRectF(f.left(), f.top(), d, d), 90 * 16, 90 * 16);
    p_.drawPie(QRectF(f.right() - d, f.top(), d, d), 0, 90 * 16);
    p_.drawPie(QRectF(f.left(), f.bottom() - d, d, d), 180 * 16, 90 * 16);
    p_.drawPie(QRectF(f.right() - d, f.bottom() - d, d, d), 270 * 16, 90 * 16);
}

void QtCanvas::outline_round(const Rect& r, double radius, Color c, double width) {
    const QRect q = px_rect(r);
    if (q.width() <= 0 || q.height() <= 0) return;
    const QColor colour = qcolor(c);
    const int w = std::max(1, static_cast<int>(std::lround(width * scale_)));
    const double rad = std::min({radius * scale_, q.width() / 2.0, q.height() / 2.0});
    const int k = static_cast<int>(std::floor(rad));
    p_.fillRect(QRect(q.left() + k, q.top(), q.width() - 2 * k, w), colour);
    p_.fillRect(QRect(q.left() + k, q.bottom() + 1 - w, q.width() - 2 * k, w), colour);
    p_.fillRect(QRect(q.left(), q.top() + k, w, q.height() - 2 * k), colour);
    p_.fillRect(QRect(q.right() + 1 - w, q.top() + k, w, q.height() - 2 * k), colour);
    if (k <= 0) return;
    p_.setPen(QPen(colour, w, Qt::SolidLine, Qt::FlatCap));
    p_.setBrush(Qt::NoBrush);
    const QRectF f = QRectF(q).adjusted(w / 2.0, w / 2.0, -w / 2.0, -w / 2.0);
    const double d = 2 * (rad - w / 2.0);
    if (d <= 0) return;
    p_.drawArc(QRectF(f.left(), f.top(), d, d), 90 * 16, 90 * 16);
    p_.drawArc(QRectF(f.right() - d, f.top(), d, d), 0, 90 * 16);
    p_.drawArc(QRectF(f.left(), f.bottom() - d, d, d), 180 * 16, 90 * 16);
    p_.drawArc(QRectF(f.right() - d, f.bottom() - d, d, d), 270 * 16, 90 * 16);
}

void QtCanvas::line(double x1, double y1, double x2, double y2, Color c) {
    p_.setPen(QPen(qcolor(c), 1));
    p_.drawLine(QPointF(std::floor(x1 * scale_) + 0.5, y1 * scale_), QPointF(std::floor(x2 * scale_) + 0.5, y2 * scale_));
}

void QtCanvas::circle(double cx, double cy, double radius, Color c) {
    p_.setPen(Qt::NoPen);
    p_.setBrush(qcolor(c));
    p_.drawEllipse(QPointF(cx * scale_, cy * scale_), radius * scale_, radius * scale_);
}

void QtCanvas::ring(double cx, double cy, double radius, double width, double fraction, Color c) {
    p_.setPen(QPen(qcolor(c), width * scale_, Qt::SolidLine, Qt::FlatCap));
    p_.setBrush(Qt::NoBrush);
    const double r = radius * scale_;
    p_.drawArc(QRectF(cx * scale_ - r, cy * scale_ - r, 2 * r, 2 * r), 90 * 16,
               -static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 360 * 16)));
}

void QtCanvas::text(double x, double y, std::string_view text, FontKind kind, Color c) {
    if (text.empty()) return;
    const auto& f = res_.font(kind, scale_);
    p_.setFont(f.font);
    p_.setPen(qcolor(c));
    // QStaticText is placed by the top of its line, not the baseline.
    const double top = px(y) + (f.line_px - (f.metrics.ascent() + f.metrics.descent())) / 2.0;
    p_.drawStaticText(QPointF(x * scale_, std::round(top)), res_.layout(f, text).text);
}

double QtCanvas::text_width(std::string_view text, FontKind kind) {
    const auto& f = res_.font(kind, scale_);
    return res_.layout(f, text).width / scale_;
}

void QtCanvas::icon(int number, double x, double y, double size, Color c) {
    const int n = px(size);
    if (n < kIconMinSize) return;
    const IconCache<QImage>::Key key{n, c, number};
    const QImage* img = res_.icons().find(key);
    if (!img) {
        const auto bgra = premultiplied_bgra(rasterize_alpha(icon_shape(number), n), c);
        if (bgra.empty()) return;
        QImage made(n, n, QImage::Format_ARGB32_Premultiplied);
        for (int row = 0; row < n; ++row) {
            std::memcpy(made.scanLine(row), bgra.data() + static_cast<std::size_t>(row) * n * 4, static_cast<std::size_t>(n) * 4);
        }
        img = &res_.icons().add(key, std::move(made));
    }
    p_.drawImage(QPoint(px(x), px(y)), *img);
}

void QtCanvas::image(std::uint64_t key, const Rect& dest) {
    if (!thumbnails_) return;
    const QImage* img = thumbnails_->peek(key);
    if (!img || img->isNull()) return;
    const QRect target = px_rect(dest);
    // Cover the cell and keep the proportions: crop the longer side around the centre.
    const double sx = static_cast<double>(target.width()) / img->width();
    const double sy = static_cast<double>(target.height()) / img->height();
    const double s = std::max(sx, sy);
    const double w = target.width() / s, h = target.height() / s;
    const QRectF source((img->width() - w) / 2, (img->height() - h) / 2, w, h);
    p_.save();
    p_.setRenderHint(QPainter::SmoothPixmapTransform, true);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(target), 8 * scale_, 8 * scale_);
    p_.setClipPath(clip, Qt::IntersectClip);
    p_.drawImage(QRectF(target), *img, source);
    p_.restore();
}

void QtCanvas::push_clip(const Rect& r) {
    p_.save();
    p_.setClipRect(px_rect(r), Qt::IntersectClip);
}
void QtCanvas::pop_clip() { p_.restore(); }

}  // namespace dovan
