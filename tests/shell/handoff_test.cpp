#include "shell/handoff.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/clipboard.h"
#include "shell/instance.h"
#include "transfer/temp_dir.h"

namespace dovan {
namespace {

using testing_support::TempDir;

class Handoff : public ::testing::Test {
protected:
    TempDir dir;
    FakeClock clock;
    ProcessClipboard clipboard;
    std::shared_ptr<SharedUi> ui = std::make_shared<SharedUi>(initial_ui_state(), LoadedModules{0x1F});
    int shows = 0;

    HandoffHost host(bool queue_files = false, std::shared_ptr<SharedUi> state = nullptr) {
        return HandoffHost{{state ? state : ui, &clipboard, &clock, [this] { ++shows; }}, queue_files};
    }
    std::string notice() {
        auto g = ui->lock();
        return g->notices.empty() ? std::string() : g->notices.front().text;
    }
};

TEST_F(Handoff, OnlyReadableRegularFilesAreAccepted) {
    const auto file = dir.write("a b.txt", {1, 2, 3}).string();
    const auto folder = (dir.path() / "folder").string();
    std::filesystem::create_directory(folder);
    const auto link = (dir.path() / "link").string();
    std::filesystem::create_symlink(file, link);
    const auto dangling = (dir.path() / "dangling").string();
    std::filesystem::create_symlink(dir.path() / "gone", dangling);
    const auto fifo = (dir.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    struct Case {
        std::string message;
        HandoffOutcome outcome;
    };
    const std::vector<Case> cases = {
        {folder, HandoffOutcome::FileRejected},
        {link, HandoffOutcome::FileRejected},
        {dangling, HandoffOutcome::FileRejected},
        {fifo, HandoffOutcome::FileRejected},  // opening it must not hang either
        {(dir.path() / "missing").string(), HandoffOutcome::FileRejected},
        {"show", HandoffOutcome::FileRejected},  // without its NUL it is only a (relative) name
        {"a b.txt", HandoffOutcome::FileRejected},
        {file + std::string("\0", 1) + "x", HandoffOutcome::FileRejected},
        {"  \n\t", HandoffOutcome::Ignored},
        {"", HandoffOutcome::Ignored},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dispatch_handoff(c.message, host()), c.outcome) << c.message;
        if (c.outcome == HandoffOutcome::FileRejected) {
            EXPECT_EQ(notice(), "收到一个外部发送请求，但 " + utf8_lossy(std::string(trim_white(c.message))) +
                                    " 不是本机可读的普通文件，已忽略");
        }
    }
    EXPECT_EQ(ui->lock()->send_box, "");

    EXPECT_EQ(dispatch_handoff(" " + file + "\n", host()), HandoffOutcome::FileAccepted);
    auto g = ui->lock();
    EXPECT_EQ(g->send_box, file);
    EXPECT_EQ(g->page, Page::Files);
    EXPECT_EQ(g->focus, InputFocus::SendBox);
    EXPECT_FALSE(g->requests.send_files);  // the user confirms with the send button
    EXPECT_EQ(shows, 1);
}

TEST_F(Handoff, TheConsoleQueuesTheFileAsItsSendCommandWould) {
    const auto a = dir.write("a", {1}).string();
    const auto b = dir.write("b", {2}).string();
    EXPECT_EQ(dispatch_handoff(a, host(true)), HandoffOutcome::FileAccepted);
    EXPECT_EQ(dispatch_handoff(b, host(true)), HandoffOutcome::FileAccepted);
    auto g = ui->lock();
    ASSERT_TRUE(g->requests.send_files);
    EXPECT_EQ(*g->requests.send_files, (std::vector<std::string>{a, b}));
}

TEST_F(Handoff, ShowLinksAndDisabledTransfers) {
    EXPECT_EQ(dispatch_handoff(kShowRequest, host()), HandoffOutcome::Shown);
    EXPECT_EQ(shows, 1);
    EXPECT_EQ(dispatch_handoff("dovan://copy/zz", host()), HandoffOutcome::Activation);
    EXPECT_EQ(notice(), "收到一条格式不对的通知按钮请求，已忽略");
    {
        auto g = ui->lock();
        insert_toast_action(*g, 5, ToastAction{CopyCodeAction{"777"}, {}}, clock.now());
    }
    EXPECT_EQ(dispatch_handoff("dovan://copy/5\r\n", host()), HandoffOutcome::Activation);
    EXPECT_EQ(clipboard.read_text(), std::optional<std::string>("777"));

    auto off = std::make_shared<SharedUi>(initial_ui_state(), LoadedModules{0x1F & ~LoadedModules::kFileTransfer});
    const auto file = dir.write("f", {1}).string();
    EXPECT_EQ(dispatch_handoff(file, host(true, off)), HandoffOutcome::TransfersOff);
    auto g = off->lock();
    EXPECT_EQ(g->notices.front().text, "文件互传已关闭，" + file + " 的转交没有接收");
    EXPECT_EQ(g->send_box, "");
    EXPECT_FALSE(g->requests.send_files);
}

TEST_F(Handoff, BrokenUtf8IsReplacedNotTrusted) {
    EXPECT_EQ(dispatch_handoff("/tmp/\xff\xfe", host()), HandoffOutcome::FileRejected);
    EXPECT_EQ(notice(), "收到一个外部发送请求，但 /tmp/\xef\xbf\xbd\xef\xbf\xbd 不是本机可读的普通文件，已忽略");
}

// ---- the lock and the socket, in-process ----

class Instance : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path sock = dir.path() / kHandoffSocketName;

    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> got;

    std::unique_ptr<HandoffServer> server() {
        auto s = HandoffServer::start(sock, true, [this](std::string_view bytes) {
            std::lock_guard lock(mu);
            got.emplace_back(bytes);
            cv.notify_all();
        });
        if (!s) ADD_FAILURE() << s.error().text;
        return s ? std::move(*s) : nullptr;
    }
    bool wait_for(std::size_t n) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return got.size() >= n; });
    }
    int raw_client() {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strcpy(sa.sun_path, sock.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        return fd;
    }
};

TEST_F(Instance, OneLockHolderAtATimeAndReleaseHandsItOn) {
    auto first = InstanceLock::acquire(dir.path());
    EXPECT_EQ(first.state(), InstanceLock::State::Primary);
    auto second = InstanceLock::acquire(dir.path());
    EXPECT_EQ(second.state(), InstanceLock::State::Taken);
    first.release();
    EXPECT_EQ(InstanceLock::acquire(dir.path()).state(), InstanceLock::State::Primary);
    EXPECT_EQ(InstanceLock::acquire(dir.path() / "missing").state(), InstanceLock::State::Failed);
}

TEST_F(Instance, RuntimeFolderIsPrivateAndPerDataFolder) {
    const auto runtime = dir.path() / "runtime";
    std::filesystem::create_directory(runtime);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    auto a = ipc_directory(dir.path() / "data-a");
    auto a2 = ipc_directory(dir.path() / "data-a");
    auto b = ipc_directory(dir.path() / "data-b");
    ::unsetenv("XDG_RUNTIME_DIR");
    auto fallback = ipc_directory(dir.path() / "data-c");
    if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    ASSERT_TRUE(a && a2 && b && fallback);
    EXPECT_EQ(*a, *a2);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(a->parent_path(), runtime);
    EXPECT_EQ(*fallback, dir.path() / "data-c" / "run");
    struct stat st {};
    ASSERT_EQ(::stat(a->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A loosened folder is tightened; a link in its place is refused.
    ::chmod(a->c_str(), 0755);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ASSERT_TRUE(ipc_directory(dir.path() / "data-a"));
    ASSERT_EQ(::stat(a->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::filesystem::remove(*b);
    std::filesystem::create_directory_symlink(*a, *b);
    EXPECT_FALSE(ipc_directory(dir.path() / "data-b"));
    if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1); else ::unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(Instance, MessagesArriveWholeAndTheSocketIsOwnerOnly) {
    auto s = server();
    ASSERT_TRUE(s);
    struct stat st {};
    ASSERT_EQ(::stat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string path(4096, 'p');
    EXPECT_TRUE(forward_to_running_instance(sock, kShowRequest));
    EXPECT_TRUE(forward_to_running_instance(sock, path));
    ASSERT_TRUE(wait_for(2));
    std::lock_guard lock(mu);
    EXPECT_EQ(got[0], kShowRequest);
    EXPECT_EQ(got[1], path);
}

TEST_F(Instance, SilentOversizedAndSlowClientsAreDroppedAndTheServerGoesOn) {
    auto s = server();
    ASSERT_TRUE(s);
    const int silent = raw_client();
    // The server gives up on it after its 200 ms and serves the next one.
    EXPECT_TRUE(forward_to_running_instance(sock, "/after-silent"));
    ASSERT_TRUE(wait_for(1));
    ::close(silent);

    const int big = raw_client();
    std::thread writer([big] {
        const std::string mib(1 << 20, 'x');
        [[maybe_unused]] auto n = ::send(big, mib.data(), mib.size(), MSG_NOSIGNAL);
        ::close(big);
    });
    EXPECT_TRUE(forward_to_running_instance(sock, "/after-big"));
    ASSERT_TRUE(wait_for(2));
    writer.join();
    std::lock_guard lock(mu);
    EXPECT_EQ(got, (std::vector<std::string>{"/after-silent", "/after-big"}));
}

TEST_F(Instance, ClientGivesUpWhenNobodyListens) {
    EXPECT_FALSE(forward_to_running_instance(sock, "x", 3, std::chrono::milliseconds(10)));
    // A socket file without a listener (a dead instance's) is no delivery either.
    {
        auto s = server();
        ASSERT_TRUE(s);
        const int keep = ::open(sock.c_str(), O_PATH);
        s.reset();
        ::close(keep);
    }
    EXPECT_FALSE(forward_to_running_instance(sock, "x", 2, std::chrono::milliseconds(10)));
}

}  // namespace
}  // namespace dovan
