#include "feature_lines.h"

#include <charconv>

#include "protocol/frame.h"
#include "shell/console.h"

namespace dovan::phonesim {

namespace {

std::pair<std::string_view, std::string_view> split_word(std::string_view s) {
    const auto sp = s.find(' ');
    if (sp == std::string_view::npos) return {s, {}};
    return {s.substr(0, sp), s.substr(sp + 1)};
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        const auto at = s.find(sep);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return out;
        s.remove_prefix(at + 1);
    }
}

template <class T>
bool number(std::string_view s, T& out) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && p == s.data() + s.size();
}

// Takes `count` leading space-separated words; `rest` is what follows the last one.
bool take_words(std::string_view& rest, std::size_t count, std::vector<std::string_view>& words) {
    for (std::size_t i = 0; i < count; ++i) {
        auto [w, r] = split_word(rest);
        if (w.empty()) return false;
        words.push_back(w);
        rest = r;
    }
    return true;
}

// The text fields after the words, unescaped and split at tabs (typed or as `\t`);
// nothing when an escape is malformed.
std::optional<std::vector<std::string>> fields(std::string_view rest) {
    auto text = console_unescape(rest);
    if (!text) return std::nullopt;
    std::vector<std::string> out;
    for (std::string_view f : split(*text, '\t')) out.emplace_back(f);
    return out;
}

Bytes notification(std::int32_t id, bool can_reply, const std::string& package, const std::string& title,
                   const std::string& text, const std::string& tag, std::uint64_t now_ms) {
    pb::NotificationPush n;
    n.set_package(package);
    n.set_title(title);
    n.set_text(text);
    n.set_post_ts_ms(now_ms);
    n.set_key_hash(id * 31 + 7);
    n.set_tag(tag);
    n.set_notification_id(id);
    n.set_can_reply(can_reply);
    n.set_reply_action_index(can_reply ? 0 : -1);
    n.set_reply_result_key(can_reply ? "reply_text" : "");
    return encode_notification_push(n);
}

FeatureCommand failed(std::string text) {
    FeatureCommand c;
    c.matched = true;
    c.error = std::move(text);
    return c;
}

}  // namespace

FeatureCommand parse_feature_command(std::string_view line, std::uint64_t now_ms) {
    auto [verb, rest] = split_word(line);
    FeatureCommand c;
    c.matched = true;
    std::vector<std::string_view> w;

    if (verb == "notify") {
        std::int32_t id = 0;
        if (!take_words(rest, 2, w) || !number(w[0], id) || (w[1] != "0" && w[1] != "1"))
            return failed("usage: notify <id> <reply 0|1> <package>\\t<title>\\t<text>[\\t<tag>]");
        auto f = fields(rest);
        if (!f || f->size() < 3 || f->size() > 4) return failed("notify needs package, title and text");
        c.messages.emplace_back(NOTIFICATION_PUSH, notification(id, w[1] == "1", (*f)[0], (*f)[1], (*f)[2],
                                                                f->size() == 4 ? (*f)[3] : "", now_ms));
    } else if (verb == "flood") {
        std::uint32_t n = 0;
        if (!take_words(rest, 1, w) || !number(w[0], n) || n == 0) return failed("usage: flood <n> [<package>]");
        const std::string package = rest.empty() ? "com.example.flood" : std::string(rest);
        for (std::uint32_t i = 1; i <= n; ++i) {
            c.messages.emplace_back(NOTIFICATION_PUSH,
                                    notification(static_cast<std::int32_t>(i), false, package,
                                                 format_text("通知 {}", i), format_text("第 {} 条", i), "", now_ms));
        }
    } else if (verb == "dismiss") {
        std::int32_t id = 0;
        if (!take_words(rest, 1, w) || !number(w[0], id)) return failed("usage: dismiss <id> <package>[\\t<tag>]");
        auto f = fields(rest);
        if (!f || f->empty() || f->size() > 2) return failed("dismiss needs a package");
        pb::NotificationDismiss d;
        d.set_package((*f)[0]);
        if (f->size() == 2) d.set_tag((*f)[1]);
        d.set_notification_id(id);
        d.set_key_hash(id * 31 + 7);
        c.messages.emplace_back(NOTIFICATION_DISMISS, encode_notification_dismiss(d));
    } else if (verb == "ack") {
        auto [mode, text] = split_word(rest);
        if (mode == "ok" && text.empty()) {
            c.ack = ReplyAck::Ok;
        } else if (mode == "never" && text.empty()) {
            c.ack = ReplyAck::Never;
        } else if (mode == "error") {
            auto t = console_unescape(text);
            if (!t) return failed("bad escape in text");
            c.ack = ReplyAck::Error;
            c.ack_error = std::move(*t);
        } else {
            return failed("usage: ack ok|never|error [<text>]");
        }
    } else if (verb == "ack-id") {
        std::uint32_t id = 0;
        if (!take_words(rest, 2, w) || !number(w[0], id) || (w[1] != "0" && w[1] != "1"))
            return failed("usage: ack-id <reply id> <ok 0|1> [<error>]");
        auto t = console_unescape(rest);
        if (!t) return failed("bad escape in text");
        pb::NotificationReply reply;
        reply.set_reply_id(id);
        c.messages.emplace_back(NOTIFICATION_REPLY_ACK, reply_ack(reply, w[1] == "1", *t));
    } else if (verb == "clip") {
        auto t = console_unescape(rest);
        if (!t) return failed("bad escape in text");
        pb::ClipboardPush p;
        p.set_kind(1);
        p.set_data(*t);
        p.set_mime("text/plain");
        p.set_ts_ms(now_ms);
        c.messages.emplace_back(CLIPBOARD_PUSH, encode_clipboard_push(p));
    } else if (verb == "media") {
        std::uint64_t pos = 0, dur = 0;
        std::int32_t volume = 0;
        if (!take_words(rest, 4, w) || (w[0] != "0" && w[0] != "1") || !number(w[1], pos) || !number(w[2], dur) ||
            !number(w[3], volume))
            return failed("usage: media <playing 0|1> <position_ms> <duration_ms> <volume> "
                          "<package>\\t<title>\\t<artist>\\t<album>");
        auto f = fields(rest);
        if (!f || f->size() != 4) return failed("media needs package, title, artist and album");
        pb::MediaState m;
        m.set_playing(w[0] == "1");
        m.set_position_ms(pos);
        m.set_duration_ms(dur);
        m.set_volume(volume);
        m.set_package((*f)[0]);
        m.set_title((*f)[1]);
        m.set_artist((*f)[2]);
        m.set_album((*f)[3]);
        m.set_speed(1.0f);
        m.set_ts_ms(now_ms);
        c.messages.emplace_back(MEDIA_STATE, encode_media_state(m));
    } else if (verb == "media-answer") {
        if (rest != "on" && rest != "off") return failed("usage: media-answer on|off");
        c.answer_media = rest == "on";
    } else if (verb == "battery") {
        std::int32_t level = 0;
        std::uint64_t ts = now_ms;
        if (!take_words(rest, 2, w) || !number(w[0], level) || (w[1] != "0" && w[1] != "1") ||
            (!rest.empty() && !number(rest, ts)))
            return failed("usage: battery <level> <charging 0|1> [<ts_ms>]");
        pb::DeviceStatus s;
        s.set_battery(level);
        s.set_charging(w[1] == "1");
        s.set_ts_ms(ts);
        c.messages.emplace_back(DEVICE_STATUS, encode_device_status(s));
    } else if (verb == "config") {
        pb::ConfigSync sync;
        auto entries = fields(rest);
        if (!entries) return failed("bad escape in text");
        for (std::string_view entry : *entries) {
            const auto parts = split(entry, ' ');
            if (parts.size() != 3 || parts[0].empty()) return failed("usage: config <key> <value> <scope>[\\t…]");
            pb::ConfigEntry* e = sync.add_entries();
            e->set_key(std::string(parts[0]));
            e->set_value(std::string(parts[1]));
            e->set_scope(std::string(parts[2]));
        }
        c.messages.emplace_back(CONFIG_SYNC, encode_config_sync(sync));
    } else {
        c.matched = false;
    }
    return c;
}

bool is_business(AppEventKind kind) {
    switch (kind) {
        case AppEventKind::NotificationPushed:
        case AppEventKind::NotificationReplyRequested:
        case AppEventKind::NotificationReplyAcked:
        case AppEventKind::NotificationDismissed:
        case AppEventKind::ClipboardReceived:
        case AppEventKind::MediaStateReceived:
        case AppEventKind::MediaCommandReceived:
        case AppEventKind::DeviceStatusReceived:
        case AppEventKind::ConfigSyncReceived:
            return true;
        default:
            return false;
    }
}

std::string received_line(const AppEvent& event) {
    if (const auto* r = event.as<MessageEvent<pb::NotificationReply>>()) {
        const auto& m = r->message;
        return format_text("rx reply {}\t{}\t{}\t{}\t{}\t{}\t{}", m.reply_id(), console_escape(m.package()),
                           console_escape(m.tag()), m.notification_id(), m.action_index(),
                           console_escape(m.result_key()), console_escape(m.text()));
    }
    if (const auto* c = event.as<ClipboardReceivedEvent>()) return "rx clip " + console_escape(c->text);
    if (const auto* m = event.as<MessageEvent<pb::MediaCommand>>()) {
        return format_text("rx media-command {} {} {}", m->message.action(), m->message.volume(),
                           m->message.delta_ms());
    }
    if (const auto* s = event.as<MessageEvent<pb::ConfigSync>>()) {
        std::string line = "rx config";
        bool first = true;
        for (const auto& e : s->message.entries()) {
            line += first ? " " : "\t";
            first = false;
            line += console_escape(e.key()) + " " + console_escape(e.value()) + " " + console_escape(e.scope());
        }
        return line;
    }
    return format_text("rx other {}", static_cast<int>(event.kind));
}

Bytes reply_ack(const pb::NotificationReply& reply, bool ok, const std::string& error) {
    pb::NotificationReplyAck ack;
    ack.set_reply_id(reply.reply_id());
    ack.set_package(reply.package());
    ack.set_ok(ok);
    if (!ok) ack.set_error(error);
    return encode_notification_reply_ack(ack);
}

Bytes media_answer(const pb::MediaCommand& command, bool playing) {
    pb::MediaState m;
    m.set_package("com.example.music");
    m.set_title("夜曲");
    m.set_artist("周杰伦");
    m.set_album("十一月的萧邦");
    m.set_playing(playing);
    m.set_position_ms(61000);
    m.set_duration_ms(226000);
    m.set_speed(1.0f);
    m.set_volume(command.action() == 8 ? command.volume() : 40);
    return encode_media_state(m);
}

Bytes demo_notification() {
    return notification(1001, true, "com.example.sms", "短信",
                        "【Dovan】您的验证码是 482913，5 分钟内有效，请勿泄露。", "sms", 0);
}

Bytes demo_battery(std::uint64_t now_ms) {
    pb::DeviceStatus s;
    s.set_battery(82);
    s.set_charging(true);
    s.set_ts_ms(now_ms);
    return encode_device_status(s);
}

Bytes demo_media() {
    pb::MediaCommand none;
    return media_answer(none, true);
}

}  // namespace dovan::phonesim
