// settings.ini as any editor or program may leave it: reading must never crash, must give
// valid UTF-8, and a save followed by a load must give back what was loaded.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/settings.h"
#include "common/text.h"

using namespace dovan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    if (!utf8_valid(utf8_lossy(bytes))) std::abort();

    Settings s = parse_settings(bytes);
    if (!utf8_valid(s.inbox)) std::abort();
    const std::string text = format_settings(s);
    if (std::count(text.begin(), text.end(), '\n') != 14) std::abort();

    // Only line breaks inside the inbox path are lost on the way out.
    std::erase_if(s.inbox, [](char c) { return c == '\r' || c == '\n'; });
    if (parse_settings(text) != s) std::abort();
    return 0;
}
