// Any received name must come out as one safe, non-empty component of the receive folder.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "transfer/filename.h"

namespace {

[[noreturn]] void broken(const char* what, std::string_view in, std::string_view out) {
    std::fprintf(stderr, "sanitize_file_name: %s\n  in : %s\n  out: %s\n", what,
                 dovan::hex_lower(dovan::as_bytes(in)).c_str(),
                 dovan::hex_lower(dovan::as_bytes(out)).c_str());
    std::abort();
}

bool has_forbidden(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return true;
        if (std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos)
            return true;
        // U+0080..U+009F are C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

bool reserved(std::string_view name) {
    std::string base(name.substr(0, name.find('.')));
    for (char& c : base)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const dovan::SanitizedName s = dovan::sanitize_file_name(in);
    const std::string& out = s.name;

    if (out.empty()) broken("empty", in, out);
    if (out.size() > dovan::kMaxFileNameBytes) broken("longer than 240 bytes", in, out);
    if (!dovan::utf8_valid(out)) broken("not valid UTF-8", in, out);
    if (out == "." || out == "..") broken("dot component", in, out);
    if (has_forbidden(out)) broken("forbidden character (incl. / and NUL)", in, out);
    if (out.back() == '.' || out.back() == ' ') broken("trailing dot or space", in, out);
    if (reserved(out)) broken("reserved device name", in, out);
    if (s.changed != (out != in)) broken("changed flag wrong", in, out);
    if (dovan::utf8_valid(in) && in.size() <= 240 && !in.empty() && !has_forbidden(in) &&
        in.front() != ' ' && in.back() != ' ' && in.back() != '.' && !reserved(in) &&
        out != in && in.find_first_of("\t\n\v\f\r") == std::string_view::npos &&
        static_cast<unsigned char>(in.front()) < 0x80 &&
        static_cast<unsigned char>(in.back()) < 0x80) {
        broken("an already safe ASCII-edged name was changed", in, out);
    }

    // Every numbered variant stays one component the file system accepts.
    const std::string numbered = dovan::numbered_name(out, 999);
    if (numbered.size() > 255 || numbered.find('/') != std::string::npos ||
        numbered.find('\0') != std::string::npos || !dovan::utf8_valid(numbered)) {
        broken("numbered variant unsafe", in, numbered);
    }
    return 0;
}
