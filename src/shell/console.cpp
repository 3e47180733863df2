#include "shell/console.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "common/shown_text.h"
#include "common/text.h"
#include "platform/ble.h"
#include "shell/clipboard_actions.h"

namespace dovan {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_byte_escape(std::string& out, unsigned char b) {
    out += "\\x";
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0xF]);
}

void append_char_escape(std::string& out, char32_t cp) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kHexDigits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0 || n < 4);
    out += "\\u{";
    while (n > 0) out.push_back(digits[--n]);
    out.push_back('}');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string console_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        // Printable ASCII is nearly all there is: copied without decoding.
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        switch (b) {
            case '\\': out += "\\\\"; ++i; continue;
            case '\n': out += "\\n"; ++i; continue;
            case '\r': out += "\\r"; ++i; continue;
            case '\t': out += "\\t"; ++i; continue;
            default: break;
        }
        if (b < 0x80) {
            append_byte_escape(out, b);
            ++i;
            continue;
        }
        const std::size_t start = i;
        const char32_t cp = utf8_next(text, i);
        if (cp == kUtf8Invalid)
            append_byte_escape(out, b);
        else if (is_control_or_format(cp))
            append_char_escape(out, cp);
        else
            out.append(text.substr(start, i - start));
    }
    return out;
}

std::optional<std::string> console_unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case '\\': out += '\\'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'x': {
                if (text.size() - i < 3) return std::nullopt;
                const int hi = hex_value(text[i + 1]);
                const int lo = hex_value(text[i + 2]);
                if (hi < 0 || lo < 0) return std::nullopt;
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                break;
            }
            case 'u': {
                // \u{H…}: one to six hex digits naming a Unicode scalar value.
                if (i + 1 >= text.size() || text[i + 1] != '{') return std::nullopt;
                const std::size_t close = text.find('}', i + 2);
                if (close == std::string_view::npos || close == i + 2 || close - (i + 2) > 6) return std::nullopt;
                char32_t cp = 0;
                for (std::size_t k = i + 2; k < close; ++k) {
                    const int v = hex_value(text[k]);
                    if (v < 0) return std::nullopt;
                    cp = cp * 16 + static_cast<char32_t>(v);
                }
                if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
                utf8_append(out, cp);
                i = close;
                break;
            }
            default: return std::nullopt;
        }
    }
    return out;
}

namespace {

// Splits off the first space-separated word; `rest` keeps everything after one space.
std::pair<std::string_view, std::string_view> split_word(std::string_view s) {
    const auto sp = s.find(' ');
    if (sp == std::string_view::npos) return {s, {}};
    return {s.substr(0, sp), s.substr(sp + 1)};
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    while (!s.empty()) {
        auto [w, rest] = split_word(s);
        if (!w.empty()) out.push_back(w);
        s = rest;
    }
    return out;
}

template <class T>
bool parse_number(std::string_view s, T& value) {
    if (s.empty()) return false;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc{} && p == s.data() + s.size();
}

std::string sas_text(std::uint32_t sas) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(sas % 1000000));
    return buf;
}

}  // namespace

Console::Console(std::shared_ptr<SharedUi> ui, std::ostream& out, Clock& clock,
                 std::shared_ptr<ProcessClipboard> clipboard, ConsoleSettings settings)
    : ui_(std::move(ui)), out_(out), clock_(clock), clipboard_(std::move(clipboard)), settings_(std::move(settings)) {
    invariant(ui_ != nullptr, "console needs the UI state");
    cursor_ = ui_->feed().end();
}

namespace {

const char* flag(bool b) { return b ? "1" : "0"; }

struct LineOf {
    std::string operator()(const feed::StateChanged& e) const { return "state " + std::to_string(e.state); }
    std::string operator()(const feed::Notice& e) const { return "notice " + console_escape(e.text); }
    std::string operator()(const feed::Sysnote& e) const {
        return "sysnote " + console_escape(e.title) + "\t" + console_escape(e.body);
    }
    std::string operator()(const feed::Sas& e) const { return "sas " + sas_text(e.sas); }
    std::string operator()(const feed::IdentityChanged& e) const {
        return "identity-changed " + console_escape(e.name) + "\t" + console_escape(e.old_fingerprint) + "\t" +
               console_escape(e.new_fingerprint);
    }
    std::string operator()(const feed::Paired& e) const {
        return "paired " + console_escape(e.fingerprint) + "\t" + console_escape(e.name);
    }
    std::string operator()(const feed::Tcp& e) const { return std::string("tcp ") + flag(e.ready); }
    std::string operator()(const feed::NotificationStored& e) const {
        return "notification " + console_escape(e.package) + "\t" + console_escape(e.title) + "\t" +
               console_escape(e.text);
    }
    std::string operator()(const feed::ClipboardReceived& e) const { return "clipboard " + console_escape(e.text); }
    std::string operator()(const feed::RowChanged& e) const {
        return std::string("row ") + (e.direction == TransferDirection::Send ? "send " : "recv ") +
               std::to_string(e.percent) + " " + console_escape(e.status) + "\t" + console_escape(e.name);
    }
    std::string operator()(const feed::LocalClipboard& e) const {
        return "local-clipboard " + console_escape(e.text);
    }
    std::string operator()(const feed::MediaStored& e) const {
        return std::string("media ") + flag(e.playing) + " " + std::to_string(e.position_ms) + "/" +
               std::to_string(e.duration_ms) + " " + std::to_string(e.volume) + "\t" + console_escape(e.package) +
               "\t" + console_escape(e.title) + "\t" + console_escape(e.artist) + "\t" + console_escape(e.album);
    }
    std::string operator()(const feed::Battery& e) const {
        return "battery " + std::to_string(e.level) + " " + flag(e.charging);
    }
    std::string operator()(const feed::ReplyStatus& e) const {
        return std::string("reply-status ") + flag(e.ok) + "\t" + console_escape(e.text);
    }
    std::string operator()(const feed::AlbumList& e) const {
        return "album-list " + std::to_string(e.page) + " " + std::to_string(e.total) + " " +
               std::to_string(e.count) + "\t" + console_escape(e.error);
    }
    std::string operator()(const feed::Thumb& e) const {
        if (e.bytes) return "thumb " + std::to_string(e.id) + " " + std::to_string(*e.bytes);
        return "thumb " + std::to_string(e.id) + " error\t" + console_escape(e.error);
    }
    std::string operator()(const feed::Drag& e) const {
        return std::string("drag ") + (e.ready ? "ready" : "failed") + "\t" + console_escape(e.text);
    }
};

}  // namespace

std::string event_line(const FeedData& event) { return std::visit(LineOf{}, event); }

void Console::line(const std::string& text) {
    out_ << text << '\n';
    out_.flush();
}

void Console::error(std::string_view text) { line("error " + std::string(text)); }

void Console::poll_events() {
    std::lock_guard out_lock(out_mu_);
    // The window's timer hands queued system notifications to the toast platform; here
    // their lines come from the feed, so the queue is only emptied.
    {
        auto g = ui_->lock();
        g->system_notifications.clear();
    }
    EventFeed::Batch batch = ui_->feed().read(cursor_);
    cursor_ = batch.next;
    if (batch.lost == 0 && batch.events.empty()) return;
    if (batch.lost > 0) out_ << "lost " << batch.lost << '\n';
    for (const FeedEvent& e : batch.events) out_ << event_line(e.data) << '\n';
    out_.flush();
}

namespace {

// What `help` prints: every command a user can type, with what it does.
struct CommandHelp {
    std::string_view form;
    std::string_view what;
};
constexpr CommandHelp kCommands[] = {
    {"devices", "list the phones found nearby, then \"devices end\""},
    {"connect <ADDR>", "connect to a listed phone (12 hex digits)"},
    {"sas confirm|reject", "the six digits match / do not match the phone's"},
    {"identity accept|reject", "trust a known phone's new identity and pair again / dismiss it"},
    {"unbind", "forget the paired phone"},
    {"manual-ip <text>", "reach the phone at this LAN address (IP or IP:port)"},
    {"send <path>", "send a file to the phone"},
    {"cancel send|recv <name>", "cancel the transfer of that name"},
    {"rows", "list the transfer rows, then \"rows end\""},
    {"clip <text>", "send this text to the phone's clipboard"},
    {"local-clip <text>", "this computer's clipboard now holds the text, as if copied"},
    {"send-clip", "send this computer's clipboard text now"},
    {"media <action> [<volume>]", "a playback command for the phone"},
    {"notifications", "list the phone's notifications (row 0 = newest), then \"notifications end\""},
    {"reply <row> <text>", "reply to notification <row> through the phone"},
    {"copy-code <row>", "copy the verification code of notification <row>"},
    {"copy-text <row>", "copy the text of notification <row>"},
    {"album page <page> <per_page>", "ask the phone for a page of its album"},
    {"album", "list the current album page, then \"album end\""},
    {"album thumb <id>", "ask for the thumbnail of a photo"},
    {"album export <folder> <id>...", "fetch the originals of these photos into the folder"},
    {"album drag <id>...", "fetch these originals for dragging out"},
    {"settings", "list the settings, then \"settings end\""},
    {"set <key> <value>", "change a setting"},
    {"status", "print the connection status"},
    {"help", "print this list, then \"help end\""},
    {"quit", "end the program"},
};

}  // namespace

void Console::print_help() {
    for (const auto& c : kCommands) line("command " + std::string(c.form) + "\t" + std::string(c.what));
    line("help end");
}

void Console::print_rows() {
    std::vector<std::string> lines;
    {
        auto g = ui_->lock();
        for (const auto& r : g->transfer_rows)
            lines.push_back(event_line(feed::RowChanged{r.direction, r.percent, r.status, r.name}));
    }
    for (const auto& l : lines) line(l);
    line("rows end");
}

void Console::print_status() {
    std::string text;
    {
        auto g = ui_->lock();
        const UiState& s = *g;
        text = "status state=" + std::to_string(s.engine_state) + " paired=" + (s.paired ? "1" : "0") +
               " tcp=" + (s.tcp_ready ? "1" : "0") + " peer=" + console_escape(s.peer_name) +
               " fp=" + console_escape(s.peer_fingerprint.value_or("")) +
               " self=" + console_escape(s.local_fingerprint) + " addr=" + console_escape(s.peer_address);
    }
    line(text);
}

void Console::print_devices() {
    std::vector<ScannedDevice> devices;
    {
        auto g = ui_->lock();
        devices = g->devices;
    }
    for (const auto& d : devices) line("device " + ble::address_text(d.address) + " " + console_escape(d.name));
    line("devices end");
}

void Console::print_album() {
    std::vector<std::string> lines;
    {
        auto g = ui_->lock();
        const AlbumView& a = g->album;
        for (std::size_t i = 0; i < a.items.size(); ++i) {
            const auto& it = a.items[i];
            lines.push_back("album-item " + std::to_string(i) + " " + std::to_string(it.id) + " " +
                            std::to_string(it.kind) + " " + std::to_string(it.size_bytes) + " " +
                            std::to_string(it.width) + "x" + std::to_string(it.height) + "\t" +
                            console_escape(it.name));
        }
        lines.push_back("album end " + std::to_string(a.page) + " " + std::to_string(a.total));
    }
    for (const auto& l : lines) line(l);
}

void Console::print_notifications() {
    std::vector<std::string> lines;
    {
        auto g = ui_->lock();
        for (std::size_t i = 0; i < g->notifications.size(); ++i) {
            const auto& n = g->notifications[i];
            lines.push_back("notification " + std::to_string(i) + " " + console_escape(n.package) + "\t" +
                            console_escape(n.title) + "\t" + console_escape(n.text));
        }
    }
    for (const auto& l : lines) line(l);
    line("notifications end");
}

Console::Outcome Console::command(std::string_view text) {
    std::lock_guard out_lock(out_mu_);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.find_first_not_of(' ') == std::string_view::npos) return Outcome::Continue;
    auto [verb, rest] = split_word(text);
    return dispatch(verb, rest);
}

Console::Outcome Console::dispatch(std::string_view verb, std::string_view rest) {
    const auto args = words(rest);
    auto usage = [&](std::string_view form) {
        error("usage: " + std::string(form));
        return Outcome::Continue;
    };
    // A text argument: everything after the verb's words, with escapes undone.
    auto text_arg = [&](std::string_view raw, std::string& out) {
        auto t = console_unescape(raw);
        if (!t) {
            error("bad escape in text");
            return false;
        }
        out = std::move(*t);
        return true;
    };
    // Text for the phone: its decoder refuses a whole message over one bad UTF-8 byte.
    auto phone_text_arg = [&](std::string_view raw, std::string& out) {
        if (!text_arg(raw, out)) return false;
        if (utf8_valid(out)) return true;
        error("text is not UTF-8");
        return false;
    };

    if (verb == "quit") {
        if (!args.empty()) return usage("quit");
        return Outcome::Quit;
    }
    if (verb == "help") {
        if (!args.empty()) return usage("help");
        print_help();
        return Outcome::Continue;
    }
    if (verb == "rows") {
        if (!args.empty()) return usage("rows");
        print_rows();
        return Outcome::Continue;
    }
    if (verb == "status") {
        if (!args.empty()) return usage("status");
        print_status();
        return Outcome::Continue;
    }
    if (verb == "devices") {
        if (!args.empty()) return usage("devices");
        print_devices();
        return Outcome::Continue;
    }
    if (verb == "notifications") {
        if (!args.empty()) return usage("notifications");
        print_notifications();
        return Outcome::Continue;
    }
    if (verb == "connect") {
        std::uint64_t address = 0;
        if (args.size() != 1 || !ble::parse_address(args[0], address)) return usage("connect <ADDR>");
        auto g = ui_->lock();
        const bool known = std::any_of(g->devices.begin(), g->devices.end(),
                                       [&](const ScannedDevice& d) { return d.address == address; });
        if (!known) {
            error("no discovered device " + ble::address_text(address));
            return Outcome::Continue;
        }
        g->requests.connect = address;
        return Outcome::Continue;
    }
    if (verb == "sas" || verb == "identity") {
        const bool sas = verb == "sas";
        const std::string_view yes = sas ? "confirm" : "accept";
        if (args.size() != 1 || (args[0] != yes && args[0] != "reject"))
            return usage(sas ? "sas confirm|reject" : "identity accept|reject");
        auto g = ui_->lock();
        const bool positive = args[0] == yes;
        (sas ? (positive ? g->requests.sas_confirm : g->requests.sas_reject)
             : (positive ? g->requests.identity_accept : g->requests.identity_reject)) = true;
        return Outcome::Continue;
    }
    if (verb == "unbind") {
        if (!args.empty()) return usage("unbind");
        auto g = ui_->lock();
        g->requests.unbind = true;
        return Outcome::Continue;
    }
    if (verb == "manual-ip") {
        std::string ip;
        if (!text_arg(rest, ip)) return Outcome::Continue;
        auto g = ui_->lock();
        g->manual_ip_box = std::move(ip);
        g->requests.manual_connect = true;
        g->bump();
        return Outcome::Continue;
    }
    if (verb == "send") {
        std::string path;
        if (rest.empty()) return usage("send <path>");
        if (!text_arg(rest, path)) return Outcome::Continue;
        auto g = ui_->lock();
        // Files waiting for the same turn go together rather than replace each other.
        if (!g->requests.send_files) g->requests.send_files.emplace();
        g->requests.send_files->push_back(std::move(path));
        return Outcome::Continue;
    }
    if (verb == "cancel") {
        auto [dir, name_raw] = split_word(rest);
        if ((dir != "send" && dir != "recv") || name_raw.empty()) return usage("cancel send|recv <name>");
        std::string name;
        if (!text_arg(name_raw, name)) return Outcome::Continue;
        auto g = ui_->lock();
        g->requests.cancel = CancelRequest{
            dir == "send" ? TransferDirection::Send : TransferDirection::Receive, std::move(name)};
        return Outcome::Continue;
    }
    if (verb == "clip") {
        std::string clip;
        if (!phone_text_arg(rest, clip)) return Outcome::Continue;
        if (clip.empty()) return usage("clip <text>");
        auto g = ui_->lock();
        g->requests.send_clipboard = std::move(clip);
        return Outcome::Continue;
    }
    if (verb == "media") {
        MediaCommandRequest m;
        if (args.empty() || args.size() > 2 || !parse_number(args[0], m.action) ||
            (args.size() == 2 && !parse_number(args[1], m.volume)))
            return usage("media <action> [<volume>]");
        auto g = ui_->lock();
        g->requests.media = m;
        return Outcome::Continue;
    }
    if (verb == "reply") {
        auto [row_text, raw] = split_word(rest);
        std::size_t row = 0;
        if (!parse_number(row_text, row) || raw.empty()) return usage("reply <row> <text>");
        std::string reply;
        if (!phone_text_arg(raw, reply)) return Outcome::Continue;
        if (trim_white(reply).empty()) return usage("reply <row> <text>");
        auto g = ui_->lock();
        if (row >= g->notifications.size()) {
            error("no notification row " + std::to_string(row));
            return Outcome::Continue;
        }
        if (g->requests.send_reply) {
            // submit_reply would keep the text for a later try; a console has no box to keep it in.
            error(std::string(kReplyStillQueued));
            return Outcome::Continue;
        }
        g->reply_target = g->notifications[row].reply_target();
        g->reply_box = std::move(reply);
        g->submit_reply(clock_.now());
        return Outcome::Continue;
    }
    if (verb == "album") {
        constexpr std::string_view forms =
            "album | album page <page> <per_page> | album thumb <id> | album export <folder> <id>... | "
            "album drag <id>...";
        if (args.empty()) {
            print_album();
            return Outcome::Continue;
        }
        // Ids from the second word on, decimal; none or a malformed one is refused whole.
        auto ids_from = [&](std::size_t first, std::vector<std::uint64_t>& ids) {
            for (std::size_t i = first; i < args.size(); ++i) {
                std::uint64_t id = 0;
                if (!parse_number(args[i], id)) return false;
                ids.push_back(id);
            }
            return !ids.empty();
        };
        if (args[0] == "page") {
            AlbumPageRequest page;
            if (args.size() != 3 || !parse_number(args[1], page.page) || !parse_number(args[2], page.per_page))
                return usage("album page <page> <per_page>");
            auto g = ui_->lock();
            // Asking for a page is the console's way of looking at the album.
            g->page = Page::Album;
            g->requests.album_page = page;
            return Outcome::Continue;
        }
        if (args[0] == "thumb") {
            std::uint64_t id = 0;
            if (args.size() != 2 || !parse_number(args[1], id)) return usage("album thumb <id>");
            auto g = ui_->lock();
            g->requests.thumbnail_wanted = id;
            return Outcome::Continue;
        }
        if (args[0] == "export") {
            AlbumExportRequest request;
            if (args.size() < 3 || !ids_from(2, request.ids)) return usage("album export <folder> <id>...");
            if (!text_arg(args[1], request.folder)) return Outcome::Continue;
            auto g = ui_->lock();
            g->requests.album_export = std::move(request);
            return Outcome::Continue;
        }
        if (args[0] == "drag") {
            std::vector<std::uint64_t> ids;
            if (!ids_from(1, ids)) return usage("album drag <id>...");
            auto g = ui_->lock();
            g->requests.album_drag = std::move(ids);
            return Outcome::Continue;
        }
        return usage(forms);
    }
    if (verb == "copy-code" || verb == "copy-text") {
        std::size_t row = 0;
        if (args.size() != 1 || !parse_number(args[0], row)) return usage(std::string(verb) + " <row>");
        if (!clipboard_) {
            error("no clipboard");
            return Outcome::Continue;
        }
        const bool copied = verb == "copy-code" ? copy_code(*ui_, *clipboard_, row, clock_.now())
                                                : copy_notification_text(*ui_, *clipboard_, row, clock_.now());
        if (!copied) error(verb == "copy-code" ? "nothing to copy: no code in row " + std::to_string(row)
                                               : "nothing to copy in row " + std::to_string(row));
        return Outcome::Continue;
    }
    if (verb == "local-clip") {
        std::string clip;
        if (!text_arg(rest, clip)) return Outcome::Continue;
        if (clip.empty()) return usage("local-clip <text>");
        if (!clipboard_) {
            error("no clipboard");
            return Outcome::Continue;
        }
        // Calls the change path as another program's copy would.
        clipboard_->simulate_external_copy(clip);
        return Outcome::Continue;
    }
    if (verb == "send-clip") {
        if (!args.empty()) return usage("send-clip");
        if (!clipboard_ || !send_local_clipboard(*ui_, *clipboard_)) error("the clipboard holds no text");
        return Outcome::Continue;
    }
    if (verb == "settings") {
        if (!args.empty()) return usage("settings");
        if (settings_.list) {
            for (const auto& [key, value] : settings_.list()) line("setting " + key + " " + console_escape(value));
        }
        line("settings end");
        return Outcome::Continue;
    }
    if (verb == "set") {
        auto [key, raw] = split_word(rest);
        if (key.empty() || rest.find(' ') == std::string_view::npos) return usage("set <key> <value>");
        std::string value;
        if (!text_arg(raw, value)) return Outcome::Continue;
        if (!settings_.set) {
            error("settings cannot be changed here");
            return Outcome::Continue;
        }
        if (auto refused = settings_.set(key, value)) error(console_escape(*refused));
        return Outcome::Continue;
    }
    error("unknown command: " + console_escape(verb));
    return Outcome::Continue;
}

}  // namespace dovan
