// Notification titles and texts from the phone, searched for a one-time code. Whatever is
// found is 4 to 8 ASCII digits and one of the keywords; the search never reads outside its
// input, and its cost stays linear in a text of keywords and digits (a slow unit shows as
// a timeout).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "session/code_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    // A zero byte splits title from text.
    const std::size_t cut = std::min(in.find('\0'), in.size());
    const std::string_view title = in.substr(0, cut);
    const std::string_view body = cut < in.size() ? in.substr(cut + 1) : std::string_view{};
    const auto found = dovan::extract_code(title, body);
    if (!found) return 0;
    const std::string& code = found->code;
    if (code.size() < 4 || code.size() > 8) std::abort();
    if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) std::abort();
    if (found->keyword.empty()) std::abort();
    return 0;
}
