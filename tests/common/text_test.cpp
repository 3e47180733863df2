#include <gtest/gtest.h>

#include "common/result.h"
#include "common/text.h"

namespace dovan {
namespace {

TEST(FormatText, FillsPlaceholdersInOrderAndLeavesExtrasAlone) {
    EXPECT_EQ(format_text("帧长校验失败：需要 {} 但只有 {}", 39, 38), "帧长校验失败：需要 39 但只有 38");
    EXPECT_EQ(format_text("{} and {}", "a"), "a and {}");
    EXPECT_EQ(format_text("byte {}", std::uint8_t{7}), "byte 7");
}

TEST(Hex, Forms) {
    EXPECT_EQ(hex_upper(0x4142, 4), "4142");
    EXPECT_EQ(hex_upper(2, 2), "02");
    EXPECT_EQ(hex_id(0), "0x0");
    EXPECT_EQ(hex_id(0x00ab01), "0xab01");
    Bytes b;
    ASSERT_TRUE(parse_hex("00fFa1", b));
    EXPECT_EQ(hex_lower(b), "00ffa1");
    EXPECT_FALSE(parse_hex("abc", b));
    EXPECT_FALSE(parse_hex("zz", b));
}

TEST(Utf8, CutNeverSplitsACharacter) {
    const std::string two = "验证";  // two 3-byte characters
    EXPECT_EQ(utf8_cut(two, 6), two);
    EXPECT_EQ(utf8_cut(two, 4), "验");
    EXPECT_EQ(utf8_cut(two, 2), "");
    EXPECT_TRUE(utf8_valid(two));
    EXPECT_FALSE(utf8_valid("\xC0\x80"));       // overlong
    EXPECT_FALSE(utf8_valid("\xED\xA0\x80"));   // surrogate
    EXPECT_FALSE(utf8_valid("\xE9\xAA"));       // truncated
}

TEST(Utf8, LossyReplacesEachMaximalIllFormedRunOnceWhileNextStepsOneByte) {
    struct Case {
        const char* in;
        const char* lossy;
        std::size_t invalid_bytes;  // what utf8_next reports one byte at a time
    };
    const Case cases[] = {
        {"a\xE9\xAA\x8C" "b", "a\xE9\xAA\x8C" "b", 0},   // well-formed
        {"\xE2\x82" "A", "\xEF\xBF\xBD" "A", 2},            // cut short: one U+FFFD
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", 2},      // overlong lead
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 3},  // surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 4},
        {"\xF0\x9F\x98", "\xEF\xBF\xBD", 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_lossy(c.in), c.lossy) << c.in;
        std::string_view in = c.in;
        std::size_t invalid = 0;
        std::string round;
        for (std::size_t i = 0; i < in.size();) {
            const char32_t cp = utf8_next(in, i);
            if (cp == kUtf8Invalid) {
                ++invalid;
            } else {
                utf8_append(round, cp);
            }
        }
        EXPECT_EQ(invalid, c.invalid_bytes) << c.in;
        if (c.invalid_bytes == 0) {
            EXPECT_EQ(round, c.in);
        }
    }
}

TEST(Result, CarriesValueOrError) {
    auto good = [](int x) -> Result<int> {
        if (x < 0) return fail_text("负数", -200);
        return x * 2;
    };
    auto r = good(4);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, 8);
    auto e = good(-1);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().text, "负数");
    EXPECT_EQ(e.error().code, -200);
    Status s = fail_text("x");
    EXPECT_FALSE(s.ok());
}

}  // namespace
}  // namespace dovan
