#include "features/file_send.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/debug_log.h"
#include "protocol/frame.h"
#include "protocol/messages.h"

namespace dovan {

namespace fs = std::filesystem;

struct FileSend::Job {
    std::string path;
    std::string name;
    std::uint64_t id = 0;
    std::uint64_t size = 0;
    std::uint32_t chunks = 0;
    std::uint32_t next = 0;
    std::optional<ChunkReader> reader;
    FileHasher hasher;
    std::uint64_t pending_prefix = 0;
    std::optional<FileDigest> digest;
    std::uint32_t rounds = 0;
    std::optional<std::uint32_t> pending_resume;
    std::optional<Instant> ack_deadline;
    Chunk buffer;  // reused for every chunk read
};

namespace {

const char* bool_text(bool b) { return b ? "true" : "false"; }

std::uint64_t make_file_id(std::uint64_t wall_ms) {
    static std::atomic<std::uint64_t> counter{1};
    const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    return (std::max<std::uint64_t>(wall_ms, 1) << 16) | (n % 65536);
}

std::string file_name_of(const std::string& path) { return fs::path(path).filename().string(); }

}  // namespace

FileSend::FileSend(FeatureHost& host) : host_(host) {}
FileSend::~FileSend() = default;

std::optional<std::uint64_t> FileSend::job_id() const {
    if (!job_) return std::nullopt;
    return job_->id;
}

std::uint8_t FileSend::progress() const {
    if (!job_ || job_->chunks == 0) return 100;
    return static_cast<std::uint8_t>(std::uint64_t{std::min(job_->next, job_->chunks)} * 100 / job_->chunks);
}

void FileSend::row(std::string_view name, std::string_view status, std::uint8_t percent) {
    auto g = host_.ui().lock();
    g->update_transfer_row(TransferDirection::Send, name, percent, status, host_.clock().now());
}

bool FileSend::can_send_chunks() const {
    if (!job_ || job_->ack_deadline || !job_->reader) return false;
    Engine* e = const_cast<FeatureHost&>(host_).engine();
    return e && e->tcp_bound() && e->tcp_out().size() < kSendWindowFrames;
}

std::optional<Instant> FileSend::next_deadline() const {
    if (!job_) return std::nullopt;
    if (job_->pending_resume || can_send_chunks()) return host_.clock().now();
    return job_->ack_deadline;
}

bool FileSend::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::FileDoneReceived: {
            const auto* done = event.as<FileDoneReceivedEvent>();
            if (!job_ || job_->id != done->file_id) {
                // The receiver had its turn first, so nobody knows this id.
                if (debug_log_enabled())
                    emit_event(LogLevel::Warn, "transfer", "recv.done_no_session",
                               {{"file_id", hex_id(done->file_id)}, {"ok", bool_text(done->ok)}});
                return true;
            }
            on_peer_done(*done);
            return true;
        }
        case AppEventKind::ResumeRequested: {
            const auto* r = event.as<ResumeRequestedEvent>();
            on_resume_request(r->file_id, r->chunk_index);
            return true;
        }
        case AppEventKind::TransferInterrupted: {
            const auto* e = event.as<TransferInterruptedEvent>();
            if (!job_ || job_->id != e->file_id) return false;
            const std::string name = job_->name;
            job_.reset();
            row(name, "失败", 0);
            host_.push_notice(format_text("文件发送失败（{}）: {}", name, e->text));
            return true;
        }
        case AppEventKind::TransferCancelled: {
            const auto* e = event.as<TransferCancelledEvent>();
            if (!job_ || job_->id != e->file_id) return false;
            const std::string name = job_->name;
            job_.reset();
            row(name, "已取消", 0);
            host_.ui().lock()->queue_system_notification({"发送已取消", format_text("{}：{}", name, e->reason), {}, {}});
            return true;
        }
        default:
            return false;
    }
}

void FileSend::on_requests(UiRequests& requests) {
    if (requests.send_files) {
        auto paths = std::move(*requests.send_files);
        requests.send_files.reset();
        enqueue_files(std::move(paths));
    }
    if (requests.cancel && requests.cancel->direction == TransferDirection::Send) {
        const std::string name = std::move(requests.cancel->name);
        requests.cancel.reset();
        cancel_send(name);
    }
}

void FileSend::enqueue_files(std::vector<std::string> paths) {
    if (!host_.modules().file_transfer()) {
        host_.push_notice("文件传输已关闭：请到「功能」页重新开启并重新启动");
        return;
    }
    if (paths.empty()) {
        host_.push_notice("请先选择要发送的文件");
        return;
    }
    if (queue_.size() >= kSendQueueMax) {
        host_.push_notice(format_text("待发队列已满（上限 {} 个文件），等这批发完再选", kSendQueueMax));
        return;
    }
    std::size_t taken = 0;
    for (auto& p : paths) {
        if (queue_.size() >= kSendQueueMax) break;
        queue_.push_back(std::move(p));
        ++taken;
    }
    if (taken < paths.size()) host_.push_notice(format_text("一次最多排队 {} 个文件，这批多出来的没有排上", kSendQueueMax));
}

void FileSend::on_link(const LinkChange& change) {
    if (change.kind != LinkChange::Kind::Unbound) return;
    if (job_) {
        const std::string name = job_->name;
        job_.reset();
        row(name, "已取消", 0);
        host_.ui().lock()->queue_system_notification({"发送已取消", format_text("{}：设备已解绑", name), {}, {}});
    }
    if (!queue_.empty()) {
        host_.push_notice(format_text("{} 还在排队就被取消：设备已解绑", queue_.front()));
        if (queue_.size() > 1)
            host_.push_notice(format_text("这一批还有 {} 个文件在排队，一并作废（设备已解绑）", queue_.size() - 1));
        queue_.clear();
    }
}

void FileSend::step(TurnStep at, Instant now) {
    if (at == TurnStep::FileSending) send_step(now);
}

void FileSend::send_step(Instant now) {
    // 1. The wait for the phone's answer.
    if (job_ && job_->ack_deadline) {
        if (job_->pending_resume) {
            job_->ack_deadline.reset();
            if (debug_log_enabled())
                emit_event(LogLevel::Warn, "transfer", "send.resume_in_ack_window", {{"file_id", hex_id(job_->id)}});
        } else if (now < *job_->ack_deadline) {
            return;
        } else {
            const std::string name = job_->name;
            job_.reset();
            row(name, "已发送（未确认）", 100);
            host_.push_notice(format_text("文件 {} 没有收到对端回执，不能判定为已完成", name));
            return;
        }
    }
    // 2. Start the next file.
    if (!job_ && !queue_.empty()) start_job(now);
    // 3. A resume adopted since the last turn.
    if (job_ && job_->pending_resume) {
        const std::uint32_t k = *job_->pending_resume;
        job_->pending_resume.reset();
        auto reader = open_at_chunk(job_->path, k, job_->hasher, job_->pending_prefix);
        if (!reader) {
            fail_send(format_text("续传失败: {}", reader.error().display()));
            return;
        }
        job_->reader.emplace(std::move(*reader));
        job_->next = k;
    }
    // 4. Chunks.
    send_chunks(now);
}

void FileSend::start_job(Instant now) {
    (void)now;
    const std::string path = queue_.front();
    Engine* e = host_.engine();
    if (!e || e->state() != EngineState::Paired) {
        // A paired phone that went away comes back through a new session: the file waits
        // for it, as the queue promised. Only with no phone paired at all does it end here.
        const bool phone_bound = !host_.ui().lock()->bound_devices.empty();
        if (phone_bound) {
            row(file_name_of(path), "等待 TCP 通道", 0);
            return;
        }
        queue_.pop_front();
        row(file_name_of(path), "未发送（未配对）", 0);
        host_.push_notice(format_text("未配对，{} 没有发送（请先在连接页与手机配对后重试）", path));
        return;
    }
    if (!e->tcp_bound()) {
        row(file_name_of(path), "等待 TCP 通道", 0);
        return;
    }
    queue_.pop_front();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        host_.push_notice(format_text("打开文件失败（{}）: {}", path, errno_text(errno)));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        host_.push_notice(format_text("路径不是文件: {}", path));
        return;
    }
    const std::string name = file_name_of(path);
    if (name.empty()) {
        host_.push_notice(format_text("无法从路径解析文件名: {}", path));
        return;
    }
    auto job = std::make_unique<Job>();
    job->path = path;
    job->name = name;
    job->id = make_file_id(host_.clock().wall_ms());
    std::uint64_t no_prefix = 0;
    auto reader = open_at_chunk(path, 0, job->hasher, no_prefix);
    if (!reader) {
        host_.push_notice(format_text("创建发送任务失败: {}", reader.error().display()));
        return;
    }
    // The size is what the open file holds, not what lstat saw a moment before.
    job->size = static_cast<std::uint64_t>(st.st_size);
    job->chunks = chunk_count(job->size);
    job->reader.emplace(std::move(*reader));
    e->set_transfer_lock({LockChannel::Tcp, job->id});
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.meta.send",
                   {{"file_id", hex_id(job->id)},
                    {"size", std::to_string(job->size)},
                    {"channel", "tcp"},
                    {"chunks", std::to_string(job->chunks)}});
    pb::FileMeta meta;
    meta.set_name(name);
    meta.set_size(job->size);
    meta.set_file_id(job->id);
    meta.set_chunk_size(kChunkSize);
    if (!e->send_business(FILE_META, encode_file_meta(meta), host_.clock().wall_ms(), false)) {
        e->set_transfer_lock({});
        host_.push_notice("FILE_META 发送失败（会话未就绪）");
        return;
    }
    job_ = std::move(job);
    {
        auto g = host_.ui().lock();
        g->update_transfer_row(TransferDirection::Send, name, 0, "发送中", host_.clock().now());
        if (TransferRow* r = g->find_transfer_row(TransferDirection::Send, name)) r->size = job_->size;
    }
    host_.request_repaint();
}

void FileSend::send_chunks(Instant now) {
    if (!job_ || job_->ack_deadline) return;
    Engine* e = host_.engine();
    if (!e || !e->tcp_bound()) {
        row(job_->name, "等待 TCP 通道", progress());
        return;
    }
    if (e->tcp_out().size() >= kSendWindowFrames) {
        row(job_->name, "等待链路排空", progress());
        return;
    }
    for (std::size_t n = kSendWindowFrames - e->tcp_out().size(); n > 0; --n) {
        Job& j = *job_;
        auto more = j.reader->next_into(j.buffer);
        if (!more) {
            fail_send(format_text("读取文件失败: {}", more.error().display()));
            return;
        }
        if (!*more) {
            end_of_file(now);
            return;
        }
        const Chunk& c = j.buffer;
        if (e->is_cancelled(j.id)) {
            e->note_late_frame("chunk-send", j.id, format_text("取消后仍被递来第 {} 块（{} B）", c.index, c.data.size()));
            return;
        }
        const TransferLock lock = e->transfer_lock();
        if (lock.channel == LockChannel::Tcp && lock.file_id != j.id) {
            on_event({AppEventKind::TransferInterrupted,
                      TransferInterruptedEvent{j.id, "当前已有另一条文件传输占用通道，稍后再试"}});
            return;
        }
        if (lock.channel != LockChannel::Tcp && lock.channel != LockChannel::Ble) {
            on_event({AppEventKind::TransferInterrupted,
                      TransferInterruptedEvent{j.id, "未先发送 FILE_META 就发来了分块，文件未发送"}});
            return;
        }
        if (!e->send_file_chunk(FileChunkView{j.id, c.index, c.data, c.crc32}, host_.clock().wall_ms())) {
            // Not queued: the same chunk is read again when there is room.
            auto again = open_at_chunk(j.path, c.index, j.hasher, j.pending_prefix);
            if (again) j.reader.emplace(std::move(*again));
            break;
        }
        j.next = c.index + 1;
        if (j.pending_prefix != 0) {
            fail_send(format_text("整文件摘要累计失败: {}", format_text("续传前缀仍有 {}B 未补入摘要", j.pending_prefix)));
            return;
        }
        j.hasher.update(c);
    }
    row(job_->name, "发送中", progress());
}

void FileSend::end_of_file(Instant now) {
    Job& j = *job_;
    if (j.pending_prefix != 0 || j.hasher.bytes() != j.size) {
        fail_send("整文件摘要没算全（分块与摘要不同步）");
        return;
    }
    if (!j.digest) j.digest = j.hasher.finish();
    Engine* e = host_.engine();
    const Bytes sha(j.digest->sha256.begin(), j.digest->sha256.end());
    if (e && e->send_file_done(j.id, true, std::nullopt, sha, false, host_.clock().wall_ms())) {
        j.ack_deadline = now + kSendAckWait;
        row(j.name, "等待对端确认", 100);
        return;
    }
    const std::string name = j.name;
    job_.reset();
    row(name, "已发完（结束帧未发出）", 100);
    host_.push_notice(format_text("文件 {} 的结束帧没能发出，对端可能一直显示传输中", name));
}

void FileSend::on_resume_request(std::uint64_t file_id, std::uint32_t from) {
    if (!job_) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "transfer", "send.resume_unhandled",
                       {{"file_id", hex_id(file_id)}, {"from", std::to_string(from)}, {"why", "本机没有在途发送任务"}});
        return;
    }
    Job& j = *job_;
    if (j.id != file_id) return;
    if (j.rounds >= kMaxResumeRounds) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "transfer", "send.resume_capped",
                       {{"file_id", hex_id(file_id)}, {"rounds", std::to_string(j.rounds)}});
        return;
    }
    if (from > j.next || from > j.chunks) return;
    j.pending_prefix = std::min<std::uint64_t>(j.size, std::uint64_t{from} * kChunkSize);
    j.hasher = FileHasher();
    j.digest.reset();
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "transfer", "resume.adopt", {{"file_id", hex_id(file_id)}, {"index", std::to_string(from)}});
    j.rounds += 1;
    j.next = from;
    j.pending_resume = from;
    row(j.name, "续传中", progress());
}

void FileSend::on_peer_done(const FileDoneReceivedEvent& done) {
    const std::string name = job_->name;
    job_.reset();
    if (done.ok) {
        row(name, "已完成", 100);
        host_.ui().lock()->queue_system_notification({"文件已送达", format_text("{}：对端校验通过", name), {}, {}});
    } else {
        row(name, "失败", 0);
        host_.push_notice(format_text("对端拒收（{}）: {}", name, done.error.empty() ? std::string("对端未说明原因") : done.error));
    }
    host_.request_repaint();
}

void FileSend::fail_send(std::string_view reason) {
    if (!job_) return;
    const std::string name = job_->name;
    const std::uint64_t id = job_->id;
    job_.reset();
    if (Engine* e = host_.engine()) e->send_file_done(id, false, std::string(reason), std::nullopt, false, host_.clock().wall_ms());
    row(name, "失败", 0);
    host_.push_notice(format_text("文件发送失败（{}）: {}", name, reason));
}

void FileSend::cancel_send(const std::string& name) {
    if (!job_ || job_->name != name) {
        auto it = std::find_if(queue_.begin(), queue_.end(), [&](const std::string& p) { return file_name_of(p) == name; });
        if (it != queue_.end()) {
            queue_.erase(it);
            row(name, "已取消", 0);
            return;
        }
        host_.push_notice(format_text(
            "「{}」已经不在途了，这一下没有可取消的传输（终态行不会画「取消」，请看该行当前状态）", name));
        return;
    }
    Engine* e = host_.engine();
    if (!e) {
        host_.push_notice(format_text("取消「{}」失败：本机会话已不存在", name));
        return;
    }
    const std::uint64_t id = job_->id;
    bool sent = false;
    if (!e->is_cancelled(id)) {
        e->add_cancelled(id);
        sent = e->send_file_done(id, false, std::string("电脑端已取消"), std::nullopt, true, host_.clock().wall_ms());
    }
    if (debug_log_enabled()) {
        emit_event(LogLevel::Warn, "session", "file.cancel.send", {{"file_id", hex_id(id)}, {"done_sent", bool_text(sent)}});
        emit_event(LogLevel::Warn, "ui", "file.cancel.click", {{"dir", "send"}, {"name", name}, {"frame_sent", bool_text(sent)}});
    }
    on_event({AppEventKind::TransferCancelled,
              TransferCancelledEvent{id, sent ? std::string("电脑端已取消")
                                              : format_text("{}（结束帧未能发出，对方那侧可能还停在传输中）", name)}});
}

}  // namespace dovan
