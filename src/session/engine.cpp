// Engine core: state machine, error reports, HELLO, heartbeats, timers, session reset
// and the send paths shared by every exchange.
#include "session/engine.h"

#include <openssl/crypto.h>

#include "common/bytes.h"
#include "platform/debug_log.h"
#include "crypto/key_schedule.h"
#include "crypto/random.h"
#include "protocol/ble_frag.h"
#include "protocol/tlv_codec.h"
#include "session/engine_crypto.h"
#include "session/engine_handshake.h"

namespace dovan {

namespace {

constexpr auto kHelloRepeat = std::chrono::seconds(5);
constexpr auto kTcpPingAfter = std::chrono::seconds(10);
constexpr auto kTcpTimeout = std::chrono::seconds(20);
constexpr auto kTcpBindDeadline = std::chrono::seconds(20);
constexpr auto kIdentityDeadline = std::chrono::seconds(20);
constexpr std::uint8_t kReconnectAttempts = 6;

std::int64_t whole_ms(Duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}



// HELLO is read leniently: a malformed list means every field is absent.
std::optional<Bytes> hello_field(ByteView payload, std::uint8_t tag) {
    auto found = find_tlv(payload, tag);
    if (!found) return std::nullopt;
    return *found;
}

}  // namespace

Engine::Engine(EngineConfig config)
    : config_(std::move(config)),
      fragmenter_(std::make_unique<BleFragmenter>()),
      reassembler_(std::make_unique<BleReassembler>()),
      msg_ids_(std::make_unique<MessageIds>(derive_device_id(config_.static_private_key))) {
    if (config_.hello_counter_start) {
        hello_counter_ = *config_.hello_counter_start;
    } else {
        std::array<std::uint8_t, 8> seed{};
        if (random_fill(seed)) hello_counter_ = read_be(seed);
    }
}

// Members copy one by one; the owned parts (handshake, fragmenter, reassembler, ids) deeply.
Engine::Engine(const Engine&) = default;

std::unique_ptr<Engine> Engine::snapshot() const { return std::unique_ptr<Engine>(new Engine(*this)); }

Engine::~Engine() {
    wipe_bind_key();
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
    OPENSSL_cleanse(config_.static_private_key.data(), config_.static_private_key.size());
}

void Engine::wipe_bind_key() { OPENSSL_cleanse(bind_key_.data(), bind_key_.size()); }

std::size_t Engine::ble_mtu() const { return std::max(config_.ble_mtu, reassembler_->mtu()); }

void Engine::raise_ble_mtu(std::size_t mtu) { reassembler_->raise_mtu(mtu); }

bool Engine::handshake_started() const { return handshake_ != nullptr; }

void Engine::push_event(AppEventKind kind, AppEventPayload payload) {
    events_.push_back(AppEvent{kind, std::move(payload)});
}

std::vector<AppEvent> Engine::take_events() {
    std::vector<AppEvent> out;
    out.swap(events_);
    return out;
}

void Engine::set_state_direct(EngineState s) {
    state_ = s;
    push_event(AppEventKind::StateChanged, StateChangedEvent{s});
}

bool Engine::transition(const EngineEvent& event) {
    const auto target = transition_target(state_, event);
    if (!target) {
        report_error(kErrGeneral,
                     format_text("状态迁移失败: {}",
                                 format_text("非法迁移 {} --{}--> 无目标", state_text_name(state_),
                                             event_text_name(event))));
        return false;
    }
    const EngineState from = state_;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "state.transition",
                   {{"from", std::string(state_event_name(from))},
                    {"to", std::string(state_event_name(*target))}});
    set_state_direct(*target);
    return true;
}

void Engine::report_error(std::int32_t code, const std::string& text) {
    if (debug_log_enabled())
        emit_event(LogLevel::Error, "session", "error",
                   {{"code", std::to_string(code)}, {"ctx", text}});
    push_event(AppEventKind::EngineError, EngineErrorEvent{code, text});
}

void Engine::reset_session() {
    handshake_.reset();
    session_key_ready_ = false;
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
    session_id_.fill(0);
    sas_send_.reset();
    sas_local_.reset();
    peer_confirmed_ = false;
    peer_done_ = false;
    identity_verified_ = false;
    verdict_made_ = false;
    handshake_hash_.reset();
    peer_fingerprint_.clear();
    peer_public_key_.clear();
    static_fp_.clear();
    pending_old_fingerprint_.clear();
    peer_name_.clear();
    identity_deadline_.reset();
    plain_seq_ = 0;
    send_seq_ = 1;
    replay_.reset();
    hello_received_ = false;
    hello_sent_ = false;
    tcp_bound_ = false;
    bound_conn_ = 0;
    wipe_bind_key();
    binds_.clear();
    parked_.clear();
    parked_bytes_ = 0;
    bind_out_.clear();
    lock_ = {};
    receiving_.clear();
    last_tcp_receive_.reset();
    last_tcp_ping_.reset();
    tcp_out_.clear();
    received_chunks_.clear();
}

// Each connection still binding has its own deadline from the first timer step that sees it.
void Engine::bind_deadlines(Instant now) {
    std::vector<std::uint64_t> expired;
    for (BindContext& b : binds_) {
        if (b.step == 2) continue;
        if (!b.deadline) {
            b.deadline = now + kTcpBindDeadline;
        } else if (now >= *b.deadline) {
            expired.push_back(b.conn);
        }
    }
    for (std::uint64_t conn : expired) give_up_binding(conn, "对端未在时限内完成 TCP 通道绑定");
}

void Engine::return_to_discover() {
    reset_session();
    reconnect_attempts_ = 0;
    reconnect_deadline_.reset();
    set_state_direct(EngineState::Discover);
}

// ---- send paths ----

void Engine::report_frame_error(const FrameError& error, Transport transport) {
    report_error(kErrGeneral, format_text(transport == Transport::Tcp ? "TCP 组帧失败: {}" : "组帧失败: {}",
                                          error.display()));
}

bool Engine::queue_frame(const FrameHeader& header, ByteView body, Transport transport) {
    auto frame = encode_frame(header, body);
    if (!frame) {
        report_frame_error(frame.error(), transport);
        return false;
    }
    return queue_encoded(std::move(*frame), transport);
}

bool Engine::queue_encoded(Bytes frame, Transport transport) {
    if (transport == Transport::Tcp) {
        tcp_out_.push_back(std::move(frame));
        return true;
    }
    if (ble_lost_) return false;
    auto sent = fragmenter_->push_encoded(frame, ble_mtu(), ble_out_);
    if (!sent) {
        report_error(kErrGeneral, sent.error().context());
        return false;
    }
    return true;
}

bool Engine::send_clear(std::uint8_t type, ByteView payload, Transport transport) {
    FrameHeader h;
    h.type = type;
    h.flags = 0;
    h.seq = plain_seq_++;
    h.payload_len = static_cast<std::uint32_t>(payload.size());
    return queue_frame(h, payload, transport);
}

bool Engine::send_clear_ble(std::uint8_t type, ByteView payload) {
    return send_clear(type, payload, Transport::Ble);
}
bool Engine::send_clear_tcp(std::uint8_t type, ByteView payload) {
    return send_clear(type, payload, Transport::Tcp);
}

bool Engine::send_encrypted(std::uint8_t type, ByteView plaintext, Transport transport) {
    const ByteView parts[] = {plaintext};
    return send_encrypted(type, parts, transport);
}

bool Engine::send_encrypted(std::uint8_t type, ByteParts plaintext, Transport transport) {
    if (!session_key_ready_) {
        report_error(kErrGeneral, "未配对，消息未发送");
        return false;
    }
    if (send_seq_ == kSendSeqExhausted) {
        report_error(kErrGeneral, "发送序号已耗尽，需重握手以免 nonce 复用");
        return false;
    }
    FrameHeader h;
    h.type = type;
    h.flags = type == HEARTBEAT ? 0 : FLAG_ENCRYPTED;
    h.seq = send_seq_++;
    std::size_t len = 0;
    for (ByteView piece : plaintext) len += piece.size();
    h.payload_len = static_cast<std::uint32_t>(len);
    // A frame the peer's parser would refuse is never put on the wire.
    if (len > FRAME_MAX_PAYLOAD) {
        report_frame_error(FrameError::payload_too_large(h.payload_len), transport);
        return false;
    }
    // A heartbeat is never sealed: its header announces no tag.
    if (!h.encrypted()) {
        report_frame_error(FrameError::length_mismatch(h.body_len(), len + kAeadTagLen), transport);
        return false;
    }
    return queue_encoded(seal_frame(session_key_, session_id_, config_.role, h, plaintext), transport);
}

bool Engine::send_encrypted_ble(std::uint8_t type, ByteView plaintext) {
    return send_encrypted(type, plaintext, Transport::Ble);
}

// ---- HELLO ----

void Engine::open_with_hello(Instant now) {
    hello_sent_ = true;
    last_hello_repeat_ = now;
    send_hello();
}

void Engine::send_hello() {
    ++hello_counter_;
    Bytes seq;
    put_be(seq, hello_counter_, 8);
    const std::string_view name = utf8_cut(config_.device_name, HELLO_NAME_MAX);
    const std::string_view version = utf8_cut(config_.app_version, HELLO_VERSION_MAX);
    const TlvRecord records[] = {
        {TAG_NAME, Bytes(name.begin(), name.end())},
        {TAG_OS, Bytes{config_.os}},
        {TAG_VERSION, Bytes(version.begin(), version.end())},
        {TAG_HELLO_SEQ, std::move(seq)},
    };
    auto payload = encode_tlvs(records);
    invariant(payload.ok(), "HELLO 的四条 TLV 恒在 64B 预算内（见 HELLO_VERSION_MAX）");
    send_clear_ble(HELLO, *payload);
}

void Engine::receive_hello(ByteView payload) {
    std::string name;
    if (auto v = hello_field(payload, TAG_NAME)) {
        const std::string_view text = utf8_cut(as_text(*v), HELLO_NAME_MAX);
        if (utf8_valid(text)) name = std::string(text);
    }
    std::uint8_t os = 0;
    if (auto v = hello_field(payload, TAG_OS); v && !v->empty()) os = (*v)[0];
    std::optional<std::string> version;
    if (auto v = hello_field(payload, TAG_VERSION); v && utf8_valid(as_text(*v)))
        version = std::string(as_text(*v));
    std::optional<std::uint64_t> counter;
    if (auto v = hello_field(payload, TAG_HELLO_SEQ); v && v->size() == 8)
        counter = read_be(*v);

    bool repeat = false;
    if (hello_received_) {
        if (state_ == EngineState::Paired || state_ == EngineState::Closed) {
            if (counter && peer_hello_counter_ && *counter == *peer_hello_counter_) {
                if (debug_log_enabled())
                    emit_event(LogLevel::Info, "session", "peer.hello_repeat");
                repeat = true;
            } else {
                return_to_discover();
            }
        } else if (state_ == EngineState::Reconnecting) {
            reset_session();
            reconnect_attempts_ = 0;
            reconnect_deadline_.reset();
            transition(EngineEvent{EngineEventKind::ReconnectSucceeded});
        }
    }
    if (!repeat && counter) peer_hello_counter_ = counter;

    if (!hello_received_) {
        hello_received_ = true;
        peer_name_ = name;
        if (state_ == EngineState::Discover || state_ == EngineState::Closed)
            transition(EngineEvent{EngineEventKind::PeerDiscovered});
        if (!hello_sent_) {
            hello_sent_ = true;
            send_hello();
        }
        if (debug_log_enabled())
            emit_event(LogLevel::Info, "session", "peer.hello",
                       {{"name", name}, {"os", std::to_string(os)}, {"ver", version.value_or("")}});
        push_event(AppEventKind::PeerHello, PeerHelloEvent{name, os, version});
    }

    if (config_.role == 0 && !handshake_) {
        start_handshake();
        write_handshake_message();
    }
}

// ---- heartbeats and timers ----

bool Engine::handle_heartbeat(const Frame& frame, Transport transport) {
    auto pong = find_tlv(frame.payload, TAG_PONG);
    if (pong && pong->has_value()) return true;
    auto ping = find_tlv(frame.payload, TAG_PING);
    if (ping && ping->has_value()) {
        if (state_ == EngineState::Paired) send_clear(HEARTBEAT, single_tlv(TAG_PONG), transport);
        return true;
    }
    report_error(kErrGeneral, "心跳载荷畸形");
    return false;
}

void Engine::timer_step(Instant now) {
    switch (state_) {
        case EngineState::Discover:
            if (config_.role == 0 &&
                (!last_hello_repeat_ || now - *last_hello_repeat_ >= kHelloRepeat)) {
                last_hello_repeat_ = now;
                if (debug_log_enabled()) emit_event(LogLevel::Info, "session", "discover.reattach");
                send_hello();
            }
            break;

        case EngineState::Paired: {
            if (tcp_bound_) {
                const Duration idle = last_tcp_receive_ ? now - *last_tcp_receive_ : Duration::zero();
                if (idle < kTcpTimeout) {
                    const bool due = last_tcp_ping_ ? now - *last_tcp_ping_ >= kTcpPingAfter
                                                    : idle >= kTcpPingAfter;
                    if (due) {
                        last_tcp_ping_ = now;
                        send_clear_tcp(HEARTBEAT, single_tlv(TAG_PING));
                    }
                } else {
                    if (debug_log_enabled())
                        emit_event(LogLevel::Warn, "session", "tcp.heartbeat.timeout",
                                   {{"idle_ms", std::to_string(whole_ms(idle))}});
                    drop_tcp_connection(bound_conn_, format_text(
                        "TCP 心跳超时（静默 {}s）",
                        std::chrono::duration_cast<std::chrono::seconds>(idle).count()));
                }
            }
            bind_deadlines(now);

            const Duration idle =
                last_link_receive_ ? now - *last_link_receive_ : Duration::zero();
            const Duration interval = config_.heartbeat_interval;
            if (idle >= interval + config_.heartbeat_grace) {
                if (debug_log_enabled())
                    emit_event(LogLevel::Warn, "session", "heartbeat.timeout",
                               {{"idle_ms", std::to_string(whole_ms(idle))}});
                transition(EngineEvent{EngineEventKind::HeartbeatTimeout});
                report_error(kErrGeneral, "心跳超时，进入重连");
                reconnect_attempts_ = 0;
                reconnect_deadline_ = now;
            } else {
                const bool due = last_link_ping_ ? now - *last_link_ping_ >= interval
                                                 : idle >= interval;
                if (due) {
                    last_link_ping_ = now;
                    send_clear_ble(HEARTBEAT, single_tlv(TAG_PING));
                }
            }
            break;
        }

        case EngineState::Reconnecting:
            if (!reconnect_deadline_ || now >= *reconnect_deadline_) {
                if (reconnect_attempts_ < kReconnectAttempts) {
                    const std::uint8_t n = reconnect_attempts_;
                    reconnect_attempts_ = n + 1;
                    send_hello();
                    reconnect_deadline_ = now + std::chrono::seconds(1u << n);
                    if (debug_log_enabled())
                        emit_event(LogLevel::Info, "session", "reconnect.attempt",
                                   {{"delay_s", std::to_string(1u << n)}});
                    report_error(kErrGeneral, "重连尝试：重新广播 HELLO");
                } else {
                    reconnect_deadline_.reset();
                    if (debug_log_enabled())
                        emit_event(LogLevel::Warn, "session", "reconnect.exhausted");
                    return_to_discover();
                    report_error(kErrGeneral, "重连 6 次失败，回到发现态");
                }
            }
            break;

        case EngineState::Handshake:
            if (handshake_hash_ && !identity_verified_) {
                if (!identity_deadline_) {
                    identity_deadline_ = now + kIdentityDeadline;
                } else if (now >= *identity_deadline_) {
                    identity_deadline_.reset();
                    report_error(kErrIdentity,
                                 "对端未在时限内完成设备身份交换（版本不匹配或连接异常）");
                    transition(EngineEvent{EngineEventKind::HeartbeatTimeout});
                }
            }
            break;

        default:
            break;
    }
}

void Engine::ble_link_lost(std::string_view reason, Instant now) {
    if (ble_lost_) return;
    ble_lost_ = true;
    // Counted as taken and never written, so the senders see them as lost.
    ble_taken_ += ble_out_.size();
    ble_out_.clear();
    if (debug_log_enabled()) emit_event(LogLevel::Warn, "session", "ble.lost", {{"reason", std::string(reason)}});
    if (tcp_bound_ && state_ == EngineState::Paired) {
        report_error(kErrGeneral, format_text("蓝牙连接断开（{}），会话暂由局域网通道维持", reason));
        return;
    }
    lose_session(format_text("蓝牙连接断开（{}），进入重连", reason));
    if (state_ == EngineState::Reconnecting) reconnect_deadline_ = now;
}

void Engine::lose_session(const std::string& text) {
    // Discover and Closed had no peer to lose; Reconnecting has already lost it.
    if (state_ == EngineState::Discover || state_ == EngineState::Closed || state_ == EngineState::Reconnecting)
        return;
    transition(EngineEvent{EngineEventKind::HeartbeatTimeout});
    report_error(kErrGeneral, text);
    reconnect_attempts_ = 0;
    reconnect_deadline_.reset();
}

std::optional<Bytes> Engine::next_ble_fragment() {
    if (ble_out_.empty()) return std::nullopt;
    Bytes out = std::move(ble_out_.front());
    ble_out_.pop_front();
    ++ble_taken_;
    return out;
}

std::optional<Bytes> Engine::next_tcp_frame() {
    if (tcp_out_.empty()) return std::nullopt;
    Bytes out = std::move(tcp_out_.front());
    tcp_out_.pop_front();
    return out;
}

std::vector<Bytes> Engine::take_ble_fragments() {
    std::vector<Bytes> out(std::make_move_iterator(ble_out_.begin()), std::make_move_iterator(ble_out_.end()));
    ble_taken_ += out.size();
    ble_out_.clear();
    return out;
}

std::vector<Bytes> Engine::take_tcp_frames() {
    std::vector<Bytes> out(std::make_move_iterator(tcp_out_.begin()), std::make_move_iterator(tcp_out_.end()));
    tcp_out_.clear();
    return out;
}

std::vector<ReceivedChunk> Engine::take_chunks() {
    std::vector<ReceivedChunk> out(std::make_move_iterator(received_chunks_.begin()),
                                   std::make_move_iterator(received_chunks_.end()));
    received_chunks_.clear();
    return out;
}

void Engine::put_back_chunks(std::vector<ReceivedChunk> chunks) {
    received_chunks_.insert(received_chunks_.begin(), std::make_move_iterator(chunks.begin()),
                            std::make_move_iterator(chunks.end()));
}

std::size_t Engine::chunk_backlog_bytes() const {
    std::size_t total = 0;
    for (const auto& c : received_chunks_) total += c.data.size();
    return total;
}

// Mirrors timer_step: each branch names the instant at which it would next act. An unset
// "last" time means the step acts at its first call, which Instant::min() says.
std::optional<Instant> Engine::next_deadline() const {
    std::optional<Instant> first;
    auto consider = [&first](Instant t) {
        if (!first || t < *first) first = t;
    };
    const Instant asap = Instant::min();
    switch (state_) {
        case EngineState::Discover:
            if (config_.role == 0) consider(last_hello_repeat_ ? *last_hello_repeat_ + kHelloRepeat : asap);
            break;
        case EngineState::Paired: {
            if (tcp_bound_) {
                if (!last_tcp_receive_) {
                    consider(asap);
                } else {
                    consider(*last_tcp_receive_ + kTcpTimeout);
                    consider(last_tcp_ping_ ? *last_tcp_ping_ + kTcpPingAfter : *last_tcp_receive_ + kTcpPingAfter);
                }
            }
            for (const BindContext& b : binds_)
                if (b.step != 2) consider(b.deadline ? *b.deadline : asap);
            if (!last_link_receive_) {
                consider(asap);
            } else {
                consider(*last_link_receive_ + config_.heartbeat_interval + config_.heartbeat_grace);
                consider(last_link_ping_ ? *last_link_ping_ + config_.heartbeat_interval
                                         : *last_link_receive_ + config_.heartbeat_interval);
            }
            break;
        }
        case EngineState::Reconnecting:
            consider(reconnect_deadline_ ? *reconnect_deadline_ : asap);
            break;
        case EngineState::Handshake:
            if (handshake_hash_ && !identity_verified_) consider(identity_deadline_ ? *identity_deadline_ : asap);
            break;
        default:
            break;
    }
    return first;
}

}  // namespace dovan
