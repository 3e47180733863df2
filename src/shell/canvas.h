// What the page painters draw on. The desktop puts a QPainter behind it; tests record the
// calls. Every position and size is in DIP; the canvas converts to pixels.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shell/layout.h"
#include "shell/theme.h"

namespace dovan {

enum class FontKind : std::uint8_t {
    Title = 0,    // page and dialog titles
    Body = 1,     // body text, navigation, buttons
    Strong = 2,   // names, section heads
    Small = 3,    // hints, status lines, footers
    Digits = 4,   // the SAS digits
    Product = 5,  // the product name on the About page
};

struct FontSpec {
    int size = 0;    // pixels at 96 DPI
    int weight = 0;  // 400 normal … 700 bold
};
FontSpec font_spec(FontKind kind);
// Height of one line of this kind, in DIP.
int line_height(FontKind kind);

class Canvas {
public:
    virtual ~Canvas() = default;

    virtual void fill_rect(const Rect& r, Color c) = 0;
    // Filled and outlined in one colour.
    virtual void fill_round(const Rect& r, double radius, Color c) = 0;
    virtual void outline_round(const Rect& r, double radius, Color c, double width) = 0;
    virtual void line(double x1, double y1, double x2, double y2, Color c) = 0;
    virtual void circle(double cx, double cy, double radius, Color c) = 0;
    // A ring with `fraction` (0…1) of it drawn, clockwise from the top.
    virtual void ring(double cx, double cy, double radius, double width, double fraction, Color c) = 0;
    // `y` is the top of the line box of the kind.
    virtual void text(double x, double y, std::string_view text, FontKind kind, Color c) = 0;
    virtual double text_width(std::string_view text, FontKind kind) = 0;
    virtual void icon(int number, double x, double y, double size, Color c) = 0;
    // A decoded thumbnail by its album item id, covering `dest`, centre-cropped.
    virtual void image(std::uint64_t key, const Rect& dest) = 0;
    virtual void push_clip(const Rect& r) = 0;
    virtual void pop_clip() = 0;
};

// Display form of a text from outside: ill-formed UTF-8 becomes U+FFFD and explicit
// direction overrides and isolates go, so a name cannot reorder what follows it.
std::string display_text(std::string_view text);

// The text cut character by character to `max_width` and ended with "…" when it does
// not fit. Never splits a UTF-8 sequence.
std::string fit_text(Canvas& canvas, std::string_view text, FontKind kind, double max_width);

// Records every call, for tests and benchmarks. Widths follow a fixed model: ASCII
// characters are 0.55 of the font size wide, every other character a full size.
class RecordingCanvas final : public Canvas {
public:
    enum class Op : std::uint8_t { FillRect, FillRound, OutlineRound, Line, Circle, Ring, Text, Icon, Image, PushClip, PopClip };
    struct Call {
        Op op;
        Rect rect{};
        double x = 0, y = 0;
        double size = 0;  // radius, icon size, ring fraction
        Color color = 0;
        std::string text;
        FontKind kind = FontKind::Body;
        int icon = -1;
        std::uint64_t key = 0;
    };

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

    const std::vector<Call>& calls() const { return calls_; }
    void clear() { calls_.clear(); }
    // Every text drawn, in order.
    std::vector<std::string> texts() const;
    // The first text call that equals `text`, or null.
    const Call* find_text(std::string_view text) const;
    // The first text call that contains `part`, or null.
    const Call* find_text_containing(std::string_view part) const;
    int count(Op op) const;

private:
    std::vector<Call> calls_;
};

}  // namespace dovan
