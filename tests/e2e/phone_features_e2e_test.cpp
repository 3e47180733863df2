// The phone features between the built program (`dovan --headless`) and the built phone
// simulator: notifications with their code, replies and their outcomes, the clipboard both
// ways, media, battery and the configuration sync, each test on its own folders and port.
#include <fstream>
#include <sstream>

#include "common/shown_text.h"
#include "common/text.h"
#include "e2e_support.h"

namespace dovan::e2e {
namespace {

// A phone paired with the program and bound on TCP, both followed line by line.
class PairedPhone : public ::testing::Test {
protected:
    TempDir tmp;
    std::string radio = tmp.sub("radio");
    std::string appdata = tmp.sub("appdata");
    std::uint16_t lan_port = free_loopback_port();
    std::unique_ptr<Process> phone;
    std::unique_ptr<Process> pc;

    void TearDown() override {
        if (HasFailure()) {
            if (pc) ADD_FAILURE() << "console said:\n" << pc->transcript();
            if (phone) ADD_FAILURE() << "phone said:\n" << phone->transcript();
        }
        pc.reset();
        phone.reset();
    }

    void start(std::vector<std::string> phone_options = {}) {
        std::vector<std::string> argv{binary("phone-sim"), "--radio", radio, "--data", tmp.sub("phone"),
                                      "--lan-port", std::to_string(lan_port)};
        argv.insert(argv.end(), phone_options.begin(), phone_options.end());
        phone = std::make_unique<Process>(argv, std::vector<std::string>{}, (tmp.path() / "phone.stderr").string());
        auto addr = phone->wait_line("address ");
        ASSERT_TRUE(addr);
        pc = std::make_unique<Process>(
            std::vector<std::string>{binary("dovan"), "--headless", "--lan-port", std::to_string(lan_port)},
            std::vector<std::string>{"DOVAN_SIM_RADIO=" + radio, "APPDATA=" + appdata},
            (tmp.path() / "dovan.stderr").string());
        const std::string device = "device " + addr->substr(8);
        ASSERT_TRUE(eventually([&] {
            const std::size_t from = pc->mark();
            pc->send("devices");
            if (!pc->wait_line("devices end", from, 5s)) return false;
            if (pc->wait_line(device, from, 0ms)) return true;
            std::this_thread::sleep_for(200ms);
            return false;
        }));
        pc->send("connect " + addr->substr(8));
        ASSERT_TRUE(pc->wait_line("sas "));
        pc->send("sas confirm");
        ASSERT_TRUE(pc->wait_line("state 4"));
        ASSERT_TRUE(pc->wait_line("tcp 1"));
        ASSERT_TRUE(phone->wait_line("tcp 1"));
    }

    // Every line from `from` on, once the console has answered a `status` sent after them.
    std::vector<std::string> settled(Process& p, std::size_t from) {
        const std::size_t mark = pc->mark();
        pc->send("status");
        EXPECT_TRUE(pc->wait_line("status ", mark));
        auto all = p.lines();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

    std::string settings_ini() {
        std::ifstream in(std::filesystem::path(appdata) / "Dovan" / "settings.ini");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

bool has_line(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
}

// Text the phone chooses, from the name it advertises before any pairing to what it sends
// once paired, reaches the console escaped: the terminal that shows it takes no command,
// no reordering and no extra line from it.
TEST_F(PairedPhone, HostileNamesAndTextsReachTheConsoleEscaped) {
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

TEST_F(PairedPhone, NotificationCodeCopyAndReplyOutcomes) {
    start();
    if (HasFatalFailure()) return;
    const std::string sms = "【银行】您的验证码是 482913，5 分钟内有效";
    phone->send("notify 42 1 com.sms\\t短信\\t" + sms + "\\tsms-tag");
    EXPECT_TRUE(pc->wait_line("sysnote 短信\t" + sms));
    EXPECT_TRUE(pc->wait_line("notification com.sms\t短信\t" + sms));

    // The copied code is the program's own text: a clipboard change to it is not pushed.
    std::size_t from = pc->mark();
    pc->send("copy-code 0");
    EXPECT_TRUE(pc->wait_line("local-clipboard 482913", from));
    std::size_t phone_from = phone->mark();
    pc->send("local-clip 482913");
    std::this_thread::sleep_for(1s);  // a turn apart, or the second would replace the first
    pc->send("local-clip 别的文字");
    ASSERT_TRUE(phone->wait_line("rx clip 别的文字", phone_from));
    EXPECT_FALSE(has_line(settled(*phone, phone_from), "rx clip 482913"));

    // A reply names its notification; the phone's acknowledgement is shown.
    from = pc->mark();
    phone_from = phone->mark();
    pc->send("reply 0 好的\\t谢谢");
    auto rx = phone->wait_line("rx reply ", phone_from);
    ASSERT_TRUE(rx);
    EXPECT_EQ(*rx, "rx reply 1\tcom.sms\tsms-tag\t42\t0\treply_text\t好的\\t谢谢");
    EXPECT_TRUE(pc->wait_line("reply-status 1\t已发送", from));

    // The phone reads its commands and the PC's frames on separate paths: wait until it
    // has taken the new answer before the PC sends the next reply.
    std::size_t phone_set = phone->mark();
    phone->send("ack error \\t群已解散 ");
    ASSERT_TRUE(phone->wait_line("setting applied", phone_set));
    pc->send("reply 0 再见");
    EXPECT_TRUE(pc->wait_line("reply-status 0\t群已解散", from));

    phone->send("ack-id 777 1");
    EXPECT_TRUE(pc->wait_line("notice 收到一条不认识的回执（第 777 次回复）", from));

    // Without an answer the reply fails after ten seconds.
    phone_set = phone->mark();
    phone->send("ack never");
    ASSERT_TRUE(phone->wait_line("setting applied", phone_set));
    from = pc->mark();
    pc->send("reply 0 在吗");
    EXPECT_TRUE(phone->wait_line("rx reply 3\t", phone_from));
    EXPECT_TRUE(pc->wait_line("reply-status 0\t手机没有回应（请把手机端 Dovan 升到最新版）", from, 30s));

    // With the content hidden the toast says only that something came.
    pc->send("set toast_show_content 0");
    from = pc->mark();
    phone->send("notify 43 0 com.sms\\t短信\\t验证码 111222");
    EXPECT_TRUE(pc->wait_line("sysnote 短信\t收到一条通知（正文已隐藏）", from));
    EXPECT_NE(settings_ini().find("toast_show_content=0"), std::string::npos);
}

TEST_F(PairedPhone, ClipboardBothWaysWithoutEchoAndWithinTheLimit) {
    start();
    if (HasFatalFailure()) return;
    std::size_t from = pc->mark();
    std::size_t phone_from = phone->mark();
    phone->send("clip 手机上复制的\\n两行");
    EXPECT_TRUE(pc->wait_line("clipboard 手机上复制的\\n两行", from));
    EXPECT_TRUE(pc->wait_line("local-clipboard 手机上复制的\\n两行", from));
    // The phone's text now on the local clipboard is never sent back.
    pc->send("local-clip 手机上复制的\\n两行");
    std::this_thread::sleep_for(1500ms);  // several turns, time enough for an echo to arrive
    EXPECT_FALSE(has_line(settled(*phone, phone_from), "rx clip"));

    const std::string limit(32768, 'a');
    pc->send("clip " + limit);
    EXPECT_TRUE(phone->wait_line("rx clip " + limit, phone_from));
    from = pc->mark();
    pc->send("clip " + limit + "b");
    EXPECT_TRUE(pc->wait_line("notice 剪贴板未发出：尚未配对，或链路未就绪", from));
    EXPECT_TRUE(pc->wait_line("notice [-1] 剪贴板内容 32 KB 超过 32 KB 上限，未发送", from));
    EXPECT_EQ(phone->count("rx clip "), 1u);

    // The send button skips the automatic checks.
    pc->send("send-clip");
    EXPECT_TRUE(eventually([&] { return phone->count("rx clip ") == 2; }));
}

TEST_F(PairedPhone, DemoMediaBatteryAndConfigurationSync) {
    start({"--demo"});
    if (HasFatalFailure()) return;
    EXPECT_TRUE(pc->wait_line("notification com.example.sms\t短信\t"));
    EXPECT_TRUE(pc->wait_line("battery 82 1"));
    EXPECT_TRUE(pc->wait_line("media 1 61000/226000 40\tcom.example.music\t夜曲\t周杰伦\t十一月的萧邦"));

    std::size_t from = pc->mark();
    const std::size_t phone_from = phone->mark();
    pc->send("media 0");
    EXPECT_TRUE(phone->wait_line("rx media-command 0 0 0", phone_from));
    EXPECT_TRUE(pc->wait_line("media 0 61000/226000 40\t", from));

    phone->send("battery 150 0");
    EXPECT_TRUE(pc->wait_line("battery -1 0", from));

    // Sent when PAIRED and again once the TCP channel was bound.
    const std::string ours = "rx config notify.toast.enabled 1 cross\tnotify.toast.show_content 1 cross\tclip.sync 1 per_peer";
    EXPECT_TRUE(eventually([&] { return phone->count(ours) >= 2; })) << "the sync once per engine and once per bind";

    phone->send("config clip.sync true cross\tnotify.toast.enabled 0 local");
    EXPECT_TRUE(eventually([&] { return settings_ini().find("clip_sync=0") != std::string::npos; }));
    from = pc->mark();
    pc->send("settings");
    ASSERT_TRUE(pc->wait_line("settings end", from));
    const auto lines = settled(*pc, from);
    EXPECT_TRUE(has_line(lines, "setting clip_sync 0"));
    EXPECT_TRUE(has_line(lines, "setting toast_enabled 1"));
    EXPECT_NE(settings_ini().find("toast_enabled=1"), std::string::npos);
}

}  // namespace
}  // namespace dovan::e2e
