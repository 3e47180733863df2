#include "crypto/key_schedule.h"

#include <gtest/gtest.h>

#include "platform/debug_log.h"
#include "crypto/binding.h"
#include "crypto/cipher.h"
#include "crypto/noise_resolver.h"
#include "crypto/random.h"

namespace dovan {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> filled(std::uint8_t start, std::uint8_t step = 1) {
    std::array<std::uint8_t, N> a{};
    for (std::size_t i = 0; i < N; ++i) a[i] = static_cast<std::uint8_t>(start + i * step);
    return a;
}

// Known answers computed independently (Python hashlib/hmac) for
// h = 00..1f, k1 = 11.., k2 = 22.., rs = 20..3f.
const Digest32 kH = filled<32>(0);
const SplitKeys kSplit{filled<32>(0x11, 0), filled<32>(0x22, 0)};
const Key32 kRs = filled<32>(0x20);

TEST(KeySchedule, DerivationsMatchKnownAnswers) {
    DebugCapture capture;
    auto keys = derive_session_keys(kH, kSplit, kRs);
    ASSERT_TRUE(keys.ok()) << keys.error().text;
    EXPECT_EQ(hex_lower(keys->session_key), "001107623f582c074601e88c80286ab8f35d83327dddcd6394061564803da085");
    EXPECT_EQ(hex_lower(keys->session_id), "995a4625cec2fed12c8484b9fc08c1e3");
    // The 24-bit value is 1,264,335 here, so the reduction matters.
    EXPECT_EQ(keys->sas, 264335u);
    EXPECT_EQ(keys->static_fp, "72dbb7336c767800");

    auto events = capture.events("session_key.derive");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].module, "crypto");
    EXPECT_EQ(events[0].field("ok"), "true");
    EXPECT_EQ(events[0].field("len"), "32");

    EXPECT_EQ(derive_sas(filled<32>(1, 0)), 53802u);
    EXPECT_EQ(hex_lower(derive_device_id(filled<32>(0x33, 0))), "9938f6f396531852");
}

TEST(KeySchedule, WrongInputLengthsAreNamed) {
    struct Case {
        Bytes h, rs;
        const char* text;
    };
    const std::vector<Case> cases = {
        {Bytes(31, 0), Bytes(32, 0), "handshake_hash 长度异常：31B（期望 32B）"},
        {Bytes(64, 0), Bytes(32, 0), "handshake_hash 长度异常：64B（期望 32B）"},
        {Bytes(32, 0), Bytes{}, "remote_static 长度异常：0B（期望 32B）"},
    };
    for (const auto& c : cases) {
        DebugCapture capture;
        auto r = derive_session_keys(c.h, kSplit, c.rs);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().text, c.text);
        EXPECT_FALSE(capture.has("session_key.derive"));
    }
}

TEST(KeySchedule, SasTextAndWireForm) {
    struct Case {
        std::uint32_t sas;
        const char* text;
        SasBytes wire;
    };
    const Case cases[] = {
        {42, "000042", {0x00, 0x00, 0x2A}},
        {0, "000000", {0, 0, 0}},
        {999999, "999999", {0x0F, 0x42, 0x3F}},
        {53802, "053802", {0x00, 0xD2, 0x2A}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sas_text(c.sas), c.text);
        EXPECT_EQ(sas_bytes(c.sas), c.wire);
        EXPECT_EQ(sas_from_bytes(c.wire), c.sas);
    }
    EXPECT_FALSE(sas_from_bytes(Bytes{0, 0}).has_value());
    EXPECT_FALSE(sas_from_bytes(Bytes{0, 0, 0, 42}).has_value());
}

TEST(KeySchedule, MessageIdsStartAtTwoAndCarryOutOfSight) {
    const Key32 priv = filled<32>(0x33, 0);
    MessageIds a(derive_device_id(priv));
    MessageIds b(derive_device_id(priv));
    EXPECT_EQ(a.device_id(), b.device_id());

    const MessageId first = a.next();
    EXPECT_EQ(hex_lower(first), "9938f6f396531852" "0000000000000002");
    EXPECT_EQ(hex_lower(a.next()).substr(16), "0000000000000003");
    EXPECT_EQ(b.next(), first);

    MessageIds near_wrap(a.device_id(), 0xFFFFFFFFFFFFFFFEull);
    EXPECT_EQ(hex_lower(near_wrap.next()).substr(16), "ffffffffffffffff");
    EXPECT_EQ(hex_lower(near_wrap.next()).substr(16), "0000000000000000");
    EXPECT_EQ(near_wrap.high_word(), 1u);
}

// Two resolvers' worth of engines: what each side derives must agree.
TEST(KeySchedule, BothEndsOfAHandshakeDeriveTheSameSession) {
    Key32 si{}, sr{};
    ASSERT_TRUE(random_fill(si) && random_fill(sr));
    auto init = HandshakeState::create(dovan_noise_resolver(), NoiseRole::Initiator, si);
    auto resp = HandshakeState::create(dovan_noise_resolver(), NoiseRole::Responder, sr);
    ASSERT_TRUE(init.ok() && resp.ok());
    for (int i = 0; i < 3; ++i) {
        auto& w = i % 2 == 0 ? *init : *resp;
        auto& r = i % 2 == 0 ? *resp : *init;
        auto m = w.write_message();
        ASSERT_TRUE(m.ok());
        ASSERT_TRUE(r.read_message(*m).ok());
    }
    auto ki = derive_session_keys(init->handshake_hash(), *init->split(), *init->remote_static());
    auto kr = derive_session_keys(resp->handshake_hash(), *resp->split(), *resp->remote_static());
    ASSERT_TRUE(ki.ok() && kr.ok());
    EXPECT_EQ(ki->session_key, kr->session_key);
    EXPECT_EQ(ki->session_id, kr->session_id);
    EXPECT_EQ(ki->sas, kr->sas);
    EXPECT_LT(ki->sas, kSasModulus);
    EXPECT_EQ(ki->static_fp, static_fingerprint(resp->local_static_public()));
    EXPECT_EQ(kr->static_fp, static_fingerprint(init->local_static_public()));

    // The initiator's first frame (seq 1) opens on the responder.
    const std::uint8_t header[13] = {'D', 'V', 1, 10, 0x10, 0, 0, 0, 1, 0, 0, 0, 4};
    const Bytes sealed = seal_frame_payload(ki->session_key,
                                            frame_nonce(ki->session_key, send_dir(0), 1, ki->session_id),
                                            header, as_bytes("ping"));
    EXPECT_EQ(receive_dir(1), 1);
    auto opened = open_frame_payload(kr->session_key,
                                     frame_nonce(kr->session_key, receive_dir(1), 1, kr->session_id),
                                     header, sealed);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(as_text(*opened), "ping");
    EXPECT_EQ(derive_channel_binding_key(ki->session_key), derive_channel_binding_key(kr->session_key));
}

}  // namespace
}  // namespace dovan
