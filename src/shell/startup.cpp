#include "shell/startup.h"

#include <sys/stat.h>

#include "platform/debug_log.h"
#include "common/text.h"

namespace dovan {

int run_second_instance(const CommandLine& cl, const std::optional<std::filesystem::path>& socket) {
    const SecondInstancePlan plan = plan_second_instance(cl);
    const bool delivered = !plan.send || (socket && forward_to_running_instance(*socket, plan.message));
    emit_event(delivered ? LogLevel::Info : LogLevel::Warn, "ui", "ipc.forward",
               {{"kind", std::string(handoff_kind_name(plan.kind))}, {"ok", delivered ? "1" : "0"}});
    console_line(second_instance_line(plan, delivered));
    return 0;
}

void apply_startup_arguments(const CommandLine& cl, const HandoffHost& host) {
    SharedUi& ui = *host.activation.ui;
    if (cl.file_path) {
        const std::string path = utf8_lossy(*cl.file_path);
        if (!ui.modules().file_transfer()) {
            ui.lock()->add_notice(format_text("文件互传已关闭，{} 的转交没有接收", path));
            console_line("[Dovan] 文件互传已关闭，本次转交未接收");
        } else if (!readable_regular_file(*cl.file_path)) {
            ui.lock()->add_notice(format_text("收到一个外部发送请求，但 {} 不是本机可读的普通文件，已忽略", path));
            console_line(format_text("[Dovan] 转交路径不可用，已拒绝: {}", path));
        } else {
            struct stat st {};
            const std::uint64_t size = ::stat(cl.file_path->c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
            {
                auto g = ui.lock();
                g->send_box = path;
                g->send_queue.push_back(QueuedFile{path, size});
                if (host.queue_files) {
                    if (!g->requests.send_files) g->requests.send_files.emplace();
                    g->requests.send_files->push_back(path);
                }
                g->bump();
            }
            console_line(format_text("[Dovan] 启动参数文件已排队: {}", path));
        }
    }
    if (cl.activation_uri) handle_activation(*cl.activation_uri, host.activation);
}

std::unique_ptr<HandoffServer> start_handoff_server(const std::optional<std::filesystem::path>& socket,
                                                    bool replace_stale, HandoffHost host) {
    if (socket) {
        auto server = HandoffServer::start(*socket, replace_stale,
                                           [host = std::move(host)](std::string_view bytes) { dispatch_handoff(bytes, host); });
        if (server) return std::move(*server);
        console_line("[Dovan] 转交套接字创建失败: " + server.error().text);
    }
    console_line("[Dovan] 命名管道创建失败：dovan.exe <路径> 的转交不可用");
    return nullptr;
}

}  // namespace dovan

namespace dovan {

void restart_if_requested(SharedUi& ui, InstanceLock& lock, const CommandLine& cl) {
    if (!ui.lock()->restart_requested) return;
    console_line("[Dovan] 按功能开关改动重新启动");
    // The new process must find the lock free, or it would hand over to this one.
    lock.release();
    if (auto started = start_detached_self(restart_arguments(cl)); !started)
        console_line(format_text("[Dovan] 重新启动失败: {}（请手动重新打开 Dovan）", started.error().text));
}

}  // namespace dovan
