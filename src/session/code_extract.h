// Finds a one-time code (SMS login code, parcel pick-up code) in a notification, so the
// toast and the notification list can offer to copy just the digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dovan {

struct ExtractedCode {
    std::string code;     // 4 to 8 ASCII digits, separators removed
    std::string keyword;  // the keyword it was found by

    bool operator==(const ExtractedCode&) const = default;
};

// Pure: no state, no I/O. Nothing when no keyword is present or no digit run of 4 to 8
// digits lies within 40 characters of one.
std::optional<ExtractedCode> extract_code(std::string_view title, std::string_view body);

}  // namespace dovan
