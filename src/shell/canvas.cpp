#include "shell/canvas.h"

#include <algorithm>
#include <cmath>

namespace dovan {

FontSpec font_spec(FontKind kind) {
    switch (kind) {
        case FontKind::Title: return {21, 600};
        case FontKind::Body: return {15, 400};
        case FontKind::Strong: return {15, 600};
        case FontKind::Small: return {13, 400};
        case FontKind::Digits: return {38, 600};
        case FontKind::Product: return {44, 700};
    }
    return {15, 400};
}

int line_height(FontKind kind) { return round_half_away(font_spec(kind).size * 1.55); }

namespace {
bool is_direction_control(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
}  // namespace

std::string display_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = utf8_next(text, pos);
        if (c == kUtf8Invalid) {
            utf8_append(out, 0xFFFD);
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            out.push_back(' ');  // a line break in a one-line label would spill
        } else if (!is_direction_control(c)) {
            utf8_append(out, c);
        }
    }
    return out;
}

std::string fit_text(Canvas& canvas, std::string_view raw, FontKind kind, double max_width) {
    std::string text = display_text(raw);
    if (canvas.text_width(text, kind) <= max_width) return text;
    static constexpr std::string_view kEllipsis = "…";
    // Character boundaries, so the cut never lands inside a sequence.
    std::vector<std::size_t> ends;
    for (std::size_t pos = 0; pos < text.size();) {
        utf8_next(text, pos);
        ends.push_back(pos);
    }
    // The widest prefix that still fits with the ellipsis; widths grow with the prefix.
    std::size_t lo = 0, hi = ends.size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi + 1) / 2;
        std::string candidate = text.substr(0, ends[mid - 1]);
        candidate += kEllipsis;
        if (canvas.text_width(candidate, kind) <= max_width) lo = mid; else hi = mid - 1;
    }
    std::string out = lo == 0 ? std::string() : text.substr(0, ends[lo - 1]);
    out += kEllipsis;
    return out;
}

namespace {
RecordingCanvas::Call make_call(RecordingCanvas::Op op) {
    RecordingCanvas::Call c{};
    c.op = op;
    return c;
}
}  // namespace

void RecordingCanvas::fill_rect(const Rect& r, Color c) {
    Call k = make_call(Op::FillRect);
    k.rect = r;
    k.color = c;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::fill_round(const Rect& r, double radius, Color c) {
    Call k = make_call(Op::FillRound);
    k.rect = r;
    k.size = radius;
    k.color = c;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::outline_round(const Rect& r, double radius, Color c, double) {
    Call k = make_call(Op::OutlineRound);
    k.rect = r;
    k.size = radius;
    k.color = c;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::line(double x1, double y1, double x2, double y2, Color c) {
    Call k = make_call(Op::Line);
    k.rect = {int(x1), int(y1), int(x2), int(y2)};
    k.x = x1;
    k.y = y1;
    k.color = c;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::circle(double cx, double cy, double radius, Color c) {
    Call k = make_call(Op::Circle);
    k.x = cx;
    k.y = cy;
    k.size = radius;
    k.color = c;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::ring(double cx, double cy, double, double, double fraction, Color c) {
    Call k = make_call(Op::Ring);
    k.x = cx;
    k.y = cy;
    k.size = fraction;
    k.color = c;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::text(double x, double y, std::string_view text, FontKind kind, Color c) {
    Call k = make_call(Op::Text);
    k.x = x;
    k.y = y;
    k.color = c;
    k.text = std::string(text);
    k.kind = kind;
    calls_.push_back(std::move(k));
}
double RecordingCanvas::text_width(std::string_view text, FontKind kind) {
    const double size = font_spec(kind).size;
    double w = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t c = utf8_next(text, pos);
        w += c < 0x80 ? 0.55 * size : size;
    }
    return w;
}
void RecordingCanvas::icon(int number, double x, double y, double size, Color c) {
    Call k = make_call(Op::Icon);
    k.x = x;
    k.y = y;
    k.size = size;
    k.color = c;
    k.icon = number;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::image(std::uint64_t key, const Rect& dest) {
    Call k = make_call(Op::Image);
    k.rect = dest;
    k.key = key;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::push_clip(const Rect& r) {
    Call k = make_call(Op::PushClip);
    k.rect = r;
    calls_.push_back(std::move(k));
}
void RecordingCanvas::pop_clip() { calls_.push_back(make_call(Op::PopClip)); }

std::vector<std::string> RecordingCanvas::texts() const {
    std::vector<std::string> out;
    for (const auto& c : calls_) if (c.op == Op::Text) out.push_back(c.text);
    return out;
}
const RecordingCanvas::Call* RecordingCanvas::find_text(std::string_view text) const {
    for (const auto& c : calls_) if (c.op == Op::Text && c.text == text) return &c;
    return nullptr;
}
const RecordingCanvas::Call* RecordingCanvas::find_text_containing(std::string_view part) const {
    for (const auto& c : calls_) if (c.op == Op::Text && c.text.find(part) != std::string::npos) return &c;
    return nullptr;
}
int RecordingCanvas::count(Op op) const {
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [op](const Call& c) { return c.op == op; }));
}

}  // namespace dovan
