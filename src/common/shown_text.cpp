#include "common/shown_text.h"

#include <algorithm>
#include <iterator>

namespace dovan {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Unicode's Cf (format) characters, with U+200C and U+200D left out, plus U+2028 (Zl) and
// U+2029 (Zp), which several viewers break lines at. Sorted, not overlapping.
constexpr Range kFormat[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200B},   {0x200E, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},
    {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

}  // namespace

bool is_control_or_format(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
    if (cp < 0xAD) return false;
    const auto* it = std::upper_bound(std::begin(kFormat), std::end(kFormat), cp,
                                      [](char32_t c, const Range& r) { return c < r.first; });
    return it != std::begin(kFormat) && cp <= std::prev(it)->last;
}

}  // namespace dovan
