#include "app/core.h"
#include "core_probe.h"

#include "store/stores.h"
#include "temp_data_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <utility>
#include <thread>
#include <memory>
#include <vector>

namespace dovan {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class CoreLoop : public ::testing::Test {
protected:
    FakeClock clock;
    Instant t0 = clock.now();
    std::shared_ptr<SharedUi> ui = SharedUi::create(UiState{}, LoadedModules{0x1F});
    int repaints = 0;
    Core core{CoreConfig{.ui = ui, .window = [this] { ++repaints; }}, clock};

    // Runs turns and reports how many repaints they asked for.
    int turns(int n) {
        const int before = repaints;
        for (int i = 0; i < n; ++i) core.turn();
        return repaints - before;
    }
};

TEST_F(CoreLoop, StepsRunInOrderThenThePauseOf200ms) {
    std::vector<int> seen;
    std::vector<Instant> sleeps_at;
    core.set_step_observer([&](CoreStep s) {
        seen.push_back(static_cast<int>(s));
        if (s == CoreStep::Sleep) sleeps_at.push_back(clock.now());
    });
    core.turn();
    core.turn();
    std::vector<int> expected;
    for (int round = 0; round < 2; ++round) {
        for (int step = 1; step <= 22; ++step) expected.push_back(step);
    }
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(sleeps_at.size(), 2u);
    EXPECT_EQ(sleeps_at[0], t0);
    EXPECT_EQ(sleeps_at[1], t0 + milliseconds(200));
    EXPECT_EQ(clock.now(), t0 + milliseconds(400));
}

// Fake time, but the pause really waits on the wake signal as the system clock does; only
// a pause that runs out moves the time on. A real time-out guards against a hang.
class WakeableClock final : public Clock {
public:
    Instant now() const override { return fake_.now(); }
    std::uint64_t wall_ms() const override { return fake_.wall_ms(); }
    void sleep_for(Duration d) override { fake_.advance(d); }
    bool pause(Duration max, WakeSignal& wake) override {
        ++pauses;
        if (wake.wait_for(std::chrono::seconds(10))) return true;
        fake_.advance(max);
        return false;
    }
    std::atomic<int> pauses{0};

private:
    FakeClock fake_;
};

TEST(CoreWake, ARequestEndsThePauseAndIsCarriedOutWithoutWaitingItOut) {
    WakeableClock clock;
    auto ui = SharedUi::create(UiState{}, LoadedModules{0x1F});
    Core core(CoreConfig{.ui = ui}, clock);
    std::atomic<bool> stop{false};
    std::thread loop([&] { core.run(stop); });
    while (clock.pauses.load() == 0) std::this_thread::sleep_for(milliseconds(1));
    const Instant asked = clock.now();

    // The window leaves a request while the core pauses; without an engine its answer is
    // the notice that nothing is paired.
    ui->lock()->requests.media = MediaCommandRequest{1, 0, 0};
    bool answered = false;
    for (int i = 0; i < 5000 && !answered; ++i) {
        {
            auto g = ui->lock();
            answered = !g->notices.empty() && g->notices.front().text == kNoPairedLink;
        }
        if (!answered) std::this_thread::sleep_for(milliseconds(1));
    }
    stop = true;
    ui->core_wake().notify();
    loop.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(clock.now(), asked);  // no pause ran out: the request woke the core
}

TEST_F(CoreLoop, WithNothingToDoATurnStillRunsEvery200ms) {
    std::vector<Instant> turns_at;
    bool work_arrives = false;
    core.set_step_observer([&](CoreStep s) {
        if (s == CoreStep::UiRequests) turns_at.push_back(clock.now());
        if (s == CoreStep::AppEvents && std::exchange(work_arrives, false)) ui->core_wake().notify();
    });
    ui->core_wake().notify();  // before a turn: that turn handles it, the pause stays whole
    for (int i = 0; i < 10; ++i) core.turn();
    ASSERT_EQ(turns_at.size(), 10u);
    for (std::size_t i = 1; i < turns_at.size(); ++i) EXPECT_EQ(turns_at[i] - turns_at[i - 1], milliseconds(200));
    // Work arriving during a turn ends the pause after it at once; the next one is whole.
    work_arrives = true;
    core.turn();
    core.turn();
    EXPECT_EQ(turns_at[11] - turns_at[10], milliseconds(0));
    EXPECT_EQ(clock.now() - turns_at[11], milliseconds(200));
}

TEST_F(CoreLoop, RunTurnsUntilStopped) {
    std::atomic<bool> stop{false};
    int turns_done = 0;
    core.set_step_observer([&](CoreStep s) {
        if (s == CoreStep::Sleep && ++turns_done == 5) stop = true;
    });
    core.run(stop);
    EXPECT_EQ(turns_done, 5);
    EXPECT_EQ(clock.now(), t0 + seconds(1));
}

TEST_F(CoreLoop, EngineTimerStepTicksOncePerSecond) {
    std::vector<Instant> ticks;
    Instant last = CoreProbe::state(core).last_timer_tick;
    core.set_step_observer([&](CoreStep s) {
        if (s == CoreStep::ReceiveHolds && CoreProbe::state(core).last_timer_tick != last) {
            last = CoreProbe::state(core).last_timer_tick;
            ticks.push_back(last);
        }
    });
    turns(16);  // 0 … 3.0 s
    EXPECT_EQ(ticks, (std::vector<Instant>{t0 + seconds(1), t0 + seconds(2), t0 + seconds(3)}));
}

TEST_F(CoreLoop, RepaintOnlyWhenTheChangeCounterMoved) {
    EXPECT_EQ(turns(3), 0);

    ui->lock()->add_notice("来自窗口线程");
    EXPECT_EQ(turns(1), 1);
    EXPECT_EQ(turns(3), 0);

    core.push_notice("TCP 通道断开: 超时");
    EXPECT_EQ(repaints, 1);  // a notice alone posts nothing; the next turn does
    EXPECT_EQ(turns(1), 1);
    EXPECT_EQ(ui->lock()->notices.front().text, "TCP 通道断开: 超时");
    EXPECT_EQ(turns(2), 0);
}

TEST_F(CoreLoop, WithoutARepaintTargetNothingIsPosted) {
    Core headless(CoreConfig{.ui = ui}, clock);
    ui->lock()->add_notice("x");
    headless.turn();  // must not call an empty target
    EXPECT_EQ(CoreProbe::state(headless).repainted_counter, ui->lock()->change_counter);
}

TEST_F(CoreLoop, ScanListDropsDevicesSilentFor12Seconds) {
    ble::ScanList& scan = core.link().scan_list();
    scan.note(0xA1, "Dovan", t0);
    scan.note(0xB2, "Dovan", t0);
    ASSERT_EQ(turns(30), 0);  // … 6.0 s
    scan.note(0xB2, "", clock.now());  // B2 seen again at 6.0 s
    ASSERT_EQ(turns(30), 0);  // steps at up to 11.8 s
    EXPECT_EQ(scan.devices().size(), 2u);

    // At 12.0 s A1 goes; its removal alone asks for a repaint, and the window's copy of
    // the list follows.
    EXPECT_GE(turns(1), 1);
    EXPECT_EQ(ui->lock()->devices, (std::vector<ScannedDevice>{{0xB2, "Dovan"}}));
    EXPECT_FALSE(scan.last_seen(0xA1));
    EXPECT_EQ(turns(29), 0);  // B2 lasts until 18.0 s
    EXPECT_GE(turns(1), 1);
    EXPECT_TRUE(ui->lock()->devices.empty());
    EXPECT_TRUE(scan.devices().empty());
}

TEST_F(CoreLoop, UnansweredReplyFailsAfterMoreThan10Seconds) {
    {
        auto g = ui->lock();
        // Two replies that went out (a reply submitted without an engine never waits).
        g->awaiting_replies.push_back({1, t0});
        g->awaiting_replies.push_back({42, t0 + seconds(5)});
    }
    turns(51);  // the last turn runs its steps at exactly 10.0 s
    {
        auto g = ui->lock();
        EXPECT_EQ(g->awaiting_replies.size(), 2u);
        EXPECT_FALSE(g->reply_status.has_value());
    }
    EXPECT_GE(turns(1), 1);  // 10.2 s
    {
        auto g = ui->lock();
        ASSERT_EQ(g->awaiting_replies.size(), 1u);
        EXPECT_EQ(g->awaiting_replies[0].id, 42u);
        ASSERT_TRUE(g->reply_status.has_value());
        EXPECT_EQ(g->reply_status->text, "手机没有回应（请把手机端 Dovan 升到最新版）");
        EXPECT_FALSE(g->reply_status->ok);
        EXPECT_EQ(g->reply_status->at, t0 + milliseconds(10200));
    }
}

TEST_F(CoreLoop, IdleIndicatorMovesTheCounterOnlyWhenCrossing25Seconds) {
    auto counter = [&] { return ui->lock()->change_counter; };
    auto idle = [&] { return ui->lock()->ms_since_rx; };

    turns(125);  // steps at 0 … 24.8 s
    EXPECT_EQ(idle(), 24800u);
    EXPECT_EQ(counter(), 0u);
    EXPECT_EQ(turns(1), 1);  // 25.0 s: quiet
    EXPECT_EQ(idle(), 25000u);
    EXPECT_EQ(counter(), 1u);
    EXPECT_EQ(turns(10), 0);
    EXPECT_EQ(counter(), 1u);

    CoreProbe::state(core).link.last_rx = clock.now();  // the phone speaks again
    EXPECT_EQ(turns(1), 1);
    EXPECT_EQ(idle(), 0u);
    EXPECT_EQ(counter(), 2u);
    EXPECT_EQ(turns(5), 0);

    clock.advance(std::chrono::hours(2));
    EXPECT_EQ(turns(1), 1);
    EXPECT_EQ(idle(), 3600000u);
    EXPECT_EQ(counter(), 3u);
}

TEST_F(CoreLoop, RequestsWithoutAnEngineAreRefusedOnceAndPairingAnswersDropped) {
    {
        auto g = ui->lock();
        g->requests.media = MediaCommandRequest{0, 0, 0};
        g->requests.send_clipboard = "hello";
        g->requests.sas_confirm = true;
        g->reply_target = ReplyTarget{"com.chat", "", 0, 3, 0, "k"};
        g->reply_box = "好";
        ASSERT_TRUE(g->submit_reply(t0));
    }
    turns(1);
    {
        auto g = ui->lock();
        EXPECT_TRUE(g->requests.empty());
        ASSERT_EQ(g->notices.size(), 1u);
        EXPECT_EQ(g->notices.front(), (Notice{"操作没有执行：本机现在没有已配对的连接", 1}));
        // The reply is told at once that it did not go, not later that the phone kept silent.
        EXPECT_TRUE(g->awaiting_replies.empty());
        ASSERT_TRUE(g->reply_status.has_value());
        EXPECT_FALSE(g->reply_status->ok);
        EXPECT_EQ(g->reply_status->text, "回复未发出：通知同步已关闭，或未配对/链路未就绪");
        EXPECT_EQ(g->reply_status->at, t0);
    }
    clock.advance(seconds(11));
    turns(1);
    EXPECT_EQ(ui->lock()->reply_status->text, "回复未发出：通知同步已关闭，或未配对/链路未就绪");

    ui->lock()->requests.sas_confirm = true;
    turns(1);
    EXPECT_EQ(ui->lock()->notices.front().count, 1u);  // no text for a lone SAS answer
}

TEST_F(CoreLoop, IdentityAnswerClosesThePromptEvenWithoutAnEngine) {
    {
        auto g = ui->lock();
        g->identity_change = IdentityChangePrompt{"Pixel", "0011223344556677", "8899aabbccddeeff"};
        g->requests.identity_reject = true;
    }
    const int r = turns(1);
    EXPECT_GE(r, 1);
    auto g = ui->lock();
    EXPECT_FALSE(g->identity_change.has_value());
    EXPECT_TRUE(g->notices.empty());
}

TEST_F(CoreLoop, ShutdownLanClearsTheRetryStampsAndTheTcpReadyFlag) {
    CoreProbe::state(core).last_listen_attempt = t0;
    CoreProbe::state(core).last_udp_open_attempt = t0;
    ui->lock()->tcp_ready = true;
    core.shutdown_lan();
    EXPECT_FALSE(CoreProbe::state(core).last_listen_attempt.has_value());
    EXPECT_FALSE(CoreProbe::state(core).last_udp_open_attempt.has_value());
    EXPECT_FALSE(ui->lock()->tcp_ready);
}

class RunCore : public testing_support::TempDataDir {};

TEST_F(RunCore, WithoutABleStackStartUpEndsWithTheNoticeAndNoTurn) {
    FakeClock clock;
    const Instant t0 = clock.now();
    auto ui = SharedUi::create(UiState{}, LoadedModules{0x05});
    std::atomic<bool> stop{false};
    int repaints = 0;
    run_core(CoreConfig{.ui = ui, .window = [&] { ++repaints; }, .data_dir = dir_, .ble_error = "没有适配器"}, clock, stop);
    EXPECT_EQ(clock.now(), t0);  // returned before any turn
    EXPECT_EQ(repaints, 0);
    auto g = ui->lock();
    ASSERT_FALSE(g->notices.empty());
    EXPECT_EQ(g->notices.front().text, "BLE 初始化失败: 没有适配器");
    EXPECT_EQ(g->ble_failure, std::optional<std::string>("没有适配器")) << "the connect page says why nothing scans";
    // The stores were loaded first: the identity exists and is published.
    EXPECT_EQ(g->local_fingerprint.size(), 16u);
    EXPECT_TRUE(std::filesystem::exists(path(kDeviceIdentityBin)));
}

TEST(CoreModules, TakenFromTheUi) {
    FakeClock clock;
    auto ui = SharedUi::create(UiState{}, LoadedModules{0x05});
    Core core(CoreConfig{.ui = ui}, clock);
    EXPECT_EQ(CoreProbe::state(core).modules.bits, 0x05);
}

}  // namespace
}  // namespace dovan
