// State machine, HELLO, heartbeats and timers of one engine, without a peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "platform/debug_log.h"
#include "platform/clock.h"
#include "session/engine.h"
#include "session/engine_test_support.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;
using test::base_config;

constexpr EngineState kAllStates[] = {
    EngineState::Discover, EngineState::Handshake, EngineState::Pairing,
    EngineState::SasCompare, EngineState::Paired, EngineState::Repaired,
    EngineState::Reconnecting, EngineState::Closed,
};

// The static key is handed over inside a configuration that is built, returned and moved
// into the engine; none of the values it passed through may keep it once done with.
TEST(EngineConfigKey, AConfigurationTheKeyPassedThroughKeepsNoCopy) {
    const EngineConfig original = base_config(0);
    const Key32 key = original.static_private_key;
    ASSERT_NE(key, Key32{});

    EngineConfig from = original;
    const EngineConfig to = std::move(from);
    EXPECT_EQ(to.static_private_key, key);
    EXPECT_EQ(from.static_private_key, Key32{});  // NOLINT(bugprone-use-after-move): what a move leaves
    EngineConfig assigned;
    from = original;
    assigned = std::move(from);
    EXPECT_EQ(assigned.static_private_key, key);
    EXPECT_EQ(from.static_private_key, Key32{});  // NOLINT(bugprone-use-after-move)

    // A temporary's memory once it is gone: one that was only read, and one the engine
    // was built from.
    alignas(EngineConfig) unsigned char storage[sizeof(EngineConfig)];
    for (const bool built_from : {false, true}) {
        SCOPED_TRACE(built_from ? "an engine was built from it" : "only read");
        auto* temporary = new (storage) EngineConfig(original);
        const auto at = reinterpret_cast<unsigned char*>(temporary->static_private_key.data()) - storage;
        ASSERT_TRUE(std::equal(key.begin(), key.end(), storage + at));
        if (built_from) {
            const Engine engine(std::move(*temporary));
            // The engine holds the key: its device id is the one the key gives.
            EXPECT_EQ(engine.device_id(), Engine(original).device_id());
        }
        temporary->~EngineConfig();
        EXPECT_TRUE(std::all_of(storage + at, storage + at + key.size(), [](unsigned char b) { return b == 0; }));
    }
}

TEST(EngineStateMachine, InvalidTransitionIsReportedAndLeavesTheState) {
    DebugCapture capture;
    struct Case {
        EngineState from;
        EngineEvent event;
        const char* text;
    };
    const Case cases[] = {
        {EngineState::Paired, {EngineEventKind::SasConfirmed},
         "状态迁移失败: 非法迁移 Paired --SasConfirmed--> 无目标"},
        {EngineState::Discover, EngineEvent::handshake_complete(TrustVerdict::NewPeer),
         "状态迁移失败: 非法迁移 Discover --HandshakeComplete { tofu: NewPeer }--> 无目标"},
        {EngineState::SasCompare, {EngineEventKind::FingerprintReAccepted},
         "状态迁移失败: 非法迁移 SasCompare --FingerprintReAccepted--> 无目标"},
        {EngineState::Reconnecting, {EngineEventKind::PeerDiscovered},
         "状态迁移失败: 非法迁移 Reconnecting --PeerDiscovered--> 无目标"},
    };
    for (const auto& c : cases) {
        Engine e(base_config(0));
        test::reach_state(e, c.from);
        e.take_events();
        capture.clear();
        EXPECT_FALSE(e.transition(c.event));
        EXPECT_EQ(e.state(), c.from);
        auto events = e.take_events();
        ASSERT_EQ(events.size(), 1u);
        auto* err = events[0].as<EngineErrorEvent>();
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->code, -1);
        EXPECT_EQ(err->text, c.text);
        auto logged = capture.events("error");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].field("code"), "-1");
        EXPECT_EQ(logged[0].field("ctx"), c.text);
        EXPECT_TRUE(capture.events("state.transition").empty());
    }
}

TEST(EngineStateMachine, UserDisconnectFromEveryStateEndsClosed) {
    DebugCapture capture;
    for (EngineState s : kAllStates) {
        Engine e(base_config(0));
        test::reach_state(e, s);
        e.take_events();
        capture.clear();
        EXPECT_TRUE(e.transition({EngineEventKind::UserDisconnect}));
        EXPECT_EQ(e.state(), EngineState::Closed);
        EXPECT_EQ(test::states_of(e.take_events()), std::vector{EngineState::Closed});
        auto t = capture.events("state.transition");
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].field("from"), state_event_name(s));
        EXPECT_EQ(t[0].field("to"), "CLOSED");
    }
}

TEST(EngineStateMachine, EventByteFormRoundTrips) {
    EXPECT_EQ(EngineEvent::handshake_complete(TrustVerdict::Mismatch).to_byte(), 2);
    EXPECT_EQ(EngineEvent{EngineEventKind::PeerDiscovered}.to_byte(), 3);
    EXPECT_EQ(EngineEvent{EngineEventKind::SasConfirmed}.to_byte(), 5);
    EXPECT_EQ(EngineEvent{EngineEventKind::ProcessKilled}.to_byte(), 12);
    for (int b = 0; b < 256; ++b) {
        auto e = EngineEvent::from_byte(static_cast<std::uint8_t>(b));
        EXPECT_EQ(e.has_value(), b <= 12 && b != 4) << b;
        if (e) {
            EXPECT_EQ(e->to_byte(), b);
        }
    }
}

TEST(EngineUserActions, ActionsOutsideTheirStageChangeNothing) {
    struct Case {
        EngineState from;
        void (Engine::*action)();
        EngineState to;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {EngineState::Paired, &Engine::confirm_sas, EngineState::Paired, {"当前不在 SAS 比对阶段"}},
        {EngineState::Pairing, &Engine::confirm_sas, EngineState::Pairing, {"当前不在 SAS 比对阶段"}},
        {EngineState::Paired, &Engine::reject_pairing, EngineState::Paired, {"当前不在配对阶段"}},
        {EngineState::Pairing, &Engine::reaccept_identity, EngineState::Pairing,
         {"当前不在身份复核阶段"}},
        {EngineState::SasCompare, &Engine::reject_pairing, EngineState::Closed, {"已拒绝本次配对"}},
        {EngineState::Repaired, &Engine::reject_pairing, EngineState::Closed, {"已拒绝本次配对"}},
    };
    for (const auto& c : cases) {
        Engine e(base_config(0));
        test::reach_state(e, c.from);
        e.take_events();
        (e.*c.action)();
        EXPECT_EQ(e.state(), c.to);
        auto events = e.take_events();
        EXPECT_EQ(test::error_texts(events), c.texts);
        if (c.to == EngineState::Closed) {
            EXPECT_EQ(test::errors_of(events)[0].code, -200);
        }
    }
}

// ---- HELLO ----

TEST(EngineHello, SentHelloCarriesCutFieldsAndAFreshCounter) {
    auto cfg = base_config(1);
    cfg.device_name = std::string(31, 'a') + "\xE4\xB8\xAD";  // 34 bytes, cut before the 3-byte char
    cfg.app_version = "1.2.3-beta.4567890";
    Engine e(cfg);
    e.send_hello();
    e.send_hello();
    auto frames = test::drain_ble_frames(e);
    ASSERT_EQ(frames.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& f = frames[i];
        EXPECT_EQ(f.header.type, HELLO);
        EXPECT_EQ(f.header.flags, 0);
        EXPECT_EQ(f.header.seq, i);  // plain_seq
        auto name = find_tlv(f.payload, TAG_NAME);
        ASSERT_TRUE(name.ok() && name->has_value());
        EXPECT_EQ(as_text(**name), std::string(31, 'a'));
        auto ver = find_tlv(f.payload, TAG_VERSION);
        ASSERT_TRUE(ver.ok() && ver->has_value());
        EXPECT_EQ(as_text(**ver), "1.2.3-beta.4567");
        auto os = find_tlv(f.payload, TAG_OS);
        ASSERT_TRUE(os.ok() && os->has_value());
        EXPECT_EQ(**os, Bytes{1});
        auto seq = find_tlv(f.payload, TAG_HELLO_SEQ);
        ASSERT_TRUE(seq.ok() && seq->has_value());
        EXPECT_EQ(**seq, test::be64(5001 + i));
    }
}

TEST(EngineHello, FieldsAreReadLeniently) {
    struct Case {
        const char* label;
        Bytes payload;
        std::string name;
        std::uint8_t os;
        std::optional<std::string> version;
    };
    const std::string long_name = std::string(30, 'n') + "\xC3\xA9\xC3\xA9";  // 34 bytes
    const Case cases[] = {
        {"full", test::hello_payload("Pixel", 7), "Pixel", 1, "1.0"},
        {"name cut at a character", test::hello_payload(long_name, 7),
         std::string(30, 'n') + "\xC3\xA9", 1, "1.0"},
        {"invalid utf-8",
         test::tlvs({{TAG_NAME, Bytes{0xFF, 0xFE}}, {TAG_VERSION, Bytes{0xC3}}, {TAG_OS, Bytes{}}}),
         "", 0, std::nullopt},
        {"malformed list", Bytes{TAG_NAME, 9, 'x'}, "", 0, std::nullopt},
        {"empty", Bytes{}, "", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Engine e(base_config(1));  // responder: no handshake is started by HELLO
        e.handle_frame(test::clear_frame(HELLO, c.payload), Transport::Ble);
        EXPECT_EQ(e.state(), EngineState::Handshake);
        EXPECT_EQ(e.peer_name(), c.name);
        auto events = e.take_events();
        const PeerHelloEvent* hello = nullptr;
        for (const auto& ev : events)
            if (ev.kind == AppEventKind::PeerHello) hello = ev.as<PeerHelloEvent>();
        ASSERT_NE(hello, nullptr);
        EXPECT_EQ(hello->name, c.name);
        EXPECT_EQ(hello->os, c.os);
        EXPECT_EQ(hello->version, c.version);
        // The first HELLO is answered once.
        auto frames = test::drain_ble_frames(e);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].header.type, HELLO);
    }
}

TEST(EngineHello, InitiatorStartsTheHandshakeOnHello) {
    Engine pc(base_config(0));
    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 1)), Transport::Ble);
    EXPECT_EQ(pc.state(), EngineState::Handshake);
    auto frames = test::drain_ble_frames(pc);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.type, HELLO);
    EXPECT_EQ(frames[1].header.type, CHALLENGE);
    EXPECT_EQ(frames[1].payload.size(), 32u);  // message 1: the ephemeral key
    EXPECT_EQ(frames[1].header.seq, 1u);
}

TEST(EngineHello, RepeatWhilePairedWithSameCounterChangesNothing) {
    DebugCapture capture;
    Engine pc(base_config(0));
    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 42)), Transport::Ble);
    ASSERT_TRUE(pc.transition(EngineEvent::handshake_complete(TrustVerdict::Matched)));
    test::drain_ble_frames(pc);
    pc.take_events();

    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 42)), Transport::Ble);
    EXPECT_EQ(pc.state(), EngineState::Paired);
    EXPECT_TRUE(pc.take_events().empty());
    EXPECT_TRUE(test::drain_ble_frames(pc).empty());
    EXPECT_EQ(capture.events("peer.hello_repeat").size(), 1u);
}

TEST(EngineHello, NewCounterWhilePairedStartsOver) {
    Engine pc(base_config(0));
    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 42)), Transport::Ble);
    ASSERT_TRUE(pc.transition(EngineEvent::handshake_complete(TrustVerdict::Matched)));
    test::drain_ble_frames(pc);
    pc.take_events();

    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 43)), Transport::Ble);
    EXPECT_EQ(test::states_of(pc.take_events()),
              (std::vector{EngineState::Discover, EngineState::Handshake}));
    auto frames = test::drain_ble_frames(pc);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.type, HELLO);
    EXPECT_EQ(frames[0].header.seq, 0u);  // the session was reset
    EXPECT_EQ(frames[1].header.type, CHALLENGE);
}

TEST(EngineHello, HelloWhileReconnectingResumesTheHandshake) {
    Engine pc(base_config(0));
    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 42)), Transport::Ble);
    ASSERT_TRUE(pc.transition({EngineEventKind::HeartbeatTimeout}));
    test::drain_ble_frames(pc);
    pc.take_events();

    pc.handle_frame(test::clear_frame(HELLO, test::hello_payload("Pixel", 42)), Transport::Ble);
    EXPECT_EQ(pc.state(), EngineState::Handshake);
    EXPECT_EQ(pc.reconnect_attempts(), 0);
    auto events = pc.take_events();
    EXPECT_EQ(test::states_of(events), std::vector{EngineState::Handshake});
    EXPECT_EQ(test::count_kind(events, AppEventKind::PeerHello), 1u);
    auto frames = test::drain_ble_frames(pc);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.type, HELLO);
    EXPECT_EQ(frames[1].header.type, CHALLENGE);
}

// ---- heartbeats ----

// Over TCP a ping is answered only on a bound channel (see the binding tests); an unbound
// connection may be anyone and hears nothing.
TEST(EngineHeartbeat, PingIsAnsweredOnBleOnlyWhenPairedAndNeverOnAnUnboundTcpConnection) {
    for (Transport t : {Transport::Ble, Transport::Tcp}) {
        SCOPED_TRACE(t == Transport::Ble ? "ble" : "tcp");
        Engine e(base_config(0));
        const Bytes ping = test::clear_frame(HEARTBEAT, single_tlv(TAG_PING));
        EXPECT_EQ(e.handle_frame(ping, t), t == Transport::Ble);  // DISCOVER: not answered
        EXPECT_TRUE(e.ble_out().empty());
        EXPECT_TRUE(e.tcp_out().empty());
        test::reach_state(e, EngineState::Paired);
        EXPECT_EQ(e.handle_frame(ping, t), t == Transport::Ble);
        if (t == Transport::Tcp) {
            EXPECT_TRUE(e.ble_out().empty());
            EXPECT_TRUE(e.tcp_out().empty());
            continue;
        }
        auto frames = test::drain_ble_frames(e);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].header.type, HEARTBEAT);
        EXPECT_EQ(frames[0].header.flags, 0);
        EXPECT_EQ(frames[0].payload, single_tlv(TAG_PONG));
        EXPECT_TRUE(e.ble_out().empty());
        EXPECT_TRUE(e.tcp_out().empty());
    }
}

TEST(EngineHeartbeat, PongIsConsumedAndAnythingElseIsMalformed) {
    Engine e(base_config(0));
    test::reach_state(e, EngineState::Paired);
    e.take_events();
    e.handle_frame(test::clear_frame(HEARTBEAT, single_tlv(TAG_PONG)), Transport::Ble);
    EXPECT_TRUE(e.take_events().empty());
    EXPECT_TRUE(e.ble_out().empty());
    for (Bytes payload : {Bytes{}, single_tlv(TAG_NAME), Bytes{TAG_PING}}) {
        e.handle_frame(test::clear_frame(HEARTBEAT, payload), Transport::Ble);
        EXPECT_EQ(test::error_texts(e.take_events()), std::vector<std::string>{"心跳载荷畸形"});
    }
}

// ---- timers ----

struct Tick {
    int at_s;
    std::vector<std::uint8_t> frame_types;
};

TEST(EngineTimers, SilentPairedLinkPingsAt30AndTimesOutAt60) {
    DebugCapture capture;
    FakeClock clock;
    Engine e(base_config(0));
    test::reach_state(e, EngineState::Paired);
    const Instant t0 = clock.now();
    e.note_link_receive(t0);
    e.take_events();
    std::vector<int> ping_times;
    int timeout_at = -1;
    for (int s = 0; s <= 60 && timeout_at < 0; ++s) {
        e.timer_step(t0 + std::chrono::seconds(s));
        for (const auto& f : test::drain_ble_frames(e)) {
            if (f.header.type == HEARTBEAT) {
                EXPECT_EQ(f.payload, single_tlv(TAG_PING));
                ping_times.push_back(s);
            }
        }
        if (e.state() == EngineState::Reconnecting) timeout_at = s;
    }
    EXPECT_EQ(ping_times, std::vector{30});
    EXPECT_EQ(timeout_at, 60);
    auto ev = capture.events("heartbeat.timeout");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].field("idle_ms"), "60000");
    auto errs = test::error_texts(e.take_events());
    EXPECT_EQ(errs, std::vector<std::string>{"心跳超时，进入重连"});
}

TEST(EngineTimers, PingsRepeatEveryIntervalWhileThePeerOnlyAnswersPings) {
    FakeClock clock;
    Engine e(base_config(0));
    test::reach_state(e, EngineState::Paired);
    const Instant t0 = clock.now();
    e.note_link_receive(t0);
    std::vector<int> ping_times;
    for (int s = 0; s <= 200; ++s) {
        const Instant now = t0 + std::chrono::seconds(s);
        e.timer_step(now);
        for (const auto& f : test::drain_ble_frames(e)) {
            if (f.header.type != HEARTBEAT) continue;
            ping_times.push_back(s);
            e.note_link_receive(now);  // the pong arrives at once
        }
    }
    EXPECT_EQ(ping_times, (std::vector{30, 60, 90, 120, 150, 180}));
    EXPECT_EQ(e.state(), EngineState::Paired);
}

TEST(EngineTimers, ReconnectDelaysDoubleAndTheSeventhExpiryReturnsToDiscover) {
    DebugCapture capture;
    FakeClock clock;
    Engine e(base_config(0));
    test::reach_state(e, EngineState::Paired);
    const Instant t0 = clock.now();
    e.note_link_receive(t0);
    e.timer_step(t0 + 60s);
    ASSERT_EQ(e.state(), EngineState::Reconnecting);
    test::drain_ble_frames(e);
    e.take_events();

    std::vector<int> hello_times;
    int discover_at = -1;
    for (int s = 60; s <= 200 && discover_at < 0; ++s) {
        e.timer_step(t0 + std::chrono::seconds(s));
        for (const auto& f : test::drain_ble_frames(e))
            if (f.header.type == HELLO) hello_times.push_back(s - 60);
        if (e.state() == EngineState::Discover) discover_at = s - 60;
    }
    EXPECT_EQ(hello_times, (std::vector{0, 1, 3, 7, 15, 31}));
    EXPECT_EQ(discover_at, 63);
    std::vector<std::string> delays;
    for (const auto& r : capture.events("reconnect.attempt")) delays.push_back(r.field("delay_s"));
    EXPECT_EQ(delays, (std::vector<std::string>{"1", "2", "4", "8", "16", "32"}));
    EXPECT_EQ(capture.events("reconnect.exhausted").size(), 1u);
    auto errs = test::error_texts(e.take_events());
    ASSERT_EQ(errs.size(), 7u);
    EXPECT_EQ(errs[0], "重连尝试：重新广播 HELLO");
    EXPECT_EQ(errs[6], "重连 6 次失败，回到发现态");
    EXPECT_EQ(e.reconnect_attempts(), 0);
}

TEST(EngineTimers, DiscoverRepeatsHelloEveryFiveSecondsOnTheInitiatorOnly) {
    FakeClock clock;
    const Instant t0 = clock.now();
    for (std::uint8_t role : {0, 1}) {
        Engine e(base_config(role));
        std::vector<int> hello_times;
        for (int s = 0; s <= 12; ++s) {
            e.timer_step(t0 + std::chrono::seconds(s));
            for (const auto& f : test::drain_ble_frames(e))
                if (f.header.type == HELLO) hello_times.push_back(s);
        }
        const std::vector<int> expected = role == 0 ? std::vector<int>{0, 5, 10} : std::vector<int>{};
        EXPECT_EQ(hello_times, expected);
    }
}

TEST(EngineTimers, NoTcpPingsWithoutABoundChannel) {
    FakeClock clock;
    Engine e(base_config(0));
    test::reach_state(e, EngineState::Paired);
    const Instant t0 = clock.now();
    e.note_link_receive(t0);
    e.note_tcp_receive(t0);
    for (int s = 0; s <= 25; ++s) e.timer_step(t0 + std::chrono::seconds(s));
    EXPECT_TRUE(e.tcp_out().empty());  // no TCP channel bound: no TCP pings
}

// ---- inbound gate ----

TEST(EngineInbound, UndecodableAndUnprotectedFramesAreRefused) {
    Engine e(base_config(0));
    e.handle_frame(Bytes{'D', 'V', 1, 0, 0}, Transport::Ble);
    Bytes bad_magic = test::clear_frame(HELLO, {});
    bad_magic[0] = 'X';
    e.handle_frame(bad_magic, Transport::Ble);
    e.handle_frame(test::clear_frame(CLIPBOARD_PUSH, Bytes{1, 2, 3}), Transport::Ble);
    FrameHeader h;
    h.type = PAIR_CONFIRM;
    h.flags = FLAG_ENCRYPTED;
    h.seq = 1;
    h.payload_len = 3;
    auto sealed = encode_frame(h, Bytes(19, 0xAB));
    ASSERT_TRUE(sealed.ok());
    e.handle_frame(*sealed, Transport::Ble);
    EXPECT_EQ(test::error_texts(e.take_events()),
              (std::vector<std::string>{"整帧解析失败: 输入不足 5 字节",
                                        "整帧解析失败: magic 不匹配（0x5856）",
                                        "业务消息未加密，已丢弃",
                                        "会话密钥未建立，加密消息已丢弃"}));
}

TEST(EngineInbound, TcpFramesBeforeBindingAreParkedUpToSixteen) {
    Engine e(base_config(0));
    test::reach_state(e, EngineState::Paired);
    e.take_events();
    const Bytes frame = test::clear_frame(CLIPBOARD_PUSH, Bytes{1});
    for (int i = 0; i < 16; ++i) e.handle_frame(frame, Transport::Tcp);
    EXPECT_EQ(e.parked_frames(), 16u);
    EXPECT_TRUE(e.take_events().empty());
    e.handle_frame(frame, Transport::Tcp);
    EXPECT_EQ(e.parked_frames(), 16u);
    EXPECT_EQ(test::error_texts(e.take_events()),
              std::vector<std::string>{
                  "TCP 绑定迟迟未完成，暂存业务帧已满（16 帧），本帧丢弃——请重连"});
}

}  // namespace
}  // namespace dovan

namespace dovan {
namespace {
using namespace test;

// The deadline an owner may sleep until is exactly when the timer step next acts: a step
// just before it sends nothing, a step at it sends.
TEST(EngineDeadline, NamesTheInstantTheTimerStepActsAt) {
    const Instant t0 = Instant{} + std::chrono::hours(1);
    auto frames_at = [](Engine& e, Instant t) {
        e.timer_step(t);
        return drain_ble_frames(e).size();
    };
    struct Case {
        const char* what;
        std::uint8_t role;
        EngineState state;
        bool due_at_once;  // its first step acts whenever it comes
        Duration next;     // after a first step at t0
    } cases[] = {
        {"HELLO repeat while discovering", 0, EngineState::Discover, true, std::chrono::seconds(5)},
        {"reconnect back-off", 0, EngineState::Reconnecting, true, std::chrono::seconds(1)},
        {"BLE heartbeat while paired", 0, EngineState::Paired, false, base_config(0).heartbeat_interval},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Engine e(base_config(c.role));
        reach_state(e, c.state);
        (void)drain_ble_frames(e);
        e.note_link_receive(t0);
        ASSERT_TRUE(e.next_deadline());
        if (c.due_at_once) {
            EXPECT_LE(*e.next_deadline(), t0);
        }
        (void)frames_at(e, t0);
        ASSERT_EQ(e.next_deadline(), t0 + c.next);
        EXPECT_EQ(frames_at(e, t0 + c.next - std::chrono::milliseconds(1)), 0u);
        EXPECT_GE(frames_at(e, t0 + c.next), 1u);
    }
    // A phone waiting to be found has no timer at all.
    EXPECT_FALSE(Engine(base_config(1)).next_deadline());
}

}  // namespace
}  // namespace dovan
