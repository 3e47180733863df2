#include "session/code_extract.h"

#include "common/text.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace dovan {
namespace {

// Table order decides between equally good matches.
constexpr std::array<std::string_view, 21> kKeywords = {
    "验证码", "校验码", "检查码", "动态码", "动态密码", "一次性密码", "一次性验证码",
    "提取码", "取件码", "激活码", "授权码", "安全码", "短信码", "登录码", "口令",
    "code", "otp", "passcode", "one-time", "verification", "security code",
};

constexpr std::size_t kMinDigits = 4;
constexpr std::size_t kMaxDigits = 8;
constexpr std::size_t kMinRun = 3;
constexpr std::size_t kMaxDistance = 40;

// Decodes UTF-8; each ill-formed byte becomes one U+FFFD.
void decode_utf8(std::string_view s, std::u32string& out) {
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = utf8_next(s, i);
        out.push_back(cp == kUtf8Invalid ? U'\uFFFD' : cp);
    }
}

// Full lower-casing, reduced to what can change the outcome. The matcher looks only at
// ASCII digits, the three separators, the keywords' characters (lower-case ASCII and
// caseless CJK) and at character counts. Every other character is one character before
// and after lower-casing and never becomes one of those, so mapping it is unobservable.
// What remains: ASCII capitals, the Kelvin sign (lower-cases to 'k') and U+0130 (capital
// I with dot above), the one character whose lower case is two characters long ("i" and
// U+0307) and so moves every position after it.
void append_lower(std::string_view s, std::u32string& out) {
    std::u32string raw;
    decode_utf8(s, raw);
    for (const char32_t c : raw) {
        if (c >= U'A' && c <= U'Z') {
            out.push_back(c + 32);
        } else if (c == 0x212A) {
            out.push_back(U'k');
        } else if (c == 0x0130) {
            out.push_back(U'i');
            out.push_back(0x0307);
        } else {
            out.push_back(c);
        }
    }
}

bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool is_separator(char32_t c) { return c == U'-' || c == U' ' || c == 0x00A0; }

struct Hit {
    std::size_t pos;
    std::size_t keyword;
};

struct Candidate {
    std::size_t pos;
    std::string digits;
};

std::vector<Hit> keyword_hits(const std::u32string& text) {
    std::vector<Hit> hits;
    std::u32string kw;
    for (std::size_t k = 0; k < kKeywords.size(); ++k) {
        kw.clear();
        decode_utf8(kKeywords[k], kw);
        for (std::size_t p = text.find(kw); p != std::u32string::npos; p = text.find(kw, p + kw.size()))
            hits.push_back({p, k});
    }
    return hits;
}

std::vector<Candidate> digit_runs(const std::u32string& text) {
    std::vector<Candidate> runs;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!is_digit(text[i])) {
            ++i;
            continue;
        }
        Candidate run{i, {}};
        for (;;) {
            while (i < text.size() && is_digit(text[i])) run.digits.push_back(static_cast<char>(text[i++]));
            // A separator joins two groups only when a digit follows it directly.
            if (i + 1 < text.size() && is_separator(text[i]) && is_digit(text[i + 1])) {
                ++i;
                continue;
            }
            break;
        }
        if (run.digits.size() >= kMinRun) runs.push_back(std::move(run));
    }
    return runs;
}

}  // namespace

std::optional<ExtractedCode> extract_code(std::string_view title, std::string_view body) {
    std::u32string text;
    text.reserve(title.size() + body.size() + 1);
    append_lower(title, text);
    text.push_back(U' ');
    append_lower(body, text);

    const auto hits = keyword_hits(text);
    if (hits.empty()) return std::nullopt;
    const auto runs = digit_runs(text);

    const Candidate* best = nullptr;
    std::size_t best_keyword = 0;
    std::size_t best_distance = 0;
    for (const auto& hit : hits) {
        // Runs are in text order: only those starting within kMaxDistance of the keyword can
        // count, so a long text of keywords and digits costs hits × a few runs, not hits × runs.
        const std::size_t from = hit.pos > kMaxDistance ? hit.pos - kMaxDistance : 0;
        auto first = std::lower_bound(runs.begin(), runs.end(), from,
                                      [](const Candidate& c, std::size_t p) { return c.pos < p; });
        for (auto it = first; it != runs.end() && it->pos <= hit.pos + kMaxDistance; ++it) {
            const Candidate& run = *it;
            const std::size_t n = run.digits.size();
            if (n < kMinDigits || n > kMaxDigits) continue;
            std::size_t distance;
            if (run.pos >= hit.pos) {
                distance = run.pos - hit.pos;
                if (distance > kMaxDistance) continue;
            } else {
                const std::size_t gap = hit.pos - run.pos;
                if (gap > kMaxDistance) continue;
                // A code before its keyword counts as farther than one after it.
                distance = gap + n;
            }
            if (!best || distance < best_distance) {
                best = &run;
                best_keyword = hit.keyword;
                best_distance = distance;
            }
        }
    }
    if (!best) return std::nullopt;
    return ExtractedCode{best->digits, std::string(kKeywords[best_keyword])};
}

}  // namespace dovan
