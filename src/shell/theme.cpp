#include "shell/theme.h"

#include <algorithm>
#include <cmath>

namespace dovan {

namespace {
constexpr Palette kLight = {0xeff1f5, 0xe1ebfa, 0xe4e8ee, 0x232830, 0x1a73d9, 0x5f6774, 0x8a909b,
                            0xf6f7f9, 0xffffff, 0x1a1c1f, 0x5b6270, 0xe3e7ec, 0x8a909b, 0x3399f5,
                            0x1a73d9, 0xdcebff, 0xedf1f6, 0xe2e5ea, 0x1a1c1f, 0x1e9e55, 0xd03030};
constexpr Palette kDark = {0x161a20, 0x232a33, 0x1d232b, 0xedf1f7, 0xffffff, 0x9aa3b0, 0x79828f,
                           0x1b1f25, 0x232830, 0xe9edf3, 0x9ba4b1, 0x323844, 0x7c8593, 0x4aa8ff,
                           0x6cbcff, 0x1e3a5c, 0x272d36, 0x2c333d, 0xe9edf3, 0x4cd07e, 0xff6b6b};
}  // namespace

const Palette& palette(bool dark) { return dark ? kDark : kLight; }

Color mix(Color a, Color b, double t) {
    Color out = 0;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const double ca = (a >> shift) & 0xff, cb = (b >> shift) & 0xff;
        const double v = std::clamp(std::round(ca + (cb - ca) * t), 0.0, 255.0);
        out |= static_cast<Color>(v) << shift;
    }
    return out;
}

bool is_dark(std::uint8_t theme, SystemLook system) {
    if (theme == 1) return false;
    if (theme == 2) return true;
    return system == SystemLook::Dark;
}

}  // namespace dovan
