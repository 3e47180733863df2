// The toast document of the Windows notification platform, built as text. Kept beside the
// freedesktop notifier so both front ends of a notification share one set of buttons.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dovan {

// &, <, >, " become entities; tab, line feed and carriage return stay; every other control
// character and the non-characters U+FFFE and U+FFFF are dropped (XML cannot carry them).
// Input that is not UTF-8 has its broken bytes replaced first.
std::string xml_escape(std::string_view text);

struct ToastContent {
    std::string title;
    std::string body;
    // Each present token adds its button: copy first, then reply, open, reveal.
    std::optional<std::string> code;
    std::optional<std::uint64_t> copy_token;
    std::optional<std::uint64_t> reply_token;
    std::optional<std::uint64_t> open_token = std::nullopt;
    std::optional<std::uint64_t> reveal_token = std::nullopt;
};

// "long" with a button, "short" without; the actions element is empty without buttons.
std::string build_toast_xml(const ToastContent& toast);

// The button captions.
std::string copy_button_label(std::string_view code);
inline constexpr std::string_view kReplyButtonLabel = "回复这条";
inline constexpr std::string_view kOpenButtonLabel = "打开";
inline constexpr std::string_view kRevealButtonLabel = "打开所在文件夹";

}  // namespace dovan
