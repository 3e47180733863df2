#include "crypto/binding.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

TEST(ChannelBinding, KeyAndProofMatchKnownAnswers) {
    // Session key of the key schedule fixture; values computed independently in Python.
    Bytes sk;
    ASSERT_TRUE(parse_hex("001107623f582c074601e88c80286ab8f35d83327dddcd6394061564803da085", sk));
    Key32 session_key{};
    std::copy(sk.begin(), sk.end(), session_key.begin());

    const Key32 cbk = derive_channel_binding_key(session_key);
    EXPECT_EQ(hex_lower(cbk), "d0a2a7d7b846dfb1a5f0bc3cf0173f643fb13c4f55f915d56fbacd99cb11691b");
    Bytes nonce(16);
    for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(i);
    auto proof = binding_proof(cbk, nonce);
    ASSERT_TRUE(proof.ok());
    EXPECT_EQ(hex_lower(*proof), "471625f888585f09c0443ff630d8d60b");
}

TEST(ChannelBinding, OnlyTheExactProofMatches) {
    Key32 key{};
    key.fill(0x5a);
    auto proof = binding_proof(key, Bytes(16, 0x01));
    ASSERT_TRUE(proof.ok());
    const Bytes good(proof->begin(), proof->end());
    EXPECT_TRUE(binding_proof_matches(*proof, good));

    // A difference anywhere, including the last byte, and any other length, is refused.
    for (std::size_t i : {std::size_t{0}, std::size_t{7}, std::size_t{15}}) {
        Bytes bad = good;
        bad[i] ^= 0x01;
        EXPECT_FALSE(binding_proof_matches(*proof, bad)) << i;
    }
    EXPECT_FALSE(binding_proof_matches(*proof, Bytes(good.begin(), good.end() - 1)));
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(binding_proof_matches(*proof, longer));
    EXPECT_FALSE(binding_proof_matches(*proof, Bytes{}));

    auto other_nonce = binding_proof(key, Bytes(16, 0x02));
    ASSERT_TRUE(other_nonce.ok());
    EXPECT_FALSE(binding_proof_matches(*proof, Bytes(other_nonce->begin(), other_nonce->end())));
}

TEST(ChannelBinding, NonceMustBeSixteenBytes) {
    Key32 key{};
    for (std::size_t n : {0u, 15u, 17u}) {
        auto r = binding_proof(key, Bytes(n, 0));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().text, format_text("nonce 长度异常：{}B（期望 16B）", n));
    }
}

}  // namespace
}  // namespace dovan
