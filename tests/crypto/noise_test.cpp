#include "crypto/noise.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/debug_log.h"
#include "crypto/json_reader.h"
#include "crypto/noise_resolver.h"
#include "crypto/random.h"

namespace dovan {
namespace {

Bytes hex(const std::string& text) {
    Bytes out;
    EXPECT_TRUE(parse_hex(text, out)) << text;
    return out;
}

Key32 random_key() {
    Key32 k{};
    EXPECT_TRUE(random_fill(k));
    return k;
}

// ---- known answers ----------------------------------------------------------------------

TEST(NoiseVectors, HandshakeAndTransportMatchEveryPublishedMessage) {
    const auto doc = testing::read_json_file(DOVAN_TEST_VECTORS "/noise_xx_25519_chachapoly_sha256.json");
    const auto& vectors = doc["vectors"].items;
    ASSERT_EQ(vectors.size(), 3u);
    for (std::size_t vi = 0; vi < vectors.size(); ++vi) {
        SCOPED_TRACE("vector " + std::to_string(vi));
        const auto& v = vectors[vi];
        const auto& r = standard_noise_resolver();
        auto init = HandshakeState::create(r, NoiseRole::Initiator, hex(v["init_static"].text),
                                           hex(v["init_prologue"].text), hex(v["init_ephemeral"].text));
        auto resp = HandshakeState::create(r, NoiseRole::Responder, hex(v["resp_static"].text),
                                           hex(v["resp_prologue"].text), hex(v["resp_ephemeral"].text));
        ASSERT_TRUE(init.ok() && resp.ok());

        const auto& msgs = v["messages"].items;
        ASSERT_GT(msgs.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            auto& writer = i % 2 == 0 ? *init : *resp;
            auto& reader = i % 2 == 0 ? *resp : *init;
            auto wire = writer.write_message(hex(msgs[i]["payload"].text));
            ASSERT_TRUE(wire.ok()) << wire.error().text;
            EXPECT_EQ(hex_lower(*wire), msgs[i]["ciphertext"].text) << "message " << i;
            auto payload = reader.read_message(*wire);
            ASSERT_TRUE(payload.ok()) << payload.error().text;
            EXPECT_EQ(hex_lower(*payload), msgs[i]["payload"].text);
        }
        ASSERT_TRUE(init->finished() && resp->finished());
        EXPECT_EQ(hex_lower(init->handshake_hash()), hex_lower(resp->handshake_hash()));
        if (v.has("handshake_hash")) {
            EXPECT_EQ(hex_lower(init->handshake_hash()), v["handshake_hash"].text);
        }
        EXPECT_EQ(*init->remote_static(), resp->local_static_public());
        EXPECT_EQ(*resp->remote_static(), init->local_static_public());

        auto ic = init->split_ciphers();
        auto rc = resp->split_ciphers();
        ASSERT_TRUE(ic.ok() && rc.ok());
        for (std::size_t i = 3; i < msgs.size(); ++i) {
            CipherState& send = i % 2 == 0 ? ic->first : rc->first;
            CipherState& recv = i % 2 == 0 ? rc->second : ic->second;
            Bytes wire, plain;
            ASSERT_TRUE(send.encrypt_with_ad({}, hex(msgs[i]["payload"].text), wire).ok());
            EXPECT_EQ(hex_lower(wire), msgs[i]["ciphertext"].text) << "message " << i;
            ASSERT_TRUE(recv.decrypt_with_ad({}, wire, plain).ok());
            EXPECT_EQ(hex_lower(plain), msgs[i]["payload"].text);
        }
    }
}

// ---- the program's resolver ------------------------------------------------------------

struct Pair {
    HandshakeState init;
    HandshakeState resp;
};

Pair make_pair() {
    const auto& r = dovan_noise_resolver();
    auto init = HandshakeState::create(r, NoiseRole::Initiator, random_key());
    auto resp = HandshakeState::create(r, NoiseRole::Responder, random_key());
    invariant(init.ok() && resp.ok(), "test keys are valid");
    return {*init, *resp};
}

TEST(DovanNoise, BothSidesAgreeAfterThreeMessages) {
    auto p = make_pair();
    for (int i = 0; i < 3; ++i) {
        auto& writer = i % 2 == 0 ? p.init : p.resp;
        auto& reader = i % 2 == 0 ? p.resp : p.init;
        ASSERT_TRUE(writer.is_my_turn());
        ASSERT_FALSE(reader.is_my_turn());
        auto wire = writer.write_message();
        ASSERT_TRUE(wire.ok());
        const std::size_t sizes[] = {32, 96, 64};
        EXPECT_EQ(wire->size(), sizes[i]);
        auto payload = reader.read_message(*wire);
        ASSERT_TRUE(payload.ok()) << payload.error().text;
        EXPECT_TRUE(payload->empty());
    }
    ASSERT_TRUE(p.init.finished() && p.resp.finished());
    EXPECT_EQ(hex_lower(p.init.handshake_hash()), hex_lower(p.resp.handshake_hash()));
    auto a = p.init.split();
    auto b = p.resp.split();
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->k1, b->k1);
    EXPECT_EQ(a->k2, b->k2);
    EXPECT_NE(a->k1, a->k2);
    EXPECT_EQ(*p.init.remote_static(), p.resp.local_static_public());
    EXPECT_EQ(*p.resp.remote_static(), p.init.local_static_public());
}

TEST(DovanNoise, NonceCounterIsBigEndianUnlikeTheStandardForm) {
    const Bytes be = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const Bytes le = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    const auto ours = dovan_noise_resolver().cipher_nonce(1);
    const auto standard = standard_noise_resolver().cipher_nonce(1);
    EXPECT_EQ(Bytes(ours.begin(), ours.end()), be);
    EXPECT_EQ(Bytes(standard.begin(), standard.end()), le);
    const auto big = dovan_noise_resolver().cipher_nonce(0x0102030405060708ull);
    EXPECT_EQ(hex_lower(big), "000000000102030405060708");
}

TEST(DovanNoise, SmallOrderPeerKeysAreRefusedAndTheHandshakeSurvives) {
    Key32 p_top = kX25519SmallOrderPoints[5];
    p_top[31] |= 0x80;  // p with the ignored top bit set
    Key32 one_top = kX25519SmallOrderPoints[1];
    one_top[31] |= 0x80;
    std::vector<Key32> bad(kX25519SmallOrderPoints.begin(), kX25519SmallOrderPoints.end());
    bad.push_back(p_top);
    bad.push_back(one_top);

    for (const Key32& point : bad) {
        SCOPED_TRACE(hex_lower(point));
        auto p = make_pair();
        auto m1 = p.init.write_message();
        ASSERT_TRUE(m1.ok());
        ASSERT_TRUE(p.resp.read_message(*m1).ok());
        auto m2 = p.resp.write_message();
        ASSERT_TRUE(m2.ok());

        Bytes forged = *m2;
        std::copy(point.begin(), point.end(), forged.begin());
        DebugCapture capture;
        auto refused = p.init.read_message(forged);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().code, CryptoErrc::MessageRejected);
        auto events = capture.events("dh.reject");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].field("reason"), "small_order_pubkey");
        EXPECT_EQ(events[0].level, LogLevel::Warn);

        // The genuine message still completes the handshake.
        EXPECT_EQ(p.init.messages_done(), 1);
        ASSERT_TRUE(p.init.read_message(*m2).ok());
        auto m3 = p.init.write_message();
        ASSERT_TRUE(m3.ok());
        ASSERT_TRUE(p.resp.read_message(*m3).ok());
        EXPECT_EQ(hex_lower(p.init.handshake_hash()), hex_lower(p.resp.handshake_hash()));
    }
}

TEST(DovanNoise, SmallOrderInitiatorEphemeralStopsTheResponderReply) {
    auto p = make_pair();
    const Key32& one = kX25519SmallOrderPoints[1];
    ASSERT_TRUE(p.resp.read_message(Bytes(one.begin(), one.end())).ok());
    DebugCapture capture;
    auto m2 = p.resp.write_message();
    ASSERT_FALSE(m2.ok());
    EXPECT_EQ(capture.events("dh.reject").at(0).field("reason"), "small_order_pubkey");
    EXPECT_EQ(p.resp.messages_done(), 1);
}

TEST(DovanNoise, ShortPeerKeyInDhIsRefused) {
    DebugCapture capture;
    DhKeyPair local;
    ASSERT_TRUE(dovan_noise_resolver().dh_generate(local));
    const Bytes short_key(31, 9);
    auto r = dovan_noise_resolver().dh(local, short_key);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(capture.events("dh.reject").at(0).field("reason"), "short_pubkey");
}

TEST(DovanNoise, TamperedOrTruncatedMessagesLeaveTheStateUntouched) {
    auto p = make_pair();
    auto m1 = p.init.write_message();
    ASSERT_TRUE(m1.ok());
    ASSERT_TRUE(p.resp.read_message(*m1).ok());
    auto m2 = p.resp.write_message();
    ASSERT_TRUE(m2.ok());

    struct Case {
        const char* name;
        Bytes wire;
        const char* expect_in_text;
    };
    Bytes flipped_static = *m2;
    flipped_static[40] ^= 0x01;
    Bytes flipped_tag = *m2;
    flipped_tag.back() ^= 0x80;
    const std::vector<Case> cases = {
        {"static key bit flipped", flipped_static, "解密失败：完整性校验未通过（tag/密文被篡改）"},
        {"payload tag flipped", flipped_tag, "解密失败"},
        {"cut inside the static key", Bytes(m2->begin(), m2->begin() + 60), "static 长度异常：28B（期望 48B）"},
        {"cut inside the ephemeral", Bytes(m2->begin(), m2->begin() + 10), "ephemeral 长度异常：10B（期望 32B）"},
        {"empty", Bytes{}, "ephemeral 长度异常：0B（期望 32B）"},
        {"beyond the Noise limit", Bytes(65536, 0), "noise_message 长度异常：65536B（期望 65535B）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = p.init.read_message(c.wire);
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().text.find(c.expect_in_text), std::string::npos) << r.error().text;
        EXPECT_EQ(p.init.messages_done(), 1);
        EXPECT_FALSE(p.init.remote_static().has_value());
    }
    EXPECT_EQ(cases[0].wire.size(), m2->size());
    const std::string rejected = "握手消息处理失败: 解密失败：完整性校验未通过（tag/密文被篡改）（可能角色对调、输入被篡改或时序错误）";
    EXPECT_EQ(p.init.read_message(flipped_static).error().text, rejected);

    ASSERT_TRUE(p.init.read_message(*m2).ok());
    auto m3 = p.init.write_message();
    ASSERT_TRUE(m3.ok());
    ASSERT_TRUE(p.resp.read_message(*m3).ok());
    EXPECT_TRUE(p.resp.finished());
}

TEST(DovanNoise, CallsOutOfTurnAreRefused) {
    auto p = make_pair();
    const std::string text = "握手尚未完成或越序调用";
    EXPECT_EQ(p.resp.write_message().error().text, text);
    EXPECT_EQ(p.init.read_message(Bytes(32, 7)).error().text, text);
    EXPECT_EQ(p.init.split().error().text, text);
    EXPECT_FALSE(p.init.remote_static().has_value());

    auto m1 = p.init.write_message();
    ASSERT_TRUE(m1.ok());
    EXPECT_EQ(p.init.write_message().error().text, text);
    ASSERT_TRUE(p.resp.read_message(*m1).ok());
    auto m2 = p.resp.write_message();
    ASSERT_TRUE(p.init.read_message(*m2).ok());
    auto m3 = p.init.write_message();
    ASSERT_TRUE(p.resp.read_message(*m3).ok());
    EXPECT_EQ(p.init.write_message().error().text, text);
    EXPECT_EQ(p.resp.read_message(*m3).error().text, text);
}

TEST(DovanNoise, ShortKeysAreIgnoredWithTheirEvents) {
    DebugCapture capture;
    auto hs = HandshakeState::create(dovan_noise_resolver(), NoiseRole::Initiator, Bytes(31, 1));
    ASSERT_FALSE(hs.ok());
    EXPECT_EQ(hs.error().code, CryptoErrc::HandshakeParams);
    EXPECT_EQ(hs.error().text, "握手参数解析失败: local_static 长度异常：31B（期望 32B）");
    EXPECT_EQ(capture.events("resolver.set_short_privkey").at(0).field("len"), "31");

    CipherState cs(dovan_noise_resolver());
    cs.initialize_key(Bytes(16, 1));
    EXPECT_FALSE(cs.has_key());
    EXPECT_EQ(capture.events("cipher.set_short_key").at(0).field("len"), "16");
    // A keyless state passes text through, as Noise defines before the first DH.
    Bytes out;
    ASSERT_TRUE(cs.encrypt_with_ad({}, as_bytes("abc"), out).ok());
    EXPECT_EQ(as_text(out), "abc");
}

TEST(DovanNoise, CipherStateRekeyAndNonceExhaustion) {
    const Key32 key = random_key();
    CipherState a(dovan_noise_resolver()), b(dovan_noise_resolver());
    a.initialize_key(key);
    b.initialize_key(key);

    Bytes before;
    ASSERT_TRUE(a.encrypt_with_ad(as_bytes("ad"), as_bytes("before"), before).ok());
    a.rekey();
    b.rekey();
    EXPECT_NE(a.key(), key);
    EXPECT_EQ(a.key(), b.key());
    b.set_nonce(0);
    Bytes plain;
    EXPECT_FALSE(b.decrypt_with_ad(as_bytes("ad"), before, plain).ok()) << "old key must not open";
    Bytes after;
    ASSERT_TRUE(a.encrypt_with_ad(as_bytes("ad"), as_bytes("after"), after).ok());
    b.set_nonce(1);
    ASSERT_TRUE(b.decrypt_with_ad(as_bytes("ad"), after, plain).ok());
    EXPECT_EQ(as_text(plain), "after");

    // The last nonce is reserved: the state stops rather than reuse one.
    a.set_nonce(std::numeric_limits<std::uint64_t>::max());
    Bytes refused;
    EXPECT_FALSE(a.encrypt_with_ad({}, as_bytes("x"), refused).ok());
    EXPECT_TRUE(refused.empty());
}

}  // namespace
}  // namespace dovan
