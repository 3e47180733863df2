#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "session/code_extract.h"

namespace dovan {
namespace {

std::string rep(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const std::string kNbsp = "\xc2\xa0";
const std::string kDottedCapitalI = "\xc4\xb0";  // U+0130, lower-cases to two characters

struct Case {
    const char* name;
    std::string title;
    std::string body;
    std::optional<ExtractedCode> want;
};

std::optional<ExtractedCode> found(std::string code, std::string keyword) {
    return ExtractedCode{std::move(code), std::move(keyword)};
}

TEST(ExtractCode, Cases) {
    // With an empty title the text is " " + body, so the body starts at position 1.
    const Case cases[] = {
        {"chinese sms, lone minute digit ignored", "【某银行】",
         "您的验证码为 482915，5 分钟内有效，请勿泄露。", found("482915", "验证码")},
        {"hyphen joins groups", "", "取件码 123-456", found("123456", "取件码")},
        {"space joins groups", "", "验证码 123 456", found("123456", "验证码")},
        {"no-break space joins groups", "", "验证码 123" + kNbsp + "456", found("123456", "验证码")},
        {"space hyphen space splits groups", "", "验证码 123 - 456", std::nullopt},
        {"double separator splits groups", "", "验证码 1234--5678", found("1234", "验证码")},
        {"trailing separator ends the run", "", "验证码 1234- 就是它", found("1234", "验证码")},
        {"groups joined past eight digits", "", "验证码 12345-6789", std::nullopt},
        {"phone number is not a code", "", "验证码请致电 13812345678 查询", std::nullopt},
        {"six digits beside a phone number", "", "客服 13812345678，您的验证码 654321",
         found("654321", "验证码")},
        {"keywords in capitals", "", "Your Verification Code is 4821", found("4821", "code")},
        {"title and body joined by a space", "验证码", "123456", found("123456", "验证码")},
        {"digits without a keyword", "快递", "您的包裹 123456 已到", std::nullopt},
        {"three digits", "", "验证码 123", std::nullopt},
        {"nine digits", "", "验证码 123456789", std::nullopt},
        {"full-width digits are not digits", "", "验证码：１２３４５６", std::nullopt},
        {"letters glued to digits", "", "验证码abc123456def", found("123456", "验证码")},
        {"otp", "", "OTP:778899", found("778899", "otp")},
        {"code inside passcode is nearer", "", "passcode 2468", found("2468", "code")},
        {"security code", "Bank", "Security code 5566 expires soon", found("5566", "code")},
        {"one-time", "", "one-time pin 9988", found("9988", "one-time")},
        // Distance after a keyword: start minus keyword start, at most 40.
        {"starts 40 after keyword", "", "验证码" + rep("x", 37) + "1234", found("1234", "验证码")},
        {"starts 41 after keyword", "", "验证码" + rep("x", 38) + "1234", std::nullopt},
        // Before a keyword: the gap may be 40, and the digits count towards the distance.
        {"gap 40 before keyword", "", "1234" + rep("x", 36) + "验证码", found("1234", "验证码")},
        {"gap 41 before keyword", "", "1234" + rep("x", 37) + "验证码", std::nullopt},
        // Equal distance (10): the run earlier in the text wins.
        {"tie goes to the earlier run", "", "1111xx验证码yyyyyyy2222", found("1111", "验证码")},
        {"closer run after keyword", "", "1111xx验证码yyyyyy2222", found("2222", "验证码")},
        // Equal distance from two keywords: the earlier keyword in table order wins,
        // wherever it stands in the text.
        {"tie goes to the earlier keyword", "", "口令xxxxxxx1234x验证码", found("1234", "验证码")},
        {"closer keyword wins", "", "口令xxxxxx1234x验证码", found("1234", "口令")},
        {"second occurrence of a keyword", "",
         "验证码" + rep("说", 45) + "验证码 555666", found("555666", "验证码")},
        // Lower-casing U+0130 yields two characters, moving the run from 40 to 41.
        {"dotted capital I lengthens the text", "",
         "验证码" + kDottedCapitalI + rep("x", 36) + "1234", std::nullopt},
        {"same length without it", "", "验证码X" + rep("x", 36) + "1234", found("1234", "验证码")},
        {"ill-formed bytes count as one character each", "",
         "验证码\xff\xfe" + rep("x", 36) + "1234", std::nullopt},
        // Far into the text, where the search for runs near a keyword starts past the front.
        {"run 40 before a keyword deep in the text", "", rep("x", 100) + "1234" + rep("y", 36) + "验证码",
         found("1234", "验证码")},
        {"run 41 before it is out of reach", "", rep("x", 100) + "1234" + rep("y", 37) + "验证码",
         std::nullopt},
        {"run 40 after a keyword deep in the text", "", rep("x", 100) + "otp" + rep("y", 37) + "9876",
         found("9876", "otp")},
        {"empty", "", "", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = extract_code(c.title, c.body);
        EXPECT_EQ(got.has_value(), c.want.has_value()) << c.name;
        if (got && c.want) {
            EXPECT_EQ(*got, *c.want) << c.name << ": got " << got->code << " by " << got->keyword;
        }
    }
}

}  // namespace
}  // namespace dovan
