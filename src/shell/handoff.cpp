#include "shell/handoff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/debug_log.h"
#include "common/text.h"

namespace dovan {

bool readable_regular_file(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; O_NOFOLLOW: a link is refused.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

HandoffOutcome dispatch_handoff(std::string_view bytes, const HandoffHost& host) {
    if (bytes == kShowRequest) {
        if (host.activation.show_window) host.activation.show_window();
        return HandoffOutcome::Shown;
    }
    const std::string decoded = utf8_lossy(bytes);
    const std::string text(trim_white(decoded));
    if (text.empty()) return HandoffOutcome::Ignored;
    if (text.starts_with(kActivationPrefix)) {
        handle_activation(text, host.activation);
        return HandoffOutcome::Activation;
    }

    SharedUi& ui = *host.activation.ui;
    if (!ui.modules().file_transfer()) {
        {
            auto g = ui.lock();
            g->add_notice(format_text("文件互传已关闭，{} 的转交没有接收", text));
        }
        ui.post_repaint();
        console_line("[Dovan] 文件互传已关闭，本次转交未接收");
        return HandoffOutcome::TransfersOff;
    }
    // A path must not start with a NUL (which no file name holds) or be relative: another
    // process's working folder means nothing here.
    if (text.front() != '/' || text.find('\0') != std::string::npos || !readable_regular_file(text)) {
        {
            auto g = ui.lock();
            g->add_notice(format_text("收到一个外部发送请求，但 {} 不是本机可读的普通文件，已忽略", text));
        }
        ui.post_repaint();
        console_line(format_text("[Dovan] 转交路径不可用，已拒绝: {}", text));
        return HandoffOutcome::FileRejected;
    }
    {
        auto g = ui.lock();
        g->send_box = text;
        g->page = Page::Files;
        g->focus = InputFocus::SendBox;
        if (host.queue_files) {
            if (!g->requests.send_files) g->requests.send_files.emplace();
            g->requests.send_files->push_back(text);
        }
        g->bump();
    }
    if (host.queue_files) {
        console_line(format_text("[Dovan] 已把 {} 排进发送队列", text));
    } else {
        console_line(format_text("[Dovan] 已把 {} 填进发送框，按「发送」确认", text));
    }
    ui.post_repaint();
    if (host.activation.show_window) host.activation.show_window();
    return HandoffOutcome::FileAccepted;
}

}  // namespace dovan
