// The notifier against a private bus (a dbus-daemon of the test's own) and a small
// notification server written here, through the same drain and activation the program uses.
#include "platform/freedesktop/notifier.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/clipboard.h"
#include "shell/activation.h"
#include "shell/notification_drain.h"
#include "transfer/temp_dir.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;
using testing_support::TempDir;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// dbus-daemon on a socket in the test's folder, gone with the fixture.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& dir) {
        const auto config = dir / "bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type><listen>unix:path="
                              << (dir / "bus").string()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) ::dup2(null, STDERR_FILENO);
            const std::string cfg = "--config-file=" + config.string();
            ::execlp("dbus-daemon", "dbus-daemon", cfg.c_str(), "--nofork", "--print-address=1", nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(out[0]);
        address_ = line;
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

// A notification server that answers, errs or stays silent.
class TestServer {
public:
    enum class Mode { Answer, Fail, Silent };
    struct Received {
        std::string summary, body;
        std::vector<std::string> actions;
        std::uint32_t id = 0;
    };

    TestServer(const std::string& address, Mode mode) : mode_(mode) {
        int r = sd_bus_new(&bus_);
        if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
        if (r >= 0) r = sd_bus_start(bus_);
        if (r >= 0) r = sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/Notifications",
                                                 "org.freedesktop.Notifications", kVtable, this);
        if (r >= 0) r = sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0);
        ok_ = r >= 0;
        thread_ = std::thread([this] { run(); });
    }
    ~TestServer() {
        stop_ = true;
        thread_.join();
        for (auto* m : held_) sd_bus_message_unref(m);
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    bool ok() const { return ok_; }

    std::vector<Received> received() {
        std::lock_guard lock(mu_);
        return received_;
    }
    // Emitted from the server's own thread, as a real server would.
    void press(std::uint32_t id, std::string key) {
        std::lock_guard lock(mu_);
        presses_.emplace_back(id, std::move(key));
    }
    // Closed by the user (reason 2), told in order with the presses.
    void close(std::uint32_t id) {
        std::lock_guard lock(mu_);
        presses_.emplace_back(id, std::nullopt);
    }

private:
    static int notify(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        auto& self = *static_cast<TestServer*>(userdata);
        const char *app, *icon, *summary, *body;
        std::uint32_t replaces = 0;
        Received got;
        int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
        char** actions = nullptr;
        if (r >= 0) r = sd_bus_message_read_strv(m, &actions);
        if (r < 0) return r;
        got.summary = summary;
        got.body = body;
        for (char** a = actions; a && *a; ++a) {
            got.actions.emplace_back(*a);
            std::free(*a);
        }
        std::free(actions);
        {
            std::lock_guard lock(self.mu_);
            got.id = ++self.next_id_;
            self.received_.push_back(got);
        }
        switch (self.mode_) {
            case Mode::Answer: return sd_bus_reply_method_return(m, "u", got.id);
            case Mode::Fail: return sd_bus_error_set_const(error, "org.example.Broken", "no notifications today");
            case Mode::Silent: self.held_.push_back(sd_bus_message_ref(m)); return 1;
        }
        return 0;
    }
    static int capabilities(sd_bus_message* m, void*, sd_bus_error*) {
        const char* caps[] = {"actions", "body", "body-markup", nullptr};
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        if (r >= 0) r = sd_bus_message_append_strv(reply, const_cast<char**>(caps));
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }

    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &TestServer::notify, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetCapabilities", "", "as", &TestServer::capabilities, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};

    void run() {
        while (!stop_) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            std::vector<std::pair<std::uint32_t, std::optional<std::string>>> presses;
            {
                std::lock_guard lock(mu_);
                presses.swap(presses_);
            }
            for (auto& [id, key] : presses) {
                if (key)
                    sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                       "ActionInvoked", "us", id, key->c_str());
                else
                    sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                       "NotificationClosed", "uu", id, 2u);
            }
            sd_bus_wait(bus_, 20'000);
        }
    }

    Mode mode_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::uint32_t next_id_ = 0;
    std::vector<Received> received_;
    std::vector<std::pair<std::uint32_t, std::optional<std::string>>> presses_;
    std::vector<sd_bus_message*> held_;
    std::thread thread_;
};

// Another client of the session bus, sending the server's signals to each other connection
// in turn: the bus delivers a signal addressed to a connection whatever its match rules say.
class Stranger {
public:
    explicit Stranger(const std::string& address) {
        ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
              sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0;
    }
    ~Stranger() {
        if (bus_) sd_bus_flush_close_unref(bus_);
    }
    Stranger(const Stranger&) = delete;
    Stranger& operator=(const Stranger&) = delete;
    bool ok() const { return ok_; }
    // Returns once the bus has passed the signal on.
    void unicast(const char* member, const std::function<int(sd_bus_message*)>& fill) {
        const char* self = nullptr;
        ASSERT_GE(sd_bus_get_unique_name(bus_, &self), 0);
        char** names = nullptr;
        ASSERT_GE(sd_bus_list_names(bus_, &names, nullptr), 0);
        for (char** n = names; n && *n; ++n) {
            if ((*n)[0] == ':' && std::strcmp(*n, self) != 0) {
                sd_bus_message* m = nullptr;
                EXPECT_GE(sd_bus_message_new_signal(bus_, &m, "/org/freedesktop/Notifications",
                                                    "org.freedesktop.Notifications", member),
                          0);
                EXPECT_GE(fill(m), 0);
                EXPECT_GE(sd_bus_message_set_destination(m, *n), 0);
                EXPECT_GE(sd_bus_send(bus_, m, nullptr), 0);
                sd_bus_message_unref(m);
            }
            std::free(*n);
        }
        std::free(names);
        // The bus handles one connection's messages in order: its answer comes after them.
        sd_bus_message* reply = nullptr;
        EXPECT_GE(sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "GetId", nullptr, &reply, ""),
                  0);
        sd_bus_message_unref(reply);
    }

private:
    sd_bus* bus_ = nullptr;
    bool ok_ = false;
};

class Notifications : public ::testing::Test {
protected:
    TempDir dir;
    PrivateBus bus{dir.path()};
    FakeClock clock;
    ProcessClipboard clipboard;
    std::shared_ptr<SharedUi> ui = std::make_shared<SharedUi>();
    std::mutex mu;
    std::vector<std::string> balloons;
    std::vector<OpenRequest> opened;
    std::unique_ptr<NotificationDrain> drain;
    std::unique_ptr<FreedesktopNotifier> notifier;

    void open(std::chrono::milliseconds timeout = 3000ms) {
        ActivationHost host{ui, &clipboard, &clock, {}, [this](OpenRequest r) {
            std::lock_guard lock(mu);
            opened.push_back(std::move(r));
        }};
        NotifierCallbacks callbacks;
        callbacks.on_outcome = [this](std::uint64_t cookie, std::optional<std::string> error) {
            drain->on_outcome(cookie, error);
        };
        callbacks.on_button = [this, host](std::string_view key) { handle_activation(key, host); };
        auto opened = FreedesktopNotifier::open(std::move(callbacks), {bus.address(), timeout, 16});
        ASSERT_TRUE(opened) << opened.error().text;
        notifier = std::move(*opened);
        drain = std::make_unique<NotificationDrain>(NotificationDrain::Config{
            ui, &clock, notifier.get(),
            [this](std::string_view title, std::string_view) {
                std::lock_guard lock(mu);
                balloons.emplace_back(title);
                return true;
            },
            secure_token});
    }
    void queue(std::string title, std::optional<std::string> code, bool reply) {
        std::optional<ReplyTarget> target;
        if (reply) target = ReplyTarget{"com.chat", "t", 1, 42, 0, "reply_key"};
        ui->lock()->queue_system_notification({std::move(title), "验证码 <b>123456</b>", std::move(code), target});
    }
    std::size_t balloon_count() {
        std::lock_guard lock(mu);
        return balloons.size();
    }
    void TearDown() override {
        notifier.reset();  // its thread calls into the drain until it is gone
        drain.reset();
    }
};

TEST_F(Notifications, ButtonsArriveAndPressingThemCopiesTheCodeOrOpensTheReply) {
    ASSERT_FALSE(bus.address().empty());
    TestServer server(bus.address(), TestServer::Mode::Answer);
    ASSERT_TRUE(server.ok());
    open();
    queue("银行", "123456", true);
    drain->drain();
    ASSERT_TRUE(eventually([&] { return server.received().size() == 1; }));
    const auto got = server.received()[0];
    EXPECT_EQ(got.summary, "银行");
    EXPECT_EQ(got.body, "验证码 &lt;b&gt;123456&lt;/b&gt;");  // phone text is never markup
    ASSERT_EQ(got.actions.size(), 4u);
    EXPECT_TRUE(got.actions[0].starts_with("dovan://copy/"));
    EXPECT_EQ(got.actions[1], "复制验证码 123456");
    EXPECT_TRUE(got.actions[2].starts_with("dovan://reply/"));
    EXPECT_EQ(got.actions[3], "回复这条");

    // A key this process never put on that notification is ignored.
    server.press(got.id, "dovan://copy/0000000000000001");
    server.press(got.id + 7, got.actions[0]);
    server.press(got.id, got.actions[0]);
    ASSERT_TRUE(eventually([&] { return clipboard.read_text().has_value(); }));
    EXPECT_EQ(clipboard.read_text(), std::optional<std::string>("123456"));
    {
        auto g = ui->lock();
        ASSERT_TRUE(g->self_clipboard);
        EXPECT_EQ(g->self_clipboard->text, "123456");  // so clipboard sync does not send it
        EXPECT_FALSE(g->requests.send_clipboard);
        EXPECT_TRUE(g->notices.empty());
    }
    server.press(got.id, got.actions[2]);
    ASSERT_TRUE(eventually([&] { return ui->lock()->reply_target.has_value(); }));
    auto g = ui->lock();
    EXPECT_EQ(g->reply_target->notification_id, 42);
    EXPECT_EQ(g->focus, InputFocus::ReplyBox);
    EXPECT_TRUE(g->toast_actions.empty());
    EXPECT_EQ(balloon_count(), 0u);
}

// A received file's notification carries "打开" and "打开所在文件夹"; a press hands the
// front end the path stored with that button, once.
TEST_F(Notifications, AReceivedFilesButtonsOpenTheStoredPathOnce) {
    ASSERT_FALSE(bus.address().empty());
    TestServer server(bus.address(), TestServer::Mode::Answer);
    ASSERT_TRUE(server.ok());
    open();
    const std::string path = "/home/u/Downloads/Dovan/a.pdf";
    ui->lock()->queue_system_notification({"文件接收完成", "a.pdf → " + path, std::nullopt, std::nullopt, path});
    drain->drain();
    ASSERT_TRUE(eventually([&] { return server.received().size() == 1; }));
    const auto got = server.received()[0];
    ASSERT_EQ(got.actions.size(), 4u);
    EXPECT_TRUE(got.actions[0].starts_with("dovan://open/"));
    EXPECT_EQ(got.actions[1], "打开");
    EXPECT_TRUE(got.actions[2].starts_with("dovan://reveal/"));
    EXPECT_EQ(got.actions[3], "打开所在文件夹");
    EXPECT_EQ(got.actions[0].find("a.pdf"), std::string::npos) << "the link names only its token";

    server.press(got.id, got.actions[2]);
    server.press(got.id, got.actions[2]);
    server.press(got.id, got.actions[0]);
    auto count = [&] {
        std::lock_guard lock(mu);
        return opened.size();
    };
    ASSERT_TRUE(eventually([&] { return count() == 2u && ui->lock()->notices.size() == 1u; }));
    {
        std::lock_guard lock(mu);
        EXPECT_EQ(opened, (std::vector<OpenRequest>{{path, OpenWhat::Folder}, {path, OpenWhat::File}}));
    }
    EXPECT_EQ(ui->lock()->notices.front().text, "这条通知的操作已经过期或已经用过了");
    EXPECT_TRUE(ui->lock()->toast_actions.empty());
}

TEST_F(Notifications, AnErroringServerGivesTheBalloonAndThePause) {
    TestServer server(bus.address(), TestServer::Mode::Fail);
    ASSERT_TRUE(server.ok());
    open();
    queue("a", "1", false);
    drain->drain();
    ASSERT_TRUE(eventually([&] {
        drain->drain();
        return balloon_count() == 1;
    }));
    EXPECT_EQ(drain->paused_until(), std::optional<Instant>(clock.now() + kNotifierBackoff));
    EXPECT_TRUE(ui->lock()->toast_actions.empty());
    queue("b", std::nullopt, false);
    drain->drain();
    EXPECT_EQ(balloon_count(), 2u);
    EXPECT_EQ(server.received().size(), 1u);
}

TEST_F(Notifications, ASilentServerNeverHoldsThePosterAndTimesOutIntoTheBalloon) {
    TestServer server(bus.address(), TestServer::Mode::Silent);
    ASSERT_TRUE(server.ok());
    open(300ms);
    queue("a", "1", true);
    const auto before = std::chrono::steady_clock::now();
    drain->drain();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 250ms);
    ASSERT_TRUE(eventually([&] {
        drain->drain();
        return balloon_count() == 1;
    }));
    EXPECT_EQ(server.received().size(), 1u);
    EXPECT_TRUE(drain->paused_until().has_value());
    EXPECT_TRUE(ui->lock()->toast_actions.empty());
}

TEST_F(Notifications, WithoutTheServiceTheNotifierDoesNotOpen) {
    auto opened = FreedesktopNotifier::open({}, {bus.address(), 1000ms, 16});
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().text.find("D-Bus"), std::string::npos);
    EXPECT_FALSE(FreedesktopNotifier::open({}, {"unix:path=" + (dir.path() / "nothing").string(), 1000ms, 16}));
}

// Only the server that showed a notification presses or closes its buttons; another client
// sending the same signals to our connection changes nothing.
TEST_F(Notifications, OnlyTheServerThatShowedANotificationPressesOrClosesIt) {
    TestServer server(bus.address(), TestServer::Mode::Answer);
    ASSERT_TRUE(server.ok());
    open();
    queue("银行", "123456", true);
    queue("快递", std::nullopt, true);
    drain->drain();
    ASSERT_TRUE(eventually([&] { return server.received().size() == 2; }));
    const auto code = server.received()[0];
    const auto other = server.received()[1];
    ASSERT_EQ(code.actions.size(), 4u);
    ASSERT_EQ(other.actions.size(), 2u);
    auto reply_opened = [&] { return ui->lock()->reply_target.has_value(); };

    Stranger stranger(bus.address());
    ASSERT_TRUE(stranger.ok());
    stranger.unicast("ActionInvoked", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "us", code.id, code.actions[0].c_str());
    });
    stranger.unicast("NotificationClosed", [&](sd_bus_message* m) { return sd_bus_message_append(m, "uu", code.id, 2u); });
    // The server's press comes after the stranger's signals: once it is handled, they were too.
    server.press(code.id, code.actions[2]);
    ASSERT_TRUE(eventually(reply_opened)) << "a forged close forgot the buttons";
    EXPECT_FALSE(clipboard.read_text().has_value()) << "a forged press copied the code";

    // Closed by the server itself, the notification's buttons are gone.
    ui->lock()->reply_target.reset();
    server.close(code.id);
    server.press(code.id, code.actions[0]);
    server.press(other.id, other.actions[0]);
    ASSERT_TRUE(eventually(reply_opened));
    EXPECT_FALSE(clipboard.read_text().has_value());
}

}  // namespace
}  // namespace dovan
