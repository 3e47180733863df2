#include "shell/paint.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "shell/actions.h"
#include "shell/view_rules.h"

namespace dovan {

namespace {

using std::chrono::duration_cast;

std::string two_digits(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02llu", static_cast<unsigned long long>(v));
    return buf;
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

class Painter {
public:
    Painter(Canvas& c, const PaintInput& in)
        : c_(c), in_(in), s_(in.state), m_(in.metrics), p_(palette(is_dark(in.state.settings.theme, in.system))) {}

    PaintResult run();

private:
    Color col(int i) const { return p_[static_cast<std::size_t>(i)]; }
    bool hovered(std::uint8_t id, std::uint64_t index = 0) const { return s_.hover == HoverTarget{id, index}; }
    double ms_since(const std::optional<Instant>& t) const {
        if (!t) return 1e18;
        return static_cast<double>(duration_cast<std::chrono::milliseconds>(in_.now - *t).count());
    }

    void text(double x, double y, std::string_view t, FontKind k, Color color) { c_.text(x, y, t, k, color); }
    // Cut with "…" to `width` and drawn.
    void fitted(double x, double y, std::string_view t, FontKind k, Color color, double width) {
        c_.text(x, y, fit_text(c_, t, k, width), k, color);
    }
    // Right-aligned at `right`.
    void text_right(double right, double y, std::string_view t, FontKind k, Color color) {
        c_.text(right - c_.text_width(t, k), y, t, k, color);
    }
    double centred_top(const Rect& r, FontKind k) const { return r.t + (r.h() - line_height(k)) / 2.0; }
    void text_centred(const Rect& r, std::string_view t, FontKind k, Color color) {
        const std::string cut = fit_text(c_, t, k, r.w() - 8);
        c_.text(r.l + (r.w() - c_.text_width(cut, k)) / 2.0, centred_top(r, k), cut, k, color);
    }

    void card(const Rect& r, double radius = 10) {
        c_.fill_round(r, radius, col(kCardBg));
        c_.outline_round(r, radius, col(kBorder), 1);
    }
    void button(const Rect& r, std::string_view label, bool primary, bool hover, FontKind k = FontKind::Body) {
        if (primary) {
            c_.fill_round(r, 8, hover ? mix(col(kAccent), kWhite, 0.16) : col(kAccent));
            text_centred(r, label, k, kWhite);
        } else {
            c_.fill_round(r, 8, hover ? col(kSecondaryHover) : col(kSecondaryBg));
            text_centred(r, label, k, col(kSecondaryText));
        }
    }
    void icon_button(const Rect& r, int icon, std::string_view label, bool primary, bool hover) {
        const Color fg = primary ? kWhite : col(kSecondaryText);
        if (primary) {
            c_.fill_round(r, 8, hover ? mix(col(kAccent), kWhite, 0.16) : col(kAccent));
        } else {
            c_.fill_round(r, 8, hover ? col(kSecondaryHover) : col(kSecondaryBg));
        }
        // Icon and label are centred together; a label that does not fit is left out.
        const double label_w = c_.text_width(label, FontKind::Small);
        const bool with_label = 28 + 6 + label_w <= r.w() - 8;
        const double total = with_label ? 28 + 6 + label_w : 28;
        const double x = r.l + (r.w() - total) / 2;
        c_.icon(icon, x, r.t + (r.h() - 28) / 2.0, 28, fg);
        if (with_label) text(x + 34, centred_top(r, FontKind::Small), label, FontKind::Small, fg);
    }
    void toggle(const Rect& r, bool on, bool hover) {
        const Color track = on ? col(kAccent) : hover ? mix(col(kSecondaryBg), col(kTextSecondary), 0.25) : col(kSecondaryBg);
        c_.fill_round(r, r.h() / 2.0, track);
        const double knob = (r.h() - 6) / 2.0;
        const double cx = on ? r.r - 3 - knob : r.l + 3 + knob;
        c_.circle(cx, r.t + r.h() / 2.0, knob, kWhite);
    }
    void progress(const Rect& r, double percent, bool complete) {
        c_.fill_round(r, 2, col(kSecondaryBg));
        const double w = r.w() * std::min(percent, 100.0) / 100.0;
        if (w * m_.scale < 1) return;
        c_.fill_round({r.l, r.t, r.l + static_cast<int>(std::lround(w)), r.b}, 2, complete ? col(kSuccess) : col(kAccent));
    }
    void text_box(const Rect& r, std::string_view value, std::string_view placeholder, bool focused, bool hover);
    void dialog_frame(const Rect& d, std::string_view title, std::string_view body);

    void sidebar();
    void footer();
    void connect_page();
    void notices();
    void notifications_page();
    void clipboard_page();
    void files_page();
    void media_page();
    void features_page();
    void settings_page();
    void album_page(PaintResult& result);
    void about_page();
    void restart_dialog();
    void close_dialog();

    Canvas& c_;
    const PaintInput& in_;
    const UiState& s_;
    const Metrics& m_;
    const Palette& p_;
};

void Painter::text_box(const Rect& r, std::string_view value, std::string_view placeholder, bool focused, bool hover) {
    c_.fill_round(r, 8, col(kCardBg));
    c_.outline_round(r, 8, focused ? col(kAccent) : hover ? col(kTextSecondary) : col(kBorder), 1);
    const double room = r.w() - 20;
    const double y = centred_top(r, FontKind::Small);
    if (value.empty()) {
        fitted(r.l + 10, y, placeholder, FontKind::Small, col(kHint), room);
    } else if (c_.text_width(value, FontKind::Small) <= room) {
        text(r.l + 10, y, value, FontKind::Small, col(kTextPrimary));
    } else {
        // Too long for the box: the end, where typing happens, stays in view.
        std::string shown = display_text(value);
        std::size_t start = 0;
        while (start < shown.size() && c_.text_width(std::string_view(shown).substr(start), FontKind::Small) + 16 > room) {
            utf8_next(shown, start);
        }
        text(r.l + 10, y, "…" + shown.substr(start), FontKind::Small, col(kTextPrimary));
    }
    if (!focused) return;
    const auto phase = static_cast<std::uint64_t>(in_.now.time_since_epoch() / std::chrono::milliseconds(1)) % 1200;
    if (phase >= 600) return;
    std::string_view before = value;
    if (in_.caret) {
        const std::size_t lo = std::min(in_.caret->caret, in_.caret->anchor), hi = std::max(in_.caret->caret, in_.caret->anchor);
        if (lo < hi && hi <= value.size() && c_.text_width(value, FontKind::Small) <= room) {
            const double x0 = r.l + 10 + c_.text_width(value.substr(0, lo), FontKind::Small);
            const double x1 = r.l + 10 + c_.text_width(value.substr(0, hi), FontKind::Small);
            c_.fill_round({static_cast<int>(x0), r.t + 6, static_cast<int>(std::ceil(x1)), r.b - 6}, 2,
                          mix(col(kCardBg), col(kAccent), 0.3));
            text(r.l + 10, y, value, FontKind::Small, col(kTextPrimary));
        }
        if (in_.caret->caret <= value.size()) before = value.substr(0, in_.caret->caret);
    }
    const double end = std::min(r.l + 10 + std::min(c_.text_width(before, FontKind::Small), room) + 1, r.r - 4.0 - 2);
    c_.fill_rect({static_cast<int>(std::lround(end)), r.t + 6, static_cast<int>(std::lround(end)) + 2, r.b - 6}, col(kAccent));
}

void Painter::dialog_frame(const Rect& d, std::string_view title, std::string_view body) {
    c_.fill_rect({0, 0, m_.W, m_.H}, mix(col(kWindowBg), kBlack, 0.45));
    c_.fill_round(d, 12, col(kCardBg));
    c_.outline_round(d, 12, col(kBorder), 1);
    text(d.l + 24, d.t + 20, title, FontKind::Title, col(kTextPrimary));
    fitted(d.l + 24, d.t + 50, body, FontKind::Body, col(kTextSecondary), d.w() - 48);
}

void Painter::sidebar() {
    c_.fill_rect({0, 0, kSidebarWidth, m_.H}, col(kSidebarBg));
    c_.line(kSidebarWidth - 0.5, 0, kSidebarWidth - 0.5, m_.H, col(kBorder));
    text(20, 26, "Dovan", FontKind::Title, col(kSidebarTitle));
    text(20, 54, "手机 · 电脑 互联", FontKind::Small, col(kSidebarSubtitle));
    const auto items = nav_items(in_.modules);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Rect r = nav_item_rect(static_cast<int>(i));
        const bool selected = items[i].page == s_.page;
        const bool hover = !selected && hovered(kActNav, static_cast<std::uint64_t>(items[i].page));
        const Rect inset{r.l + 8, r.t + 4, r.r - 8, r.b - 4};
        if (selected) {
            c_.fill_round(inset, 8, col(kNavSelectedBg));
            const double e = ms_since(s_.transition_start);
            const double f = e < 220 ? 1 - std::pow(1 - e / 220, 3) : 1.0;
            const double h = (r.h() - 12) * f;
            if (h > 0) {
                const double mid = r.t + r.h() / 2.0;
                c_.fill_round({r.l, static_cast<int>(std::lround(mid - h / 2)), r.l + 3, static_cast<int>(std::lround(mid + h / 2))}, 2,
                              col(kAccent));
            }
        } else if (hover) {
            c_.fill_round(inset, 8, col(kNavHoverBg));
        }
        const Color icon_c = selected ? col(kAccent) : hover ? col(kSidebarTitle) : col(kNavText);
        const Color label_c = selected ? col(kNavSelectedText) : hover ? col(kSidebarTitle) : col(kNavText);
        c_.icon(items[i].icon, 28, r.t + (r.h() - 20) / 2.0, 20, icon_c);
        text(54, centred_top(r, FontKind::Body), items[i].label, FontKind::Body, label_c);
    }
}

void Painter::footer() {
    const std::string line = format_text("Dovan Core {}", in_.version);
    const double y = m_.H - 30;
    text(208, y, line, FontKind::Small, col(kHint));
    // Pages other than Connect have no notice area; the newest notice rides on the footer.
    if (s_.page != Page::Connect && !s_.notices.empty() && !s_.restart_dialog && !s_.close_dialog) {
        const double left = 208 + c_.text_width(line, FontKind::Small) + 24;
        const double room = m_.R - left;
        if (room > 40) {
            const std::string cut = fit_text(c_, notice_line(s_.notices.front()), FontKind::Small, room);
            text_right(m_.R, y, cut, FontKind::Small, col(kError));
        }
    }
}

void Painter::connect_page() {
    const std::size_t n = s_.devices.size();
    std::string status;
    Color status_c = col(kTextPrimary);
    if (link_healthy(s_)) {
        status = format_text("已配对 · 已发现 {} 台设备", n);
        status_c = col(kSuccess);
    } else if (s_.engine_state >= 1 && s_.engine_state <= 3) {
        static constexpr std::string_view kPhase[] = {"正在握手…", "配对中…", "待人工比对 SAS"};
        status = format_text("{} · 已发现 {} 台设备", kPhase[s_.engine_state - 1], n);
    } else {
        const std::string_view reason = s_.ble_failure                ? "没有可用的蓝牙"
                                        : !s_.paired                  ? "还没连上手机（点下方设备行连接）"
                                        : s_.identity_change          ? "对端身份已变化，等你确认"
                                        : s_.ms_since_rx < kQuietAfterMs ? "链路还没起来"
                                                                         : "已经收不到手机的消息";
        status = format_text("未连接 · {} · 已发现 {} 台设备", reason, n);
    }
    double x = 208;
    if (s_.engine_state == kEngineDiscover && !s_.ble_failure) {
        const double p = static_cast<double>(in_.wall_ms % 1200) / 1200.0;
        c_.circle(213, 67, 4 + 2 * p, mix(col(kWindowBg), col(kAccent), 0.55));
        x = 226;
    }
    fitted(x, 58, status, FontKind::Body, status_c, m_.R - x);

    const std::size_t rows = visible_device_rows(s_, m_);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto& dev = s_.devices[i];
        const Rect r = device_row_rect(m_, static_cast<int>(i));
        const Rect inner{r.l, r.t + 2, r.r, r.b - 2};
        if (s_.connecting == dev.address) {
            c_.fill_round(inner, 8, col(kAccentTint));
        } else if (hovered(kActDevice, dev.address)) {
            c_.fill_round(inner, 8, col(kSecondaryHover));
        }
        c_.icon(7, r.l + 10, r.t + (r.h() - 20) / 2.0, 20, col(kTextSecondary));
        const std::string id = hex_upper(dev.address & 0xFFFFFFFFFFFFull, 12);
        const double id_w = c_.text_width(id, FontKind::Small);
        const double name_x = r.l + 40;
        const std::string name = fit_text(c_, dev.name.empty() ? "对端设备" : dev.name, FontKind::Body, r.r - 12 - id_w - 16 - name_x);
        text(name_x, centred_top(r, FontKind::Body), name, FontKind::Body, col(kTextPrimary));
        text(name_x + c_.text_width(name, FontKind::Body) + 12, centred_top(r, FontKind::Small), id, FontKind::Small,
             col(kTextSecondary));
    }
    if (s_.ble_failure) {
        // What it takes, as the README says it; the reason is the notice at the bottom.
        text(208, 100, "没有可用的蓝牙，Dovan 没有在扫描。请检查后重新启动 Dovan：", FontKind::Body, col(kTextPrimary));
        fitted(208, 126, "① 蓝牙适配器已插好、未被屏蔽并已打开（rfkill unblock bluetooth，bluetoothctl power on）",
               FontKind::Small, col(kTextSecondary), m_.R - 208);
        fitted(208, 146, "② bluetoothd 在运行（systemctl enable --now bluetooth）③ 可访问 org.bluez（bluetooth 组）",
               FontKind::Small, col(kTextSecondary), m_.R - 208);
    } else if (s_.devices.empty()) {
        text(208, 100, "正在扫描 Dovan 设备…（请在手机上打开 Dovan）", FontKind::Body, col(kTextSecondary));
    }

    const ConnectCards cards = connect_cards(s_);
    const int d = connect_cards_offset(rows);
    const std::string peer = s_.peer_name.empty() ? std::string("对端设备") : s_.peer_name;
    if (cards.identity) {
        const auto& p = *s_.identity_change;
        const Rect box = identity_card_rect(d);
        // The card also holds its buttons, which reach below the text block.
        card({box.l - 12, box.t, box.r + 12, identity_accept_rect(d).b + 12});
        text(box.l, box.t + 10, "对端设备身份已变化，需重新配对确认", FontKind::Strong, col(kTextPrimary));
        fitted(box.l, box.t + 36, format_text("设备「{}」（可能已重装或重置）", p.name.empty() ? "对端设备" : p.name),
               FontKind::Small, col(kTextSecondary), box.w());
        const std::string old_fp = format_text("旧身份 {}", p.old_fingerprint);
        fitted(box.l, box.t + 58, old_fp, FontKind::Small, col(kTextSecondary), 220);
        fitted(box.l + 232, box.t + 58, format_text("新身份 {}", p.new_fingerprint), FontKind::Small, col(kAccentText), box.w() - 232);
        button(identity_accept_rect(d), "信任并重新配对", true, hovered(kActIdentityAccept));
        button(identity_dismiss_rect(d), "取消", false, hovered(kActIdentityDismiss));
    } else if (cards.sas) {
        const Rect box{208, 150 + d, 678, sas_confirm_rect(d).b + 12};
        card({box.l - 12, box.t, box.r + 12, box.b});
        text(box.l, box.t + 8, "请与手机上显示的数字核对一致", FontKind::Body, col(kTextPrimary));
        char digits[16];
        std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(*s_.sas_prompt % 1000000));
        text(box.l, box.t + 24, digits, FontKind::Digits, col(kAccentText));
        button(sas_confirm_rect(d), "确认一致", true, hovered(kActSasConfirm));
        button(sas_reject_rect(d), "不一致", false, hovered(kActSasReject));
    }
    if (cards.paired) {
        const Rect box{208, 150 + d, 678, 150 + d + 96};
        card({box.l - 12, box.t, box.r + 12, box.b});
        double right = box.r;
        if (s_.device_status) {
            const auto& st = *s_.device_status;
            std::string battery;
            Color bc = 0;
            if (st.battery < 0) {
                battery = "电量未知";
                bc = col(kTextSecondary);
            } else if (st.charging == 1) {
                battery = format_text("{}% 充电中", st.battery);
                bc = col(kSuccess);
            } else {
                battery = format_text("{}%", st.battery);
                bc = st.battery <= 20 ? col(kError) : col(kTextPrimary);
            }
            const double w = c_.text_width(battery, FontKind::Body);
            text(right - w, box.t + 12, battery, FontKind::Body, bc);
            c_.icon(13, right - w - 28, box.t + 13, 22, bc);
            right -= w + 36;
        }
        fitted(box.l, box.t + 12, peer, FontKind::Strong, col(kTextPrimary), right - box.l - 16);
        text(box.l, box.t + 40, "已配对：", FontKind::Strong, col(kSuccess));
        if (s_.peer_fingerprint) {
            const double x0 = box.l + c_.text_width("已配对：", FontKind::Strong) + 4;
            fitted(x0, box.t + 42, format_text("设备指纹 {}", *s_.peer_fingerprint), FontKind::Small, col(kTextSecondary), box.r - x0);
        }
        std::string channel;
        if (!s_.peer_address.empty()) {
            channel = s_.tcp_ready ? format_text("对端 {} · TCP 通道已就绪", s_.peer_address)
                                   : format_text("对端 {}（TCP 通道建立中…）", s_.peer_address);
        } else {
            channel = s_.tcp_ready ? "TCP 通道已就绪" : "TCP 通道建立中…";
        }
        fitted(box.l, box.t + 66, channel, FontKind::Small, col(kTextSecondary), box.w());
    }
    notices();
}

void Painter::notices() {
    const std::size_t n = s_.notices.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double y = m_.H - 52 - 18.0 * static_cast<double>(n - 1 - i);
        fitted(208, y - 20, notice_line(s_.notices[i]), FontKind::Small, col(kError), m_.R - 208);
    }
}

void Painter::notifications_page() {
    // Top right: what just happened, else a hint.
    std::string hint;
    Color hint_c = col(kHint);
    if (s_.reply_status && ms_since(s_.reply_status->at) < 4000) {
        hint = s_.reply_status->text;
        hint_c = s_.reply_status->ok ? col(kSuccess) : col(kError);
    } else if (s_.self_clipboard && s_.self_clipboard->at && ms_since(s_.self_clipboard->at) < 1600) {
        hint = "已复制到剪贴板";
        hint_c = col(kSuccess);
    } else if (!s_.notifications.empty()) {
        hint = "点击任意通知即可复制正文";
    }
    if (!hint.empty()) {
        const std::string cut = fit_text(c_, hint, FontKind::Small, m_.W - 32 - 320);
        text_right(m_.W - 32, 34, cut, FontKind::Small, hint_c);
    }
    if (s_.reply_target) {
        text_box(reply_box_rect(m_), s_.reply_box, "输入回复内容", s_.focus == InputFocus::ReplyBox, hovered(kActReplyBox));
        button(reply_send_rect(m_), "发送", true, hovered(kActReplySend));
    }
    if (s_.notifications.empty()) {
        text(208, 100, "暂无通知", FontKind::Body, col(kTextPrimary));
        text(208, 126, "手机推送的通知会显示在这里（需在手机端开启通知读取权限）", FontKind::Small, col(kTextSecondary));
        return;
    }
    const int scroll = notification_scroll(s_, m_);
    const int total = static_cast<int>(s_.notifications.size());
    const int visible = notification_visible_rows(m_);
    const int shown = std::min(visible, total - scroll);
    for (int i = 0; i < shown; ++i) {
        const int row = scroll + i;
        const auto index = static_cast<std::uint64_t>(row);
        const auto& n = s_.notifications[index];
        const Rect r = notification_row_rect(m_, i);
        const Rect inner{r.l, r.t + 3, r.r, r.b - 3};
        const bool is_target = s_.reply_target && *s_.reply_target == n.reply_target();
        if (is_target) {
            c_.fill_round(inner, 10, col(kAccentTint));
        } else if (hovered(kActNotificationRow, index)) {
            c_.fill_round(inner, 10, col(kSecondaryHover));
        } else {
            card(inner);
        }
        const std::string time = notification_time(n.post_ts_ms);
        const double time_w = c_.text_width(time, FontKind::Small);
        text(r.r - 14 - time_w, r.t + 9, time, FontKind::Small, col(kHint));
        fitted(r.l + 14, r.t + 7, n.title.empty() ? "(无标题)" : n.title, FontKind::Strong, col(kTextPrimary),
               r.w() - 28 - time_w - 12);
        const bool has_code = notification_has_code(n);
        const auto b = notification_buttons(m_, i, n.can_reply, has_code);
        fitted(r.l + 14, r.t + 33, n.text.empty() ? "（内容未同步）" : n.text, FontKind::Body, col(kTextSecondary),
               b.copy.l - 12 - (r.l + 14));
        if (b.code) button(*b.code, "复制验证码", false, hovered(kActNotificationCode, index), FontKind::Small);
        button(b.copy, "复制全文", false, hovered(kActNotificationRow, index), FontKind::Small);
        if (b.reply) button(*b.reply, is_target ? "收起" : "回复", false, hovered(kActNotificationReply, index), FontKind::Small);
    }
    if (total > visible) {
        const Rect track = notification_scrollbar_rect(m_);
        c_.fill_round(track, 6, col(kSecondaryBg));
        const double len = std::max(24.0, track.h() * static_cast<double>(visible) / total);
        const double top = track.t + (track.h() - len) * scroll / std::max(total - visible, 1);
        c_.fill_round({track.l, static_cast<int>(std::lround(top)), track.r, static_cast<int>(std::lround(top + len))}, 6,
                      hovered(kActNotificationScroll, static_cast<std::uint64_t>(scroll)) ? col(kAccent) : col(kTextSecondary));
    }
}

void Painter::clipboard_page() {
    const bool on = s_.settings.clip_sync;
    button(clip_sync_rect(), on ? "剪贴板同步：开" : "剪贴板同步：关", on, hovered(kActClipSync));
    button(clip_send_rect(), "发送本机剪贴板", false, hovered(kActClipSend));
    fitted(208, 190, "平时电脑复制的内容会自动同步；这个按钮用于没同步上时手动重发一次。", FontKind::Small, col(kTextSecondary), m_.R - 208);
    text(208, 224, "最近收到", FontKind::Strong, col(kTextPrimary));
    fitted(208, 250, s_.clip_last_received.empty() ? "（暂无）" : s_.clip_last_received, FontKind::Body,
           col(kTextSecondary), m_.R - 208);
    text(208, 288, "最近发送", FontKind::Strong, col(kTextPrimary));
    fitted(208, 314, s_.clip_last_sent.empty() ? "（暂无）" : s_.clip_last_sent, FontKind::Body, col(kTextSecondary), m_.R - 208);
    fitted(208, 356, "手机端受 Android 10+ 限制：手机复制的内容要切回前台时才补同步。", FontKind::Small, col(kHint), m_.R - 208);
}

void Painter::files_page() {
    const bool connected = link_healthy(s_);
    std::string channel;
    if (s_.tcp_ready && !s_.peer_address.empty()) {
        channel = format_text("TCP 通道已就绪 · UDP 发现对端 {} · 256KB 分块", s_.peer_address);
    } else if (s_.tcp_ready) {
        channel = "TCP 通道已就绪 · UDP 发现中（信标每 3s 广播）· 256KB 分块";
    } else if (connected) {
        channel = "TCP 通道未就绪（UDP 发现中，等待手机接入 55676）· 文件将排队等待";
    } else {
        channel = "未连接：请先在「连接」页与手机完成配对";
    }
    fitted(208, 60, channel, FontKind::Small, s_.tcp_ready ? col(kSuccess) : col(kTextSecondary), m_.R - 208);
    fitted(208, 82, "发送到手机（点「选择…」可一次挑多个文件，也可以把文件直接拖进这个窗口）", FontKind::Small, col(kTextSecondary),
           m_.R - 208);
    text_box(send_box_rect(m_), s_.send_box, "先点右边的「选择…」", s_.focus == InputFocus::SendBox, hovered(kActSendBox));
    button(pick_files_rect(m_), "选择…", false, hovered(kActPickFiles));
    icon_button(send_files_rect(m_), 8, "发送到手机", true, hovered(kActSendFiles));
    text(208, 144, "收件目录（手机发来的文件落盘位置）", FontKind::Small, col(kTextSecondary));
    const Rect change = change_inbox_rect(m_);
    fitted(208, 166, s_.settings.inbox, FontKind::Body, col(kTextPrimary), change.l - 12 - 208);
    button(change, "改到别处…", false, hovered(kActChangeInbox), FontKind::Small);

    const auto rows = file_list_rows(s_);
    const std::string prefix = s_.send_queue.empty() ? "" : "待发送 · ";
    text(208, 194, format_text("{}传输列表（最近 {} 条）", prefix, std::min<std::size_t>(s_.transfer_rows.size(), kMaxFileRows)),
         FontKind::Small, col(kTextSecondary));
    if (rows.empty()) {
        text(208, 228, "暂无传输任务", FontKind::Body, col(kTextPrimary));
        fitted(208, 254, "选好文件点「发送到手机」即可推送；手机发来的文件会自动落到上面的收件目录", FontKind::Small,
               col(kTextSecondary), m_.R - 208);
        return;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Rect r = file_row_rect(m_, static_cast<int>(i));
        const Rect inner{r.l, r.t + 2, r.r, r.b - 2};
        card(inner, 8);
        const Rect btn = file_row_button_rect(m_, static_cast<int>(i));
        const double text_x = r.l + 40;
        if (rows[i].queued) {
            const auto& q = s_.send_queue[rows[i].index];
            c_.icon(9, r.l + 10, r.t + 13, 20, col(kTextSecondary));
            std::string name = q.path;
            if (auto slash = name.find_last_of("/\\"); slash != std::string::npos) name = name.substr(slash + 1);
            fitted(text_x, r.t + 2, name.empty() ? "待发送文件" : name, FontKind::Strong, col(kTextPrimary), btn.l - 12 - text_x);
            text(text_x, r.t + 23, "待发送 · " + human_size(q.size), FontKind::Small, col(kTextSecondary));
            button(btn, "移除", false, hovered(kActFileRow, i), FontKind::Small);
            continue;
        }
        const auto& t = s_.transfer_rows[rows[i].index];
        c_.icon(t.direction == TransferDirection::Receive ? 10 : 9, r.l + 10, r.t + 13, 20, col(kTextSecondary));
        const FileOpenButtons open = file_row_open_buttons(m_, static_cast<int>(i));
        const double bar_r = rows[i].has_button ? btn.l - 12 : rows[i].openable ? open.open.l - 12 : r.r - 12;
        const double bar_l = std::max(text_x + 120, bar_r - 180);
        fitted(text_x, r.t + 2, t.name, FontKind::Strong, col(kTextPrimary), bar_l - 12 - text_x);
        std::string line = format_text("{} {}%", t.status, t.percent);
        if (t.speed_kib > 0) {
            char speed[32];
            std::snprintf(speed, sizeof speed, "%.1f", t.speed_kib / 1024.0);
            line += format_text(" · {} MB/s", speed);
        }
        const Color line_c = t.status == "已完成"                         ? col(kSuccess)
                             : t.status == "失败" || t.status == "校验失败" ? col(kError)
                                                                           : col(kTextSecondary);
        fitted(text_x, r.t + 23, line, FontKind::Small, line_c, bar_l - 12 - text_x);
        progress({static_cast<int>(bar_l), r.t + 20, static_cast<int>(bar_r), r.t + 26}, t.percent, t.status == "已完成");
        if (rows[i].has_button) button(btn, "取消", false, hovered(kActFileRow, i), FontKind::Small);
        if (rows[i].openable) {
            button(open.open, "打开", false, hovered(kActFileOpen, i), FontKind::Small);
            button(open.reveal, "打开所在文件夹", false, hovered(kActFileReveal, i), FontKind::Small);
        }
    }
}

std::string speed_factor(std::int32_t percent) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", percent / 100.0);
    return buf;
}

void Painter::media_page() {
    fitted(208, 62, "手机上正在播放的内容；Dovan 只同步状态与指令，不搬运音频", FontKind::Small, col(kTextSecondary), m_.R - 208);
    if (!s_.media) {
        if (!in_.modules.media()) {
            text(208, 100, "「媒体控制」模块已关闭：请到「功能」页开启并重新启动", FontKind::Body, col(kTextPrimary));
            return;
        }
        text(208, 100, "手机还没有在播放任何东西", FontKind::Body, col(kTextPrimary));
        fitted(208, 126, "在手机上打开音乐 / 播客 App，几秒内这里就会出现曲目信息", FontKind::Small, col(kTextSecondary), m_.R - 208);
        return;
    }
    const MediaView& md = *s_.media;
    const Rect box{208, 92, m_.R, 224};
    card(box);
    c_.icon(14, box.l + 18, box.t + 18, 32, col(kAccent));
    const double x = box.l + 64, room = box.r - 16 - x;
    fitted(x, box.t + 14, md.title.empty() ? "（该应用未提供曲目名）" : md.title, FontKind::Strong, col(kTextPrimary), room);
    std::string who = md.artist;
    if (!md.album.empty()) who += who.empty() ? md.album : " · " + md.album;
    if (!who.empty()) fitted(x, box.t + 40, who, FontKind::Small, col(kTextSecondary), room);
    std::string line = md.playing ? "播放中" : "已暂停";
    if (md.speed_percent != 100) line += format_text("  {}x", speed_factor(md.speed_percent));
    line += format_text("  {}/{}", clock_duration(md.position_ms), clock_duration(md.duration_ms));
    line += format_text("  ·  来源 {}", md.package.empty() ? "未知" : md.package);
    fitted(x, box.t + 64, line, FontKind::Small, col(kTextSecondary), room);
    const double pct = md.duration_ms > 0 ? 100.0 * static_cast<double>(md.position_ms) / static_cast<double>(md.duration_ms) : 0;
    progress({box.l + 18, box.t + 108, box.r - 18, box.t + 114}, pct, pct >= 100);

    static constexpr int kIcons[5] = {17, 16, 18, 20, 19};
    static constexpr std::string_view kLabels[5] = {"上一首", "暂停", "下一首", "音量 −", "音量 +"};
    for (int i = 0; i < 5; ++i) {
        int icon = kIcons[i];
        std::string_view label = kLabels[i];
        if (i == 1 && !md.playing) {
            icon = 15;
            label = "播放";
        }
        icon_button(media_button_rect(m_, i), icon, label, i == 1, hovered(kActMedia, static_cast<std::uint64_t>(i)));
    }
    const std::string volume = md.volume < 0 ? "手机媒体音量 —（当前无活动播放，读到的 0 不代表静音）"
                                             : format_text("手机媒体音量 {}%", md.volume);
    fitted(media_button_rect(m_, 0).l, 336, volume, FontKind::Small, col(kTextSecondary), m_.R - media_button_rect(m_, 0).l);
}

void Painter::features_page() {
    fitted(208, 62, "关掉不用的模块，重启后就不再加载它（不起线程、不开端口）", FontKind::Small, col(kTextSecondary), m_.R - 208);
    const auto rows = module_rows(s_.settings, in_.modules);
    std::vector<std::string_view> loaded;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        const Rect sw = module_switch_rect(static_cast<int>(i));
        text(208, sw.t - 12, row.name, FontKind::Strong, col(kTextPrimary));
        fitted(208, sw.t + 12, row.switched_on ? row.on_text : row.off_text, FontKind::Small, col(kTextSecondary), sw.l - 16 - 208);
        toggle(sw, row.switched_on, hovered(kActModule, i));
        if (row.switched_on != row.loaded) text(sw.r + 14, centred_top(sw, FontKind::Small), "待重启生效", FontKind::Small, col(kAccentText));
        if (row.loaded) loaded.push_back(row.name);
        if (i + 1 < rows.size()) c_.line(208, sw.b + 16.5, m_.R, sw.b + 16.5, col(kBorder));
    }
    std::string names;
    for (std::size_t i = 0; i < loaded.size(); ++i) names += (i ? "、" : "") + std::string(loaded[i]);
    fitted(208, 402, format_text("本次启动已加载：{}", names.empty() ? "无（仅保持连接）" : names), FontKind::Small, col(kTextSecondary),
           m_.R - 208);
    const std::string memory = in_.memory_bytes ? format_text("{} MB", *in_.memory_bytes / 1048576) : std::string("未知");
    fitted(208, 422, format_text("当前内存占用 {}（重启后按上面的开关重新加载）", memory), FontKind::Small, col(kTextSecondary),
           m_.R - 208);
    const std::size_t changes = pending_module_changes(s_.settings, in_.modules);
    if (changes == 0) return;
    const Rect restart = restart_now_rect();
    int lines = 0;
    for (const auto& row : rows) lines += row.switched_on != row.loaded;
    const Rect banner{208, 452, std::max(restart.r + 16, 680), std::max(restart.b + 12, 488 + 18 * lines + 8)};
    c_.fill_round(banner, 10, col(kAccentTint));
    text(224, 460, format_text("有 {} 项改动待重启生效", changes), FontKind::Strong, col(kTextPrimary));
    int k = 0;
    for (const auto& row : rows) {
        if (row.switched_on == row.loaded) continue;
        fitted(224, 486 + 18 * k, format_text("{}：重启后{}", row.name, row.switched_on ? "继续加载" : "不再加载"), FontKind::Small,
               col(kTextSecondary), restart.l - 12 - 224);
        ++k;
    }
    button(restart, "重新启动", true, hovered(kActRestart));
}

void Painter::settings_page() {
    const UiSettings& st = s_.settings;
    text(208, 66, "外观", FontKind::Strong, col(kTextPrimary));
    static constexpr std::string_view kLooks[3] = {"跟随系统", "浅色", "深色"};
    for (int i = 0; i < 3; ++i) {
        button(appearance_rect(i), kLooks[i], st.theme == i, hovered(kActAppearance, static_cast<std::uint64_t>(i)));
    }
    const std::string look = st.theme == 0 ? format_text("当前跟随系统「应用模式」（系统为{}）",
                                                         in_.system == SystemLook::Dark ? "深色" : "浅色")
                                           : std::string("已手动指定外观；选「跟随系统」可恢复自动切换");
    fitted(548, centred_top(appearance_rect(2), FontKind::Small), look, FontKind::Small, col(kTextSecondary), m_.R - 548);

    const auto switches = settings_switches(st);
    for (std::size_t i = 0; i < switches.size(); ++i) {
        const Rect sw = settings_switch_rect(static_cast<int>(i));
        text(208, sw.t - 9, switches[i].label, FontKind::Strong, col(kTextPrimary));
        fitted(208, sw.t + 12, switches[i].description, FontKind::Small, col(kTextSecondary), sw.l - 16 - 208);
        toggle(sw, switches[i].on, hovered(switches[i].action));
    }
    button(export_log_rect(), "导出日志", false, hovered(kActExportLog));

    const Rect cb = close_behavior_rect();
    const CloseTexts close = close_texts(s_);
    const std::string_view desc[3] = {"点关闭按钮时先问一句", close.put_away_description, "点关闭按钮就退出程序"};
    const std::string_view label[3] = {"询问", close.put_away, "退出程序"};
    const std::size_t behavior = std::min<std::size_t>(st.close_behavior, 2);
    text(208, cb.t - 7, "关闭按钮行为", FontKind::Strong, col(kTextPrimary));
    fitted(208, cb.t + 14, desc[behavior], FontKind::Small, col(kTextSecondary), cb.l - 16 - 208);
    button(cb, label[behavior], false, hovered(kActCloseBehavior));

    const Rect box = manual_ip_box_rect();
    text(208, box.t - 24, "手动 IP（同网搜不到时兜底）", FontKind::Strong, col(kTextPrimary));
    text_box(box, s_.manual_ip_box, "192.168.1.23", s_.focus == InputFocus::ManualIp, hovered(kActManualIpBox));
    const Rect go = manual_connect_rect();
    button(go, "连接", false, hovered(kActManualConnect));
    fitted(go.r + 14, centred_top(go, FontKind::Small),
           s_.peer_address.empty() ? std::string("尚未发现对端 IP") : format_text("对端 {}", s_.peer_address), FontKind::Small,
           col(kTextSecondary), m_.R - go.r - 14);

    const Rect first = bound_row_rect(m_, 0);
    fitted(208, first.t - 23, format_text("已绑定设备（{} 台，解绑后需重新配对）", s_.bound_devices.size()), FontKind::Strong,
           col(kTextPrimary), m_.R - 208);
    const std::size_t bound = std::min<std::size_t>(s_.bound_devices.size(), kMaxBoundRows);
    int next_y = first.t;
    if (bound == 0) {
        text(208, first.t + 3, "暂无已绑定设备（配对成功后出现在这里）", FontKind::Small, col(kTextSecondary));
        next_y = first.b;
    }
    for (std::size_t i = 0; i < bound; ++i) {
        const Rect r = bound_row_rect(m_, static_cast<int>(i));
        const bool hover = hovered(kActUnbind, i);
        const Rect unbind{r.r - 56, r.t + 2, r.r, r.b - 2};
        const auto& dev = s_.bound_devices[i];
        fitted(208, centred_top(r, FontKind::Body), dev.name.empty() ? "（未知设备）" : dev.name, FontKind::Body, col(kTextPrimary),
               unbind.l - 12 - 208);
        button(unbind, "解绑", false, hover, FontKind::Small);
        next_y = r.b;
    }
    fitted(208, next_y + 6,
           format_text("本机身份指纹（TOFU 比对基准） {} · Core {}", s_.local_fingerprint.empty() ? "—" : s_.local_fingerprint, in_.version),
           FontKind::Small, col(kHint), m_.R - 208);
    fitted(208, next_y + 24, "数据仅在局域网内点对点传输，不经云端、不留存", FontKind::Small, col(kHint), m_.R - 208);
}

void Painter::album_page(PaintResult& result) {
    const AlbumView& a = s_.album;
    const double room = m_.album_r - 208;
    std::string_view subtitle;
    if (!in_.modules.album()) {
        subtitle = "相册模块已在「功能」页关闭：重启后本页不再加载";
    } else if (!link_healthy(s_)) {
        subtitle = "未连接：先在「连接」页点一下手机，把它连上后相册才有数据来源";
    } else if (s_.tcp_ready) {
        subtitle = "手机相册预览（照片 + 视频）· 缩略图只放内存，不留盘 · 单击格子选中，按住格子可拖到文件管理器/微信";
    } else {
        subtitle = "已配对，但局域网 TCP 通道未就绪：相册请求只走 TCP，现在点任何按钮都取不到图";
    }
    fitted(208, 62, subtitle, FontKind::Small, col(kTextSecondary), room);
    if (!in_.modules.album()) return;

    const bool all_selected = !a.items.empty() && std::all_of(a.items.begin(), a.items.end(), [&](const AlbumItemView& it) {
        return std::find(a.selection.begin(), a.selection.end(), it.id) != a.selection.end();
    });
    const std::string labels[5] = {"刷新", "上一页", "下一页", all_selected ? "取消全选" : "全选",
                                   format_text("导出({})…", a.selection.size())};
    for (int i = 0; i < 5; ++i) {
        button(album_toolbar_rect(i), labels[i], i == 4 && !a.selection.empty(), hovered(kActAlbumToolbar, static_cast<std::uint64_t>(i)));
    }

    const AlbumGrid g = album_grid(m_);
    const AlbumRange range = album_range(m_, a.items.size(), a.scroll);
    result.album = range;
    // Thumbnails first, so the status line counts the pictures this paint collected.
    std::vector<std::uint64_t> visible;
    for (std::size_t k = 0; k < range.count; ++k) visible.push_back(a.items[range.first + k].id);
    if (in_.thumbnails) in_.thumbnails->begin_paint(visible);
    std::unordered_map<std::uint64_t, std::string> failures;
    std::unordered_set<std::uint64_t> ready, decoding;
    for (const auto id : visible) {
        auto entry = a.thumbnails.find(id);
        if (entry == a.thumbnails.end()) continue;
        if (const auto* error = std::get_if<std::string>(&entry->second.content)) {
            failures[id] = *error;
        } else if (!in_.thumbnails) {
            failures[id] = kThumbnailDecodeFailed;
        } else {
            auto state = in_.thumbnails->prepare(id, std::get<Bytes>(entry->second.content));
            switch (state.kind) {
                case ThumbnailReadiness::Kind::Ready: ready.insert(id); break;
                case ThumbnailReadiness::Kind::Pending: decoding.insert(id); break;
                case ThumbnailReadiness::Kind::Failed: failures[id] = std::move(state.error); break;
            }
        }
    }
    std::string status;
    const std::size_t cached = in_.thumbnails ? in_.thumbnails->cached_count() : 0;
    const double cached_mb = in_.thumbnails ? static_cast<double>(in_.thumbnails->cached_bytes()) / 1048576.0 : 0.0;
    if (a.loading) {
        status = format_text("正在向手机请求第 {} 页…", a.page + 1);
    } else if (a.per_page > 0 || !a.items.empty()) {
        char mb[32];
        std::snprintf(mb, sizeof mb, "%.1f", cached_mb);
        status = format_text("第 {} 页（每页 {} 张）· 相册共 {} 张 · 已选 {} 张 · 内存里 {} 张缩略图 {} MB", a.page + 1, a.per_page,
                             a.total, a.selection.size(), cached, mb);
        if (a.total > 0 && a.per_page > 0) status += format_text("（约 {} 页）", (a.total + a.per_page - 1) / a.per_page);
    } else {
        status = "还没有清单：点「刷新」向手机要第一页";
    }
    if (!a.error.empty()) status += format_text(" 手机侧回报：{}", a.error);
    fitted(208, 134, status, FontKind::Small, a.error.empty() ? col(kTextSecondary) : col(kError), room);

    if (a.items.empty()) {
        text(208, 174, a.error.empty() ? "还没有清单：点上面的「刷新」向手机要第一页" : "手机侧没能给出清单，原因见上面那行", FontKind::Body,
             col(kTextSecondary));
        return;
    }
    for (std::size_t k = 0; k < range.count; ++k) {
        const std::size_t index = range.first + k;
        const AlbumItemView& item = a.items[index];
        const Rect cell = album_cell_rect(static_cast<int>(k % g.columns), static_cast<int>(k / g.columns));
        const bool selected = std::find(a.selection.begin(), a.selection.end(), item.id) != a.selection.end();
        const bool hover = hovered(kActAlbumCell, index);
        c_.fill_round(cell, 8, col(kCardBg));
        std::string word;
        auto entry = a.thumbnails.find(item.id);
        if (entry == a.thumbnails.end()) {
            const bool queued = std::find(a.thumbnail_queue.begin(), a.thumbnail_queue.end(), item.id) != a.thumbnail_queue.end();
            word = queued ? "等排队" : "载入中…";
            if (!queued && !result.thumbnail_wanted) result.thumbnail_wanted = item.id;
        } else if (std::holds_alternative<std::string>(entry->second.content)) {
            word = "取图失败";
        } else if (decoding.contains(item.id)) {
            word = "载入中…";  // decoded off the window thread; drawn once it is back
        } else if (!ready.contains(item.id)) {
            word = kThumbnailDecodeFailed;
        } else {
            c_.push_clip(cell);
            c_.image(item.id, cell);
            c_.pop_clip();
        }
        if (!word.empty()) text_centred(cell, word, FontKind::Small, col(kTextSecondary));
        if (item.kind == 1 || item.duration_ms > 0) {
            const std::string dur = clock_duration(item.duration_ms);
            const double w = c_.text_width(dur, FontKind::Small) + 10;
            const Rect badge{cell.r - 6 - static_cast<int>(std::ceil(w)), cell.b - 26, cell.r - 6, cell.b - 6};
            c_.fill_round(badge, 4, kBlack);
            text(badge.l + 5, badge.t, dur, FontKind::Small, kWhite);
        }
        if (a.drag_files.contains(item.id)) {
            const double w = c_.text_width("可拖出", FontKind::Small) + 10;
            const Rect badge{cell.l + 6, cell.b - 26, cell.l + 6 + static_cast<int>(std::ceil(w)), cell.b - 6};
            c_.fill_round(badge, 4, col(kSuccess));
            text(badge.l + 5, badge.t, "可拖出", FontKind::Small, kWhite);
        }
        if (selected) {
            c_.outline_round(cell, 8, col(kAccent), 3);
            c_.circle(cell.r - 14, cell.t + 14, 10, col(kAccent));
            text_centred({cell.r - 24, cell.t + 4, cell.r - 4 + 4, cell.t + 24}, "✓", FontKind::Small, kWhite);
        } else {
            c_.outline_round(cell, 8, hover ? col(kTextSecondary) : col(kBorder), 1);
        }
    }
    if (range.max_scroll_row > 0) {
        const Rect track = album_scrollbar_rect(m_);
        c_.fill_round(track, 6, col(kSecondaryBg));
        const double len = std::max(24.0, track.h() * static_cast<double>(g.rows) / range.item_rows);
        const double top = track.t + (track.h() - len) * range.scroll_row / range.max_scroll_row;
        c_.fill_round({track.l, static_cast<int>(std::lround(top)), track.r, static_cast<int>(std::lround(top + len))}, 6,
                      col(kTextSecondary));
    }

    const int rows_drawn = static_cast<int>((range.count + g.columns - 1) / g.columns);
    double y = album_cell_rect(0, std::max(rows_drawn, 1) - 1).b + 8;
    y = std::min(y, m_.H - 34.0 - 3 * 19);
    if (s_.hover.action == kActAlbumCell && s_.hover.index < a.items.size()) {
        const AlbumItemView& item = a.items[s_.hover.index];
        std::string info = item.width && item.height ? format_text("{}×{}", item.width, item.height) : std::string("尺寸未知");
        info += " · " + capture_time(item.mtime_ms);
        if (item.kind == 1 || item.duration_ms > 0) info += format_text(" · 视频，时长 {}", clock_duration(item.duration_ms));
        if (auto f = failures.find(item.id); f != failures.end()) info += format_text(" · 缩略图取不到：{}", f->second);
        fitted(208, y, info, FontKind::Small, col(kTextPrimary), room);
    }
    fitted(208, y + 19, "单击格子=选中；按住格子拖动=把原件（照片或视频）拖到文件管理器/微信", FontKind::Small, col(kHint), room);
    fitted(208, y + 38,
           format_text("滚轮或拖右侧滑块上下翻 · 这一页共 {} 张，当前第 {}–{} 张", a.items.size(), range.first + 1, range.first + range.count),
           FontKind::Small, col(kHint), room);
}

void Painter::about_page() {
    text(208, 92, "Dovan", FontKind::Product, col(kTextPrimary));
    fitted(208, 152, "手机与电脑之间的通知、剪贴板、文件、媒体和相册，点对点直连，不经云端。", FontKind::Body, col(kTextPrimary), m_.R - 208);
    fitted(208, 182, format_text("Dovan 桌面端 {} · 由 Dovan 开发组编写与维护", in_.version), FontKind::Small, col(kTextSecondary),
           m_.R - 208);
}

void Painter::restart_dialog() {
    const Rect d = restart_dialog_rect(m_);
    dialog_frame(d, "需要重新启动", "改动已经保存；重新启动后按上面的开关重新加载模块。");
    int k = 0;
    for (const auto& row : module_rows(s_.settings, in_.modules)) {
        if (row.switched_on == row.loaded) continue;
        text(d.l + 24, d.t + 82 + 20 * k, format_text("· {}：重启后{}", row.name, row.switched_on ? "继续加载" : "不再加载"),
             FontKind::Small, col(kTextSecondary));
        ++k;
    }
    button(restart_later_rect(m_), "稍后启动", false, hovered(kActRestartLater));
    button(restart_now_dialog_rect(m_), "重新启动", true, hovered(kActRestartNow));
}

void Painter::close_dialog() {
    const Rect d = close_dialog_rect(m_);
    const CloseTexts close = close_texts(s_);
    dialog_frame(d, "关闭 Dovan？", close.dialog_body);
    button(close_cancel_rect(m_), "取消", false, hovered(kActCloseCancel));
    button(close_exit_rect(m_), "退出程序", false, hovered(kActCloseExit));
    button(close_minimize_rect(m_), close.put_away, true, hovered(kActCloseMinimize));
    const Rect row = close_remember_rect(m_);
    const Rect box{row.l, row.t + 3, row.l + 16, row.t + 19};
    if (s_.remember_close_choice) {
        c_.fill_round(box, 4, col(kAccent));
        text_centred({box.l - 4, box.t - 2, box.r + 4, box.b + 2}, "✓", FontKind::Small, kWhite);
    } else {
        c_.outline_round(box, 4, hovered(kActCloseRemember) ? col(kAccent) : col(kTextSecondary), 1.5);
    }
    text(box.r + 8, centred_top(row, FontKind::Small), "记住我的选择，不再询问", FontKind::Small, col(kTextSecondary));
}

PaintResult Painter::run() {
    PaintResult result;
    c_.fill_rect({0, 0, m_.W, m_.H}, col(kWindowBg));
    sidebar();
    if (s_.page != Page::About) {
        for (const auto& item : nav_items(in_.modules)) {
            if (item.page == s_.page) text(208, 26, item.label, FontKind::Title, col(kTextPrimary));
        }
    }
    switch (s_.page) {
        case Page::Connect: connect_page(); break;
        case Page::Notifications: notifications_page(); break;
        case Page::Clipboard: clipboard_page(); break;
        case Page::Files: files_page(); break;
        case Page::Media: media_page(); break;
        case Page::Features: features_page(); break;
        case Page::Settings: settings_page(); break;
        case Page::Album: album_page(result); break;
        case Page::About: about_page(); break;
    }
    footer();
    if (s_.restart_dialog) restart_dialog();
    if (s_.close_dialog) close_dialog();
    return result;
}

}  // namespace

std::string notification_time(std::uint64_t ms) {
    if (ms < 1) return "--";
    const std::uint64_t day = ms / 1000 % 86400;
    return two_digits(day / 3600) + ":" + two_digits(day / 60 % 60) + ":" + two_digits(day % 60);
}

std::string capture_time(std::uint64_t ms) {
    if (ms < 1) return "时间未知";
    const std::uint64_t secs = ms / 1000;
    std::int64_t y = 0;
    unsigned mo = 0, d = 0;
    civil_from_days(static_cast<std::int64_t>(secs / 86400), y, mo, d);
    const std::uint64_t day = secs % 86400;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02llu:%02llu", static_cast<long long>(y), mo, d,
                  static_cast<unsigned long long>(day / 3600), static_cast<unsigned long long>(day / 60 % 60));
    return buf;
}

PaintResult paint_window(Canvas& canvas, const PaintInput& in) { return Painter(canvas, in).run(); }

}  // namespace dovan
