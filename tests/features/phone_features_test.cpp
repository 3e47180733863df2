// The phone feature modules against a real, paired PC engine: what they store in the UI
// state, what they answer, and what reaches the phone's engine.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "features/clipboard.h"
#include "features/config_sync.h"
#include "features/device_status.h"
#include "features/media.h"
#include "features/notifications.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "session/bound_pair.h"
#include "shell/clipboard_actions.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;

class FakeHost final : public FeatureHost {
public:
    explicit FakeHost(test::BoundPair& pair) : pair_(pair) {}
    Clock& clock() override { return pair_.clock; }
    Engine* engine() override { return with_engine ? &pair_.pc : nullptr; }
    SharedUi& ui() override { return ui_; }
    LoadedModules modules() const override { return loaded; }
    void push_notice(std::string_view text) override { ui_.lock()->add_notice(text); }
    void request_repaint() override { ++repaints; }
    void save_settings() override { ++saves; }
    const std::filesystem::path& data_dir() const override { return dir_; }
    Clipboard* clipboard() override { return &local_clipboard; }

    bool with_engine = true;
    LoadedModules loaded{0xFF};
    int repaints = 0;
    int saves = 0;
    ProcessClipboard local_clipboard;

private:
    test::BoundPair& pair_;
    SharedUi ui_;
    std::filesystem::path dir_;
};

template <class M>
AppEvent message(AppEventKind kind, M m) {
    return AppEvent{kind, MessageEvent<M>{std::move(m)}};
}

pb::NotificationPush push(std::int32_t id, std::string package, std::string title, std::string text = "",
                          bool can_reply = false, std::string tag = "") {
    pb::NotificationPush n;
    n.set_package(std::move(package));
    n.set_title(std::move(title));
    n.set_text(std::move(text));
    n.set_notification_id(id);
    n.set_tag(std::move(tag));
    n.set_can_reply(can_reply);
    n.set_reply_action_index(can_reply ? 2 : 0);
    n.set_reply_result_key(can_reply ? "key_text" : "");
    n.set_key_hash(id * 3);
    return n;
}

class PhoneFeatures : public ::testing::Test {
protected:
    test::BoundPair pair;
    FakeHost host{pair};
    Notifications notifications{host};
    ClipboardSync clipboard{host};
    Media media{host};
    DeviceStatus status{host};
    ConfigSync config{host};

    void notify(const pb::NotificationPush& n) {
        EXPECT_TRUE(notifications.on_event(message(AppEventKind::NotificationPushed, n)));
    }
    std::vector<std::string> notices() {
        std::vector<std::string> out;
        for (const auto& n : host.ui().lock()->notices) out.push_back(n.text);
        return out;
    }
    // What the phone's engine received since the last call.
    std::vector<AppEvent> at_phone() {
        pair.pump();
        return pair.phone.take_events();
    }
    std::vector<std::string> pc_errors() { return test::error_texts(pair.pc.take_events()); }
};

TEST_F(PhoneFeatures, NotificationsOverwriteInPlaceAndKeepTheTwentyNewest) {
    notify(push(7, "com.chat", "甲"));
    notify(push(0, "com.mail", "无编号"));
    notify(push(0, "com.mail", "无编号"));  // id 0 never names an earlier entry
    notify(push(7, "com.other", "同号异包"));
    notify(push(7, "com.chat", "甲改"));
    {
        auto g = host.ui().lock();
        ASSERT_EQ(g->notifications.size(), 4u);
        EXPECT_EQ(g->notifications[0].title, "同号异包");
        EXPECT_EQ(g->notifications[3].title, "甲改");  // overwritten where it stood
    }
    for (int i = 1; i <= 18; ++i) notify(push(100 + i, "com.flood", "第" + std::to_string(i)));
    auto g = host.ui().lock();
    ASSERT_EQ(g->notifications.size(), 20u);
    EXPECT_EQ(g->notifications.front().title, "第18");
    // The two oldest (甲改, then the first id-0 entry) gave way.
    EXPECT_EQ(g->notifications.back().title, "无编号");
    EXPECT_EQ(std::count_if(g->notifications.begin(), g->notifications.end(),
                            [](const PhoneNotification& n) { return n.title == "甲改"; }),
              0);
}

TEST_F(PhoneFeatures, ToastFollowsTheContentSettingAndOnlyTheLastFourWait) {
    const struct {
        const char* name;
        pb::NotificationPush n;
        bool show_content;
        SystemNotification toast;
    } cases[] = {
        {"code shown", push(1, "com.sms", "短信", "您的验证码是 482913，请勿泄露", true), true,
         {"短信", "您的验证码是 482913，请勿泄露", "482913", ReplyTarget{"com.sms", "", 3, 1, 2, "key_text"}}},
        {"empty title and text", push(2, "com.sms", "", ""), true, {"com.sms", "（内容未同步）", {}, {}}},
        {"content hidden, no code", push(3, "com.sms", "短信", "验证码 482913"), false,
         {"短信", "收到一条通知（正文已隐藏）", {}, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.ui().lock()->settings.toast_show_content = c.show_content;
        notify(c.n);
        auto g = host.ui().lock();
        ASSERT_FALSE(g->system_notifications.empty());
        EXPECT_EQ(g->system_notifications.back(), c.toast);
    }
    for (int i = 0; i < 2; ++i) notify(push(10 + i, "com.x", "t" + std::to_string(i)));
    {
        auto g = host.ui().lock();
        ASSERT_EQ(g->system_notifications.size(), 4u);
        EXPECT_EQ(g->system_notifications.front().body, "（内容未同步）");  // the first of five gave way
    }
    host.ui().lock()->settings.toast_enabled = false;
    notify(push(20, "com.x", "silent"));
    auto g = host.ui().lock();
    EXPECT_EQ(g->system_notifications.back().title, "t1");
    EXPECT_EQ(g->notifications.front().title, "silent");  // stored all the same
}

TEST_F(PhoneFeatures, HostileNotificationTextsAreRepairedAndBounded) {
    notify(push(1, "com.x", std::string(1 << 20, 'T'), "bad \xC3\x28 byte\x01\n"));
    {
        auto g = host.ui().lock();
        const auto& n = g->notifications.front();
        EXPECT_EQ(n.title.size(), kNotificationTitleLimit);
        EXPECT_EQ(n.text, "bad \xEF\xBF\xBD( byte\x01\n");
        EXPECT_LE(g->system_notifications.back().title.size(), kNotificationTitleLimit);
    }
    host.loaded = LoadedModules{static_cast<std::uint8_t>(0xFF & ~LoadedModules::kNotifications)};
    notify(push(2, "com.x", "dropped"));
    EXPECT_EQ(host.ui().lock()->notifications.size(), 1u);
}

TEST_F(PhoneFeatures, ReplyReachesThePhoneWithItsTargetAndTheAcknowledgementFinishesIt) {
    notify(push(5, "com.chat", "群", "今晚吃什么", true, "grp"));
    {
        auto g = host.ui().lock();
        g->reply_target = g->notifications.front().reply_target();
        g->reply_box = "  火锅 ";
        ASSERT_TRUE(g->submit_reply(pair.clock.now()));
        g->reply_box = "再来一条";
        EXPECT_FALSE(g->submit_reply(pair.clock.now()));  // one waits already
        EXPECT_EQ(g->notices.front().text, "上一条回复还没发出去，稍等一下再发");
        EXPECT_EQ(g->reply_box, "再来一条");
    }
    UiRequests r = host.ui().lock()->take_requests();
    notifications.on_requests(r);
    EXPECT_FALSE(r.send_reply.has_value());

    std::optional<pb::NotificationReply> got;
    for (const auto& e : at_phone())
        if (auto* m = e.as<MessageEvent<pb::NotificationReply>>()) got = m->message;
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->package(), "com.chat");
    EXPECT_EQ(got->tag(), "grp");
    EXPECT_EQ(got->notification_id(), 5);
    EXPECT_EQ(got->action_index(), 2);
    EXPECT_EQ(got->result_key(), "key_text");
    EXPECT_EQ(got->text(), "火锅");

    const struct {
        std::uint32_t id;
        bool ok;
        const char* error;
        const char* status;  // null: not awaited
    } acks[] = {
        {got->reply_id(), true, "", "已发送"},
        {got->reply_id(), true, "", nullptr},  // already finished
        {999, false, "x", nullptr},
    };
    for (const auto& a : acks) {
        pb::NotificationReplyAck ack;
        ack.set_reply_id(a.id);
        ack.set_ok(a.ok);
        ack.set_error(a.error);
        host.ui().lock()->reply_status.reset();
        notifications.on_event(message(AppEventKind::NotificationReplyAcked, ack));
        auto g = host.ui().lock();
        if (a.status) {
            ASSERT_TRUE(g->reply_status.has_value());
            EXPECT_EQ(g->reply_status->text, a.status);
        } else {
            EXPECT_FALSE(g->reply_status.has_value());
            EXPECT_EQ(g->notices.front().text, "收到一条不认识的回执（第 " + std::to_string(a.id) + " 次回复）");
        }
    }
}

TEST_F(PhoneFeatures, ReplyOutcomes) {
    const struct {
        const char* name;
        bool engine;
        bool switched_on;
        std::optional<std::pair<bool, std::string>> ack;  // none: the phone never answers
        std::string status;
    } cases[] = {
        {"error text trimmed", true, true, std::pair{false, std::string("  对方已退出群聊 ")}, "对方已退出群聊"},
        {"blank error", true, true, std::pair{false, std::string(" ")}, "回复失败"},
        {"no answer", true, true, std::nullopt, "手机没有回应（请把手机端 Dovan 升到最新版）"},
        {"switched off", true, false, std::nullopt, "回复未发出：通知同步已关闭，或未配对/链路未就绪"},
        {"no engine", false, true, std::nullopt, "回复未发出：通知同步已关闭，或未配对/链路未就绪"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.with_engine = c.engine;
        host.loaded = LoadedModules{static_cast<std::uint8_t>(c.switched_on ? 0xFF : 0xFE)};
        std::uint32_t id = 0;
        {
            auto g = host.ui().lock();
            g->reply_status.reset();
            g->reply_target = ReplyTarget{"com.chat", "", 0, 1, 0, "k"};
            g->reply_box = "好";
            id = g->next_reply_id;
            ASSERT_TRUE(g->submit_reply(pair.clock.now()));
        }
        UiRequests r = host.ui().lock()->take_requests();
        notifications.on_requests(r);
        at_phone();
        if (c.ack) {
            pb::NotificationReplyAck ack;
            ack.set_reply_id(id);
            ack.set_ok(c.ack->first);
            ack.set_error(c.ack->second);
            notifications.on_event(message(AppEventKind::NotificationReplyAcked, ack));
        } else {
            pair.clock.advance(10s);
            notifications.step(TurnStep::ReplyExpiry, pair.clock.now());
            if (c.switched_on && c.engine) {
                EXPECT_FALSE(host.ui().lock()->reply_status.has_value()) << "10 s is not late";
            }
            pair.clock.advance(1ms);
            notifications.step(TurnStep::ReplyExpiry, pair.clock.now());
        }
        auto g = host.ui().lock();
        ASSERT_TRUE(g->reply_status.has_value());
        EXPECT_EQ(g->reply_status->text, c.status);
        EXPECT_FALSE(g->reply_status->ok);
        EXPECT_TRUE(g->awaiting_replies.empty());
    }
}

TEST_F(PhoneFeatures, DismissDeactivatesMatchesAndClearsTheirReplyTarget) {
    notify(push(5, "com.chat", "a", "", true, "t"));
    notify(push(6, "com.chat", "b", "", true, "t"));
    {
        auto g = host.ui().lock();
        g->reply_target = g->notifications.back().reply_target();  // id 5
        g->reply_box = "typing";
        g->toast_actions[1] = ToastAction{ReplyAction{g->notifications.back().reply_target()}, {}};
        g->toast_actions[2] = ToastAction{ReplyAction{g->notifications.front().reply_target()}, {}};
        g->toast_actions[3] = ToastAction{CopyCodeAction{"1234"}, {}};
    }
    auto dismiss = [&](std::int32_t id, const char* tag) {
        pb::NotificationDismiss d;
        d.set_package("com.chat");
        d.set_tag(tag);
        d.set_notification_id(id);
        notifications.on_event(message(AppEventKind::NotificationDismissed, d));
    };
    dismiss(5, "other-tag");  // the tag must match too
    {
        auto g = host.ui().lock();
        EXPECT_TRUE(g->notifications.back().active);
        EXPECT_TRUE(g->reply_target.has_value());
    }
    dismiss(5, "t");
    auto g = host.ui().lock();
    ASSERT_EQ(g->notifications.size(), 2u);
    EXPECT_FALSE(g->notifications.back().active);
    EXPECT_TRUE(g->notifications.front().active);
    EXPECT_FALSE(g->reply_target.has_value());
    EXPECT_TRUE(g->reply_box.empty());
    EXPECT_EQ(g->toast_actions.count(1), 0u);
    EXPECT_EQ(g->toast_actions.count(2), 1u);
    EXPECT_EQ(g->toast_actions.count(3), 1u);
}

TEST_F(PhoneFeatures, ClipboardFromThePhoneIsWrittenAndNeverEchoed) {
    {
        auto g = host.ui().lock();
        g->paired = true;
        g->engine_state = kEnginePaired;
    }
    clipboard.on_event(AppEvent{AppEventKind::ClipboardReceived, ClipboardReceivedEvent{"来自手机"}});
    EXPECT_EQ(host.local_clipboard.read_text(), "来自手机");
    EXPECT_EQ(host.ui().lock()->clip_last_received, "来自手机");

    // The change the write causes on a real desktop clipboard, and copies from elsewhere.
    const struct {
        const char* name;
        std::string text;
        bool clip_sync;
        std::uint64_t ms_since_rx;
        bool sent;
    } cases[] = {
        {"own write", "来自手机", true, 0, false},
        {"new text", "本机复制", true, 24999, true},
        {"quiet link", "本机复制2", true, 25000, false},
        {"sync off", "本机复制3", false, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            auto g = host.ui().lock();
            g->settings.clip_sync = c.clip_sync;
            g->ms_since_rx = c.ms_since_rx;
            g->requests = {};
        }
        host.local_clipboard.write_text(c.text);
        on_clipboard_changed(host.ui(), host.local_clipboard);
        auto g = host.ui().lock();
        EXPECT_EQ(g->requests.send_clipboard.has_value(), c.sent);
        // "最近发送" lists what went out; a request is not that yet.
        EXPECT_EQ(g->clip_last_sent, "");
    }

    // A code copied from a notification does not go back either, but the send button does.
    host.ui().lock()->requests = {};
    notify(push(1, "com.sms", "短信", "验证码 482913"));
    ASSERT_TRUE(copy_code(host.ui(), host.local_clipboard, 0, pair.clock.now()));
    EXPECT_EQ(host.local_clipboard.read_text(), "482913");
    on_clipboard_changed(host.ui(), host.local_clipboard);
    EXPECT_FALSE(host.ui().lock()->requests.send_clipboard.has_value());
    EXPECT_EQ(host.ui().lock()->clip_last_sent, "") << "the code was kept from the phone";
    ASSERT_TRUE(send_local_clipboard(host.ui(), host.local_clipboard));
    EXPECT_EQ(host.ui().lock()->requests.send_clipboard, "482913");
    // Once it went, it is listed.
    pair.bind();
    UiRequests requests = host.ui().lock()->take_requests();
    clipboard.on_requests(requests);
    EXPECT_EQ(host.ui().lock()->clip_last_sent, "482913");
    EXPECT_FALSE(copy_code(host.ui(), host.local_clipboard, 5, pair.clock.now()));
}

TEST_F(PhoneFeatures, ClipboardToThePhoneGoesOverBleUpTo32768Bytes) {
    pair.bind();
    auto send = [&](std::string text) {
        UiRequests r;
        r.send_clipboard = std::move(text);
        clipboard.on_requests(r);
        EXPECT_FALSE(r.send_clipboard.has_value());
    };
    send(std::string(32768, 'a'));
    // This pair's link has the smallest MTU, too small for 32 KiB in one frame's fragment
    // count; the end-to-end suite has the phone receive it. Here: it went, and on BLE.
    EXPECT_FALSE(pair.pc.ble_out().empty());
    EXPECT_TRUE(pair.pc.tcp_out().empty());
    EXPECT_EQ(host.ui().lock()->clip_last_sent.size(), 32768u);
    (void)pair.pc.take_ble_fragments();
    send("短文本");
    EXPECT_TRUE(pair.pc.tcp_out().empty());
    std::string received;
    for (const auto& e : at_phone())
        if (auto* c = e.as<ClipboardReceivedEvent>()) received = c->text;
    EXPECT_EQ(received, "短文本");

    send(std::string(32769, 'b'));
    EXPECT_EQ(pc_errors(), std::vector<std::string>{"剪贴板内容 32 KB 超过 32 KB 上限，未发送"});
    EXPECT_EQ(notices().front(), "剪贴板未发出：尚未配对，或链路未就绪");
    EXPECT_TRUE(at_phone().empty());

    host.loaded = LoadedModules{static_cast<std::uint8_t>(0xFF & ~LoadedModules::kClipboard)};
    send("x");
    EXPECT_EQ(notices().front(), "剪贴板同步已在设置中关闭（重启后生效）");
    clipboard.on_event(AppEvent{AppEventKind::ClipboardReceived, ClipboardReceivedEvent{"ignored"}});
    EXPECT_NE(host.local_clipboard.read_text(), "ignored");
}

TEST_F(PhoneFeatures, MediaStateIsStoredAndCommandsReachThePhone) {
    pb::MediaState s;
    s.set_title("夜曲");
    s.set_playing(true);
    s.set_speed(std::numeric_limits<float>::quiet_NaN());
    s.set_volume(40);
    media.on_event(message(AppEventKind::MediaStateReceived, s));
    {
        auto g = host.ui().lock();
        ASSERT_TRUE(g->media.has_value());
        EXPECT_EQ(g->media->title, "夜曲");
        EXPECT_EQ(g->media->speed_percent, 100);
        EXPECT_EQ(g->media->volume, 40);
    }
    UiRequests r;
    r.media = MediaCommandRequest{8, 55, 0};
    media.on_requests(r);
    std::optional<pb::MediaCommand> got;
    for (const auto& e : at_phone())
        if (auto* m = e.as<MessageEvent<pb::MediaCommand>>()) got = m->message;
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->action(), 8);
    EXPECT_EQ(got->volume(), 55);

    pair.pc.return_to_discover();
    r.media = MediaCommandRequest{0, 0, 0};
    media.on_requests(r);
    EXPECT_EQ(notices().front(), "播放指令未发出：尚未配对，或链路未就绪");
    host.loaded = LoadedModules{static_cast<std::uint8_t>(0xFF & ~LoadedModules::kMedia)};
    r.media = MediaCommandRequest{0, 0, 0};
    media.on_requests(r);
    EXPECT_EQ(notices().front(), "媒体控制已在设置中关闭（重启后生效）");
}

TEST_F(PhoneFeatures, BatteryRangeAndTimestampOrder) {
    const std::uint64_t now = pair.clock.wall_ms();
    const struct {
        const char* name;
        std::int32_t level;
        std::uint64_t ts;
        std::int32_t shown;
    } steps[] = {
        {"first report", 80, now, 80},
        {"out of range", 150, now + 1, -1},
        {"older one ignored", 50, now - 1000, -1},
        {"same time taken", 60, now + 1, 60},
        {"negative", -5, now + 2, -1},
        {"stamped far in the future", 70, now + 365ull * 24 * 3600 * 1000, 70},
        {"then a sane one still counts", 71, now + 3, 71},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        pb::DeviceStatus d;
        d.set_battery(s.level);
        d.set_ts_ms(s.ts);
        status.on_event(message(AppEventKind::DeviceStatusReceived, d));
        auto g = host.ui().lock();
        ASSERT_TRUE(g->device_status.has_value());
        EXPECT_EQ(g->device_status->battery, s.shown);
    }
}

TEST_F(PhoneFeatures, ConfigSyncTakesCrossAndPerPeerOnesOnlyAndSavesOnChange) {
    auto sync = [&](std::vector<std::array<std::string, 3>> entries) {
        pb::ConfigSync m;
        for (auto& [k, v, s] : entries) {
            auto* e = m.add_entries();
            e->set_key(k);
            e->set_value(v);
            e->set_scope(s);
        }
        config.on_event(message(AppEventKind::ConfigSyncReceived, m));
    };
    sync({{"clip.sync", "true", "cross"},
          {"notify.toast.enabled", "0", "local"},
          {"notify.toast.show_content", "0", "per_peer"},
          {"unknown.key", "1", "cross"}});
    {
        auto g = host.ui().lock();
        EXPECT_FALSE(g->settings.clip_sync);  // "true" is not "1"
        EXPECT_TRUE(g->settings.toast_enabled);
        EXPECT_FALSE(g->settings.toast_show_content);
    }
    EXPECT_EQ(host.saves, 1);
    sync({{"clip.sync", "0", "cross"}});
    EXPECT_EQ(host.saves, 1);  // nothing changed

    std::vector<std::array<std::string, 3>> many;
    for (int i = 0; i < 1000; ++i) many.push_back({i % 2 ? "clip.sync" : "x" + std::to_string(i), "1", "weird"});
    many.push_back({"clip.sync", "1", "per_peer"});
    sync(many);
    EXPECT_TRUE(host.ui().lock()->settings.clip_sync);
    EXPECT_EQ(host.saves, 2);
}

TEST_F(PhoneFeatures, ConfigSyncIsSentOncePerEngineAndAgainOnEveryBind) {
    auto sent = [&] {
        std::vector<std::string> out;
        for (const auto& e : at_phone()) {
            if (auto* m = e.as<MessageEvent<pb::ConfigSync>>()) {
                std::string line;
                for (const auto& c : m->message.entries()) line += c.key() + "=" + c.value() + "@" + c.scope() + " ";
                out.push_back(line);
            }
        }
        return out;
    };
    host.ui().lock()->settings.toast_show_content = false;
    config.step(TurnStep::SessionStartup, pair.clock.now());
    config.step(TurnStep::SessionStartup, pair.clock.now());
    EXPECT_EQ(sent(), std::vector<std::string>{
                          "notify.toast.enabled=1@cross notify.toast.show_content=0@cross clip.sync=1@per_peer "});
    pair.bind();
    config.on_link({LinkChange::Kind::TcpBound, {}});
    EXPECT_FALSE(pair.pc.tcp_out().empty());  // the bound channel carries it
    EXPECT_EQ(sent().size(), 1u);
    config.step(TurnStep::SessionStartup, pair.clock.now());
    EXPECT_TRUE(sent().empty());
    config.on_link({LinkChange::Kind::EngineCreated, {}});
    config.step(TurnStep::SessionStartup, pair.clock.now());
    EXPECT_EQ(sent().size(), 1u);
}

}  // namespace
}  // namespace dovan
