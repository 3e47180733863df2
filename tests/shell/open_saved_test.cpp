#include "shell/open_saved.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "transfer/temp_dir.h"

namespace dovan {
namespace {

using testing_support::TempDir;
namespace fs = std::filesystem;

Bytes text_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(OpenSaved, NamesThatWouldRunAreKnownInAnyCase) {
    struct Case {
        const char* name;
        bool runs;
    };
    const Case cases[] = {
        {"photo.jpg", false},
        {"report.pdf", false},
        {"notes.txt", false},
        {"archive.tar.gz", false},
        {"song.MP3", false},
        {"no extension", false},
        {".bashrc", false},  // a hidden name, not an extension
        {"desktop", false},
        {"setup.desktop", true},
        {"photo.jpg.desktop", true},
        {"Photo.JPG.DESKTOP", true},
        {"install.sh", true},
        {"tool.py", true},
        {"game.exe", true},
        {"run.bat", true},
        {"run.CMD", true},
        {"setup.msi", true},
        {"app.jar", true},
        {"App-x86_64.AppImage", true},
        {"clean.ps1", true},
        {"pkg.deb", true},
        {"letter.vbs", true},
        {"trailing.desktop.", true},
        {"trailing.sh  ", true},
    };
    for (const auto& c : cases) EXPECT_EQ(launching_name(c.name), c.runs) << c.name;
}

TEST(OpenSaved, ContentsAndTheExecutableBitCountAsWell) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        mode_t mode;
        bool runs;
    };
    const std::vector<Case> cases = {
        {"plain.txt", "hello", 0644, false},
        {"plain-exec.txt", "hello", 0744, true},
        {"group-exec.dat", "hello", 0650, true},
        {"script", "#!/bin/sh\necho hi\n", 0644, true},
        {"program", std::string("\x7f" "ELF\x02\x01", 6), 0644, true},
        {"windows", "MZ\x90\x00", 0644, true},
        {"empty", "", 0644, false},
        {"one", "#", 0644, false},
    };
    for (const auto& c : cases) {
        const fs::path p = dir.write(c.name, text_bytes(c.content));
        ASSERT_EQ(::chmod(p.c_str(), c.mode), 0);
        EXPECT_EQ(launches_program(p), c.runs) << c.name;
    }
}

class OpenPlanTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string folder() const { return dir.path().string(); }
    std::string file(const char* name, std::string_view content = "x") const {
        return dir.write(name, text_bytes(content)).string();
    }
};

TEST_F(OpenPlanTest, AViewableFileOpensItselfAndItsFolder) {
    const std::string pdf = file("a.pdf");
    EXPECT_EQ(plan_open({pdf, OpenWhat::File}).target, std::optional<std::string>(pdf));
    EXPECT_FALSE(plan_open({pdf, OpenWhat::File}).notice);
    EXPECT_EQ(plan_open({pdf, OpenWhat::Folder}).target, std::optional<std::string>(folder()));
    EXPECT_FALSE(plan_open({pdf, OpenWhat::Folder}).notice);
}

// "打开" on something that would run shows where it is instead and says why; the folder
// button stays plain.
TEST_F(OpenPlanTest, AFileThatWouldRunShowsItsFolderWithANotice) {
    for (const char* name : {"start.desktop", "x.sh", "prog"}) {
        const std::string p = file(name, "#!/bin/sh\n");
        const OpenPlan plan = plan_open({p, OpenWhat::File});
        EXPECT_EQ(plan.target, std::optional<std::string>(folder())) << name;
        ASSERT_TRUE(plan.notice) << name;
        EXPECT_NE(plan.notice->find(name), std::string::npos) << *plan.notice;
        EXPECT_NE(plan.notice->find("已改为打开所在文件夹"), std::string::npos) << *plan.notice;
        EXPECT_FALSE(plan_open({p, OpenWhat::Folder}).notice) << name;
    }
}

TEST_F(OpenPlanTest, AFileGoneOrReplacedIsNotOpenedAndSaysSo) {
    const std::string gone = (dir.path() / "gone.pdf").string();
    const std::string linked = (dir.path() / "linked.pdf").string();
    fs::create_symlink("/etc/hostname", linked);
    const std::string made_dir = (dir.path() / "now-a-folder.pdf").string();
    fs::create_directory(made_dir);
    for (const std::string& p : {gone, linked, made_dir}) {
        const OpenPlan plan = plan_open({p, OpenWhat::File});
        EXPECT_FALSE(plan.target) << p;
        ASSERT_TRUE(plan.notice) << p;
        EXPECT_EQ(*plan.notice, "文件已不在原处（被移走、删除或替换）：" + p);
        // The folder still helps to find it; the notice says the file is not there.
        const OpenPlan reveal = plan_open({p, OpenWhat::Folder});
        EXPECT_EQ(reveal.target, std::optional<std::string>(folder())) << p;
        EXPECT_EQ(reveal.notice, plan.notice);
    }
    const OpenPlan no_folder = plan_open({"/nonexistent-dovan-folder/a.pdf", OpenWhat::Folder});
    EXPECT_FALSE(no_folder.target);
    EXPECT_EQ(no_folder.notice, std::optional<std::string>("收件目录已不在：/nonexistent-dovan-folder"));
    for (const char* p : {"", "relative/a.pdf"}) {
        EXPECT_FALSE(plan_open({p, OpenWhat::File}).target) << p;
        EXPECT_TRUE(plan_open({p, OpenWhat::File}).notice) << p;
    }
}

TEST_F(OpenPlanTest, TheHandlerGetsThePlanAndAFailureLeavesANotice) {
    SharedUi ui;
    const std::string pdf = file("a.pdf");
    std::vector<std::string> asked;
    bool works = true;
    const OpenFn opener = [&](const std::string& p) {
        asked.push_back(p);
        return works;
    };
    open_saved(ui, {pdf, OpenWhat::File}, opener);
    open_saved(ui, {file("b.sh"), OpenWhat::File}, opener);
    open_saved(ui, {(dir.path() / "gone").string(), OpenWhat::File}, opener);
    works = false;
    open_saved(ui, {pdf, OpenWhat::Folder}, opener);
    open_saved(ui, {pdf, OpenWhat::File}, {});
    EXPECT_EQ(asked, (std::vector<std::string>{pdf, folder(), folder()}));
    auto g = ui.lock();
    std::vector<std::string> notices;
    for (const auto& n : g->notices) notices.push_back(n.text);
    ASSERT_EQ(notices.size(), 3u);  // newest first, three kept
    EXPECT_EQ(notices[0], kNoOpenerNotice);
    EXPECT_EQ(notices[1], "没能用系统默认程序打开：" + folder());
    EXPECT_EQ(notices[2], "文件已不在原处（被移走、删除或替换）：" + (dir.path() / "gone").string());
}

}  // namespace
}  // namespace dovan
