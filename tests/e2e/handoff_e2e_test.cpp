// Later starts of the program hand their request to the running one over the local socket:
// `dovan --headless` processes, each test on its own data folder and runtime folder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace dovan::e2e {
namespace {

class Handoff : public ::testing::Test {
protected:
    TempDir tmp;
    std::string appdata = tmp.sub("appdata");
    std::string radio = tmp.sub("radio");
    std::string runtime = tmp.sub("runtime");
    std::string file = (tmp.path() / "report 1.txt").string();
    std::unique_ptr<Process> first;

    void SetUp() override { std::ofstream(file) << "hello"; }
    void TearDown() override {
        if (HasFailure() && first) ADD_FAILURE() << "first instance said:\n" << first->transcript();
        first.reset();
    }

    std::vector<std::string> env() const {
        return {"APPDATA=" + appdata, "DOVAN_SIM_RADIO=" + radio, "XDG_RUNTIME_DIR=" + runtime};
    }
    std::filesystem::path err(const std::string& who) const { return tmp.path() / (who + ".stderr"); }

    void start_first(std::vector<std::string> prefix = {}) {
        std::vector<std::string> argv = std::move(prefix);
        argv.push_back(binary("dovan"));
        argv.push_back("--headless");  // no phone pairs here, so the LAN side never opens
        first = std::make_unique<Process>(argv, env(), err("first").string());
        ASSERT_TRUE(eventually([&] { return read_file(err("first")).find("shell up") != std::string::npos; }))
            << first->transcript();
    }
    // A second start: its exit status and what it said.
    std::pair<int, std::string> second(std::vector<std::string> args) {
        std::vector<std::string> argv{binary("dovan")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto log = err("second-" + std::to_string(++seconds_));
        Process p(argv, env(), log.string());
        EXPECT_TRUE(p.wait_exit(kWait));
        return {p.exit_status(), read_file(log)};
    }
    bool first_said(const std::string& text) {
        return eventually([&] { return read_file(err("first")).find(text) != std::string::npos; });
    }
    std::filesystem::path socket_path() {
        for (const auto& e : std::filesystem::directory_iterator(runtime))
            if (std::filesystem::exists(e.path() / "handoff.sock")) return e.path() / "handoff.sock";
        return {};
    }
    int connect_raw() {
        const auto path = socket_path();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

private:
    int seconds_ = 0;
};

TEST_F(Handoff, ASecondStartForwardsAFileAndTheFirstQueuesIt) {
    start_first();
    auto [status, said] = second({file});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(said.find("[Dovan] 已把 " + file + " 转交给运行中的实例"), std::string::npos) << said;
    EXPECT_EQ(said.find("shell up"), std::string::npos) << "a second start never runs the program";
    EXPECT_TRUE(first_said("[Dovan] 已把 " + file + " 排进发送队列"));
    // The queued file reaches the core, which has no phone to send it to yet.
    EXPECT_TRUE(first->wait_line("notice 操作没有执行：本机现在没有已配对的连接"));

    // A relative name is resolved where it was typed, not where the first one runs.
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(tmp.path());
    auto [status2, said2] = second({"report 1.txt", "dovan://copy/zz"});
    std::filesystem::current_path(here);
    EXPECT_NE(said2.find("[Dovan] 已把通知卡上的这次点击转交给运行中的实例"), std::string::npos) << said2;
    EXPECT_TRUE(first->wait_line("notice 收到一条格式不对的通知按钮请求，已忽略"));
}

TEST_F(Handoff, ShowAndMinimizedStartsAndADirectoryOnTheCommandLine) {
    start_first();
    auto [s1, show] = second({});
    EXPECT_NE(show.find("[Dovan] 已有实例在运行，本进程退出"), std::string::npos) << show;
    auto [s2, minimized] = second({"--minimized"});
    EXPECT_NE(minimized.find("[Dovan] 已有实例在运行，本进程退出"), std::string::npos) << minimized;
    auto [s3, folder] = second({tmp.path().string()});
    EXPECT_NE(folder.find("转交给运行中的实例"), std::string::npos) << folder;
    EXPECT_TRUE(first->wait_line("notice 收到一个外部发送请求，但 " + tmp.path().string() +
                                 " 不是本机可读的普通文件，已忽略"));
    EXPECT_TRUE(WIFEXITED(s1) && WIFEXITED(s2) && WIFEXITED(s3));
}

TEST_F(Handoff, AClientThatWritesNothingIsDroppedAndTheServerGoesOn) {
    start_first();
    const int fd = connect_raw();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(first_said("[Dovan] 命名管道连接没有送到内容，本次转交作废"));
    ::close(fd);
    auto [status, said] = second({file});
    EXPECT_NE(said.find("转交给运行中的实例"), std::string::npos) << said;
    EXPECT_TRUE(first_said("排进发送队列"));
}

TEST_F(Handoff, NobodyAnswersWhileTheLockIsHeld) {
    // A lock holder without a socket: the second start tries twelve times and says so.
    start_first();
    first.reset();  // leaves the runtime folder of this data folder behind
    std::filesystem::path ipc;
    for (const auto& e : std::filesystem::directory_iterator(runtime)) ipc = e.path();
    ASSERT_FALSE(ipc.empty());
    const int lock = ::open((ipc / "instance.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    auto [status, said] = second({file});
    EXPECT_NE(said.find("[Dovan] 运行中的实例未响应管道，路径未转交"), std::string::npos) << said;
    auto [status2, said2] = second({});
    EXPECT_NE(said2.find("[Dovan] 已有实例在运行，但未能通知它，本进程退出"), std::string::npos) << said2;
    ::close(lock);
}

TEST_F(Handoff, AClientOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the instance as another user";
    // The instance runs as nobody; this test (root) is the other user.
    for (const auto& d : {tmp.path().string(), appdata, radio, runtime}) ASSERT_EQ(::chown(d.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    start_first({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    if (HasFatalFailure()) return;
    const int fd = connect_raw();
    ASSERT_GE(fd, 0) << "root reaches the socket; the peer check must stop it";
    // The server may close unread before the bytes go: then the send fails, as it should.
    const ssize_t sent = ::send(fd, file.data(), file.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(sent == static_cast<ssize_t>(file.size()) || (sent < 0 && (errno == EPIPE || errno == ECONNRESET)))
        << std::strerror(errno);
    ::close(fd);
    EXPECT_TRUE(first_said("[Dovan] 转交连接来自其他用户，已拒绝"));
    // Its own user still gets through.
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  binary("dovan"), file};
    Process p(argv, env(), err("nobody").string());
    ASSERT_TRUE(p.wait_exit(kWait));
    EXPECT_TRUE(first_said("[Dovan] 已把 " + file + " 排进发送队列"));
    const std::string all = read_file(err("first"));
    EXPECT_EQ(all.find("排进发送队列"), all.rfind("排进发送队列")) << "the refused path must not be queued";
}

}  // namespace
}  // namespace dovan::e2e

#ifdef DOVAN_HAVE_DESKTOP
namespace dovan::e2e {
namespace {

// The desktop front end on Qt's offscreen platform: it starts without a tray (there is
// none), takes a hand-off into its send box and ends on SIGTERM through its teardown.
TEST_F(Handoff, TheDesktopFrameTakesHandOffsAndTearsDown) {
    auto desktop_env = env();
    desktop_env.push_back("QT_QPA_PLATFORM=offscreen");
    desktop_env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (tmp.path() / "no-bus").string());
    first = std::make_unique<Process>(std::vector<std::string>{binary("dovan"), "--minimized"}, desktop_env,
                                      err("first").string());
    ASSERT_TRUE(first_said("[Dovan] shell up. core version: 0.5.3"));
    // Without a tray a hidden window could not be found again: it starts minimized.
    EXPECT_TRUE(first_said("[Dovan] 按开机自启动方式拉起：桌面没有托盘，主窗口最小化到任务栏"));
    EXPECT_TRUE(first_said("[Dovan] 托盘图标创建失败，系统弹窗将不可用"));
    auto [status, said] = second({file});
    EXPECT_NE(said.find("转交给运行中的实例"), std::string::npos) << said;
    EXPECT_TRUE(first_said("[Dovan] 已把 " + file + " 填进发送框，按「发送」确认"));
    first->signal(SIGTERM);
    ASSERT_TRUE(first->wait_exit(kWait));
    EXPECT_TRUE(WIFEXITED(first->exit_status()) && WEXITSTATUS(first->exit_status()) == 0);
    EXPECT_TRUE(first_said("[Dovan] shell teardown"));
    // Gone for good: the next start is the primary one again.
    EXPECT_EQ(socket_path(), std::filesystem::path());
}

}  // namespace
}  // namespace dovan::e2e
#endif
