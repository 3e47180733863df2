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

namespace {

constexpr std::string_view kNotSent = "剪贴板未发出：尚未配对，或链路未就绪";

}  // namespace

void ClipboardSync::on_requests(UiRequests& requests) {
    if (!requests.send_clipboard) return;
    const std::string text = std::move(*requests.send_clipboard);
    requests.send_clipboard.reset();
    if (!host_.modules().clipboard()) {
        host_.push_notice("剪贴板同步已在设置中关闭（重启后生效）");
        return;
    }
    // A newer text makes the one kept for the next session stale.
    drop_resend();
    (void)send(text);
}

bool ClipboardSync::send(const std::string& text) {
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
        host_.push_notice(kNotSent);
        return false;
    }
    while (!unwritten_.empty() && unwritten_.front() <= e->ble_fragments_written()) unwritten_.pop_front();
    unwritten_.push_back(e->ble_fragments_queued());
    newest_ = text;
    auto g = host_.ui().lock();
    g->clip_last_sent = text;
    g->bump();
    return true;
}

void ClipboardSync::drop_resend() {
    if (!resend_) return;
    resend_.reset();
    host_.push_notice(kNotSent);
}

void ClipboardSync::step(TurnStep at, Instant) {
    if (at != TurnStep::SessionStartup || !resend_) return;
    const std::string text = std::move(*resend_);
    resend_.reset();
    (void)send(text);
}

void ClipboardSync::on_link(const LinkChange& change) {
    if (change.kind == LinkChange::Kind::Unbound) {
        drop_resend();
        return;
    }
    // What the session's BLE side had not written when it ended or was lost is settled.
    if (change.kind != LinkChange::Kind::EngineEnding && change.kind != LinkChange::Kind::BleLost) return;
    const Engine* e = host_.engine();
    const std::uint64_t written = e != nullptr ? e->ble_fragments_written() : 0;
    while (!unwritten_.empty() && unwritten_.front() <= written) unwritten_.pop_front();
    if (unwritten_.empty()) return;
    for (std::size_t i = 1; i < unwritten_.size(); ++i) host_.push_notice(kNotSent);
    unwritten_.clear();
    resend_ = std::move(newest_);
    newest_.clear();
}

}  // namespace dovan
