// TCP channel binding between a paired PC and phone: the exchange itself, its refusals,
// peers on TCP that do not hold the session, and the end of a binding.
#include <gtest/gtest.h>

#include <functional>

#include "platform/debug_log.h"
#include "crypto/binding.h"
#include "session/bound_pair.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;
using test::BoundPair;

std::vector<std::string> field_of(const DebugCapture& c, std::string_view event, const char* key) {
    std::vector<std::string> out;
    for (const auto& r : c.events(event)) out.push_back(r.field(key));
    return out;
}

std::vector<Frame> frames_of_type(std::vector<Frame> frames, std::uint8_t type) {
    std::erase_if(frames, [&](const Frame& f) { return f.header.type != type; });
    return frames;
}

Bytes note_body(const std::string& title) {
    pb::NotificationPush n;
    n.set_title(title);
    return encode_notification_push(n);
}

std::vector<std::string> titles(const std::vector<AppEvent>& events) {
    std::vector<std::string> out;
    for (const auto& e : events)
        if (auto* m = e.as<MessageEvent<pb::NotificationPush>>()) out.push_back(m->message.title());
    return out;
}

Bytes bind_payload(std::vector<TlvRecord> records) { return test::tlvs(std::move(records)); }

Bytes nonce_of(const Frame& bind) {
    auto v = find_tlv(bind.payload, TAG_NONCE_TCP);
    EXPECT_TRUE(v.ok() && v->has_value());
    return v.ok() && v->has_value() ? **v : Bytes{};
}

TEST(TcpBinding, NoncesOverTcpProofsOverBleThenParkedFramesReplayInOrder) {
    DebugCapture capture;
    BoundPair p;
    p.pc.start_bind_server();
    p.phone.start_bind_client();
    EXPECT_TRUE(p.pc.bind_in_progress());
    EXPECT_FALSE(p.pc.tcp_bound());

    // Phone's nonce reaches the PC over TCP: the PC answers its own nonce on TCP and its
    // proof on BLE, nothing else.
    p.tcp_to_pc();
    ASSERT_EQ(p.pc.tcp_out().size(), 1u);
    auto reply = decode_frame(p.pc.tcp_out().front());
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->header.type, BIND);
    EXPECT_FALSE(reply->header.encrypted());
    // The PC's proof binds the phone; the PC's nonce makes the phone queue its own proof.
    p.tcp_to_phone();
    p.ble_to_phone();
    ASSERT_TRUE(p.phone.tcp_bound());
    ASSERT_FALSE(p.pc.tcp_bound());

    // The phone, bound first, sends over TCP while the PC still waits for the proof.
    for (const char* t : {"one", "two", "three"})
        ASSERT_TRUE(p.phone.send_business(NOTIFICATION_PUSH, note_body(t), 5, false));
    EXPECT_TRUE(p.phone.ble_out().size() > 0);  // the phone's proof, queued earlier
    p.tcp_to_pc();
    EXPECT_EQ(p.pc.parked_frames(), 3u);
    EXPECT_TRUE(titles(p.pc.events()).empty());

    p.ble_to_pc();
    EXPECT_TRUE(p.pc.tcp_bound());
    EXPECT_EQ(p.pc.parked_frames(), 0u);
    auto events = p.pc.take_events();
    EXPECT_TRUE(test::error_texts(events).empty()) << test::error_texts(events)[0];
    ASSERT_EQ(test::count_kind(events, AppEventKind::TcpBound), 1u);
    EXPECT_EQ(events.front().kind, AppEventKind::TcpBound);
    EXPECT_EQ(titles(events), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(test::count_kind(p.phone.take_events(), AppEventKind::TcpBound), 1u);

    EXPECT_EQ(field_of(capture, "tcp.bind.start", "role"),
              (std::vector<std::string>{"server", "client"}));
    EXPECT_EQ(field_of(capture, "tcp.prebind_park", "queued"),
              (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(field_of(capture, "tcp.prebind_flush", "frames"), std::vector<std::string>{"3"});
    EXPECT_EQ(capture.events("tcp.bound").size(), 2u);

    // Bound: business goes over TCP both ways.
    ASSERT_TRUE(p.pc.send_business(NOTIFICATION_PUSH, note_body("tcp"), 6, false));
    EXPECT_TRUE(p.pc.ble_out().empty());
    ASSERT_EQ(p.pc.tcp_out().size(), 1u);
    p.pump();
    EXPECT_EQ(titles(p.phone.take_events()), std::vector<std::string>{"tcp"});
}

TEST(TcpBinding, RepeatedPeerNonceGetsOneNonceAndOneProof) {
    BoundPair p;
    p.pc.start_bind_server();
    const Bytes np(16, 0x4E);
    const Bytes bind = test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, np}}));
    p.pc.handle_frame(bind, Transport::Tcp);
    p.pc.handle_frame(bind, Transport::Tcp);
    EXPECT_EQ(test::drain_tcp_frames(p.pc).size(), 1u);
    auto ble = frames_of_type(test::drain_ble_frames(p.pc), BIND);
    ASSERT_EQ(ble.size(), 1u);
    auto records = decode_tlvs(ble[0].payload);
    ASSERT_TRUE(records.ok());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0], (TlvRecord{TAG_NONCE_TCP, np}));
    EXPECT_EQ((*records)[1].tag, TAG_BIND_TAG);
    EXPECT_TRUE(test::error_texts(p.pc.take_events()).empty());
}

// Each refused BIND is reported, answered by nothing and leaves the binding where it was.
TEST(TcpBinding, MalformedNonceOrProofIsRefusedWithItsText) {
    const Bytes n15(15, 1), n16(16, 1), n17(17, 1);
    struct Case {
        Transport link;
        Bytes payload;
        std::string text;
    };
    const std::string nonce = "TCP nonce 交换失败: ";
    const std::string proof = "TCP 通道绑定失败（疑似第三方冒充）: ";
    const std::vector<Case> cases = {
        {Transport::Tcp, bind_payload({{TAG_NONCE_TCP, n15}}), nonce + "nonce 长度非法（期望 16B）"},
        {Transport::Tcp, bind_payload({{TAG_NONCE_TCP, n17}}), nonce + "nonce 长度非法（期望 16B）"},
        {Transport::Tcp, bind_payload({{TAG_BIND_TAG, n16}}),
         nonce + "channel binding 未就绪：载荷缺少 TAG_NONCE_TCP"},
        {Transport::Tcp, Bytes{TAG_NONCE_TCP, 16, 1, 2},
         nonce + "TLV 编解码失败: " + decode_tlvs(Bytes{TAG_NONCE_TCP, 16, 1, 2}).error().display()},
        // Before the PC has a nonce of its own there is nothing to prove.
        {Transport::Ble, bind_payload({{TAG_NONCE_TCP, n16}, {TAG_BIND_TAG, n16}}),
         proof + "channel binding 未就绪：尚未发出我方 nonce"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        BoundPair p;
        p.pc.start_bind_server();
        p.pc.handle_frame(test::clear_frame(BIND, c.payload), c.link);
        EXPECT_EQ(test::error_texts(p.pc.take_events()), std::vector<std::string>{c.text});
        EXPECT_TRUE(p.pc.tcp_out().empty());
        EXPECT_TRUE(test::drain_ble_frames(p.pc).empty());
        EXPECT_FALSE(p.pc.tcp_bound());
        EXPECT_TRUE(p.pc.bind_in_progress());
    }
}

// The phone shares the session, so it makes genuine proofs: a fresh client binding answers
// any nonce it is told over TCP with its proof over BLE.
Bytes genuine_proof(Engine& phone, const Bytes& nonce) {
    phone.start_bind_client();
    (void)phone.take_tcp_frames();
    phone.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, nonce}})), Transport::Tcp);
    auto ble = frames_of_type(test::drain_ble_frames(phone), BIND);
    EXPECT_EQ(ble.size(), 1u);
    if (ble.empty()) return {};
    auto tag = find_tlv(ble[0].payload, TAG_BIND_TAG);
    EXPECT_TRUE(tag.ok() && tag->has_value());
    return tag.ok() && tag->has_value() ? **tag : Bytes{};
}

struct ProofCase {
    std::string name;
    std::function<Bytes(const Bytes& own, Engine& phone)> payload;
    std::string text;
};

TEST(TcpBinding, ProofsThatDoNotProveTheSessionAreRefused) {
    const std::string prefix = "TCP 通道绑定失败（疑似第三方冒充）: ";
    const Bytes other(16, 0x77);
    const std::vector<ProofCase> cases = {
        {"missing nonce",
         [](const Bytes& own, Engine& phone) {
             return bind_payload({{TAG_BIND_TAG, genuine_proof(phone, own)}});
         },
         prefix + "channel binding 未就绪：proof 缺少 TAG_NONCE_TCP"},
        {"missing tag", [](const Bytes& own, Engine&) { return bind_payload({{TAG_NONCE_TCP, own}}); },
         prefix + "channel binding 未就绪：proof 缺少 TAG_BIND_TAG"},
        {"short tag",
         [](const Bytes& own, Engine&) {
             return bind_payload({{TAG_NONCE_TCP, own}, {TAG_BIND_TAG, Bytes(15, 0)}});
         },
         prefix + "nonce 长度非法（期望 16B）"},
        // The MAC is right for the nonce it echoes, but that nonce is not ours.
        {"other nonce",
         [&](const Bytes&, Engine& phone) {
             return bind_payload({{TAG_NONCE_TCP, other}, {TAG_BIND_TAG, genuine_proof(phone, other)}});
         },
         prefix + "对端 nonce 与本地不匹配（第三方冒充 TCP 对端）"},
        // Knows the exchange, not the key.
        {"wrong key",
         [](const Bytes& own, Engine&) {
             Key32 guess{};
             guess.fill(0x42);
             auto tag = binding_proof(guess, own);
             return bind_payload({{TAG_NONCE_TCP, own}, {TAG_BIND_TAG, Bytes(tag->begin(), tag->end())}});
         },
         prefix + "绑定签名校验失败（channel_bind_key 不一致或签名被篡改）"},
        {"one bit off",
         [](const Bytes& own, Engine& phone) {
             Bytes tag = genuine_proof(phone, own);
             tag[15] ^= 1;
             return bind_payload({{TAG_NONCE_TCP, own}, {TAG_BIND_TAG, tag}});
         },
         prefix + "绑定签名校验失败（channel_bind_key 不一致或签名被篡改）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoundPair p;
        p.pc.start_bind_server();
        p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, Bytes(16, 3)}})),
                          Transport::Tcp);
        auto tcp = test::drain_tcp_frames(p.pc);
        ASSERT_EQ(tcp.size(), 1u);
        const Bytes own = nonce_of(tcp[0]);
        p.pc.take_events();

        p.pc.handle_frame(test::clear_frame(BIND, c.payload(own, p.phone)), Transport::Ble);
        EXPECT_EQ(test::error_texts(p.pc.take_events()), std::vector<std::string>{c.text});
        EXPECT_FALSE(p.pc.tcp_bound());
        EXPECT_TRUE(p.pc.bind_in_progress());

        // The connection stays usable: the genuine proof still binds it.
        p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, own},
                                                                {TAG_BIND_TAG, genuine_proof(p.phone, own)}})),
                          Transport::Ble);
        EXPECT_TRUE(p.pc.tcp_bound());
    }
}

// Strangers connect beside the phone. Each connection gets its own nonce; the phone's proof
// names its connection by echoing that nonce, and only that one binds: the strangers get
// nothing of the session and what they parked goes with them.
TEST(TcpBinding, OfSeveralConnectionsOnlyTheOneThePhoneProvesBinds) {
    BoundPair p;
    p.pc.start_bind_server(1);  // a stranger that stays silent
    p.pc.start_bind_server(2);  // a stranger that talks
    p.pc.start_bind_server(3);  // the phone's
    p.phone.start_bind_client();
    FrameHeader forged;
    forged.type = NOTIFICATION_PUSH;
    forged.flags = FLAG_ENCRYPTED;
    forged.seq = 50;
    forged.payload_len = 4;
    p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, Bytes(16, 7)}})), Transport::Tcp, 2);
    p.pc.handle_frame(*encode_frame(forged, Bytes(20, 0xEE)), Transport::Tcp, 2);
    for (Bytes& f : p.phone.take_tcp_frames()) p.pc.handle_tcp_frame_in_place(f, 3);

    // Each nonce goes back on the connection it answers, none on "the" connection.
    EXPECT_TRUE(p.pc.tcp_out().empty());
    auto replies = p.pc.take_bind_frames();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].first, 2u);
    EXPECT_EQ(replies[1].first, 3u);
    auto stranger_nonce = decode_frame(replies[0].second), phone_nonce = decode_frame(replies[1].second);
    ASSERT_TRUE(stranger_nonce.ok() && phone_nonce.ok());
    EXPECT_NE(nonce_of(*stranger_nonce), nonce_of(*phone_nonce));

    p.phone.handle_frame(replies[1].second, Transport::Tcp);
    p.ble_to_phone();
    ASSERT_TRUE(p.phone.tcp_bound());
    ASSERT_TRUE(p.phone.send_business(NOTIFICATION_PUSH, note_body("early"), 5, false));
    for (Bytes& f : p.phone.take_tcp_frames()) p.pc.handle_tcp_frame_in_place(f, 3);
    EXPECT_EQ(p.pc.parked_frames(2), 1u);
    EXPECT_EQ(p.pc.parked_frames(3), 1u);
    p.pc.take_events();

    p.ble_to_pc();
    auto events = p.pc.take_events();
    EXPECT_TRUE(test::error_texts(events).empty()) << test::error_texts(events)[0];
    ASSERT_EQ(test::count_kind(events, AppEventKind::TcpBound), 1u);
    EXPECT_EQ(events.front().as<TcpBoundEvent>()->conn, 3u);
    EXPECT_EQ(titles(events), std::vector<std::string>{"early"});
    EXPECT_EQ(p.pc.bound_conn(), std::optional<std::uint64_t>(3));
    EXPECT_FALSE(p.pc.binds_conn(1));
    EXPECT_FALSE(p.pc.binds_conn(2));
    EXPECT_EQ(p.pc.parked_frames(), 0u);

    // The phone's own frame handed in by a stranger's connection reaches nothing.
    ASSERT_TRUE(p.phone.send_business(NOTIFICATION_PUSH, note_body("late"), 6, false));
    Bytes late = p.phone.take_tcp_frames().at(0);
    Bytes copy = late;
    EXPECT_FALSE(p.pc.handle_tcp_frame_in_place(copy, 2));
    EXPECT_FALSE(p.pc.handle_frame(test::clear_frame(HEARTBEAT, single_tlv(TAG_PING)), Transport::Tcp, 2));
    EXPECT_TRUE(p.pc.take_events().empty());
    EXPECT_TRUE(p.pc.tcp_out().empty());
    EXPECT_TRUE(p.pc.handle_tcp_frame_in_place(late, 3));
    EXPECT_EQ(titles(p.pc.take_events()), std::vector<std::string>{"late"});

    // The phone dials again: the bound connection's end leaves the new one binding.
    p.pc.start_bind_server(4);
    EXPECT_TRUE(p.pc.tcp_bound());
    p.pc.drop_tcp_connection(3, "连接被关闭");
    events = p.pc.take_events();
    ASSERT_EQ(test::count_kind(events, AppEventKind::TcpUnbound), 1u);
    const auto* unbound = events.front().as<TcpUnboundEvent>();
    ASSERT_TRUE(unbound);
    EXPECT_EQ(unbound->conn, 3u);
    EXPECT_TRUE(unbound->channel);
    EXPECT_FALSE(p.pc.tcp_bound());
    EXPECT_TRUE(p.pc.binds_conn(4));
}

// Each connection has its own bind deadline: a stranger's passing never cuts the phone's
// short, and only the connection it belongs to is named for closing.
TEST(TcpBinding, EachConnectionHasItsOwnBindDeadline) {
    BoundPair p;
    const Instant t0 = p.clock.now();
    std::vector<TcpUnboundEvent> ends;
    auto run_to = [&](int s) {
        const Instant now = t0 + std::chrono::seconds(s);
        p.pc.note_link_receive(now);
        p.pc.timer_step(now);
        for (const auto& e : p.pc.take_events())
            if (auto* u = e.as<TcpUnboundEvent>()) ends.push_back(*u);
    };
    p.pc.start_bind_server(1);
    run_to(0);
    run_to(10);
    p.pc.start_bind_server(2);
    for (int s = 11; s <= 20; ++s) run_to(s);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].conn, 1u);
    EXPECT_FALSE(ends[0].channel) << "another binding goes on";
    EXPECT_EQ(ends[0].reason, "对端未在时限内完成 TCP 通道绑定");
    EXPECT_TRUE(p.pc.binds_conn(2));
    for (int s = 21; s <= 31; ++s) run_to(s);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].conn, 2u);
    EXPECT_TRUE(ends[1].channel);
    EXPECT_FALSE(p.pc.bind_in_progress());
}

// ---- peers on TCP that do not hold the session ----

std::size_t business_events(const std::vector<AppEvent>& events) {
    std::size_t n = 0;
    for (const auto& e : events)
        n += e.kind == AppEventKind::NotificationPushed || e.kind == AppEventKind::ClipboardReceived ||
             e.kind == AppEventKind::FileMetaReceived;
    return n;
}

// Only BIND (and nothing encrypted) may go out on an unbound connection.
void expect_nothing_but_bind_on_tcp(Engine& e) {
    for (const auto& f : test::drain_tcp_frames(e)) {
        EXPECT_EQ(f.header.type, BIND);
        EXPECT_FALSE(f.header.encrypted());
    }
}

TEST(TcpImpostor, FloodBeforeBindingIsParkedNeverDispatchedAndDroppedAtTheDeadline) {
    DebugCapture capture;
    BoundPair p;
    const Instant t0 = p.clock.now();
    p.pc.note_link_receive(t0);
    p.pc.start_bind_server();
    p.pc.timer_step(t0);
    p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, Bytes(16, 9)}})),
                      Transport::Tcp);
    // Forged "encrypted" frames: right header, wrong key.
    for (int i = 0; i < 17; ++i) {
        FrameHeader h;
        h.type = NOTIFICATION_PUSH;
        h.flags = FLAG_ENCRYPTED;
        h.seq = 100 + i;
        h.payload_len = 4;
        p.pc.handle_frame(*encode_frame(h, Bytes(20, 0xEE)), Transport::Tcp);
    }
    EXPECT_EQ(p.pc.parked_frames(), 16u);
    auto events = p.pc.take_events();
    EXPECT_EQ(test::error_texts(events),
              std::vector<std::string>{"TCP 绑定迟迟未完成，暂存业务帧已满（16 帧），本帧丢弃——请重连"});
    EXPECT_EQ(business_events(events), 0u);

    // Meanwhile the PC's own business stays on BLE.
    ASSERT_TRUE(p.pc.send_business(CLIPBOARD_PUSH, Bytes{}, 1, false));
    expect_nothing_but_bind_on_tcp(p.pc);
    EXPECT_FALSE(p.pc.send_encrypted_tcp(NOTIFICATION_PUSH, Bytes{}));
    EXPECT_FALSE(p.pc.send_tcp_only(ALBUM_LIST_REQUEST, Bytes{}, 1));
    EXPECT_TRUE(p.pc.tcp_out().empty());
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              (std::vector<std::string>{"TCP 通道尚未绑定，业务帧未发出",
                                        "相册需要局域网通道：TCP 尚未就绪，这条请求没有发出"}));

    for (int s = 1; s < 20; ++s) {
        p.pc.note_link_receive(t0 + std::chrono::seconds(s));
        p.pc.timer_step(t0 + std::chrono::seconds(s));
    }
    EXPECT_TRUE(p.pc.bind_in_progress());
    p.pc.note_link_receive(t0 + 20s);
    p.pc.timer_step(t0 + 20s);
    EXPECT_FALSE(p.pc.bind_in_progress());
    EXPECT_EQ(p.pc.parked_frames(), 0u);
    auto unbound = p.pc.take_events();
    ASSERT_EQ(test::count_kind(unbound, AppEventKind::TcpUnbound), 1u);
    EXPECT_EQ(unbound.back().as<TcpUnboundEvent>()->reason, "对端未在时限内完成 TCP 通道绑定");
    EXPECT_EQ(field_of(capture, "tcp.prebind_drop", "frames"), std::vector<std::string>{"16"});
    EXPECT_EQ(business_events(unbound), 0u);
}

// HELLO and the handshake belong to the BLE link: over TCP they are refused at any time.
// Before binding nothing at all is answered; once bound, a ping is.
TEST(TcpImpostor, ClearControlFramesOverTcpNeverReachTheSessionAndOnlyABoundPingIsAnswered) {
    const Bytes ping = test::clear_frame(HEARTBEAT, single_tlv(TAG_PING));
    const struct {
        const char* what;
        Bytes frame;
        bool answered_when_bound;
    } cases[] = {
        {"hello with a new counter and name", test::clear_frame(HELLO, test::hello_payload("Evil-Phone", 99)), false},
        {"challenge", test::clear_frame(CHALLENGE, Bytes(32, 0x42)), false},
        {"reply", test::clear_frame(REPLY, Bytes(64, 0x43)), false},
        {"ping", ping, true},
    };
    for (const bool bound : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (bound ? ", bound" : ", unbound"));
            DebugCapture capture;
            BoundPair p;
            if (bound) {
                p.bind();
            } else {
                p.pc.start_bind_server();
            }
            const std::string name = p.pc.peer_name();
            const auto hash = p.pc.handshake_hash();
            p.pc.take_events();
            const bool alive = p.pc.handle_frame(c.frame, Transport::Tcp);
            EXPECT_EQ(alive, bound && c.answered_when_bound);
            EXPECT_EQ(p.pc.state(), EngineState::Paired);
            EXPECT_EQ(p.pc.peer_name(), name);
            EXPECT_EQ(p.pc.handshake_hash(), hash);
            EXPECT_EQ(p.pc.tcp_bound(), bound);
            EXPECT_TRUE(p.pc.take_events().empty());
            EXPECT_TRUE(p.pc.ble_out().empty());
            auto answers = test::drain_tcp_frames(p.pc);
            if (bound && c.answered_when_bound) {
                ASSERT_EQ(answers.size(), 1u);
                EXPECT_EQ(answers[0].payload, single_tlv(TAG_PONG));
            } else {
                EXPECT_TRUE(answers.empty());
                EXPECT_EQ(capture.events("tcp.rx.refused").size(), 1u);
            }
        }
    }
}

// Liveness comes only from frames the session key or the binding vouches for.
// Both entries: frames handed over as copies and frames opened where they lie.
TEST(TcpImpostor, OnlyFramesThatOpenOnTheBoundChannelCountAsThePhoneAlive) {
    for (const bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "in place" : "copied");
        BoundPair p;
        p.bind();
        ASSERT_TRUE(p.phone.send_encrypted_tcp(NOTIFICATION_PUSH, Bytes{1, 2, 3}));
        const Bytes genuine = p.phone.tcp_out().back();
        (void)p.phone.take_tcp_frames();
        auto handle = [&](Bytes frame) {
            return in_place ? p.pc.handle_tcp_frame_in_place(frame) : p.pc.handle_frame(frame, Transport::Tcp);
        };
        Bytes forged = genuine;
        forged.back() ^= 0x01;
        EXPECT_FALSE(handle(forged));
        EXPECT_TRUE(handle(genuine)) << "a forged copy must not spoil the genuine frame";
        EXPECT_FALSE(handle(genuine)) << "a replay proves nothing";
    }
}

TEST(TcpImpostor, ReplayedProofOfAnEarlierBindingDoesNotBindANewConnection) {
    BoundPair p;
    p.pc.start_bind_server();
    p.phone.start_bind_client();
    p.tcp_to_pc();
    p.tcp_to_phone();
    // Keep the phone's genuine proof as it crosses BLE, then let it through.
    ASSERT_FALSE(p.phone.ble_out().empty());
    const std::deque<Bytes> old_proof = p.phone.ble_out();
    p.ble_to_phone();
    p.ble_to_pc();
    ASSERT_TRUE(p.pc.tcp_bound());

    // The phone's connection drops; a stranger connects and replays that proof.
    p.pc.unbind("连接已关闭");
    p.pc.start_bind_server();
    p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, Bytes(16, 5)}})),
                      Transport::Tcp);
    p.pc.take_events();
    for (const auto& v : old_proof) p.pc.take_ble_value(v, p.clock.now());
    EXPECT_FALSE(p.pc.tcp_bound());
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              std::vector<std::string>{
                  "TCP 通道绑定失败（疑似第三方冒充）: 对端 nonce 与本地不匹配（第三方冒充 TCP 对端）"});
    ASSERT_TRUE(p.pc.send_business(NOTIFICATION_PUSH, Bytes{}, 1, false));
    expect_nothing_but_bind_on_tcp(p.pc);
}

// A client waiting in the listen backlog is accepted right after the phone's connection
// drops, before that drop is noticed. It must start unbound, not inherit the binding.
TEST(TcpImpostor, NewAcceptWhileBoundStartsUnboundAndEndsTheOldBinding) {
    DebugCapture capture;
    BoundPair p;
    p.bind();
    p.pc.set_transfer_lock({LockChannel::Tcp, 0xAB});
    p.pc.start_bind_server();  // no unbind came first
    EXPECT_FALSE(p.pc.tcp_bound());
    EXPECT_TRUE(p.pc.bind_in_progress());
    auto events = p.pc.take_events();
    // The core keeps serving the new connection, so it is not told to close it...
    EXPECT_EQ(test::count_kind(events, AppEventKind::TcpUnbound), 0u);
    // ...but the transfer that ran on the old one is over.
    ASSERT_EQ(test::count_kind(events, AppEventKind::TransferInterrupted), 1u);
    EXPECT_EQ(p.pc.transfer_lock(), TransferLock{});
    EXPECT_EQ(capture.events("tcp.unbind").size(), 1u);

    // The stranger's frames are parked, and nothing of ours goes to it.
    FrameHeader h;
    h.type = FILE_META;
    h.flags = FLAG_ENCRYPTED;
    h.seq = 7;
    h.payload_len = 0;
    p.pc.handle_frame(*encode_frame(h, Bytes(16, 1)), Transport::Tcp);
    EXPECT_EQ(p.pc.parked_frames(), 1u);
    for (std::uint8_t type : {FILE_CHUNK, ALBUM_FULL_REQUEST, MEDIA_COMMAND})
        EXPECT_TRUE(p.pc.send_business(type, Bytes{}, 1, type == FILE_CHUNK));
    EXPECT_FALSE(p.pc.send_tcp_only(ALBUM_LIST_REQUEST, Bytes{}, 1));
    EXPECT_TRUE(p.pc.tcp_out().empty());
    // A new nonce gets a fresh reply: the own-nonce and proof flags were cleared too.
    p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, Bytes(16, 8)}})),
                      Transport::Tcp);
    EXPECT_EQ(test::drain_tcp_frames(p.pc).size(), 1u);
    EXPECT_EQ(frames_of_type(test::drain_ble_frames(p.pc), BIND).size(), 1u);
    EXPECT_EQ(business_events(p.pc.take_events()), 0u);
}

// ---- the end of a binding ----

TEST(TcpUnbind, FailsTcpTransfersBothWaysAndLeavesABleTransferAlone) {
    struct Case {
        LockChannel lock;
        std::size_t interrupted_sends;
    };
    for (const Case c : {Case{LockChannel::Tcp, 1}, Case{LockChannel::Ble, 0}}) {
        SCOPED_TRACE(static_cast<int>(c.lock));
        DebugCapture capture;
        BoundPair p;
        p.bind();
        p.pc.set_transfer_lock({c.lock, 0x51});
        pb::FileMeta meta;
        meta.set_file_id(0x77);
        meta.set_name("a.txt");
        ASSERT_TRUE(p.phone.send_business(FILE_META, encode_file_meta(meta), 1, false));
        p.pump();
        EXPECT_EQ(p.pc.receiving(), std::vector<std::uint64_t>{0x77});
        p.pc.take_events();

        p.pc.unbind("连接已关闭");
        auto events = p.pc.take_events();
        ASSERT_EQ(test::count_kind(events, AppEventKind::TcpUnbound), 1u);
        EXPECT_EQ(events[0].as<TcpUnboundEvent>()->reason, "连接已关闭");
        std::vector<TransferInterruptedEvent> interrupted;
        for (const auto& e : events)
            if (auto* t = e.as<TransferInterruptedEvent>()) interrupted.push_back(*t);
        ASSERT_EQ(interrupted.size(), c.interrupted_sends + 1);
        if (c.interrupted_sends) {
            EXPECT_EQ(interrupted[0].file_id, 0x51u);
            EXPECT_EQ(interrupted[0].text, "传输中 TCP 通道断开，文件未完成（不会改走蓝牙）");
            EXPECT_EQ(p.pc.transfer_lock(), TransferLock{});
        } else {
            EXPECT_EQ(p.pc.transfer_lock(), (TransferLock{LockChannel::Ble, 0x51}));
        }
        EXPECT_EQ(interrupted.back().file_id, 0x77u);
        EXPECT_EQ(interrupted.back().text, "接收中 TCP 通道断开，文件未完成（不会改走蓝牙）");
        EXPECT_TRUE(p.pc.receiving().empty());
        EXPECT_FALSE(p.pc.tcp_bound());
        EXPECT_FALSE(p.pc.bind_in_progress());

        p.pc.unbind("again");  // nothing left to end
        EXPECT_TRUE(p.pc.take_events().empty());
        EXPECT_EQ(field_of(capture, "tcp.unbind", "reason"), std::vector<std::string>{"连接已关闭"});
        // A BIND now has no binding to belong to.
        p.pc.handle_frame(test::clear_frame(BIND, bind_payload({{TAG_NONCE_TCP, Bytes(16, 1)}})),
                          Transport::Tcp);
        EXPECT_EQ(field_of(capture, "tcp.bind.orphan", "from"), std::vector<std::string>{"tcp"});
        EXPECT_TRUE(p.pc.tcp_out().empty());
    }
}

TEST(TcpUnbind, BoundChannelPingsAfterTenSilentSecondsAndEndsAfterTwenty) {
    BoundPair p;
    p.bind();
    const Instant t0 = p.clock.now();
    p.pc.note_tcp_receive(t0);
    std::vector<int> pings;
    int unbound_at = -1;
    for (int s = 0; s <= 25 && unbound_at < 0; ++s) {
        const Instant now = t0 + std::chrono::seconds(s);
        p.pc.note_link_receive(now);
        p.pc.timer_step(now);
        for (const auto& f : test::drain_tcp_frames(p.pc))
            if (f.header.type == HEARTBEAT) pings.push_back(s);
        if (!p.pc.tcp_bound()) unbound_at = s;
    }
    EXPECT_EQ(pings, (std::vector{10}));
    EXPECT_EQ(unbound_at, 20);
    auto events = p.pc.take_events();
    ASSERT_EQ(test::count_kind(events, AppEventKind::TcpUnbound), 1u);
    for (const auto& e : events) {
        if (auto* u = e.as<TcpUnboundEvent>()) {
            EXPECT_EQ(u->reason, "TCP 心跳超时（静默 20s）");
        }
    }
}

}  // namespace
}  // namespace dovan

namespace dovan {
namespace {

TEST(TcpBinding, NoBindingStartsWithoutAPairedSession) {
    Engine e(test::base_config(0));
    e.start_bind_server();
    e.start_bind_client();
    EXPECT_FALSE(e.bind_in_progress());
    EXPECT_TRUE(e.tcp_out().empty());
    EXPECT_EQ(test::error_texts(e.take_events()),
              (std::vector<std::string>{"会话密钥未建立，无法发起 TCP 绑定",
                                        "会话密钥未建立，无法发起 TCP 绑定"}));
}

}  // namespace
}  // namespace dovan

namespace dovan {
namespace {

// The BLE link under a session is gone. Over a bound LAN channel the session goes on, and
// is lost only when that channel ends too; without one it is lost at once. Either way
// nothing more is queued for the dead link.
TEST(BleLoss, TheSessionGoesOnOverABoundChannelAndIsLostWhenThatEndsToo) {
    test::BoundPair p;
    p.bind();
    p.pc.ble_link_lost("对端断开了 GATT 连接", p.clock.now());
    EXPECT_EQ(p.pc.state(), EngineState::Paired);
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              std::vector<std::string>{"蓝牙连接断开（对端断开了 GATT 连接），会话暂由局域网通道维持"});
    EXPECT_FALSE(p.pc.send_ble_only(CLIPBOARD_PUSH, Bytes{1}, 1));
    EXPECT_TRUE(p.pc.send_business(NOTIFICATION_REPLY, Bytes{1}, 1, false)) << "over TCP";
    EXPECT_TRUE(p.pc.ble_out().empty());

    p.pc.unbind("连接被关闭");
    EXPECT_EQ(p.pc.state(), EngineState::Reconnecting);
    const auto errors = test::error_texts(p.pc.take_events());
    EXPECT_NE(std::find(errors.begin(), errors.end(), "局域网通道也断开了（连接被关闭），进入重连"), errors.end());
    EXPECT_FALSE(p.pc.send_business(NOTIFICATION_REPLY, Bytes{1}, 1, false));

    test::BoundPair q;
    q.pc.ble_link_lost("对端断开了 GATT 连接", q.clock.now());
    EXPECT_EQ(q.pc.state(), EngineState::Reconnecting);
    EXPECT_EQ(test::error_texts(q.pc.take_events()),
              std::vector<std::string>{"蓝牙连接断开（对端断开了 GATT 连接），进入重连"});
    // The reconnect attempts' HELLOs have nowhere to go.
    q.clock.advance(1s);
    q.pc.timer_step(q.clock.now());
    EXPECT_TRUE(q.pc.ble_out().empty());
}

}  // namespace
}  // namespace dovan
