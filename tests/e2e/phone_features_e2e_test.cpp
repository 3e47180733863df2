// The phone features between the built program and the built phone simulator:
// notifications with their code, replies and their outcomes, the clipboard both ways, media,
// battery and the configuration sync, each test on its own folders and port, and each with
// both front ends: the headless console and the window program (see front_end.h).
#include "common/shown_text.h"
#include "common/text.h"
#include "front_end.h"

namespace dovan::e2e {
namespace {

using PairedPhone = BothFrontEnds;

// What only the console has.
class ConsolePhone : public BothFrontEnds {};


bool has_line(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
}

// Text the phone chooses, from the name it advertises before any pairing to what it sends
// once paired, reaches the console escaped: the terminal that shows it takes no command,
// no reordering and no extra line from it.
TEST_P(ConsolePhone, HostileNamesAndTextsReachTheConsoleEscaped) {
    const std::string name = "Evil\x1b]0;pwned\x07\x1b[2J\u202E";
    const std::string shown = "Evil\\x1B]0;pwned\\x07\\x1B[2J\\u{202E}";
    start({"--name", name});
    const std::size_t from = pc->mark();
    // The simulator reads the console's escapes on its input, so these are raw controls.
    phone->send("notify 7 0 com.evil\\tT\\x1B[2J\\u{009B}31m\\tline\\nforged 1\\u{2066}");
    phone->send("clip \\x1B]52;c;AAAA\\x07");
    ASSERT_TRUE(pc->wait_line("notification com.evil\tT\\x1B[2J\\u{009B}31m\tline\\nforged 1\\u{2066}", from));
    ASSERT_TRUE(pc->wait_line("clipboard \\x1B]52;c;AAAA\\x07", from));
    const auto lines = settled(*pc, 0);
    EXPECT_TRUE(has_line(lines, "paired ")) << pc->transcript();
    for (const std::string& l : lines)
        if (l.starts_with("paired ") || l.starts_with("status ")) {
            EXPECT_NE(l.find(shown), std::string::npos) << l;
        }
    for (const std::string& l : lines) {
        ASSERT_TRUE(utf8_valid(l)) << l;
        for (std::size_t i = 0; i < l.size();) {
            const char32_t c = utf8_next(l, i);
            EXPECT_TRUE(c == '\t' || !is_control_or_format(c)) << l;
        }
    }
}

TEST_P(PairedPhone, NotificationCodeCopyAndReplyOutcomes) {
    start();
    if (HasFatalFailure()) return;
    const auto nothing_sent = recently_sent_line();
    const std::string sms = "【银行】您的验证码是 482913，5 分钟内有效";
    std::size_t from = pc->mark();
    phone->send("notify 42 1 com.sms\\t短信\\t" + sms + "\\tsms-tag");
    EXPECT_TRUE(system_notification("短信", sms, from));
    EXPECT_TRUE(pc->wait_line("notification com.sms\t短信\t" + sms));

    // The copied code is the program's own text: a clipboard change to it is not pushed.
    from = pc->mark();
    copy_code();
    EXPECT_TRUE(pc_clipboard_becomes("482913", from));
    std::size_t phone_from = phone->mark();
    copy_on_pc("482913");
    std::this_thread::sleep_for(1s);  // a turn apart, or the second would replace the first
    // Nothing went to the phone yet, and the window says so under "最近发送".
    if (nothing_sent) {
        EXPECT_TRUE(recently_sent_line() == nothing_sent) << "最近发送 changed though nothing was sent";
        if (HasFailure()) keep_screen("recently-sent-unsent-code");
    }
    copy_on_pc("别的文字");
    ASSERT_TRUE(phone->wait_line("rx clip 别的文字", phone_from));
    EXPECT_FALSE(has_line(settled(*phone, phone_from), "rx clip 482913"));

    // A reply names its notification; the phone's acknowledgement is shown. The console
    // takes a tab in the text; a box in the window holds one line, and its reply starts
    // from the system notification's "回复这条".
    from = pc->mark();
    phone_from = phone->mark();
    if (window()) {
        reply_from_notification("好的 谢谢");
    } else {
        reply(0, "好的\t谢谢");
    }
    auto rx = phone->wait_line("rx reply ", phone_from);
    ASSERT_TRUE(rx);
    EXPECT_EQ(*rx, std::string("rx reply 1\tcom.sms\tsms-tag\t42\t0\treply_text\t") +
                       (window() ? "好的 谢谢" : "好的\\t谢谢"));
    EXPECT_TRUE(pc->wait_line("reply-status 1\t已发送", from));

    // The phone reads its commands and the PC's frames on separate paths: wait until it
    // has taken the new answer before the PC sends the next reply.
    std::size_t phone_set = phone->mark();
    phone->send("ack error \\t群已解散 ");
    ASSERT_TRUE(phone->wait_line("setting applied", phone_set));
    reply(0, "再见", true);
    EXPECT_TRUE(pc->wait_line("reply-status 0\t群已解散", from));

    phone->send("ack-id 777 1");
    EXPECT_TRUE(pc->wait_line("notice 收到一条不认识的回执（第 777 次回复）", from));

    // Without an answer the reply fails after ten seconds.
    phone_set = phone->mark();
    phone->send("ack never");
    ASSERT_TRUE(phone->wait_line("setting applied", phone_set));
    from = pc->mark();
    reply(0, "在吗", true);
    EXPECT_TRUE(phone->wait_line("rx reply 3\t", phone_from));
    EXPECT_TRUE(pc->wait_line("reply-status 0\t手机没有回应（请把手机端 Dovan 升到最新版）", from, 30s));

    // With the content hidden the toast says only that something came.
    hide_notification_content();
    EXPECT_TRUE(eventually([&] { return settings_ini().find("toast_show_content=0") != std::string::npos; }));
    from = pc->mark();
    phone->send("notify 43 0 com.sms\\t短信\\t验证码 111222");
    EXPECT_TRUE(system_notification("短信", "收到一条通知（正文已隐藏）", from));
}

TEST_P(PairedPhone, ClipboardBothWaysWithoutEchoAndWithinTheLimit) {
    start();
    if (HasFatalFailure()) return;
    std::size_t from = pc->mark();
    std::size_t phone_from = phone->mark();
    phone->send("clip 手机上复制的\\n两行");
    EXPECT_TRUE(pc->wait_line("clipboard 手机上复制的\\n两行", from));
    EXPECT_TRUE(pc_clipboard_becomes("手机上复制的\n两行", from));
    // The phone's text now on the local clipboard is never sent back.
    copy_on_pc("手机上复制的\n两行");
    std::this_thread::sleep_for(1500ms);  // several turns, time enough for an echo to arrive
    EXPECT_FALSE(has_line(settled(*phone, phone_from), "rx clip"));

    // A copy on the PC goes to the phone up to the limit.
    const std::string limit(32768, 'a');
    copy_on_pc(limit);
    EXPECT_TRUE(phone->wait_line("rx clip " + limit, phone_from));
    from = pc->mark();
    copy_on_pc(limit + "b");
    EXPECT_TRUE(pc->wait_line("notice [-1] 剪贴板内容 32 KB 超过 32 KB 上限，未发送", from));
    EXPECT_EQ(phone->count("rx clip "), 1u);

    // The send button skips the automatic checks.
    copy_on_pc("再发一次");
    EXPECT_TRUE(phone->wait_line("rx clip 再发一次", phone_from));
    send_clipboard_now();
    EXPECT_TRUE(eventually([&] { return phone->count("rx clip 再发一次") == 2; }));
}

// The console's own clipboard command sends its text as given, escapes read.
TEST_P(ConsolePhone, TheClipCommandSendsItsTextWithinTheLimit) {
    start();
    if (HasFatalFailure()) return;
    const std::size_t phone_from = phone->mark();
    const std::string limit(32768, 'a');
    pc->send("clip " + limit);
    EXPECT_TRUE(phone->wait_line("rx clip " + limit, phone_from));
    const std::size_t from = pc->mark();
    pc->send("clip " + limit + "b");
    EXPECT_TRUE(pc->wait_line("notice 剪贴板未发出：尚未配对，或链路未就绪", from));
    EXPECT_TRUE(pc->wait_line("notice [-1] 剪贴板内容 32 KB 超过 32 KB 上限，未发送", from));
    EXPECT_EQ(phone->count("rx clip "), 1u);
    pc->send("clip 两行\\n一个\\t制表符");
    EXPECT_TRUE(phone->wait_line("rx clip 两行\\n一个\\t制表符", phone_from));
}

TEST_P(PairedPhone, DemoMediaBatteryAndConfigurationSync) {
    start({"--demo"});
    if (HasFatalFailure()) return;
    EXPECT_TRUE(pc->wait_line("notification com.example.sms\t短信\t"));
    EXPECT_TRUE(pc->wait_line("battery 82 1"));
    EXPECT_TRUE(pc->wait_line("media 1 61000/226000 40\tcom.example.music\t夜曲\t周杰伦\t十一月的萧邦"));

    std::size_t from = pc->mark();
    const std::size_t phone_from = phone->mark();
    play_pause();
    EXPECT_TRUE(phone->wait_line("rx media-command 0 0 0", phone_from));
    EXPECT_TRUE(pc->wait_line("media 0 61000/226000 40\t", from));

    phone->send("battery 150 0");
    EXPECT_TRUE(pc->wait_line("battery -1 0", from));

    // Sent when PAIRED and again once the TCP channel was bound.
    const std::string ours = "rx config notify.toast.enabled 1 cross\tnotify.toast.show_content 1 cross\tclip.sync 1 per_peer";
    EXPECT_TRUE(eventually([&] { return phone->count(ours) >= 2; }))
        << "the sync once per engine and once per bind";

    phone->send("config clip.sync true cross\tnotify.toast.enabled 0 local");
    EXPECT_TRUE(eventually([&] { return settings_ini().find("clip_sync=0") != std::string::npos; }));
    EXPECT_NE(settings_ini().find("toast_enabled=1"), std::string::npos);
    if (window()) return;
    from = pc->mark();
    pc->send("settings");
    ASSERT_TRUE(pc->wait_line("settings end", from));
    const auto lines = settled(*pc, from);
    EXPECT_TRUE(has_line(lines, "setting clip_sync 0"));
    EXPECT_TRUE(has_line(lines, "setting toast_enabled 1"));
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, PairedPhone, front_ends(), front_end_name);
INSTANTIATE_TEST_SUITE_P(Console, ConsolePhone, ::testing::Values(FrontEnd::Console), front_end_name);

}  // namespace
}  // namespace dovan::e2e
