#include "shell/autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/text.h"

namespace dovan {

namespace {

std::string step_error(std::string_view step, int code) {
    return format_text("{}失败（系统错误 {}）", step, code);
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim_chars(std::string_view s, std::string_view chars) {
    while (!s.empty() && chars.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && chars.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

std::string_view normalize_path(std::string_view p) {
    p = trim_chars(p, " \t\n\r\v\f\"");
    while (!p.empty() && (p.back() == '/' || p.back() == '\\')) p.remove_suffix(1);
    return p;
}

// The reverse of the entry's string escapes (\s \n \t \r \\).
std::string unescape_value(std::string_view v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        const char n = v[++i];
        out += n == 's' ? ' ' : n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : n;
    }
    return out;
}

// Characters that an Exec line would have to escape, or that no UTF-8 text holds.
bool exec_safe(std::string_view path) {
    if (!utf8_valid(path)) return false;
    for (char c : path)
        if (c == '"' || c == '\\' || c == '`' || c == '$' || c == '%' || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

}  // namespace

std::string_view autostart_description(AutostartState s) {
    if (!s.present) return kAutostartOff;
    return s.ours ? kAutostartOn : kAutostartForeign;
}

std::optional<std::filesystem::path> autostart_entry_path(const char* xdg_config_home, const char* home) {
    std::filesystem::path base;
    if (xdg_config_home != nullptr && xdg_config_home[0] == '/') {
        base = xdg_config_home;
    } else if (home != nullptr && home[0] == '/') {
        base = std::filesystem::path(home) / ".config";
    } else {
        return std::nullopt;
    }
    return base / "autostart" / "dovan.desktop";
}

std::optional<std::filesystem::path> autostart_entry_path_from_env() {
    return autostart_entry_path(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::string autostart_exec(std::string_view program_path) {
    return format_text("\"{}\" {}", program_path, "--minimized");
}

std::string autostart_entry(std::string_view program_path) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Dovan\n"
           "Comment=手机与电脑互联\n"
           "Exec=" + autostart_exec(program_path) + "\n"
           "Icon=dovan\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

AutostartState classify_autostart_exec(std::string_view exec, std::string_view program_path) {
    const std::string_view data = trim_chars(exec, " \t\n\r\v\f");
    if (data.empty()) return {false, false};
    std::string_view command;
    std::string_view rest;
    if (data.front() == '"') {
        const auto close = data.find('"', 1);
        command = close == std::string_view::npos ? data.substr(1) : data.substr(1, close - 1);
        rest = close == std::string_view::npos ? std::string_view{} : data.substr(close + 1);
    } else {
        std::size_t end = 0;
        while (end < data.size() && !is_space(data[end])) ++end;
        command = data.substr(0, end);
        rest = data.substr(end);
    }
    if (!ascii_iequal(normalize_path(command), normalize_path(program_path))) return {true, false};
    while (!rest.empty()) {
        while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
        std::size_t end = 0;
        while (end < rest.size() && !is_space(rest[end])) ++end;
        if (end > 0 && ascii_iequal(rest.substr(0, end), "--minimized")) return {true, true};
        rest.remove_prefix(end);
    }
    return {true, false};
}

std::optional<std::string> autostart_exec_of(std::string_view text) {
    bool in_entry = false;
    std::optional<std::string> exec;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string_view l = trim_chars(line, " \t");
        if (l.empty() || l.front() == '#') continue;
        if (l.front() == '[') {
            in_entry = l == "[Desktop Entry]";
            continue;
        }
        if (!in_entry) continue;
        const auto eq = l.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trim_chars(l.substr(0, eq), " \t");
        const std::string value = unescape_value(trim_chars(l.substr(eq + 1), " \t"));
        // A hidden entry is how the desktop records a deleted or switched-off one.
        if (key == "Hidden" && value == "true") return std::nullopt;
        if (key == "Exec" && !exec) exec = value;
    }
    return exec;
}

Result<std::string> current_program_path() {
    if (const char* launcher = std::getenv(kProgramPathVariable); launcher != nullptr && launcher[0] == '/') {
        std::string path(launcher);
        if (!exec_safe(path)) return fail_text("当前程序路径含无法写入注册表的字符");
        return path;
    }
    char buf[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return fail_text(format_text("取当前程序路径失败: {}", errno_text(errno)));
    std::string path(buf, static_cast<std::size_t>(n));
    if (!exec_safe(path)) return fail_text("当前程序路径含无法写入注册表的字符");
    return path;
}

Status write_autostart(const AutostartPlace& place, bool enable) {
    if (!enable) {
        if (::unlink(place.entry.c_str()) != 0 && errno != ENOENT)
            return fail_text(step_error("清除开机启动项", errno));
        return {};
    }
    auto program = place.program_path();
    if (!program) return fail(program.error());
    if (!exec_safe(*program)) return fail_text("当前程序路径含无法写入注册表的字符");

    std::error_code ec;
    std::filesystem::create_directories(place.entry.parent_path(), ec);
    if (ec) return fail_text(step_error("写入开机启动项", ec.value()));
    const std::string body = autostart_entry(*program);
    const std::filesystem::path tmp = place.entry.string() + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return fail_text(step_error("写入开机启动项", errno));
    std::size_t done = 0;
    while (done < body.size()) {
        const ssize_t n = ::write(fd, body.data() + done, body.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const int err = done == body.size() && ::fsync(fd) == 0 ? 0 : (errno ? errno : EIO);
    ::close(fd);
    if (err != 0 || ::rename(tmp.c_str(), place.entry.c_str()) != 0) {
        const int code = err != 0 ? err : errno;
        ::unlink(tmp.c_str());
        return fail_text(step_error("写入开机启动项", code));
    }
    return {};
}

Result<AutostartState> read_autostart(const AutostartPlace& place) {
    auto program = place.program_path();
    if (!program) return fail(program.error());
    const int fd = ::open(place.entry.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return AutostartState{};
        return fail_text(step_error("读取开机启动项", errno));
    }
    std::string text;
    char buf[4096];
    bool failed = false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        failed = true;
        errno = EINVAL;
    }
    // An entry is a few lines; a huge file is nobody's entry and is not read whole.
    while (!failed && text.size() < std::size_t{64} * 1024) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    const int err = errno;
    ::close(fd);
    if (failed) return fail_text(step_error("读取开机启动项", err));
    const auto exec = autostart_exec_of(text);
    if (!exec) return AutostartState{};
    return classify_autostart_exec(*exec, *program);
}

void refresh_autostart(const AutostartPlace& place, SharedUi& ui,
                       const std::function<void(bool present)>& save_present) {
    const auto state = read_autostart(place);
    bool changed = false;
    {
        auto g = ui.lock();
        if (!state) {
            g->add_notice(format_text("读不到开机自启动的状态：{}", state.error().text));
        } else if (g->settings.autostart_present != state->present || g->settings.autostart_ours != state->ours) {
            g->settings.autostart_present = state->present;
            g->settings.autostart_ours = state->ours;
            g->bump();
            changed = true;
        }
    }
    if (changed && save_present) save_present(state->present);
    ui.post_repaint();
}

void set_autostart(const AutostartPlace& place, bool enable, SharedUi& ui,
                   const std::function<void(bool present)>& save_present) {
    if (auto done = write_autostart(place, enable); !done) {
        {
            auto g = ui.lock();
            g->add_notice(format_text("开机自启动没能{}：{}", enable ? "开启" : "关闭", done.error().text));
        }
        ui.post_repaint();
    }
    refresh_autostart(place, ui, save_present);
}

void toggle_autostart(const AutostartPlace& place, SharedUi& ui,
                      const std::function<void(bool present)>& save_present) {
    bool present = false;
    {
        auto g = ui.lock();
        present = g->settings.autostart_present;
    }
    set_autostart(place, !present, ui, save_present);
}

}  // namespace dovan
