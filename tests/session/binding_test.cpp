// TCP channel binding between a paired PC and phone: the exchange itself, its refusals,
// peers on TCP that do not hold the session, and the end of a binding.
#include <gtest/gtest.h>

#include <functional>

#include "app/debug_log.h"
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
    phone.tcp_out().clear();
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

}  // namespace
}  // namespace dovan
