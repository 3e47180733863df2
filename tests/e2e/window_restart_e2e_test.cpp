// "重新启动" after a change of the feature switches: the program ends and starts itself
// again. The new process must hold the single-instance lock and serve the hand-off socket,
// and the old one must be gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/window_support.h"
#include "shell/layout.h"

// Only a build with the window has one to drive.
#ifdef DOVAN_HAVE_DESKTOP
namespace dovan::e2e {
namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Restart : public OnDisplay {
protected:
    void SetUp() override {
        // The restarted program is the first one's child; it becomes this test's once the
        // first has gone, so the test can wait for it and end it.
        become_subreaper();
        OnDisplay::SetUp();
        std::ofstream(file) << "hello";
    }
    void TearDown() override {
        if (HasFailure()) ADD_FAILURE() << "dovan said:\n" << read_file(err);
        // The restarted one holds the first one's output open: it goes first.
        for (pid_t pid : own_children_running(binary("dovan-window")))
            if (!first || pid != first->pid()) end_child(pid);
        first.reset();
        OnDisplay::TearDown();
    }

    std::vector<std::string> env() { return desktop_env(display->name(), tmp); }

    std::string file = (tmp.path() / "note.txt").string();
    std::filesystem::path err = tmp.path() / "dovan.stderr";
    std::unique_ptr<Process> first;
};

TEST_F(Restart, TheNewProcessTakesOverAndTheOldOneIsGone) {
    // The file is a one-off request; the port shapes the program and must survive.
    first = std::make_unique<Process>(std::vector<std::string>{binary("dovan"), "--lan-port", "40123", file}, env(),
                                      err.string());
    const pid_t old_pid = first->pid();
    const auto window = pointer->window_of(old_pid);
    ASSERT_TRUE(window) << "no window";

    // "功能" → switch one module off → the dialog's "立即重启".
    const auto where = pointer->geometry(*window);
    const Metrics m = Metrics::from_pixels(where.w, where.h, 96);
    const auto nav = nav_items(LoadedModules{0x1f});
    int features = -1;
    for (std::size_t i = 0; i < nav.size(); ++i)
        if (nav[i].page == Page::Features) features = static_cast<int>(i);
    ASSERT_GE(features, 0);
    const Rect page = nav_item_rect(features);
    const Rect media = module_switch_rect(3);
    const Rect now = restart_now_dialog_rect(m);
    pointer->click(*window, page.l + 40, (page.t + page.b) / 2);
    pointer->click(*window, media.l + 5, (media.t + media.b) / 2);
    pointer->click(*window, (now.l + now.r) / 2, (now.t + now.b) / 2);

    ASSERT_TRUE(first->wait_exit(kWait)) << "the old process is still running";
    EXPECT_TRUE(WIFEXITED(first->exit_status()) && WEXITSTATUS(first->exit_status()) == 0);
    EXPECT_NE(read_file(err).find("[Dovan] 按功能开关改动重新启动"), std::string::npos);
    EXPECT_EQ(read_file(err).find("重新启动失败"), std::string::npos);
    EXPECT_NE(read_file(tmp.path() / "appdata" / "Dovan" / "settings.ini").find("feat_media=0"), std::string::npos);

    // The new one opens its window (no "--minimized") and is the same program: `dovan`
    // became the window program, and that is what restarts.
    std::vector<pid_t> running;
    ASSERT_TRUE(eventually([&] {
        running = own_children_running(binary("dovan-window"));
        return running.size() == 1;
    })) << "no new process";
    const pid_t new_pid = running.front();
    EXPECT_NE(new_pid, old_pid);
    ASSERT_TRUE(pointer->window_of(new_pid)) << "the new process shows no window";
    std::string cmdline = read_file(std::filesystem::path("/proc") / std::to_string(new_pid) / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    EXPECT_TRUE(cmdline.ends_with(" --lan-port 40123 ")) << cmdline;
    ASSERT_TRUE(eventually([&] { return occurrences(read_file(err), "shell up") == 2; }));

    // It holds the lock and the socket: a later start hands its file to it and ends.
    Process later({binary("dovan"), file}, env(), (tmp.path() / "later.stderr").string());
    ASSERT_TRUE(later.wait_exit(kWait));
    EXPECT_TRUE(WIFEXITED(later.exit_status()) && WEXITSTATUS(later.exit_status()) == 0);
    EXPECT_NE(read_file(tmp.path() / "later.stderr").find("[Dovan] 已把 " + file + " 转交给运行中的实例"),
              std::string::npos)
        << read_file(tmp.path() / "later.stderr");
    EXPECT_TRUE(eventually([&] {
        return read_file(err).find("[Dovan] 已把 " + file + " 填进发送框，按「发送」确认") != std::string::npos;
    }));
    EXPECT_EQ(::kill(new_pid, 0), 0) << "the new one still runs after the hand-off";
}

}  // namespace
}  // namespace dovan::e2e

#endif  // DOVAN_HAVE_DESKTOP
