// A PC engine (initiator) and a phone engine (responder) joined by an in-memory BLE link
// that moves fragments, through pairing, reconnection and the failures that must end it.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <map>

#include "platform/debug_log.h"
#include "crypto/identity.h"
#include "crypto/key_schedule.h"
#include "crypto/noise_resolver.h"
#include "platform/clock.h"
#include "session/engine.h"
#include "session/engine_test_support.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;

DeviceIdentity make_rsa_identity(int bits) {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    invariant(key != nullptr, "RSA key generation");
    PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
    unsigned char* der = nullptr;
    const int len = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    Bytes bytes(der, der + len);
    OPENSSL_free(der);
    PKCS8_PRIV_KEY_INFO_free(p8);
    EVP_PKEY_free(key);
    auto id = DeviceIdentity::from_pkcs8_der(bytes);
    invariant(id.ok(), "PKCS#8 round trip");
    return std::move(*id);
}

// RSA key generation is slow: every identity of this binary is made once.
struct Identities {
    DeviceIdentity pc = make_rsa_identity(2048);
    DeviceIdentity phone = make_rsa_identity(2048);
    DeviceIdentity phone_new = make_rsa_identity(2048);
    DeviceIdentity weak = make_rsa_identity(1024);
};
const Identities& ids() {
    static const Identities* const all = new Identities();
    return *all;
}

EngineConfig pc_config(std::vector<TrustedPeer> trusted = {}) {
    auto c = test::base_config(0);
    c.identity = ids().pc;
    c.trusted = std::move(trusted);
    return c;
}

EngineConfig phone_config(std::size_t mtu, std::optional<DeviceIdentity> identity,
                          std::vector<TrustedPeer> trusted = {}) {
    auto c = test::base_config(1);
    c.identity = std::move(identity);
    c.trusted = std::move(trusted);
    c.ble_mtu = mtu;
    return c;
}

// Moves BLE values both ways until both queues are empty, checking every value fits the
// sender's MTU. Events stay in the engines for the test to read.
struct Link {
    Engine& pc;
    Engine& phone;
    FakeClock& clock;

    void deliver(Engine& from, Engine& to) {
        while (!from.ble_out().empty()) {
            Bytes value = std::move(from.ble_out().front());
            from.ble_out().pop_front();
            EXPECT_LE(value.size() + 3, std::max<std::size_t>(from.ble_mtu(), 23));
            to.take_ble_value(value, clock.now());
        }
    }
    // Delivers only the first `n` frames queued by `from` (fragments of one frame share
    // their group id and are contiguous).
    void deliver_frames(Engine& from, Engine& to, int n) {
        std::optional<std::uint16_t> group;
        while (!from.ble_out().empty()) {
            const Bytes& v = from.ble_out().front();
            const std::uint16_t g = static_cast<std::uint16_t>((v[0] << 8) | v[1]);
            if (group != g) {
                if (n-- == 0) return;
                group = g;
            }
            to.take_ble_value(v, clock.now());
            from.ble_out().pop_front();
        }
    }
    void pump() {
        for (int guard = 0; guard < 100; ++guard) {
            if (pc.ble_out().empty() && phone.ble_out().empty()) return;
            deliver(pc, phone);
            deliver(phone, pc);
        }
        ADD_FAILURE() << "link never went quiet";
    }
    void connect() {
        pc.open_with_hello(clock.now());
        pump();
    }
};

std::vector<AppEvent> events_of_kind(const std::vector<AppEvent>& events, AppEventKind kind) {
    std::vector<AppEvent> out;
    for (const auto& e : events)
        if (e.kind == kind) out.push_back(e);
    return out;
}

class EnginePair : public ::testing::TestWithParam<std::size_t> {
protected:
    FakeClock clock;
};

TEST_P(EnginePair, NewPhonePairsAfterBothUsersConfirmTheSas) {
    DebugCapture capture;
    Engine pc(pc_config());
    Engine phone(phone_config(GetParam(), ids().phone));
    Link link{pc, phone, clock};
    link.connect();

    ASSERT_EQ(pc.state(), EngineState::SasCompare);
    ASSERT_EQ(phone.state(), EngineState::SasCompare);
    // The PC learns the phone's larger MTU from the values it receives.
    EXPECT_EQ(pc.ble_mtu() > 23, GetParam() > 23);
    ASSERT_TRUE(pc.local_sas().has_value());
    EXPECT_EQ(pc.local_sas(), phone.local_sas());
    EXPECT_EQ(pc.peer_fingerprint(), ids().phone.fingerprint());
    EXPECT_EQ(phone.peer_fingerprint(), ids().pc.fingerprint());
    EXPECT_EQ(pc.remote_static_fingerprint(),
              static_fingerprint(x25519_public(test::base_config(1).static_private_key)));

    auto pc_events = pc.take_events();
    EXPECT_TRUE(test::error_texts(pc_events).empty()) << test::error_texts(pc_events)[0];
    EXPECT_EQ(test::states_of(pc_events),
              (std::vector{EngineState::Handshake, EngineState::Pairing, EngineState::SasCompare}));
    auto hello = events_of_kind(pc_events, AppEventKind::PeerHello);
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(hello[0].as<PeerHelloEvent>()->name, "Pixel 8");
    auto sas = events_of_kind(pc_events, AppEventKind::SasReady);
    ASSERT_EQ(sas.size(), 1u);
    EXPECT_EQ(sas[0].as<SasReadyEvent>()->sas, *pc.local_sas());
    EXPECT_TRUE(test::error_texts(phone.take_events()).empty());

    auto verdicts = capture.events("tofu.verdict");
    ASSERT_EQ(verdicts.size(), 2u);
    EXPECT_EQ(verdicts[0].field("verdict"), "new_peer");

    pc.confirm_sas();
    phone.confirm_sas();
    link.pump();
    EXPECT_EQ(pc.state(), EngineState::Paired);
    EXPECT_EQ(phone.state(), EngineState::Paired);
    EXPECT_TRUE(pc.peer_done());
    EXPECT_TRUE(phone.peer_done());
    EXPECT_EQ(pc.trusted_peers(),
              (std::vector<TrustedPeer>{{ids().phone.fingerprint(), "Pixel 8"}}));
    pc_events = pc.take_events();
    EXPECT_TRUE(test::error_texts(pc_events).empty());
    auto trusted = events_of_kind(pc_events, AppEventKind::PeerTrusted);
    ASSERT_EQ(trusted.size(), 1u);
    EXPECT_EQ(trusted[0].as<PeerTrustedEvent>()->fingerprint, ids().phone.fingerprint());
    EXPECT_EQ(capture.events("pair.confirm").size(), 2u);

    // Business traffic flows once paired.
    pb::NotificationPush note;
    note.set_title("hi");
    ASSERT_TRUE(phone.send_business(NOTIFICATION_PUSH, encode_notification_push(note), 1, false));
    link.pump();
    auto pushed = events_of_kind(pc.take_events(), AppEventKind::NotificationPushed);
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(pushed[0].as<MessageEvent<pb::NotificationPush>>()->message.title(), "hi");
}

TEST_P(EnginePair, TrustedPhoneReconnectsStraightToPaired) {
    std::vector<TrustedPeer> pc_list, phone_list;
    {
        Engine pc(pc_config());
        Engine phone(phone_config(GetParam(), ids().phone));
        Link link{pc, phone, clock};
        link.connect();
        pc.confirm_sas();
        phone.confirm_sas();
        link.pump();
        ASSERT_EQ(pc.state(), EngineState::Paired);
        pc_list = pc.trusted_peers();
        phone_list = phone.trusted_peers();
    }
    DebugCapture capture;
    Engine pc(pc_config(pc_list));
    Engine phone(phone_config(GetParam(), ids().phone, phone_list));
    Link link{pc, phone, clock};
    link.connect();

    EXPECT_EQ(pc.state(), EngineState::Paired);
    EXPECT_EQ(phone.state(), EngineState::Paired);
    EXPECT_TRUE(pc.peer_done());
    EXPECT_TRUE(phone.peer_done());
    auto events = pc.take_events();
    EXPECT_TRUE(test::error_texts(events).empty());
    EXPECT_EQ(test::states_of(events), (std::vector{EngineState::Handshake, EngineState::Paired}));
    EXPECT_EQ(test::count_kind(events, AppEventKind::PeerTrusted), 1u);
    EXPECT_EQ(test::count_kind(events, AppEventKind::SasReady), 0u);
    EXPECT_EQ(pc.trusted_peers(), pc_list);
    EXPECT_EQ(capture.events("tofu.verdict")[0].field("verdict"), "matched");
}

TEST_P(EnginePair, ChangedIdentityNeedsTheUserAndLeavesOneTrustedEntry) {
    const std::string old_fp = ids().phone.fingerprint();
    const std::string new_fp = ids().phone_new.fingerprint();
    Engine pc(pc_config({{old_fp, "Pixel 8"}, {"00112233aabbccdd", "Other"}}));
    Engine phone(phone_config(GetParam(), ids().phone_new, {{ids().pc.fingerprint(), ""}}));
    Link link{pc, phone, clock};
    link.connect();

    ASSERT_EQ(pc.state(), EngineState::Repaired);
    auto events = pc.take_events();
    auto changed = events_of_kind(events, AppEventKind::IdentityChanged);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].as<IdentityChangedEvent>()->name, "Pixel 8");
    EXPECT_EQ(changed[0].as<IdentityChangedEvent>()->old_fingerprint, old_fp);
    EXPECT_EQ(changed[0].as<IdentityChangedEvent>()->new_fingerprint, new_fp);
    auto errs = test::errors_of(events);
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].code, -213);
    EXPECT_EQ(errs[0].text, "设备「Pixel 8」身份已变化（旧 " + old_fp + " → 新 " + new_fp +
                                "），需重新配对确认");

    pc.reaccept_identity();
    link.pump();
    ASSERT_EQ(pc.state(), EngineState::SasCompare);
    EXPECT_EQ(pc.local_sas(), phone.local_sas());
    pc.confirm_sas();
    link.pump();
    EXPECT_EQ(pc.state(), EngineState::Paired);
    EXPECT_EQ(pc.trusted_peers(), (std::vector<TrustedPeer>{{"00112233aabbccdd", "Other"},
                                                            {new_fp, "Pixel 8"}}));
}

INSTANTIATE_TEST_SUITE_P(Mtu, EnginePair, ::testing::Values(23, 185));

TEST(EngineTrust, VerdictGoesByFingerprintFirstAndThenByNonEmptyName) {
    const std::string fp = ids().phone.fingerprint();
    const std::string other = "0123456789abcdef";
    struct Case {
        std::vector<TrustedPeer> list;
        std::string phone_name;
        const char* verdict;
        EngineState pc_state;
    };
    const Case cases[] = {
        {{{fp, "Another name"}}, "Pixel 8", "matched", EngineState::Paired},
        {{{other, "Pixel 8"}, {fp, ""}}, "Pixel 8", "matched", EngineState::Paired},
        {{{other, "Pixel 8"}}, "Pixel 8", "mismatch", EngineState::Repaired},
        {{{other, ""}}, "", "new_peer", EngineState::SasCompare},
        {{{other, "Pixel 8"}}, "", "new_peer", EngineState::SasCompare},
        {{}, "Pixel 8", "new_peer", EngineState::SasCompare},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verdict);
        DebugCapture capture;
        FakeClock clock;
        Engine pc(pc_config(c.list));
        auto phone_cfg = phone_config(23, ids().phone);
        phone_cfg.device_name = c.phone_name;
        Engine phone(phone_cfg);
        Link link{pc, phone, clock};
        link.connect();
        EXPECT_EQ(pc.state(), c.pc_state);
        auto verdicts = capture.events("tofu.verdict");
        ASSERT_FALSE(verdicts.empty());
        // Each side logs its own verdict; the PC's names the phone's fingerprint.
        const auto& mine = verdicts[0].field("fp") == fp ? verdicts[0] : verdicts[1];
        EXPECT_EQ(mine.field("verdict"), c.verdict);
    }
}

// ---- failures ----

// Runs the handshake up to the point where the phone has just queued its IDENTITY and
// PAIR_CONFIRM, then lets the test replace what the phone says.
struct Intercept {
    FakeClock clock;
    Engine pc;
    Engine phone;
    Link link{pc, phone, clock};

    explicit Intercept(std::optional<DeviceIdentity> phone_identity,
                       std::vector<TrustedPeer> pc_trusted = {})
        : pc(pc_config(std::move(pc_trusted))), phone(phone_config(23, std::move(phone_identity))) {
        pc.open_with_hello(clock.now());
        // HELLO → HELLO + CHALLENGE → REPLY → msg 3 + IDENTITY
        link.deliver(pc, phone);
        link.deliver(phone, pc);
        link.deliver(pc, phone);
        link.deliver(phone, pc);
        link.deliver(pc, phone);
        pc.take_events();
        phone.take_events();
    }
};

Bytes identity_payload(ByteView key, ByteView sig) {
    Bytes p{static_cast<std::uint8_t>(key.size() >> 8), static_cast<std::uint8_t>(key.size())};
    p.insert(p.end(), key.begin(), key.end());
    p.push_back(static_cast<std::uint8_t>(sig.size() >> 8));
    p.push_back(static_cast<std::uint8_t>(sig.size()));
    p.insert(p.end(), sig.begin(), sig.end());
    return p;
}

TEST(EnginePairFailures, ForgedOrWeakPeerIdentityEndsPairing) {
    struct Case {
        const char* label;
        std::function<Bytes(const Engine& phone)> payload;  // empty: the phone's own IDENTITY
        std::optional<DeviceIdentity> identity;
        const char* reason;  // the refusal's reason; nullptr for a signature that fails
        const char* bits;
    };
    const std::array<std::uint8_t, 32> other_hash{0x11};
    const std::vector<Case> cases = {
        {"signature tampered",
         [](const Engine& phone) {
             auto p = build_identity_payload(ids().phone, *phone.handshake_hash());
             p->back() ^= 0x01;
             return *p;
         },
         ids().phone, nullptr, ""},
        {"signed for another session",
         [&](const Engine&) { return *build_identity_payload(ids().phone, other_hash); },
         ids().phone, nullptr, ""},
        {"1024-bit key with its own signature", nullptr, ids().weak, "bad_sig_len", ""},
        {"1024-bit key with a full-length signature",
         [](const Engine&) {
             return identity_payload(ids().weak.public_spki_der(), Bytes(256, 0x42));
         },
         ids().phone, "bad_key_bits", "1024"},
        {"not a key", [](const Engine&) { return identity_payload(Bytes(40, 1), Bytes(256, 2)); },
         ids().phone, "bad_public_key", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DebugCapture capture;
        Intercept t(c.identity);
        if (c.payload) {
            t.phone.ble_out().clear();
            ASSERT_TRUE(t.phone.send_encrypted_ble(IDENTITY, c.payload(t.phone)));
        }
        t.link.pump();
        EXPECT_EQ(t.pc.state(), EngineState::Closed);
        auto errs = test::errors_of(t.pc.take_events());
        ASSERT_FALSE(errs.empty());
        EXPECT_EQ(errs[0].code, -212);
        EXPECT_EQ(errs[0].text, "设备身份校验失败（签名与本次握手不匹配），已终止配对");
        bool refused = false;
        for (const auto& r : capture.events("identity.verify")) {
            if (r.field("ok") != "false") continue;
            refused = true;
            if (c.reason) {
                EXPECT_EQ(r.field("reason"), c.reason);
                EXPECT_EQ(r.field("bits"), c.bits);
            }
        }
        EXPECT_TRUE(refused);
        EXPECT_TRUE(t.pc.trusted_peers().empty());
    }
}

TEST(EnginePairFailures, GenuineIdentityAfterARefusedOneDoesNotReviveTrust) {
    Intercept t(ids().phone, {{ids().phone.fingerprint(), "Pixel 8"}});
    t.phone.ble_out().clear();
    auto good = *build_identity_payload(ids().phone, *t.phone.handshake_hash());
    auto bad = good;
    bad.back() ^= 0x01;
    ASSERT_TRUE(t.phone.send_encrypted_ble(IDENTITY, bad));
    t.link.deliver(t.phone, t.pc);
    ASSERT_EQ(t.pc.state(), EngineState::Closed);
    t.pc.take_events();
    t.pc.ble_out().clear();

    ASSERT_TRUE(t.phone.send_encrypted_ble(IDENTITY, good));
    t.link.deliver(t.phone, t.pc);
    EXPECT_EQ(t.pc.state(), EngineState::Closed);
    auto events = t.pc.take_events();
    EXPECT_EQ(test::count_kind(events, AppEventKind::PeerTrusted), 0u);
    EXPECT_TRUE(t.pc.ble_out().empty());  // no PAIR_DONE for a closed session
    EXPECT_EQ(test::error_texts(events),
              std::vector<std::string>{
                  "状态迁移失败: 非法迁移 Closed --HandshakeComplete { tofu: Matched }--> 无目标"});
}

TEST(EnginePairFailures, MalformedIdentityIsDroppedWithoutEndingPairing) {
    Intercept t(ids().phone);
    t.phone.ble_out().clear();
    auto good = *build_identity_payload(ids().phone, *t.phone.handshake_hash());
    Bytes short_by_one(good.begin(), good.end() - 1);
    Bytes long_by_one = good;
    long_by_one.push_back(0xEE);
    for (const Bytes& bad : {short_by_one, long_by_one}) {
        SCOPED_TRACE(bad.size());
        ASSERT_TRUE(t.phone.send_encrypted_ble(IDENTITY, bad));
        t.link.pump();
        auto errs = test::errors_of(t.pc.take_events());
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(errs[0].code, -1);
        EXPECT_EQ(errs[0].text, "IDENTITY 载荷畸形");
        EXPECT_EQ(t.pc.state(), EngineState::Handshake);
    }
    // The exact payload is still accepted.
    ASSERT_TRUE(t.phone.send_encrypted_ble(IDENTITY, good));
    t.link.pump();
    EXPECT_EQ(t.pc.state(), EngineState::Pairing);
}

TEST(EnginePairFailures, SmallOrderEphemeralKeyIsRefusedAndTheHandshakeSurvives) {
    for (const auto& point : {kX25519SmallOrderPoints[1], kX25519SmallOrderPoints[5]}) {
        DebugCapture capture;
        FakeClock clock;
        Engine pc(pc_config());
        Engine phone(phone_config(23, ids().phone));
        Link link{pc, phone, clock};
        pc.open_with_hello(clock.now());
        link.deliver(pc, phone);
        link.deliver(phone, pc);  // phone HELLO; PC answers with CHALLENGE
        link.deliver(pc, phone);  // phone queues the genuine REPLY
        pc.take_events();

        Key32 bad = point;
        bad[31] |= 0x80;  // the top bit must not hide the point
        Bytes forged(bad.begin(), bad.end());
        forged.resize(32 + 48 + 16, 0x5A);
        pc.handle_frame(test::clear_frame(REPLY, forged), Transport::Ble);
        auto errs = test::error_texts(pc.take_events());
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(errs[0].rfind("握手读入失败: ", 0), 0u) << errs[0];
        auto rejects = capture.events("dh.reject");
        ASSERT_EQ(rejects.size(), 1u);
        EXPECT_EQ(rejects[0].field("reason"), "small_order_pubkey");
        EXPECT_TRUE(pc.ble_out().empty());

        link.pump();  // the genuine REPLY still completes the handshake
        EXPECT_EQ(pc.state(), EngineState::SasCompare);
    }
}

TEST(EnginePairFailures, HandshakeFrameOfTheWrongDirectionIsRefused) {
    Engine pc(pc_config());
    Engine phone(phone_config(23, ids().phone));
    pc.handle_frame(test::clear_frame(CHALLENGE, Bytes(32, 9)), Transport::Ble);
    phone.handle_frame(test::clear_frame(REPLY, Bytes(32, 9)), Transport::Ble);
    EXPECT_EQ(test::error_texts(pc.take_events()),
              std::vector<std::string>{"Initiator 收到非 REPLY 握手段"});
    EXPECT_EQ(test::error_texts(phone.take_events()),
              std::vector<std::string>{"Responder 收到非 CHALLENGE 握手段"});
    EXPECT_FALSE(pc.handshake_started());
    EXPECT_FALSE(phone.handshake_started());
}

TEST(EnginePairFailures, WrongSasClosesAndStopsEncryptedTraffic) {
    Intercept t(ids().phone);
    t.link.deliver_frames(t.phone, t.pc, 1);  // the phone's IDENTITY only
    ASSERT_EQ(t.pc.state(), EngineState::Pairing);
    t.phone.ble_out().clear();
    const std::uint32_t wrong = (*t.phone.local_sas() + 1) % 1000000;
    const auto sas = sas_bytes(wrong);
    ASSERT_TRUE(t.phone.send_encrypted_ble(
        PAIR_CONFIRM, test::tlvs({{TAG_SAS, Bytes(sas.begin(), sas.end())}})));
    t.link.deliver(t.phone, t.pc);
    EXPECT_EQ(t.pc.state(), EngineState::Closed);
    EXPECT_FALSE(t.pc.session_key_ready());
    EXPECT_EQ(test::error_texts(t.pc.take_events()),
              std::vector<std::string>{"PAIR_CONFIRM 的 SAS 与本端不一致"});
    ASSERT_TRUE(t.phone.send_encrypted_ble(PAIR_DONE, Bytes{}));
    t.link.deliver(t.phone, t.pc);
    EXPECT_EQ(test::error_texts(t.pc.take_events()),
              std::vector<std::string>{"会话密钥未建立，加密消息已丢弃"});
    t.pc.confirm_sas();
    EXPECT_EQ(test::error_texts(t.pc.take_events()),
              std::vector<std::string>{"当前不在 SAS 比对阶段"});
}

TEST(EnginePairFailures, MalformedPairingFramesAreReported) {
    Intercept t(ids().phone);
    t.link.deliver_frames(t.phone, t.pc, 1);
    ASSERT_EQ(t.pc.state(), EngineState::Pairing);
    t.phone.ble_out().clear();
    struct Case {
        std::uint8_t type;
        Bytes payload;
        std::int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {PAIR_CONFIRM, test::tlvs({{TAG_SAS, Bytes{1, 2}}}), -1, "PAIR_CONFIRM 载荷畸形"},
        {PAIR_CONFIRM, Bytes{TAG_SAS}, -1, "PAIR_CONFIRM 载荷畸形"},
        {PAIR_DONE, test::tlvs({{TAG_NAME, Bytes{1}}}), -1, "PAIR_DONE 载荷畸形"},
        {PAIR_DONE, test::tlvs({{TAG_FINGERPRINT, Bytes(16, 'a')}}), -213,
         "PAIR_DONE 声明的本端指纹与本机身份不一致"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(t.phone.send_encrypted_ble(c.type, c.payload));
        t.link.deliver(t.phone, t.pc);
        auto errs = test::errors_of(t.pc.take_events());
        ASSERT_EQ(errs.size(), 1u) << c.text;
        EXPECT_EQ(errs[0].code, c.code);
        EXPECT_EQ(errs[0].text, c.text);
        EXPECT_EQ(t.pc.state(), EngineState::Pairing);
    }
}

// ---- paired traffic: replay, age, both links, counter exhaustion ----

struct PairedPair {
    FakeClock clock;
    Engine pc{pc_config({{ids().phone.fingerprint(), "Pixel 8"}})};
    Engine phone{phone_config(23, ids().phone, {{ids().pc.fingerprint(), ""}})};
    Link link{pc, phone, clock};

    PairedPair() {
        link.connect();
        invariant(pc.state() == EngineState::Paired, "pair reaches PAIRED");
        pc.take_events();
        phone.take_events();
    }

    // A notification carries `body` as its title so that it is dispatched; other types
    // carry `body` as it is.
    static Bytes wrap(std::uint8_t type, const Bytes& body) {
        if (type != NOTIFICATION_PUSH) return body;
        pb::NotificationPush note;
        note.set_title(hex_lower(body));
        return encode_envelope(Bytes(16, 1), 1, Bytes(8, 1), encode_notification_push(note));
    }
    // One encrypted frame from the phone, as the BLE values it would send.
    std::deque<Bytes> phone_frame_values(std::uint8_t type, Bytes body) {
        EXPECT_TRUE(phone.send_encrypted_ble(type, wrap(type, body)));
        std::deque<Bytes> values;
        values.swap(phone.ble_out());
        return values;
    }
    // The same frame as a whole, to be handed in as if it came over TCP.
    Bytes phone_frame_tcp(std::uint8_t type, Bytes body) {
        BleReassembler r;
        for (const auto& v : phone_frame_values(type, std::move(body)))
            if (auto got = r.take(v, Instant{}); got.ok() && got->has_value()) return **got;
        ADD_FAILURE() << "frame did not reassemble";
        return {};
    }
    void deliver_values(const std::deque<Bytes>& values) {
        for (const auto& v : values) pc.take_ble_value(v, clock.now());
    }
    void deliver_tcp(const Bytes& frame) {
        auto f = decode_frame(frame);
        ASSERT_TRUE(f.ok());
        pc.handle_sealed_frame(*f, Transport::Tcp);
    }
    std::size_t pushed() {
        return test::count_kind(pc.events(), AppEventKind::NotificationPushed);
    }
};

TEST(EnginePairedTraffic, ReplayedAndTooOldFramesAreRefused) {
    PairedPair p;
    const std::uint32_t first = p.phone.send_seq();
    std::vector<std::deque<Bytes>> frames;
    for (int i = 0; i < 18; ++i) frames.push_back(p.phone_frame_values(NOTIFICATION_PUSH, Bytes{1}));
    for (std::size_t i = 1; i < frames.size(); ++i) p.deliver_values(frames[i]);
    EXPECT_EQ(p.pushed(), 17u);
    p.deliver_values(frames[17]);  // replay of the highest
    p.deliver_values(frames[0]);   // 17 behind
    p.deliver_values(frames[1]);   // 16 behind, but already taken
    EXPECT_EQ(p.pushed(), 17u);
    const std::uint32_t top = first + 17;
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              (std::vector<std::string>{
                  format_text("抗重放拒绝: 重放：seq={} 已被接收过", top),
                  format_text("抗重放拒绝: 超出窗口：seq={} 过旧（当前最高 {}）", first, top),
                  format_text("抗重放拒绝: 重放：seq={} 已被接收过", first + 1)}));
}

TEST(EnginePairedTraffic, TamperedFrameIsRefusedWithoutMovingTheWindow) {
    PairedPair p;
    auto values = p.phone_frame_values(NOTIFICATION_PUSH, Bytes{1, 2, 3, 4});
    const std::uint32_t seq = p.phone.send_seq() - 1;
    auto tampered = values;
    tampered.back().back() ^= 0x01;  // the last byte of the tag
    p.deliver_values(tampered);
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              std::vector<std::string>{"解密失败: 解密失败：完整性校验未通过（tag/密文被篡改）"});
    EXPECT_FALSE(p.pc.replay_guard().window(0).marked(seq));
    p.deliver_values(values);
    EXPECT_EQ(p.pushed(), 1u);
}

TEST(EnginePairedTraffic, BleFrameOvertakenByTcpFramesIsKeptAndCrossLinkReplayRefused) {
    PairedPair p;
    auto ble = p.phone_frame_values(NOTIFICATION_PUSH, Bytes{0xB1});
    std::vector<Bytes> tcp;
    for (int i = 0; i < 20; ++i) tcp.push_back(p.phone_frame_tcp(NOTIFICATION_PUSH, Bytes{0x7C}));
    for (const auto& f : tcp) p.deliver_tcp(f);
    p.deliver_values(ble);
    EXPECT_EQ(p.pushed(), 21u);
    EXPECT_TRUE(test::error_texts(p.pc.events()).empty());
    p.pc.take_events();

    const std::uint32_t ble_seq = decode_frame(tcp[0])->header.seq - 1;
    const std::uint32_t tcp_top = decode_frame(tcp.back())->header.seq;
    auto whole_frame = [](const std::deque<Bytes>& values) {
        BleReassembler r;
        Bytes whole;
        for (const auto& v : values)
            if (auto got = r.take(v, Instant{}); got.ok() && got->has_value()) whole = **got;
        return *decode_frame(whole);
    };

    // A TCP frame copied onto BLE, the BLE frame again on BLE and on TCP (where it is 20
    // behind and the TCP window's own age rule refuses it).
    p.pc.handle_sealed_frame(*decode_frame(tcp[5]), Transport::Ble);
    p.deliver_values(ble);
    p.pc.handle_sealed_frame(whole_frame(ble), Transport::Tcp);
    // A recent BLE frame copied onto TCP is caught by the BLE window.
    auto late_ble = p.phone_frame_values(NOTIFICATION_PUSH, Bytes{0xB2});
    p.deliver_values(late_ble);
    p.pc.handle_sealed_frame(whole_frame(late_ble), Transport::Tcp);
    EXPECT_EQ(p.pushed(), 1u);
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              (std::vector<std::string>{
                  format_text("抗重放拒绝: 重放：seq={} 已被接收过", ble_seq + 6),
                  format_text("抗重放拒绝: 重放：seq={} 已被接收过", ble_seq),
                  format_text("抗重放拒绝: 超出窗口：seq={} 过旧（当前最高 {}）", ble_seq, tcp_top),
                  format_text("抗重放拒绝: 重放：seq={} 已被接收过", tcp_top + 1)}));
}

TEST(EnginePairedTraffic, SendCounterAllowsOneMoreFrameAtItsLastValue) {
    PairedPair p;
    p.phone.set_send_seq_for_test(0xFFFFFFFE);
    ASSERT_TRUE(p.phone.send_encrypted_ble(NOTIFICATION_PUSH, Bytes{9}));
    EXPECT_FALSE(p.phone.send_encrypted_ble(NOTIFICATION_PUSH, Bytes{9}));
    EXPECT_EQ(test::error_texts(p.phone.take_events()),
              std::vector<std::string>{"发送序号已耗尽，需重握手以免 nonce 复用"});
    auto frames = test::drain_ble_frames(p.phone);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.seq, 0xFFFFFFFEu);
    EXPECT_EQ(p.phone.send_seq(), 0xFFFFFFFFu);
}

TEST(EnginePairedTraffic, BusinessMessagesWaitForPairing) {
    Intercept t(ids().phone);
    t.phone.ble_out().clear();
    ASSERT_TRUE(t.phone.send_encrypted_ble(CLIPBOARD_PUSH, Bytes{1}));
    const std::uint32_t seq = t.phone.send_seq() - 1;
    t.link.deliver(t.phone, t.pc);
    EXPECT_EQ(test::error_texts(t.pc.take_events()),
              std::vector<std::string>{"尚未配对，业务消息未采纳"});
    EXPECT_TRUE(t.pc.replay_guard().window(0).marked(seq));  // opened and counted
}

TEST(EnginePairedTraffic, UnknownEncryptedTypeIsReported) {
    PairedPair p;
    p.deliver_values(p.phone_frame_values(0x55, Bytes{}));
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              std::vector<std::string>{"未知业务消息类型 0x55"});
}

// ---- timers that need a real handshake ----

TEST(EngineIdentityDeadline, PeerThatNeverSendsItsIdentityTimesOutAfter20s) {
    FakeClock clock;
    Engine pc(pc_config());
    Engine phone(phone_config(23, std::nullopt));  // phone cannot sign: sends no IDENTITY
    Link link{pc, phone, clock};
    link.connect();
    EXPECT_EQ(phone.state(), EngineState::Closed);
    auto phone_errs = test::errors_of(phone.take_events());
    ASSERT_FALSE(phone_errs.empty());
    EXPECT_EQ(phone_errs[0].code, -212);
    EXPECT_EQ(phone_errs[0].text, "本机设备身份不可用（RSA 初始化失败），已拒绝配对");

    ASSERT_EQ(pc.state(), EngineState::Handshake);
    pc.take_events();
    const Instant t0 = clock.now();
    for (int s = 0; s < 20; ++s) pc.timer_step(t0 + std::chrono::seconds(s));
    EXPECT_EQ(pc.state(), EngineState::Handshake);
    EXPECT_TRUE(pc.take_events().empty());
    pc.timer_step(t0 + 20s);
    EXPECT_EQ(pc.state(), EngineState::Reconnecting);
    auto errs = test::errors_of(pc.take_events());
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].code, -212);
    EXPECT_EQ(errs[0].text, "对端未在时限内完成设备身份交换（版本不匹配或连接异常）");
}

}  // namespace
}  // namespace dovan
