// Text helpers shared by every module: "{}" templates, hex, UTF-8 cuts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace dovan {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
// One byte string given in pieces, so a large piece need not be copied to join the others.
using ByteParts = std::span<const ByteView>;

inline ByteView as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view as_text(ByteView b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

namespace detail {
inline std::string to_text(std::string_view s) { return std::string(s); }
inline std::string to_text(const std::string& s) { return s; }
inline std::string to_text(const char* s) { return s; }
inline std::string to_text(char c) { return std::string(1, c); }
inline std::string to_text(bool b) { return b ? "true" : "false"; }
template <class N, std::enable_if_t<std::is_arithmetic_v<N>, int> = 0>
std::string to_text(N n) {
    if constexpr (std::is_same_v<N, std::uint8_t> || std::is_same_v<N, std::int8_t>) {
        return std::to_string(static_cast<int>(n));
    } else {
        return std::to_string(n);
    }
}
}  // namespace detail

// Fills each "{}" of a template with the next argument, in order. Values that need a
// format of their own (hex widths and the like) are formatted by the caller first.
std::string format_text_list(std::string_view tmpl, const std::vector<std::string>& args);

template <class... Args>
std::string format_text(std::string_view tmpl, const Args&... args) {
    return format_text_list(tmpl, {detail::to_text(args)...});
}

// Upper-case hexadecimal, zero-padded to `width` digits (0x prefix not included).
std::string hex_upper(std::uint64_t value, int width);
// Lower-case hexadecimal of a byte string, two digits a byte.
std::string hex_lower(ByteView bytes);
// "0x" followed by lower-case hex without leading zeros (file ids in texts and events).
std::string hex_id(std::uint64_t value);
// Parses lower- or upper-case hex of even length; nothing on any other input.
bool parse_hex(std::string_view text, Bytes& out);

// Cuts UTF-8 text to at most n bytes without splitting a character.
std::string_view utf8_cut(std::string_view text, std::size_t n);
// True when the bytes are well-formed UTF-8.
bool utf8_valid(std::string_view text);

inline constexpr char32_t kUtf8Invalid = 0xFFFFFFFF;
// Decodes the character at `pos` and moves past it. A byte that starts no well-formed
// character (overlong, surrogate, past U+10FFFF, cut short) gives kUtf8Invalid and moves
// one byte, so every byte of the input is accounted for exactly once.
char32_t utf8_next(std::string_view text, std::size_t& pos);
void utf8_append(std::string& out, char32_t cp);
// Text from bytes that ought to be UTF-8: each maximal ill-formed subsequence becomes one
// U+FFFD, as Unicode recommends.
std::string utf8_lossy(std::string_view bytes);

// Trims Unicode white space at both ends: ASCII blanks and controls 9-13, U+0085, U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and the CJK wide space U+3000.
std::string_view trim_white(std::string_view text);

// The operating system's text for an error number.
std::string errno_text(int err);

}  // namespace dovan
