#include "shell/toast_xml.h"

#include <gtest/gtest.h>

namespace dovan {
namespace {

TEST(XmlEscape, EntitiesControlsAndNonCharacters) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"a & b < c > d \" e ' f", "a &amp; b &lt; c &gt; d &quot; e ' f"},
        {"tab\tlf\ncr\r", "tab\tlf\ncr\r"},
        {std::string("nul\0x", 5) + "\x01\x1f\x7f", "nulx\x7f"},
        {"\xef\xbf\xbe\xef\xbf\xbf\xef\xbf\xbd", "\xef\xbf\xbd"},  // U+FFFE, U+FFFF go; U+FFFD stays
        {"验证码 123456", "验证码 123456"},
        {"bad \xff byte", "bad \xef\xbf\xbd byte"},
        {"&amp;", "&amp;amp;"},
    };
    for (const auto& c : cases) EXPECT_EQ(xml_escape(c.in), c.out) << c.in;
}

TEST(ToastXml, ShortWithoutButtons) {
    EXPECT_EQ(build_toast_xml({"标题", "正文 <b>", std::nullopt, std::nullopt, std::nullopt}),
              "<toast duration=\"short\"><visual><binding template=\"ToastGeneric\"><text>标题</text>"
              "<text>正文 &lt;b&gt;</text></binding></visual><actions></actions>"
              "<audio silent=\"yes\"/></toast>");
}

TEST(ToastXml, LongWithCopyFirstThenReply) {
    EXPECT_EQ(build_toast_xml({"银行", "验证码 12<&3", std::string("12<&3"), 0x1aULL, 0xffULL}),
              "<toast duration=\"long\"><visual><binding template=\"ToastGeneric\"><text>银行</text>"
              "<text>验证码 12&lt;&amp;3</text></binding></visual><actions>"
              "<action content=\"复制验证码 12&lt;&amp;3\" activationType=\"protocol\" "
              "arguments=\"dovan://copy/000000000000001a\"/>"
              "<action content=\"回复这条\" activationType=\"protocol\" "
              "arguments=\"dovan://reply/00000000000000ff\"/>"
              "</actions><audio silent=\"yes\"/></toast>");
}

TEST(ToastXml, OneButtonIsEnoughForLong) {
    const std::string reply_only = build_toast_xml({"t", "b", std::nullopt, std::nullopt, 1ULL});
    EXPECT_NE(reply_only.find("duration=\"long\""), std::string::npos);
    EXPECT_EQ(reply_only.find("复制验证码"), std::string::npos);
    const std::string copy_only = build_toast_xml({"t", "b", std::string("42"), 2ULL, std::nullopt});
    EXPECT_NE(copy_only.find("duration=\"long\""), std::string::npos);
    EXPECT_NE(copy_only.find("dovan://copy/0000000000000002"), std::string::npos);
    EXPECT_EQ(copy_only.find("回复这条"), std::string::npos);
}

TEST(ToastXml, AReceivedFileOffersOpenThenItsFolder) {
    ToastContent t{"文件接收完成", "a.pdf", std::nullopt, std::nullopt, std::nullopt};
    t.open_token = 3;
    t.reveal_token = 4;
    EXPECT_EQ(build_toast_xml(t),
              "<toast duration=\"long\"><visual><binding template=\"ToastGeneric\"><text>文件接收完成</text>"
              "<text>a.pdf</text></binding></visual><actions>"
              "<action content=\"打开\" activationType=\"protocol\" arguments=\"dovan://open/0000000000000003\"/>"
              "<action content=\"打开所在文件夹\" activationType=\"protocol\" "
              "arguments=\"dovan://reveal/0000000000000004\"/>"
              "</actions><audio silent=\"yes\"/></toast>");
}

}  // namespace
}  // namespace dovan
