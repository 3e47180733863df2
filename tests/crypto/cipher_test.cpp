#include "crypto/cipher.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

Key32 key_from(const char* text) {
    Bytes b;
    EXPECT_TRUE(parse_hex(text, b));
    Key32 k{};
    std::copy(b.begin(), b.end(), k.begin());
    return k;
}

// Session values derived (independently, Python hashlib/hmac/cryptography) from the key
// schedule fixture: h = 00..1f, k1 = 11.., k2 = 22...
const Key32 kKey = key_from("001107623f582c074601e88c80286ab8f35d83327dddcd6394061564803da085");
const SessionId kSid = {0x99, 0x5a, 0x46, 0x25, 0xce, 0xc2, 0xfe, 0xd1,
                        0x2c, 0x84, 0x84, 0xb9, 0xfc, 0x08, 0xc1, 0xe3};
const Bytes kHeader = {'D', 'V', 0x01, 0x0a, 0x10, 0, 0, 0, 1, 0, 0, 0, 5};

TEST(FrameCipher, DirectionsFollowTheRoleByte) {
    EXPECT_EQ(send_dir(0), 1);
    EXPECT_EQ(send_dir(1), 2);
    EXPECT_EQ(receive_dir(0), 2);
    EXPECT_EQ(receive_dir(1), 1);
}

TEST(FrameCipher, NonceAndSealMatchKnownAnswers) {
    EXPECT_EQ(hex_lower(frame_nonce(kKey, 1, 1, kSid)), "05b8f883e11fd3b42d76d5a1");
    EXPECT_EQ(hex_lower(frame_nonce(kKey, 2, 0xFFFFFFFE, kSid)), "7bb8a6a7cf41d4d667ae9e43");

    const AeadNonce nonce = frame_nonce(kKey, 1, 1, kSid);
    const Bytes sealed = seal_frame_payload(kKey, nonce, kHeader, as_bytes("hello"));
    EXPECT_EQ(hex_lower(sealed), "4ed706c19fabba5a81946c224f324e88519ad0fe3c");

    // Appending keeps whatever the caller already wrote (the header, typically).
    Bytes frame = kHeader;
    seal_frame_payload_into(kKey, nonce, kHeader, as_bytes("hello"), frame);
    EXPECT_EQ(hex_lower(frame), hex_lower(kHeader) + hex_lower(sealed));

    auto opened = open_frame_payload(kKey, nonce, kHeader, sealed);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(as_text(*opened), "hello");
}

TEST(FrameCipher, AnythingChangedFailsToOpen) {
    const AeadNonce nonce = frame_nonce(kKey, 1, 1, kSid);
    const Bytes sealed = seal_frame_payload(kKey, nonce, kHeader, as_bytes("hello"));

    struct Case {
        const char* name;
        AeadNonce nonce;
        Bytes header;
        Bytes sealed;
    };
    auto with = [](Bytes b, std::size_t i, std::uint8_t x) {
        b[i] ^= x;
        return b;
    };
    const std::vector<Case> cases = {
        {"type in header", nonce, with(kHeader, 3, 0x01), sealed},
        {"seq in header", nonce, with(kHeader, 8, 0x01), sealed},
        {"length in header", nonce, with(kHeader, 12, 0x01), sealed},
        {"ciphertext byte", nonce, kHeader, with(sealed, 0, 0x80)},
        {"tag byte", nonce, kHeader, with(sealed, sealed.size() - 1, 0x01)},
        {"other direction", frame_nonce(kKey, 2, 1, kSid), kHeader, sealed},
        {"other seq", frame_nonce(kKey, 1, 2, kSid), kHeader, sealed},
        {"tag only, cut", nonce, kHeader, Bytes(sealed.begin(), sealed.begin() + 15)},
        {"empty", nonce, kHeader, Bytes{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = open_frame_payload(kKey, c.nonce, c.header, c.sealed);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, CryptoErrc::OpenFailed);
        EXPECT_EQ(r.error().text, "解密失败：完整性校验未通过（tag/密文被篡改）");
    }

    auto bad_header = open_frame_payload(kKey, nonce, Bytes(12, 0), sealed);
    ASSERT_FALSE(bad_header.ok());
    EXPECT_EQ(bad_header.error().text, "header 长度异常：12B（期望 13B）");
}

// Pieces seal exactly as their concatenation, wherever the cuts fall against the cipher's
// 64-byte blocks.
TEST(FrameCipher, PiecesSealAsTheirConcatenation) {
    const Bytes header = {'D', 'V', 0x01, 0x0a, 0x10, 0, 0, 0, 7, 0, 0, 0, 0};
    const AeadNonce nonce = frame_nonce(kKey, 1, 9, kSid);
    Bytes whole(300);
    for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes expected = seal_frame_payload(kKey, nonce, header, whole);
    const std::vector<std::vector<std::size_t>> cuts = {{}, {0}, {1}, {63, 64}, {64}, {13, 13, 200}, {299}, {300}};
    for (const auto& at : cuts) {
        std::vector<ByteView> pieces;
        std::size_t from = 0;
        for (std::size_t c : at) {
            pieces.push_back(ByteView(whole).subspan(from, c - from));
            from = c;
        }
        pieces.push_back(ByteView(whole).subspan(from));
        Bytes out = {0xEE};  // sealed bytes are appended behind what is there
        seal_frame_payload_into(kKey, nonce, header, ByteParts(pieces), out);
        ASSERT_EQ(out.size(), 1 + expected.size());
        EXPECT_EQ(Bytes(out.begin() + 1, out.end()), expected) << pieces.size() << " pieces";
    }
}

TEST(FrameCipher, EmptyPlaintextStillCarriesATag) {
    const Bytes header = {'D', 'V', 0x01, 0x0a, 0x10, 0, 0, 0, 7, 0, 0, 0, 0};
    const AeadNonce nonce = frame_nonce(kKey, 2, 7, kSid);
    const Bytes sealed = seal_frame_payload(kKey, nonce, header, {});
    ASSERT_EQ(sealed.size(), 16u);
    auto opened = open_frame_payload(kKey, nonce, header, sealed);
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(opened->empty());
}

}  // namespace
}  // namespace dovan
