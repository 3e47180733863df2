// TCP channel binding: the TCP peer proves, over the authenticated BLE link, that it knows
// the session's channel-binding key. Until then nothing of the business goes to or comes
// from the TCP connection; its early frames wait in the parked queue.
#include <openssl/crypto.h>

#include <algorithm>

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

void Engine::start_bind_server(std::uint64_t conn) {
    if (!begin_binding(BindRole::Server, conn)) return;
}

void Engine::start_bind_client() {
    if (!begin_binding(BindRole::Client, 0)) return;
    // The client speaks first: its nonce opens the exchange on the new connection.
    Nonce own{};
    if (!random_fill(own)) {
        report_error(kErrGeneral, "绑定 nonce 生成失败: 随机数生成失败");
        return;
    }
    BindContext& ctx = binds_.back();
    ctx.own_nonce = own;
    if (send_bind_nonce(ctx)) ctx.own_nonce_sent = true;
}

std::optional<std::uint64_t> Engine::bound_conn() const {
    if (!tcp_bound_) return std::nullopt;
    return bound_conn_;
}

bool Engine::binds_conn(std::uint64_t conn) const {
    return std::any_of(binds_.begin(), binds_.end(), [&](const BindContext& b) { return b.conn == conn; });
}

Engine::BindContext* Engine::binding_of(std::uint64_t conn) {
    auto it = std::find_if(binds_.begin(), binds_.end(), [&](const BindContext& b) { return b.conn == conn; });
    return it == binds_.end() ? nullptr : &*it;
}

std::size_t Engine::parked_frames(std::uint64_t conn) const {
    return static_cast<std::size_t>(
        std::count_if(parked_.begin(), parked_.end(), [&](const ParkedFrame& f) { return f.conn == conn; }));
}

std::vector<std::pair<std::uint64_t, Bytes>> Engine::take_bind_frames() {
    std::vector<std::pair<std::uint64_t, Bytes>> out(std::make_move_iterator(bind_out_.begin()),
                                                     std::make_move_iterator(bind_out_.end()));
    bind_out_.clear();
    return out;
}

bool Engine::begin_binding(BindRole role, std::uint64_t conn) {
    if (!session_key_ready_ || state_ != EngineState::Paired) {
        report_error(kErrGeneral, session_key_ready_ ? "未配对，不发起 TCP 绑定"
                                                     : "会话密钥未建立，无法发起 TCP 绑定");
        return false;
    }
    // The same connection again (where one is all there is, a connection waiting in the
    // listen backlog is accepted right after the previous one drops, often before that
    // drop is noticed): it must not inherit "bound". The core keeps serving it, so it is
    // not told to close it.
    if (const BindContext* same = binding_of(conn)) {
        if (same->step == 2) {
            end_binding("新的 TCP 连接取代了上一条连接", false);
        } else {
            forget_binding(conn);
        }
    }
    if (binds_.size() >= kMaxTcpBindings) {
        auto oldest = std::find_if(binds_.begin(), binds_.end(), [](const BindContext& b) { return b.step != 2; });
        if (oldest != binds_.end()) give_up_binding(oldest->conn, "连接过多，让位给新连接");
    }
    const bool server = role == BindRole::Server;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "tcp.bind.start", {{"role", role_name(server)}});
    if (binds_.empty()) bind_key_ = derive_channel_binding_key(session_key_);
    BindContext ctx;
    ctx.conn = conn;
    ctx.role = role;
    binds_.push_back(ctx);
    if (!tcp_bound_) {
        last_tcp_receive_.reset();
        last_tcp_ping_.reset();
    }
    return true;
}

void Engine::on_bind_frame(const Frame& frame, Transport transport, std::uint64_t conn) {
    const std::string from = transport == Transport::Tcp ? "tcp" : "ble";
    const BindContext* ctx = transport == Transport::Tcp ? binding_of(conn) : nullptr;
    if (transport == Transport::Tcp ? ctx == nullptr : binds_.empty()) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.bind.orphan", {{"from", from}});
        return;
    }
    if (debug_log_enabled()) {
        const bool server = ctx ? ctx->role == BindRole::Server : binds_.front().role == BindRole::Server;
        emit_event(LogLevel::Info, "session", "tcp.bind.step", {{"from", from}, {"role", role_name(server)}});
    }
    if (transport == Transport::Tcp) {
        // Worked on aside and written back only by the steps that succeed.
        BindContext work = *ctx;
        bind_nonce_over_tcp(work, frame.payload);
    } else {
        bind_proof_over_ble(frame.payload);
    }
}

bool Engine::send_bind_nonce(const BindContext& ctx) {
    const TlvRecord rec[] = {{TAG_NONCE_TCP, Bytes(ctx.own_nonce->begin(), ctx.own_nonce->end())}};
    auto payload = encode_tlvs(rec);
    if (!payload) {
        report_error(kErrGeneral,
                     format_text("绑定 nonce 生成失败: {}", tlv_error(payload.error())));
        return false;
    }
    // Where one connection is all there is, it goes with the other TCP frames.
    if (ctx.conn == 0 || (tcp_bound_ && ctx.conn == bound_conn_)) return send_clear_tcp(BIND, *payload);
    FrameHeader h;
    h.type = BIND;
    h.flags = 0;
    h.seq = plain_seq_++;
    h.payload_len = static_cast<std::uint32_t>(payload->size());
    auto frame = encode_frame(h, *payload);
    if (!frame) {
        report_frame_error(frame.error(), Transport::Tcp);
        return false;
    }
    bind_out_.emplace_back(ctx.conn, std::move(*frame));
    return true;
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

    if (!ctx.own_nonce_sent && send_bind_nonce(ctx)) ctx.own_nonce_sent = true;
    if (!ctx.proof_sent) {
        auto proof = binding_proof(bind_key_, *ctx.peer_nonce);
        invariant(proof.ok(), "the stored peer nonce is 16 bytes");
        const TlvRecord recs[] = {{TAG_NONCE_TCP, Bytes(ctx.peer_nonce->begin(), ctx.peer_nonce->end())},
                                  {TAG_BIND_TAG, Bytes(proof->begin(), proof->end())}};
        auto body = encode_tlvs(recs);
        if (!body) {
            report_error(kErrGeneral, format_text("绑定证明生成失败: {}", tlv_error(body.error())));
        } else if (send_clear_ble(BIND, *body)) {
            ctx.proof_sent = true;
        }
    }
    if (BindContext* stored = binding_of(ctx.conn)) *stored = ctx;
}

// The proof names the connection it is for by echoing that connection's nonce.
void Engine::bind_proof_over_ble(ByteView payload) {
    const bool waiting = std::any_of(binds_.begin(), binds_.end(), [](const BindContext& b) { return b.step != 2; });
    auto repeat = [] {
        if (debug_log_enabled())
            emit_event(LogLevel::Info, "session", "tcp.proof_repeat", {{"kept", "bound"}});
    };
    if (!waiting) return repeat();
    auto fail = [&](const std::string& why) {
        report_error(kErrGeneral, format_text("TCP 通道绑定失败（疑似第三方冒充）: {}", why));
    };
    if (std::none_of(binds_.begin(), binds_.end(), [](const BindContext& b) { return b.own_nonce.has_value(); }))
        return fail(not_ready("尚未发出我方 nonce"));
    auto records = decode_tlvs(payload);
    if (!records) return fail(tlv_error(records.error()));
    const TlvRecord* echoed = first_record(*records, TAG_NONCE_TCP);
    if (!echoed) return fail(not_ready("proof 缺少 TAG_NONCE_TCP"));
    const TlvRecord* tag = first_record(*records, TAG_BIND_TAG);
    if (!tag) return fail(not_ready("proof 缺少 TAG_BIND_TAG"));
    if (echoed->value.size() != kBindingNonceLen || tag->value.size() != kBindingNonceLen)
        return fail(length_error());
    const Nonce echo = to_nonce(echoed->value);
    auto named = std::find_if(binds_.begin(), binds_.end(),
                              [&](const BindContext& b) { return b.own_nonce && *b.own_nonce == echo; });
    if (named == binds_.end()) return fail("对端 nonce 与本地不匹配（第三方冒充 TCP 对端）");
    if (named->step == 2) return repeat();
    auto expected = binding_proof(bind_key_, echo);
    invariant(expected.ok(), "the own nonce is 16 bytes");
    if (!binding_proof_matches(*expected, tag->value))
        return fail("绑定签名校验失败（channel_bind_key 不一致或签名被篡改）");

    const std::uint64_t conn = named->conn;
    // The phone has moved to a new connection: what ran on the old one is over, and so
    // is every other connection that was binding.
    if (tcp_bound_ && bound_conn_ != conn) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.unbind", {{"reason", "新的 TCP 连接取代了上一条连接"}});
        interrupt_tcp_transfers();
    }
    std::vector<std::uint64_t> others;
    for (const BindContext& b : binds_)
        if (b.conn != conn) others.push_back(b.conn);
    for (std::uint64_t other : others) forget_binding(other);
    BindContext* ctx = binding_of(conn);
    ctx->step = 2;
    ctx->deadline.reset();
    tcp_bound_ = true;
    bound_conn_ = conn;
    last_tcp_receive_.reset();
    last_tcp_ping_.reset();
    if (debug_log_enabled()) emit_event(LogLevel::Info, "session", "tcp.bound");
    push_event(AppEventKind::TcpBound, TcpBoundEvent{conn});
    flush_parked(conn);
}

void Engine::flush_parked(std::uint64_t conn) {
    std::deque<Bytes> frames;
    for (ParkedFrame& f : parked_)
        if (f.conn == conn) frames.push_back(std::move(f.bytes));
    parked_.clear();
    parked_bytes_ = 0;
    if (frames.empty()) return;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "tcp.prebind_flush",
                   {{"frames", std::to_string(frames.size())}});
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

// One connection's binding goes, with what it parked; the others stay.
void Engine::forget_binding(std::uint64_t conn) {
    std::erase_if(binds_, [&](const BindContext& b) { return b.conn == conn; });
    std::erase_if(bind_out_, [&](const auto& f) { return f.first == conn; });
    std::size_t dropped = 0;
    std::erase_if(parked_, [&](const ParkedFrame& f) {
        if (f.conn != conn) return false;
        parked_bytes_ -= f.bytes.size();
        ++dropped;
        return true;
    });
    if (dropped && debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "tcp.prebind_drop", {{"frames", std::to_string(dropped)}});
    if (tcp_bound_ && conn == bound_conn_) {
        tcp_bound_ = false;
        bound_conn_ = 0;
    }
    if (binds_.empty()) wipe_bind_key();
}

// A connection still binding is given up by the engine itself (its deadline, or room for a
// newer one). Where it was all there was, the binding as a whole ends as before.
void Engine::give_up_binding(std::uint64_t conn, const std::string& reason) {
    if (!tcp_bound_ && binds_.size() == 1) return end_binding(reason, true);
    forget_binding(conn);
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "tcp.bind.given_up",
                   {{"conn", std::to_string(conn)}, {"reason", reason}});
    push_event(AppEventKind::TcpUnbound, TcpUnboundEvent{reason, conn, false});
}

void Engine::unbind(const std::string& reason) {
    if (!tcp_bound_ && binds_.empty()) return;
    const bool carried = tcp_bound_;
    end_binding(reason, true);
    // The channel carried a session whose BLE link was already gone: nothing is left.
    if (carried && ble_lost_ && state_ == EngineState::Paired)
        lose_session(format_text("局域网通道也断开了（{}），进入重连", reason));
}

void Engine::drop_tcp_connection(std::uint64_t conn, const std::string& reason) {
    const BindContext* ctx = binding_of(conn);
    if (!ctx) return;
    const bool carried = tcp_bound_ && (binds_.size() == 1 || ctx->step == 2);
    if (binds_.size() == 1) {
        // The last binding, or the bound channel: the channel ends as it always has.
        end_binding(reason, true);
    } else if (ctx->step != 2) {
        forget_binding(conn);
        return;
    } else {
        forget_binding(conn);
        if (debug_log_enabled()) emit_event(LogLevel::Warn, "session", "tcp.unbind", {{"reason", reason}});
        push_event(AppEventKind::TcpUnbound, TcpUnboundEvent{reason, conn, true});
        interrupt_tcp_transfers();
    }
    // The channel carried a session whose BLE link was already gone: nothing is left.
    if (carried && ble_lost_ && state_ == EngineState::Paired)
        lose_session(format_text("局域网通道也断开了（{}），进入重连", reason));
}

void Engine::end_binding(const std::string& reason, bool tell_core) {
    // One connection named, or every one.
    const std::uint64_t conn = binds_.size() == 1 ? binds_.front().conn : 0;
    tcp_bound_ = false;
    bound_conn_ = 0;
    wipe_bind_key();
    binds_.clear();
    bind_out_.clear();
    if (!parked_.empty()) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "tcp.prebind_drop",
                       {{"frames", std::to_string(parked_.size())}});
        parked_.clear();
        parked_bytes_ = 0;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "tcp.unbind", {{"reason", reason}});
    if (tell_core) push_event(AppEventKind::TcpUnbound, TcpUnboundEvent{reason, conn, true});
    interrupt_tcp_transfers();
}

void Engine::interrupt_tcp_transfers() {
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
