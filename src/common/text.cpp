#include "common/text.h"

#include <cstring>

namespace dovan {

std::string format_text_list(std::string_view tmpl, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(tmpl.size() + 16 * args.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}' && next < args.size()) {
            out += args[next++];
            ++i;
        } else {
            out += tmpl[i];
        }
    }
    return out;
}

std::string hex_upper(std::uint64_t value, int width) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (static_cast<int>(out.size()) < width) out.insert(out.begin(), '0');
    return out;
}

std::string hex_lower(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::string hex_id(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + digits;
}

bool parse_hex(std::string_view text, Bytes& out) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes result;
    result.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        result.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    out = std::move(result);
    return true;
}

std::string_view utf8_cut(std::string_view text, std::size_t n) {
    if (text.size() <= n) return text;
    std::size_t cut = n;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

bool utf8_valid(std::string_view text) {
    for (std::size_t i = 0; i < text.size();)
        if (utf8_next(text, i) == kUtf8Invalid) return false;
    return true;
}

char32_t utf8_next(std::string_view text, std::size_t& pos) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && pos + len <= text.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[pos + k]);
        ok = (b & 0xC0) == 0x80;
        cp = cp << 6 | (b & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kUtf8Invalid;
    }
    pos += len;
    return cp;
}

void utf8_append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string utf8_lossy(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b = static_cast<unsigned char>(in[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        const std::size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        std::size_t j = i + 1;
        if (len != 0) {
            // The second byte's range excludes overlongs, surrogates and values past U+10FFFF.
            const unsigned char lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
            const unsigned char hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
            for (std::size_t k = 1; k < len && j < in.size(); ++k, ++j) {
                const auto c = static_cast<unsigned char>(in[j]);
                if (k == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) break;
            }
            if (j - i == len) {
                out.append(in.substr(i, len));
                i = j;
                continue;
            }
        }
        out += "\xEF\xBF\xBD";
        i = j;
    }
    return out;
}

namespace {

// Length of the white-space character whose UTF-8 starts at s[i], or 0.
std::size_t space_len_at(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0d)) return 1;
    auto byte = [&](std::size_t k) {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    };
    if (c == 0xc2 && (byte(1) == 0x85 || byte(1) == 0xa0)) return 2;
    if (c == 0xe1 && byte(1) == 0x9a && byte(2) == 0x80) return 3;  // U+1680
    if (c == 0xe2 && byte(1) == 0x80) {
        const auto b = byte(2);
        if ((b >= 0x80 && b <= 0x8a) || b == 0xa8 || b == 0xa9 || b == 0xaf) return 3;
    }
    if (c == 0xe2 && byte(1) == 0x81 && byte(2) == 0x9f) return 3;  // U+205F
    if (c == 0xe3 && byte(1) == 0x80 && byte(2) == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white space that ends at s[end), or 0.
std::size_t space_len_before(std::string_view s, std::size_t end) {
    for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
        const std::size_t start = end - len;
        if (space_len_at(s, start) == len) return len;
    }
    return 0;
}

}  // namespace

std::string_view trim_white(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size()) {
        const std::size_t n = space_len_at(s, b);
        if (n == 0) break;
        b += n;
    }
    std::size_t e = s.size();
    while (e > b) {
        const std::size_t n = space_len_before(s, e);
        if (n == 0) break;
        e -= n;
    }
    return s.substr(b, e - b);
}

std::string errno_text(int err) {
    char buf[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text != nullptr ? std::string(text) : format_text("os error {}", err);
}

}  // namespace dovan
