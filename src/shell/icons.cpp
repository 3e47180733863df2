#include "shell/icons.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace dovan {

namespace {

// Fills run one way round and holes the other; the winding sum then leaves holes empty
// and lets overlapping fills merge.
IconContour oriented(IconContour c, bool fill) {
    double area = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
        const auto& p = c[i];
        const auto& q = c[(i + 1) % c.size()];
        area += double(p.x) * q.y - double(q.x) * p.y;
    }
    if ((area > 0) != fill) std::reverse(c.begin(), c.end());
    return c;
}

IconContour rect(float x0, float y0, float x1, float y1, bool fill = true) {
    return oriented({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}, fill);
}

IconContour rounded(float x0, float y0, float x1, float y1, float r, bool fill = true) {
    if (r <= 0) return rect(x0, y0, x1, y1, fill);
    IconContour c;
    const std::array<std::array<float, 3>, 4> corners = {{{x1 - r, y0 + r, -90}, {x1 - r, y1 - r, 0},
                                                          {x0 + r, y1 - r, 90}, {x0 + r, y0 + r, 180}}};
    for (const auto& k : corners) {
        for (int s = 0; s <= 4; ++s) {
            const double a = (k[2] + 22.5 * s) * std::numbers::pi / 180;
            c.push_back({float(k[0] + r * std::cos(a)), float(k[1] + r * std::sin(a))});
        }
    }
    return oriented(std::move(c), fill);
}

IconContour ellipse(float cx, float cy, float rx, float ry, bool fill = true) {
    IconContour c;
    for (int s = 0; s < 28; ++s) {
        const double a = 2 * std::numbers::pi * s / 28;
        c.push_back({float(cx + rx * std::cos(a)), float(cy + ry * std::sin(a))});
    }
    return oriented(std::move(c), fill);
}

IconContour polygon(IconContour points) { return oriented(std::move(points), true); }

// A stroke of width t from one point to another, as a quadrilateral.
IconContour segment(float x0, float y0, float x1, float y1, float t) {
    const double dx = x1 - x0, dy = y1 - y0, len = std::hypot(dx, dy);
    const float nx = float(-dy / len * t / 2), ny = float(dx / len * t / 2);
    return polygon({{x0 + nx, y0 + ny}, {x1 + nx, y1 + ny}, {x1 - nx, y1 - ny}, {x0 - nx, y0 - ny}});
}

// An outline: the rounded rectangle with its inside cut out.
void frame(IconShape& s, float x0, float y0, float x1, float y1, float r, float t) {
    s.push_back(rounded(x0, y0, x1, y1, r, true));
    s.push_back(rounded(x0 + t, y0 + t, x1 - t, y1 - t, std::max(r - t, 0.0f), false));
}

void ring(IconShape& s, float cx, float cy, float r, float t) {
    s.push_back(ellipse(cx, cy, r, r, true));
    s.push_back(ellipse(cx, cy, r - t, r - t, false));
}

// A sound wave: part of a ring, ±50° around the pointing direction (to the right).
IconContour wave(float cx, float cy, float r, float t) {
    IconContour c;
    for (int s = 0; s <= 10; ++s) {
        const double a = (-50 + 10.0 * s) * std::numbers::pi / 180;
        c.push_back({float(cx + (r + t) * std::cos(a)), float(cy + (r + t) * std::sin(a))});
    }
    for (int s = 10; s >= 0; --s) {
        const double a = (-50 + 10.0 * s) * std::numbers::pi / 180;
        c.push_back({float(cx + r * std::cos(a)), float(cy + r * std::sin(a))});
    }
    return oriented(std::move(c), true);
}

IconShape speaker(int waves) {
    IconShape s{polygon({{3, 9}, {7, 9}, {12, 4.5f}, {12, 19.5f}, {7, 15}, {3, 15}})};
    for (int i = 0; i < waves; ++i) s.push_back(wave(12, 12, 3.5f + 3.2f * i, 1.6f));
    return s;
}

// Icon 5's square, five points with the first repeated.
IconContour closed_square(float x0, float y0, float x1, float y1, bool fill) {
    IconContour c = rect(x0, y0, x1, y1, fill);
    c.push_back(c.front());
    return c;
}

std::array<IconShape, kIconCount> build_icons() {
    std::array<IconShape, kIconCount> icons;
    {  // 0 monitor with a phone standing in front; the frame stops short of the phone
        auto& s = icons[0];
        s.push_back(rect(2, 3, 18, 4.8f));
        s.push_back(rect(2, 3, 3.8f, 15));
        s.push_back(rect(2, 13.2f, 12.8f, 15));
        s.push_back(rect(16.2f, 3, 18, 7));
        s.push_back(rect(7, 15, 9, 18));
        s.push_back(rect(4.5f, 18, 11.5f, 19.6f));
        frame(s, 14, 8.5f, 22, 21.5f, 1.6f, 1.6f);
        s.push_back(ellipse(18, 18.6f, 1, 1));
    }
    {  // 1 envelope
        auto& s = icons[1];
        frame(s, 2, 5, 22, 19, 1.5f, 1.6f);
        s.push_back(segment(3.6f, 6.6f, 12, 13.2f, 1.7f));
        s.push_back(segment(12, 13.2f, 20.4f, 6.6f, 1.7f));
    }
    {  // 2 clipboard with two text lines
        auto& s = icons[2];
        frame(s, 4, 4, 20, 22, 2, 1.6f);
        s.push_back(rounded(8, 2, 16, 6.5f, 1));
        s.push_back(rect(8, 11, 16, 12.7f));
        s.push_back(rect(8, 15.5f, 14, 17.2f));
    }
    {  // 3 folder
        auto& s = icons[3];
        frame(s, 2, 7, 22, 20, 1.5f, 1.7f);
        s.push_back(polygon({{2, 5}, {9, 5}, {11.2f, 7.6f}, {2, 7.6f}}));
    }
    {  // 4 play triangle in a rounded frame
        auto& s = icons[4];
        frame(s, 2, 4, 22, 20, 3, 1.7f);
        s.push_back(polygon({{10, 8.5f}, {16, 12}, {10, 15.5f}}));
    }
    {  // 5 four squares, each with a square hole
        auto& s = icons[5];
        s.push_back(closed_square(3, 3, 11, 11, true));
        s.push_back(closed_square(3, 13, 11, 21, true));
        s.push_back(closed_square(13, 3, 21, 11, true));
        s.push_back(closed_square(13, 13, 21, 21, true));
        s.push_back(closed_square(15, 5, 19, 9, false));
        s.push_back(closed_square(15, 15, 19, 19, false));
        s.push_back(closed_square(5, 5, 9, 9, false));
        s.push_back(closed_square(5, 15, 9, 19, false));
    }
    {  // 6 hexagon outline around a ring
        auto& s = icons[6];
        IconContour outer, inner;
        for (int k = 0; k < 6; ++k) {
            const double a = (60.0 * k - 90) * std::numbers::pi / 180;
            outer.push_back({float(12 + 10 * std::cos(a)), float(12 + 10 * std::sin(a))});
            inner.push_back({float(12 + 8.1 * std::cos(a)), float(12 + 8.1 * std::sin(a))});
        }
        s.push_back(oriented(outer, true));
        s.push_back(oriented(inner, false));
        ring(s, 12, 12, 3.9f, 1.7f);
    }
    {  // 7 phone
        auto& s = icons[7];
        frame(s, 6.5f, 2, 17.5f, 22, 2.2f, 1.6f);
        s.push_back(ellipse(12, 18.4f, 1.1f, 1.1f));
    }
    {  // 8 frame with an arrow leaving at the top right
        auto& s = icons[8];
        s.push_back(rect(3, 5, 4.7f, 21));
        s.push_back(rect(3, 19.3f, 19, 21));
        s.push_back(rect(17.3f, 12, 19, 21));
        s.push_back(rect(3, 5, 11, 6.7f));
        s.push_back(segment(9.5f, 14.5f, 18.5f, 5.5f, 1.8f));
        s.push_back(polygon({{13.5f, 3}, {21, 3}, {21, 10.5f}}));
    }
    {  // 9 tray with an arrow up
        auto& s = icons[9];
        s.push_back(rect(3, 14, 4.7f, 21));
        s.push_back(rect(3, 19.3f, 21, 21));
        s.push_back(rect(19.3f, 14, 21, 21));
        s.push_back(rect(11.15f, 7, 12.85f, 16.5f));
        s.push_back(polygon({{7, 8.8f}, {12, 3}, {17, 8.8f}}));
    }
    {  // 10 tray with an arrow down
        auto& s = icons[10];
        s.push_back(rect(3, 14, 4.7f, 21));
        s.push_back(rect(3, 19.3f, 21, 21));
        s.push_back(rect(19.3f, 14, 21, 21));
        s.push_back(rect(11.15f, 3, 12.85f, 11.5f));
        s.push_back(polygon({{7, 10.2f}, {17, 10.2f}, {12, 16}}));
    }
    {  // 11 picture: frame, hills, sun
        auto& s = icons[11];
        frame(s, 2, 4, 22, 20, 2, 1.6f);
        s.push_back(polygon({{3.6f, 18.4f}, {9, 11}, {13, 15.5f}, {16, 13}, {20.4f, 18.4f}}));
        s.push_back(ellipse(16, 8.5f, 1.9f, 1.9f));
    }
    {  // 12 circle with the letter i
        auto& s = icons[12];
        ring(s, 12, 12, 10, 1.7f);
        s.push_back(ellipse(12, 7.4f, 1.25f, 1.25f));
        s.push_back(rect(11.1f, 10.3f, 12.9f, 17.5f));
    }
    {  // 13 battery with three bars
        auto& s = icons[13];
        frame(s, 2, 7, 20, 17, 1.5f, 1.5f);
        s.push_back(rect(20, 10, 22.5f, 14));
        s.push_back(rect(4.5f, 9.5f, 7.5f, 14.5f));
        s.push_back(rect(8.8f, 9.5f, 11.8f, 14.5f));
        s.push_back(rect(13.1f, 9.5f, 16.1f, 14.5f));
    }
    {  // 14 two musical notes
        auto& s = icons[14];
        s.push_back(ellipse(7, 18, 3, 2.3f));
        s.push_back(ellipse(17, 16, 3, 2.3f));
        s.push_back(rect(8.5f, 5.5f, 10, 18));
        s.push_back(rect(18.5f, 3.5f, 20, 16));
        s.push_back(polygon({{8.5f, 5.5f}, {20, 2.5f}, {20, 5.5f}, {8.5f, 8.5f}}));
    }
    icons[15] = {polygon({{7, 4}, {20, 12}, {7, 20}})};
    icons[16] = {rect(6, 4, 10, 20), rect(14, 4, 18, 20)};
    icons[17] = {rect(4, 5, 7, 19), polygon({{20, 5}, {20, 19}, {8, 12}})};
    icons[18] = {polygon({{4, 5}, {16, 12}, {4, 19}}), rect(17, 5, 20, 19)};
    icons[19] = speaker(3);
    icons[20] = speaker(1);
    return icons;
}

}  // namespace

const IconShape& icon_shape(int number) {
    static const std::array<IconShape, kIconCount> icons = build_icons();
    static const IconShape none;
    return number >= 0 && number < kIconCount ? icons[static_cast<std::size_t>(number)] : none;
}

std::vector<std::uint8_t> rasterize_alpha(const IconShape& shape, int size) {
    if (size < kIconMinSize) return {};
    const int n = size;
    const double k = 4.0 * size / kIconGrid;
    const double right = 4.0 * n;
    std::vector<double> coverage(static_cast<std::size_t>(n) * n, 0.0);
    struct Crossing {
        double x;
        int dir;
    };
    std::vector<Crossing> xs;
    for (int b = 0; b < 4 * n; ++b) {
        const double y = b + 0.5;
        xs.clear();
        for (const auto& c : shape) {
            if (c.size() < 3) continue;
            for (std::size_t i = 0; i < c.size(); ++i) {
                const double px = c[i].x * k, py = c[i].y * k;
                const auto& q = c[(i + 1) % c.size()];
                const double qx = q.x * k, qy = q.y * k;
                if (py == qy) continue;
                if (y < std::min(py, qy) || y >= std::max(py, qy)) continue;
                xs.push_back({px + (y - py) * (qx - px) / (qy - py), qy > py ? 1 : -1});
            }
        }
        std::sort(xs.begin(), xs.end(), [](const Crossing& a, const Crossing& c) { return a.x < c.x; });
        const std::size_t row = static_cast<std::size_t>(b / 4) * n;
        int sum = 0;
        for (std::size_t j = 0; j + 1 < xs.size(); ++j) {
            sum += xs[j].dir;
            if (sum == 0) continue;
            const double x0 = std::clamp(xs[j].x, 0.0, right), x1 = std::clamp(xs[j + 1].x, 0.0, right);
            if (x1 <= x0) continue;
            const int first = static_cast<int>(std::floor(x0 / 4));
            const int last = std::min(static_cast<int>(std::ceil(x1 / 4)), n - 1);
            for (int p = first; p <= last; ++p) {
                const double overlap = std::min(x1, 4.0 * p + 4) - std::max(x0, 4.0 * p);
                if (overlap > 0) coverage[row + p] += overlap / 16;
            }
        }
    }
    std::vector<std::uint8_t> alpha(coverage.size());
    for (std::size_t i = 0; i < coverage.size(); ++i) {
        alpha[i] = static_cast<std::uint8_t>(std::lround(std::clamp(coverage[i], 0.0, 1.0) * 255));
    }
    return alpha;
}

std::vector<std::uint8_t> premultiplied_bgra(const std::vector<std::uint8_t>& alpha, Color color) {
    std::vector<std::uint8_t> out(alpha.size() * 4);
    const unsigned r = (color >> 16) & 0xff, g = (color >> 8) & 0xff, bl = color & 0xff;
    for (std::size_t i = 0; i < alpha.size(); ++i) {
        const unsigned a = alpha[i];
        out[4 * i] = static_cast<std::uint8_t>(bl * a / 255);
        out[4 * i + 1] = static_cast<std::uint8_t>(g * a / 255);
        out[4 * i + 2] = static_cast<std::uint8_t>(r * a / 255);
        out[4 * i + 3] = static_cast<std::uint8_t>(a);
    }
    return out;
}

}  // namespace dovan
