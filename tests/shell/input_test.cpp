#include "shell/input.h"
#include "received_row.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

using namespace std::chrono_literals;

constexpr LoadedModules kAll{0x1f};
const Instant kNow = Instant{} + std::chrono::hours(2);

InputContext ctx(LoadedModules modules = kAll) { return {Metrics::from_pixels(960, 660, 96), modules, kNow}; }

// A focused box with `text`, the caret at its end.
struct Box {
    UiState s = initial_ui_state();
    EditCaret caret;
    explicit Box(std::string text, InputFocus focus = InputFocus::SendBox) {
        s.focus = focus;
        *s.focused_text() = std::move(text);
        caret = {s.focused_text()->size(), s.focused_text()->size()};
    }
    const std::string& text() const { return *s.focused_text(); }
    void key(Key k, bool shift = false) { key_press(s, caret, k, shift, kNow); }
};

TEST(Keyboard, InsertDeleteAndCaretMoves) {
    Box b("ab");
    EXPECT_TRUE(insert_text(b.s, b.caret, "c"));
    EXPECT_EQ(b.text(), "abc");
    b.key(Key::Left);
    b.key(Key::Left);
    EXPECT_TRUE(insert_text(b.s, b.caret, "中"));
    EXPECT_EQ(b.text(), "a中bc");
    b.key(Key::Backspace);
    EXPECT_EQ(b.text(), "abc") << "a multi-byte character goes as one";
    b.key(Key::Home);
    b.key(Key::Delete);
    EXPECT_EQ(b.text(), "bc");
    b.key(Key::End);
    b.key(Key::Backspace);
    EXPECT_EQ(b.text(), "b");
    b.key(Key::Backspace);
    b.key(Key::Backspace);
    b.key(Key::Delete);
    EXPECT_EQ(b.text(), "") << "nothing left to delete is no error";
}

TEST(Keyboard, SelectionIsReplacedOrDeleted) {
    Box b("你好世界");
    b.key(Key::Left, true);
    b.key(Key::Left, true);
    EXPECT_EQ(b.caret.caret, 6u);
    EXPECT_EQ(b.caret.anchor, 12u);
    insert_text(b.s, b.caret, "朋友");
    EXPECT_EQ(b.text(), "你好朋友");
    b.key(Key::SelectAll);
    b.key(Key::Backspace);
    EXPECT_EQ(b.text(), "");
    Box c("abcd");
    c.key(Key::Home);
    c.key(Key::Right, true);
    c.key(Key::Right, true);
    c.key(Key::Right);  // collapses to the selection's end
    EXPECT_EQ(c.caret.caret, 2u);
    EXPECT_EQ(c.caret.anchor, 2u);
    c.key(Key::Left, true);
    c.key(Key::Delete);
    EXPECT_EQ(c.text(), "acd");
}

TEST(Keyboard, ControlCharactersAndTheLengthLimit) {
    Box b(std::string(399, 'x'));
    EXPECT_FALSE(insert_text(b.s, b.caret, "\x07\x1b\x7f\xc2\x85"));  // BEL, ESC, DEL, NEL
    EXPECT_EQ(b.text().size(), 399u);
    EXPECT_TRUE(insert_text(b.s, b.caret, "yz"));
    EXPECT_EQ(b.text(), std::string(399, 'x') + "y") << "the 401st character is ignored";
    EXPECT_FALSE(insert_text(b.s, b.caret, "中"));
    Box wide{std::string()};
    std::string cjk;
    for (int i = 0; i < 500; ++i) cjk += "字";
    insert_text(wide.s, wide.caret, cjk);
    EXPECT_EQ(wide.text().size(), 400u * 3) << "the limit counts characters, not bytes";
}

TEST(Keyboard, PasteOfSeveralLinesBecomesOneLine) {
    Box b("");
    insert_text(b.s, b.caret, "第一行\r\n第二行\n\n\t第三行\n");
    EXPECT_EQ(b.text(), "第一行 第二行 第三行 ");
    Box bad("");
    insert_text(bad.s, bad.caret, std::string("a\xff\xfe" "b"));
    EXPECT_EQ(bad.text(), "ab") << "ill-formed bytes never enter a box";
}

TEST(Keyboard, NothingHappensWithoutFocus) {
    UiState s = initial_ui_state();
    EditCaret c;
    EXPECT_FALSE(insert_text(s, c, "x"));
    key_press(s, c, Key::Backspace, false, kNow);
    EXPECT_EQ(s.change_counter, 0u);
}

TEST(Keyboard, CaretSettlesWhenAnotherThreadReplacedTheText) {
    Box b("中文");
    b.caret = {4, 4};  // inside the second character's bytes after a change elsewhere
    insert_text(b.s, b.caret, "!");
    EXPECT_EQ(b.text(), "中文!");
    Box shorter("abc");
    shorter.caret = {10, 1};
    shorter.key(Key::Backspace);
    EXPECT_EQ(shorter.text(), "ab");
}

TEST(Keyboard, EnterAndEscape) {
    Box send("/tmp/a.txt", InputFocus::SendBox);
    send.key(Key::Enter);
    EXPECT_FALSE(send.s.requests.send_files) << "Enter in the send box does nothing";
    EXPECT_EQ(send.text(), "/tmp/a.txt");

    Box reply("好的", InputFocus::ReplyBox);
    reply.s.reply_target = ReplyTarget{"pkg", "", 1, 2, 0, "k"};
    reply.key(Key::Enter);
    ASSERT_TRUE(reply.s.requests.send_reply);
    EXPECT_EQ(reply.s.requests.send_reply->text, "好的");
    EXPECT_EQ(reply.text(), "");

    UiState s = initial_ui_state();
    EditCaret c;
    s.close_dialog = true;
    s.remember_close_choice = true;
    EXPECT_TRUE(key_press(s, c, Key::Enter, false, kNow).hide_window);
    EXPECT_EQ(s.settings.close_behavior, 1);
    s.close_dialog = true;
    const Effects esc = key_press(s, c, Key::Escape, false, kNow);
    EXPECT_FALSE(esc.hide_window);
    EXPECT_FALSE(esc.quit);
    EXPECT_FALSE(s.close_dialog);
}

TEST(Clicks, NavigationAndTheAlbumPage) {
    UiState s = initial_ui_state();
    s.focus = InputFocus::SendBox;
    s.hover = {kActNav, 7};
    click(s, ctx(), {kActNav, 7});
    EXPECT_EQ(s.page, Page::Album);
    EXPECT_EQ(s.focus, InputFocus::None);
    EXPECT_EQ(s.hover, HoverTarget{});
    EXPECT_EQ(s.transition_start, kNow);
    ASSERT_TRUE(s.requests.album_page);
    EXPECT_EQ(s.requests.album_page->page, 0u);
    EXPECT_EQ(s.requests.album_page->per_page, 15u) << "columns × rows of the window";
    s.album.thumbnail_queue = {1, 2};
    click(s, ctx(), {kActNav, 0});
    EXPECT_EQ(s.album.generation, 1u);
    EXPECT_TRUE(s.album.thumbnail_queue.empty());
    s.requests = {};
    s.album.loading = true;
    click(s, ctx(), {kActNav, 7});
    EXPECT_FALSE(s.requests.album_page) << "a page request is already running";
}

TEST(Clicks, EmptySpaceClearsTheFocus) {
    UiState s = initial_ui_state();
    s.focus = InputFocus::ManualIp;
    click(s, ctx(), Action{});
    EXPECT_EQ(s.focus, InputFocus::None);
}

TEST(Clicks, MediaCommands) {
    struct Case {
        std::uint64_t button;
        std::int32_t volume;
        std::optional<std::pair<std::int32_t, std::int32_t>> expected;  // action, volume
    };
    const Case cases[] = {
        {0, 50, {{4, 0}}},   {1, 50, {{0, 0}}},  {2, 50, {{3, 0}}},    {3, 50, {{8, 45}}},
        {3, 5, {{8, 0}}},    {3, 120, {{8, 100}}}, {4, 97, {{8, 100}}}, {4, 50, {{8, 55}}},
        {3, -1, std::nullopt}, {4, -1, std::nullopt},
    };
    for (const auto& c : cases) {
        UiState s = initial_ui_state();
        s.media = MediaView{};
        s.media->volume = c.volume;
        click(s, ctx(), {kActMedia, c.button});
        ASSERT_EQ(s.requests.media.has_value(), c.expected.has_value()) << c.button << "/" << c.volume;
        if (c.expected) {
            EXPECT_EQ(s.requests.media->action, c.expected->first) << c.button << "/" << c.volume;
            EXPECT_EQ(s.requests.media->volume, c.expected->second) << c.button << "/" << c.volume;
        }
    }
    UiState none = initial_ui_state();
    click(none, ctx(), {kActMedia, 1});
    EXPECT_FALSE(none.requests.media) << "no media state, no command";
}

TEST(Clicks, SettingsAndModuleSwitches) {
    UiState s = initial_ui_state();
    const Effects fx = click(s, ctx(), {kActClipSync});
    EXPECT_FALSE(s.settings.clip_sync);
    EXPECT_TRUE(fx.save_settings);
    for (std::uint8_t expected : {1, 2, 0}) {
        click(s, ctx(), {kActCloseBehavior});
        EXPECT_EQ(s.settings.close_behavior, expected);
    }
    const Effects debug = click(s, ctx(), {kActDebug});
    EXPECT_EQ(debug.debug_log, std::optional<bool>(true));
    const Effects look = click(s, ctx(), {kActAppearance, 2});
    EXPECT_EQ(s.settings.theme, 2);
    EXPECT_TRUE(look.apply_theme);

    s.focus = InputFocus::SendBox;
    click(s, ctx(), {kActModule, 3});
    EXPECT_FALSE(s.settings.feat_media);
    EXPECT_TRUE(s.restart_dialog);
    EXPECT_EQ(s.focus, InputFocus::None);
    s.restart_dialog = false;
    click(s, ctx(), {kActModule, 3});
    EXPECT_FALSE(s.restart_dialog) << "back to what was loaded: nothing to restart for";
    const Effects restart = click(s, ctx(), {kActRestartNow});
    EXPECT_TRUE(restart.quit);
    EXPECT_TRUE(s.restart_requested);
}

TEST(Clicks, SendListAndRowButtons) {
    UiState s = initial_ui_state();
    s.send_queue = {{"/a", 1}, {"/b", 2}};
    s.send_box = "  /b  ";
    click(s, ctx(), {kActSendFiles});
    ASSERT_TRUE(s.requests.send_files);
    EXPECT_EQ(*s.requests.send_files, (std::vector<std::string>{"/a", "/b"})) << "the typed path was already queued";
    EXPECT_TRUE(s.send_queue.empty());
    EXPECT_TRUE(s.send_box.empty());

    s.send_queue = {{"/q", 1}};
    TransferRow running;
    running.name = "r.bin";
    running.status = "发送中";
    running.direction = TransferDirection::Send;
    s.transfer_rows = {running};
    click(s, ctx(), {kActFileRow, 1});
    ASSERT_TRUE(s.requests.cancel);
    EXPECT_EQ(s.requests.cancel->name, "r.bin");
    click(s, ctx(), {kActFileRow, 0});
    EXPECT_TRUE(s.send_queue.empty());
}

// The two buttons of a finished received row ask the front end to open the path stored in
// the row; nothing else on the page does, and nothing goes to the core.
TEST(Clicks, OpenAndRevealCarryTheRowsSavedPath) {
    UiState s = initial_ui_state();
    s.send_queue = {{"/q", 1}};
    TransferRow done = finished_received_row("a.pdf", "/in/a (1).pdf");
    TransferRow sent = done;
    sent.direction = TransferDirection::Send;
    sent.saved_path.clear();
    s.transfer_rows = {done, sent};
    auto fx = click(s, ctx(), {kActFileOpen, 1});
    EXPECT_EQ(fx.open, std::optional<OpenRequest>(OpenRequest{"/in/a (1).pdf", OpenWhat::File}));
    fx = click(s, ctx(), {kActFileReveal, 1});
    EXPECT_EQ(fx.open, std::optional<OpenRequest>(OpenRequest{"/in/a (1).pdf", OpenWhat::Folder}));
    for (std::uint64_t row : {0, 2, 3}) {
        EXPECT_FALSE(click(s, ctx(), {kActFileOpen, row}).open) << row;
        EXPECT_FALSE(click(s, ctx(), {kActFileReveal, row}).open) << row;
    }
    EXPECT_TRUE(s.requests.empty());
    EXPECT_EQ(s.send_queue.size(), 1u);
}

TEST(Clicks, NotificationCopyCodeAndReplyTarget) {
    UiState s = initial_ui_state();
    PhoneNotification n;
    n.title = "银行";
    n.text = "验证码 482913";
    n.can_reply = true;
    n.notification_id = 9;
    PhoneNotification title_only;
    title_only.title = "只有标题";
    s.notifications = {n, title_only};
    Effects fx = click(s, ctx(), {kActNotificationCode, 0});
    EXPECT_EQ(fx.copy_text, std::optional<std::string>("482913"));
    ASSERT_TRUE(s.self_clipboard);
    EXPECT_EQ(s.self_clipboard->text, "482913");
    fx = click(s, ctx(), {kActNotificationRow, 1});
    EXPECT_EQ(fx.copy_text, std::optional<std::string>("只有标题"));
    click(s, ctx(), {kActNotificationReply, 0});
    EXPECT_EQ(s.reply_target, n.reply_target());
    EXPECT_EQ(s.focus, InputFocus::ReplyBox);
    click(s, ctx(), {kActNotificationReply, 0});
    EXPECT_FALSE(s.reply_target) << "a second click closes the reply box";
    click(s, ctx(), {kActNotificationReply, 1});
    EXPECT_FALSE(s.reply_target) << "rows that cannot be replied to";
}

// A hidden window comes back only through the tray: where there is none, every way of
// putting the window away leaves it on the task bar.
TEST(CloseBehaviour, WithoutATrayTheWindowIsMinimizedNotHidden) {
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "tray" : "no tray");
        UiState s = initial_ui_state();
        s.tray_present = tray;
        auto put_away = [&](const Effects& fx) {
            EXPECT_EQ(fx.hide_window, tray);
            EXPECT_EQ(fx.minimize_window, !tray);
            EXPECT_FALSE(fx.quit || fx.close_now);
        };
        s.settings.close_behavior = 1;
        put_away(system_close(s));
        s.settings.close_behavior = 0;
        system_close(s);
        put_away(click(s, ctx(), {kActCloseMinimize}));
        system_close(s);
        EditCaret caret;
        put_away(key_press(s, caret, Key::Enter, false, Instant{}));
    }
}

TEST(CloseBehaviour, TitleBarCloseAndDialogChoices) {
    UiState s = initial_ui_state();
    s.focus = InputFocus::ReplyBox;
    s.remember_close_choice = true;
    Effects fx = system_close(s);
    EXPECT_TRUE(s.close_dialog);
    EXPECT_FALSE(s.remember_close_choice) << "the box starts cleared";
    EXPECT_EQ(s.focus, InputFocus::None);
    click(s, ctx(), {kActCloseRemember});
    fx = click(s, ctx(), {kActCloseExit});
    EXPECT_TRUE(fx.quit);
    EXPECT_TRUE(fx.save_settings);
    EXPECT_EQ(s.settings.close_behavior, 2);
    EXPECT_FALSE(s.close_dialog);
    fx = system_close(s);
    EXPECT_TRUE(fx.close_now) << "the next close ends the program without asking";
    s.settings.close_behavior = 1;
    EXPECT_TRUE(system_close(s).hide_window);
    s.restart_dialog = true;
    fx = system_close(s);
    EXPECT_FALSE(fx.hide_window || fx.close_now || fx.quit || s.close_dialog) << "ignored under the restart dialog";
    UiState t = initial_ui_state();
    system_close(t);
    fx = click(t, ctx(), {kActCloseCancel});
    EXPECT_FALSE(fx.save_settings);
    EXPECT_EQ(t.settings.close_behavior, 0);
}

TEST(Drops, NoticesForEveryMix) {
    using K = DroppedItem::Kind;
    struct Case {
        const char* name;
        std::vector<DroppedItem> items;
        bool files_page;
        std::optional<std::string> notice;
    };
    const std::vector<Case> cases = {
        {"three folders", {{K::Folder, "/d1"}, {K::Folder, "/d2"}, {K::Folder, "/d3"}}, false,
         "拖进来的 3 项里没有可发送的文件（文件夹不算），请改用「选择…」"},
        {"one file", {{K::File, "/f1", 5}}, true, std::nullopt},
        {"two files and a folder", {{K::File, "/f1"}, {K::File, "/f2"}, {K::Folder, "/d"}}, true,
         "已加入待发清单 2 个文件（共拖入 2 个）；1 个文件夹不能直接发送"},
        {"a file and an unreadable item", {{K::File, "/f1"}, {K::Unreadable, ""}}, true, "1 项读不出文件名，已跳过"},
        {"nothing", {}, false, "系统没给出拖入的文件，请改用「选择…」"},
    };
    for (const auto& c : cases) {
        UiState s = initial_ui_state();
        s.focus = InputFocus::ManualIp;
        EXPECT_EQ(drop_items(s, c.items), c.files_page) << c.name;
        EXPECT_EQ(s.page == Page::Files, c.files_page) << c.name;
        if (c.notice) {
            ASSERT_EQ(s.notices.size(), 1u) << c.name;
            EXPECT_EQ(s.notices.front().text, *c.notice) << c.name;
        } else {
            EXPECT_TRUE(s.notices.empty()) << c.name;
        }
    }
}

TEST(Drops, AHugeDropQueuesWhatFitsAndSaysTheRest) {
    UiState s = initial_ui_state();
    std::vector<DroppedItem> items;
    for (int i = 0; i < 500; ++i) items.push_back({DroppedItem::Kind::File, "/f" + std::to_string(i), 1});
    EXPECT_TRUE(drop_items(s, items));
    EXPECT_EQ(s.send_queue.size(), kMaxSendQueue);
    ASSERT_EQ(s.notices.size(), 1u);
    EXPECT_EQ(s.notices.front().text, "已加入待发清单 256 个文件（共拖入 500 个）；待发清单最多 256 个文件，另有 244 个没有加入");
    // Dropping the same files again adds nothing and says the queue is full.
    EXPECT_FALSE(drop_items(s, items));
    EXPECT_EQ(s.send_queue.size(), kMaxSendQueue);
}

TEST(Pickers, PickedFilesAlreadyQueued) {
    UiState s = initial_ui_state();
    queue_picked_files(s, {{"/a", 1}, {"/a", 1}, {"/b", 2}});
    EXPECT_EQ(s.send_queue.size(), 2u);
    EXPECT_TRUE(s.notices.empty());
    queue_picked_files(s, {{"/b", 2}});
    ASSERT_EQ(s.notices.size(), 1u);
    EXPECT_EQ(s.notices.front().text, "这些文件已经在待发清单里了");
}

UiState album_with(std::size_t n) {
    UiState s = initial_ui_state();
    s.page = Page::Album;
    for (std::size_t i = 0; i < n; ++i) s.album.items.push_back({100 + i, "x", 0, 0, 0, 0, 0, 0});
    return s;
}

TEST(Album, ToolbarPagingAndSelection) {
    UiState s = album_with(15);
    s.album.per_page = 15;
    s.album.total = 30;
    click(s, ctx(), {kActAlbumToolbar, 1});
    EXPECT_EQ(s.notices.front().text, "已经是第一页了");
    click(s, ctx(), {kActAlbumToolbar, 2});
    ASSERT_TRUE(s.requests.album_page);
    EXPECT_EQ(s.requests.album_page->page, 1u);
    s.album.page = 1;
    click(s, ctx(), {kActAlbumToolbar, 2});
    EXPECT_EQ(s.notices.front().text, "下一页没有内容：相册共 30 张，第 2 页已经到最后");
    click(s, ctx(), {kActAlbumToolbar, 4});
    EXPECT_EQ(s.notices.front().text, "还没有选中照片：先在格子上点一下（或按「全选」）再导出");
    click(s, ctx(), {kActAlbumToolbar, 3});
    EXPECT_EQ(s.album.selection.size(), 15u);
    EXPECT_EQ(click(s, ctx(), {kActAlbumToolbar, 4}).picker, Picker::AlbumExport);
    click(s, ctx(), {kActAlbumToolbar, 3});
    EXPECT_TRUE(s.album.selection.empty());
    album_export_to(s, "/out");
    EXPECT_EQ(s.notices.front().text, "选中状态在这一步被清掉了，没有请求任何原图");
    s.album.selection = {101};
    album_export_to(s, "");
    EXPECT_EQ(s.notices.front().text, "已取消相册导出（没有选择目录，原图请求没有发出）");
    album_export_to(s, "/out");
    ASSERT_TRUE(s.requests.album_export);
    EXPECT_EQ(s.requests.album_export->ids, std::vector<std::uint64_t>{101});
    EXPECT_EQ(s.requests.album_export->folder, "/out");
}

TEST(Album, PressReleaseAndDragDecisions) {
    UiState s = album_with(4);
    click(s, ctx(), {kActAlbumCell, 2});
    EXPECT_EQ(s.requests.album_drag, std::optional(std::vector<std::uint64_t>{102})) << "the original is fetched at the press";
    album_release(s, 2);
    EXPECT_EQ(s.album.selection, (std::vector<std::uint64_t>{102}));
    album_release(s, 2);
    EXPECT_TRUE(s.album.selection.empty());
    album_release(s, 9);
    EXPECT_EQ(s.notices.front().text, "第 10 格已经没有照片了（清单刚变过），这次点击没有选中任何东西");

    s.album.selection = {103, 101};
    EXPECT_EQ(album_drag_items(s, 3), (std::vector<std::uint64_t>{101, 103})) << "the selection, in page order";
    EXPECT_EQ(album_drag_items(s, 0), (std::vector<std::uint64_t>{100})) << "an unselected cell drags alone";
    s.album.selection = {103};
    EXPECT_EQ(album_drag_items(s, 3), (std::vector<std::uint64_t>{103}));
    EXPECT_FALSE(album_drag_items(s, 7));
    EXPECT_EQ(s.notices.front().text, "第 8 格已经没有照片了，这次拖拽取消");

    s.requests = {};
    s.album.drag_files = {{101, "/tmp/Dovan/b.jpg"}};
    EXPECT_FALSE(album_drag_files(s, {101, 103}));
    EXPECT_EQ(s.requests.album_drag, std::optional(std::vector<std::uint64_t>{103}));
    EXPECT_EQ(s.notices.front().text,
              "这次没有拖出去：1 张原图还在手机上没取回来（已重新发起 1 张）。等这几格的圆环跑完再拖，就是一次全部出去");
    s.album.drag_files[103] = "/tmp/Dovan/d.jpg";
    EXPECT_EQ(album_drag_files(s, {101, 103}), (std::vector<std::string>{"/tmp/Dovan/b.jpg", "/tmp/Dovan/d.jpg"}));
    s.album.selection = {101, 103, 100};
    album_drag_done(s, {101, 103});
    EXPECT_EQ(s.album.selection, (std::vector<std::uint64_t>{100}));
    EXPECT_TRUE(s.album.drag_files.empty()) << "a second drag fetches the original again";
}

TEST(Scrolling, WheelClampsToTheRowsThereAre) {
    const Metrics m = Metrics::from_pixels(960, 660, 96);
    UiState s = initial_ui_state();
    s.page = Page::Notifications;
    s.notifications.resize(5);
    EXPECT_FALSE(wheel(s, m, -3));
    EXPECT_EQ(s.notification_scroll, 0) << "fewer rows than fit";
    s.notifications.resize(12);
    EXPECT_TRUE(wheel(s, m, -10));
    EXPECT_EQ(s.notification_scroll, 4);
    EXPECT_TRUE(wheel(s, m, 1));
    EXPECT_EQ(s.notification_scroll, 3);
    UiState a = album_with(40);
    EXPECT_TRUE(wheel(a, m, -100));
    EXPECT_EQ(a.album.scroll, 5);
    EXPECT_TRUE(scroll_drag(a, m, 162));
    EXPECT_EQ(a.album.scroll, 0);
    EXPECT_TRUE(scroll_drag(a, m, 601));
    EXPECT_EQ(a.album.scroll, 5);
}

TEST(Clipboard, SendingTheLocalClipboard) {
    UiState s = initial_ui_state();
    EXPECT_TRUE(click(s, ctx(), {kActClipSend}).send_local_clipboard);
    clipboard_to_phone(s, "");
    EXPECT_FALSE(s.requests.send_clipboard);
    clipboard_to_phone(s, "你好");
    EXPECT_EQ(s.requests.send_clipboard, std::optional<std::string>("你好"));
    EXPECT_EQ(s.clip_last_sent, "") << "listed once the core sent it";
}

}  // namespace
}  // namespace dovan
