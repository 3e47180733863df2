// The headless console against a bare UI state: commands must land in the right request
// slot (and nowhere else when malformed), and every change must surface as one event line.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "common/shown_text.h"
#include "common/text.h"
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
        // A device name that would retitle the terminal and clear it.
        {"Evil\x1b]0;pwned\x07\x1b[2J", "Evil\\x1B]0;pwned\\x07\\x1B[2J"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"\x01\x0b\x0c\x1f del\x7f", "\\x01\\x0B\\x0C\\x1F del\\x7F"},
        // C1 controls: NEL and the 8-bit CSI some terminals obey.
        {"a\u0085b\u009b2J", "a\\u{0085}b\\u{009B}2J"},
        // Bidirectional controls that would reorder what follows them.
        {"invoice\u202Etxt.exe", "invoice\\u{202E}txt.exe"},
        {"\u061C\u200E\u200F\u202A\u202B\u202C\u202D",
         "\\u{061C}\\u{200E}\\u{200F}\\u{202A}\\u{202B}\\u{202C}\\u{202D}"},
        {"\u2066\u2067\u2068\u2069", "\\u{2066}\\u{2067}\\u{2068}\\u{2069}"},
        // Other format characters: soft hyphen, zero-width space, BOM, line and paragraph
        // separators, an invisible tag.
        {"\u00AD\u200B\uFEFF\u2028\u2029\U000E0041", "\\u{00AD}\\u{200B}\\u{FEFF}\\u{2028}\\u{2029}\\u{E0041}"},
        // Ill-formed UTF-8: each stray byte on its own, so the output stays UTF-8.
        {"caf\xe9 \xff", "caf\\xE9 \\xFF"},
        {"\xe9\xaa", "\\xE9\\xAA"},
        {"\xc2\x9b", "\\u{009B}"},
        // What text needs stays: no-break space, accents, emoji joined with ZWJ.
        {"\u00A0é 👩\u200D💻 \u200C", "\u00A0é 👩\u200D💻 \u200C"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(console_escape(c.plain), c.escaped) << c.escaped;
        EXPECT_EQ(console_unescape(c.escaped), c.plain) << c.escaped;
    }
}

TEST(ConsoleEscape, RefusesDanglingAndUnknownEscapes) {
    for (std::string_view bad : {"end\\", "\\x4", "\\xG1", "\\ ", "a\\0", "\\u202E", "\\u{}", "\\u{202E",
                                 "\\u{1234567}", "\\u{D800}", "\\u{110000}", "\\u{20 }"})
        EXPECT_FALSE(console_unescape(bad).has_value()) << bad;
}

// Any printed text is valid UTF-8 with no character that acts on the terminal but the tab
// that separates fields and the line feed that ends lines.
::testing::AssertionResult safe_output(std::string_view out) {
    if (!utf8_valid(out)) return ::testing::AssertionFailure() << "not UTF-8: " << out;
    for (std::size_t i = 0; i < out.size();) {
        const char32_t c = utf8_next(out, i);
        if (c != '\t' && c != '\n' && is_control_or_format(c))
            return ::testing::AssertionFailure() << "U+" << std::hex << static_cast<std::uint32_t>(c) << " in " << out;
    }
    return ::testing::AssertionSuccess();
}

TEST(ConsoleEscape, EveryByteAndCharacterComesOutInertAndEscapesBack) {
    for (int b = 0; b < 256; ++b) {
        const std::string text = "a" + std::string(1, static_cast<char>(b)) + "z";
        const std::string escaped = console_escape(text);
        EXPECT_TRUE(safe_output(escaped));
        EXPECT_EQ(escaped.find_first_of("\t\n"), std::string::npos) << b;
        EXPECT_EQ(console_unescape(escaped), text) << b;
    }
    for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
        if (c == 0xD800) c = 0xE000;
        std::string text;
        utf8_append(text, c);
        const std::string escaped = console_escape(text);
        ASSERT_TRUE(safe_output(escaped)) << static_cast<std::uint32_t>(c);
        ASSERT_EQ(console_unescape(escaped), text) << static_cast<std::uint32_t>(c);
    }
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

// Text a peer chose (a device name before pairing, anything a paired phone sends) reaches
// every line the console prints only escaped: no terminal command, no reordering, no
// extra line or field.
TEST_F(ConsoleTest, HostilePeerTextIsEscapedInEveryLineItReaches) {
    const std::string evil = "Evil\x1b]0;pwned\x07\x1b[2J\u202Egnp.exe\u2066\x9b\xc2\x9b\nforged 1\tx\r\x7f";
    const std::string shown = console_escape(evil);
    ASSERT_TRUE(safe_output(shown));
    add_device(0xA1B2C3D4E5F6, evil);
    {
        auto g = ui->lock();
        g->peer_name = evil;
        g->peer_address = evil;
        g->notifications = {note(evil, evil, evil)};
        g->album.items = {{41, evil, 1, 0, 1, 1, 0, 0}};
        g->update_transfer_row(TransferDirection::Receive, evil, 10, evil, clock.now());
        g->add_notice(evil);
        g->queue_system_notification(SystemNotification{evil, evil, {}, {}});
        g->mark_paired(evil);
        g->set_identity_change(IdentityChangePrompt{evil, evil, evil});
        for (const FeedData& e : std::initializer_list<FeedData>{
                 feed::NotificationStored{evil, evil, evil}, feed::ClipboardReceived{evil}, feed::LocalClipboard{evil},
                 feed::MediaStored{true, 1, 2, 3, evil, evil, evil, evil}, feed::ReplyStatus{false, evil},
                 feed::AlbumList{1, 2, 3, evil}, feed::Thumb{5, std::nullopt, evil}, feed::Drag{false, evil}})
            g->emit(e);
    }
    struct Printed {
        std::string what;
        std::string out;
        std::size_t lines;     // how many lines it must be
        std::size_t evil_in;   // how many copies of the escaped text it must show
    };
    const Printed printed[] = {
        {"devices", run("devices"), 2, 1},
        {"status", run("status"), 1, 3},
        {"notifications", run("notifications"), 2, 3},
        {"album", run("album"), 2, 1},
        {"rows", run("rows"), 2, 2},
        // row, notice, sysnote, paired, identity-changed, then the eight emitted above
        {"events", events(), 13, 2 + 1 + 2 + 2 + 3 + 3 + 1 + 1 + 4 + 1 + 1 + 1 + 1},
    };
    for (const auto& p : printed) {
        SCOPED_TRACE(p.what);
        EXPECT_TRUE(safe_output(p.out));
        EXPECT_EQ(static_cast<std::size_t>(std::count(p.out.begin(), p.out.end(), '\n')), p.lines) << p.out;
        std::size_t copies = 0;
        for (auto at = p.out.find(shown); at != std::string::npos; at = p.out.find(shown, at + 1)) ++copies;
        EXPECT_EQ(copies, p.evil_in) << p.out;
    }
}

}  // namespace
}  // namespace dovan
