#include "store/stores.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "platform/debug_log.h"
#include "platform/files.h"

namespace dovan {
namespace fs = std::filesystem;

namespace {

// The variable's trimmed value when it names a usable base folder.
std::string usable_env(const char* name) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return {};
    const std::string_view v(raw);
    if (!utf8_valid(v)) return {};
    const std::string_view t = trim_white(v);
    if (t.empty() || !fs::path(t).is_absolute()) return {};
    return std::string(t);
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Splits at the first tab; without one the whole line is the first part.
std::pair<std::string_view, std::string_view> split_tab(std::string_view line) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos) return {line, {}};
    return {line.substr(0, tab), line.substr(tab + 1)};
}

// Calls f for every line, split at "\n" with trailing "\r" and "\n" removed.
template <class F>
void for_each_line(std::string_view text, F&& f) {
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        f(line);
    }
}

std::string replace_controls(std::string_view name, bool drop) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '\t' || c == '\n' || c == '\r') {
            if (!drop) out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return std::string(trim_white(out));
}

std::string read_text(const fs::path& path) {
    auto bytes = files::read_file(path, kMaxTableFileBytes);
    if (!bytes) {
        if (bytes.error().code == EFBIG) {
            if (auto kept = keep_damaged_aside(path))
                console_line(format_text("[Dovan] {} 已损坏，原文件保留为 {}，将生成新的", path.string(), kept->string()));
            else
                console_line(format_text("[Dovan] 无法保留损坏的 {}: {}", path.string(), kept.error().text));
        }
        return {};
    }
    return std::string(as_text(*bytes));
}

std::string stamp_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

void write_store(const fs::path& dir, const char* file, std::string_view text) {
    if (!files::ensure_dir(dir)) return;
    (void)files::write_file(dir / file, as_bytes(text), 0600, false);
}

}  // namespace

bool usable_dir(const fs::path& dir) { return dir.is_absolute(); }

Result<fs::path> keep_damaged_aside(const fs::path& path) {
    const std::string base = path.string() + ".damaged-" + stamp_now();
    std::string target = base;
    for (int n = 1; files::exists(target); ++n) target = base + "-" + std::to_string(n);
    if (::rename(path.c_str(), target.c_str()) != 0) return fail_text(errno_text(errno), errno);
    files::sync_dir(path.parent_path());
    return fs::path(target);
}

Result<fs::path> data_dir() {
    for (const char* name : {"APPDATA", "LOCALAPPDATA"}) {
        const std::string base = usable_env(name);
        if (!base.empty()) return fs::path(base) / "Dovan";
    }
#ifndef _WIN32
    std::string base = usable_env("XDG_DATA_HOME");
    if (base.empty()) {
        const std::string home = usable_env("HOME");
        if (!home.empty()) base = (fs::path(home) / ".local" / "share").string();
    }
    if (!base.empty()) return fs::path(base) / "Dovan";
#endif
    return fail_text(kNoDataDir);
}

std::string normalize_fingerprint(std::string_view text) {
    std::string fp(trim_white(text));
    for (char& c : fp)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (fp.size() != 16 || !std::all_of(fp.begin(), fp.end(), is_lower_hex)) return {};
    return fp;
}

std::vector<TrustedPeer> parse_trusted_peers(std::string_view text) {
    std::vector<TrustedPeer> out;
    for_each_line(text, [&](std::string_view line) {
        const std::string_view body = trim_white(line);
        if (body.empty() || body.front() == '#') return;
        const auto [fp_text, name] = split_tab(line);
        std::string fp = normalize_fingerprint(fp_text);
        if (fp.empty()) return;
        for (const auto& p : out)
            if (p.fingerprint == fp) return;
        out.push_back({std::move(fp), std::string(trim_white(name))});
    });
    return out;
}

std::string format_trusted_peers(const std::vector<TrustedPeer>& peers) {
    std::vector<TrustedPeer> rows;
    rows.reserve(peers.size());
    for (const auto& p : peers) {
        std::string fp = normalize_fingerprint(p.fingerprint);
        // A line the reader would skip is not worth writing.
        if (!fp.empty()) rows.push_back({std::move(fp), replace_controls(p.name, false)});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const TrustedPeer& a, const TrustedPeer& b) {
        return a.fingerprint < b.fingerprint;
    });
    std::string out;
    for (const auto& r : rows) out += r.fingerprint + "\t" + r.name + "\n";
    return out;
}

std::vector<PeerName> parse_peer_names(std::string_view text) {
    std::vector<PeerName> out;
    for_each_line(text, [&](std::string_view line) {
        if (line.empty() || line.front() == '#') return;
        const auto tab = line.find('\t');
        if (tab == std::string_view::npos) return;
        const std::string_view fp = trim_white(line.substr(0, tab));
        const std::string_view name = trim_white(line.substr(tab + 1));
        if (fp.empty() || name.empty()) return;
        out.push_back({std::string(fp), std::string(name)});
    });
    return out;
}

std::string format_peer_names(const std::vector<PeerName>& names) {
    std::string out;
    for (const auto& n : names)
        out += replace_controls(n.fingerprint, true) + "\t" + replace_controls(n.name, true) + "\n";
    return out;
}

std::vector<TrustedPeer> load_trusted_peers(const fs::path& dir) {
    if (!usable_dir(dir)) return {};
    return parse_trusted_peers(read_text(dir / kTrustedPeersTsv));
}

void save_trusted_peers(const fs::path& dir, const std::vector<TrustedPeer>& peers) {
    if (!usable_dir(dir)) return;
    write_store(dir, kTrustedPeersTsv, format_trusted_peers(peers));
}

std::vector<PeerName> load_peer_names(const fs::path& dir) {
    if (!usable_dir(dir)) return {};
    return parse_peer_names(read_text(dir / kPeerNamesTsv));
}

void remember_peer_name(const fs::path& dir, std::string_view fingerprint, std::string_view name) {
    const std::string fp = replace_controls(fingerprint, true);
    const std::string clean = replace_controls(name, true);
    if (fp.empty() || clean.empty()) return;
    if (!usable_dir(dir)) return;
    auto names = parse_peer_names(read_text(dir / kPeerNamesTsv));
    std::erase_if(names, [&](const PeerName& n) { return n.fingerprint == fp; });
    names.push_back({fp, clean});
    if (names.size() > kMaxPeerNames)
        names.erase(names.begin(), names.end() - static_cast<std::ptrdiff_t>(kMaxPeerNames));
    write_store(dir, kPeerNamesTsv, format_peer_names(names));
}

void forget_all(const fs::path& dir) {
    if (!usable_dir(dir)) return;
    for (const char* file : {kTrustedPeersTsv, kPeerHex, kPeerNamesTsv}) {
        std::error_code ec;
        fs::remove(dir / file, ec);
    }
}

bool record_pairing(const fs::path& dir, std::vector<TrustedPeer>& trusted, std::string_view fingerprint,
                    std::string_view peer_name, std::string_view advertised_name) {
    const std::string fp = normalize_fingerprint(fingerprint);
    if (!fp.empty()) {
        const std::string name(trim_white(peer_name));
        auto it = std::find_if(trusted.begin(), trusted.end(),
                               [&](const TrustedPeer& p) { return p.fingerprint == fp; });
        if (it == trusted.end()) {
            trusted.push_back({fp, name});
        } else if (!name.empty()) {
            it->name = name;
        }
    }
    save_trusted_peers(dir, trusted);
    if (!advertised_name.empty())
        remember_peer_name(dir, trim_white(fingerprint), trim_white(advertised_name));
    return !fp.empty();
}

}  // namespace dovan
