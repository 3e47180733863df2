#include "shell/paint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "shell/actions.h"
#include "shell/view_rules.h"
#include "received_row.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;

constexpr LoadedModules kAll{0x1f};
const Instant kNow = Instant{} + std::chrono::hours(3);

struct Painted {
    RecordingCanvas canvas;
    PaintResult result;
};

// A thumbnail source that decodes nothing real: bytes starting with 0xFF are "decoded",
// with 0xFE still being decoded.
class FakeThumbnails final : public ThumbnailSource {
public:
    void begin_paint(const std::vector<std::uint64_t>& visible) override { visible_ = visible; }
    ThumbnailReadiness prepare(std::uint64_t id, const std::vector<std::uint8_t>& jpeg) override {
        if (!jpeg.empty() && jpeg[0] == 0xFE) return ThumbnailReadiness::pending();
        if (jpeg.empty() || jpeg[0] != 0xFF) return ThumbnailReadiness::failed("读出像素失败: 坏数据");
        decoded_.insert(id);
        return ThumbnailReadiness::ready();
    }
    std::size_t cached_count() const override { return decoded_.size(); }
    std::uint64_t cached_bytes() const override { return decoded_.size() * 1048576; }
    std::vector<std::uint64_t> visible_;
    std::set<std::uint64_t> decoded_;
};

Painted paint(const UiState& s, LoadedModules modules = kAll, SystemLook look = SystemLook::Light,
              ThumbnailSource* thumbs = nullptr, int w = 960, int h = 660) {
    Painted p;
    PaintInput in(s, modules, Metrics::from_pixels(w, h, 96));
    in.system = look;
    in.now = kNow;
    in.wall_ms = 1733700000000ULL;
    in.version = "0.5.3";
    in.thumbnails = thumbs;
    p.result = paint_window(p.canvas, in);
    return p;
}

bool has(const Painted& p, std::string_view text) { return p.canvas.find_text(text) != nullptr; }

UiState healthy() {
    UiState s = initial_ui_state();
    s.paired = true;
    s.engine_state = kEnginePaired;
    s.ms_since_rx = 100;
    return s;
}

// The tray's tip follows the link: the phone's name while it is connected, the idle text
// otherwise (a quiet link counts as gone, as the connect page says).
TEST(Tray, TipSaysWhetherAPhoneIsConnected) {
    UiState s = initial_ui_state();
    EXPECT_EQ(tray_tooltip(s), "Dovan — 待机");
    s = healthy();
    s.peer_name = "Pixel 8";
    EXPECT_EQ(tray_tooltip(s), "Dovan — 已连接 Pixel 8");
    s.peer_name.clear();
    EXPECT_EQ(tray_tooltip(s), "Dovan — 已连接 对端设备");
    s.ms_since_rx = kQuietAfterMs;
    EXPECT_EQ(tray_tooltip(s), "Dovan — 待机");
}

TEST(ConnectPage, StatusLineNamesTheFirstFittingReason) {
    struct Case {
        const char* name;
        bool paired;
        std::uint8_t engine;
        bool identity;
        std::uint64_t quiet_ms;
        std::string expected;
    };
    const Case cases[] = {
        {"healthy", true, 4, false, 100, "已配对 · 已发现 1 台设备"},
        {"handshake", false, 1, false, 0, "正在握手… · 已发现 1 台设备"},
        {"pairing", false, 2, false, 0, "配对中… · 已发现 1 台设备"},
        {"comparing", false, 3, false, 0, "待人工比对 SAS · 已发现 1 台设备"},
        {"never paired", false, 0, false, 0, "未连接 · 还没连上手机（点下方设备行连接） · 已发现 1 台设备"},
        {"identity changed", true, 4, true, 0, "未连接 · 对端身份已变化，等你确认 · 已发现 1 台设备"},
        {"link coming up", true, 6, false, 100, "未连接 · 链路还没起来 · 已发现 1 台设备"},
        {"gone quiet", true, 4, false, 25000, "未连接 · 已经收不到手机的消息 · 已发现 1 台设备"},
    };
    for (const auto& c : cases) {
        UiState s = initial_ui_state();
        s.paired = c.paired;
        s.engine_state = c.engine;
        s.ms_since_rx = c.quiet_ms;
        if (c.identity) s.identity_change = IdentityChangePrompt{"P", "1111", "2222"};
        s.devices = {{0x1, "Pixel"}};
        const Painted p = paint(s);
        const auto* line = p.canvas.find_text(c.expected);
        ASSERT_NE(line, nullptr) << c.name;
        EXPECT_EQ(line->x, c.engine == 0 ? 226 : 208) << c.name << ": the spinner only while discovering";
        EXPECT_EQ(line->color == palette(false)[kSuccess], std::string(c.name) == "healthy") << c.name;
    }
}

TEST(ConnectPage, BatteryColoursAndForms) {
    struct Case {
        std::int32_t level;
        std::uint8_t charging;
        std::string text;
        int colour;
    };
    const Case cases[] = {
        {20, 0, "20%", kError}, {21, 0, "21%", kTextPrimary}, {5, 1, "5% 充电中", kSuccess}, {-1, 2, "电量未知", kTextSecondary},
    };
    for (const auto& c : cases) {
        UiState s = healthy();
        s.device_status = DeviceStatusView{1, c.level, c.charging};
        const Painted p = paint(s);
        const auto* t = p.canvas.find_text(c.text);
        ASSERT_NE(t, nullptr) << c.text;
        EXPECT_EQ(t->color, palette(false)[static_cast<std::size_t>(c.colour)]) << c.text;
    }
    // No battery data at all: no battery line and no battery icon.
    const Painted none = paint(healthy());
    EXPECT_EQ(none.canvas.find_text_containing("%"), nullptr);
    EXPECT_EQ(none.canvas.find_text("电量未知"), nullptr);
}

TEST(ConnectPage, PairedCardChannelLines) {
    struct Case {
        std::string address;
        bool tcp;
        std::string expected;
    };
    const Case cases[] = {
        {"10.0.0.2", true, "对端 10.0.0.2 · TCP 通道已就绪"},
        {"10.0.0.2", false, "对端 10.0.0.2（TCP 通道建立中…）"},
        {"", true, "TCP 通道已就绪"},
        {"", false, "TCP 通道建立中…"},
    };
    for (const auto& c : cases) {
        UiState s = healthy();
        s.peer_address = c.address;
        s.tcp_ready = c.tcp;
        s.peer_fingerprint = "0123456789abcdef";
        const Painted p = paint(s);
        EXPECT_TRUE(has(p, c.expected)) << c.expected;
        EXPECT_TRUE(has(p, "对端设备")) << "an empty peer name reads as the generic one";
        EXPECT_TRUE(has(p, "设备指纹 0123456789abcdef"));
    }
}

TEST(ConnectPage, ScanningAndCardsOneRowDown) {
    UiState s = initial_ui_state();
    s.sas_prompt = 7;
    const Painted p = paint(s);
    EXPECT_TRUE(has(p, "正在扫描 Dovan 设备…（请在手机上打开 Dovan）"));
    EXPECT_TRUE(has(p, "000007")) << "the digits are zero-padded to six";
    EXPECT_EQ(p.canvas.find_text("000007")->kind, FontKind::Digits);
    const auto* confirm = p.canvas.find_text("确认一致");
    ASSERT_NE(confirm, nullptr);
    const Rect r = sas_confirm_rect(38);
    EXPECT_GE(confirm->x, r.l);
    EXPECT_GE(confirm->y, r.t);
    EXPECT_LT(confirm->y, r.b);
}

// Without a BLE stack nothing scans: the page says so and what it takes, whole, and the
// reason stays in the notice below.
TEST(ConnectPage, WithoutBluetoothItSaysWhatToFixAndDoesNotClaimToScan) {
    UiState s = initial_ui_state();
    s.add_notice("BLE 初始化失败: bluetoothd not running");
    s.ble_failure = "bluetoothd not running";
    const Painted p = paint(s);
    EXPECT_EQ(p.canvas.find_text_containing("扫描 Dovan 设备"), nullptr);
    for (const char* t : {"未连接 · 没有可用的蓝牙 · 已发现 0 台设备", "没有可用的蓝牙，Dovan 没有在扫描。请检查后重新启动 Dovan：",
                          "① 蓝牙适配器已插好、未被屏蔽并已打开（rfkill unblock bluetooth，bluetoothctl power on）",
                          "② bluetoothd 在运行（systemctl enable --now bluetooth）③ 可访问 org.bluez（bluetooth 组）",
                          "BLE 初始化失败: bluetoothd not running"})
        EXPECT_TRUE(has(p, t)) << t;
    EXPECT_EQ(p.canvas.count(RecordingCanvas::Op::Circle), 0) << "no scanning pulse";
}

TEST(ConnectPage, DeviceRowsCutLongNamesAndShowTheId) {
    UiState s = initial_ui_state();
    const std::string long_name(1000, 'n');
    s.devices = {{0x0000A4C1382F9E01ull, long_name}, {0xFFFF123456789ABCull, "Mate"}};
    s.connecting = 0xFFFF123456789ABCull;
    const Painted p = paint(s);
    EXPECT_TRUE(has(p, "A4C1382F9E01"));
    EXPECT_TRUE(has(p, "123456789ABC")) << "twelve digits, the top of the id left out";
    const auto* name = p.canvas.find_text_containing("nnn");
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(name->text.ends_with("…"));
    EXPECT_LT(name->text.size(), 200u);
    // The row being connected is tinted.
    const Rect row = device_row_rect(Metrics::from_pixels(960, 660, 96), 1);
    const auto& calls = p.canvas.calls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const auto& c) {
        return c.op == RecordingCanvas::Op::FillRound && c.rect.t >= row.t && c.rect.b <= row.b && c.color == palette(false)[kAccentTint];
    }));
}

TEST(ConnectPage, IdentityCardAndNotices) {
    UiState s = initial_ui_state();
    s.identity_change = IdentityChangePrompt{"", "aaaa", "bbbb"};
    s.add_notice("一");
    s.add_notice("二");
    s.add_notice("二");
    const Painted p = paint(s);
    EXPECT_TRUE(has(p, "对端设备身份已变化，需重新配对确认"));
    EXPECT_TRUE(has(p, "设备「对端设备」（可能已重装或重置）"));
    EXPECT_TRUE(has(p, "旧身份 aaaa"));
    ASSERT_TRUE(has(p, "新身份 bbbb"));
    EXPECT_EQ(p.canvas.find_text("新身份 bbbb")->color, palette(false)[kAccentText]);
    EXPECT_TRUE(has(p, "信任并重新配对"));
    const auto* newest = p.canvas.find_text("二（重复 2 次）");
    const auto* older = p.canvas.find_text("一");
    ASSERT_NE(newest, nullptr);
    ASSERT_NE(older, nullptr);
    EXPECT_LT(newest->y, older->y) << "newest first, 18 apart";
    EXPECT_EQ(older->y - newest->y, 18);
}

TEST(NotificationsPage, RowsTimesButtonsAndEmpty) {
    UiState s = healthy();
    s.page = Page::Notifications;
    EXPECT_TRUE(has(paint(s), "暂无通知"));
    PhoneNotification a;
    a.title = "银行";
    a.text = "验证码 482913";
    a.post_ts_ms = 1733700000000ULL;
    PhoneNotification b;
    b.can_reply = true;
    s.notifications = {a, b};
    const Painted p = paint(s);
    EXPECT_TRUE(has(p, "23:20:00"));
    EXPECT_TRUE(has(p, "--"));
    EXPECT_TRUE(has(p, "(无标题)"));
    EXPECT_TRUE(has(p, "（内容未同步）"));
    EXPECT_TRUE(has(p, "点击任意通知即可复制正文"));
    const auto texts = p.canvas.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "复制验证码"), 1) << "only the row with a code";
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "复制全文"), 2);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "回复"), 1) << "only the row that can be replied to";
}

TEST(NotificationsPage, HintsAgeOut) {
    struct Case {
        const char* name;
        std::optional<Duration> reply_age;
        bool reply_ok;
        std::optional<Duration> copy_age;
        std::string expected;
        int colour;
    };
    const Case cases[] = {
        {"fresh reply status", 3s, false, std::nullopt, "对方没收到", kError},
        {"reply status wins over a copy", 1s, true, 1s, "对方没收到", kSuccess},
        {"copied", 5s, true, 1500ms, "已复制到剪贴板", kSuccess},
        {"both stale", 5s, true, 2s, "点击任意通知即可复制正文", kHint},
    };
    for (const auto& c : cases) {
        UiState s = healthy();
        s.page = Page::Notifications;
        s.notifications = {PhoneNotification{}};
        if (c.reply_age) s.reply_status = ReplyStatus{"对方没收到", c.reply_ok, kNow - *c.reply_age};
        if (c.copy_age) s.self_clipboard = SelfWrittenClipboard{"x", kNow - *c.copy_age};
        const Painted p = paint(s);
        const auto* t = p.canvas.find_text(c.expected);
        ASSERT_NE(t, nullptr) << c.name;
        EXPECT_EQ(t->color, palette(false)[static_cast<std::size_t>(c.colour)]) << c.name;
    }
}

TEST(NotificationsPage, ScrollBarOnlyWhenRowsOverflow) {
    UiState s = healthy();
    s.page = Page::Notifications;
    s.notifications.resize(8);
    const Metrics m = Metrics::from_pixels(960, 660, 96);
    auto track_drawn = [&](const Painted& p) {
        const Rect track = notification_scrollbar_rect(m);
        return std::any_of(p.canvas.calls().begin(), p.canvas.calls().end(),
                           [&](const auto& c) { return c.op == RecordingCanvas::Op::FillRound && c.rect == track; });
    };
    EXPECT_FALSE(track_drawn(paint(s)));
    s.notifications.resize(9);
    EXPECT_TRUE(track_drawn(paint(s)));
}

TEST(FilesPage, AtMostEightRowsQueuedFirst) {
    UiState s = healthy();
    s.page = Page::Files;
    s.send_queue = {{"/q/one.txt", 10}, {"/q/two.txt", 2048}};
    for (int i = 0; i < 9; ++i) {
        TransferRow r;
        r.name = "t" + std::to_string(i) + ".bin";
        r.status = "接收中";
        r.direction = TransferDirection::Receive;
        s.transfer_rows.push_back(r);
    }
    const Painted p = paint(s);
    EXPECT_TRUE(has(p, "待发送 · 传输列表（最近 8 条）"));
    EXPECT_TRUE(has(p, "one.txt"));
    EXPECT_TRUE(has(p, "待发送 · 2.0 KB"));
    EXPECT_TRUE(has(p, "t5.bin"));
    EXPECT_FALSE(has(p, "t6.bin")) << "both queued files and the six newest transfers";
    const auto texts = p.canvas.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "移除"), 2);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "取消"), 6);
}

TEST(FilesPage, StatusLineColoursSpeedAndCancel) {
    struct Case {
        std::string status;
        std::uint8_t percent;
        std::uint32_t speed;
        std::string line;
        int colour;
        bool cancel;
    };
    const Case cases[] = {
        {"发送中", 42, 5320, "发送中 42% · 5.2 MB/s", kTextSecondary, true},
        {"已完成", 100, 0, "已完成 100%", kSuccess, false},
        {"失败", 3, 0, "失败 3%", kError, false},
        {"校验失败", 99, 0, "校验失败 99%", kError, false},
        {"续传中", 99, 0, "续传中 99%", kTextSecondary, true},
        {"接收中", 100, 0, "接收中 100%", kTextSecondary, false},
    };
    for (const auto& c : cases) {
        UiState s = healthy();
        s.page = Page::Files;
        TransferRow r;
        r.name = "x.bin";
        r.status = c.status;
        r.percent = c.percent;
        r.speed_kib = c.speed;
        s.transfer_rows = {r};
        const Painted p = paint(s);
        const auto* line = p.canvas.find_text(c.line);
        ASSERT_NE(line, nullptr) << c.line;
        EXPECT_EQ(line->color, palette(false)[static_cast<std::size_t>(c.colour)]) << c.line;
        EXPECT_EQ(has(p, "取消"), c.cancel) << c.line;
    }
}

// A received file that was saved shows "打开" and "打开所在文件夹" whole, right-aligned in
// its row; its name and status line are cut before them, at the window's least width too.
TEST(FilesPage, AFinishedReceivedRowShowsOpenAndFolderButtons) {
    UiState s = healthy();
    s.page = Page::Files;
    TransferRow done = finished_received_row("一个很长很长的文件名，长到一行放不下也要在按钮前面截断.pdf", "/in/x.pdf");
    TransferRow unsaved = done;
    unsaved.name = "b.pdf";
    unsaved.saved_path.clear();
    TransferRow sent = done;
    sent.name = "c.pdf";
    sent.direction = TransferDirection::Send;
    TransferRow running = done;
    running.name = "d.pdf";
    running.status = "接收中";
    running.percent = 30;
    s.transfer_rows = {done, unsaved, sent, running};
    for (int w : {kMinClientW, 960}) {
        const Painted p = paint(s, kAll, SystemLook::Light, nullptr, w, 660);
        const auto texts = p.canvas.texts();
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "打开"), 1) << w;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "打开所在文件夹"), 1) << w;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "取消"), 1) << w << ": only the running row";
        const Metrics m = Metrics::from_pixels(w, 660, 96);
        const FileOpenButtons b = file_row_open_buttons(m, 0);
        const Rect row = file_row_rect(m, 0);
        RecordingCanvas measure;
        for (const auto& c : p.canvas.calls()) {
            if (c.op != RecordingCanvas::Op::Text || c.y < row.t || c.y >= row.b) continue;
            const double right = c.x + measure.text_width(c.text, c.kind);
            if (c.text == "打开" || c.text == "打开所在文件夹") {
                const Rect& r = c.text == "打开" ? b.open : b.reveal;
                EXPECT_GE(c.x, r.l) << c.text << " at " << w;
                EXPECT_LE(right, r.r) << c.text << " at " << w;
            } else {
                EXPECT_LE(right, b.open.l) << c.text << " runs under the buttons at " << w;
            }
        }
        EXPECT_EQ(p.canvas.find_text(done.name), nullptr) << "the long name is cut";
        EXPECT_NE(p.canvas.find_text_containing("一个很长"), nullptr);
    }
}

TEST(FilesPage, ChannelLineVariantsAndEmptyList) {
    struct Case {
        bool paired, tcp;
        std::string address, expected;
    };
    const Case cases[] = {
        {true, true, "10.1.1.1", "TCP 通道已就绪 · UDP 发现对端 10.1.1.1 · 256KB 分块"},
        {true, true, "", "TCP 通道已就绪 · UDP 发现中（信标每 3s 广播）· 256KB 分块"},
        {true, false, "", "TCP 通道未就绪（UDP 发现中，等待手机接入 55676）· 文件将排队等待"},
        {false, false, "", "未连接：请先在「连接」页与手机完成配对"},
    };
    for (const auto& c : cases) {
        UiState s = c.paired ? healthy() : initial_ui_state();
        s.page = Page::Files;
        s.tcp_ready = c.tcp;
        s.peer_address = c.address;
        const Painted p = paint(s);
        EXPECT_TRUE(has(p, c.expected)) << c.expected;
        EXPECT_TRUE(has(p, "暂无传输任务"));
        EXPECT_TRUE(has(p, "传输列表（最近 0 条）"));
    }
}

TEST(MediaPage, TrackLineVolumeAndButtons) {
    UiState s = healthy();
    s.page = Page::Media;
    EXPECT_TRUE(has(paint(s), "手机还没有在播放任何东西"));
    EXPECT_TRUE(has(paint(s, LoadedModules{0x17}), "「媒体控制」模块已关闭：请到「功能」页开启并重新启动"));
    s.media = MediaView{"", "歌手", "专辑", "", false, 65'000, 3'725'000, 150, -1};
    Painted p = paint(s);
    EXPECT_TRUE(has(p, "（该应用未提供曲目名）"));
    EXPECT_TRUE(has(p, "歌手 · 专辑"));
    EXPECT_TRUE(has(p, "已暂停  1.5x  1:05/1:02:05  ·  来源 未知"));
    EXPECT_TRUE(has(p, "手机媒体音量 —（当前无活动播放，读到的 0 不代表静音）"));
    EXPECT_TRUE(has(p, "播放"));
    s.media->playing = true;
    s.media->speed_percent = 200;
    s.media->volume = 35;
    s.media->package = "org.music";
    p = paint(s);
    EXPECT_TRUE(has(p, "播放中  2x  1:05/1:02:05  ·  来源 org.music"));
    EXPECT_TRUE(has(p, "手机媒体音量 35%"));
    EXPECT_TRUE(has(p, "暂停"));
    s.media->speed_percent = 100;
    EXPECT_TRUE(has(paint(s), "播放中  1:05/1:02:05  ·  来源 org.music")) << "normal speed says nothing";
}

TEST(FeaturesPage, PendingChangesAndLoadedList) {
    UiState s = initial_ui_state();
    s.page = Page::Features;
    Painted p = paint(s);
    EXPECT_TRUE(has(p, "本次启动已加载：通知同步、剪贴板同步、文件传输、媒体控制、相册互传"));
    EXPECT_TRUE(has(p, "当前内存占用 未知（重启后按上面的开关重新加载）"));
    EXPECT_FALSE(has(p, "重新启动"));
    s.settings.feat_clipboard = false;
    s.settings.feat_album = true;
    p = paint(s, LoadedModules{0x0f});
    EXPECT_TRUE(has(p, "有 2 项改动待重启生效"));
    EXPECT_TRUE(has(p, "剪贴板同步：重启后不再加载"));
    EXPECT_TRUE(has(p, "相册互传：重启后继续加载"));
    EXPECT_TRUE(has(p, "两端复制内容将不再互相同步")) << "the off text while switched off";
    const auto texts = p.canvas.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "待重启生效"), 2);
    EXPECT_TRUE(has(p, "重新启动"));
    EXPECT_TRUE(has(paint(s, LoadedModules{0}), "本次启动已加载：无（仅保持连接）"));
}

TEST(SettingsPage, LookLineFollowsTheSystem) {
    UiState s = initial_ui_state();
    s.page = Page::Settings;
    EXPECT_TRUE(has(paint(s, kAll, SystemLook::Dark), "当前跟随系统「应用模式」（系统为深色）"));
    EXPECT_TRUE(has(paint(s, kAll, SystemLook::Unknown), "当前跟随系统「应用模式」（系统为浅色）"));
    s.settings.theme = 2;
    const Painted p = paint(s, kAll, SystemLook::Light);
    EXPECT_TRUE(has(p, "已手动指定外观；选「跟随系统」可恢复自动切换"));
    EXPECT_EQ(p.canvas.calls().front().color, palette(true)[kWindowBg]) << "dark chosen by hand";
}

TEST(SettingsPage, SwitchDescriptionsAndBoundDevices) {
    UiState s = initial_ui_state();
    s.page = Page::Settings;
    s.settings.toast_show_content = false;
    s.settings.auto_connect = false;
    s.settings.autostart_present = true;
    s.settings.autostart_ours = false;
    s.settings.close_behavior = 2;
    Painted p = paint(s);
    EXPECT_TRUE(has(p, "当前仅提示「收到一条通知」，不显示内容"));
    EXPECT_TRUE(has(p, "当前每次都要在「连接」页手动点一次设备"));
    EXPECT_TRUE(has(p, "当前启动项不是本机写入的内容"));
    EXPECT_TRUE(has(p, "开启后持续记录全栈运行状态与错误，便于定位问题"));
    EXPECT_TRUE(has(p, "点关闭按钮就退出程序"));
    EXPECT_TRUE(has(p, "退出程序"));
    EXPECT_TRUE(has(p, "尚未发现对端 IP"));
    EXPECT_TRUE(has(p, "暂无已绑定设备（配对成功后出现在这里）"));
    EXPECT_TRUE(has(p, "192.168.1.23")) << "placeholder of the empty box";
    s.bound_devices = {{"f", ""}, {"g", "Pixel"}};
    s.peer_address = "10.0.0.9";
    s.local_fingerprint = "00ff00ff00ff00ff";
    p = paint(s);
    EXPECT_TRUE(has(p, "已绑定设备（2 台，解绑后需重新配对）"));
    EXPECT_TRUE(has(p, "（未知设备）"));
    EXPECT_TRUE(has(p, "对端 10.0.0.9"));
    EXPECT_TRUE(has(p, "本机身份指纹（TOFU 比对基准） 00ff00ff00ff00ff · Core 0.5.3"));

    // On this desktop the texts name the desktop, not Windows.
    for (const bool present : {true, false}) {
        s.settings.autostart_present = present;
        s.settings.autostart_ours = present;
        p = paint(s);
        EXPECT_TRUE(has(p, present ? "登录桌面后自动启动，且不显示主窗口" : "登录桌面后不自动启动"));
        EXPECT_TRUE(has(p, "手机通知到达时弹出桌面系统通知"));
    }
}

AlbumItemView item(std::uint64_t id) {
    AlbumItemView it;
    it.id = id;
    it.width = 4032;
    it.height = 3024;
    it.mtime_ms = 1733700000000ULL;
    return it;
}

TEST(AlbumPage, SubtitleVariants) {
    struct Case {
        LoadedModules modules;
        bool healthy, tcp;
        std::string prefix;
    };
    const Case cases[] = {
        {LoadedModules{0x0f}, true, true, "相册模块已在「功能」页关闭"},
        {kAll, false, true, "未连接：先在「连接」页点一下手机"},
        {kAll, true, true, "手机相册预览（照片 + 视频）"},
        {kAll, true, false, "已配对，但局域网 TCP 通道未就绪"},
    };
    for (const auto& c : cases) {
        UiState s = c.healthy ? healthy() : initial_ui_state();
        s.page = Page::Album;
        s.tcp_ready = c.tcp;
        EXPECT_NE(paint(s, c.modules).canvas.find_text_containing(c.prefix), nullptr) << c.prefix;
    }
}

TEST(AlbumPage, CellsStatusAndHoverLine) {
    UiState s = healthy();
    s.page = Page::Album;
    s.tcp_ready = true;
    AlbumView& a = s.album;
    a.total = 31;
    a.per_page = 15;
    a.page = 1;
    for (std::uint64_t i = 0; i < 6; ++i) a.items.push_back(item(10 + i));
    a.items[5].kind = 1;
    a.items[5].duration_ms = 65'000;
    a.thumbnails[10] = ThumbnailEntry{Bytes{0xFF, 0xD8}, {}};
    a.thumbnails[11] = ThumbnailEntry{std::string("对端读不到"), {}};
    a.thumbnails[12] = ThumbnailEntry{Bytes{0x00}, {}};
    a.thumbnail_queue = {13};
    a.selection = {10};
    a.drag_files[10] = "/tmp/Dovan/a.jpg";
    s.hover = {kActAlbumCell, 1};
    FakeThumbnails thumbs;
    const Painted p = paint(s, kAll, SystemLook::Light, &thumbs);
    EXPECT_TRUE(has(p, "第 2 页（每页 15 张）· 相册共 31 张 · 已选 1 张 · 内存里 1 张缩略图 1.0 MB（约 3 页）"));
    EXPECT_EQ(p.canvas.count(RecordingCanvas::Op::Image), 1);
    EXPECT_TRUE(has(p, "取图失败"));
    EXPECT_TRUE(has(p, "解码失败"));
    EXPECT_TRUE(has(p, "等排队"));
    EXPECT_TRUE(has(p, "载入中…"));
    EXPECT_TRUE(has(p, "1:05")) << "video badge";
    EXPECT_TRUE(has(p, "可拖出"));
    EXPECT_TRUE(has(p, "✓"));
    EXPECT_TRUE(has(p, "4032×3024 · 2024-12-08 23:20 · 缩略图取不到：对端读不到"));
    EXPECT_TRUE(has(p, "滚轮或拖右侧滑块上下翻 · 这一页共 6 张，当前第 1–6 张"));
    // Originals are dragged to the desktop's file manager; no text names Windows' one.
    EXPECT_TRUE(has(p, "单击格子=选中；按住格子拖动=把原件（照片或视频）拖到文件管理器/微信"));
    EXPECT_NE(p.canvas.find_text_containing("按住格子可拖到文件管理器/微信"), nullptr);
    for (const auto& t : p.canvas.texts()) EXPECT_EQ(t.find("资源管理器"), std::string::npos) << t;
    EXPECT_EQ(p.result.thumbnail_wanted, std::optional<std::uint64_t>(14)) << "first shown cell with nothing asked yet";
    EXPECT_EQ(thumbs.visible_.size(), 6u);
    EXPECT_EQ(p.result.album.count, 6u);
}

// A picture still with the decoder shows the loading word, is no failure and asks nothing again.
TEST(AlbumPage, ACellWhosePictureIsBeingDecodedShowsThePlaceholder) {
    UiState s = healthy();
    s.page = Page::Album;
    s.tcp_ready = true;
    AlbumView& a = s.album;
    a.per_page = 15;
    a.items = {item(10), item(11)};
    a.thumbnails[10] = ThumbnailEntry{Bytes{0xFE, 0xD8}, {}};
    a.thumbnails[11] = ThumbnailEntry{Bytes{0xFF, 0xD8}, {}};
    s.hover = {kActAlbumCell, 0};
    FakeThumbnails thumbs;
    const Painted p = paint(s, kAll, SystemLook::Light, &thumbs);
    const auto texts = p.canvas.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "载入中…"), 1);
    EXPECT_FALSE(has(p, "解码失败"));
    EXPECT_EQ(p.canvas.find_text_containing("缩略图取不到"), nullptr);
    EXPECT_EQ(p.canvas.count(RecordingCanvas::Op::Image), 1) << "only the decoded one is drawn";
    EXPECT_EQ(p.result.thumbnail_wanted, std::nullopt) << "its bytes are here: nothing to ask the phone";
}

TEST(AlbumPage, ToolbarStatusAndEmptyTexts) {
    UiState s = healthy();
    s.page = Page::Album;
    Painted p = paint(s);
    EXPECT_TRUE(has(p, "还没有清单：点「刷新」向手机要第一页"));
    EXPECT_TRUE(has(p, "还没有清单：点上面的「刷新」向手机要第一页"));
    EXPECT_TRUE(has(p, "导出(0)…"));
    s.album.loading = true;
    s.album.page = 0;
    EXPECT_TRUE(has(paint(s), "正在向手机请求第 1 页…"));
    s.album.loading = false;
    s.album.error = "没有相册权限";
    p = paint(s);
    EXPECT_TRUE(has(p, "手机侧没能给出清单，原因见上面那行"));
    EXPECT_NE(p.canvas.find_text_containing("手机侧回报：没有相册权限"), nullptr);
    s.album.error.clear();
    s.album.items = {item(1), item(2)};
    s.album.selection = {1, 2};
    p = paint(s);
    EXPECT_TRUE(has(p, "取消全选"));
    EXPECT_TRUE(has(p, "导出(2)…"));
    const auto* hover_none = p.canvas.find_text_containing("×3024");
    EXPECT_EQ(hover_none, nullptr) << "no hovered cell, no size line";
}

TEST(Frame, NavigationAccentGrowsOverTheTransition) {
    struct Case {
        std::optional<Duration> since;
        int height;
    };
    // 32 DIP in full; f = 1 − (1 − e/220)³.
    const Case cases[] = {{0ms, 0}, {110ms, 28}, {219ms, 32}, {500ms, 32}, {std::nullopt, 32}};
    for (const auto& c : cases) {
        UiState s = initial_ui_state();
        s.page = Page::Settings;
        if (c.since) s.transition_start = kNow - *c.since;
        const Painted p = paint(s);
        int bar = 0;
        for (const auto& call : p.canvas.calls()) {
            if (call.op == RecordingCanvas::Op::FillRound && call.rect.l == 0 && call.rect.r == 3) bar = call.rect.h();
        }
        EXPECT_EQ(bar, c.height) << (c.since ? c.since->count() : -1);
    }
}

TEST(Frame, SidebarFooterDialogsAndAbout) {
    UiState s = initial_ui_state();
    s.page = Page::About;
    Painted p = paint(s, LoadedModules{0x0f});
    EXPECT_TRUE(has(p, "Dovan Core 0.5.3"));
    EXPECT_TRUE(has(p, "手机 · 电脑 互联"));
    EXPECT_EQ(p.canvas.find_text("Dovan")->kind, FontKind::Title) << "sidebar title first";
    EXPECT_FALSE(has(p, "相册"));
    EXPECT_FALSE(has(p, "关于") && p.canvas.find_text("关于")->kind == FontKind::Title) << "About has no page title";
    const auto product = std::find_if(p.canvas.calls().begin(), p.canvas.calls().end(),
                                       [](const auto& c) { return c.op == RecordingCanvas::Op::Text && c.kind == FontKind::Product; });
    ASSERT_NE(product, p.canvas.calls().end());
    EXPECT_EQ(product->x, 208);
    EXPECT_EQ(product->y, 92);

    s.page = Page::Features;
    s.settings.feat_media = false;
    s.restart_dialog = true;
    p = paint(s);
    EXPECT_TRUE(has(p, "需要重新启动"));
    EXPECT_TRUE(has(p, "改动已经保存；重新启动后按上面的开关重新加载模块。"));
    EXPECT_TRUE(has(p, "· 媒体控制：重启后不再加载"));
    EXPECT_TRUE(has(p, "稍后启动"));
    s.restart_dialog = false;
    s.close_dialog = true;
    p = paint(s);
    for (const char* t : {"关闭 Dovan？", "最小化到托盘只是收起窗口，程序继续在后台运行。", "取消", "退出程序", "最小化到托盘",
                          "记住我的选择，不再询问"}) {
        EXPECT_TRUE(has(p, t)) << t;
    }
    // Where the desktop has no tray, nothing offers one.
    s.tray_present = false;
    p = paint(s);
    for (const char* t : {"桌面没有托盘：最小化到任务栏，程序继续在后台运行。", "最小化到任务栏", "退出程序"})
        EXPECT_TRUE(has(p, t)) << t;
    s.close_dialog = false;
    s.page = Page::Settings;
    s.settings.close_behavior = 1;
    p = paint(s);
    EXPECT_TRUE(has(p, "最小化到任务栏"));
    EXPECT_TRUE(has(p, "点关闭按钮就收到任务栏，程序继续运行"));
    for (const auto& t : p.canvas.texts()) EXPECT_EQ(t.find("托盘"), std::string::npos) << t;
}

TEST(Frame, NewestNoticeRidesOnOtherPagesFooter) {
    UiState s = initial_ui_state();
    s.page = Page::Album;
    s.add_notice("已经是第一页了");
    const Painted p = paint(s);
    const auto* t = p.canvas.find_text("已经是第一页了");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->y, 630);
}

TEST(Texts, CutWithEllipsisNeverSplitsACharacter) {
    RecordingCanvas c;
    struct Case {
        std::string text;
        double width;
        std::string expected;
    };
    const Case cases[] = {
        {"短", 100, "短"},
        {"一二三四五六七八", 15 * 4, "一二三…"},
        {"abcdef", 0.55 * 15 * 4, "ab…"},
        {"名字\u202Egpj.exe", 1000, "名字gpj.exe"},
        {"行一\n行二", 1000, "行一 行二"},
        {"😀😀😀😀😀", 15 * 3, "😀😀…"},
        {"一二", 1, "…"},
        {std::string("bad\xff\xfe"), 1000, "bad\uFFFD\uFFFD"},
    };
    for (const auto& k : cases) {
        const std::string out = fit_text(c, k.text, FontKind::Body, k.width);
        EXPECT_EQ(out, k.expected) << k.text;
        EXPECT_TRUE(utf8_valid(out)) << k.text;
    }
    const std::string huge(3000, 'x');
    const std::string cut = fit_text(c, huge, FontKind::Body, 200);
    EXPECT_LE(c.text_width(cut, FontKind::Body), 200);
    EXPECT_TRUE(cut.ends_with("…"));
}

TEST(Texts, ClockFormats) {
    EXPECT_EQ(notification_time(1733700000000ULL), "23:20:00");
    EXPECT_EQ(notification_time(0), "--");
    EXPECT_EQ(notification_time(999), "00:00:00");
    EXPECT_EQ(capture_time(1733700000000ULL), "2024-12-08 23:20");
    EXPECT_EQ(capture_time(0), "时间未知");
    EXPECT_EQ(capture_time(951782400000ULL), "2000-02-29 00:00");
    EXPECT_EQ(clock_duration(59'999), "0:59");
    EXPECT_EQ(clock_duration(3'600'000), "1:00:00");
    EXPECT_EQ(human_size(1023), "1023 B");
    EXPECT_EQ(human_size(812'000'000), "774.4 MB");
}

}  // namespace
}  // namespace dovan
