#include "shell/notification_drain.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/debug_log.h"
#include "shell/activation.h"

namespace dovan {
namespace {

struct FakeNotifier final : Notifier {
    bool accept = true;
    std::vector<DesktopNotification> posted;
    // The service's verdict, given at once (as its thread could); empty: it stays silent.
    std::function<void(std::uint64_t cookie)> answer;
    bool post(DesktopNotification n) override {
        if (!accept) return false;
        const std::uint64_t cookie = n.cookie;
        posted.push_back(std::move(n));
        if (answer) answer(cookie);
        return true;
    }
};

class Drain : public ::testing::Test {
protected:
    FakeClock clock;
    std::shared_ptr<SharedUi> ui = std::make_shared<SharedUi>();
    FakeNotifier notifier;
    std::vector<std::pair<std::string, std::string>> balloons;
    bool tray = true;
    std::uint64_t next_token = 0x100;

    NotificationDrain make(Notifier* n) {
        return NotificationDrain({ui, &clock, n,
                                  [this](std::string_view t, std::string_view b) {
                                      if (tray) balloons.emplace_back(t, b);
                                      return tray;
                                  },
                                  [this] { return std::optional<std::uint64_t>(next_token++); }});
    }
    void queue(std::string title, std::optional<std::string> code, bool reply) {
        auto g = ui->lock();
        std::optional<ReplyTarget> target;
        if (reply) target = ReplyTarget{"com.chat", "", 1, 2, 0, "k"};
        g->queue_system_notification({std::move(title), "body", std::move(code), target});
    }
    std::size_t actions() { return ui->lock()->toast_actions.size(); }
};

TEST_F(Drain, ButtonsCarryOneShotLinksFromTheActionTable) {
    auto drain = make(&notifier);
    queue("银行", "123456", true);
    queue("plain", std::nullopt, false);
    drain.drain();
    ASSERT_EQ(notifier.posted.size(), 2u);
    const auto& n = notifier.posted[0];
    EXPECT_EQ(n.title, "银行");
    ASSERT_EQ(n.buttons.size(), 2u);
    EXPECT_EQ(n.buttons[0].label, "复制验证码 123456");
    EXPECT_EQ(n.buttons[0].key, "dovan://copy/0000000000000100");
    EXPECT_EQ(n.buttons[1].label, "回复这条");
    EXPECT_EQ(n.buttons[1].key, "dovan://reply/0000000000000101");
    EXPECT_TRUE(notifier.posted[1].buttons.empty());
    EXPECT_NE(n.cookie, notifier.posted[1].cookie);
    EXPECT_EQ(actions(), 2u);
    EXPECT_TRUE(balloons.empty());
    EXPECT_TRUE(ui->lock()->system_notifications.empty());
}

// The buttons of a received file hold its saved path in the action table; the links name
// only their tokens, and a notification the service turns down takes its tokens with it.
TEST_F(Drain, AReceivedFileGetsOpenAndRevealButtonsHoldingItsPath) {
    auto drain = make(&notifier);
    const std::string path = "/home/u/Downloads/Dovan/report (1).pdf";
    ui->lock()->queue_system_notification({"文件接收完成", "report.pdf → …", std::nullopt, std::nullopt, path});
    drain.drain();
    ASSERT_EQ(notifier.posted.size(), 1u);
    const auto& buttons = notifier.posted[0].buttons;
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].label, "打开");
    EXPECT_EQ(buttons[0].key, "dovan://open/0000000000000100");
    EXPECT_EQ(buttons[1].label, "打开所在文件夹");
    EXPECT_EQ(buttons[1].key, "dovan://reveal/0000000000000101");
    {
        auto g = ui->lock();
        ASSERT_EQ(g->toast_actions.size(), 2u);
        const auto* open = std::get_if<OpenRequest>(&g->toast_actions.at(0x100).action);
        const auto* reveal = std::get_if<OpenRequest>(&g->toast_actions.at(0x101).action);
        ASSERT_TRUE(open && reveal);
        EXPECT_EQ(*open, (OpenRequest{path, OpenWhat::File}));
        EXPECT_EQ(*reveal, (OpenRequest{path, OpenWhat::Folder}));
    }

    notifier.answer = [&](std::uint64_t cookie) { drain.on_outcome(cookie, "no room"); };
    ui->lock()->queue_system_notification({"文件接收完成", "b", std::nullopt, std::nullopt, path + "2"});
    drain.drain();
    ASSERT_EQ(notifier.posted.size(), 2u);
    EXPECT_EQ(notifier.posted[1].buttons.size(), 2u);
    EXPECT_EQ(actions(), 2u) << "only the first notification's buttons can still be pressed";
}

TEST_F(Drain, RefusedPostFallsBackToTheBalloonAndPausesFiveMinutes) {
    DebugCapture capture;
    auto drain = make(&notifier);
    notifier.accept = false;
    queue("a", "1", false);
    drain.drain();
    EXPECT_EQ(balloons, (std::vector<std::pair<std::string, std::string>>{{"a", "body"}}));
    EXPECT_EQ(actions(), 0u);  // the withdrawn token cannot be pressed
    EXPECT_EQ(drain.paused_until(), std::optional<Instant>(clock.now() + std::chrono::milliseconds(300'000)));

    notifier.accept = true;
    clock.advance(std::chrono::milliseconds(299'999));
    queue("b", "2", false);
    drain.drain();
    EXPECT_TRUE(notifier.posted.empty());
    EXPECT_EQ(balloons.size(), 2u);
    EXPECT_EQ(actions(), 0u);  // no tokens for a balloon, which has no buttons

    clock.advance(std::chrono::milliseconds(1));
    queue("c", "3", false);
    drain.drain();
    EXPECT_EQ(notifier.posted.size(), 1u);
    EXPECT_EQ(balloons.size(), 2u);
}

TEST_F(Drain, LaterFailureWithdrawsTokensPausesAndShowsTheBalloonOnTheNextTick) {
    DebugCapture capture;
    auto drain = make(&notifier);
    queue("a", "1", true);
    queue("b", std::nullopt, false);
    drain.drain();
    ASSERT_EQ(notifier.posted.size(), 2u);
    EXPECT_EQ(actions(), 2u);
    drain.on_outcome(notifier.posted[1].cookie, std::nullopt);
    drain.on_outcome(notifier.posted[0].cookie, std::string("org.freedesktop.DBus.Error.NoReply"));
    // A second verdict for the same notification changes nothing.
    drain.on_outcome(notifier.posted[0].cookie, std::string("again"));
    EXPECT_EQ(actions(), 0u);
    EXPECT_TRUE(balloons.empty());
    EXPECT_TRUE(capture.has("toast.failed"));
    EXPECT_EQ(capture.events("toast.failed").size(), 1u);

    drain.drain();
    EXPECT_EQ(balloons, (std::vector<std::pair<std::string, std::string>>{{"a", "body"}}));
    queue("c", std::nullopt, false);
    drain.drain();
    EXPECT_EQ(notifier.posted.size(), 2u);  // paused
    EXPECT_EQ(balloons.size(), 2u);
}

TEST_F(Drain, WithoutServiceOrTrayEveryRequestLeavesTheNotice) {
    tray = false;
    auto drain = make(nullptr);
    queue("a", "1", true);
    queue("b", std::nullopt, false);
    drain.drain();
    auto g = ui->lock();
    ASSERT_EQ(g->notices.size(), 1u);
    EXPECT_EQ(g->notices[0].text, "[系统弹窗失败] 托盘图标未建立或被系统禁止（检查桌面的通知设置）");
    EXPECT_EQ(g->notices[0].count, 2u);
    EXPECT_TRUE(g->toast_actions.empty());
}

TEST_F(Drain, RandomSourceFailureFallsBackWithoutButtons) {
    auto drain = NotificationDrain({ui, &clock, &notifier,
                                    [this](std::string_view t, std::string_view b) {
                                        balloons.emplace_back(t, b);
                                        return true;
                                    },
                                    [] { return std::optional<std::uint64_t>(); }});
    queue("a", "1", false);
    drain.drain();
    EXPECT_TRUE(notifier.posted.empty());
    EXPECT_EQ(balloons.size(), 1u);
}

// The last word as the program is ended from outside: the service when it takes it in
// time, else the balloon, and nothing is left over for a drain that will never come.
TEST_F(Drain, PartingNotificationGoesThroughTheServiceOrTheBalloon) {
    DebugCapture capture;
    using Verdict = std::optional<std::optional<std::string>>;  // none: silent
    struct Case {
        const char* what;
        bool service;
        bool accept;
        Verdict verdict;
        bool paused_before;
        bool tray_up;
        bool posted;
        bool balloon;
        bool shown;
    };
    const std::vector<Case> cases = {
        {"service shows it", true, true, std::optional<std::string>(), false, true, true, false, true},
        {"service errors", true, true, std::optional<std::string>("NoReply"), false, true, true, true, true},
        {"service silent", true, true, std::nullopt, false, true, true, true, true},
        {"service refuses the post", true, false, std::nullopt, false, true, false, true, true},
        {"service paused", true, true, std::optional<std::string>(), true, true, false, true, true},
        {"no service", false, true, std::nullopt, false, true, false, true, true},
        {"no service, no tray", false, true, std::nullopt, false, false, false, false, false},
        {"silent service, no tray", true, true, std::nullopt, false, false, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeNotifier service;
        balloons.clear();
        tray = c.tray_up;
        auto drain = make(c.service ? &service : nullptr);
        if (c.paused_before) {
            service.accept = false;
            queue("earlier", std::nullopt, false);
            drain.drain();
            service.accept = true;
            balloons.clear();
        }
        service.accept = c.accept;
        if (c.verdict) service.answer = [&](std::uint64_t cookie) { drain.on_outcome(cookie, *c.verdict); };

        EXPECT_EQ(drain.show_parting(kPartingTitle, kPartingBody, std::chrono::milliseconds(0)), c.shown);
        ASSERT_EQ(service.posted.size(), c.posted ? 1u : 0u);
        if (c.posted) {
            EXPECT_EQ(service.posted[0].title, "Dovan 已退出");
            EXPECT_EQ(service.posted[0].body, "系统要求结束程序（注销、关机或结束进程），Dovan 已退出。");
            EXPECT_TRUE(service.posted[0].buttons.empty());
        }
        using Shown = std::vector<std::pair<std::string, std::string>>;
        const Shown expected = c.balloon ? Shown{{"Dovan 已退出", "系统要求结束程序（注销、关机或结束进程），Dovan 已退出。"}} : Shown{};
        EXPECT_EQ(balloons, expected);

        // A verdict after the wait, or a drain after the verdict, shows nothing twice.
        if (c.posted) drain.on_outcome(service.posted[0].cookie, std::string("late"));
        drain.drain();
        EXPECT_EQ(balloons.size(), c.balloon ? 1u : 0u);
        EXPECT_TRUE(ui->lock()->notices.empty()) << "nobody is left to read a notice";
    }
}

}  // namespace
}  // namespace dovan
