#include <gtest/gtest.h>

#include "protocol/tlv_codec.h"

namespace dovan {
namespace {

TlvRecord rec(std::uint8_t tag, std::size_t n, std::uint8_t fill = 0x61) { return {tag, Bytes(n, fill)}; }

TEST(TlvEncode, EmptyListIsEmpty) {
    auto e = encode_tlvs({});
    ASSERT_TRUE(e.ok());
    EXPECT_TRUE(e->empty());
    auto d = decode_tlvs({});
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d->empty());
}

TEST(TlvEncode, BudgetAndValueLimits) {
    struct Case {
        const char* name;
        std::vector<TlvRecord> records;
        bool ok;
        std::size_t size_or_len;
        const char* text;
    } cases[] = {
        {"hello at 64", {rec(TAG_NAME, 32), rec(TAG_OS, 1), rec(TAG_VERSION, 15), rec(TAG_HELLO_SEQ, 8)}, true, 64, ""},
        {"name one over", {rec(TAG_NAME, 33), rec(TAG_OS, 1), rec(TAG_VERSION, 15), rec(TAG_HELLO_SEQ, 8)}, false, 65,
         "消息总长超限 65B（上限 64B）"},
        {"last one over", {rec(TAG_NAME, 32), rec(TAG_OS, 1), rec(TAG_VERSION, 15), rec(TAG_HELLO_SEQ, 9)}, false, 65,
         "消息总长超限 65B（上限 64B）"},
        {"256-byte value", {rec(TAG_NAME, 256)}, false, 256, "消息总长超限 256B（上限 64B）"},
        {"255-byte value fits a record, not the list", {rec(TAG_NAME, 255)}, false, 257, "消息总长超限 257B（上限 64B）"},
        {"empty values", {rec(TAG_PING, 0), rec(TAG_PONG, 0)}, true, 4, ""},
    };
    for (const auto& c : cases) {
        auto e = encode_tlvs(c.records);
        ASSERT_EQ(e.ok(), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(e->size(), c.size_or_len) << c.name;
            auto back = decode_tlvs(*e);
            ASSERT_TRUE(back.ok()) << c.name;
            EXPECT_EQ(*back, c.records) << c.name;
        } else {
            EXPECT_EQ(e.error(), TlvError::too_large(c.size_or_len)) << c.name;
            EXPECT_EQ(e.error().display(), c.text) << c.name;
        }
    }
}

TEST(TlvEncode, WireLayout) {
    std::vector<TlvRecord> r = {{TAG_SAS, {0x01, 0xE2, 0x40}}, {0x99, {}}};
    auto e = encode_tlvs(r);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(*e, (Bytes{0x11, 0x03, 0x01, 0xE2, 0x40, 0x99, 0x00}));
    EXPECT_EQ(single_tlv(TAG_PONG), (Bytes{0x21, 0x01, 0x00}));
}

TEST(TlvDecode, MalformedInput) {
    Bytes records33;
    for (int i = 0; i < 33; ++i) records33.insert(records33.end(), {static_cast<std::uint8_t>(i), 0});
    Bytes late_truncation = {0x01, 0x01, 0xAA, 0x02, 0x05, 0x00};
    struct Case {
        const char* name;
        Bytes input;
        TlvError error;
        const char* text;
        const char* debug;
    } cases[] = {
        {"tag only", {0x11}, TlvError::truncated(0, 0), "输入在 offset 0 处截断（声明 len=0）",
         "Truncated { offset: 0, len: 0 }"},
        {"value short", {0x11, 0x03, 0xAA}, TlvError::truncated(0, 3), "输入在 offset 0 处截断（声明 len=3）",
         "Truncated { offset: 0, len: 3 }"},
        {"second record short", late_truncation, TlvError::truncated(3, 5), "输入在 offset 3 处截断（声明 len=5）",
         "Truncated { offset: 3, len: 5 }"},
        {"33 records", records33, TlvError::too_many_entries(), "条目数超限 32 条（一条消息最多 32 条）",
         "TooManyEntries(32)"},
    };
    for (const auto& c : cases) {
        auto d = decode_tlvs(c.input);
        ASSERT_FALSE(d.ok()) << c.name;
        EXPECT_EQ(d.error(), c.error) << c.name;
        EXPECT_EQ(d.error().display(), c.text) << c.name;
        EXPECT_EQ(d.error().debug(), c.debug) << c.name;
        // Lookups over a broken list report the same error rather than a partial answer.
        auto f = find_tlv(c.input, 0x01);
        ASSERT_FALSE(f.ok()) << c.name;
        EXPECT_EQ(f.error(), c.error) << c.name;
    }
}

TEST(TlvDecode, ThirtyTwoRecordsBeyondBudgetAreAccepted) {
    Bytes in;
    for (int i = 0; i < 32; ++i) in.insert(in.end(), {static_cast<std::uint8_t>(i), 0});
    auto d = decode_tlvs(in);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(d->size(), 32u);
    EXPECT_EQ((*d)[31].tag, 31);
}

TEST(TlvFind, FirstOfRepeatsAndAbsence) {
    const Bytes in = {0x07, 0x00, 0x32, 0x01, 0xAA, 0x32, 0x02, 0xBB, 0xCC};
    auto first = find_tlv(in, TAG_FINGERPRINT);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(first->has_value());
    EXPECT_EQ(**first, Bytes{0xAA});
    auto unknown = find_tlv(in, 0x07);
    ASSERT_TRUE(unknown.ok() && unknown->has_value());
    EXPECT_TRUE((*unknown)->empty());
    auto absent = find_tlv(in, TAG_SAS);
    ASSERT_TRUE(absent.ok());
    EXPECT_FALSE(absent->has_value());
}

TEST(TlvError, CallerVariantsTexts) {
    EXPECT_EQ(TlvError::tag_not_found(17).display(), "单独 value 的 tag 未找到 17");
    EXPECT_EQ(TlvError::length_mismatch().display(), "声明长度与实际不符");
}

TEST(HelloCut, NameAndVersionCutsKeepCharacters) {
    const std::string two = "验证";
    EXPECT_EQ(utf8_cut(two, 4), "验");
    EXPECT_EQ(utf8_cut(two, 2), "");
    // A 40-byte name cut to the name budget still fits HELLO's 64 bytes with a full version.
    const std::string name(40, 'n');
    const std::string version = "1.2.3-b验证验证";
    std::vector<TlvRecord> r = {
        {TAG_NAME, Bytes(as_bytes(utf8_cut(name, HELLO_NAME_MAX)).begin(), as_bytes(utf8_cut(name, HELLO_NAME_MAX)).end())},
        {TAG_OS, {1}},
        {TAG_VERSION, Bytes(as_bytes(utf8_cut(version, HELLO_VERSION_MAX)).begin(),
                            as_bytes(utf8_cut(version, HELLO_VERSION_MAX)).end())},
        {TAG_HELLO_SEQ, Bytes(8, 0)},
    };
    EXPECT_EQ(r[2].value.size(), 13u);  // "1.2.3-b" + two characters; the third would split
    EXPECT_TRUE(encode_tlvs(r).ok());
}

}  // namespace
}  // namespace dovan
