#include "crypto/identity.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "platform/debug_log.h"

namespace dovan {
namespace {

// Keys of shapes our own generator never makes, built with OpenSSL directly.
Bytes spki_of(EVP_PKEY* key) {
    const int len = i2d_PUBKEY(key, nullptr);
    Bytes out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    i2d_PUBKEY(key, &p);
    EVP_PKEY_free(key);
    return out;
}
Bytes rsa_spki(unsigned bits, unsigned long exponent) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    EVP_PKEY* key = nullptr;
    const bool ok = EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits)) == 1 &&
                    EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 && EVP_PKEY_generate(ctx, &key) == 1;
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    invariant(ok, "test RSA key");
    return spki_of(key);
}
Bytes ec_private_pkcs8() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    const int len = i2d_PKCS8_PRIV_KEY_INFO(info, nullptr);
    Bytes out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    i2d_PKCS8_PRIV_KEY_INFO(info, &p);
    PKCS8_PRIV_KEY_INFO_free(info);
    EVP_PKEY_free(key);
    return out;
}

Bytes payload_of(ByteView key, ByteView sig) {
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(key.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(key.size()));
    out.insert(out.end(), key.begin(), key.end());
    out.push_back(static_cast<std::uint8_t>(sig.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(sig.size()));
    out.insert(out.end(), sig.begin(), sig.end());
    return out;
}

class IdentityTest : public ::testing::Test {
protected:
    // RSA-2048 generation is slow; two keys serve the whole suite.
    static void SetUpTestSuite() {
        local_ = new DeviceIdentity(*DeviceIdentity::generate());
        other_ = new DeviceIdentity(*DeviceIdentity::generate());
    }
    static void TearDownTestSuite() {
        delete local_;
        delete other_;
    }
    static inline DeviceIdentity* local_ = nullptr;
    static inline DeviceIdentity* other_ = nullptr;

    const Bytes h_ = Bytes(32, 0xA5);
};

TEST(Fingerprint, IsTheFirstEightDigestBytesOfTheBytesGiven) {
    // SHA-256("abc") = ba7816bf8f01cfea414140de5dae2223…
    EXPECT_EQ(fingerprint(as_bytes("abc")), "ba7816bf8f01cfea");
}

TEST(BindingMessage, IsLabelThenHash) {
    const Bytes h(32, 0x07);
    const Bytes m = identity_binding_message(h);
    ASSERT_EQ(m.size(), kIdentityBindMessageLen);
    EXPECT_EQ(as_text(ByteView(m).first(22)), "dovan/v1/identity-bind");
    EXPECT_EQ(Bytes(m.begin() + 22, m.end()), h);
}

TEST_F(IdentityTest, GeneratedKeyAndDerRoundTrip) {
    EXPECT_EQ(local_->bits(), 2048);
    const Bytes pkcs8 = local_->private_pkcs8_der();
    auto back = DeviceIdentity::from_pkcs8_der(pkcs8);
    ASSERT_TRUE(back.ok()) << back.error().text;
    EXPECT_EQ(back->public_spki_der(), local_->public_spki_der());
    EXPECT_EQ(back->private_pkcs8_der(), pkcs8);
    EXPECT_EQ(back->fingerprint(), local_->fingerprint());
    EXPECT_EQ(local_->fingerprint(), fingerprint(local_->public_spki_der()));
    EXPECT_NE(local_->fingerprint(), other_->fingerprint());

    // A reloaded key signs what the original's public key verifies.
    auto sig = back->sign(as_bytes("m"));
    ASSERT_TRUE(sig.ok());
    EXPECT_EQ(sig->size(), kIdentitySignatureLen);
    EXPECT_TRUE(rsa_verify(local_->public_spki_der(), as_bytes("m"), *sig));
    EXPECT_FALSE(rsa_verify(other_->public_spki_der(), as_bytes("m"), *sig));
}

// The same DER with its outer length written in a longer form than needed (30 82 → 30 83 00):
// the same key to a lenient parser, but a second encoding and so a second fingerprint.
Bytes long_form_length(const Bytes& der) {
    EXPECT_EQ(der.at(1), 0x82);
    Bytes out = der;
    out[1] = 0x83;
    out.insert(out.begin() + 2, 0x00);
    return out;
}

TEST_F(IdentityTest, ImportRefusesAnythingButAnRsaPkcs8Key) {
    const Bytes good = local_->private_pkcs8_der();
    Bytes trailing = good;
    trailing.push_back(0);
    // Same length and form, one bit changed: a damaged file that still parses, whose key
    // would sign what no peer can verify.
    auto flipped = [&](std::size_t at) {
        Bytes out = good;
        out.at(at) ^= 0x01;
        return out;
    };
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"empty", Bytes{}},
        {"non-minimal length", long_form_length(good)},
        {"garbage", Bytes(64, 0x30)},
        {"truncated", Bytes(good.begin(), good.end() - 1)},
        {"trailing byte", trailing},
        {"public key", local_->public_spki_der()},
        {"EC key", ec_private_pkcs8()},
        {"a bit of the modulus changed", flipped(60)},
        {"a bit of the last CRT coefficient changed", flipped(good.size() - 1)},
    };
    for (const auto& [name, der] : cases) {
        auto r = DeviceIdentity::from_pkcs8_der(der);
        ASSERT_FALSE(r.ok()) << name;
        EXPECT_EQ(r.error().text, "私钥解析失败（PKCS#8 DER）") << name;
    }
}

TEST_F(IdentityTest, PayloadFromOneSideVerifiesOnTheOther) {
    DebugCapture capture;
    auto payload = build_identity_payload(*local_, h_);
    ASSERT_TRUE(payload.ok());
    const Bytes spki = local_->public_spki_der();
    ASSERT_EQ(payload->size(), 4 + spki.size() + 256);
    EXPECT_EQ((*payload)[0] << 8 | (*payload)[1], static_cast<int>(spki.size()));
    auto sign_events = capture.events("identity.sign");
    ASSERT_EQ(sign_events.size(), 1u);
    EXPECT_EQ(sign_events[0].field("ok"), "true");
    EXPECT_EQ(sign_events[0].field("sig_len"), "256");

    auto parsed = parse_identity_payload(*payload);
    ASSERT_TRUE(parsed.ok());
    auto verified = verify_identity(*parsed, h_);
    ASSERT_TRUE(verified.ok()) << verified.error().reason;
    EXPECT_EQ(verified->fingerprint, local_->fingerprint());
    EXPECT_EQ(verified->public_key, spki);
    auto events = capture.events("identity.verify");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, LogLevel::Info);
    EXPECT_EQ(events[0].field("ok"), "true");
    EXPECT_EQ(events[0].field("fp"), local_->fingerprint());
}

TEST_F(IdentityTest, PayloadLengthsAreCheckedBeforeAnythingElse) {
    const Bytes key(5, 0x11), sig(3, 0x22);
    const Bytes exact = payload_of(key, sig);  // key_len + sig_len + 4 bytes
    Bytes with_tail = exact;
    with_tail.push_back(0xEE);

    auto r = parse_identity_payload(exact);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(Bytes(r->public_key.begin(), r->public_key.end()), key);
    EXPECT_EQ(Bytes(r->signature.begin(), r->signature.end()), sig);
    const std::vector<Bytes> malformed = {
        with_tail,  // one identity, one form: nothing may follow the signature
        Bytes(exact.begin(), exact.end() - 1),  // one signature byte short
        Bytes(exact.begin(), exact.begin() + 8),  // second length cut
        Bytes(exact.begin(), exact.begin() + 6),  // key cut
        Bytes{0x00, 0x00, 0x00},                // under four bytes
        Bytes{},
        Bytes{0xFF, 0xFF, 0x00, 0x00},  // key_len far beyond the payload
    };
    for (const Bytes& bad : malformed) {
        auto r = parse_identity_payload(bad);
        ASSERT_FALSE(r.ok()) << hex_lower(bad);
        EXPECT_EQ(r.error().text, "IDENTITY 载荷畸形");
        EXPECT_EQ(r.error().code, -1);
    }
    auto empty_fields = parse_identity_payload(Bytes{0, 0, 0, 0});
    ASSERT_TRUE(empty_fields.ok());
    EXPECT_TRUE(empty_fields->public_key.empty() && empty_fields->signature.empty());
}

TEST_F(IdentityTest, VerificationChecksInOrderWithReasons) {
    const Bytes spki = local_->public_spki_der();
    const Bytes good_sig = *local_->sign(identity_binding_message(h_));
    const Bytes other_session_sig = *local_->sign(identity_binding_message(Bytes(32, 0x5A)));
    const Bytes other_key_sig = *other_->sign(identity_binding_message(h_));
    Bytes tampered = good_sig;
    tampered[100] ^= 0x01;
    Bytes spki_trailing = spki;
    spki_trailing.push_back(0);
    const Bytes filler(256, 0x42);

    struct Case {
        const char* name;
        Bytes key, sig;
        const char* reason;
        std::string bits;  // expected `bits` field, empty when absent
        LogLevel level;
    };
    const std::vector<Case> cases = {
        {"short signature", spki, Bytes(good_sig.begin(), good_sig.end() - 1), "bad_sig_len", "", LogLevel::Warn},
        // Signature length is checked first, so even a garbage key reports it.
        {"long signature, bad key", Bytes(10, 1), Bytes(257, 0), "bad_sig_len", "", LogLevel::Warn},
        {"garbage key", Bytes(40, 0x30), filler, "bad_public_key", "", LogLevel::Warn},
        {"key with trailing byte", spki_trailing, good_sig, "bad_public_key", "", LogLevel::Warn},
        {"key with a non-minimal length", long_form_length(spki), good_sig, "bad_public_key", "",
         LogLevel::Warn},
        {"EC key", spki_of(EVP_EC_gen("P-256")), filler, "bad_public_key", "", LogLevel::Warn},
        {"1024-bit key", rsa_spki(1024, 65537), filler, "bad_key_bits", "1024", LogLevel::Warn},
        {"exponent 3", rsa_spki(2048, 3), filler, "bad_public_exponent", "", LogLevel::Warn},
        {"other session's hash", spki, other_session_sig, "bad_signature", "", LogLevel::Info},
        {"tampered signature", spki, tampered, "bad_signature", "", LogLevel::Info},
        {"another key's signature", spki, other_key_sig, "bad_signature", "", LogLevel::Info},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DebugCapture capture;
        const Bytes payload = payload_of(c.key, c.sig);
        auto parsed = parse_identity_payload(payload);
        ASSERT_TRUE(parsed.ok());
        auto r = verify_identity(*parsed, h_);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().reason, c.reason);
        EXPECT_EQ(r.error().error.code, -212);
        EXPECT_EQ(r.error().display(), "设备身份校验失败（签名与本次握手不匹配），已终止配对");
        auto events = capture.events("identity.verify");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].field("ok"), "false");
        EXPECT_EQ(events[0].level, c.level);
        EXPECT_EQ(events[0].field("bits"), c.bits);
        if (c.level == LogLevel::Warn) {
            EXPECT_EQ(events[0].field("reason"), c.reason);
        } else {
            EXPECT_EQ(events[0].field("fp"), fingerprint(c.key));
        }
    }
}

}  // namespace
}  // namespace dovan
