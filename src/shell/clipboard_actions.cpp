#include "shell/clipboard_actions.h"

#include "session/code_extract.h"

namespace dovan {

bool clipboard_link_live(const UiState& s) {
    return s.paired && s.engine_state == kEnginePaired && !s.identity_change && s.ms_since_rx < kQuietAfterMs;
}

void on_clipboard_changed(SharedUi& ui, Clipboard& clipboard) {
    auto text = clipboard.read_text();
    if (!text || text->empty()) return;
    auto g = ui.lock();
    const bool own = g->self_clipboard && g->self_clipboard->text == *text;
    if (g->settings.clip_sync && clipboard_link_live(*g) && !own) {
        g->requests.send_clipboard = std::move(*text);
        g->bump();
    }
}

bool send_local_clipboard(SharedUi& ui, Clipboard& clipboard) {
    auto text = clipboard.read_text();
    if (!text || text->empty()) return false;
    auto g = ui.lock();
    g->requests.send_clipboard = std::move(*text);
    g->bump();
    return true;
}

bool copy_to_clipboard(SharedUi& ui, Clipboard& clipboard, const std::string& text, Instant now) {
    if (text.empty()) return false;
    {
        auto g = ui.lock();
        g->self_clipboard = SelfWrittenClipboard{text, now};
        g->bump();
    }
    clipboard.write_text(text);
    ui.lock()->emit(feed::LocalClipboard{text});
    return true;
}

bool copy_notification_text(SharedUi& ui, Clipboard& clipboard, std::size_t index, Instant now) {
    std::string text;
    {
        auto g = ui.lock();
        if (index >= g->notifications.size()) return false;
        const auto& n = g->notifications[index];
        text = n.text.empty() ? n.title : n.text;
    }
    return copy_to_clipboard(ui, clipboard, text, now);
}

bool copy_code(SharedUi& ui, Clipboard& clipboard, std::size_t index, Instant now) {
    std::optional<ExtractedCode> code;
    {
        auto g = ui.lock();
        if (index >= g->notifications.size()) return false;
        code = extract_code(g->notifications[index].title, g->notifications[index].text);
    }
    return code && copy_to_clipboard(ui, clipboard, code->code, now);
}

}  // namespace dovan
