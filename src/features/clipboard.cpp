#include "features/clipboard.h"

#include "protocol/frame.h"
#include "protocol/messages.h"

namespace dovan {

bool ClipboardSync::on_event(const AppEvent& event) {
    if (event.kind != AppEventKind::ClipboardReceived) return false;
    const auto* received = event.as<ClipboardReceivedEvent>();
    if (received == nullptr || !host_.modules().clipboard()) return true;
    const std::string& text = received->text;
    {
        auto g = host_.ui().lock();
        g->clip_last_received = text;
        // Recorded before the write, so the change it causes is known as our own.
        g->self_clipboard = SelfWrittenClipboard{text, std::nullopt};
        g->emit(feed::ClipboardReceived{text});
        g->bump();
    }
    if (Clipboard* clipboard = host_.clipboard()) {
        clipboard->write_text(text);
        host_.ui().lock()->emit(feed::LocalClipboard{text});
    }
    return true;
}

void ClipboardSync::on_requests(UiRequests& requests) {
    if (!requests.send_clipboard) return;
    const std::string text = std::move(*requests.send_clipboard);
    requests.send_clipboard.reset();
    if (!host_.modules().clipboard()) {
        host_.push_notice("剪贴板同步已在设置中关闭（重启后生效）");
        return;
    }
    bool sent = false;
    Engine* e = host_.engine();
    if (e != nullptr && e->state() == EngineState::Paired) {
        if (text.size() > kClipboardSendLimit) {
            e->report_error(kErrGeneral, format_text("剪贴板内容 {} KB 超过 {} KB 上限，未发送", text.size() / 1024,
                                                     kClipboardSendLimit / 1024));
        } else {
            pb::ClipboardPush push;
            push.set_kind(1);
            push.set_data(text);
            push.set_mime("text/plain");
            push.set_ts_ms(host_.clock().wall_ms());
            sent = e->send_ble_only(CLIPBOARD_PUSH, encode_clipboard_push(push), push.ts_ms());
        }
    }
    if (!sent) {
        host_.push_notice("剪贴板未发出：尚未配对，或链路未就绪");
        return;
    }
    auto g = host_.ui().lock();
    g->clip_last_sent = text;
    g->bump();
}

}  // namespace dovan
