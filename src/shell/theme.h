// The light and dark palettes, colour mixing and the rule that picks the look.
#pragma once

#include <array>
#include <cstdint>

namespace dovan {

using Color = std::uint32_t;  // 0xRRGGBB
inline constexpr Color kWhite = 0xffffff;
inline constexpr Color kBlack = 0x000000;

// Palette roles, by their number.
enum PaletteIndex : int {
    kSidebarBg = 0,
    kNavSelectedBg = 1,
    kNavHoverBg = 2,
    kSidebarTitle = 3,
    kNavSelectedText = 4,
    kNavText = 5,
    kSidebarSubtitle = 6,
    kWindowBg = 7,
    kCardBg = 8,
    kTextPrimary = 9,
    kTextSecondary = 10,
    kBorder = 11,
    kHint = 12,
    kAccent = 13,
    kAccentText = 14,
    kAccentTint = 15,
    kSecondaryHover = 16,
    kSecondaryBg = 17,
    kSecondaryText = 18,
    kSuccess = 19,
    kError = 20,
};
using Palette = std::array<Color, 21>;

const Palette& palette(bool dark);

// Per channel round(a + (b − a) × t), clamped to 0…255.
Color mix(Color a, Color b, double t);

// What the system says about its app mode; unknown reads as light.
enum class SystemLook : std::uint8_t { Unknown, Light, Dark };

// theme: 0 follow the system, 1 light, 2 dark.
bool is_dark(std::uint8_t theme, SystemLook system);

}  // namespace dovan
