// Outbound routing: which link carries each business message, the envelope around it,
// and the closing and resume messages of file transfers.
#include "common/bytes.h"
#include "platform/debug_log.h"
#include "crypto/key_schedule.h"
#include "protocol/messages.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"

namespace dovan {

namespace {

const char* bool_text(bool b) { return b ? "true" : "false"; }


}  // namespace

const DeviceId& Engine::device_id() const { return msg_ids_->device_id(); }

Bytes Engine::envelope(ByteView body, std::uint64_t timestamp_ms) {
    const MessageId id = msg_ids_->next();
    return encode_envelope(id, timestamp_ms, msg_ids_->device_id(), body);
}

bool Engine::tcp_may_carry(std::uint8_t type) {
    // Only heartbeats may reach a TCP peer that has not proven it holds the session.
    if (!tcp_bound_ && type != HEARTBEAT) {
        report_error(kErrGeneral, "TCP 通道尚未绑定，业务帧未发出");
        return false;
    }
    if (type == FILE_CHUNK && tcp_out_.size() > kTcpChunkBacklog) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.queue_full",
                       {{"depth", std::to_string(tcp_out_.size())}});
        return false;
    }
    return true;
}

bool Engine::send_encrypted_tcp(std::uint8_t type, ByteView plaintext) {
    return tcp_may_carry(type) && send_encrypted(type, plaintext, Transport::Tcp);
}

bool Engine::send_business(std::uint8_t type, ByteView body, std::uint64_t timestamp_ms,
                           bool locked) {
    const ByteView parts[] = {body};
    return send_business_parts(type, parts, timestamp_ms, locked);
}

bool Engine::send_file_chunk(const FileChunkView& chunk, std::uint64_t timestamp_ms) {
    const FileChunkFraming framing(chunk);
    const ByteView parts[] = {framing.head(), chunk.data, framing.tail()};
    return send_business_parts(FILE_CHUNK, parts, timestamp_ms, true);
}

bool Engine::send_business_parts(std::uint8_t type, ByteParts body, std::uint64_t timestamp_ms,
                                 bool locked) {
    if (state_ != EngineState::Paired) return false;
    const bool use_tcp = tcp_bound_ && !(locked && lock_.channel == LockChannel::Ble);
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.route",
                   {{"msg", "0x" + hex_lower(Bytes{type})},
                    {"channel", use_tcp ? "tcp" : "ble"},
                    {"tcp_bound", tcp_bound_ ? "1" : "0"},
                    {"locked", locked ? "1" : "0"}});
    std::size_t body_len = 0;
    for (ByteView piece : body) body_len += piece.size();
    const MessageId id = msg_ids_->next();
    const Bytes head = encode_envelope_head(id, timestamp_ms, msg_ids_->device_id(), body_len);
    // The envelope's fields, then the body's pieces where they lie.
    std::vector<ByteView> wrapped;
    wrapped.reserve(body.size() + 1);
    wrapped.push_back(head);
    wrapped.insert(wrapped.end(), body.begin(), body.end());
    if (use_tcp) {
        if (!tcp_may_carry(type)) return false;
        return send_encrypted(type, ByteParts(wrapped), Transport::Tcp);
    }
    return send_encrypted(type, ByteParts(wrapped), Transport::Ble);
}

bool Engine::send_tcp_only(std::uint8_t type, ByteView body, std::uint64_t timestamp_ms) {
    if (state_ != EngineState::Paired) return false;
    if (!tcp_bound_) {
        report_error(kErrGeneral, "相册需要局域网通道：TCP 尚未就绪，这条请求没有发出");
        return false;
    }
    return send_encrypted_tcp(type, envelope(body, timestamp_ms));
}

bool Engine::send_ble_only(std::uint8_t type, ByteView body, std::uint64_t timestamp_ms) {
    if (state_ != EngineState::Paired) return false;
    return send_encrypted_ble(type, envelope(body, timestamp_ms));
}

bool Engine::send_file_done(std::uint64_t file_id, bool ok, const std::optional<std::string>& error,
                            const std::optional<Bytes>& digest, bool cancelled,
                            std::uint64_t timestamp_ms) {
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.done.send",
                   {{"file_id", hex_id(file_id)},
                    {"ok", bool_text(ok)},
                    {"has_sha", bool_text(digest.has_value())},
                    {"cancelled", bool_text(cancelled)}});
    pb::FileDone done;
    done.set_file_id(file_id);
    done.set_ok(ok);
    if (error) done.set_error(*error);
    if (digest) done.set_sha256(digest->data(), digest->size());
    done.set_cancelled(cancelled);
    const bool sent = send_business(FILE_DONE, encode_file_done(done), timestamp_ms, false);
    if (lock_.channel != LockChannel::None && lock_.file_id == file_id) lock_ = {};
    return sent;
}

bool Engine::send_file_resume(std::uint64_t file_id, std::uint32_t from_index,
                              std::uint64_t timestamp_ms) {
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "file.resume.send",
                   {{"file_id", hex_id(file_id)}, {"from", std::to_string(from_index)}});
    Bytes id, from;
    put_be(id, file_id, 8);
    put_be(from, from_index, 4);
    const TlvRecord records[] = {{TAG_FILE_ID, std::move(id)}, {TAG_RESUME_FROM, std::move(from)}};
    auto body = encode_tlvs(records);
    invariant(body.ok(), "two fixed-size records fit a TLV list");
    return send_business(FILE_RESUME, *body, timestamp_ms, false);
}

void Engine::note_late_frame(const std::string& kind, std::uint64_t file_id,
                             const std::string& detail) {
    ++late_frames_;
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "file.late_frame",
                   {{"kind", kind},
                    {"file_id", hex_id(file_id)},
                    {"detail", detail},
                    {"dropped", std::to_string(late_frames_)}});
}

}  // namespace dovan
