// Draws the whole window from the UI state onto a canvas: sidebar, the current page,
// footer and dialogs. Called with the UI lock held; reads only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "shell/canvas.h"
#include "shell/layout.h"
#include "shell/theme.h"
#include "shell/thumbnails.h"
#include "shell/ui_state.h"

namespace dovan {

// Caret and selection of the focused box, in bytes into its text (window-thread state).
struct CaretView {
    std::size_t caret = 0;
    std::size_t anchor = 0;  // equal to caret: nothing selected
};

struct PaintInput {
    PaintInput(const UiState& s, LoadedModules loaded, const Metrics& m) : state(s), modules(loaded), metrics(m) {}

    const UiState& state;
    LoadedModules modules;
    Metrics metrics;
    SystemLook system = SystemLook::Unknown;
    Instant now{};
    std::uint64_t wall_ms = 0;
    std::string_view version;
    ThumbnailSource* thumbnails = nullptr;
    std::optional<std::uint64_t> memory_bytes;  // working set, when it could be read
    std::optional<CaretView> caret;             // none: the caret sits after the text
};

struct PaintResult {
    AlbumRange album;                                // the cells on screen (album page)
    std::optional<std::uint64_t> thumbnail_wanted;  // first shown item with nothing yet
};

PaintResult paint_window(Canvas& canvas, const PaintInput& in);

// The page transition lasts this long; the navigation bar grows over it.
inline constexpr auto kTransition = std::chrono::milliseconds(220);

// "{:02}:{:02}:{:02}" of the UTC time of day, or "--" below 1 ms.
std::string notification_time(std::uint64_t ms);
// "{:04}-{:02}-{:02} {:02}:{:02}" UTC, or "时间未知" below 1 ms.
std::string capture_time(std::uint64_t ms);

}  // namespace dovan
