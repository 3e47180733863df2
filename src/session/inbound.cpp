// Inbound frames: the single entry point, the TCP pre-binding gate and the encrypted path.
#include "platform/debug_log.h"
#include "protocol/ble_frag.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"
#include "session/engine_crypto.h"

namespace dovan {

void Engine::take_ble_value(ByteView value, Instant now) {
    last_link_receive_ = now;
    auto frame = reassembler_->take(value, now);
    if (!frame) {
        report_error(kErrGeneral, frame.error().context());
        return;
    }
    if (frame->has_value()) handle_frame(**frame, Transport::Ble);
}

bool Engine::handle_tcp_frame_in_place(std::span<std::uint8_t> bytes, std::uint64_t conn) {
    writable_frame_ = bytes;
    const bool alive = handle_frame(bytes, Transport::Tcp, conn);
    writable_frame_ = {};
    return alive;
}

bool Engine::handle_frame(ByteView bytes, Transport transport, std::uint64_t conn) {
    auto decoded = decode_frame(bytes);
    if (!decoded) {
        report_error(kErrGeneral, format_text("整帧解析失败: {}", decoded.error().display()));
        return false;
    }
    const Frame& frame = *decoded;
    if (transport == Transport::Tcp) return handle_tcp_frame(bytes, frame, conn);
    switch (frame.header.type) {
        case CHALLENGE:
        case REPLY:
            read_handshake_message(frame);
            return false;
        case HELLO:
            receive_hello(frame.payload);
            return false;
        case BIND:
            on_bind_frame(frame, transport);
            return false;
        case HEARTBEAT:
            return handle_heartbeat(frame, transport);
        default:
            return park_or_dispatch(bytes, frame, transport);
    }
}

// Anyone on the network can open a TCP connection, so until it has proved the session's
// binding key it reaches the binding exchange and the parking queue, nothing else, even
// while another connection is bound. HELLO and the handshake belong to the BLE link and
// are never taken from TCP.
bool Engine::handle_tcp_frame(ByteView bytes, const Frame& frame, std::uint64_t conn) {
    const std::uint8_t type = frame.header.type;
    const bool control = type == HELLO || type == CHALLENGE || type == REPLY;
    const bool bound_here = tcp_bound_ && conn == bound_conn_;
    const bool stranger = conn != 0 && !binds_conn(conn);
    if (control || stranger || (type == HEARTBEAT && !bound_here)) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.rx.refused",
                       {{"type", std::to_string(type)}, {"bound", bound_here ? "true" : "false"}});
        return false;
    }
    if (type == BIND) {
        on_bind_frame(frame, Transport::Tcp, conn);
        return false;
    }
    if (type == HEARTBEAT) return handle_heartbeat(frame, Transport::Tcp);
    return park_or_dispatch(bytes, frame, Transport::Tcp, conn);
}

bool Engine::park_or_dispatch(ByteView bytes, const Frame& frame, Transport transport, std::uint64_t conn) {
    if (transport == Transport::Ble || (tcp_bound_ && conn == bound_conn_))
        return handle_sealed_frame(frame, transport);
    const std::size_t len = std::min(bytes.size(), frame.header.frame_len());
    const std::size_t parked = parked_frames(conn);
    if (parked < kMaxParkedFrames && parked_bytes_ + len <= kMaxParkedBytes) {
        parked_.push_back(ParkedFrame{conn, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len))});
        parked_bytes_ += len;
        if (debug_log_enabled())
            emit_event(LogLevel::Info, "session", "tcp.prebind_park",
                       {{"queued", std::to_string(parked + 1)}});
        return false;
    }
    report_error(kErrGeneral,
                 format_text("TCP 绑定迟迟未完成，暂存业务帧已满（{} 帧），本帧丢弃——请重连",
                             kMaxParkedFrames));
    return false;
}

bool Engine::handle_sealed_frame(const Frame& frame, Transport transport) {
    const FrameHeader& h = frame.header;
    if (!h.encrypted()) {
        report_error(kErrGeneral, "业务消息未加密，已丢弃");
        return false;
    }
    if (!session_key_ready_) {
        report_error(kErrGeneral, "会话密钥未建立，加密消息已丢弃");
        return false;
    }
    const int link = static_cast<int>(transport);
    if (auto verdict = replay_.check(h.seq, link); !verdict.ok) {
        report_error(kErrGeneral, format_text("抗重放拒绝: {}", verdict.reason));
        return false;
    }
    Bytes copy;
    auto plain = open_payload(h, frame.payload, copy);
    if (!plain) {
        report_error(kErrGeneral, format_text("解密失败: {}", plain.error().display()));
        return false;
    }
    replay_.accept(h.seq, link);

    if (state_ != EngineState::Paired && h.type != PAIR_CONFIRM && h.type != PAIR_DONE &&
        h.type != IDENTITY) {
        report_error(kErrGeneral, "尚未配对，业务消息未采纳");
        return true;
    }
    dispatch_sealed(h.type, *plain);
    return true;
}

// Where the owner lets the frame be overwritten the payload is opened where it lies; else
// into `copy`.
Result<ByteView, CryptoError> Engine::open_payload(const FrameHeader& h, ByteView payload, Bytes& copy) {
    const auto* at = payload.data();
    const auto* start = writable_frame_.data();
    if (!writable_frame_.empty() && at >= start && at + payload.size() <= start + writable_frame_.size()) {
        const auto offset = static_cast<std::size_t>(at - start);
        return open_frame_in_place(session_key_, session_id_, config_.role, h,
                                   writable_frame_.subspan(offset, payload.size()));
    }
    auto opened = open_frame(session_key_, session_id_, config_.role, h, payload);
    if (!opened) return fail(std::move(opened.error()));
    copy = std::move(*opened);
    return ByteView(copy);
}

void Engine::dispatch_sealed(std::uint8_t type, ByteView plaintext) {
    switch (type) {
        case PAIR_CONFIRM:
            receive_pair_confirm(plaintext);
            return;
        case PAIR_DONE:
            receive_pair_done(plaintext);
            return;
        case IDENTITY:
            receive_identity(plaintext);
            return;
        default:
            break;
    }
    if (!is_known_frame_type(type)) {
        report_error(kErrGeneral, format_text("未知业务消息类型 0x{}", hex_upper(type, 2)));
        return;
    }
    dispatch_business(type, plaintext);
}

}  // namespace dovan
