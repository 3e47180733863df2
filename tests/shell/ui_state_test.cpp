#include "shell/ui_state.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dovan {
namespace {

using std::chrono::milliseconds;

std::vector<Notice> notices_of(const UiState& s) { return {s.notices.begin(), s.notices.end()}; }

TEST(Notices, NewestFirstAtMostThreeRepeatsCounted) {
    struct Case {
        const char* name;
        std::vector<std::string> added;
        std::vector<Notice> expected;
    };
    const std::vector<Case> cases = {
        {"three repeats are one notice", {"A", "A", "A"}, {{"A", 3}}},
        {"a repeat only counts against the newest", {"A", "B", "A"}, {{"A", 1}, {"B", 1}, {"A", 1}}},
        {"the fourth drops the oldest", {"A", "B", "C", "D"}, {{"D", 1}, {"C", 1}, {"B", 1}}},
        {"a counted notice is dropped as one", {"A", "A", "B", "C", "D", "D"}, {{"D", 2}, {"C", 1}, {"B", 1}}},
    };
    for (const auto& c : cases) {
        UiState s;
        for (const auto& t : c.added) s.add_notice(t);
        EXPECT_EQ(notices_of(s), c.expected) << c.name;
        EXPECT_EQ(s.change_counter, c.added.size()) << c.name;
    }
}

TEST(Notices, RepeatCountIsShownInTheLine) {
    EXPECT_EQ(notice_line({"TCP 通道断开: 超时", 3}), "TCP 通道断开: 超时（重复 3 次）");
    EXPECT_EQ(notice_line({"TCP 通道断开: 超时", 1}), "TCP 通道断开: 超时");
}

TEST(SystemNotifications, FifthRequestDropsTheOldestWaiting) {
    UiState s;
    for (int i = 1; i <= 5; ++i) {
        SystemNotification n{format_text("t{}", i), format_text("b{}", i), std::nullopt, std::nullopt};
        if (i == 5) n.code = "123456";
        s.queue_system_notification(std::move(n));
    }
    ASSERT_EQ(s.system_notifications.size(), 4u);
    EXPECT_EQ(s.system_notifications.front().title, "t2");
    EXPECT_EQ(s.system_notifications.back().title, "t5");
    EXPECT_EQ(s.system_notifications.back().code, std::optional<std::string>("123456"));
    EXPECT_EQ(s.change_counter, 5u);
}

class TransferRows : public ::testing::Test {
protected:
    FakeClock clock;
    UiState s;
    Instant t0 = clock.now();
};

TEST_F(TransferRows, EleventhRowDropsTheOldestAndUpdatesStayInPlace) {
    for (int i = 1; i <= 11; ++i) {
        s.update_transfer_row(TransferDirection::Receive, format_text("f{}.bin", i), 0, "接收中", t0);
    }
    ASSERT_EQ(s.transfer_rows.size(), 10u);
    EXPECT_EQ(s.transfer_rows.front().name, "f11.bin");
    EXPECT_EQ(s.transfer_rows.back().name, "f2.bin");
    EXPECT_EQ(s.find_transfer_row(TransferDirection::Receive, "f1.bin"), nullptr);

    // Same name, other direction: a row of its own.
    s.update_transfer_row(TransferDirection::Send, "f5.bin", 0, "发送中", t0);
    EXPECT_EQ(s.transfer_rows.front().direction, TransferDirection::Send);
    EXPECT_EQ(s.transfer_rows.size(), 10u);
    EXPECT_EQ(s.transfer_rows.back().name, "f3.bin");

    // An update of an existing row neither moves nor duplicates it.
    s.update_transfer_row(TransferDirection::Receive, "f7.bin", 40, "接收中", t0);
    EXPECT_EQ(s.transfer_rows.size(), 10u);
    EXPECT_EQ(s.transfer_rows[5].name, "f7.bin");
    EXPECT_EQ(s.transfer_rows[5].percent, 40);
}

TEST_F(TransferRows, ChangeCounterMovesOnlyWhenSomethingShownChanged) {
    s.update_transfer_row(TransferDirection::Send, "a.txt", 10, "发送中", t0);
    const auto base = s.change_counter;
    s.update_transfer_row(TransferDirection::Send, "a.txt", 10, "发送中", t0);
    EXPECT_EQ(s.change_counter, base);
    s.update_transfer_row(TransferDirection::Send, "a.txt", 10, "等待对端确认", t0);
    EXPECT_EQ(s.change_counter, base + 1);
    EXPECT_EQ(s.transfer_rows.front().status, "等待对端确认");
    s.update_transfer_row(TransferDirection::Send, "a.txt", 20, "发送中", t0);
    EXPECT_EQ(s.change_counter, base + 2);
    EXPECT_EQ(s.transfer_rows.front().percent, 20);
    EXPECT_EQ(s.transfer_rows.front().status, "发送中");
}

// A row that starts over under the same name (the file was moved away and came again)
// must not keep offering the earlier file's place.
TEST_F(TransferRows, TheSavedPathGoesWithTheStatusItCameWith) {
    s.update_transfer_row(TransferDirection::Receive, "a.pdf", 100, "已完成", t0);
    s.find_transfer_row(TransferDirection::Receive, "a.pdf")->saved_path = "/in/a.pdf";
    s.update_transfer_row(TransferDirection::Receive, "a.pdf", 100, "已完成", t0);
    EXPECT_EQ(s.transfer_rows.front().saved_path, "/in/a.pdf");
    s.update_transfer_row(TransferDirection::Receive, "a.pdf", 0, "接收中", t0);
    EXPECT_EQ(s.transfer_rows.front().saved_path, "");
}

TEST_F(TransferRows, SpeedIsSampledAndSmoothed) {
    s.update_transfer_row(TransferDirection::Send, "a.bin", 0, "发送中", t0);
    s.find_transfer_row(TransferDirection::Send, "a.bin")->size = 1048576;
    auto speed = [&] { return s.find_transfer_row(TransferDirection::Send, "a.bin")->speed_kib; };
    auto at = [&](int ms) { return t0 + milliseconds(ms); };

    s.update_transfer_row(TransferDirection::Send, "a.bin", 0, "发送中", at(0));  // first sample
    EXPECT_EQ(speed(), 0u);
    // 10 % of 1 MiB in 1 s: 102.4 KiB/s.
    s.update_transfer_row(TransferDirection::Send, "a.bin", 10, "发送中", at(1000));
    EXPECT_EQ(speed(), 102u);
    // Within 0.2 s of the last sample: progress is shown, the speed is kept.
    s.update_transfer_row(TransferDirection::Send, "a.bin", 20, "发送中", at(1100));
    EXPECT_EQ(speed(), 102u);
    EXPECT_EQ(s.transfer_rows.front().percent, 20);
    // 20 % in 0.5 s since the 10 % sample: 409.6, smoothed 0.4 × 409.6 + 0.6 × 102 = 225.04.
    s.update_transfer_row(TransferDirection::Send, "a.bin", 30, "发送中", at(1500));
    EXPECT_EQ(speed(), 225u);
    // No growth: nothing to measure, the sample stays.
    s.update_transfer_row(TransferDirection::Send, "a.bin", 30, "发送中", at(3000));
    EXPECT_EQ(speed(), 225u);
    EXPECT_EQ(s.transfer_rows.front().sample_at, at(1500));
}

TEST_F(TransferRows, UnknownSizeNeverGetsASpeedAndHugeRatesClamp) {
    s.update_transfer_row(TransferDirection::Receive, "nosize", 0, "接收中", t0);
    for (int i = 1; i <= 5; ++i) {
        s.update_transfer_row(TransferDirection::Receive, "nosize", static_cast<std::uint8_t>(i * 20), "接收中",
                              t0 + std::chrono::seconds(i));
    }
    EXPECT_EQ(s.transfer_rows.front().speed_kib, 0u);

    s.update_transfer_row(TransferDirection::Receive, "huge", 0, "接收中", t0);
    s.find_transfer_row(TransferDirection::Receive, "huge")->size = std::uint64_t{1} << 62;
    s.update_transfer_row(TransferDirection::Receive, "huge", 0, "接收中", t0);
    s.update_transfer_row(TransferDirection::Receive, "huge", 100, "接收中", t0 + milliseconds(200));
    EXPECT_EQ(s.transfer_rows.front().speed_kib, 4294967295u);
}

class Replies : public ::testing::Test {
protected:
    FakeClock clock;
    UiState s;
    ReplyTarget target{"com.chat", "tag-1", 77, 12, 0, "reply_key"};
};

TEST_F(Replies, SubmitNeedsATargetAndText) {
    s.reply_box = "好的";
    EXPECT_FALSE(s.submit_reply(clock.now()));
    s.reply_target = target;
    s.reply_box = " \t\u3000\n";  // blanks only, including an ideographic space
    EXPECT_FALSE(s.submit_reply(clock.now()));
    EXPECT_FALSE(s.requests.send_reply.has_value());
    EXPECT_TRUE(s.awaiting_replies.empty());
    EXPECT_EQ(s.next_reply_id, 1u);
}

TEST_F(Replies, SubmitFillsTheSlotOnceAndKeepsTextWhileItIsFull) {
    s.reply_target = target;
    s.reply_box = "  好的，马上到\u3000";
    const Instant t0 = clock.now();
    ASSERT_TRUE(s.submit_reply(t0));
    ASSERT_TRUE(s.requests.send_reply.has_value());
    EXPECT_EQ(s.requests.send_reply->reply_id, 1u);
    EXPECT_EQ(s.requests.send_reply->text, "好的，马上到");
    EXPECT_EQ(s.requests.send_reply->target, target);
    EXPECT_EQ(s.reply_box, "");
    EXPECT_EQ(s.reply_target, target);
    ASSERT_EQ(s.awaiting_replies.size(), 1u);
    EXPECT_EQ(s.awaiting_replies[0].id, 1u);
    EXPECT_EQ(s.awaiting_replies[0].sent, t0);

    s.reply_box = "第二条";
    EXPECT_FALSE(s.submit_reply(clock.now()));
    EXPECT_EQ(s.reply_box, "第二条");
    EXPECT_EQ(s.requests.send_reply->text, "好的，马上到");
    ASSERT_EQ(s.notices.size(), 1u);
    EXPECT_EQ(s.notices.front().text, "上一条回复还没发出去，稍等一下再发");
    EXPECT_EQ(s.awaiting_replies.size(), 1u);

    const UiRequests taken = s.take_requests();
    EXPECT_TRUE(taken.send_reply.has_value());
    EXPECT_TRUE(s.requests.empty());
    ASSERT_TRUE(s.submit_reply(clock.now()));
    EXPECT_EQ(s.requests.send_reply->reply_id, 2u);
}

TEST_F(Replies, FinishReplySetsTheStatus) {
    struct Case {
        bool ok;
        std::string error;
        std::string status;
    };
    const std::vector<Case> cases = {
        {true, "ignored", "已发送"},
        {false, "  对方应用拒绝了回复 \n", "对方应用拒绝了回复"},
        {false, " \u3000", "回复失败"},
        {false, "", "回复失败"},
    };
    for (const auto& c : cases) {
        UiState st;
        st.awaiting_replies = {{4, clock.now()}, {5, clock.now()}};
        const Instant at = clock.now() + milliseconds(300);
        ASSERT_TRUE(st.finish_reply(5, c.ok, c.error, at));
        ASSERT_TRUE(st.reply_status.has_value());
        EXPECT_EQ(st.reply_status->text, c.status);
        EXPECT_EQ(st.reply_status->ok, c.ok);
        EXPECT_EQ(st.reply_status->at, at);
        ASSERT_EQ(st.awaiting_replies.size(), 1u);
        EXPECT_EQ(st.awaiting_replies[0].id, 4u);
    }
}

TEST_F(Replies, FinishReplyForAnIdNotAwaitedChangesNothing) {
    s.awaiting_replies = {{4, clock.now()}};
    const auto counter = s.change_counter;
    EXPECT_FALSE(s.finish_reply(9, true, "", clock.now()));
    EXPECT_EQ(s.change_counter, counter);
    EXPECT_FALSE(s.reply_status.has_value());
    EXPECT_EQ(s.awaiting_replies.size(), 1u);
}

TEST_F(Replies, ClearReplyTargetDropsTheFocusOnlyFromTheReplyBox) {
    for (InputFocus focus : {InputFocus::ReplyBox, InputFocus::SendBox, InputFocus::None}) {
        UiState st;
        st.reply_target = target;
        st.reply_box = "写了一半";
        st.focus = focus;
        st.clear_reply_target();
        EXPECT_FALSE(st.reply_target.has_value());
        EXPECT_EQ(st.reply_box, "");
        EXPECT_EQ(st.focus, focus == InputFocus::ReplyBox ? InputFocus::None : focus);
        EXPECT_EQ(st.change_counter, 1u);
    }
}

TEST(FocusedText, FollowsTheFocus) {
    UiState s;
    s.send_box = "/tmp/a.txt";
    s.manual_ip_box = "127.0.0.1";
    s.reply_box = "回复";
    EXPECT_EQ(s.focused_text(), nullptr);
    const std::vector<std::pair<InputFocus, std::string*>> cases = {
        {InputFocus::SendBox, &s.send_box},
        {InputFocus::ManualIp, &s.manual_ip_box},
        {InputFocus::ReplyBox, &s.reply_box},
    };
    for (const auto& [focus, box] : cases) {
        s.focus = focus;
        EXPECT_EQ(s.focused_text(), box);
    }
}

TEST(DefaultInbox, Rules) {
    struct Case {
        const char* userprofile;
        const char* home;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"C:\\Users\\a\\", "/home/a", "C:\\Users\\a\\Downloads\\Dovan"},
        {"C:\\Users\\a/\\", nullptr, "C:\\Users\\a\\Downloads\\Dovan"},
        {"C:\\Users\\a", nullptr, "C:\\Users\\a\\Downloads\\Dovan"},
        {nullptr, "/home/a", "/home/a/Downloads/Dovan"},
        {"", "/home/a/", "/home/a/Downloads/Dovan"},
        {"  ", "/home/a", "/home/a/Downloads/Dovan"},
        {nullptr, "/", "/Downloads/Dovan"},
        {nullptr, nullptr, "Dovan"},
        {"", "", "Dovan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(default_inbox(c.userprofile, c.home), c.expected)
            << (c.userprofile ? c.userprofile : "(unset)") << " / " << (c.home ? c.home : "(unset)");
    }
}

// Sets or clears one environment variable for the life of the object.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvOverride() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(DefaultInbox, InitialStateReadsTheEnvironment) {
    {
        EnvOverride profile("USERPROFILE", "C:\\Users\\a\\");
        EnvOverride home("HOME", "/home/b");
        EXPECT_EQ(initial_ui_state().settings.inbox, "C:\\Users\\a\\Downloads\\Dovan");
    }
    {
        EnvOverride profile("USERPROFILE", nullptr);
        EnvOverride home("HOME", "/home/b");
        EXPECT_EQ(initial_ui_state().settings.inbox, "/home/b/Downloads/Dovan");
    }
}

TEST(InitialState, StartsOnTheConnectPageWithNothingPending) {
    const UiState s = initial_ui_state();
    EXPECT_EQ(s.page, Page::Connect);
    EXPECT_EQ(s.focus, InputFocus::None);
    EXPECT_EQ(s.engine_state, kEngineDiscover);
    EXPECT_EQ(s.settings.theme, 0);
    EXPECT_EQ(s.settings.close_behavior, 0);
    EXPECT_FALSE(s.restart_dialog || s.close_dialog || s.paired || s.tcp_ready);
    EXPECT_TRUE(s.notices.empty() && s.transfer_rows.empty() && s.devices.empty());
    EXPECT_TRUE(s.requests.empty());
    EXPECT_EQ(s.hover.action, HoverTarget::kNone);
}

TEST(LoadedModulesMask, BitsFollowTheSwitches) {
    UiSettings s;
    EXPECT_EQ(LoadedModules::from(s).bits, 0x1F);
    s.feat_clipboard = false;
    s.feat_album = false;
    const LoadedModules m = LoadedModules::from(s);
    EXPECT_EQ(m.bits, 0x0D);
    EXPECT_TRUE(m.notifications() && m.file_transfer() && m.media());
    EXPECT_FALSE(m.clipboard() || m.album());
}

TEST(SharedUiHandle, RepaintCallbackMayTakeTheLock) {
    auto ui = SharedUi::create(UiState{}, LoadedModules{0x04});
    EXPECT_EQ(ui->modules().bits, 0x04);
    ui->post_repaint();  // nothing set yet: nothing happens
    std::uint64_t seen = 0;
    ui->set_repaint([&] { seen = ui->lock()->change_counter; });
    ui->lock()->add_notice("x");
    ui->post_repaint();
    EXPECT_EQ(seen, 1u);
}

TEST(SharedUiHandle, WritersOnTwoThreadsLoseNothing) {
    auto ui = SharedUi::create(UiState{}, LoadedModules{});
    auto writer = [&](const char* text) {
        for (int i = 0; i < 2000; ++i) ui->lock()->add_notice(text);
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    EXPECT_EQ(ui->lock()->change_counter, 4000u);
}

}  // namespace
}  // namespace dovan
