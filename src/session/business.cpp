// Business messages of a paired session: each is an Envelope around its own message, turned
// into an application event, or into the received-chunk queue for file data. File frames
// also keep the small bookkeeping that recognises late or cancelled transfers.
#include <algorithm>
#include <functional>

#include "common/bytes.h"
#include "platform/debug_log.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"

namespace dovan {

namespace {

const char* bool_text(bool b) { return b ? "true" : "false"; }

struct PlainRoute {
    AppEventKind kind;
    const char* envelope_error;
    const char* body_error;
};

}  // namespace

bool Engine::is_cancelled(std::uint64_t file_id) const {
    return std::find(cancelled_.begin(), cancelled_.end(), file_id) != cancelled_.end();
}

void Engine::add_cancelled(std::uint64_t file_id) {
    if (is_cancelled(file_id)) return;
    if (cancelled_.size() == kMaxCancelledIds) cancelled_.pop_front();
    cancelled_.push_back(file_id);
}

namespace {

// Decodes the envelope and the inner message, reporting with the message's own texts.
template <class M>
std::optional<M> open_message(ByteView plaintext, const std::string& envelope_error,
                              const std::string& body_error,
                              const std::function<void(const std::string&)>& report) {
    auto env = decode_envelope_view(plaintext);
    if (!env) {
        report(format_text(envelope_error, env.error().display()));
        return std::nullopt;
    }
    auto msg = decode_message<M>(env->body);
    if (!msg) {
        report(format_text(body_error, msg.error().display()));
        return std::nullopt;
    }
    return std::move(*msg);
}

}  // namespace

void Engine::dispatch_business(std::uint8_t type, ByteView plaintext) {
    const auto report = [this](const std::string& text) { report_error(kErrGeneral, text); };
    const auto deliver = [&]<class M>(AppEventKind kind, const char* env_err, const char* body_err) {
        if (auto m = open_message<M>(plaintext, env_err, body_err, report))
            push_event(kind, MessageEvent<M>{std::move(*m)});
    };
    const std::string album_error =
        format_text("相册消息(0x{})解析失败: {}", hex_upper(type, 2), "{}");
    const char* album = album_error.c_str();
    using K = AppEventKind;

    // The file messages and the clipboard carry engine rules; the rest pass straight on.
    // A view into `plaintext`, which outlives every handler below.
    auto body_of = [&](const char* env_err) -> std::optional<ByteView> {
        auto env = decode_envelope_view(plaintext);
        if (!env) {
            report(format_text(env_err, env.error().display()));
            return std::nullopt;
        }
        return env->body;
    };

    switch (type) {
        case FILE_RESUME:
            if (auto b = body_of("续传请求信封解析失败: {}")) receive_file_resume(*b);
            return;
        case CLIPBOARD_PUSH:
            if (auto b = body_of("剪贴板信封解析失败: {}")) receive_clipboard(*b);
            return;
        case FILE_META:
            if (auto b = body_of("文件元信息信封解析失败: {}")) receive_file_meta(*b);
            return;
        case FILE_CHUNK:
            if (auto b = body_of("文件分块信封解析失败: {}")) receive_file_chunk(*b);
            return;
        case FILE_DONE:
            if (auto b = body_of("文件结束信封解析失败: {}")) receive_file_done(*b);
            return;
        case FILE_CANCEL:
            if (auto b = body_of("取消帧信封解析失败: {}")) receive_file_cancel(*b);
            return;
        case CONFIG_SYNC:
            return deliver.operator()<pb::ConfigSync>(K::ConfigSyncReceived, "配置同步信封解析失败: {}",
                                                      "配置同步解析失败: {}");
        case NOTIFICATION_PUSH:
            return deliver.operator()<pb::NotificationPush>(K::NotificationPushed, "通知信封解析失败: {}",
                                                            "通知解析失败: {}");
        case NOTIFICATION_REPLY:
            return deliver.operator()<pb::NotificationReply>(
                K::NotificationReplyRequested, "回复请求信封解析失败: {}", "回复请求解析失败: {}");
        case NOTIFICATION_DISMISS:
            return deliver.operator()<pb::NotificationDismiss>(
                K::NotificationDismissed, "通知消失信封解析失败: {}", "通知消失解析失败: {}");
        case NOTIFICATION_REPLY_ACK:
            return deliver.operator()<pb::NotificationReplyAck>(
                K::NotificationReplyAcked, "回复回执信封解析失败: {}", "回复回执解析失败: {}");
        case ALBUM_LIST_REQUEST:
            return deliver.operator()<pb::AlbumListRequest>(K::AlbumListRequested, album, album);
        case ALBUM_LIST:
            return deliver.operator()<pb::AlbumList>(K::AlbumListReceived, album, album);
        case ALBUM_THUMB_REQUEST:
            return deliver.operator()<pb::AlbumThumbRequest>(K::AlbumThumbRequested, album, album);
        case ALBUM_THUMB:
            return deliver.operator()<pb::AlbumThumb>(K::AlbumThumbReceived, album, album);
        case ALBUM_FULL_REQUEST:
            return deliver.operator()<pb::AlbumFullRequest>(K::AlbumFullRequested, album, album);
        case MEDIA_STATE:
            return deliver.operator()<pb::MediaState>(K::MediaStateReceived, "播放状态信封解析失败: {}",
                                                      "播放状态解析失败: {}");
        case MEDIA_COMMAND:
            return deliver.operator()<pb::MediaCommand>(
                K::MediaCommandReceived, "播放指令信封解析失败: {}", "播放指令解析失败: {}");
        case DEVICE_STATUS:
            return deliver.operator()<pb::DeviceStatus>(
                K::DeviceStatusReceived, "设备状态信封解析失败: {}", "设备状态解析失败: {}");
        default:
            report(format_text("未知业务消息类型 0x{}", hex_upper(type, 2)));
            return;
    }
}

void Engine::receive_file_resume(ByteView body) {
    auto records = decode_tlvs(body);
    std::optional<Bytes> id, from;
    if (records) {
        for (const auto& r : *records) {
            if (r.tag == TAG_FILE_ID && !id) id = r.value;
            if (r.tag == TAG_RESUME_FROM && !from) from = r.value;
        }
    }
    if (!id || id->size() != 8) {
        report_error(kErrGeneral, "续传请求缺少合法 TAG_FILE_ID");
        return;
    }
    if (!from || from->size() != 4) {
        report_error(kErrGeneral, "续传请求缺少合法 TAG_RESUME_FROM");
        return;
    }
    const std::uint64_t file_id = read_be(*id);
    const auto index = static_cast<std::uint32_t>(read_be(*from));
    if (tcp_bound_ && lock_.channel == LockChannel::None) lock_ = {LockChannel::Tcp, file_id};
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.resume",
                   {{"file_id", hex_id(file_id)},
                    {"from", std::to_string(index)},
                    {"repin", bool_text(tcp_bound_)}});
    push_event(AppEventKind::ResumeRequested, ResumeRequestedEvent{file_id, index});
}

void Engine::receive_clipboard(ByteView body) {
    auto push = decode_clipboard_push(body);
    if (!push) {
        report_error(kErrGeneral, format_text("剪贴板解析失败: {}", push.error().display()));
        return;
    }
    const std::string& data = push->data();
    if (data.size() > kClipboardMax) {
        report_error(kErrGeneral,
                     format_text("对端推来 {} KB 剪贴板内容，超过 {} KB 上限，已拒收",
                                 data.size() / 1024, kClipboardMax / 1024));
        return;
    }
    push_event(AppEventKind::ClipboardReceived, ClipboardReceivedEvent{utf8_lossy(data)});
}

void Engine::receive_file_meta(ByteView body) {
    auto meta = decode_file_meta(body);
    if (!meta) {
        report_error(kErrGeneral, format_text("文件元信息解析失败: {}", meta.error().display()));
        return;
    }
    const std::uint64_t id = meta->file_id();
    if (auto it = std::find(cancelled_.begin(), cancelled_.end(), id); it != cancelled_.end()) {
        cancelled_.erase(it);
        if (debug_log_enabled())
            emit_event(LogLevel::Info, "session", "file.meta.after_cancel", {{"file_id", hex_id(id)}});
    }
    const std::string& sha = meta->sha256();
    if (!sha.empty() && sha.size() != 32) {
        report_error(kErrGeneral, format_text("文件摘要长度非法（{}B，须 0B 或 32B）", sha.size()));
        return;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.meta",
                   {{"file_id", hex_id(id)},
                    {"size", std::to_string(meta->size())},
                    {"chunk", std::to_string(meta->chunk_size())},
                    {"sha_deferred", bool_text(sha.empty())}});
    if (std::find(receiving_.begin(), receiving_.end(), id) == receiving_.end()) {
        if (receiving_.size() < kMaxReceiving) {
            receiving_.push_back(id);
        } else if (debug_log_enabled()) {
            emit_event(LogLevel::Warn, "session", "recv.open_overflow",
                       {{"file_id", hex_id(id)}, {"tracked", std::to_string(kMaxReceiving)}});
        }
    }
    FileMetaReceivedEvent e;
    e.name = meta->name();
    e.size = meta->size();
    e.file_id = id;
    e.chunk_size = meta->chunk_size();
    if (!sha.empty()) e.sha256 = Bytes(sha.begin(), sha.end());
    e.crc32 = meta->crc32();
    e.album_id = meta->album_id();
    push_event(AppEventKind::FileMetaReceived, std::move(e));
}

void Engine::receive_file_chunk(ByteView body) {
    auto chunk = decode_file_chunk_view(body);
    if (!chunk) {
        report_error(kErrGeneral, format_text("文件分块解析失败: {}", chunk.error().display()));
        return;
    }
    const std::uint64_t id = chunk->file_id;
    if (is_cancelled(id)) {
        note_late_frame("chunk", id, format_text("第 {} 块，{} B", chunk->index, chunk->data.size()));
        return;
    }
    if (chunk->index % 64 == 0 && debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.chunk",
                   {{"file_id", hex_id(id)},
                    {"index", std::to_string(chunk->index)},
                    {"len", std::to_string(chunk->data.size())}});
    // The one copy between the decrypted frame and the file.
    received_chunks_.push_back(
        ReceivedChunk{id, chunk->index, Bytes(chunk->data.begin(), chunk->data.end()), chunk->crc32});
}

void Engine::receive_file_done(ByteView body) {
    auto done = decode_file_done(body);
    if (!done) {
        report_error(kErrGeneral, format_text("文件结束解析失败: {}", done.error().display()));
        return;
    }
    const std::uint64_t id = done->file_id();
    const std::string& sha = done->sha256();
    if (!sha.empty() && sha.size() != 32) {
        report_error(kErrGeneral,
                     format_text("文件结束帧摘要长度非法（{}B，须 0B 或 32B）", sha.size()));
        return;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.done",
                   {{"file_id", hex_id(id)},
                    {"ok", bool_text(done->ok())},
                    {"has_err", bool_text(!done->error().empty())},
                    {"has_sha", bool_text(!sha.empty())},
                    {"cancelled", bool_text(done->cancelled())}});
    std::erase(receiving_, id);
    if (is_cancelled(id)) {
        note_late_frame("done", id, format_text("ok={}", done->ok()));
        return;
    }
    if (!done->cancelled()) {
        FileDoneReceivedEvent e{id, done->ok(), done->error(), std::nullopt};
        if (!sha.empty()) e.sha256 = Bytes(sha.begin(), sha.end());
        push_event(AppEventKind::FileDoneReceived, std::move(e));
        return;
    }
    add_cancelled(id);
    std::string reason(trim_white(done->error()));
    if (reason.empty()) reason = "对方取消了这次传输";
    push_event(AppEventKind::TransferCancelled, TransferCancelledEvent{id, std::move(reason)});
}

void Engine::receive_file_cancel(ByteView body) {
    auto cancel = decode_file_cancel(body);
    if (!cancel) {
        report_error(kErrGeneral, format_text("取消帧解析失败: {}", cancel.error().display()));
        return;
    }
    const std::uint64_t id = cancel->file_id();
    if (lock_.channel == LockChannel::None || lock_.file_id != id) {
        note_late_frame("cancel", id, "本端没有正在发送这个文件（取消帧与在途传输对不上）");
        return;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "file.cancel.recv",
                   {{"file_id", hex_id(id)},
                    {"channel", lock_.channel == LockChannel::Tcp ? "tcp" : "ble"}});
    add_cancelled(id);
    lock_ = {};
    std::string reason(trim_white(cancel->reason()));
    if (reason.empty()) reason = "对方取消了这次传输";
    push_event(AppEventKind::TransferCancelled, TransferCancelledEvent{id, std::move(reason)});
}

}  // namespace dovan
