#include "shell/actions.h"

#include <algorithm>

#include "shell/view_rules.h"

namespace dovan {

namespace {

Action connect_page(const UiState& s, const Metrics& m, double x, double y) {
    const std::size_t rows = visible_device_rows(s, m);
    for (std::size_t i = 0; i < rows; ++i) {
        if (device_row_rect(m, static_cast<int>(i)).contains(x, y)) return {kActDevice, s.devices[i].address};
    }
    const ConnectCards cards = connect_cards(s);
    const int d = connect_cards_offset(rows);
    if (cards.sas) {
        if (sas_confirm_rect(d).contains(x, y)) return {kActSasConfirm};
        if (sas_reject_rect(d).contains(x, y)) return {kActSasReject};
    }
    if (cards.identity) {
        if (identity_accept_rect(d).contains(x, y)) return {kActIdentityAccept};
        if (identity_dismiss_rect(d).contains(x, y)) return {kActIdentityDismiss};
    }
    return {};
}

Action notifications_page(const UiState& s, const Metrics& m, double x, double y) {
    const int scroll = notification_scroll(s, m);
    const int total = static_cast<int>(s.notifications.size());
    const int shown = std::min(notification_visible_rows(m), total - scroll);
    // Buttons sit inside their rows, so they are asked first.
    for (int i = 0; i < shown; ++i) {
        const int row = scroll + i;
        const auto& n = s.notifications[static_cast<std::size_t>(row)];
        const auto b = notification_buttons(m, i, n.can_reply, notification_has_code(n));
        const auto index = static_cast<std::uint64_t>(row);
        if (b.code && b.code->contains(x, y)) return {kActNotificationCode, index};
        if (b.reply && b.reply->contains(x, y)) return {kActNotificationReply, index};
        if (notification_row_rect(m, i).contains(x, y)) return {kActNotificationRow, index};
    }
    if (s.reply_target) {
        if (reply_box_rect(m).contains(x, y)) return {kActReplyBox};
        if (reply_send_rect(m).contains(x, y)) return {kActReplySend};
    }
    if (total > notification_visible_rows(m) && notification_scrollbar_rect(m).contains(x, y)) {
        return {kActNotificationScroll, static_cast<std::uint64_t>(notification_scroll_from_pointer(m, total, y))};
    }
    return {};
}

Action clipboard_page(double x, double y) {
    if (clip_send_rect().contains(x, y)) return {kActClipSend};
    if (clip_sync_rect().contains(x, y)) return {kActClipSync};
    return {};
}

Action files_page(const UiState& s, const Metrics& m, double x, double y) {
    if (send_box_rect(m).contains(x, y)) return {kActSendBox};
    if (send_files_rect(m).contains(x, y)) return {kActSendFiles};
    if (pick_files_rect(m).contains(x, y)) return {kActPickFiles};
    const auto rows = file_list_rows(s);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].has_button && file_row_button_rect(m, static_cast<int>(i)).contains(x, y)) return {kActFileRow, i};
        if (rows[i].openable) {
            const FileOpenButtons b = file_row_open_buttons(m, static_cast<int>(i));
            if (b.open.contains(x, y)) return {kActFileOpen, i};
            if (b.reveal.contains(x, y)) return {kActFileReveal, i};
        }
    }
    if (change_inbox_rect(m).contains(x, y)) return {kActChangeInbox};
    return {};
}

Action media_page(const UiState& s, const Metrics& m, double x, double y) {
    if (!s.media) return {};
    for (int i = 0; i < 5; ++i) {
        if (media_button_rect(m, i).contains(x, y)) return {kActMedia, static_cast<std::uint64_t>(i)};
    }
    return {};
}

Action features_page(const UiState& s, LoadedModules modules, double x, double y) {
    for (int i = 0; i < 5; ++i) {
        if (module_switch_rect(i).contains(x, y)) return {kActModule, static_cast<std::uint64_t>(i)};
    }
    if (pending_module_changes(s.settings, modules) > 0 && restart_now_rect().contains(x, y)) return {kActRestart};
    return {};
}

Action settings_page(const UiState& s, const Metrics& m, double x, double y) {
    for (int i = 0; i < 3; ++i) {
        if (appearance_rect(i).contains(x, y)) return {kActAppearance, static_cast<std::uint64_t>(i)};
    }
    const auto switches = settings_switches(s.settings);
    for (std::size_t i = 0; i < switches.size(); ++i) {
        if (settings_switch_rect(static_cast<int>(i)).contains(x, y)) return {switches[i].action};
    }
    if (close_behavior_rect().contains(x, y)) return {kActCloseBehavior};
    if (manual_ip_box_rect().contains(x, y)) return {kActManualIpBox};
    if (manual_connect_rect().contains(x, y)) return {kActManualConnect};
    const std::size_t bound = std::min<std::size_t>(s.bound_devices.size(), kMaxBoundRows);
    for (std::size_t i = 0; i < bound; ++i) {
        if (bound_row_rect(m, static_cast<int>(i)).contains(x, y)) return {kActUnbind, i};
    }
    if (export_log_rect().contains(x, y)) return {kActExportLog};
    return {};
}

Action album_page(const UiState& s, LoadedModules modules, const Metrics& m, double x, double y) {
    if (!modules.album()) return {};
    for (int i = 0; i < 5; ++i) {
        if (album_toolbar_rect(i).contains(x, y)) return {kActAlbumToolbar, static_cast<std::uint64_t>(i)};
    }
    const AlbumGrid g = album_grid(m);
    const AlbumRange range = album_range(m, s.album.items.size(), s.album.scroll);
    for (std::size_t k = 0; k < range.count; ++k) {
        const int c = static_cast<int>(k % g.columns), r = static_cast<int>(k / g.columns);
        if (album_cell_rect(c, r).contains(x, y)) return {kActAlbumCell, range.first + k};
    }
    if (range.max_scroll_row > 0 && album_scrollbar_rect(m).contains(x, y)) {
        return {kActAlbumScroll, static_cast<std::uint64_t>(album_scroll_from_pointer(m, range, y))};
    }
    return {};
}

}  // namespace

Action hit_test(const UiState& s, LoadedModules modules, const Metrics& m, double x, double y) {
    if (s.restart_dialog) {
        if (restart_now_dialog_rect(m).contains(x, y)) return {kActRestartNow};
        if (restart_later_rect(m).contains(x, y)) return {kActRestartLater};
        return {};
    }
    if (s.close_dialog) {
        if (close_minimize_rect(m).contains(x, y)) return {kActCloseMinimize};
        if (close_exit_rect(m).contains(x, y)) return {kActCloseExit};
        if (close_cancel_rect(m).contains(x, y)) return {kActCloseCancel};
        if (close_remember_rect(m).contains(x, y)) return {kActCloseRemember};
        return {};
    }
    if (x < kSidebarWidth) {
        const auto items = nav_items(modules);
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (nav_item_rect(static_cast<int>(i)).contains(x, y)) return {kActNav, static_cast<std::uint64_t>(items[i].page)};
        }
        return {};
    }
    switch (s.page) {
        case Page::Connect: return connect_page(s, m, x, y);
        case Page::Notifications: return notifications_page(s, m, x, y);
        case Page::Clipboard: return clipboard_page(x, y);
        case Page::Files: return files_page(s, m, x, y);
        case Page::Media: return media_page(s, m, x, y);
        case Page::Features: return features_page(s, modules, x, y);
        case Page::Settings: return settings_page(s, m, x, y);
        case Page::Album: return album_page(s, modules, m, x, y);
        case Page::About: return {};
    }
    return {};
}

}  // namespace dovan
