#include "shell/layout.h"

#include <gtest/gtest.h>

#include "shell/actions.h"
#include "shell/view_rules.h"
#include "received_row.h"

namespace dovan {
namespace {

constexpr LoadedModules kAll{0x1f};

TEST(Metrics, DerivedWidthsAndGridForTypicalSizes) {
    struct Case {
        const char* name;
        int px_w, px_h;
        unsigned dpi;
        int W, H, R, device_r, album_r, columns, rows, notification_rows;
    };
    const Case cases[] = {
        {"default window", 960, 660, 96, 960, 660, 908, 808, 928, 5, 3, 8},
        {"150 % keeps the DIP layout", 1440, 990, 144, 960, 660, 908, 808, 928, 5, 3, 8},
        {"a DPI of 0 counts as 96", 960, 660, 0, 960, 660, 908, 808, 928, 5, 3, 8},
        {"narrow client keeps R at 448", 400, 300, 96, 400, 300, 448, 448, 448, 1, 1, 2},
        {"wide client: R stops, album keeps growing", 1600, 900, 96, 1600, 900, 908, 808, 1388, 9, 5, 11},
        {"125 % rounds to the nearest DIP", 1201, 826, 120, 961, 661, 908, 808, 929, 5, 3, 8},
    };
    for (const auto& c : cases) {
        const Metrics m = Metrics::from_pixels(c.px_w, c.px_h, c.dpi);
        EXPECT_EQ(m.W, c.W) << c.name;
        EXPECT_EQ(m.H, c.H) << c.name;
        EXPECT_EQ(m.R, c.R) << c.name;
        EXPECT_EQ(m.device_r, c.device_r) << c.name;
        EXPECT_EQ(m.album_r, c.album_r) << c.name;
        const AlbumGrid g = album_grid(m);
        EXPECT_EQ(g.columns, c.columns) << c.name;
        EXPECT_EQ(g.rows, c.rows) << c.name;
        EXPECT_EQ(notification_visible_rows(m), c.notification_rows) << c.name;
    }
}

TEST(Metrics, PixelConversionRoundsHalvesAwayFromZero) {
    const Metrics m = Metrics::from_pixels(1440, 990, 144);
    EXPECT_EQ(m.px(108), 162);  // one album cell
    EXPECT_EQ(m.px(3), 5);      // 4.5 → 5
    EXPECT_EQ(m.px(-3), -5);
    EXPECT_EQ(round_half_away(2.5), 3);
    EXPECT_EQ(round_half_away(-2.5), -3);
    EXPECT_EQ(round_half_away(2.49), 2);
}

TEST(Layout, RulesAtTheDefaultSize) {
    const Metrics m = Metrics::from_pixels(960, 660, 96);
    EXPECT_EQ(nav_item_rect(2), (Rect{0, 172, 180, 216}));
    EXPECT_EQ(device_row_rect(m, 1), (Rect{208, 130, 808, 168}));
    EXPECT_EQ(sas_confirm_rect(connect_cards_offset(0)), (Rect{208, 270, 320, 308}));
    EXPECT_EQ(identity_dismiss_rect(connect_cards_offset(2)), (Rect{420, 308, 532, 346}));
    EXPECT_EQ(reply_box_rect(m), (Rect{208, 56, 852, 88}));
    EXPECT_EQ(reply_send_rect(m), (Rect{860, 56, 928, 88}));
    EXPECT_EQ(notification_scrollbar_rect(m), (Rect{936, 92, 948, 624}));
    const auto all = notification_buttons(m, 1, true, true);
    EXPECT_EQ(all.reply, (Rect{758, 178, 822, 204}));
    EXPECT_EQ(all.code, (Rect{668, 178, 752, 204}));
    EXPECT_EQ(all.copy, (Rect{592, 178, 662, 204}));
    EXPECT_EQ(notification_buttons(m, 0, false, false).copy, (Rect{752, 112, 822, 138}));
    EXPECT_EQ(send_box_rect(m), (Rect{208, 106, 684, 138}));
    EXPECT_EQ(pick_files_rect(m), (Rect{694, 106, 786, 138}));
    EXPECT_EQ(send_files_rect(m), (Rect{796, 106, 908, 138}));
    EXPECT_EQ(file_row_button_rect(m, 7), (Rect{840, 549, 896, 573}));
    EXPECT_EQ(media_button_rect(m, 0), (Rect{246, 276, 330, 320}));
    EXPECT_EQ(media_button_rect(m, 4), (Rect{630, 276, 714, 320}));
    EXPECT_EQ(album_toolbar_rect(4), (Rect{544, 92, 668, 124}));
    EXPECT_EQ(album_cell_rect(4, 2), (Rect{696, 406, 804, 514}));
    EXPECT_EQ(album_scrollbar_rect(m), (Rect{916, 162, 928, 602}));
    EXPECT_EQ(restart_dialog_rect(m), (Rect{250, 194, 710, 442}));
    EXPECT_EQ(restart_now_dialog_rect(m), (Rect{536, 386, 686, 422}));
    EXPECT_EQ(restart_later_rect(m), (Rect{374, 386, 524, 422}));
    EXPECT_EQ(close_dialog_rect(m), (Rect{250, 230, 710, 406}));
    EXPECT_EQ(close_cancel_rect(m), (Rect{274, 314, 346, 350}));
    EXPECT_EQ(close_exit_rect(m), (Rect{358, 314, 454, 350}));
    EXPECT_EQ(close_minimize_rect(m), (Rect{466, 314, 596, 350}));
    EXPECT_EQ(close_remember_rect(m), (Rect{274, 364, 686, 386}));
}

TEST(Layout, NavigationLeavesOutModulesNotLoaded) {
    const auto all = nav_items(kAll);
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(all[4].label, "相册");
    EXPECT_EQ(all[5].label, "媒体");
    const auto no_album = nav_items(LoadedModules{0x0f});
    ASSERT_EQ(no_album.size(), 8u);
    EXPECT_EQ(no_album[4].label, "媒体");
    EXPECT_EQ(no_album[4].page, Page::Media);
    const auto bare = nav_items(LoadedModules{0});
    ASSERT_EQ(bare.size(), 4u);
    EXPECT_EQ(bare[1].label, "功能");
}

TEST(Layout, AlbumRangeClampsScrollToWholeRows) {
    const Metrics m = Metrics::from_pixels(960, 660, 96);
    struct Case {
        std::size_t items;
        int scroll;
        int scroll_row, max_scroll_row;
        std::size_t first, count;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0},   {7, 0, 0, 0, 0, 7},    {15, 3, 0, 0, 0, 15},
        {16, 1, 1, 1, 5, 11}, {40, 9, 5, 5, 25, 15}, {40, -2, 0, 5, 0, 15},
    };
    for (const auto& c : cases) {
        const AlbumRange r = album_range(m, c.items, c.scroll);
        EXPECT_EQ(r.scroll_row, c.scroll_row) << c.items << "/" << c.scroll;
        EXPECT_EQ(r.max_scroll_row, c.max_scroll_row) << c.items << "/" << c.scroll;
        EXPECT_EQ(r.first, c.first) << c.items << "/" << c.scroll;
        EXPECT_EQ(r.count, c.count) << c.items << "/" << c.scroll;
    }
}

// A state with something on every page, so each control exists somewhere.
UiState busy_state() {
    UiState s = initial_ui_state();
    s.paired = true;
    s.engine_state = 3;
    s.devices = {{0xA1, "Pixel"}, {0xB2, "Mate"}};
    s.sas_prompt = 123456;
    PhoneNotification code;
    code.title = "银行";
    code.text = "验证码 482913";
    PhoneNotification reply;
    reply.title = "张三";
    reply.text = "在吗";
    reply.can_reply = true;
    s.notifications = {code, reply};
    s.send_queue = {{"/a.txt", 3}};
    TransferRow row;
    row.name = "b.bin";
    row.status = "发送中";
    row.percent = 10;
    s.transfer_rows = {row};
    s.media = MediaView{};
    s.media->volume = 40;
    s.bound_devices = {{"f1", "P"}, {"f2", "Q"}, {"f3", "R"}};
    for (std::uint64_t i = 0; i < 30; ++i) s.album.items.push_back({100 + i, "x", 0, 0, 0, 0, 0, 0});
    return s;
}

struct HitCase {
    const char* name;
    Page page;
    double x, y;  // DIP
    Action expected;
};

void check_hits(const Metrics& m, const std::vector<HitCase>& cases) {
    for (const auto& c : cases) {
        UiState s = busy_state();
        s.page = c.page;
        // The pointer arrives in pixels; hit-testing works on DIP.
        const double px = m.px(c.x) + 0.25, py = m.px(c.y) + 0.25;
        EXPECT_EQ(hit_test(s, kAll, m, px / m.scale, py / m.scale), c.expected) << c.name << " at " << m.scale;
    }
}

const std::vector<HitCase> kHits = {
    {"navigation: files", Page::Connect, 90, 240, {kActNav, 3}},
    {"navigation: album in slot 4", Page::Connect, 10, 300, {kActNav, 7}},
    {"sidebar below the items", Page::Connect, 90, 600, {}},
    {"device row by its id", Page::Connect, 500, 140, {kActDevice, 0xB2}},
    {"device row ends at the list edge", Page::Connect, 810, 100, {}},
    {"SAS confirm below two rows", Page::Connect, 210, 310, {kActSasConfirm}},
    {"SAS reject", Page::Connect, 447, 345, {kActSasReject}},
    {"gap between SAS buttons", Page::Connect, 328, 320, {}},
    {"notification code button", Page::Notifications, 780, 120, {kActNotificationCode, 0}},
    {"notification copy button left of the code", Page::Notifications, 700, 120, {kActNotificationRow, 0}},
    {"notification copy button is the row", Page::Notifications, 700, 190, {kActNotificationRow, 1}},
    {"notification reply button", Page::Notifications, 790, 190, {kActNotificationReply, 1}},
    {"notification row body", Page::Notifications, 300, 100, {kActNotificationRow, 0}},
    {"below the last notification", Page::Notifications, 300, 300, {}},
    {"clipboard sync pill", Page::Clipboard, 300, 100, {kActClipSync}},
    {"clipboard send", Page::Clipboard, 300, 150, {kActClipSend}},
    {"files send box", Page::Files, 300, 120, {kActSendBox}},
    {"files picker", Page::Files, 700, 120, {kActPickFiles}},
    {"files send", Page::Files, 900, 120, {kActSendFiles}},
    {"queued file's remove", Page::Files, 850, 230, {kActFileRow, 0}},
    {"transfer row's cancel", Page::Files, 850, 276, {kActFileRow, 1}},
    {"no third row", Page::Files, 850, 322, {}},
    {"change inbox", Page::Files, 820, 170, {kActChangeInbox}},
    {"media play/pause", Page::Media, 350, 300, {kActMedia, 1}},
    {"media volume up", Page::Media, 700, 300, {kActMedia, 4}},
    {"module switch 4", Page::Features, 600, 360, {kActModule, 4}},
    {"restart hidden without changes", Page::Features, 600, 520, {}},
    {"appearance dark", Page::Settings, 500, 100, {kActAppearance, 2}},
    {"settings switch 2 is clipboard sync", Page::Settings, 600, 230, {kActClipSync}},
    {"settings switch 5 is debug", Page::Settings, 600, 360, {kActDebug}},
    {"export log", Page::Settings, 700, 370, {kActExportLog}},
    {"close behaviour", Page::Settings, 600, 400, {kActCloseBehavior}},
    {"manual IP box", Page::Settings, 300, 470, {kActManualIpBox}},
    {"manual connect", Page::Settings, 450, 470, {kActManualConnect}},
    {"unbind row 1", Page::Settings, 300, 550, {kActUnbind, 1}},
    {"no third unbind row", Page::Settings, 300, 575, {}},
    {"album toolbar export", Page::Album, 600, 100, {kActAlbumToolbar, 4}},
    {"album cell (1, 1)", Page::Album, 340, 290, {kActAlbumCell, 6}},
    {"album gap between cells", Page::Album, 320, 200, {}},
    {"album scroll bar", Page::Album, 920, 170, {kActAlbumScroll, 0}},
    {"about has nothing", Page::About, 300, 300, {}},
};

TEST(HitTest, TableAtTheDefaultSize) { check_hits(Metrics::from_pixels(960, 660, 96), kHits); }

TEST(HitTest, SameTableAt150Percent) { check_hits(Metrics::from_pixels(1440, 990, 144), kHits); }

// A finished received row offers "打开" and "打开所在文件夹" where other rows have one
// button; a finished row of a sent file, or one without its saved place, offers neither.
TEST(HitTest, AFinishedReceivedRowHasOpenAndFolderButtons) {
    UiState s = initial_ui_state();
    s.page = Page::Files;
    TransferRow done = finished_received_row("a.pdf", "/in/a.pdf");
    TransferRow sent = done;
    sent.direction = TransferDirection::Send;
    sent.saved_path.clear();
    TransferRow running = done;
    running.status = "接收中";
    running.percent = 40;
    running.saved_path.clear();
    s.transfer_rows = {done, sent, running};
    // The content ends at 908 at this size.
    const std::vector<HitCase> at_960 = {
        {"folder button", Page::Files, 840, 240, {kActFileReveal, 0}},
        {"folder button's right end", Page::Files, 895, 240, {kActFileReveal, 0}},
        {"right of the folder button", Page::Files, 900, 240, {}},
        {"open button", Page::Files, 750, 240, {kActFileOpen, 0}},
        {"gap between them", Page::Files, 785, 240, {}},
        {"left of the open button", Page::Files, 720, 240, {}},
        {"sent row has none", Page::Files, 840, 286, {}},
        {"sent row, open place", Page::Files, 750, 286, {}},
        {"running row cancels", Page::Files, 870, 332, {kActFileRow, 2}},
    };
    for (const auto& m : {Metrics::from_pixels(960, 660, 96), Metrics::from_pixels(1440, 990, 144)}) {
        for (const auto& c : at_960) {
            const double px = m.px(c.x) + 0.25, py = m.px(c.y) + 0.25;
            EXPECT_EQ(hit_test(s, kAll, m, px / m.scale, py / m.scale), c.expected) << c.name << " at " << m.scale;
        }
    }
    // At the least width both buttons still sit inside the row, clear of the bar's room.
    const Metrics narrow = Metrics::from_pixels(kMinClientW, kMinClientH, 96);
    const FileOpenButtons b = file_row_open_buttons(narrow, 0);
    const Rect row = file_row_rect(narrow, 0);
    EXPECT_GT(b.open.l, kContentX + 40 + 120 + 12);
    EXPECT_LT(b.open.r, b.reveal.l);
    EXPECT_LE(b.reveal.r, row.r);
    EXPECT_EQ(hit_test(s, kAll, narrow, b.open.l + 1, b.open.t + 1), (Action{kActFileOpen, 0}));
    EXPECT_EQ(hit_test(s, kAll, narrow, b.reveal.r - 1, b.reveal.b - 1), (Action{kActFileReveal, 0}));
}

TEST(HitTest, DialogsTakeEveryClick) {
    const Metrics m = Metrics::from_pixels(960, 660, 96);
    UiState s = busy_state();
    s.restart_dialog = true;
    s.close_dialog = true;
    EXPECT_EQ(hit_test(s, kAll, m, 600, 400), Action{kActRestartNow});
    EXPECT_EQ(hit_test(s, kAll, m, 400, 400), Action{kActRestartLater});
    EXPECT_EQ(hit_test(s, kAll, m, 90, 240), Action{}) << "the navigation is under the scrim";
    s.restart_dialog = false;
    EXPECT_EQ(hit_test(s, kAll, m, 300, 330), Action{kActCloseCancel});
    EXPECT_EQ(hit_test(s, kAll, m, 400, 330), Action{kActCloseExit});
    EXPECT_EQ(hit_test(s, kAll, m, 500, 330), Action{kActCloseMinimize});
    EXPECT_EQ(hit_test(s, kAll, m, 600, 375), Action{kActCloseRemember});
    EXPECT_EQ(hit_test(s, kAll, m, 210, 110), Action{});
}

TEST(HitTest, CardsFollowTheDeviceListAndTheirPrompt) {
    const Metrics m = Metrics::from_pixels(960, 660, 96);
    UiState s = initial_ui_state();
    s.sas_prompt = 1;
    // With no device the cards still sit one row below the first row position.
    EXPECT_EQ(hit_test(s, kAll, m, 250, 280), Action{kActSasConfirm});
    s.identity_change = IdentityChangePrompt{"P", "a", "b"};
    EXPECT_EQ(hit_test(s, kAll, m, 250, 280), Action{kActIdentityAccept}) << "the identity question comes first";
    EXPECT_EQ(hit_test(s, kAll, m, 500, 280), Action{kActIdentityDismiss});
}

}  // namespace
}  // namespace dovan
