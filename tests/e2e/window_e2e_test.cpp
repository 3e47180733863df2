// The desktop window on a virtual X display: a simulated phone is paired by mouse clicks
// alone, as a user would, and the result is read back from the window and the data folder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/e2e_support.h"

namespace dovan::e2e {
namespace {

std::string built(const std::string& name) { return std::string(DOVAN_BINARY_DIR) + "/" + name; }

std::optional<std::string> on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const auto candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

std::uint16_t loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        std::abort();
    ::close(fd);
    return ntohs(sa.sin_port);
}

// Runs xdotool to the end and gives its output.
std::string xdotool(const std::string& tool, const std::string& display, std::vector<std::string> args) {
    args.insert(args.begin(), tool);
    Process p(args, {"DISPLAY=" + display});
    p.wait_exit(kWait);
    std::string out;
    for (const auto& l : p.lines()) out += l;
    return out;
}

TEST(RealWindow, PairsWithThePhoneByClicksAlone) {
    const auto xvfb = on_path("Xvfb");
    const auto xdo = on_path("xdotool");
    if (!xvfb || !xdo || !std::filesystem::exists(built("window-demo"))) {
        GTEST_SKIP() << "needs Xvfb, xdotool and the desktop build";
    }
    TempDir tmp;
    const std::string radio = tmp.sub("radio"), appdata = tmp.sub("appdata"), phone_data = tmp.sub("phone");
    const std::uint16_t lan_port = loopback_port();

    int n = 90 + static_cast<int>(::getpid() % 400);
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
           std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
        ++n;
    }
    const std::string display = ":" + std::to_string(n);
    Process x({*xvfb, display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {}, (tmp.path() / "xvfb.stderr").string());
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)); }));

    Process phone({built("phone-sim"), "--radio", radio, "--data", phone_data, "--lan-port", std::to_string(lan_port)}, {},
                  (tmp.path() / "phone.stderr").string());
    ASSERT_TRUE(phone.wait_line("address "));
    const auto identity = phone.wait_line("identity ");
    ASSERT_TRUE(identity);
    const std::string fingerprint = identity->substr(9);

    const std::filesystem::path out_dir = std::filesystem::path(DOVAN_BINARY_DIR) / "test-output";
    std::filesystem::create_directories(out_dir);
    const auto shot = out_dir / "window-paired.png";
    std::filesystem::remove(shot);
    Process pc({built("window-demo"), "--lan-port", std::to_string(lan_port), "--shot-when-paired", shot.string()},
               {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "QT_SCALE_FACTOR=1", "DOVAN_SIM_RADIO=" + radio, "APPDATA=" + appdata},
               (tmp.path() / "window.stderr").string());
    ASSERT_TRUE(pc.wait_line("window up")) << pc.transcript();

    std::string window;
    ASSERT_TRUE(eventually([&] {
        window = xdotool(*xdo, display, {"search", "--name", "^Dovan$"});
        return !window.empty();
    })) << pc.transcript();
    auto click = [&](int x, int y) {
        xdotool(*xdo, display, {"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
    };

    // The phone's row is the first device row; the SAS card sits one row below it.
    ASSERT_TRUE(pc.wait_line("ui engine=0 devices=1")) << pc.transcript();
    click(400, 111);
    ASSERT_TRUE(pc.wait_line("ui engine=3 devices=1 sas=1")) << pc.transcript();
    click(264, 289);  // "确认一致"
    ASSERT_TRUE(pc.wait_line("ui engine=4 devices=1 sas=0 paired=1")) << pc.transcript() << phone.transcript();

    ASSERT_TRUE(pc.wait_line("shot saved")) << pc.transcript();
    EXPECT_GT(std::filesystem::file_size(shot), 10000u);
    std::string trusted;
    ASSERT_TRUE(eventually([&] {
        for (const auto& e : std::filesystem::recursive_directory_iterator(appdata)) {
            if (e.path().filename() == "trusted_peers.tsv") {
                std::ifstream in(e.path());
                std::stringstream ss;
                ss << in.rdbuf();
                trusted = ss.str();
            }
        }
        return !trusted.empty();
    }));
    EXPECT_NE(trusted.find(fingerprint), std::string::npos) << trusted;
}

}  // namespace
}  // namespace dovan::e2e
