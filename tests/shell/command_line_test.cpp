#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <set>

#include "shell/handoff.h"

namespace dovan {
namespace {

CommandLine parse(std::vector<std::string> args, std::set<std::string> existing = {}) {
    return parse_command_line(args, [&](const std::string& p) { return existing.contains(p); });
}

TEST(CommandLineView, Table) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::set<std::string> existing;
        bool minimized;
        std::optional<std::string> uri;
        std::optional<std::string> file;
    };
    const std::vector<Case> cases = {
        {"nothing", {}, {}, false, {}, {}},
        {"minimized exactly", {"--minimized"}, {}, true, {}, {}},
        {"first link wins", {"dovan://copy/1", "dovan://copy/2"}, {}, false, "dovan://copy/1", {}},
        {"first existing path wins", {"/nope", "/a", "/b"}, {"/a", "/b"}, false, {}, "/a"},
        {"link and file both kept", {"/a", "dovan://reply/f"}, {"/a"}, false, "dovan://reply/f", "/a"},
        {"broken UTF-8 in a link is replaced", {"dovan://copy/\xff"}, {}, false, "dovan://copy/\xef\xbf\xbd", {}},
        {"a link is never a path", {"dovan://x"}, {"dovan://x"}, false, "dovan://x", {}},
        {"after -- an option-like name is a path", {"--", "/--minimized"}, {"/--minimized"}, false, {}, "/--minimized"},
        {"a file URL names its path", {"file:///a%20b/c"}, {"/a b/c"}, false, {}, "/a b/c"},
        {"a file URL of another host is no path", {"file://host/a"}, {"/a"}, false, {}, {}},
        {"relative paths become absolute", {"a/../b.txt"}, {"a/../b.txt"}, false, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto cl = parse(c.args, c.existing);
        EXPECT_FALSE(cl.error) << c.name << ": " << cl.error.value_or("");
        EXPECT_EQ(cl.minimized, c.minimized) << c.name;
        EXPECT_EQ(cl.activation_uri, c.uri) << c.name;
        if (std::string(c.name).starts_with("relative")) {
            ASSERT_TRUE(cl.file_path) << c.name;
            EXPECT_EQ(cl.file_path->front(), '/');
            EXPECT_TRUE(cl.file_path->ends_with("/b.txt")) << *cl.file_path;
            EXPECT_EQ(cl.file_path->find(".."), std::string::npos) << *cl.file_path;
        } else {
            EXPECT_EQ(cl.file_path, c.file) << c.name;
        }
    }
}

TEST(CommandLineView, OptionsAndErrors) {
    auto cl = parse({"--headless", "--lan-port", "40000", "--version", "-h"});
    EXPECT_TRUE(cl.headless);
    EXPECT_EQ(cl.lan_port, 40000);
    EXPECT_TRUE(cl.version);
    EXPECT_TRUE(cl.help);
    EXPECT_FALSE(cl.error);
    EXPECT_EQ(parse({"--lan-port=1"}).lan_port, 1);
    EXPECT_EQ(parse({}).lan_port, 55676);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--lan-port"}, {"--lan-port", "0"}, {"--lan-port", "65536"}, {"--lan-port", "12x"}, {"--lan-port="}}) {
        const auto bad = parse(args);
        ASSERT_TRUE(bad.error) << args.back();
        EXPECT_NE(bad.error->find("--lan-port"), std::string::npos);
    }
    const auto unknown = parse({"--minimised"});
    ASSERT_TRUE(unknown.error);
    EXPECT_EQ(*unknown.error, "未知选项: --minimised");
    EXPECT_FALSE(parse({"-"}).error);  // a lone dash is an argument, not an option
}

// A restart keeps what shaped the program and drops what asked it to do something once.
TEST(CommandLineView, ARestartKeepsTheFrontEndAndPortOnly) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{}, {}},
        {{"--minimized"}, {}},
        {{"--headless", "--lan-port=40000"}, {"--headless", "--lan-port", "40000"}},
        {{"--lan-port", "55676"}, {}},
        {{"--lan-port", "1", "/tmp", "dovan://x"}, {"--lan-port", "1"}},
    };
    for (const auto& [args, kept] : cases) {
        const auto cl = parse_command_line(args, [](const std::string& p) { return p == "/tmp"; });
        EXPECT_EQ(restart_arguments(cl), kept) << testing::PrintToString(args);
    }
}

TEST(CommandLineView, HelpNamesFrontEndsOptionsEnvironmentAndPlaces) {
    const std::string help = usage_text();
    for (const char* must : {"--headless", "--minimized", "--lan-port", "--version", "APPDATA", "XDG_DATA_HOME",
                             "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "Logs", "dovan://"})
        EXPECT_NE(help.find(must), std::string::npos) << must;
    EXPECT_EQ(version_text(), "Dovan 0.5.3\n");
}

TEST(SecondInstance, LinkBeatsFileBeatsShowAndMinimizedSendsNothing) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        HandoffKind kind;
        bool send;
        std::string message;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"link over file", {"/f", "dovan://copy/1"}, HandoffKind::Card, true, "dovan://copy/1",
         "[Dovan] 已把通知卡上的这次点击转交给运行中的实例"},
        {"file over show", {"/f"}, HandoffKind::File, true, "/f", "[Dovan] 已把 /f 转交给运行中的实例"},
        {"file even when minimized", {"--minimized", "/f"}, HandoffKind::File, true, "/f",
         "[Dovan] 已把 /f 转交给运行中的实例"},
        {"show", {}, HandoffKind::Show, true, std::string(kShowRequest), "[Dovan] 已有实例在运行，本进程退出"},
        {"minimized: nothing", {"--minimized"}, HandoffKind::Show, false, "", "[Dovan] 已有实例在运行，本进程退出"},
    };
    for (const auto& c : cases) {
        const auto plan = plan_second_instance(parse(c.args, {"/f"}));
        EXPECT_EQ(plan.kind, c.kind) << c.name;
        EXPECT_EQ(plan.send, c.send) << c.name;
        EXPECT_EQ(plan.message, c.message) << c.name;
        EXPECT_EQ(second_instance_line(plan, true), c.line) << c.name;
    }
    EXPECT_EQ(second_instance_line({HandoffKind::Card, true, "x"}, false), "[Dovan] 运行中的实例未响应管道，这次点击作废");
    EXPECT_EQ(second_instance_line({HandoffKind::File, true, "x"}, false), "[Dovan] 运行中的实例未响应管道，路径未转交");
    EXPECT_EQ(second_instance_line({HandoffKind::Show, true, "x"}, false),
              "[Dovan] 已有实例在运行，但未能通知它，本进程退出");
}

}  // namespace
}  // namespace dovan
