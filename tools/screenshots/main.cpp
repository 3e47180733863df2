// Renders every page of the window in representative states, light and dark, at 100 % and
// 150 %, into PNG files: screenshots OUTDIR. Runs offscreen (QT_QPA_PLATFORM=offscreen).
#include <QBuffer>
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "desktop/main_window.h"
#include "desktop/qt_canvas.h"
#include "desktop/thumbnail_decoder.h"
#include "shell/actions.h"
#include "shell/layout.h"

namespace {

using namespace dovan;
using namespace std::chrono_literals;

constexpr std::uint64_t kWallMs = 1733700000000ULL;
const Instant kNow = Instant{} + std::chrono::hours(5);

Bytes jpeg_of(int w, int h, int hue) {
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor::fromHsv(hue, 120, 230));
    g.setColorAt(1, QColor::fromHsv((hue + 60) % 360, 200, 120));
    p.fillRect(img.rect(), g);
    p.setBrush(QColor::fromHsv((hue + 180) % 360, 90, 250));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(w * 0.7, h * 0.3), w * 0.12, w * 0.12);
    p.setBrush(QColor::fromHsv((hue + 30) % 360, 160, 90));
    p.drawPolygon(QPolygonF({QPointF(0, h), QPointF(w * 0.35, h * 0.45), QPointF(w * 0.7, h), QPointF(0, h)}));
    p.end();
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPG", 85);
    return Bytes(out.begin(), out.end());
}

UiState base_state() {
    UiState s = initial_ui_state();
    s.settings.inbox = "/home/lin/Downloads/Dovan";
    s.local_fingerprint = "3f9a1c0e7b2d4a65";
    return s;
}

void make_paired(UiState& s) {
    s.paired = true;
    s.engine_state = kEnginePaired;
    s.ms_since_rx = 1200;
    s.tcp_ready = true;
    s.peer_name = "Pixel 8";
    s.peer_fingerprint = "a41c9e03d2b7f615";
    s.peer_address = "192.168.1.23";
    s.devices = {{0x0000A4C1382F9E01ull, "Pixel 8"}};
    s.device_status = DeviceStatusView{1, 18, 0};
    s.bound_devices = {{"a41c9e03d2b7f615", "Pixel 8"}, {"77be01c4d9e2aa30", ""}};
}

struct Shot {
    std::string name;
    std::function<UiState()> build;
    LoadedModules modules{0x1f};
    // The client size at 100 %.
    int width = kDefaultClientW;
    int height = kDefaultClientH;
};

std::vector<Shot> shots() {
    std::vector<Shot> v;
    v.push_back({"connect-scanning", [] { return base_state(); }});
    v.push_back({"connect-sas", [] {
                     UiState s = base_state();
                     s.engine_state = 3;
                     s.devices = {{0x0000A4C1382F9E01ull, "Pixel 8"},
                                  {0x00001B2C3D4E5F60ull, "一个名字特别特别长的手机设备名称，长到一行放不下也要好好地截断显示才行"}};
                     s.connecting = 0x0000A4C1382F9E01ull;
                     s.sas_prompt = 42917;
                     s.add_notice("TCP 通道断开: 对端关闭连接");
                     s.add_notice("TCP 通道断开: 对端关闭连接");
                     s.add_notice("已连接 Pixel 8，开始握手");
                     return s;
                 }});
    v.push_back({"connect-paired", [] {
                     UiState s = base_state();
                     make_paired(s);
                     s.add_notice("绑定完成：Pixel 8");
                     return s;
                 }});
    v.push_back({"connect-identity", [] {
                     UiState s = base_state();
                     s.paired = true;
                     s.engine_state = 6;
                     s.devices = {{0x0000A4C1382F9E01ull, "Pixel 8"}};
                     s.identity_change = IdentityChangePrompt{"Pixel 8", "a41c9e03d2b7f615", "0c55e2917ab3d408"};
                     return s;
                 }});
    v.push_back({"notifications", [] {
                     UiState s = base_state();
                     make_paired(s);
                     PhoneNotification a;
                     a.title = "【银行】动账提醒";
                     a.text = "您的验证码为 482913，5 分钟内有效，请勿告知他人。";
                     a.post_ts_ms = kWallMs;
                     PhoneNotification b;
                     b.title = "张三";
                     b.text = "晚上七点在老地方见？顺便把上次借的书带上 📚";
                     b.post_ts_ms = kWallMs - std::uint64_t{3600} * 1000;
                     b.can_reply = true;
                     b.notification_id = 7;
                     PhoneNotification c;
                     c.title = "";
                     c.text = "";
                     c.post_ts_ms = 0;
                     PhoneNotification d;
                     d.title = "Build \u202Egnp.exe\u202C finished";
                     d.text = std::string(300, 'x') + " 超长正文应当截断";
                     d.post_ts_ms = kWallMs - 60000;
                     s.notifications = {a, b, c, d};
                     s.reply_target = b.reply_target();
                     s.reply_box = "好的，七点见";
                     s.focus = InputFocus::ReplyBox;
                     s.reply_status = ReplyStatus{"已发送", true, kNow - 1s};
                     return s;
                 }});
    v.push_back({"notifications-empty", [] {
                     UiState s = base_state();
                     s.page = Page::Notifications;
                     return s;
                 }});
    v.push_back({"clipboard", [] {
                     UiState s = base_state();
                     make_paired(s);
                     s.clip_last_received = "https://example.org/一篇很长的文章/它的地址也很长很长很长很长很长很长很长很长很长很长很长很长很长";
                     s.settings.clip_sync = false;
                     return s;
                 }});
    auto files = [] {
                     UiState s = base_state();
                     make_paired(s);
                     s.send_box = "/home/lin/文档/季度报告-最终版.pdf";
                     s.send_queue = {{"/home/lin/图片/合影.jpg", 3'482'113}, {"/home/lin/视频/旅行.mp4", 812'000'000}};
                     auto add = [&](TransferDirection d, const char* name, const char* status, std::uint8_t pct, std::uint32_t speed) {
                         TransferRow r;
                         r.direction = d;
                         r.name = name;
                         r.status = status;
                         r.percent = pct;
                         r.speed_kib = speed;
                         if (d == TransferDirection::Receive && r.status == "已完成")
                             r.saved_path = std::string("/home/lin/下载/Dovan/") + name;
                         s.transfer_rows.push_back(r);
                     };
                     add(TransferDirection::Send, "季度报告-最终版.pdf", "发送中", 42, 5320);
                     add(TransferDirection::Receive, "IMG_20241208_232000.jpg", "已完成", 100, 0);
                     add(TransferDirection::Receive, "录音 2024-12-08 会议纪要（完整版，含附件与批注说明）.m4a", "校验失败", 87, 0);
                     add(TransferDirection::Receive, "2024 年度项目资料汇总（含全部附件、批注与最终确认版）.zip", "已完成", 100, 0);
                     add(TransferDirection::Send, "安装包.deb", "等待 TCP 通道", 0, 0);
                     return s;
                 };
    v.push_back({"files", files});
    // The least window: the finished rows' two buttons still leave room for the names.
    v.push_back({"files-narrow", files, LoadedModules{0x1f}, kMinClientW, kMinClientH});
    v.push_back({"files-empty", [] {
                     UiState s = base_state();
                     s.page = Page::Files;
                     return s;
                 }});
    v.push_back({"media", [] {
                     UiState s = base_state();
                     make_paired(s);
                     s.media = MediaView{"夜空中最亮的星", "逃跑计划", "世界", "com.netease.cloudmusic", true, 83'000, 252'000, 150, 35};
                     return s;
                 }});
    v.push_back({"media-empty", [] {
                     UiState s = base_state();
                     s.page = Page::Media;
                     return s;
                 }});
    v.push_back({"features", [] {
                     UiState s = base_state();
                     s.settings.feat_media = false;
                     s.settings.feat_album = false;
                     return s;
                 }});
    v.push_back({"settings", [] {
                     UiState s = base_state();
                     make_paired(s);
                     s.settings.debug_enabled = true;
                     s.settings.autostart_present = true;
                     s.settings.autostart_ours = true;
                     s.settings.theme = 0;
                     s.settings.close_behavior = 1;
                     s.manual_ip_box = "192.168.1.";
                     s.focus = InputFocus::ManualIp;
                     return s;
                 }});
    v.push_back({"settings-foreign", [] {
                     UiState s = base_state();
                     s.settings.toast_enabled = false;
                     s.settings.toast_show_content = false;
                     s.settings.auto_connect = false;
                     s.settings.autostart_present = true;
                     s.settings.autostart_ours = false;
                     s.settings.close_behavior = 0;
                     return s;
                 }});
    v.push_back({"album", [] {
                     UiState s = base_state();
                     make_paired(s);
                     AlbumView& a = s.album;
                     a.total = 1342;
                     a.per_page = 15;
                     a.page = 2;
                     for (int i = 0; i < 15; ++i) {
                         AlbumItemView it;
                         it.id = 1000 + static_cast<std::uint64_t>(i);
                         it.name = "IMG_" + std::to_string(i) + ".jpg";
                         it.width = 4032;
                         it.height = 3024;
                         it.mtime_ms = kWallMs;
                         if (i == 4) {
                             it.kind = 1;
                             it.duration_ms = 3'725'000;
                         }
                         a.items.push_back(it);
                         if (i < 9) a.thumbnails[it.id] = ThumbnailEntry{jpeg_of(i % 2 ? 160 : 120, i % 2 ? 120 : 160, i * 37), {}};
                     }
                     a.thumbnails[1009] = ThumbnailEntry{std::string("手机读不到这张图"), {}};
                     a.thumbnails[1010] = ThumbnailEntry{Bytes{0xff, 0xd8, 0xff, 0xe0, 0x00}, {}};
                     a.thumbnail_queue = {1011, 1012};
                     a.selection = {1001, 1003};
                     a.drag_files[1003] = "/tmp/Dovan/IMG_3.jpg";
                     s.hover = {kActAlbumCell, 4};
                     return s;
                 }});
    v.push_back({"about", [] {
                     UiState s = base_state();
                     s.page = Page::About;
                     return s;
                 }});
    v.push_back({"dialog-restart", [] {
                     UiState s = base_state();
                     s.page = Page::Features;
                     s.settings.feat_clipboard = false;
                     s.settings.feat_album = false;
                     s.restart_dialog = true;
                     return s;
                 }});
    v.push_back({"dialog-close", [] {
                     UiState s = base_state();
                     make_paired(s);
                     s.close_dialog = true;
                     s.remember_close_choice = true;
                     return s;
                 }});
    v.push_back({"no-album-module", [] {
                     UiState s = base_state();
                     s.page = Page::Media;
                     s.settings.feat_album = false;
                     return s;
                 },
                 LoadedModules{0x0f}});
    return v;
}

Page page_for(const std::string& name) {
    if (name.starts_with("notifications")) return Page::Notifications;
    if (name.starts_with("clipboard")) return Page::Clipboard;
    if (name.starts_with("files")) return Page::Files;
    if (name.starts_with("media")) return Page::Media;
    if (name.starts_with("features")) return Page::Features;
    if (name.starts_with("settings")) return Page::Settings;
    if (name.starts_with("album")) return Page::Album;
    return Page::Connect;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: screenshots OUTDIR\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    PaintResources resources;
    int written = 0;
    for (const auto& shot : shots()) {
        for (const double scale : {1.0, 1.5}) {
            for (const int theme : {1, 2}) {
                UiState s = shot.build();
                if (s.page == Page::Connect && shot.name != "dialog-close") s.page = page_for(shot.name);
                s.settings.theme = static_cast<std::uint8_t>(theme);
                QtThumbnails thumbs;
                const int w = round_half_away(shot.width * scale), h = round_half_away(shot.height * scale);
                // Thumbnails decode on a worker: render until every picture is back.
                QImage img;
                for (int pass = 0; pass < 4; ++pass) {
                    img = render_window(s, shot.modules, w, h, scale, SystemLook::Light, kNow, kWallMs, "0.5.3", &thumbs,
                                        resources);
                    thumbs.wait_idle(std::chrono::seconds(10));
                }
                const std::string file = shot.name + (theme == 2 ? "-dark" : "-light") + (scale > 1 ? "-150" : "-100") + ".png";
                if (!img.save(QString::fromStdString((out / file).string()), "PNG")) {
                    std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
                    return 1;
                }
                ++written;
            }
        }
    }
    std::printf("screenshots: %d pictures in %s\n", written, out.c_str());
    return 0;
}
