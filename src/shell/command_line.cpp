#include "shell/command_line.h"

#include <sys/stat.h>

#include <charconv>
#include <filesystem>

#include "common/text.h"
#include "shell/activation.h"
#include "shell/handoff.h"

namespace dovan {

bool path_entry_exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

namespace {

std::optional<std::uint16_t> parse_port(std::string_view v) {
    unsigned port = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
    if (ec != std::errc{} || p != v.data() + v.size() || port == 0 || port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

// A file manager may pass "file:///…" (the desktop entry's %u); the path is what counts.
std::optional<std::string> file_url_path(std::string_view url) {
    if (!url.starts_with("file://")) return std::nullopt;
    url.remove_prefix(7);
    if (url.starts_with("localhost/")) url.remove_prefix(9);
    if (!url.starts_with("/")) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            unsigned v = 0;
            auto [p, ec] = std::from_chars(url.data() + i + 1, url.data() + i + 3, v, 16);
            if (ec == std::errc{} && p == url.data() + i + 3) {
                out += static_cast<char>(v);
                i += 2;
                continue;
            }
        }
        out += url[i];
    }
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

}  // namespace

CommandLine parse_command_line(std::span<const std::string> args,
                               const std::function<bool(const std::string&)>& exists) {
    CommandLine cl;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options_done && a.size() > 1 && a[0] == '-') {
            if (a == "--") {
                options_done = true;
            } else if (a == "--minimized") {
                cl.minimized = true;
            } else if (a == "--headless") {
                cl.headless = true;
            } else if (a == "--help" || a == "-h") {
                cl.help = true;
            } else if (a == "--version") {
                cl.version = true;
            } else if (a == "--lan-port" || a.starts_with("--lan-port=")) {
                std::string value;
                if (a.size() > 10) {
                    value = a.substr(11);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                }
                const auto port = parse_port(value);
                if (!port) {
                    if (!cl.error) cl.error = format_text("--lan-port 需要 1 到 65535 之间的端口号（收到 \"{}\"）", utf8_lossy(value));
                } else {
                    cl.lan_port = *port;
                }
            } else if (!cl.error) {
                cl.error = format_text("未知选项: {}", utf8_lossy(a));
            }
            continue;
        }
        const std::string text = utf8_lossy(a);
        const std::string path = file_url_path(a).value_or(a);
        if (!cl.activation_uri && text.starts_with(kActivationPrefix)) {
            cl.activation_uri = text;
        } else if (!cl.file_path && exists(path)) {
            cl.file_path = absolute_path(path);
        }
    }
    return cl;
}

std::string version_text() { return "Dovan 0.5.3\n"; }

std::vector<std::string> restart_arguments(const CommandLine& cl) {
    std::vector<std::string> args;
    if (cl.headless) args.emplace_back("--headless");
    if (cl.lan_port != kDefaultLanPort) {
        args.emplace_back("--lan-port");
        args.push_back(std::to_string(cl.lan_port));
    }
    return args;
}

std::string usage_text() {
    return "用法:\n"
           "  dovan [--minimized] [dovan://… | <文件路径>]   桌面窗口与托盘图标\n"
           "  dovan --headless [--lan-port <端口>]           无窗口的控制台前端（标准输入读命令，help 列出）\n"
           "\n"
           "选项:\n"
           "  --headless          不开窗口，用标准输入输出代替窗口\n"
           "  --minimized         登录时自启动用：不显示主窗口，只留托盘图标\n"
           "  --lan-port <端口>   局域网数据通道与发现广播的端口（默认 55676）\n"
           "  --help, -h          显示本说明\n"
           "  --version           显示版本\n"
           "\n"
           "参数:\n"
           "  dovan://…           通知按钮的链接，交给运行中的实例处理\n"
           "  <文件路径>          把这个文件交给运行中的实例，准备发送到手机\n"
           "  已有实例在运行时，再次启动只把请求转交给它，然后退出。\n"
           "\n"
           "环境变量:\n"
           "  APPDATA, LOCALAPPDATA   数据目录的上级目录（设置后优先）\n"
           "  XDG_DATA_HOME           未设置上面两项时的数据目录上级（默认 ~/.local/share）\n"
           "  XDG_RUNTIME_DIR         单实例锁与转交套接字所在目录（未设置时用数据目录）\n"
           "  XDG_CONFIG_HOME         开机自启动项 autostart/dovan.desktop 的上级（默认 ~/.config）\n"
           "  USERPROFILE, HOME       默认接收文件夹的上级（Downloads/Dovan）\n"
           "  DOVAN_SIM_RADIO         使用模拟蓝牙（目录为模拟电台所在位置）\n"
           "\n"
           "数据与日志:\n"
           "  数据目录: <上级>/Dovan（密钥、已信任手机、settings.ini）\n"
           "  日志目录: <数据目录>/Logs（dovan-debug.ndjson、dovan-debug.log；在设置里打开调试日志）\n";
}

SecondInstancePlan plan_second_instance(const CommandLine& cl) {
    if (cl.activation_uri) return {HandoffKind::Card, true, *cl.activation_uri};
    if (cl.file_path) return {HandoffKind::File, true, utf8_lossy(*cl.file_path)};
    if (cl.minimized) return {HandoffKind::Show, false, {}};
    return {HandoffKind::Show, true, std::string(kShowRequest)};
}

std::string_view handoff_kind_name(HandoffKind kind) {
    switch (kind) {
        case HandoffKind::Card: return "card";
        case HandoffKind::Show: return "show";
        case HandoffKind::File: return "file";
    }
    return "show";
}

std::string second_instance_line(const SecondInstancePlan& plan, bool delivered) {
    switch (plan.kind) {
        case HandoffKind::Card:
            return delivered ? "[Dovan] 已把通知卡上的这次点击转交给运行中的实例"
                             : "[Dovan] 运行中的实例未响应管道，这次点击作废";
        case HandoffKind::File:
            return delivered ? format_text("[Dovan] 已把 {} 转交给运行中的实例", plan.message)
                             : "[Dovan] 运行中的实例未响应管道，路径未转交";
        case HandoffKind::Show:
            return delivered ? "[Dovan] 已有实例在运行，本进程退出"
                             : "[Dovan] 已有实例在运行，但未能通知它，本进程退出";
    }
    return {};
}

}  // namespace dovan
