// The fixture of the suites that drive `dovan --headless` and the phone simulator as
// processes, each test on its own sim-radio folder, data directory and LAN port.
#pragma once

#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace dovan::e2e {

class Desktop : public ::testing::Test {
protected:
    TempDir tmp;
    std::string radio = tmp.sub("radio");
    std::string appdata = tmp.sub("appdata");
    std::string phone_data = tmp.sub("phone");
    // Files from the phone land in HOME/Downloads/Dovan.
    std::string home = tmp.sub("home");
    // The program's temporary folder (drag-out originals go to its "Dovan-<uid>" unless
    // XDG_RUNTIME_DIR names a folder).
    std::string tmpdir = tmp.sub("tmp");
    std::uint16_t lan_port = free_loopback_port();

    std::unique_ptr<Process> phone;
    std::unique_ptr<Process> pc;
    std::string phone_addr;
    std::string phone_fp;

    void TearDown() override {
        if (HasFailure()) {
            if (pc) ADD_FAILURE() << "console said:\n" << pc->transcript();
            if (phone) ADD_FAILURE() << "phone said:\n" << phone->transcript();
        }
        pc.reset();
        phone.reset();
    }

    void start_phone(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{binary("phone-sim"), "--radio", radio, "--data", phone_data,
                                      "--lan-port", std::to_string(lan_port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        phone = std::make_unique<Process>(argv, std::vector<std::string>{},
                                          (tmp.path() / "phone.stderr").string());
        auto addr = phone->wait_line("address ");
        auto id = phone->wait_line("identity ");
        ASSERT_TRUE(addr && id);
        phone_addr = after(*addr, "address ");
        phone_fp = after(*id, "identity ");
    }
    void start_pc() {
        pc = std::make_unique<Process>(
            std::vector<std::string>{binary("dovan"), "--headless", "--lan-port", std::to_string(lan_port)},
            std::vector<std::string>{"DOVAN_SIM_RADIO=" + radio, "APPDATA=" + appdata, "HOME=" + home,
                                     "TMPDIR=" + tmpdir},
            (tmp.path() / "dovan.stderr").string());
    }
    void stop_pc() {
        pc->send("quit");
        ASSERT_TRUE(pc->wait_exit(kWait));
        EXPECT_TRUE(WIFEXITED(pc->exit_status()) && WEXITSTATUS(pc->exit_status()) == 0);
        pc.reset();
    }

    // Asks for the device list until the phone is in it.
    bool wait_for_device() {
        return eventually([&] {
            const std::size_t from = pc->mark();
            pc->send("devices");
            if (!pc->wait_line("devices end", from, 5s)) return false;
            if (pc->wait_line("device " + phone_addr, from, 0ms)) return true;
            std::this_thread::sleep_for(200ms);
            return false;
        });
    }

    // The console still answers, and says what it is doing.
    std::optional<std::string> status() {
        const std::size_t from = pc->mark();
        pc->send("status");
        return pc->wait_line("status ", from);
    }

    std::string read_app_file(const std::string& name) {
        std::ifstream in(std::filesystem::path(appdata) / "Dovan" / name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // A first pairing with both sides confirming the six digits.
    void pair() {
        ASSERT_TRUE(wait_for_device());
        const std::size_t from = pc->mark();
        pc->send("connect " + phone_addr);
        auto sas = pc->wait_line("sas ", from);
        ASSERT_TRUE(sas);
        ASSERT_TRUE(phone->wait_line(*sas)) << "the phone computed other digits";
        pc->send("sas confirm");
        ASSERT_TRUE(pc->wait_line("state 4", from));
        auto paired = pc->wait_line("paired ", from);
        ASSERT_TRUE(paired);
        EXPECT_EQ(*paired, "paired " + phone_fp + "\tPixel 8");
    }
};

}  // namespace dovan::e2e
