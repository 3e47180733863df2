#include <gtest/gtest.h>

#include "platform/debug_log.h"

namespace dovan {
namespace {

DebugRecord record(LogLevel level, std::string module, std::string event, DebugFields fields) {
    return {1733700000000ULL, level, std::move(module), std::move(event), std::move(fields)};
}

TEST(DebugLines, JsonAndPlainForms) {
    struct Case {
        DebugRecord rec;
        std::string json;
        std::string plain;
    };
    const Case cases[] = {
        {record(LogLevel::Info, "ui", "ipc.forward", {{"kind", "card"}, {"ok", "1"}}),
         R"({"ts_ms":1733700000000,"level":"info","module":"ui","event":"ipc.forward","fields":{"kind":"card","ok":"1"}})",
         "[1733700000000] INFO ui ipc.forward kind=card ok=1"},
        {record(LogLevel::Warn, "lan", "tcp.close", {}),
         R"({"ts_ms":1733700000000,"level":"warn","module":"lan","event":"tcp.close","fields":{}})",
         "[1733700000000] WARN lan tcp.close"},
        // A line feed and a quote: escaped in JSON, blanked and kept in the plain line.
        {record(LogLevel::Error, "file", "file.fail", {{"reason", "a\n\"b\""}}),
         R"({"ts_ms":1733700000000,"level":"error","module":"file","event":"file.fail","fields":{"reason":"a\n\"b\""}})",
         "[1733700000000] ERROR file file.fail reason=a \"b\""},
        // U+007F stays in JSON everywhere; in the plain line only values are blanked.
        {record(LogLevel::Info, "m\x7f", "e\x7f", {{"k\x7f", "v\x7f"}}),
         "{\"ts_ms\":1733700000000,\"level\":\"info\",\"module\":\"m\x7f\",\"event\":\"e\x7f\","
         "\"fields\":{\"k\x7f\":\"v\x7f\"}}",
         "[1733700000000] INFO m\x7f e\x7f k\x7f=v "},
        // C1 controls (U+0080..U+009F) escaped in JSON, blanked in plain values; U+00A0 and
        // CJK kept.
        {record(LogLevel::Info, "app", "x", {{"k", "a\xc2\x80\xc2\x9f\xc2\xa0验证"}}),
         "{\"ts_ms\":1733700000000,\"level\":\"info\",\"module\":\"app\",\"event\":\"x\","
         "\"fields\":{\"k\":\"a\\u0080\\u009f\xc2\xa0验证\"}}",
         "[1733700000000] INFO app x k=a  \xc2\xa0验证"},
        // A bidirectional override and isolate would reorder the rest of the line.
        {record(LogLevel::Info, "file", "x", {{"name", "gnp\u202E.exe\u2066"}}),
         "{\"ts_ms\":1733700000000,\"level\":\"info\",\"module\":\"file\",\"event\":\"x\","
         "\"fields\":{\"name\":\"gnp\\u202e.exe\\u2066\"}}",
         "[1733700000000] INFO file x name=gnp .exe "},
        // Zero time and empty key/value.
        {DebugRecord{0, LogLevel::Info, "a", "b", {{"", ""}}},
         R"({"ts_ms":0,"level":"info","module":"a","event":"b","fields":{"":""}})",
         "[0] INFO a b ="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debug_json_line(c.rec), c.json);
        EXPECT_EQ(debug_plain_line(c.rec), c.plain);
    }
}

TEST(DebugLines, JsonEscapingTable) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"\"", "\\\""},
        {"\\", "\\\\"},
        {"\n", "\\n"},
        {"\r", "\\r"},
        {"\t", "\\t"},
        {"\b", "\\b"},
        {"\f", "\\f"},
        {std::string(1, '\0'), "\\u0000"},
        {"\x1b", "\\u001b"},
        {"\x1f", "\\u001f"},
        {"\x0b", "\\u000b"},
        {" ~", " ~"},
        {"\x7f", "\x7f"},
        {"/", "/"},
        {"é验证码😀", "é验证码😀"},
        // C1 and format characters as \u escapes (above U+FFFF a surrogate pair); the
        // joiner inside emoji stays.
        {"\xc2\x9b" "2J", "\\u009b2J"},
        {"\u200E\u2028\uFEFF", "\\u200e\\u2028\\ufeff"},
        {"\U000E0041", "\\udb40\\udc41"},
        {"👩\u200D💻", "👩\u200D💻"},
        // Ill-formed bytes become U+FFFD so the line stays valid UTF-8 JSON.
        {"a\xff" "b", "a\xef\xbf\xbd" "b"},
        {"\xe9\xaa", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
    };
    for (const auto& c : cases) EXPECT_EQ(json_escape(c.in), c.out) << c.in;
}

TEST(DebugLines, PlainValuesBlankEveryControlCharacter) {
    std::string all;
    for (int c = 0; c < 0x20; ++c) all.push_back(static_cast<char>(c));
    const auto line = debug_plain_line(record(LogLevel::Info, "m", "e", {{"k", all}}));
    EXPECT_EQ(line, "[1733700000000] INFO m e k=" + std::string(0x20, ' '));
}

TEST(ConsoleLine, WritesOneLineToStandardError) {
    testing::internal::CaptureStderr();
    console_line("[Dovan] 已有实例在运行");
    console_line("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Dovan] 已有实例在运行\n\n");
}

TEST(LogDirectory, IsLogsInsideTheDataDirectory) {
    EXPECT_EQ(log_directory("/home/u/.local/share/Dovan"), "/home/u/.local/share/Dovan/Logs");
}

}  // namespace
}  // namespace dovan
