// The real window on a virtual X display: an Xvfb of the test's own whose screen is a file
// the test reads, so it can wait for what the window shows, and xdotool for the mouse.
#pragma once

#include <sys/prctl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace dovan::e2e {

inline std::optional<std::string> on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const auto candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

// A folder only the user may enter, as a runtime folder must be.
inline std::string private_dir(const TempDir& tmp, const std::string& name) {
    const std::string dir = tmp.sub(name);
    ::chmod(dir.c_str(), 0700);
    return dir;
}

// The desktop program's surroundings: this display at 100 %, the sim radio, and folders of
// the test's own; Qt's and the notifier's bus is one that does not exist, so nothing
// reaches the real session.
inline std::vector<std::string> desktop_env(const std::string& display, const TempDir& tmp) {
    return {"DISPLAY=" + display,
            "QT_QPA_PLATFORM=xcb",
            "QT_SCALE_FACTOR=1",
            "QT_SCREEN_SCALE_FACTORS=",
            "QT_AUTO_SCREEN_SCALE_FACTOR=0",
            "DOVAN_SIM_RADIO=" + tmp.sub("radio"),
            "APPDATA=" + tmp.sub("appdata"),
            "HOME=" + tmp.sub("home"),
            "XDG_CONFIG_HOME=" + tmp.sub("config"),
            "XDG_RUNTIME_DIR=" + private_dir(tmp, "runtime"),
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (tmp.path() / "no-bus").string()};
}

// 0xRRGGBB
using Pixel = std::uint32_t;

// One frame of the screen: Xvfb keeps it as an XWD file in its -fbdir folder.
class Screen {
public:
    static std::optional<Screen> read(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto field = [&](std::size_t i) -> std::uint32_t {
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 4 * i;
            return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
        };
        if (bytes.size() < 100) return std::nullopt;
        const std::uint32_t header = field(0), width = field(4), height = field(5), byte_order = field(7),
                            bpp = field(11), stride = field(12), ncolors = field(19);
        const std::uint32_t red = field(14), green = field(15), blue = field(16);
        const std::size_t start = std::size_t{header} + 12u * ncolors;
        if (field(1) != 7 || bpp != 32 || red != 0xff0000 || green != 0xff00 || blue != 0xff ||
            bytes.size() < start + std::size_t{stride} * height)
            return std::nullopt;
        Screen s;
        s.w_ = static_cast<int>(width);
        s.h_ = static_cast<int>(height);
        s.px_.resize(std::size_t{width} * height);
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x) {
                const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + start + y * stride + 4 * x;
                const std::uint32_t v = byte_order == 0 ? (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                                           std::uint32_t{p[1]} << 8 | p[0])
                                                        : (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                                           std::uint32_t{p[2]} << 8 | p[3]);
                s.px_[std::size_t{y} * width + x] = v & 0xffffff;
            }
        return s;
    }

    int width() const { return w_; }
    int height() const { return h_; }
    Pixel at(int x, int y) const {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) return 0;
        return px_[static_cast<std::size_t>(y) * w_ + x];
    }

    // A part of the screen as an RGB PNG.
    bool save_png(const std::filesystem::path& file, int x0, int y0, int w, int h) const {
        std::string raw;
        for (int y = y0; y < y0 + h; ++y) {
            raw.push_back('\0');
            for (int x = x0; x < x0 + w; ++x) {
                const Pixel p = at(x, y);
                raw.push_back(static_cast<char>(p >> 16));
                raw.push_back(static_cast<char>(p >> 8));
                raw.push_back(static_cast<char>(p));
            }
        }
        uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
        std::string packed(packed_size, '\0');
        if (compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                     reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size())) != Z_OK)
            return false;
        packed.resize(packed_size);
        std::ofstream out(file, std::ios::binary);
        auto be32 = [&](std::string& to, std::uint32_t v) {
            for (int s = 24; s >= 0; s -= 8) to.push_back(static_cast<char>(v >> s));
        };
        auto chunk = [&](const char* type, const std::string& data) {
            std::string c(type, 4);
            c += data;
            std::string len;
            be32(len, static_cast<std::uint32_t>(data.size()));
            std::string crc;
            be32(crc, static_cast<std::uint32_t>(
                          crc32(0, reinterpret_cast<const Bytef*>(c.data()), static_cast<uInt>(c.size()))));
            out << len << c << crc;
        };
        out << "\x89PNG\r\n\x1a\n";
        std::string ihdr;
        be32(ihdr, static_cast<std::uint32_t>(w));
        be32(ihdr, static_cast<std::uint32_t>(h));
        ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
        chunk("IHDR", ihdr);
        chunk("IDAT", packed);
        chunk("IEND", "");
        return static_cast<bool>(out);
    }

private:
    int w_ = 0, h_ = 0;
    std::vector<Pixel> px_;
};

// An X server of the test's own; its screen is a file, read with screen().
class VirtualDisplay {
public:
    VirtualDisplay(const std::string& xvfb, const std::filesystem::path& dir) : fb_dir_(dir) {
        std::filesystem::create_directories(dir);
        // -displayfd: the server picks a free display and says which once it takes clients.
        // -noreset: the last client leaving (a restarting program) must not reset the
        // server under the next one.
        server_ = std::make_unique<Process>(
            std::vector<std::string>{xvfb, "-displayfd", "1", "-noreset", "-screen", "0", "1280x800x24", "-fbdir",
                                     dir.string(), "-nolisten", "tcp"},
            std::vector<std::string>{}, (dir / "xvfb.stderr").string());
        if (auto n = server_->wait_line("")) display_ = ":" + *n;
    }
    bool up() const { return !display_.empty(); }
    const std::string& name() const { return display_; }
    std::optional<Screen> screen() const { return Screen::read(fb_dir_ / "Xvfb_screen0"); }
    // Ends the server: a program still drawing on it loses its display and ends too.
    void stop() { server_.reset(); }

private:
    std::filesystem::path fb_dir_;
    std::unique_ptr<Process> server_;
    std::string display_;
};

// xdotool against one display, run to the end; its output.
class Pointer {
public:
    Pointer(std::string tool, std::string display) : tool_(std::move(tool)), display_(std::move(display)) {}

    std::string run(std::vector<std::string> args) const {
        args.insert(args.begin(), tool_);
        Process p(args, {"DISPLAY=" + display_});
        p.wait_exit(kWait);
        std::string out;
        for (const auto& l : p.lines()) out += l + "\n";
        return out;
    }
    // The window titled exactly "Dovan" that belongs to `pid`, once there is one.
    std::optional<std::string> window_of(pid_t pid) const {
        std::string id;
        const bool found = eventually([&] {
            std::stringstream all(run({"search", "--onlyvisible", "--name", "^Dovan$"}));
            for (std::string w; std::getline(all, w);)
                if (!w.empty() && window_pid(w) == pid) {
                    id = w;
                    return true;
                }
            return false;
        });
        if (!found) return std::nullopt;
        return id;
    }
    pid_t window_pid(const std::string& window) const {
        const std::string out = run({"getwindowpid", window});
        return static_cast<pid_t>(std::atoi(out.c_str()));
    }
    // Where the window's client area sits on the screen, and its size.
    struct Geometry {
        int x = 0, y = 0, w = 0, h = 0;
    };
    Geometry geometry(const std::string& window) const {
        const std::string out = run({"getwindowgeometry", "--shell", window});
        Geometry g;
        std::stringstream lines(out);
        for (std::string l; std::getline(lines, l);) {
            if (l.rfind("X=", 0) == 0) g.x = std::atoi(l.c_str() + 2);
            if (l.rfind("Y=", 0) == 0) g.y = std::atoi(l.c_str() + 2);
            if (l.rfind("WIDTH=", 0) == 0) g.w = std::atoi(l.c_str() + 6);
            if (l.rfind("HEIGHT=", 0) == 0) g.h = std::atoi(l.c_str() + 7);
        }
        return g;
    }
    void move(const std::string& window, int x, int y) const {
        run({"mousemove", "--window", window, std::to_string(x), std::to_string(y)});
    }
    void click(const std::string& window, int x, int y) const {
        run({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
    }

private:
    std::string tool_;
    std::string display_;
};

// A test with its own X display and pointer; skipped where Xvfb or xdotool is missing.
class OnDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        const auto xvfb = on_path("Xvfb");
        const auto xdo = on_path("xdotool");
        if (!xvfb || !xdo) GTEST_SKIP() << "needs Xvfb and xdotool";
        display = std::make_unique<VirtualDisplay>(*xvfb, tmp.path() / "fb");
        ASSERT_TRUE(display->up()) << "Xvfb did not start";
        pointer = std::make_unique<Pointer>(*xdo, display->name());
    }
    void TearDown() override {
        if (display) display->stop();
    }

    TempDir tmp;
    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<Pointer> pointer;
};

// Children left behind by a program of the test that ended: with the test as their
// subreaper they become its own, and are ended by id.
inline void become_subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

inline std::vector<pid_t> own_children_running(const std::string& exe) {
    std::vector<pid_t> found;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(e.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::stringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        std::error_code ec;
        if (ppid == ::getpid() && state != 'Z' && std::filesystem::read_symlink(e.path() / "exe", ec) == exe)
            found.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return found;
}

// Ends a child by id: SIGTERM, then SIGKILL if it lingers; true once it is reaped.
inline bool end_child(pid_t pid) {
    ::kill(pid, SIGTERM);
    auto reaped = [&] {
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) == pid;
    };
    if (eventually(reaped, 10s)) return true;
    ::kill(pid, SIGKILL);
    return eventually(reaped, 10s);
}

}  // namespace dovan::e2e
