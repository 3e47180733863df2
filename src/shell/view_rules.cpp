#include "shell/view_rules.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "session/code_extract.h"
#include "shell/actions.h"
#include "shell/autostart.h"

namespace dovan {

bool link_healthy(const UiState& s) {
    return s.paired && s.engine_state == kEnginePaired && !s.identity_change && s.ms_since_rx < kQuietAfterMs;
}

std::string tray_tooltip(const UiState& s) {
    if (!link_healthy(s)) return "Dovan — 待机";
    return format_text("Dovan — 已连接 {}", s.peer_name.empty() ? std::string("对端设备") : s.peer_name);
}

CloseTexts close_texts(const UiState& s) {
    if (s.tray_present)
        return {"最小化到托盘", "点关闭按钮就收进托盘，程序继续运行", "最小化到托盘只是收起窗口，程序继续在后台运行。"};
    return {"最小化到任务栏", "点关闭按钮就收到任务栏，程序继续运行",
            "桌面没有托盘：最小化到任务栏，程序继续在后台运行。"};
}

ConnectCards connect_cards(const UiState& s) {
    ConnectCards c;
    c.identity = s.identity_change.has_value();
    // Both cards would share one place; the identity question comes first.
    c.sas = s.sas_prompt.has_value() && !c.identity;
    c.paired = link_healthy(s) && !s.sas_prompt;
    return c;
}

std::size_t visible_device_rows(const UiState& s, const Metrics& m) {
    // Rows, and the card below them, stop where the notices at the bottom begin.
    const ConnectCards c = connect_cards(s);
    const int card = c.identity || c.sas || c.paired ? 286 - 92 : 0;
    const int room = std::max(m.H - 100 - 92 - card, 38);
    return std::min<std::size_t>(s.devices.size(), static_cast<std::size_t>(room / 38));
}

int notification_scroll(const UiState& s, const Metrics& m) {
    const int rows = static_cast<int>(s.notifications.size());
    return std::clamp(s.notification_scroll, 0, std::max(rows - notification_visible_rows(m), 0));
}

bool notification_has_code(const PhoneNotification& n) { return extract_code(n.title, n.text).has_value(); }

bool transfer_cancellable(const TransferRow& row) {
    static constexpr std::array<std::string_view, 6> kRunning = {"发送中", "等待 TCP 通道", "等待链路排空",
                                                                 "续传中", "接收中", "重传中"};
    return row.percent <= 99 && std::find(kRunning.begin(), kRunning.end(), row.status) != kRunning.end();
}

bool transfer_openable(const TransferRow& row) {
    return row.direction == TransferDirection::Receive && row.status == "已完成" && !row.saved_path.empty();
}

std::vector<FileListRow> file_list_rows(const UiState& s) {
    std::vector<FileListRow> rows;
    for (std::size_t i = 0; i < s.send_queue.size() && rows.size() < kMaxFileRows; ++i) {
        rows.push_back({true, i, true, false});
    }
    for (std::size_t i = 0; i < s.transfer_rows.size() && rows.size() < kMaxFileRows; ++i) {
        const TransferRow& t = s.transfer_rows[i];
        rows.push_back({false, i, transfer_cancellable(t), transfer_openable(t)});
    }
    return rows;
}

std::vector<ModuleRow> module_rows(const UiSettings& s, LoadedModules loaded) {
    return {
        {"通知同步", "接收手机通知并在电脑侧提醒", "手机通知将不再推送到电脑", s.feat_notifications, loaded.notifications()},
        {"剪贴板同步", "两端复制的文本互相同步", "两端复制内容将不再互相同步", s.feat_clipboard, loaded.clipboard()},
        {"文件传输", "局域网收发文件，并承载 TCP 通道与设备发现", "将无法收发文件，局域网通道（TCP/UDP 发现）也不会启动",
         s.feat_file_transfer, loaded.file_transfer()},
        {"媒体控制", "在电脑上查看手机正在放什么并控制播放", "电脑上将不再显示和控制手机的播放", s.feat_media, loaded.media()},
        {"相册互传", "在电脑上浏览手机照片，多选导出或单张拖出", "「相册」页将从导航里消失，照片预览、导出与拖出都不可用",
         s.feat_album, loaded.album()},
    };
}

std::size_t pending_module_changes(const UiSettings& s, LoadedModules loaded) {
    std::size_t n = 0;
    for (const auto& row : module_rows(s, loaded)) n += row.switched_on != row.loaded;
    return n;
}

std::vector<SettingsSwitch> settings_switches(const UiSettings& s) {
    std::string autostart(autostart_description({s.autostart_present, s.autostart_ours}));
    return {
        {"消息弹窗", "手机通知到达时弹出桌面系统通知", s.toast_enabled, kActToast},
        {"弹窗显示正文",
         s.toast_show_content ? "弹窗中直接显示通知内容（关闭后仅提示收到通知）" : "当前仅提示「收到一条通知」，不显示内容",
         s.toast_show_content, kActToastContent},
        {"剪贴板自动同步", "复制的纯文本自动推送到对端", s.clip_sync, kActClipSync},
        {"自动连接已绑定设备",
         s.auto_connect ? "启动与掉线后自动连回（换身份仍要人工确认）" : "当前每次都要在「连接」页手动点一次设备",
         s.auto_connect, kActAutoConnect},
        {"开机自启动", std::move(autostart), s.autostart_present, kActAutostart},
        {"Debug 模式",
         s.debug_enabled ? "全栈运行日志已开启（落盘 Dovan\\Logs，可导出给开发者）" : "开启后持续记录全栈运行状态与错误，便于定位问题",
         s.debug_enabled, kActDebug},
    };
}

namespace {
// Which of `positions` offsets a pointer at `y` on a track asks for.
int scroll_on_track(const Rect& track, int positions, double y) {
    if (positions <= 0 || track.h() <= 0) return 0;
    const double f = std::clamp((y - track.t) / track.h(), 0.0, 1.0);
    return std::clamp(static_cast<int>(f * (positions + 1)), 0, positions);
}
}  // namespace

int album_scroll_from_pointer(const Metrics& m, const AlbumRange& range, double y) {
    return scroll_on_track(album_scrollbar_rect(m), range.max_scroll_row, y);
}
int notification_scroll_from_pointer(const Metrics& m, int rows, double y) {
    return scroll_on_track(notification_scrollbar_rect(m), std::max(rows - notification_visible_rows(m), 0), y);
}

std::string clock_duration(std::uint64_t ms) {
    const std::uint64_t total = ms / 1000, h = total / 3600, mnt = total % 3600 / 60, sec = total % 60;
    char buf[48];
    if (h > 0) {
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                      static_cast<unsigned long long>(mnt), static_cast<unsigned long long>(sec));
    } else {
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(mnt),
                      static_cast<unsigned long long>(sec));
    }
    return buf;
}

std::string human_size(std::uint64_t bytes) {
    char buf[48];
    if (bytes < 1024) {
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1024ull * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f KB", bytes / 1024.0);
    } else if (bytes < 1024ull * 1024 * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f MB", bytes / (1024.0 * 1024));
    } else {
        std::snprintf(buf, sizeof buf, "%.1f GB", bytes / (1024.0 * 1024 * 1024));
    }
    return buf;
}

}  // namespace dovan
