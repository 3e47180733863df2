#include "shell/activation.h"

#include <utility>

#include "platform/debug_log.h"
#include "common/text.h"
#include "platform/clipboard.h"
#include "shell/open_saved.h"

namespace dovan {

std::string_view reject_reason_name(ActivationReject reason) {
    switch (reason) {
        case ActivationReject::Parse: return "parse";
        case ActivationReject::Verb: return "verb";
        case ActivationReject::Stale: return "stale";
    }
    return "parse";
}

std::string_view reject_notice(ActivationReject reason) {
    switch (reason) {
        case ActivationReject::Parse: return "收到一条格式不对的通知按钮请求，已忽略";
        case ActivationReject::Verb: return "这条通知的按钮和参数对不上，已忽略";
        case ActivationReject::Stale: return "这条通知的操作已经过期或已经用过了";
    }
    return {};
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::uint64_t> parse_token(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int d = hex_digit(c);
        if (d < 0 || value > (UINT64_MAX >> 4)) return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    return value;
}

void reject(const ActivationHost& host, ActivationReject reason) {
    {
        auto g = host.ui->lock();
        g->add_notice(reject_notice(reason));
    }
    emit_event(LogLevel::Warn, "ui", "toast.reject", {{"why", std::string(reject_reason_name(reason))}});
    host.ui->post_repaint();
}

}  // namespace

std::variant<ActivationLink, ActivationReject> parse_activation_link(std::string_view uri) {
    if (!uri.starts_with(kActivationPrefix)) return ActivationReject::Parse;
    uri.remove_prefix(kActivationPrefix.size());
    const auto slash = uri.find('/');
    if (slash == std::string_view::npos) return ActivationReject::Parse;
    const std::string_view verb = uri.substr(0, slash);
    const auto token = parse_token(uri.substr(slash + 1));
    if (!token) return ActivationReject::Parse;
    if (verb == "copy") return ActivationLink{ActivationVerb::Copy, *token};
    if (verb == "reply") return ActivationLink{ActivationVerb::Reply, *token};
    if (verb == "open") return ActivationLink{ActivationVerb::Open, *token};
    if (verb == "reveal") return ActivationLink{ActivationVerb::Reveal, *token};
    return ActivationReject::Verb;
}

std::string token_text(std::uint64_t token) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, token >>= 4) out[static_cast<std::size_t>(i)] = kDigits[token & 0xF];
    return out;
}

std::string activation_link(ActivationVerb verb, std::uint64_t token) {
    std::string_view name = "copy/";
    switch (verb) {
        case ActivationVerb::Copy: break;
        case ActivationVerb::Reply: name = "reply/"; break;
        case ActivationVerb::Open: name = "open/"; break;
        case ActivationVerb::Reveal: name = "reveal/"; break;
    }
    return std::string(kActivationPrefix) + std::string(name) + token_text(token);
}

void insert_toast_action(UiState& state, std::uint64_t token, ToastAction action, Instant now) {
    std::erase_if(state.toast_actions, [now](const auto& entry) {
        return now - entry.second.created >= kActionLifetime;
    });
    action.created = now;
    state.toast_actions.insert_or_assign(token, std::move(action));
}

std::optional<ToastAction> take_toast_action(UiState& state, std::uint64_t token, Instant now) {
    auto it = state.toast_actions.find(token);
    if (it == state.toast_actions.end()) return std::nullopt;
    ToastAction action = std::move(it->second);
    state.toast_actions.erase(it);
    if (now - action.created >= kActionLifetime) return std::nullopt;
    return action;
}

ActivationResult handle_activation(std::string_view uri, const ActivationHost& host) {
    const auto parsed = parse_activation_link(uri);
    if (const auto* why = std::get_if<ActivationReject>(&parsed)) {
        reject(host, *why);
        return ActivationResult::Rejected;
    }
    const ActivationLink link = std::get<ActivationLink>(parsed);
    const Instant now = host.clock->now();

    std::optional<std::string> code;
    std::optional<OpenRequest> open;
    std::optional<ActivationReject> why;
    {
        auto g = host.ui->lock();
        const auto action = take_toast_action(*g, link.token, now);
        if (!action) {
            why = ActivationReject::Stale;
        } else if (link.verb == ActivationVerb::Open || link.verb == ActivationVerb::Reveal) {
            // The verb must match what the token was drawn for: a reveal token never opens.
            const auto* request = std::get_if<OpenRequest>(&action->action);
            const OpenWhat wanted = link.verb == ActivationVerb::Open ? OpenWhat::File : OpenWhat::Folder;
            if (request != nullptr && request->what == wanted) {
                open = *request;
            } else {
                why = ActivationReject::Verb;
            }
        } else if (link.verb == ActivationVerb::Copy) {
            if (const auto* copy = std::get_if<CopyCodeAction>(&action->action)) {
                code = copy->code;
                // Recorded before the write so clipboard sync never sends the code back.
                g->self_clipboard = SelfWrittenClipboard{copy->code, now};
                g->bump();
                g->emit(feed::LocalClipboard{copy->code});
            } else {
                why = ActivationReject::Verb;
            }
        } else if (const auto* reply = std::get_if<ReplyAction>(&action->action)) {
            // The reply box lives on the notifications page; text typed for another
            // notification must not go to this one.
            if (g->reply_target != reply->target) g->reply_box.clear();
            g->reply_target = reply->target;
            g->page = Page::Notifications;
            g->focus = InputFocus::ReplyBox;
            g->bump();
        } else {
            why = ActivationReject::Verb;
        }
    }
    if (why) {
        reject(host, *why);
        return ActivationResult::Rejected;
    }
    if (open) {
        console_line(open->what == OpenWhat::File ? "[Dovan] 通知卡上按了「打开」" : "[Dovan] 通知卡上按了「打开所在文件夹」");
        if (host.open) {
            host.open(std::move(*open));
        } else {
            host.ui->lock()->add_notice(kNoOpenerNotice);
            host.ui->post_repaint();
        }
        return ActivationResult::Opened;
    }
    if (code) {
        if (host.clipboard != nullptr) host.clipboard->write_text(*code);
        host.ui->post_repaint();
        console_line("[Dovan] 通知卡上按了「复制验证码」");
        return ActivationResult::Copied;
    }
    host.ui->post_repaint();
    console_line("[Dovan] 通知卡上按了「回复这条」");
    if (host.show_window) host.show_window();
    return ActivationResult::ReplyOpened;
}

}  // namespace dovan
