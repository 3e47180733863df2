// The page painters' canvas on a QPainter. Positions arrive in DIP and are drawn at
// round(v × scale) device pixels, each rectangle edge on its own, so every control lands
// on the pixels the hit-test expects.
#pragma once

#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QStaticText>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "shell/canvas.h"
#include "shell/icons.h"

namespace dovan {

class QtThumbnails;

// Fonts, their metrics and rasterised icons, kept across paints on the window thread.
class PaintResources {
public:
    struct Font {
        QFont font;
        QFontMetricsF metrics{QFont()};
        int line_px = 0;
    };
    const Font& font(FontKind kind, double scale);
    IconCache<QImage>& icons() { return icons_; }
    static QString ui_face();

    // Laid-out texts and their widths, since most lines repeat from paint to paint.
    struct LaidOut {
        QStaticText text;
        double width = 0;  // device pixels
    };
    const LaidOut& layout(const Font& font, std::string_view text);

private:
    std::map<std::pair<int, int>, std::unique_ptr<Font>> fonts_;  // (pixel height, weight)
    IconCache<QImage> icons_;
    // Bounded: emptied when it grows past a few screens of distinct lines.
    std::map<std::pair<const Font*, std::string>, LaidOut, std::less<>> texts_;
};

class QtCanvas final : public Canvas {
public:
    QtCanvas(QPainter& painter, double scale, PaintResources& resources, const QtThumbnails* thumbnails);

    void fill_rect(const Rect& r, Color c) override;
    void fill_round(const Rect& r, double radius, Color c) override;
    void outline_round(const Rect& r, double radius, Color c, double width) override;
    void line(double x1, double y1, double x2, double y2, Color c) override;
    void circle(double cx, double cy, double radius, Color c) override;
    void ring(double cx, double cy, double radius, double width, double fraction, Color c) override;
    void text(double x, double y, std::string_view text, FontKind kind, Color c) override;
    double text_width(std::string_view text, FontKind kind) override;
    void icon(int number, double x, double y, double size, Color c) override;
    void image(std::uint64_t key, const Rect& dest) override;
    void push_clip(const Rect& r) override;
    void pop_clip() override;

private:
    int px(double v) const;
    QRect px_rect(const Rect& r) const;

    QPainter& p_;
    double scale_;
    PaintResources& res_;
    const QtThumbnails* thumbnails_;
};

inline QColor qcolor(Color c) { return QColor::fromRgb((c >> 16) & 0xff, (c >> 8) & 0xff, c & 0xff); }

}  // namespace dovan
