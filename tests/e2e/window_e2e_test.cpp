// The program's window on a virtual X display: a simulated phone is paired by mouse clicks
// alone, as a user would. Every step waits for what the screen shows or what the phone
// says, and the result is read back from the data folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/desktop_fixture.h"
#include "e2e/window_support.h"
#include "shell/layout.h"

// Only a build with the window has one to drive.
#ifdef DOVAN_HAVE_DESKTOP
namespace dovan::e2e {
namespace {

class RealWindow : public OnDisplay {
protected:
    void TearDown() override {
        if (HasFailure()) {
            if (pc) ADD_FAILURE() << "dovan said:\n" << pc->transcript();
            if (phone) ADD_FAILURE() << "phone said:\n" << phone->transcript();
        }
        pc.reset();
        phone.reset();
        OnDisplay::TearDown();
    }

    // The window's pixel at a point given in the window's own pixels.
    Pixel at(int x, int y) {
        const auto s = display->screen();
        return s ? s->at(where.x + x, where.y + y) : 0;
    }

    std::unique_ptr<Process> phone;
    std::unique_ptr<Process> pc;
    Pointer::Geometry where;
};

TEST_F(RealWindow, PairsWithThePhoneByClicksAlone) {
    const std::uint16_t lan_port = free_loopback_port();
    const std::string radio = tmp.sub("radio");
    phone = std::make_unique<Process>(
        std::vector<std::string>{binary("phone-sim"), "--radio", radio, "--data", tmp.sub("phone"), "--lan-port",
                                 std::to_string(lan_port)},
        std::vector<std::string>{}, (tmp.path() / "phone.stderr").string());
    ASSERT_TRUE(phone->wait_line("address "));
    const auto identity = phone->wait_line("identity ");
    ASSERT_TRUE(identity);
    const std::string fingerprint = identity->substr(9);

    pc = std::make_unique<Process>(std::vector<std::string>{binary("dovan"), "--lan-port", std::to_string(lan_port)},
                                   desktop_env(display->name(), tmp), (tmp.path() / "dovan.stderr").string());
    const auto window = pointer->window_of(pc->pid());
    ASSERT_TRUE(window) << "no window";
    where = pointer->geometry(*window);
    ASSERT_GE(where.w, kMinClientW);
    const Metrics m = Metrics::from_pixels(where.w, where.h, 96);

    // The row is there once the pointer over it lights it up; the pointer moves to and fro
    // so the window hears of it after the phone appears. Below the row is bare window.
    const Rect row = device_row_rect(m, 0);
    const int row_y = (row.t + row.b) / 2, probe_x = row.r - 6, bare_y = row.b + 19;
    int wiggle = 0;
    ASSERT_TRUE(eventually([&] {
        pointer->move(*window, row.l + 120 + (++wiggle % 2) * 4, row_y);
        return at(probe_x, row_y) != at(probe_x, bare_y);
    }, 60s)) << "the phone's row never showed";
    pointer->click(*window, row.l + 120, row_y);

    // Both sides show the same six digits; "确认一致" is clicked once the card is drawn.
    ASSERT_TRUE(phone->wait_line("sas ", 0, 60s));
    const Rect confirm = sas_confirm_rect(connect_cards_offset(1));
    const int cx = (confirm.l + confirm.r) / 2, cy = confirm.t + 4;
    ASSERT_TRUE(eventually([&] { return at(cx, cy) != at(cx, bare_y); }, 60s)) << "no confirmation card";
    const Pixel button = at(cx, cy);
    pointer->click(*window, cx, (confirm.t + confirm.b) / 2);

    ASSERT_TRUE(phone->wait_line("paired ", 0, 60s));
    std::string trusted;
    ASSERT_TRUE(eventually([&] {
        trusted = read_file(tmp.path() / "appdata" / "Dovan" / "trusted_peers.tsv");
        return !trusted.empty();
    }));
    EXPECT_NE(trusted.find(fingerprint), std::string::npos) << trusted;
    // The card turns into the paired one: no button where "确认一致" was.
    EXPECT_TRUE(eventually([&] { return at(cx, cy) != button; })) << "the confirmation card stayed";

    const std::filesystem::path out_dir = std::filesystem::path(DOVAN_BINARY_DIR) / "test-output";
    std::filesystem::create_directories(out_dir);
    const auto shot = display->screen();
    ASSERT_TRUE(shot);
    EXPECT_TRUE(shot->save_png(out_dir / "window-paired.png", where.x, where.y, where.w, where.h));
}

TEST(NoDisplay, TheWindowProgramSaysSoInOneLine) {
    TempDir tmp;
    const auto err = tmp.path() / "dovan.stderr";
    Process pc({binary("dovan")},
               {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "APPDATA=" + tmp.sub("appdata"),
                "XDG_RUNTIME_DIR=" + private_dir(tmp, "runtime"), "DOVAN_SIM_RADIO=" + tmp.sub("radio")},
               err.string());
    ASSERT_TRUE(pc.wait_exit(kWait));
    EXPECT_TRUE(WIFEXITED(pc.exit_status()) && WEXITSTATUS(pc.exit_status()) == 2);
    EXPECT_EQ(read_file(err), "[Dovan] 没有可用的图形显示，请改用 dovan --headless\n");
}

// The headless program stays small because the toolkit lives only in the window program.
TEST(NoDisplay, TheHeadlessProgramMapsNoToolkit) {
    TempDir tmp;
    Process pc({binary("dovan"), "--headless"},
               {"APPDATA=" + tmp.sub("appdata"), "XDG_RUNTIME_DIR=" + private_dir(tmp, "runtime"),
                "DOVAN_SIM_RADIO=" + tmp.sub("radio")},
               (tmp.path() / "dovan.stderr").string());
    pc.send("status");
    ASSERT_TRUE(pc.wait_line("status "));
    std::ifstream maps("/proc/" + std::to_string(pc.pid()) + "/maps");
    std::stringstream text;
    text << maps.rdbuf();
    ASSERT_NE(text.str().find("libcrypto"), std::string::npos) << "maps unreadable";
    EXPECT_EQ(text.str().find("libQt6"), std::string::npos);
    pc.send("quit");
    EXPECT_TRUE(pc.wait_exit(kWait));
}

}  // namespace
}  // namespace dovan::e2e

#endif  // DOVAN_HAVE_DESKTOP
