#include "shell/ui_state.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <utility>

namespace dovan {

std::string notice_line(const Notice& notice) {
    if (notice.count <= 1) return notice.text;
    return format_text("{}（重复 {} 次）", notice.text, notice.count);
}

LoadedModules LoadedModules::from(const UiSettings& s) {
    LoadedModules m;
    if (s.feat_notifications) m.bits |= kNotifications;
    if (s.feat_clipboard) m.bits |= kClipboard;
    if (s.feat_file_transfer) m.bits |= kFileTransfer;
    if (s.feat_media) m.bits |= kMedia;
    if (s.feat_album) m.bits |= kAlbum;
    return m;
}

ReplyTarget PhoneNotification::reply_target() const {
    return ReplyTarget{package, tag, key_hash, notification_id, reply_action_index, reply_result_key};
}

bool UiRequests::empty() const {
    return !connect && !sas_confirm && !sas_reject && !identity_accept && !identity_reject &&
           !manual_connect && !unbind && !send_files && !cancel && !send_reply && !media &&
           !album_page && !album_export && !album_drag && !thumbnail_wanted && !send_clipboard;
}

void UiState::add_notice(std::string_view text) {
    if (!notices.empty() && notices.front().text == text) {
        ++notices.front().count;
    } else {
        notices.push_front(Notice{std::string(text), 1});
        while (notices.size() > kMaxNotices) notices.pop_back();
    }
    bump();
    emit(feed::Notice{std::string(text)});
}

void UiState::queue_system_notification(SystemNotification request) {
    while (system_notifications.size() >= kMaxSystemNotifications) system_notifications.pop_front();
    emit(feed::Sysnote{request.title, request.body});
    system_notifications.push_back(std::move(request));
    bump();
}

void UiState::set_engine_state(std::uint8_t state) {
    if (engine_state == state) return;
    engine_state = state;
    bump();
    emit(feed::StateChanged{state});
}

void UiState::set_tcp_ready(bool ready) {
    if (tcp_ready == ready) return;
    tcp_ready = ready;
    bump();
    emit(feed::Tcp{ready});
}

void UiState::set_sas_prompt(std::optional<std::uint32_t> sas) {
    if (sas_prompt == sas) return;
    sas_prompt = sas;
    bump();
    if (sas) emit(feed::Sas{*sas});
}

void UiState::set_identity_change(std::optional<IdentityChangePrompt> prompt) {
    if (identity_change == prompt) return;
    identity_change = std::move(prompt);
    bump();
    if (identity_change)
        emit(feed::IdentityChanged{identity_change->name, identity_change->old_fingerprint,
                                   identity_change->new_fingerprint});
}

void UiState::mark_paired(const std::string& fingerprint) {
    const bool known = paired && peer_fingerprint == fingerprint;
    paired = true;
    peer_fingerprint = fingerprint;
    bump();
    if (!known) emit(feed::Paired{fingerprint, peer_name});
}

TransferRow* UiState::find_transfer_row(TransferDirection direction, std::string_view name) {
    for (auto& row : transfer_rows) {
        if (row.direction == direction && row.name == name) return &row;
    }
    return nullptr;
}

void UiState::update_transfer_row(TransferDirection direction, std::string_view name,
                                  std::uint8_t percent, std::string_view status, Instant now) {
    percent = std::min<std::uint8_t>(percent, 100);
    TransferRow* row = find_transfer_row(direction, name);
    if (row == nullptr) {
        TransferRow fresh;
        fresh.direction = direction;
        fresh.name = std::string(name);
        fresh.status = std::string(status);
        fresh.percent = percent;
        fresh.sample_at = now;
        fresh.sample_percent = percent;
        transfer_rows.push_front(std::move(fresh));
        while (transfer_rows.size() > kMaxTransferRows) transfer_rows.pop_back();
        bump();
        emit(feed::RowChanged{direction, percent, std::string(status), std::string(name)});
        return;
    }

    // Without a size there is nothing to turn progress into bytes, so no speed.
    if (row->size > 0) {
        if (!row->sampled) {
            row->sampled = true;
            row->sample_percent = percent;
            row->sample_at = now;
        } else {
            const double elapsed = std::chrono::duration<double>(now - row->sample_at).count();
            if (elapsed >= 0.2 && percent > row->sample_percent) {
                double speed = static_cast<double>(percent - row->sample_percent) *
                               static_cast<double>(row->size) / 100.0 / elapsed / 1024.0;
                if (row->speed_kib > 0) speed = 0.4 * speed + 0.6 * static_cast<double>(row->speed_kib);
                constexpr double kMax = std::numeric_limits<std::uint32_t>::max();
                row->speed_kib = static_cast<std::uint32_t>(std::clamp(speed, 0.0, kMax));
                row->sample_percent = percent;
                row->sample_at = now;
            }
        }
    }

    if (percent != row->percent || row->status != status) {
        // A path kept from an earlier finish would open another receive's file.
        if (row->status != status) row->saved_path.clear();
        row->percent = percent;
        row->status = std::string(status);
        bump();
        emit(feed::RowChanged{direction, percent, row->status, row->name});
    }
}

bool UiState::finish_reply(std::uint32_t id, bool ok, std::string_view error_text, Instant now) {
    auto it = std::find_if(awaiting_replies.begin(), awaiting_replies.end(),
                           [id](const AwaitingReply& r) { return r.id == id; });
    if (it == awaiting_replies.end()) return false;
    awaiting_replies.erase(it);
    std::string text;
    if (ok) {
        text = "已发送";
    } else {
        const std::string_view trimmed = trim_white(error_text);
        text = trimmed.empty() ? std::string("回复失败") : std::string(trimmed);
    }
    reply_status = ReplyStatus{std::move(text), ok, now};
    bump();
    emit(feed::ReplyStatus{ok, reply_status->text});
    return true;
}

void UiState::clear_reply_target() {
    reply_target.reset();
    reply_box.clear();
    if (focus == InputFocus::ReplyBox) focus = InputFocus::None;
    bump();
}

std::string* UiState::focused_text() {
    switch (focus) {
        case InputFocus::SendBox: return &send_box;
        case InputFocus::ManualIp: return &manual_ip_box;
        case InputFocus::ReplyBox: return &reply_box;
        case InputFocus::None: break;
    }
    return nullptr;
}

const std::string* UiState::focused_text() const {
    return const_cast<UiState*>(this)->focused_text();
}

bool UiState::submit_reply(Instant now) {
    if (!reply_target) return false;
    const std::string_view text = trim_white(reply_box);
    if (text.empty()) return false;
    if (requests.send_reply) {
        // Keep the typed text so nothing the user wrote is lost.
        add_notice(kReplyStillQueued);
        return false;
    }
    const std::uint32_t id = next_reply_id++;
    awaiting_replies.push_back(AwaitingReply{id, now});
    requests.send_reply = ReplyRequest{*reply_target, std::string(text), id};
    reply_box.clear();
    bump();
    return true;
}

UiRequests UiState::take_requests() { return std::exchange(requests, UiRequests{}); }

std::string default_inbox(const char* userprofile, const char* home) {
    if (userprofile != nullptr && !trim_white(userprofile).empty()) {
        std::string_view base = userprofile;
        while (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.remove_suffix(1);
        return format_text("{}\\Downloads\\Dovan", base);
    }
    if (home != nullptr && !trim_white(home).empty()) {
        std::string_view base = trim_white(home);
        while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
        if (base == "/") base = "";
        return format_text("{}/Downloads/Dovan", base);
    }
    return "Dovan";
}

std::string default_inbox_from_env() {
    return default_inbox(std::getenv("USERPROFILE"), std::getenv("HOME"));
}

UiState initial_ui_state() {
    UiState s;
    s.settings.inbox = default_inbox_from_env();
    return s;
}

void SharedUi::set_repaint(RepaintFn fn) {
    std::lock_guard lock(repaint_mu_);
    repaint_ = std::move(fn);
}

void SharedUi::post_repaint() const {
    RepaintFn fn;
    {
        std::lock_guard lock(repaint_mu_);
        fn = repaint_;
    }
    if (fn) fn();
}

}  // namespace dovan
