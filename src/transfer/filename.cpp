#include "transfer/filename.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <cerrno>
#include <cstring>

#include "platform/debug_log.h"
#include "platform/files.h"
#include "common/text.h"

namespace dovan {
namespace {

constexpr char32_t kInvalid = kUtf8Invalid;

struct Decoded {
    char32_t cp;  // kInvalid for a byte that starts no well-formed character
    std::size_t len;
};

Decoded decode_at(std::string_view s, std::size_t i) {
    std::size_t next = i;
    const char32_t cp = utf8_next(s, next);
    return {cp, next - i};
}

// Unicode White_Space.
bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

struct CodeRange {
    char32_t first;
    char32_t last;
};

// General category Cf (format characters), Unicode 15.0 as ICU 72 lists it. They draw
// nothing or reorder what follows, so "report\u202Etxt.exe" would read as "reportexe.txt".
constexpr std::array<CodeRange, 21> kFormatCharacters = {{
    {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
    {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x180E, 0x180E}, {0x200B, 0x200F}, {0x202A, 0x202E},
    {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
}};

bool is_format_character(char32_t cp) {
    const auto* it = std::upper_bound(kFormatCharacters.begin(), kFormatCharacters.end(), cp,
                                      [](char32_t c, const CodeRange& r) { return c < r.first; });
    return it != kFormatCharacters.begin() && cp <= std::prev(it)->last;
}

bool is_forbidden(char32_t cp) {
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F)) return true;
    if (is_format_character(cp)) return true;
    switch (cp) {
        case '<': case '>': case ':': case '"': case '/': case '\\': case '|': case '?': case '*':
            return true;
        default:
            return false;
    }
}

void fix_trailing_dots_and_spaces(std::string& s) {
    if (s.empty() || (s.back() != '.' && s.back() != ' ')) return;
    while (!s.empty() && (s.back() == '.' || s.back() == ' ')) s.pop_back();
    s.push_back('_');
}

bool is_reserved_device(std::string_view base) {
    static constexpr std::array<std::string_view, 22> kReserved = {
        "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
        "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
    if (base.size() < 3 || base.size() > 4) return false;
    std::string lower(base);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (auto r : kReserved)
        if (lower == r) return true;
    return false;
}

void cut_to_limit(std::string& s) { s.resize(utf8_cut(s, kMaxFileNameBytes).size()); }

// The last line of defence before a name meets the file system: one component, nothing
// that walks out of the folder, within the file system's name length.
bool is_single_component(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= NAME_MAX &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace

SanitizedName sanitize_file_name(std::string_view received) {
    // 1. Trim white space at both ends (bytes of malformed UTF-8 are not white space).
    std::size_t begin = received.size();
    std::size_t end = 0;
    for (std::size_t i = 0; i < received.size();) {
        const Decoded d = decode_at(received, i);
        if (d.cp == kInvalid || !is_white_space(d.cp)) {
            if (begin == received.size()) begin = i;
            end = i + d.len;
        }
        i += d.len;
    }
    const std::string_view trimmed =
        begin < end ? received.substr(begin, end - begin) : std::string_view{};

    // 2. Forbidden characters become "_". So does every byte of malformed UTF-8: the name
    // is shown, logged and cut by character, which all need well-formed text.
    std::string name;
    name.reserve(trimmed.size());
    for (std::size_t i = 0; i < trimmed.size();) {
        const Decoded d = decode_at(trimmed, i);
        if (d.cp == kInvalid || is_forbidden(d.cp)) {
            name.push_back('_');
        } else {
            name.append(trimmed.substr(i, d.len));
        }
        i += d.len;
    }

    fix_trailing_dots_and_spaces(name);                              // 3
    if (is_reserved_device(std::string_view(name).substr(0, name.find('.')))) {
        name.insert(name.begin(), '_');                              // 4
    }
    cut_to_limit(name);                                              // 5
    fix_trailing_dots_and_spaces(name);                              // 6
    cut_to_limit(name);                                              // 7
    if (name.empty()) name = "untitled";                             // 8

    // Step 3 leaves no trailing dot, so "." and ".." cannot come out; "/" and NUL are
    // forbidden characters. The result is therefore one component of the receive folder.
    invariant(is_single_component(name), "sanitized file name is a single component");

    SanitizedName out{std::move(name), false};
    out.changed = out.name != received;
    // The received name is the phone's text: it goes into a field value, which the log
    // escapes, and only its first bytes, never into the event name.
    if (out.changed && debug_log_enabled()) {
        emit_event(LogLevel::Info, "file", "文件名已按 NTFS 规则改写",
                   {{"received", std::string(utf8_cut(received, kLoggedNameBytes))}, {"safe", out.name}});
    }
    return out;
}

std::string numbered_name(std::string_view safe_name, std::uint32_t n) {
    if (n == 0) return std::string(safe_name);
    const std::size_t dot = safe_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return format_text("{} ({})", safe_name, n);
    }
    const std::string_view stem = safe_name.substr(0, dot);
    const std::string_view ext = safe_name.substr(dot + 1);
    if (ext.empty()) return format_text("{} ({})", stem, n);
    return format_text("{} ({}).{}", stem, n, ext);
}

Result<CreatedFile, CreateUniqueError> create_unique(const std::filesystem::path& folder,
                                                     std::string_view safe_name) {
    for (std::uint32_t n = 0; n <= kMaxNumberedVariant; ++n) {
        const std::string candidate = numbered_name(safe_name, n);
        if (!is_single_component(candidate)) {
            return fail(CreateUniqueError{false, EINVAL, folder / candidate,
                                          format_text("不是单个文件名: {}", candidate)});
        }
        std::filesystem::path path = folder / candidate;
        int fd;
        // O_EXCL also refuses an existing symbolic link, dangling or not, so nothing is
        // ever created through a link planted in the receive folder.
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return CreatedFile{FileHandle(fd), std::move(path)};
        const int err = errno;
        if (err == EEXIST) continue;
        return fail(CreateUniqueError{false, err, std::move(path), errno_text(err)});
    }
    return fail(CreateUniqueError{
        true, EEXIST, {}, format_text("同名文件已多于 {} 个", kMaxNumberedVariant)});
}

Result<WorkingFile, CreateUniqueError> create_working(const std::filesystem::path& folder,
                                                      std::string_view safe_name, std::string_view suffix) {
    for (std::uint32_t n = 0; n <= kMaxNumberedVariant; ++n) {
        std::string name = numbered_name(safe_name, n);
        const std::string working = name + std::string(suffix);
        if (!is_single_component(working)) {
            return fail(CreateUniqueError{false, EINVAL, folder / working, format_text("不是单个文件名: {}", working)});
        }
        // A final name already taken (by a file, a folder or a dangling link) is skipped.
        if (files::exists(folder / name)) continue;
        std::filesystem::path path = folder / working;
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return WorkingFile{FileHandle(fd), std::move(path), std::move(name), n};
        const int err = errno;
        if (err == EEXIST) continue;
        return fail(CreateUniqueError{false, err, std::move(path), errno_text(err)});
    }
    return fail(CreateUniqueError{true, EEXIST, {}, format_text("同名文件已多于 {} 个", kMaxNumberedVariant)});
}

Result<std::filesystem::path, CreateUniqueError> claim_final_name(const std::filesystem::path& working,
                                                                  std::uint32_t variant,
                                                                  const std::filesystem::path& folder,
                                                                  std::string_view safe_name,
                                                                  std::string_view suffix) {
    for (std::uint32_t n = variant; n <= kMaxNumberedVariant; ++n) {
        const std::string name = numbered_name(safe_name, n);
        // Another receive's working file marks the name that receive will take.
        if (n != variant && files::exists(folder / (name + std::string(suffix)))) continue;
        std::filesystem::path target = folder / name;
        auto moved = files::rename_noreplace(working, target);
        if (moved) return target;
        if (moved.error().code == EEXIST) continue;
        return fail(CreateUniqueError{false, moved.error().code, std::move(target), moved.error().text});
    }
    return fail(CreateUniqueError{true, EEXIST, {}, format_text("同名文件已多于 {} 个", kMaxNumberedVariant)});
}

}  // namespace dovan
