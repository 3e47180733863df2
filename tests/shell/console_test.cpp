// The headless console against a bare UI state: commands must land in the right request
// slot (and nowhere else when malformed), and every change must surface as one event line.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "platform/clock.h"
#include "shell/console.h"

namespace dovan {
namespace {

struct EscapeCase {
    std::string plain;
    std::string escaped;
};

TEST(ConsoleEscape, RoundTripsEveryEscapedCharacter) {
    const EscapeCase cases[] = {
        {"plain text", "plain text"},
        {"a\\b", "a\\\\b"},
        {"line1\nline2", "line1\\nline2"},
        {"cr\rtab\t", "cr\\rtab\\t"},
        {"\\n is not a newline", "\\\\n is not a newline"},
        {"中文 通知", "中文 通知"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(console_escape(c.plain), c.escaped) << c.escaped;
        EXPECT_EQ(console_unescape(c.escaped), c.plain) << c.escaped;
    }
}

TEST(ConsoleEscape, RefusesDanglingAndUnknownEscapes) {
    for (std::string_view bad : {"end\\", "\\x41", "\\ ", "a\\0"})
        EXPECT_FALSE(console_unescape(bad).has_value()) << bad;
}

PhoneNotification note(std::string package, std::string title, std::string text) {
    PhoneNotification n;
    n.package = std::move(package);
    n.title = std::move(title);
    n.text = std::move(text);
    return n;
}

class ConsoleTest : public ::testing::Test {
protected:
    std::shared_ptr<SharedUi> ui = std::make_shared<SharedUi>();
    std::ostringstream out;
    FakeClock clock;
    Console console{ui, out, clock};

    std::string take() {
        std::string s = out.str();
        out.str("");
        return s;
    }
    std::string run(std::string_view line) {
        console.command(line);
        return take();
    }
    std::string events() {
        console.poll_events();
        return take();
    }
    void add_device(std::uint64_t address, std::string name) {
        auto g = ui->lock();
        std::erase_if(g->devices, [&](const ScannedDevice& d) { return d.address == address; });
        g->devices.push_back({address, std::move(name)});
    }
};

TEST_F(ConsoleTest, MalformedCommandsPrintAnErrorAndLeaveEverySlotEmpty) {
    const char* bad[] = {
        "bogus",          "connect",          "connect 12345",    "connect A1B2C3D4E5F6",
        "sas",            "sas maybe",        "identity confirm", "unbind now",
        "status extra",   "media",            "media play",       "media 1 loud",
        "reply 0 hello",  "reply x hello",    "reply 0",          "cancel sideways a.txt",
        "cancel send",    "clip bad\\escape", "send",             "album page 1",
        "album page a 2", "manual-ip 1.2.3.4\\", "quit now",
        "album thumb",    "album thumb x",    "album export /tmp", "album export /tmp 1 b",
        "album drag",     "album drag -1",    "album sideways",    "album export bad\\q 1",
        "clip caf\xc3",
    };
    for (const char* line : bad) {
        const std::string printed = run(line);
        EXPECT_TRUE(printed.starts_with("error ")) << line << " -> " << printed;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << line;
        auto g = ui->lock();
        EXPECT_TRUE(g->requests.empty()) << line;
        EXPECT_TRUE(g->manual_ip_box.empty()) << line;
        EXPECT_FALSE(g->reply_target.has_value()) << line;
    }
    EXPECT_EQ(run(""), "");
}

TEST_F(ConsoleTest, CommandsFillTheirRequestSlots) {
    add_device(0xA1B2C3D4E5F6, "Pixel 8");
    EXPECT_EQ(run("connect A1B2C3D4E5F6"), "");
    EXPECT_EQ(run("sas confirm"), "");
    EXPECT_EQ(run("identity reject"), "");
    EXPECT_EQ(run("unbind"), "");
    EXPECT_EQ(run("manual-ip  192.168.1.23\\t"), "");
    EXPECT_EQ(run("send /tmp/a b.txt"), "");
    EXPECT_EQ(run("send /tmp/c.txt"), "");
    EXPECT_EQ(run("cancel recv photo 1.jpg"), "");
    EXPECT_EQ(run("clip line1\\nline2"), "");
    EXPECT_EQ(run("media 3 40"), "");
    EXPECT_EQ(run("album page 2 30"), "");
    EXPECT_EQ(run("album thumb 77"), "");
    EXPECT_EQ(run("album export /tmp/out\\tdir 5 6 7"), "");
    EXPECT_EQ(run("album drag 8 9"), "");
    EXPECT_EQ(console.command("quit"), Console::Outcome::Quit);

    auto g = ui->lock();
    const UiRequests& r = g->requests;
    EXPECT_EQ(r.connect, 0xA1B2C3D4E5F6u);
    EXPECT_TRUE(r.sas_confirm);
    EXPECT_FALSE(r.sas_reject);
    EXPECT_TRUE(r.identity_reject);
    EXPECT_FALSE(r.identity_accept);
    EXPECT_TRUE(r.unbind);
    EXPECT_TRUE(r.manual_connect);
    EXPECT_EQ(g->manual_ip_box, " 192.168.1.23\t");
    ASSERT_TRUE(r.send_files.has_value());
    EXPECT_EQ(*r.send_files, (std::vector<std::string>{"/tmp/a b.txt", "/tmp/c.txt"}));
    ASSERT_TRUE(r.cancel.has_value());
    EXPECT_EQ(r.cancel->direction, TransferDirection::Receive);
    EXPECT_EQ(r.cancel->name, "photo 1.jpg");
    EXPECT_EQ(r.send_clipboard, "line1\nline2");
    ASSERT_TRUE(r.media.has_value());
    EXPECT_EQ(r.media->action, 3);
    EXPECT_EQ(r.media->volume, 40);
    ASSERT_TRUE(r.album_page.has_value());
    EXPECT_EQ(r.album_page->page, 2u);
    EXPECT_EQ(r.album_page->per_page, 30u);
    EXPECT_EQ(g->page, Page::Album) << "asking for a page is looking at the album";
    EXPECT_EQ(r.thumbnail_wanted, 77u);
    ASSERT_TRUE(r.album_export.has_value());
    EXPECT_EQ(r.album_export->folder, "/tmp/out\tdir");
    EXPECT_EQ(r.album_export->ids, (std::vector<std::uint64_t>{5, 6, 7}));
    EXPECT_EQ(r.album_drag, (std::vector<std::uint64_t>{8, 9}));
}

TEST_F(ConsoleTest, ReplyTargetsTheChosenRowAndWaitsForOneReplyAtATime) {
    {
        auto g = ui->lock();
        PhoneNotification older = note("com.chat", "Ann", "hi");
        older.notification_id = 7;
        older.reply_result_key = "k";
        PhoneNotification newer = note("com.mail", "Bob", "yo");
        g->notifications = {newer, older};
    }
    // The phone would throw the whole message away over a byte that is not UTF-8.
    EXPECT_EQ(run("reply 1 caf\xc3"), "error text is not UTF-8\n");
    EXPECT_EQ(run("clip \xff ok"), "error text is not UTF-8\n");
    {
        auto g = ui->lock();
        EXPECT_FALSE(g->requests.send_reply.has_value());
        EXPECT_FALSE(g->requests.send_clipboard.has_value());
        EXPECT_TRUE(g->awaiting_replies.empty());
    }
    EXPECT_EQ(run("reply 1 on my way\\n"), "");
    {
        auto g = ui->lock();
        ASSERT_TRUE(g->requests.send_reply.has_value());
        EXPECT_EQ(g->requests.send_reply->target.package, "com.chat");
        EXPECT_EQ(g->requests.send_reply->target.notification_id, 7);
        EXPECT_EQ(g->requests.send_reply->text, "on my way");
        EXPECT_EQ(g->awaiting_replies.size(), 1u);
    }
    EXPECT_TRUE(run("reply 0 second").starts_with("error "));
    auto g = ui->lock();
    EXPECT_EQ(g->requests.send_reply->target.package, "com.chat");
    EXPECT_EQ(g->awaiting_replies.size(), 1u);
}

TEST_F(ConsoleTest, QueriesPrintTheCurrentState) {
    add_device(0x00000000ABCD, "Pixel\t8");
    add_device(0xA1B2C3D4E5F6, "");
    EXPECT_EQ(run("devices"), "device 00000000ABCD Pixel\\t8\ndevice A1B2C3D4E5F6 \ndevices end\n");

    EXPECT_EQ(run("status"), "status state=0 paired=0 tcp=0 peer= fp= self= addr=\n");
    {
        auto g = ui->lock();
        g->engine_state = 4;
        g->paired = true;
        g->tcp_ready = true;
        g->peer_name = "My Phone";
        g->peer_fingerprint = "0123456789abcdef";
        g->local_fingerprint = "fedcba9876543210";
        g->peer_address = "127.0.0.1";
        g->notifications = {note("p", "t\n2", "x")};
    }
    EXPECT_EQ(run("status"),
              "status state=4 paired=1 tcp=1 peer=My Phone fp=0123456789abcdef "
              "self=fedcba9876543210 addr=127.0.0.1\n");
    EXPECT_EQ(run("notifications"), "notification 0 p\tt\\n2\tx\nnotifications end\n");

    EXPECT_EQ(run("album"), "album end 0 0\n");
    {
        auto g = ui->lock();
        g->album.page = 3;
        g->album.total = 130;
        g->album.items = {{41, "IMG\t1.jpg", 2048, 0, 4000, 3000, 0, 0}, {42, "clip.mp4", 9, 0, 1920, 1080, 1, 5000}};
    }
    EXPECT_EQ(run("album"),
              "album-item 0 41 0 2048 4000x3000\tIMG\\t1.jpg\n"
              "album-item 1 42 1 9 1920x1080\tclip.mp4\n"
              "album end 3 130\n");

    EXPECT_EQ(run("rows"), "rows end\n");
    {
        auto g = ui->lock();
        g->update_transfer_row(TransferDirection::Send, "a b.txt", 40, "发送中", clock.now());
        g->update_transfer_row(TransferDirection::Receive, "c\td.jpg", 100, "已完成", clock.now());
    }
    EXPECT_EQ(run("rows"), "row recv 100 已完成\tc\\td.jpg\nrow send 40 发送中\ta b.txt\nrows end\n");
}

TEST_F(ConsoleTest, HelpListsEveryCommandAUserCanTypeAndEachOneIsKnown) {
    const std::string help = run("help");
    ASSERT_TRUE(help.ends_with("\nhelp end\n")) << help;
    std::set<std::string> verbs;
    std::istringstream lines(help);
    for (std::string l; std::getline(lines, l) && l != "help end";) {
        ASSERT_TRUE(l.starts_with("command ")) << l;
        const auto tab = l.find('\t');
        ASSERT_NE(tab, std::string::npos) << l;
        EXPECT_GT(l.size(), tab + 1) << "no description: " << l;
        const std::string form = l.substr(8, tab - 8);
        verbs.insert(form.substr(0, form.find(' ')));
    }
    const std::set<std::string> documented = {
        "devices", "connect",   "sas",       "identity",  "unbind",     "manual-ip", "send",  "cancel",
        "clip",    "media",     "reply",     "album",     "status",     "notifications", "quit", "help",
        "copy-code", "copy-text", "local-clip", "send-clip", "settings", "set",       "rows"};
    EXPECT_EQ(verbs, documented);
    // Every listed verb reaches its own handling, never the unknown-command answer.
    for (const auto& v : verbs) EXPECT_EQ(run(v).find("unknown command"), std::string::npos) << v;
    EXPECT_NE(run("helpme").find("error unknown command"), std::string::npos);
    EXPECT_NE(run("help album").find("error usage: help"), std::string::npos);
}

TEST_F(ConsoleTest, EachChangeIsPrintedOnceAsItsEvent) {
    EXPECT_EQ(events(), "");
    {
        auto g = ui->lock();
        g->set_engine_state(3);
        SystemNotification sys;
        sys.title = "手动 IP 已加入";
        sys.body = "将持续向\n";
        g->queue_system_notification(sys);
        g->set_sas_prompt(42);
    }
    EXPECT_EQ(events(), "state 3\nsysnote 手动 IP 已加入\t将持续向\\n\nsas 000042\n");
    EXPECT_TRUE(ui->lock()->system_notifications.empty());
    EXPECT_EQ(events(), "");

    {
        auto g = ui->lock();
        g->set_engine_state(4);
        g->set_sas_prompt(std::nullopt);  // a prompt going away is not an event
        g->peer_name = "Pixel 8";
        g->mark_paired("0123456789abcdef");
        g->set_tcp_ready(true);
        g->set_tcp_ready(true);  // no change, no line
    }
    EXPECT_EQ(events(), "state 4\npaired 0123456789abcdef\tPixel 8\ntcp 1\n");

    {
        auto g = ui->lock();
        g->set_identity_change(IdentityChangePrompt{"Pixel 8", "0123456789abcdef", "aaaaaaaaaaaaaaaa"});
        g->set_tcp_ready(false);
        g->emit(feed::ClipboardReceived{"copied\ttext"});
    }
    EXPECT_EQ(events(),
              "identity-changed Pixel 8\t0123456789abcdef\taaaaaaaaaaaaaaaa\ntcp 0\n"
              "clipboard copied\\ttext\n");

    // The same phone again is not news; a new fingerprint while still paired is a new trust.
    ui->lock()->mark_paired("0123456789abcdef");
    EXPECT_EQ(events(), "");
    ui->lock()->mark_paired("aaaaaaaaaaaaaaaa");
    EXPECT_EQ(events(), "paired aaaaaaaaaaaaaaaa\tPixel 8\n");
    // Quick changes between two reads are all printed, in order.
    {
        auto g = ui->lock();
        g->set_engine_state(6);
        g->set_engine_state(4);
    }
    EXPECT_EQ(events(), "state 6\nstate 4\n");
}

TEST_F(ConsoleTest, EventsOfTheFeaturesPrintInTheirLineForms) {
    const struct {
        FeedData event;
        std::string line;
    } cases[] = {
        {feed::NotificationStored{"pkg", "T\tt", "body\n"}, "notification pkg\tT\\tt\tbody\\n"},
        {feed::LocalClipboard{"123456"}, "local-clipboard 123456"},
        {feed::MediaStored{true, 1500, 200000, 7, "music", "Song", "Artist", "Album"},
         "media 1 1500/200000 7\tmusic\tSong\tArtist\tAlbum"},
        {feed::Battery{-1, false}, "battery -1 0"},
        {feed::Battery{80, true}, "battery 80 1"},
        {feed::ReplyStatus{true, "已发送"}, "reply-status 1\t已发送"},
        {feed::AlbumList{2, 130, 30, ""}, "album-list 2 130 30\t"},
        {feed::Thumb{17, 4096, ""}, "thumb 17 4096"},
        {feed::Thumb{18, std::nullopt, "超时"}, "thumb 18 error\t超时"},
        {feed::Drag{true, "/tmp/a b.jpg"}, "drag ready\t/tmp/a b.jpg"},
        {feed::Drag{false, "没有选中"}, "drag failed\t没有选中"},
    };
    for (const auto& c : cases) {
        ui->lock()->emit(c.event);
        EXPECT_EQ(events(), c.line + "\n");
    }
}

TEST(ConsoleFeed, ASlowReaderIsToldHowManyEventsItLostAndReadsOnFromTheOldestKept) {
    auto ui = std::make_shared<SharedUi>(initial_ui_state(), LoadedModules{}, 3);
    std::ostringstream out;
    FakeClock clock;
    Console console(ui, out, clock);
    {
        auto g = ui->lock();
        for (const char* t : {"a", "b", "c", "d", "e"}) g->add_notice(t);
    }
    console.poll_events();
    EXPECT_EQ(out.str(), "lost 2\nnotice c\nnotice d\nnotice e\n");
    out.str("");
    ui->lock()->add_notice("f");
    console.poll_events();
    EXPECT_EQ(out.str(), "notice f\n");
}

TEST_F(ConsoleTest, NoticesArePrintedOncePerAdditionIncludingRepeats) {
    struct Step {
        std::vector<std::string> add;
        std::string expected;
    };
    const Step steps[] = {
        {{"a"}, "notice a\n"},
        {{"a"}, "notice a\n"},                       // a repeat only raises the count
        {{"b", "c"}, "notice b\nnotice c\n"},
        {{"c", "d", "e"}, "notice c\nnotice d\nnotice e\n"},  // older ones fall off the cap
        {{"e"}, "notice e\n"},
        {{"f", "f", "f"}, "notice f\nnotice f\nnotice f\n"},
        {{}, ""},
    };
    for (const auto& step : steps) {
        {
            auto g = ui->lock();
            for (const auto& t : step.add) g->add_notice(t);
        }
        EXPECT_EQ(events(), step.expected);
    }
}

TEST_F(ConsoleTest, RowsPrintOnlyWhatChanged) {
    {
        auto g = ui->lock();
        g->update_transfer_row(TransferDirection::Send, "a.txt", 0, "等待中", clock.now());
        g->update_transfer_row(TransferDirection::Receive, "b.txt", 50, "接收中", clock.now());
    }
    EXPECT_EQ(events(), "row send 0 等待中\ta.txt\nrow recv 50 接收中\tb.txt\n");
    ui->lock()->update_transfer_row(TransferDirection::Receive, "b.txt", 50, "接收中", clock.now());
    EXPECT_EQ(events(), "");
    ui->lock()->update_transfer_row(TransferDirection::Send, "a.txt", 100, "已完成", clock.now());
    EXPECT_EQ(events(), "row send 100 已完成\ta.txt\n");
    ui->lock()->update_transfer_row(TransferDirection::Send, "a.txt", 100, "已校验", clock.now());
    EXPECT_EQ(events(), "row send 100 已校验\ta.txt\n");
}

}  // namespace
}  // namespace dovan
