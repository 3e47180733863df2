// The user's preferences in settings.ini. Read once at start-up; afterwards the UI state is
// the live copy and every change rewrites the whole file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.h"

namespace dovan {

inline constexpr const char* kSettingsIni = "settings.ini";
inline constexpr const char* kSettingsTmp = "settings.ini.tmp";

enum class Theme : std::uint8_t { System = 0, Light = 1, Dark = 2 };
enum class CloseBehavior : std::uint8_t { Ask = 0, Minimize = 1, Exit = 2 };

// Bits of the loaded-features byte, fixed at start-up.
enum FeatureBit : std::uint8_t {
    kFeatNotifications = 1u << 0,
    kFeatClipboard = 1u << 1,
    kFeatFileTransfer = 1u << 2,
    kFeatMedia = 1u << 3,
    kFeatAlbum = 1u << 4,
};

struct Settings {
    bool toast_enabled = true;
    bool toast_show_content = true;
    bool clip_sync = true;
    Theme theme = Theme::System;
    bool debug_enabled = false;
    bool feat_notifications = true;
    bool feat_clipboard = true;
    bool feat_file_transfer = true;
    bool feat_media = true;
    bool feat_album = true;
    std::string inbox;  // empty: default_inbox()
    bool auto_connect = true;
    bool autostart = false;
    CloseBehavior close_behavior = CloseBehavior::Ask;

    bool operator==(const Settings&) const = default;
};

// Parses file bytes (after any byte-order mark and lossy UTF-8 decoding). `was_utf8`, when
// given, tells whether the bytes were well-formed UTF-8.
Settings parse_settings(std::string_view bytes, bool* was_utf8 = nullptr);
// The fourteen "key=value" lines, in their fixed order.
std::string format_settings(const Settings& s);

// Never fails: an unusable or unreadable file gives the defaults, with a console line when
// the file is there; one over kMaxTableFileBytes is kept aside as damaged, unread.
Settings load_settings(const std::filesystem::path& dir);
// Writes settings.ini.tmp, syncs it and renames it over settings.ini; errors are silent.
void save_settings(const std::filesystem::path& dir, const Settings& s);

std::uint8_t feature_mask(const Settings& s);

struct UiSettings;
// The window's mirror of the settings (the receive folder resolved to the one in use).
UiSettings ui_settings_from(const Settings& s);
// `base` with every value the mirror holds taken over; the receive folder stays empty
// while the mirror shows the default one, so the default keeps following the profile.
Settings settings_with(Settings base, const UiSettings& mirror);

// Changes one run-time setting in the mirror as the settings page would: flags take "0" or
// "1", `theme` system|light|dark, `close_behavior` ask|minimize|exit, `inbox` a folder
// (empty: the default). The error text when the key or value is not accepted.
std::optional<std::string> set_ui_setting(UiSettings& mirror, std::string_view key, std::string_view value);

// The "key=value" lines of format_settings as pairs.
std::vector<std::pair<std::string, std::string>> settings_pairs(const Settings& s);

// Receive folder when `inbox` is empty.
std::string default_inbox();
std::string effective_inbox(const Settings& s);

}  // namespace dovan
