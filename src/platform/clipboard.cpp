#include "platform/clipboard.h"

#include <utility>

#include "common/text.h"

namespace dovan {

std::string clipboard_text_from_bytes(std::string_view raw) {
    const auto nul = raw.find('\0');
    if (nul != std::string_view::npos) raw = raw.substr(0, nul);
    std::string text = utf8_lossy(raw);
    if (text.size() > kClipboardReadLimit) text = std::string(utf8_cut(text, kClipboardReadLimit));
    return text;
}

std::optional<std::string> ProcessClipboard::read_text() {
    std::lock_guard lock(mu_);
    return text_;
}

void ProcessClipboard::write_text(std::string_view text) {
    std::lock_guard lock(mu_);
    text_ = clipboard_text_from_bytes(text);
}

void ProcessClipboard::set_on_change(std::function<void()> on_change) {
    std::lock_guard lock(mu_);
    on_change_ = std::move(on_change);
}

void ProcessClipboard::simulate_external_copy(std::string_view text) {
    std::function<void()> notify;
    {
        std::lock_guard lock(mu_);
        text_ = clipboard_text_from_bytes(text);
        notify = on_change_;
    }
    // Called outside the lock: the callback may read the clipboard.
    if (notify) notify();
}

}  // namespace dovan
