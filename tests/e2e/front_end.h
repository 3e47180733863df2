// One feature suite, two front ends: each test runs with `dovan --headless` driven through
// its console, and with the window program (`dovan`) on a virtual X display of the test's
// own, driven as a user drives it: clicks, typing, the system notification's buttons, the
// X clipboard and later starts that hand a file over. Both are followed through the same
// event lines: the console prints them, and the window program prints them on stdout when
// DOVAN_EVENT_LINES=1. System notifications of the window program go to a notification
// server written here, on a private session bus.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "bluez/private_bus.h"
#include "e2e_support.h"
#include "shell/console.h"
#include "shell/layout.h"
#include "window_support.h"

namespace dovan::e2e {

enum class FrontEnd { Console, Window };

inline std::string front_end_name(const ::testing::TestParamInfo<FrontEnd>& info) {
    return info.param == FrontEnd::Console ? "Console" : "Window";
}

// The front ends a build has: the window program only where it was built.
inline auto front_ends() {
#ifdef DOVAN_HAVE_DESKTOP
    return ::testing::Values(FrontEnd::Console, FrontEnd::Window);
#else
    return ::testing::Values(FrontEnd::Console);
#endif
}

// org.freedesktop.Notifications as a desktop shell offers it: it keeps what it was asked to
// show, and a test presses a notification's buttons, which it signals as a real one does.
class NotificationServer {
public:
    struct Shown {
        std::uint32_t id = 0;
        std::string summary, body;
        std::vector<std::string> actions;  // key, label, key, label …
    };

    explicit NotificationServer(const std::string& address) {
        int r = sd_bus_new(&bus_);
        if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
        if (r >= 0) r = sd_bus_start(bus_);
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/Notifications",
                                         "org.freedesktop.Notifications", kVtable, this);
        if (r >= 0) r = sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0);
        ok_ = r >= 0;
        thread_ = std::thread([this] { run(); });
    }
    ~NotificationServer() {
        stop_ = true;
        thread_.join();
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    NotificationServer(const NotificationServer&) = delete;
    NotificationServer& operator=(const NotificationServer&) = delete;

    bool ok() const { return ok_; }
    std::vector<Shown> shown() {
        std::lock_guard lock(mu_);
        return shown_;
    }
    // Presses the button of the newest notification whose key starts with `key_prefix`;
    // false when no notification has one.
    bool press(const std::string& key_prefix) {
        std::lock_guard lock(mu_);
        for (auto n = shown_.rbegin(); n != shown_.rend(); ++n)
            for (std::size_t i = 0; i + 1 < n->actions.size(); i += 2)
                if (n->actions[i].starts_with(key_prefix)) {
                    presses_.emplace_back(n->id, n->actions[i]);
                    return true;
                }
        return false;
    }
    std::string all() {
        std::string out;
        for (const auto& n : shown()) {
            out += std::to_string(n.id) + " " + n.summary + " | " + n.body;
            for (const auto& a : n.actions) out += " [" + a + "]";
            out += "\n";
        }
        return out;
    }

private:
    static int notify(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<NotificationServer*>(userdata);
        const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
        std::uint32_t replaces = 0;
        int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
        char** actions = nullptr;
        if (r >= 0) r = sd_bus_message_read_strv(m, &actions);
        if (r < 0) return r;
        Shown got;
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
            self.shown_.push_back(got);
        }
        return sd_bus_reply_method_return(m, "u", got.id);
    }
    // Buttons, plain-text bodies.
    static int capabilities(sd_bus_message* m, void*, sd_bus_error*) {
        const char* caps[] = {"actions", "body", nullptr};
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        if (r >= 0) r = sd_bus_message_append_strv(reply, const_cast<char**>(caps));
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }
    static int close(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &NotificationServer::notify, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetCapabilities", "", "as", &NotificationServer::capabilities, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("CloseNotification", "u", "", &NotificationServer::close, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};

    void run() {
        while (!stop_) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            std::vector<std::pair<std::uint32_t, std::string>> presses;
            {
                std::lock_guard lock(mu_);
                presses.swap(presses_);
            }
            for (auto& [id, key] : presses)
                sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                   "ActionInvoked", "us", id, key.c_str());
            sd_bus_wait(bus_, 20'000);
        }
    }

    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::uint32_t next_id_ = 0;
    std::vector<Shown> shown_;
    std::vector<std::pair<std::uint32_t, std::string>> presses_;
    std::thread thread_;
};

// A phone paired with the program and bound on TCP, whichever front end the test runs with.
// `pc` holds the program's event lines; what a user does goes through the helpers below.
class BothFrontEnds : public ::testing::TestWithParam<FrontEnd> {
protected:
    TempDir tmp;
    std::string radio = tmp.sub("radio");
    std::string appdata = tmp.sub("appdata");
    std::string phone_data = tmp.sub("phone");
    // Files from the phone land in HOME/Downloads/Dovan.
    std::string home = tmp.sub("home");
    std::string tmpdir = tmp.sub("tmp");
    std::string runtime = private_dir(tmp, "runtime");
    std::uint16_t lan_port = free_loopback_port();

    std::unique_ptr<Process> phone;
    std::unique_ptr<Process> pc;
    std::string phone_addr;
    std::string phone_fp;
    // More of the program's environment, set before start().
    std::vector<std::string> extra_env;

    bool window() const { return GetParam() == FrontEnd::Window; }

    void SetUp() override {
        if (!window()) return;
        const auto xvfb = on_path("Xvfb");
        const auto xdo = on_path("xdotool");
        xclip_ = on_path("xclip").value_or("");
        if (!xvfb || !xdo || xclip_.empty()) GTEST_SKIP() << "needs Xvfb, xdotool and xclip";
        display_ = std::make_unique<VirtualDisplay>(*xvfb, tmp.path() / "fb");
        ASSERT_TRUE(display_->up()) << "Xvfb did not start";
        pointer_ = std::make_unique<Pointer>(*xdo, display_->name());
        bus_ = std::make_unique<dovan::testing::PrivateBus>(tmp.path());
        ASSERT_TRUE(bus_->ready());
        notes_ = std::make_unique<NotificationServer>(bus_->address());
        ASSERT_TRUE(notes_->ok());
    }
    void TearDown() override {
        if (HasFailure()) {
            if (pc) ADD_FAILURE() << "dovan said:\n" << pc->transcript();
            if (phone) ADD_FAILURE() << "phone said:\n" << phone->transcript();
            if (notes_) ADD_FAILURE() << "notifications shown:\n" << notes_->all();
        }
        pc.reset();
        phone.reset();
        outside_copy_.reset();
        notes_.reset();
        bus_.reset();
        if (display_) display_->stop();
    }

    // --- Start-up -------------------------------------------------------------------

    void start_phone(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{binary("phone-sim"), "--radio", radio, "--data", phone_data,
                                      "--lan-port", std::to_string(lan_port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        phone = std::make_unique<Process>(argv, std::vector<std::string>{}, (tmp.path() / "phone.stderr").string());
        auto addr = phone->wait_line("address ");
        auto id = phone->wait_line("identity ");
        ASSERT_TRUE(addr && id);
        phone_addr = after(*addr, "address ");
        phone_fp = after(*id, "identity ");
    }

    std::vector<std::string> pc_env() const {
        std::vector<std::string> env{"DOVAN_SIM_RADIO=" + radio, "APPDATA=" + appdata, "HOME=" + home,
                                     "TMPDIR=" + tmpdir, "XDG_RUNTIME_DIR=" + runtime,
                                     "XDG_CONFIG_HOME=" + tmp.sub("config")};
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        if (!window()) return env;
        env.insert(env.end(), {"DISPLAY=" + display_->name(), "QT_QPA_PLATFORM=xcb", "QT_SCALE_FACTOR=1",
                               "QT_SCREEN_SCALE_FACTORS=", "QT_AUTO_SCREEN_SCALE_FACTOR=0",
                               "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(), "DOVAN_EVENT_LINES=1"});
        return env;
    }

    // The phone and the program, paired and bound on TCP. The window program meets the
    // phone already paired: a headless run pairs them first (pairing by clicks has a test
    // of its own); then the phone starts afresh, as after a reboot, so what it does once
    // per run (the demo) happens with the window program, which reconnects by itself.
    void start(std::vector<std::string> phone_options = {}) {
        start_phone(phone_options);
        if (HasFatalFailure()) return;
        start_console();
        pair();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(pc->wait_line("tcp 1"));
        ASSERT_TRUE(phone->wait_line("tcp 1"));
        if (!window()) return;
        pc->send("quit");
        ASSERT_TRUE(pc->wait_exit(kWait));
        pc.reset();
        const std::string paired_fp = phone_fp;
        phone.reset();
        start_phone(phone_options);
        if (HasFatalFailure()) return;
        ASSERT_EQ(phone_fp, paired_fp);
        start_window();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(pc->wait_line("state 4"));
        ASSERT_TRUE(pc->wait_line("tcp 1"));
        ASSERT_TRUE(phone->wait_line("tcp 1"));
    }

    void start_console() {
        pc = std::make_unique<Process>(
            std::vector<std::string>{binary("dovan"), "--headless", "--lan-port", std::to_string(lan_port)},
            pc_env(), (tmp.path() / "dovan.stderr").string());
    }
    void start_window() {
        pc = std::make_unique<Process>(std::vector<std::string>{binary("dovan"), "--lan-port", std::to_string(lan_port)},
                                       pc_env(), (tmp.path() / "dovan.stderr").string());
        const auto w = pointer_->window_of(pc->pid());
        ASSERT_TRUE(w) << "no window";
        window_ = *w;
        // Found as soon as it is mapped; its size may come a moment later.
        eventually([&] {
            where_ = pointer_->geometry(window_);
            return where_.w >= kMinClientW;
        });
        ASSERT_GE(where_.w, kMinClientW);
    }

    void pair() {
        ASSERT_TRUE(eventually([&] {
            const std::size_t from = pc->mark();
            pc->send("devices");
            if (!pc->wait_line("devices end", from, 5s)) return false;
            if (pc->wait_line("device " + phone_addr, from, 0ms)) return true;
            std::this_thread::sleep_for(200ms);
            return false;
        }));
        const std::size_t from = pc->mark();
        pc->send("connect " + phone_addr);
        auto sas = pc->wait_line("sas ", from);
        ASSERT_TRUE(sas);
        ASSERT_TRUE(phone->wait_line(*sas)) << "the phone computed other digits";
        pc->send("sas confirm");
        ASSERT_TRUE(pc->wait_line("state 4", from));
    }

    // --- What the user does -----------------------------------------------------------

    // "复制验证码": on the console the command, in the window program the button of the
    // system notification.
    void copy_code() {
        if (!window()) {
            pc->send("copy-code 0");
            return;
        }
        ASSERT_TRUE(eventually([&] { return notes_->press("dovan://copy/"); })) << "no 复制验证码 button";
    }
    // Replies to notification `row` (0 = newest; the window shows its code button too when
    // `has_code`): typed into the reply box and sent.
    void reply(int row, const std::string& text, bool has_code = false) {
        if (!window()) {
            pc->send("reply " + std::to_string(row) + " " + console_escape(text));
            return;
        }
        go(Page::Notifications);
        // The row's button opens the reply box, and closes it when it is already open for
        // that notification; the box stays open after a reply went.
        if (reply_row_ != row) {
            const auto buttons = notification_buttons(metrics(), row, true, has_code);
            ASSERT_TRUE(buttons.reply);
            click(*buttons.reply);
            reply_row_ = row;
        }
        click(reply_box_rect(metrics()));
        type(text);
        click(reply_send_rect(metrics()));
    }
    // "回复这条" on the system notification: the window comes up with the reply box on.
    void reply_from_notification(const std::string& text) {
        ASSERT_TRUE(window());
        ASSERT_TRUE(eventually([&] { return notes_->press("dovan://reply/"); })) << "no 回复这条 button";
        ASSERT_TRUE(eventually([&] { return read_file(tmp.path() / "dovan.stderr").find("通知卡上按了「回复这条」") !=
                                            std::string::npos; }));
        reply_row_ = 0;
        type(text);
        click(reply_send_rect(metrics()));
    }
    // Another program on the PC copies `text`.
    void copy_on_pc(const std::string& text) {
        if (!window()) {
            pc->send("local-clip " + console_escape(text));
            return;
        }
        const auto file = tmp.path() / "outside-copy";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        outside_copy_.reset();
        // It holds the selection until another program takes it.
        outside_copy_ = std::make_unique<Process>(
            std::vector<std::string>{xclip_, "-quiet", "-selection", "clipboard", "-i", file.string()},
            std::vector<std::string>{"DISPLAY=" + display_->name()}, (tmp.path() / "xclip.stderr").string());
    }
    // Waits until the PC's clipboard holds `text` (written there by the program).
    bool pc_clipboard_becomes(const std::string& text, std::size_t from) {
        if (!window()) return pc->wait_line("local-clipboard " + console_escape(text), from).has_value();
        std::string now;
        const bool ok = eventually([&] {
            now = x_clipboard();
            return now == text;
        });
        if (!ok) ADD_FAILURE() << "the X clipboard holds \"" << now << "\"";
        return ok;
    }
    // "发送本机剪贴板".
    void send_clipboard_now() {
        if (!window()) {
            pc->send("send-clip");
            return;
        }
        go(Page::Clipboard);
        click(clip_send_rect());
    }
    // The media card's play/pause.
    void play_pause() {
        if (!window()) {
            pc->send("media 0");
            return;
        }
        go(Page::Media);
        click(media_button_rect(metrics(), 1));
    }
    // "弹窗显示正文" switched off.
    void hide_notification_content() {
        if (!window()) {
            pc->send("set toast_show_content 0");
            return;
        }
        go(Page::Settings);
        click(settings_switch_rect(1));
    }
    // A file picked and sent: the console's command, or the window's file picker with the
    // path typed into it, then "发送到手机".
    void send_file(const std::filesystem::path& file) {
        if (!window()) {
            pc->send("send " + file.string());
            return;
        }
        go(Page::Files);
        click(pick_files_rect(metrics()));
        // The picker is a window of its own; the path goes into its name box.
        std::string picker;
        ASSERT_TRUE(eventually([&] {
            std::stringstream all(pointer_->run({"search", "--onlyvisible", "--name", "选择要发送到手机的文件"}));
            return static_cast<bool>(std::getline(all, picker)) && !picker.empty();
        })) << "no file picker";
        pointer_->run({"windowfocus", "--sync", picker});
        pointer_->run({"type", "--delay", "5", file.string()});
        pointer_->run({"key", "Return"});
        ASSERT_TRUE(eventually([&] {
            return pointer_->run({"search", "--onlyvisible", "--name", "选择要发送到手机的文件"}).empty();
        })) << "the file picker stayed";
        // The picked file joins the list to send; "发送到手机" sends it.
        click(send_files_rect(metrics()));
    }
    // A later start of the program with a file: it hands the file to the running one and
    // ends. The window program fills its send box, and the user presses "发送".
    void hand_off(const std::filesystem::path& file) {
        const auto log = tmp.path() / "second.stderr";
        Process second({binary("dovan"), file.string()}, pc_env(), log.string());
        ASSERT_TRUE(second.wait_exit(kWait));
        EXPECT_TRUE(WIFEXITED(second.exit_status()) && WEXITSTATUS(second.exit_status()) == 0);
        EXPECT_NE(read_file(log).find("[Dovan] 已把 " + file.string() + " 转交给运行中的实例"), std::string::npos)
            << read_file(log);
        if (!window()) return;
        ASSERT_TRUE(eventually([&] {
            return read_file(tmp.path() / "dovan.stderr").find("[Dovan] 已把 " + file.string() + " 填进发送框") !=
                   std::string::npos;
        }));
        click(send_files_rect(metrics()));
    }
    // "打开" or "打开所在文件夹" on a finished received row of the files page (window only).
    void open_received(int row, bool folder) {
        if (!window()) {
            ADD_FAILURE() << "the console has no such buttons";
            return;
        }
        go(Page::Files);
        const FileOpenButtons b = file_row_open_buttons(metrics(), row);
        click(folder ? b.reveal : b.open);
    }
    // Presses a button of the newest system notification that has one whose key starts
    // with `key_prefix`, once it is shown (window only).
    bool press_notification_button(const std::string& key_prefix) {
        return window() && eventually([&] { return notes_->press(key_prefix); });
    }
    // The album page, as many photos as the front end shows at once; returns that number.
    std::uint32_t open_album() {
        if (!window()) {
            pc->send("album page 0 24");
            return 24;
        }
        go(Page::Album);
        return static_cast<std::uint32_t>(album_grid(metrics()).page_size());
    }

    // --- What the user sees -----------------------------------------------------------

    // A system notification: the console's line, or what the notification server was
    // asked to show.
    bool system_notification(const std::string& title, const std::string& body, std::size_t from) {
        if (!window()) return pc->wait_line("sysnote " + title + "\t" + body, from).has_value();
        return eventually([&] {
            for (const auto& n : notes_->shown())
                if (n.summary == title && n.body == body) return true;
            return false;
        });
    }
    // The window's "最近发送" line as drawn, in pixels: what it says can be compared with an
    // earlier look without reading it. The console shows no such line: nothing.
    std::optional<std::vector<Pixel>> recently_sent_line() {
        if (!window()) return std::nullopt;
        go(Page::Clipboard);
        pointer_->move(window_, 4, where_.h - 4);  // nothing lit up under the pointer
        std::this_thread::sleep_for(300ms);        // a frame or two of the timer
        const auto shot = display_->screen();
        if (!shot) return std::vector<Pixel>{};
        const Metrics m = metrics();
        std::vector<Pixel> line;
        for (int y = 306; y < 342; ++y)
            for (int x = 208; x < m.R; ++x) line.push_back(shot->at(where_.x + x, where_.y + y));
        return line;
    }
    // Keeps the current screen in the build's test-output folder, to see what a failure saw.
    void keep_screen(const std::string& name) {
        if (!window()) return;
        const auto dir = std::filesystem::path(DOVAN_BINARY_DIR) / "test-output";
        std::filesystem::create_directories(dir);
        if (const auto shot = display_->screen()) shot->save_png(dir / (name + ".png"), where_.x, where_.y, where_.w, where_.h);
    }

    // Every line `p` printed from `from` on, once the program has taken everything sent to
    // it before: the console answers a `status` after them; the window program is given a
    // second.
    std::vector<std::string> settled(Process& p, std::size_t from) {
        if (window()) {
            std::this_thread::sleep_for(1s);
        } else {
            const std::size_t mark = pc->mark();
            pc->send("status");
            EXPECT_TRUE(pc->wait_line("status ", mark));
        }
        auto all = p.lines();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

    std::string settings_ini() { return read_file(std::filesystem::path(appdata) / "Dovan" / "settings.ini"); }

private:
    using Geometry = Pointer::Geometry;

    Metrics metrics() const { return Metrics::from_pixels(where_.w, where_.h, 96); }
    void click(const Rect& r) { pointer_->click(window_, (r.l + r.r) / 2, (r.t + r.b) / 2); }
    void go(Page page) {
        const auto nav = nav_items(LoadedModules{0x1f});
        for (std::size_t i = 0; i < nav.size(); ++i)
            if (nav[i].page == page) {
                const Rect r = nav_item_rect(static_cast<int>(i));
                pointer_->click(window_, r.l + 40, (r.t + r.b) / 2);
                return;
            }
        ADD_FAILURE() << "no such page in the navigation";
    }
    void type(const std::string& text) {
        pointer_->run({"windowfocus", "--sync", window_});
        // The toolkit takes keys once it has heard of the focus (and a window just brought
        // up has been shown).
        std::this_thread::sleep_for(300ms);
        // The first key xdotool maps for a character the keyboard lacks is sometimes taken
        // before the toolkit has read the new map and comes out as nothing: one such
        // character goes first and is erased (an empty box stays empty).
        pointer_->run({"type", "好"});
        std::this_thread::sleep_for(30ms);
        pointer_->run({"key", "BackSpace"});
        std::this_thread::sleep_for(30ms);
        // One character a run: a character the keyboard map lacks is typed through a key
        // xdotool maps to it for the moment, and several of those in one run lose some.
        for (std::size_t i = 0; i < text.size();) {
            std::size_t n = 1;
            while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
            pointer_->run({"type", text.substr(i, n)});
            std::this_thread::sleep_for(30ms);
            i += n;
        }
    }
    std::string x_clipboard() {
        const auto out = tmp.path() / "x-clipboard";
        std::filesystem::remove(out);
        Process p({"/bin/sh", "-c", "exec \"$0\" -o -selection clipboard > \"$1\"", xclip_, out.string()},
                  {"DISPLAY=" + display_->name()}, (tmp.path() / "xclip.stderr").string());
        p.wait_exit(kWait);
        return read_file(out);
    }

    std::string xclip_;
    std::unique_ptr<VirtualDisplay> display_;
    std::unique_ptr<Pointer> pointer_;
    std::unique_ptr<dovan::testing::PrivateBus> bus_;
    std::unique_ptr<NotificationServer> notes_;
    std::unique_ptr<Process> outside_copy_;
    std::string window_;
    Geometry where_;
    std::optional<int> reply_row_;  // the notification the window's reply box is open for
};

}  // namespace dovan::e2e
