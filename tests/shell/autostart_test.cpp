#include "shell/autostart.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "transfer/temp_dir.h"

namespace dovan {
namespace {

using testing_support::TempDir;

TEST(AutostartClassify, Table) {
    const std::string prog = "/opt/Dovan/bin/dovan";
    struct Case {
        const char* exec;
        AutostartState state;
    };
    const std::vector<Case> cases = {
        {"\"/opt/Dovan/bin/dovan\" --minimized", {true, true}},
        {"/opt/Dovan/bin/dovan --minimized", {true, true}},
        {"\"/OPT/dovan/BIN/DOVAN\" --MINIMIZED", {true, true}},
        {"  \"/opt/Dovan/bin/dovan\"   --minimized   ", {true, true}},
        {"\"/opt/Dovan/bin/dovan/\" --minimized", {true, true}},
        {"\"/opt/Dovan/bin/dovan\" --lan-port 1 --minimized", {true, true}},
        {"\"/opt/Dovan/bin/dovan\"--minimized", {true, true}},
        {"\"/opt/Dovan/bin/dovan\"", {true, false}},
        {"/opt/Dovan/bin/dovan --minimizedx", {true, false}},
        {"/opt/Dovan/bin/dovan-old --minimized", {true, false}},
        {"/usr/bin/someone-else --minimized", {true, false}},
        {"\"/opt/Dovan/bin/dovan --minimized", {true, false}},
        {"", {false, false}},
        {"   ", {false, false}},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_autostart_exec(c.exec, prog), c.state) << c.exec;
    EXPECT_EQ(classify_autostart_exec("\"/opt/x\" --minimized", "  \"/opt/x/\" "), (AutostartState{true, true}));
}

TEST(AutostartEntry, ExecOfEntriesAndWhatIsWritten) {
    EXPECT_EQ(autostart_exec("/usr/bin/dovan"), "\"/usr/bin/dovan\" --minimized");
    const std::string ours = autostart_entry("/usr/bin/dovan");
    EXPECT_EQ(autostart_exec_of(ours), std::optional<std::string>("\"/usr/bin/dovan\" --minimized"));
    EXPECT_EQ(classify_autostart_exec(*autostart_exec_of(ours), "/usr/bin/dovan"), (AutostartState{true, true}));

    EXPECT_EQ(autostart_exec_of("[Desktop Entry]\r\nExec = /a\\sb --minimized\r\n"),
              std::optional<std::string>("/a b --minimized"));
    EXPECT_EQ(autostart_exec_of("[Other]\nExec=/x\n[Desktop Entry]\nName=D\n"), std::nullopt);
    EXPECT_EQ(autostart_exec_of("[Desktop Entry]\nExec=/x\nHidden=true\n"), std::nullopt);
    EXPECT_EQ(autostart_exec_of("# comment\n[Desktop Entry]\nExec=/x\nExec=/y\n"), std::optional<std::string>("/x"));
}

// The window program was exec'd by `dovan`: the entry must start `dovan`, which people run.
TEST(AutostartEntry, ProgramPathIsTheLaunchersWhenItLeftOne) {
    ::unsetenv(kProgramPathVariable);
    const auto self = current_program_path();
    ASSERT_TRUE(self.ok());
    struct Case {
        const char* value;
        std::string expected;
    } cases[] = {{"/usr/bin/dovan", "/usr/bin/dovan"}, {"dovan", *self}, {"", *self}};
    for (const auto& c : cases) {
        ::setenv(kProgramPathVariable, c.value, 1);
        const auto got = current_program_path();
        ASSERT_TRUE(got.ok()) << c.value;
        EXPECT_EQ(*got, c.expected) << c.value;
    }
    ::setenv(kProgramPathVariable, "/opt/bad\npath", 1);
    EXPECT_FALSE(current_program_path().ok());
    ::unsetenv(kProgramPathVariable);
    EXPECT_EQ(*current_program_path(), *self);
}

TEST(AutostartEntry, PlaceFollowsXdgConfigHome) {
    EXPECT_EQ(autostart_entry_path("/cfg", "/home/u"), std::filesystem::path("/cfg/autostart/dovan.desktop"));
    EXPECT_EQ(autostart_entry_path(nullptr, "/home/u"), std::filesystem::path("/home/u/.config/autostart/dovan.desktop"));
    EXPECT_EQ(autostart_entry_path("relative", "/home/u"), std::filesystem::path("/home/u/.config/autostart/dovan.desktop"));
    EXPECT_EQ(autostart_entry_path("", ""), std::nullopt);
}

class AutostartSwitch : public ::testing::Test {
protected:
    TempDir dir;
    std::string program = "/opt/dovan/dovan";
    AutostartPlace place{dir.path() / "config" / "autostart" / "dovan.desktop", [this]() -> Result<std::string> {
                             if (program.empty()) return fail_text("取当前程序路径失败: gone");
                             return program;
                         }};
    SharedUi ui;
    std::vector<bool> saved;
    std::function<void(bool)> save = [this](bool present) { saved.push_back(present); };

    AutostartState flags() {
        auto g = ui.lock();
        return {g->settings.autostart_present, g->settings.autostart_ours};
    }
    std::string notice() {
        auto g = ui.lock();
        return g->notices.empty() ? std::string() : g->notices.front().text;
    }
    void write_entry(const std::string& text) {
        std::filesystem::create_directories(place.entry.parent_path());
        std::ofstream(place.entry) << text;
    }
};

TEST_F(AutostartSwitch, OnOffAndReadBack) {
    set_autostart(place, true, ui, save);
    EXPECT_EQ(flags(), (AutostartState{true, true}));
    std::ifstream in(place.entry);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Exec=\"/opt/dovan/dovan\" --minimized\n"), std::string::npos);
    EXPECT_EQ(autostart_description(flags()), "登录桌面后自动启动，且不显示主窗口");

    set_autostart(place, false, ui, save);
    EXPECT_FALSE(std::filesystem::exists(place.entry));
    EXPECT_EQ(flags(), (AutostartState{false, false}));
    EXPECT_EQ(autostart_description(flags()), "登录桌面后不自动启动");
    // Already gone: switching off again succeeds silently and saves nothing new.
    set_autostart(place, false, ui, save);
    EXPECT_EQ(saved, (std::vector<bool>{true, false}));
    EXPECT_TRUE(ui.lock()->notices.empty());
}

TEST_F(AutostartSwitch, SomeoneElsesEntryShowsAsForeignAndTheSwitchRemovesIt) {
    write_entry("[Desktop Entry]\nExec=/opt/dovan/dovan\n");
    refresh_autostart(place, ui, save);
    EXPECT_EQ(flags(), (AutostartState{true, false}));
    EXPECT_EQ(autostart_description(flags()), "当前启动项不是本机写入的内容");
    // The switch is drawn on (present), so a click asks to switch off.
    set_autostart(place, !flags().present, ui, save);
    EXPECT_FALSE(std::filesystem::exists(place.entry));
    EXPECT_EQ(flags(), (AutostartState{false, false}));
}

TEST_F(AutostartSwitch, FailuresBecomeNotices) {
    program.clear();
    set_autostart(place, true, ui, save);
    {
        auto g = ui.lock();
        ASSERT_EQ(g->notices.size(), 2u);
        EXPECT_EQ(g->notices[1].text, "开机自启动没能开启：取当前程序路径失败: gone");
        EXPECT_EQ(g->notices[0].text, "读不到开机自启动的状态：取当前程序路径失败: gone");
    }
    program = "/opt/we\"ird/dovan";
    set_autostart(place, true, ui, save);
    EXPECT_EQ(notice(), "开机自启动没能开启：当前程序路径含无法写入注册表的字符");

    if (::geteuid() != 0) {  // root writes anywhere
        program = "/opt/dovan/dovan";
        std::filesystem::create_directories(place.entry.parent_path());
        ::chmod(place.entry.parent_path().c_str(), 0500);
        set_autostart(place, true, ui, save);
        EXPECT_NE(ui.lock()->notices[1].text.find("开机自启动没能开启：写入开机启动项失败（系统错误 13）"), std::string::npos);
        ::chmod(place.entry.parent_path().c_str(), 0700);
    }
    // A folder where the entry should be cannot be read as one.
    program = "/opt/dovan/dovan";
    std::filesystem::remove_all(place.entry);
    std::filesystem::create_directories(place.entry);
    refresh_autostart(place, ui, save);
    EXPECT_EQ(notice().rfind("读不到开机自启动的状态：读取开机启动项失败（系统错误 ", 0), 0u) << notice();
    EXPECT_TRUE(saved.empty());
}

}  // namespace
}  // namespace dovan
