#include "app/settings.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/debug_log.h"
#include "platform/files.h"
#include "store/stores.h"
#include "shell/ui_state.h"

namespace dovan {
namespace fs = std::filesystem;

namespace {

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

const char* theme_text(Theme t) {
    switch (t) {
        case Theme::Light: return "light";
        case Theme::Dark: return "dark";
        case Theme::System: break;
    }
    return "system";
}

const char* close_text(CloseBehavior c) {
    switch (c) {
        case CloseBehavior::Minimize: return "minimize";
        case CloseBehavior::Exit: return "exit";
        case CloseBehavior::Ask: break;
    }
    return "ask";
}

bool* flag_for(Settings& s, std::string_view key) {
    struct Entry {
        std::string_view key;
        bool Settings::*member;
    };
    static constexpr Entry kFlags[] = {
        {"toast_enabled", &Settings::toast_enabled},
        {"toast_show_content", &Settings::toast_show_content},
        {"clip_sync", &Settings::clip_sync},
        {"debug_enabled", &Settings::debug_enabled},
        {"feat_notifications", &Settings::feat_notifications},
        {"feat_clipboard", &Settings::feat_clipboard},
        {"feat_file_transfer", &Settings::feat_file_transfer},
        {"feat_media", &Settings::feat_media},
        {"feat_album", &Settings::feat_album},
        {"auto_connect", &Settings::auto_connect},
        {"autostart", &Settings::autostart},
    };
    for (const auto& e : kFlags)
        if (e.key == key) return &(s.*e.member);
    return nullptr;
}

}  // namespace

Settings parse_settings(std::string_view bytes, bool* was_utf8) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    const bool valid = utf8_valid(bytes);
    if (was_utf8 != nullptr) *was_utf8 = valid;
    const std::string text = valid ? std::string(bytes) : utf8_lossy(bytes);

    Settings s;
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = trim_white(line);
        if (line.empty() || line.front() == '#') continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trim_white(line.substr(0, eq));
        const std::string_view value = trim_white(line.substr(eq + 1));
        if (bool* flag = flag_for(s, key)) {
            *flag = value == "1";
        } else if (key == "theme") {
            const std::string v = ascii_lower(value);
            s.theme = v == "light" ? Theme::Light : v == "dark" ? Theme::Dark : Theme::System;
        } else if (key == "close_behavior") {
            const std::string v = ascii_lower(value);
            s.close_behavior = v == "minimize" ? CloseBehavior::Minimize
                               : v == "exit"   ? CloseBehavior::Exit
                                               : CloseBehavior::Ask;
        } else if (key == "inbox") {
            s.inbox = std::string(value);
        }
    }
    return s;
}

std::string format_settings(const Settings& s) {
    std::string out;
    auto line = [&](std::string_view key, std::string_view value) {
        out.append(key).append("=").append(value).append("\n");
    };
    auto flag = [&](std::string_view key, bool on) { line(key, on ? "1" : "0"); };
    std::string inbox;
    for (char c : s.inbox)
        if (c != '\r' && c != '\n') inbox.push_back(c);

    flag("toast_enabled", s.toast_enabled);
    flag("toast_show_content", s.toast_show_content);
    flag("clip_sync", s.clip_sync);
    line("theme", theme_text(s.theme));
    flag("debug_enabled", s.debug_enabled);
    flag("feat_notifications", s.feat_notifications);
    flag("feat_clipboard", s.feat_clipboard);
    flag("feat_file_transfer", s.feat_file_transfer);
    flag("feat_media", s.feat_media);
    flag("feat_album", s.feat_album);
    line("inbox", inbox);
    flag("auto_connect", s.auto_connect);
    flag("autostart", s.autostart);
    line("close_behavior", close_text(s.close_behavior));
    return out;
}

Settings load_settings(const fs::path& dir) {
    if (!usable_dir(dir)) return {};
    const fs::path path = dir / kSettingsIni;
    auto bytes = files::read_file(path, kMaxTableFileBytes);
    if (!bytes) {
        if (!files::exists(path)) return {};
        fs::path shown = path;
        // No settings file of ours is that large; kept aside, it is not read again at
        // every start, and the next save cannot destroy what it holds.
        if (bytes.error().code == EFBIG)
            if (auto kept = keep_damaged_aside(path)) shown = std::move(*kept);
        console_line(format_text("[Dovan] 设置文件读不出来，这次按默认值运行：{}", shown.string()));
        return {};
    }
    bool was_utf8 = true;
    Settings s = parse_settings(as_text(*bytes), &was_utf8);
    if (!was_utf8)
        console_line(
            "[Dovan] settings.ini 不是 UTF-8（多半是被记事本按 ANSI 存过）：开关按能读出的部分保留，"
            "中文目录名可能变成乱码");
    return s;
}

void save_settings(const fs::path& dir, const Settings& s) {
    if (!usable_dir(dir)) return;
    // The core (a configuration sync) and the front end (the settings page) both save; two
    // writers on the one temporary file would rename a mix of both into place.
    static std::mutex save_mu;
    std::lock_guard lock(save_mu);
    (void)files::ensure_dir(dir);
    const std::string text = format_settings(s);
    const fs::path tmp = dir / kSettingsTmp;
    auto not_saved = [](const std::string& why) {
        console_line(format_text("[Dovan] 设置未能保存（{}）：本次运行内有效，重启后恢复为上次保存的值", why));
    };
    // Synced before the rename so a crash or a full disk leaves either the old file or the
    // whole new one.
    if (Status written = files::write_file(tmp, as_bytes(text), 0600, true); !written)
        return not_saved(written.error().display());
    std::error_code ec;
    fs::rename(tmp, dir / kSettingsIni, ec);
    if (ec) return not_saved(ec.message());
    files::sync_dir(dir);
}

std::uint8_t feature_mask(const Settings& s) {
    std::uint8_t m = 0;
    if (s.feat_notifications) m |= kFeatNotifications;
    if (s.feat_clipboard) m |= kFeatClipboard;
    if (s.feat_file_transfer) m |= kFeatFileTransfer;
    if (s.feat_media) m |= kFeatMedia;
    if (s.feat_album) m |= kFeatAlbum;
    return m;
}

UiSettings ui_settings_from(const Settings& s) {
    UiSettings u;
    u.toast_enabled = s.toast_enabled;
    u.toast_show_content = s.toast_show_content;
    u.clip_sync = s.clip_sync;
    u.auto_connect = s.auto_connect;
    u.debug_enabled = s.debug_enabled;
    u.theme = static_cast<std::uint8_t>(s.theme);
    u.close_behavior = static_cast<std::uint8_t>(s.close_behavior);
    u.feat_notifications = s.feat_notifications;
    u.feat_clipboard = s.feat_clipboard;
    u.feat_file_transfer = s.feat_file_transfer;
    u.feat_media = s.feat_media;
    u.feat_album = s.feat_album;
    u.inbox = effective_inbox(s);
    // Until the autostart entry is read back after a change, the saved switch is all there is.
    u.autostart_present = s.autostart;
    u.autostart_ours = s.autostart;
    return u;
}

Settings settings_with(Settings base, const UiSettings& u) {
    base.toast_enabled = u.toast_enabled;
    base.toast_show_content = u.toast_show_content;
    base.clip_sync = u.clip_sync;
    base.auto_connect = u.auto_connect;
    base.debug_enabled = u.debug_enabled;
    if (u.theme <= static_cast<std::uint8_t>(Theme::Dark)) base.theme = static_cast<Theme>(u.theme);
    if (u.close_behavior <= static_cast<std::uint8_t>(CloseBehavior::Exit))
        base.close_behavior = static_cast<CloseBehavior>(u.close_behavior);
    base.feat_notifications = u.feat_notifications;
    base.feat_clipboard = u.feat_clipboard;
    base.feat_file_transfer = u.feat_file_transfer;
    base.feat_media = u.feat_media;
    base.feat_album = u.feat_album;
    if (u.inbox != effective_inbox(base)) base.inbox = u.inbox;
    base.autostart = u.autostart_present;
    return base;
}

std::optional<std::string> set_ui_setting(UiSettings& u, std::string_view key, std::string_view value) {
    struct Flag {
        std::string_view key;
        bool UiSettings::*member;
    };
    static constexpr Flag kFlags[] = {
        {"toast_enabled", &UiSettings::toast_enabled},
        {"toast_show_content", &UiSettings::toast_show_content},
        {"clip_sync", &UiSettings::clip_sync},
        {"debug_enabled", &UiSettings::debug_enabled},
        {"feat_notifications", &UiSettings::feat_notifications},
        {"feat_clipboard", &UiSettings::feat_clipboard},
        {"feat_file_transfer", &UiSettings::feat_file_transfer},
        {"feat_media", &UiSettings::feat_media},
        {"feat_album", &UiSettings::feat_album},
        {"auto_connect", &UiSettings::auto_connect},
    };
    for (const auto& f : kFlags) {
        if (f.key != key) continue;
        if (value != "0" && value != "1") return format_text("{} takes 0 or 1", key);
        u.*f.member = value == "1";
        return std::nullopt;
    }
    if (key == "theme") {
        static constexpr std::string_view kThemes[] = {"system", "light", "dark"};
        for (std::uint8_t i = 0; i < 3; ++i)
            if (value == kThemes[i]) {
                u.theme = i;
                return std::nullopt;
            }
        return std::string("theme takes system, light or dark");
    }
    if (key == "close_behavior") {
        static constexpr std::string_view kChoices[] = {"ask", "minimize", "exit"};
        for (std::uint8_t i = 0; i < 3; ++i)
            if (value == kChoices[i]) {
                u.close_behavior = i;
                return std::nullopt;
            }
        return std::string("close_behavior takes ask, minimize or exit");
    }
    if (key == "inbox") {
        if (value.find_first_of("\r\n") != std::string_view::npos) return std::string("inbox takes one line");
        u.inbox = value.empty() ? default_inbox() : std::string(value);
        return std::nullopt;
    }
    return format_text("unknown setting: {}", key);
}

std::vector<std::pair<std::string, std::string>> settings_pairs(const Settings& s) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string_view text_view;
    const std::string text = format_settings(s);
    text_view = text;
    while (!text_view.empty()) {
        const auto nl = text_view.find('\n');
        const std::string_view line = text_view.substr(0, nl);
        text_view = nl == std::string_view::npos ? std::string_view{} : text_view.substr(nl + 1);
        const auto eq = line.find('=');
        if (eq != std::string_view::npos) out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return out;
}

std::string default_inbox() { return default_inbox_from_env(); }

std::string effective_inbox(const Settings& s) {
    return s.inbox.empty() ? default_inbox() : s.inbox;
}

}  // namespace dovan
