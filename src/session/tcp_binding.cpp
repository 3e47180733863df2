// TCP channel binding: the TCP peer proves, over the authenticated BLE link, that it knows
// the session's channel-binding key. Until then nothing of the business goes to or comes
// from the TCP connection; its early frames wait in the parked queue.
#include <openssl/crypto.h>

#include "platform/debug_log.h"
#include "crypto/binding.h"
#include "crypto/random.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"

namespace dovan {

namespace {

using Nonce = std::array<std::uint8_t, 16>;

std::string role_name(bool server) { return server ? "server" : "client"; }

std::string not_ready(std::string_view what) {
    return format_text("channel binding 未就绪：{}", what);
}

std::string length_error() { return format_text("nonce 长度非法（期望 {}B）", kBindingNonceLen); }

std::string tlv_error(const TlvError& e) { return format_text("TLV 编解码失败: {}", e.display()); }

Nonce to_nonce(ByteView b) {
    Nonce n{};
    std::copy(b.begin(), b.end(), n.begin());
    return n;
}

const TlvRecord* first_record(const std::vector<TlvRecord>& records, std::uint8_t tag) {
    for (const auto& r : records)
        if (r.tag == tag) return &r;
    return nullptr;
}

}  // namespace

void Engine::start_bind_server() { (void)begin_binding(BindRole::Server); }

void Engine::start_bind_client() {
    if (!begin_binding(BindRole::Client)) return;
    // The client speaks first: its nonce opens the exchange on the new connection.
    Nonce own{};
    if (!random_fill(own)) {
        report_error(kErrGeneral, "绑定 nonce 生成失败: 随机数生成失败");
        return;
    }
    bind_->own_nonce = own;
    if (send_bind_nonce(*bind_)) own_nonce_sent_ = true;
}

bool Engine::begin_binding(BindRole role) {
    if (!session_key_ready_ || state_ != EngineState::Paired) {
        report_error(kErrGeneral, session_key_ready_ ? "未配对，不发起 TCP 绑定"
                                                     : "会话密钥未建立，无法发起 TCP 绑定");
        return false;
    }
    // A connection waiting in the listen backlog is accepted right after the previous one
    // drops, often before that drop is noticed; it must not inherit "bound". The core keeps
    // serving the new connection, so it is not told to close it.
    if (tcp_bound_ || bind_) {
        end_binding("新的 TCP 连接取代了上一条连接", false);
    } else {
        own_nonce_sent_ = false;
        proof_sent_ = false;
        parked_.clear();
    }
    const bool server = role == BindRole::Server;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "tcp.bind.start", {{"role", role_name(server)}});
    wipe_bind_key();
    bind_ = BindContext{};
    bind_->role = role;
    bind_->key = derive_channel_binding_key(session_key_);
    tcp_bind_deadline_.reset();
    last_tcp_receive_.reset();
    last_tcp_ping_.reset();
    return true;
}

void Engine::on_bind_frame(const Frame& frame, Transport transport) {
    const std::string from = transport == Transport::Tcp ? "tcp" : "ble";
    if (!bind_) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.bind.orphan", {{"from", from}});
        return;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "tcp.bind.step",
                   {{"from", from}, {"role", role_name(bind_->role == BindRole::Server)}});
    // Worked on aside and written back only by the steps that succeed.
    BindContext ctx = *bind_;
    if (transport == Transport::Tcp)
        bind_nonce_over_tcp(ctx, frame.payload);
    else
        bind_proof_over_ble(ctx, frame.payload);
    OPENSSL_cleanse(ctx.key.data(), ctx.key.size());
}

bool Engine::send_bind_nonce(const BindContext& ctx) {
    const TlvRecord rec[] = {{TAG_NONCE_TCP, Bytes(ctx.own_nonce->begin(), ctx.own_nonce->end())}};
    auto payload = encode_tlvs(rec);
    if (!payload) {
        report_error(kErrGeneral,
                     format_text("绑定 nonce 生成失败: {}", tlv_error(payload.error())));
        return false;
    }
    return send_clear_tcp(BIND, *payload);
}

void Engine::bind_nonce_over_tcp(BindContext& ctx, ByteView payload) {
    auto fail = [&](const std::string& why) {
        report_error(kErrGeneral, format_text("TCP nonce 交换失败: {}", why));
    };
    auto records = decode_tlvs(payload);
    if (!records) return fail(tlv_error(records.error()));
    const TlvRecord* rec = first_record(*records, TAG_NONCE_TCP);
    if (!rec) return fail(not_ready("载荷缺少 TAG_NONCE_TCP"));
    if (rec->value.size() != kBindingNonceLen) return fail(length_error());
    const Nonce peer = to_nonce(rec->value);

    if (ctx.step == 2 && ctx.peer_nonce && *ctx.peer_nonce != peer)
        return fail("绑定已完成后再次收到证明（重放）");
    if (!ctx.peer_nonce || *ctx.peer_nonce != peer) {
        ctx.peer_nonce = peer;
        if (!ctx.own_nonce) {
            Nonce own{};
            if (!random_fill(own)) {
                report_error(kErrGeneral, "绑定 nonce 生成失败: 随机数生成失败");
                return;
            }
            ctx.own_nonce = own;
        }
        if (ctx.step != 2) ctx.step = 1;
    }
    *bind_ = ctx;

    if (!own_nonce_sent_ && send_bind_nonce(ctx)) own_nonce_sent_ = true;
    if (!proof_sent_) {
        auto proof = binding_proof(ctx.key, *ctx.peer_nonce);
        invariant(proof.ok(), "the stored peer nonce is 16 bytes");
        const TlvRecord recs[] = {{TAG_NONCE_TCP, Bytes(ctx.peer_nonce->begin(), ctx.peer_nonce->end())},
                                  {TAG_BIND_TAG, Bytes(proof->begin(), proof->end())}};
        auto body = encode_tlvs(recs);
        if (!body) {
            report_error(kErrGeneral, format_text("绑定证明生成失败: {}", tlv_error(body.error())));
            return;
        }
        if (send_clear_ble(BIND, *body)) proof_sent_ = true;
    }
}

void Engine::bind_proof_over_ble(BindContext& ctx, ByteView payload) {
    if (ctx.step == 2) {
        if (debug_log_enabled())
            emit_event(LogLevel::Info, "session", "tcp.proof_repeat", {{"kept", "bound"}});
        return;
    }
    auto fail = [&](const std::string& why) {
        tcp_bound_ = false;
        report_error(kErrGeneral, format_text("TCP 通道绑定失败（疑似第三方冒充）: {}", why));
    };
    if (!ctx.own_nonce) return fail(not_ready("尚未发出我方 nonce"));
    auto records = decode_tlvs(payload);
    if (!records) return fail(tlv_error(records.error()));
    const TlvRecord* echoed = first_record(*records, TAG_NONCE_TCP);
    if (!echoed) return fail(not_ready("proof 缺少 TAG_NONCE_TCP"));
    const TlvRecord* tag = first_record(*records, TAG_BIND_TAG);
    if (!tag) return fail(not_ready("proof 缺少 TAG_BIND_TAG"));
    if (echoed->value.size() != kBindingNonceLen || tag->value.size() != kBindingNonceLen)
        return fail(length_error());
    if (to_nonce(echoed->value) != *ctx.own_nonce)
        return fail("对端 nonce 与本地不匹配（第三方冒充 TCP 对端）");
    auto expected = binding_proof(ctx.key, *ctx.own_nonce);
    invariant(expected.ok(), "the own nonce is 16 bytes");
    if (!binding_proof_matches(*expected, tag->value))
        return fail("绑定签名校验失败（channel_bind_key 不一致或签名被篡改）");

    ctx.step = 2;
    *bind_ = ctx;
    tcp_bound_ = true;
    tcp_bind_deadline_.reset();
    if (debug_log_enabled()) emit_event(LogLevel::Info, "session", "tcp.bound");
    push_event(AppEventKind::TcpBound, TcpBoundEvent{});
    flush_parked();
}

void Engine::flush_parked() {
    if (parked_.empty()) return;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "tcp.prebind_flush",
                   {{"frames", std::to_string(parked_.size())}});
    std::deque<Bytes> frames;
    frames.swap(parked_);
    for (const Bytes& bytes : frames) {
        auto frame = decode_frame(bytes);
        if (!frame) {
            report_error(kErrGeneral,
                         format_text("补投时整帧解析失败: {}", frame.error().display()));
            continue;
        }
        handle_sealed_frame(*frame, Transport::Tcp);
    }
}

void Engine::unbind(const std::string& reason) {
    if (!tcp_bound_ && !bind_) return;
    const bool carried = tcp_bound_;
    end_binding(reason, true);
    // The channel carried a session whose BLE link was already gone: nothing is left.
    if (carried && ble_lost_ && state_ == EngineState::Paired)
        lose_session(format_text("局域网通道也断开了（{}），进入重连", reason));
}

void Engine::end_binding(const std::string& reason, bool tell_core) {
    tcp_bound_ = false;
    own_nonce_sent_ = false;
    proof_sent_ = false;
    wipe_bind_key();
    bind_.reset();
    tcp_bind_deadline_.reset();
    if (!parked_.empty()) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.prebind_drop",
                       {{"frames", std::to_string(parked_.size())}});
        parked_.clear();
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "tcp.unbind", {{"reason", reason}});
    if (tell_core) push_event(AppEventKind::TcpUnbound, TcpUnboundEvent{reason});
    if (lock_.channel == LockChannel::Tcp) {
        const std::uint64_t id = lock_.file_id;
        lock_ = {};
        push_event(AppEventKind::TransferInterrupted,
                   TransferInterruptedEvent{id, "传输中 TCP 通道断开，文件未完成（不会改走蓝牙）"});
    }
    for (std::uint64_t id : receiving_)
        push_event(AppEventKind::TransferInterrupted,
                   TransferInterruptedEvent{id, "接收中 TCP 通道断开，文件未完成（不会改走蓝牙）"});
    receiving_.clear();
}

}  // namespace dovan
