#include "shell/open_saved.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "common/text.h"
#include "platform/debug_log.h"

namespace dovan {

namespace fs = std::filesystem;

namespace {

// What a desktop hands to an interpreter, an installer or the loader instead of a viewer.
constexpr std::array<std::string_view, 46> kLaunching = {
    "desktop", "sh",   "bash",  "zsh",     "ksh",      "csh",       "fish",       "command", "run",   "py",
    "pyw",     "pyc",  "pyz",   "pl",      "rb",       "php",       "lua",        "tcl",     "js",    "jse",
    "mjs",     "vbs",  "vbe",   "wsf",     "wsh",      "ps1",       "psm1",       "exe",     "com",   "scr",
    "pif",     "cpl",  "msi",   "msp",     "bat",      "cmd",       "hta",        "lnk",     "reg",   "jar",
    "appimage", "deb", "rpm",   "flatpakref", "snap",  "application",
};

bool gone_or_replaced(const fs::path& path) {
    std::error_code ec;
    // Not followed: a link put where the file was points somewhere this program never saved.
    return !fs::is_regular_file(fs::symlink_status(path, ec));
}

std::string shown_name(const fs::path& path) { return path.filename().string(); }

}  // namespace

bool launching_name(std::string_view name) {
    // Trailing dots and spaces are dropped by some desktops when they pick a handler.
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    std::string ext(name.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return std::find(kLaunching.begin(), kLaunching.end(), ext) != kLaunching.end();
}

bool launches_program(const fs::path& path) {
    if (launching_name(path.filename().string())) return true;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) return true;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    std::array<char, 4> head{};
    const ssize_t n = ::read(fd, head.data(), head.size());
    ::close(fd);
    if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
    if (n >= 2 && head[0] == 'M' && head[1] == 'Z') return true;
    return n == 4 && std::memcmp(head.data(), "\x7f" "ELF", 4) == 0;
}

OpenPlan plan_open(const OpenRequest& request) {
    OpenPlan plan;
    const fs::path file(request.path);
    if (request.path.empty() || !file.is_absolute()) {
        plan.notice = "找不到这个文件的保存位置，没有打开";
        return plan;
    }
    const fs::path folder = file.parent_path();
    const bool gone = gone_or_replaced(file);
    if (gone) plan.notice = format_text("文件已不在原处（被移走、删除或替换）：{}", file.string());
    std::error_code ec;
    const bool folder_there = fs::is_directory(fs::symlink_status(folder, ec));
    if (request.what == OpenWhat::Folder || (!gone && launches_program(file))) {
        if (!folder_there) {
            plan.notice = format_text("收件目录已不在：{}", folder.string());
            return plan;
        }
        plan.target = folder.string();
        if (request.what == OpenWhat::File)
            plan.notice = format_text("{} 是程序或脚本，打开就会运行它：已改为打开所在文件夹，请确认来源后再自行处理",
                                      shown_name(file));
        return plan;
    }
    if (!gone) plan.target = file.string();
    return plan;
}

void open_saved(SharedUi& ui, const OpenRequest& request, const OpenFn& open) {
    OpenPlan plan = plan_open(request);
    if (plan.target && !open) plan.notice = std::string(kNoOpenerNotice);
    const bool opened = plan.target && open && open(*plan.target);
    if (plan.target && open && !opened) plan.notice = format_text("没能用系统默认程序打开：{}", *plan.target);
    if (plan.notice) {
        ui.lock()->add_notice(*plan.notice);
        ui.post_repaint();
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "ui", "file.open",
                   {{"what", request.what == OpenWhat::File ? "file" : "folder"},
                    {"target", plan.target ? *plan.target : std::string()},
                    {"ok", opened ? "true" : "false"}});
}

}  // namespace dovan
