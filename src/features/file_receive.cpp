#include "features/file_receive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/debug_log.h"
#include "platform/files.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "transfer/filename.h"

namespace dovan {

namespace fs = std::filesystem;

struct FileReceive::Session {
    std::uint64_t id = 0;
    std::string name;        // the final file name it is meant to take
    fs::path folder;
    std::string safe_name;   // the name before numbering
    std::uint32_t variant = 0;
    fs::path work_path;      // where the bytes go
    std::unique_ptr<ChunkSink> sink;  // the working file, written and hashed off the core
    std::uint64_t size = 0;
    std::uint32_t chunk_size = 1;
    std::uint64_t next = 0;  // 64 bits: 4 GiB in 1-byte chunks has more than 2^32 of them
    std::uint64_t received = 0;
    std::optional<Bytes> digest;
    struct Early {
        Bytes data;
        std::uint32_t crc = 0;
    };
    std::map<std::uint64_t, Early> early;
    std::uint64_t early_bytes = 0;
    std::uint64_t photo_id = 0;
    std::optional<std::uint64_t> waiting;
    std::uint32_t tries = 0;
    std::optional<Instant> hold;

    std::uint64_t expected() const { return (size + chunk_size - 1) / chunk_size; }
    std::uint8_t percent() const {
        if (size == 0) return 100;
        return static_cast<std::uint8_t>(std::min(received, size) * 100 / size);
    }
};

namespace {

const char* bool_text(bool b) { return b ? "true" : "false"; }

std::string digest_fragment(ByteView d) { return hex_lower(d.first(std::min<std::size_t>(6, d.size()))) + "…"; }

void warn(std::string_view module, std::string_view event, DebugFields fields = {}) {
    if (debug_log_enabled()) emit_event(LogLevel::Warn, module, event, std::move(fields));
}

}  // namespace

FileReceive::FileReceive(FeatureHost& host) : host_(host), free_space_(files::free_space) {}

FileReceive::~FileReceive() = default;

bool FileReceive::has_session(std::uint64_t file_id) const {
    return std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->id == file_id; });
}

std::unique_ptr<FileReceive::Session> FileReceive::take(std::uint64_t file_id) {
    auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->id == file_id; });
    if (it == sessions_.end()) return nullptr;
    auto s = std::move(*it);
    sessions_.erase(it);
    return s;
}

std::uint64_t FileReceive::early_total() const {
    std::uint64_t total = 0;
    for (const auto& s : sessions_) total += s->early_bytes;
    return total;
}

void FileReceive::row(const Session& s, std::string_view status, std::optional<std::uint8_t> percent) {
    auto g = host_.ui().lock();
    g->update_transfer_row(TransferDirection::Receive, s.name, percent.value_or(s.percent()), status,
                           host_.clock().now());
}

bool FileReceive::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::FileMetaReceived:
            if (!host_.modules().file_transfer()) return true;
            on_file_meta(*event.as<FileMetaReceivedEvent>());
            return true;
        case AppEventKind::FileDoneReceived: {
            const auto* done = event.as<FileDoneReceivedEvent>();
            if (!has_session(done->file_id)) return false;
            on_file_done(*done);
            return true;
        }
        case AppEventKind::TransferInterrupted: {
            const auto* e = event.as<TransferInterruptedEvent>();
            if (!has_session(e->file_id)) return false;
            on_transfer_failed(e->file_id, e->text);
            return true;
        }
        case AppEventKind::TransferCancelled: {
            const auto* e = event.as<TransferCancelledEvent>();
            on_file_cancel(e->file_id, e->reason);
            return true;
        }
        default:
            return false;
    }
}

void FileReceive::on_requests(UiRequests& requests) {
    if (!requests.cancel || requests.cancel->direction != TransferDirection::Receive) return;
    const std::string name = std::move(requests.cancel->name);
    requests.cancel.reset();
    cancel_by_user(name);
}

void FileReceive::step(TurnStep at, Instant now) {
    if (at == TurnStep::ReceivedChunks) {
        end_failed_writes();
        on_chunks(std::nullopt);
    }
    if (at == TurnStep::ReceiveHolds) check_holds(now);
}

void FileReceive::on_link(const LinkChange& change) {
    switch (change.kind) {
        case LinkChange::Kind::EngineGone:
            drop_all_receives();
            return;
        case LinkChange::Kind::Unbound: {
            for (auto& s : std::exchange(sessions_, {})) {
                s->sink.reset();
                std::string body = format_text("{}：设备已解绑", s->name);
                if (!s->work_path.empty()) {
                    if (::unlink(s->work_path.c_str()) == 0 || errno == ENOENT) {
                        body = format_text("{}：设备已解绑，没收完的半截文件已删除", s->name);
                    } else {
                        host_.push_notice(format_text("接收已取消（{}），但半截文件没删掉，请手动清理：{}", s->name,
                                                      errno_text(errno)));
                    }
                }
                row(*s, "已取消");
                host_.ui().lock()->queue_system_notification({"接收已取消", body, {}, {}});
                if (album_ && s->photo_id != 0)
                    album_->full_size_done(s->photo_id, false, format_text("{}：设备已解绑，接收中断", s->name), {});
            }
            return;
        }
        default:
            return;
    }
}

std::optional<Instant> FileReceive::next_deadline() const {
    std::optional<Instant> first;
    for (const auto& s : sessions_)
        if (s->hold && (!first || *s->hold < *first)) first = s->hold;
    return first;
}

void FileReceive::tell_phone(std::uint64_t file_id, bool ok, std::string_view reason) {
    Engine* e = host_.engine();
    if (!e) {
        warn("file", "无引擎句柄，拒绝原因无法回给发送侧");
        return;
    }
    std::optional<std::string> error;
    if (!ok) error = std::string(reason);
    if (!e->send_file_done(file_id, ok, error, std::nullopt, false, host_.clock().wall_ms()))
        warn("file", "拒绝回执未能发出（引擎拒绝），发送侧将看不到失败原因");
}

void FileReceive::reject(std::uint64_t file_id, std::uint64_t photo_id, std::string_view reason,
                         std::string_view detail) {
    host_.push_notice(format_text("已拒绝接收：{}", detail));
    tell_phone(file_id, false, reason);
    if (album_ && photo_id != 0) album_->full_size_done(photo_id, false, detail, {});
}

void FileReceive::on_file_meta(const FileMetaReceivedEvent& meta) {
    if (meta.chunk_size < 1 || meta.chunk_size > kMaxChunkSize) {
        reject(meta.file_id, meta.album_id, "分块大小非法", format_text("文件分块大小非法（{}）", meta.chunk_size));
        return;
    }
    if (meta.size > kMaxReceiveSize) {
        reject(meta.file_id, meta.album_id, "文件超过本机接收上限",
               format_text("文件超过本机接收上限（{} B > {} B）", meta.size, kMaxReceiveSize));
        return;
    }
    const SanitizedName safe = sanitize_file_name(meta.name);
    // The same id again restarts that file from nothing.
    if (auto old = take(meta.file_id)) {
        old->sink.reset();
        ::unlink(old->work_path.c_str());
    }
    // The phone may open as many ids as it likes; each costs a descriptor and early memory.
    if (sessions_.size() >= kMaxReceiveSessions) {
        reject(meta.file_id, meta.album_id, "同时接收的文件过多",
               format_text("已有 {} 个文件在接收，{} 被拒收", kMaxReceiveSessions, safe.name));
        return;
    }
    fs::path folder;
    if (meta.album_id == 0) {
        std::string inbox = host_.ui().lock()->settings.inbox;
        folder = inbox.empty() ? fs::path(default_inbox_from_env()) : fs::path(inbox);
    } else if (!album_) {
        reject(meta.file_id, meta.album_id, "本机没有在导出相册",
               format_text("{} 是相册原图，但本机没有在导出相册", safe.name));
        return;
    } else {
        auto where = album_->full_size_folder(meta.album_id);
        if (const auto* refused = std::get_if<FullSizeRefusal>(&where)) {
            if (!refused->silent) {
                reject(meta.file_id, meta.album_id, refused->reason, refused->detail);
                return;
            }
            // A withdrawn drag-out: only the phone hears of it.
            tell_phone(meta.file_id, false, refused->reason);
            album_->full_size_done(meta.album_id, false, refused->reason, {});
            return;
        }
        folder = std::get<fs::path>(std::move(where));
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        reject(meta.file_id, meta.album_id, "创建落盘目录失败",
               format_text("创建落盘目录失败（{}）: {}", folder.string(), ec.message()));
        return;
    }
    if (auto free = free_space_ ? free_space_(folder) : std::nullopt; !free) {
        warn("transfer", "recv.freespace_unknown", {{"file_id", hex_id(meta.file_id)}, {"dir", folder.string()}});
    } else if (*free < meta.size) {
        reject(meta.file_id, meta.album_id, "本机空间不足",
               format_text("本机空间不足：需要 {} B，{} 所在卷可用 {} B", meta.size, folder.string(), *free));
        return;
    }
    auto work = create_working(folder, safe.name, kPartialSuffix);
    if (!work) {
        if (work.error().too_many) {
            reject(meta.file_id, meta.album_id, "同名文件过多，未覆盖已有文件",
                   format_text("{} 里同名文件已多于 999 个，为不覆盖任何已有文件而拒收", folder.string()));
        } else {
            reject(meta.file_id, meta.album_id, "创建接收文件失败",
                   format_text("创建接收文件 {} 失败: {}", work.error().path.string(), work.error().text));
        }
        return;
    }
    auto s = std::make_unique<Session>();
    s->name = work->name;
    s->folder = folder;
    s->safe_name = safe.name;
    s->variant = work->variant;
    s->work_path = work->path;
    s->sink = writer_.sink(std::move(work->file));
    s->id = meta.file_id;
    s->size = meta.size;
    s->chunk_size = meta.chunk_size;
    s->digest = meta.sha256;
    s->photo_id = meta.album_id;
    auto& ref = *s;
    sessions_.push_back(std::move(s));
    {
        auto g = host_.ui().lock();
        g->update_transfer_row(TransferDirection::Receive, ref.name, 0, "接收中", host_.clock().now());
        if (TransferRow* r = g->find_transfer_row(TransferDirection::Receive, ref.name)) r->size = ref.size;
    }
    host_.request_repaint();
}

void FileReceive::on_chunks(std::optional<std::uint64_t> only_file) {
    Engine* e = host_.engine();
    if (!e) return;
    std::vector<ReceivedChunk> all = e->take_chunks();
    if (all.empty()) return;
    std::vector<ReceivedChunk> batch;
    if (!only_file) {
        batch = std::move(all);
    } else {
        // Only this file's chunks now; the others wait their turn in the engine.
        std::vector<ReceivedChunk> rest;
        for (auto& c : all) (c.file_id == *only_file ? batch : rest).push_back(std::move(c));
        e->put_back_chunks(std::move(rest));
    }
    for (ReceivedChunk& c : batch) {
        auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->id == c.file_id; });
        if (it == sessions_.end()) {
            if (debug_log_enabled())
                emit_event(LogLevel::Warn, "file", "orphan_chunk",
                           {{"file_id", hex_id(c.file_id)},
                            {"index", std::to_string(c.index)},
                            {"len", std::to_string(c.data.size())},
                            {"recv_sessions", std::to_string(sessions_.size())}});
            continue;
        }
        on_chunk(**it, c);
    }
    host_.request_repaint();
}

void FileReceive::on_chunk(Session& s, ReceivedChunk& c) {
    if (crc32(c.data) != c.crc32) {
        request_resend(s, s.next, "分块 CRC32 校验失败");
        return;
    }
    const std::uint64_t index = c.index;
    if (index < s.next) return;
    if (index > s.next) {
        if (s.early_bytes + c.data.size() > kEarlyBytesPerSession ||
            early_total() + c.data.size() > kEarlyBytesTotal || index * s.chunk_size >= s.size) {
            request_resend(s, s.next, "分块序号不连续");
            return;
        }
        auto& slot = s.early[index];
        s.early_bytes -= slot.data.size();
        slot = {std::move(c.data), c.crc32};
        s.early_bytes += slot.data.size();
        return;
    }
    if (!write_chunk(s, c.index, std::move(c.data), c.crc32)) return;
    while (!s.early.empty() && s.early.begin()->first == s.next) {
        auto node = s.early.extract(s.early.begin());
        s.early_bytes -= node.mapped().data.size();
        if (!write_chunk(s, static_cast<std::uint32_t>(node.key()), std::move(node.mapped().data), node.mapped().crc))
            return;
    }
}

namespace {

std::string write_failure_text(std::string_view name, const ChunkWriteFailure& f) {
    return format_text("文件落盘失败：{}（偏移 {}）: {}", name, f.offset, errno_text(f.error));
}

}  // namespace

bool FileReceive::write_chunk(Session& s, std::uint32_t index, Bytes data, std::uint32_t crc) {
    const std::uint64_t offset = std::uint64_t{index} * s.chunk_size;
    if (offset + data.size() > s.size) {
        end_with_error(take(s.id),
                       format_text("分块越出声明长度：{} 第 {} 块 @偏移 {} +{} B > {} B", s.name, index, offset,
                                   data.size(), s.size),
                       "接收写入失败");
        return false;
    }
    const std::size_t length = data.size();
    s.sink->write(offset, std::move(data), crc);
    if (auto failed = s.sink->failure()) {
        end_with_error(take(s.id), write_failure_text(s.name, *failed), "接收写入失败");
        return false;
    }
    s.next += 1;
    s.received += length;
    s.waiting.reset();
    if (s.hold) s.hold = host_.clock().now() + kReceiveHold;
    row(s, "接收中");
    return true;
}

void FileReceive::end_failed_writes() {
    for (std::size_t i = 0; i < sessions_.size();) {
        Session& s = *sessions_[i];
        if (auto failed = s.sink->failure()) {
            end_with_error(take(s.id), write_failure_text(s.name, *failed), "接收写入失败");
            continue;
        }
        ++i;
    }
}

// The session ends and its half-written bytes go with it.
void FileReceive::end_with_error(std::unique_ptr<Session> s, std::string_view detail, std::string_view reason) {
    if (!s) return;
    s->sink.reset();
    ::unlink(s->work_path.c_str());
    row(*s, "失败");
    host_.push_notice(format_text("已拒绝接收：{}", detail));
    tell_phone(s->id, false, reason);
    if (album_ && s->photo_id != 0)
        album_->full_size_done(s->photo_id, false, format_text("{}：{}", s->name, detail), {});
}

void FileReceive::request_resend(Session& s, std::uint64_t index, std::string_view reason) {
    if (s.waiting == index) return;
    s.waiting = index;
    s.tries += 1;
    if (s.tries <= kMaxResendTries) {
        if (Engine* e = host_.engine())
            e->send_file_resume(s.id, static_cast<std::uint32_t>(index), host_.clock().wall_ms());
        row(s, "重传中");
        host_.push_notice(format_text("{}；已请求对端从第 {} 块重传", reason, index));
        return;
    }
    const std::uint32_t tries = s.tries;
    end_with_error(take(s.id), format_text("{}；续传 {} 次仍未成功，已放弃接收", reason, tries), "续传多次仍未成功");
}

void FileReceive::on_file_done(const FileDoneReceivedEvent& done) {
    on_chunks(done.file_id);
    auto s = take(done.file_id);
    if (!s) return;  // a write failure while catching up ended it
    if (!done.ok) {
        fail_session(std::move(s), done.error.empty() ? std::string_view("对端报告失败") : done.error);
        return;
    }
    const std::uint64_t expected = s->expected();
    const bool short_of_data = s->next < expected || s->received != s->size;
    if (s->tries < kMaxResendTries && short_of_data) {
        s->hold = host_.clock().now() + kReceiveHold;
        s->tries += 1;
        s->waiting = s->next;
        if (Engine* e = host_.engine())
            e->send_file_resume(s->id, static_cast<std::uint32_t>(s->next), host_.clock().wall_ms());
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "transfer", "recv.hold_for_resume",
                       {{"file_id", hex_id(s->id)},
                        {"from", std::to_string(s->next)},
                        {"tries", std::to_string(s->tries)}});
        row(*s, "重传中");
        host_.push_notice(format_text("{}：对端说发完了但本机缺第 {} 块，正在等它补发", s->name, s->next));
        sessions_.push_back(std::move(s));
        return;
    }
    finish(std::move(s), done.sha256);
}

void FileReceive::check_holds(Instant now) {
    auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->hold && *s->hold <= now; });
    if (it == sessions_.end()) return;
    auto s = take((*it)->id);
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "transfer", "recv.hold_expired",
                   {{"file_id", hex_id(s->id)}, {"from", std::to_string(s->next)}});
    if (s->next >= s->expected() && s->received == s->size) {
        finish(std::move(s), std::nullopt);
        return;
    }
    const std::string text = format_text("等对端从第 {} 块补发超时，文件不完整", s->next);
    tell_phone(s->id, false, text);
    fail_session(std::move(s), text);
}

void FileReceive::finish(std::unique_ptr<Session> s, const std::optional<Bytes>& done_digest) {
    const bool complete = s->received == s->size && s->next >= s->expected();
    const ChunkSinkResult written = s->sink->finish();
    s->sink.reset();
    if (written.failure) {
        const std::string detail = write_failure_text(s->name, *written.failure);
        end_with_error(std::move(s), detail, "接收写入失败");
        return;
    }
    const bool flushed = written.flushed;
    const FileDigest& local = written.digest;
    const std::uint64_t on_disk = written.on_disk;
    const std::optional<Bytes>& expected = done_digest ? done_digest : s->digest;
    const ByteView mine(local.sha256.data(), local.sha256.size());
    const bool same = expected && expected->size() == mine.size() && std::equal(mine.begin(), mine.end(), expected->begin());
    const bool whole = complete && on_disk == s->size;
    bool ok = whole && flushed && same;
    fs::path shown = s->work_path;
    // Verified bytes that could not take a final name stay under the working name.
    std::optional<CreateUniqueError> unplaced;
    if (ok) {
        auto placed = claim_final_name(s->work_path, s->variant, s->folder, s->safe_name, kPartialSuffix);
        if (placed) {
            // The folder sync makes the new name survive a crash.
            files::sync_dir(s->folder);
            shown = *placed;
        } else {
            ok = false;
            unplaced = std::move(placed).error();
        }
    } else if (whole && flushed) {
        // Whole but wrong or unprovable bytes keep a name that says they are unverified.
        const fs::path unverified = s->folder / (s->name + std::string(kUnverifiedSuffix));
        if (files::rename_noreplace(s->work_path, unverified)) {
            files::sync_dir(s->folder);
            shown = unverified;
        }
    }
    if (ok) {
        tell_phone(s->id, true, {});
    } else if (unplaced) {
        tell_phone(s->id, false, unplaced->too_many ? "同名文件过多，未覆盖已有文件" : "创建接收文件失败");
    } else if (!flushed) {
        tell_phone(s->id, false, "接收端未能把数据刷到磁盘（磁盘已满、被占用或权限不足）");
    } else if (expected) {
        tell_phone(s->id, false, whole ? "接收端摘要不符" : "接收端不完整");
    } else {
        tell_phone(s->id, false, "接收端没有可比对的整文件摘要");
    }
    std::string album_text;
    if (ok) {
        album_text = format_text("{} → {}（SHA-256 {}）", s->name, shown.string(), digest_fragment(mine));
        row(*s, "已完成", 100);
        auto g = host_.ui().lock();
        // The final name may differ from the row's when another file took it meanwhile.
        if (TransferRow* r = g->find_transfer_row(TransferDirection::Receive, s->name)) r->saved_path = shown.string();
        g->queue_system_notification({"文件接收完成", album_text, {}, {}, shown.string()});
    } else if (unplaced) {
        row(*s, "失败");
        const std::string detail =
            unplaced->too_many
                ? format_text("{} 里同名文件已多于 999 个，为不覆盖任何已有文件而拒收", s->folder.string())
                : format_text("创建接收文件 {} 失败: {}", unplaced->path.string(), unplaced->text);
        host_.push_notice(format_text("文件接收失败（{}）: {}；已校验的内容仍在 {}", s->name, detail, shown.string()));
        album_text = format_text("{}：{}", s->name, detail);
    } else if (expected && whole && !same) {
        row(*s, "摘要不符", 100);
        host_.push_notice(format_text("文件摘要不符（{}）：本端 {} ≠ 对端 {}；文件已隔离在收件目录", shown.filename().string(),
                                      digest_fragment(mine), digest_fragment(*expected)));
        album_text = format_text("{}：摘要不符", s->name);
    } else if (expected) {
        row(*s, "校验失败");
        host_.push_notice(format_text("文件校验失败（{}）：声明 {} 字节 / {} 块，实际 {} 字节 / {} 块", s->name, s->size,
                                      s->expected(), on_disk, s->next));
        album_text = format_text("{}：不完整（校验失败）", s->name);
    } else {
        row(*s, "未校验");
        host_.push_notice(format_text(
            "文件无法校验（{}）：对端的 FILE_META 与 FILE_DONE 都没给整文件摘要；文件已隔离在收件目录",
            shown.filename().string()));
        album_text = format_text("{}：对端没给整文件摘要，无法确认完整", s->name);
    }
    if (album_ && s->photo_id != 0) album_->full_size_done(s->photo_id, ok, album_text, ok ? shown : fs::path());
    host_.request_repaint();
}

// The phone's failure or a broken channel: the bytes so far stay under the working name.
void FileReceive::fail_session(std::unique_ptr<Session> s, std::string_view reason) {
    s->sink.reset();
    row(*s, "失败");
    host_.push_notice(format_text("文件接收失败（{}）: {}", s->name, reason));
    if (album_ && s->photo_id != 0) album_->full_size_done(s->photo_id, false, format_text("{}：{}", s->name, reason), {});
    host_.request_repaint();
}

void FileReceive::on_transfer_failed(std::uint64_t file_id, const std::string& reason) {
    if (auto s = take(file_id)) fail_session(std::move(s), reason);
}

void FileReceive::on_file_cancel(std::uint64_t file_id, const std::string& reason) {
    auto s = take(file_id);
    if (!s) {
        host_.push_notice(
            format_text("收到一条取消收尾（文件 {}），但本机已无对应的在途任务：{}", hex_id(file_id), reason));
        return;
    }
    s->sink.reset();
    row(*s, "已取消");
    if (::unlink(s->work_path.c_str()) != 0 && errno != ENOENT) {
        host_.push_notice(format_text("接收已取消（{}），但残留文件没删掉，请手动清理：{}", s->name, errno_text(errno)));
    } else {
        host_.ui().lock()->queue_system_notification({"接收已取消", format_text("{}：{}", s->name, reason), {}, {}});
    }
    if (album_ && s->photo_id != 0) album_->full_size_done(s->photo_id, false, format_text("{}：{}", s->name, reason), {});
    host_.request_repaint();
}

void FileReceive::cancel_by_user(const std::string& name) {
    auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->name == name; });
    if (it == sessions_.end()) {
        host_.push_notice(format_text(
            "「{}」已经不在途了，这一下没有可取消的传输（终态行不会画「取消」，请看该行当前状态）", name));
        return;
    }
    Engine* e = host_.engine();
    if (!e) {
        host_.push_notice(format_text("取消「{}」失败：本机会话已不存在", name));
        return;
    }
    const std::uint64_t id = (*it)->id;
    bool sent = false;
    if (!e->is_cancelled(id)) {
        e->add_cancelled(id);
        pb::FileCancel cancel;
        cancel.set_file_id(id);
        cancel.set_reason("电脑端已取消");
        sent = e->send_business(FILE_CANCEL, encode_file_cancel(cancel), host_.clock().wall_ms(), false);
    }
    warn("session", "file.cancel.recv_local", {{"file_id", hex_id(id)}, {"cancel_sent", bool_text(sent)}});
    warn("ui", "file.cancel.click", {{"dir", "recv"}, {"name", name}, {"frame_sent", bool_text(sent)}});
    on_file_cancel(id, sent ? std::string("电脑端已取消") : format_text("{}（取消帧未能发出，对方可能还在继续发送）", name));
}

void FileReceive::drop_all_receives() {
    for (auto& s : std::exchange(sessions_, {})) {
        s->sink.reset();
        row(*s, "失败");
        host_.push_notice(format_text("链路重建，{} 的接收未完成，请让对方重发", s->name));
        if (album_ && s->photo_id != 0)
            album_->full_size_done(s->photo_id, false, format_text("{}：链路重建，接收中断", s->name), {});
    }
}

}  // namespace dovan
