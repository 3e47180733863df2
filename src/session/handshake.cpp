// The Noise XX handshake as the engine runs it, its completion (key schedule) and the
// IDENTITY exchange that binds the RSA device identities to this very handshake.
#include <openssl/crypto.h>

#include "platform/debug_log.h"
#include "crypto/identity.h"
#include "crypto/noise.h"
#include "crypto/noise_resolver.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"
#include "session/engine_crypto.h"
#include "session/engine_handshake.h"

namespace dovan {

namespace {

constexpr std::size_t kHandshakeBuffer = 256;
constexpr std::size_t kNoiseFrameLimit = 65536;

const char* role_name(std::uint8_t role) { return role == 0 ? "initiator" : "responder"; }

}  // namespace

void Engine::start_handshake() {
    if (handshake_) return;
    if (state_ == EngineState::Discover || state_ == EngineState::Closed)
        transition(EngineEvent{EngineEventKind::PeerDiscovered});
    const NoiseRole role = config_.role == 0 ? NoiseRole::Initiator : NoiseRole::Responder;
    auto created = HandshakeState::create(dovan_noise_resolver(), role, config_.static_private_key);
    if (!created) {
        report_error(kErrGeneral, format_text("握手参数解析失败: {}", created.error().display()));
        return;
    }
    handshake_ = std::make_unique<Handshake>(*created);
}

void Engine::write_handshake_message() {
    if (!handshake_ || handshake_->state.finished()) {
        report_error(kErrGeneral, "握手写出失败: 握手尚未完成或越序调用");
        return;
    }
    auto msg = handshake_->state.write_message();
    if (!msg) {
        report_error(kErrGeneral, format_text("握手写出失败: {}", msg.error().display()));
        return;
    }
    invariant(msg->size() <= kHandshakeBuffer, "握手消息不超过 256B 缓冲");
    ++handshake_->written;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "noise.write_msg",
                   {{"role", role_name(config_.role)},
                    {"msg_no", std::to_string(handshake_->written)},
                    {"len", std::to_string(msg->size())}});
    // The responder's first message is the REPLY; every other handshake message is a CHALLENGE.
    const std::uint8_t type =
        (config_.role == 1 && handshake_->written == 1) ? REPLY : CHALLENGE;
    send_clear_ble(type, *msg);
    if (handshake_->state.finished()) complete_handshake();
}

void Engine::read_handshake_message(const Frame& frame) {
    const std::uint8_t type = frame.header.type;
    if (config_.role == 1 && type != CHALLENGE) {
        report_error(kErrGeneral, "Responder 收到非 CHALLENGE 握手段");
        return;
    }
    if (config_.role == 0 && type != REPLY) {
        report_error(kErrGeneral, "Initiator 收到非 REPLY 握手段");
        return;
    }
    if (!handshake_) start_handshake();
    if (!handshake_) return;
    if (handshake_->state.finished()) {
        // A finished handshake takes no more messages; the session is renewed through HELLO.
        report_error(kErrGeneral, "握手读入失败: 握手尚未完成或越序调用");
        return;
    }
    if (frame.payload.size() >= kNoiseFrameLimit) {
        report_error(kErrGeneral,
                     format_text("握手读入失败: {}",
                                 format_text("{} 长度异常：{}B（期望 {}B）", "handshake_message",
                                             frame.payload.size(), kNoiseMaxMessage)));
        return;
    }
    // read_message is all-or-nothing, so a rejected message leaves the handshake intact.
    auto payload = handshake_->state.read_message(frame.payload);
    if (!payload) {
        report_error(kErrGeneral, format_text("握手读入失败: {}", payload.error().display()));
        return;
    }
    ++handshake_->read;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "noise.read_msg",
                   {{"role", role_name(config_.role)},
                    {"msg_no", std::to_string(handshake_->read)},
                    {"len", std::to_string(payload->size())}});
    if (handshake_->state.finished()) {
        complete_handshake();
    } else {
        write_handshake_message();
    }
}

void Engine::complete_handshake() {
    const HandshakeState& hs = handshake_->state;
    const ByteView h = hs.handshake_hash();
    if (h.size() != 32) {
        report_error(kErrGeneral,
                     format_text("握手收尾失败: {}", format_text("{} 长度异常：{}B（期望 {}B）",
                                                                 "handshake_hash", h.size(), 32)));
        return;
    }
    const auto rs = hs.remote_static();
    if (!rs) {
        report_error(kErrGeneral, "握手收尾失败: 远程静态公钥尚未交换");
        return;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "noise.handshake_done", {{"role", role_name(config_.role)}});
    auto keys = hs.split();
    if (!keys) {
        report_error(kErrGeneral, format_text("握手收尾失败: {}", keys.error().display()));
        return;
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "crypto", "noise.split", {{"role", role_name(config_.role)}});

    auto secrets = derive_session_secrets(h, *keys, *rs);
    OPENSSL_cleanse(keys->k1.data(), keys->k1.size());
    OPENSSL_cleanse(keys->k2.data(), keys->k2.size());
    if (!secrets) {
        report_error(kErrGeneral, format_text("会话密钥派生失败: {}", secrets.error().display()));
        return;
    }
    session_key_ = secrets->session_key;
    OPENSSL_cleanse(secrets->session_key.data(), secrets->session_key.size());
    session_id_ = secrets->session_id;
    sas_send_ = secrets->sas;
    sas_local_ = secrets->sas;
    static_fp_ = secrets->static_fp;
    session_key_ready_ = true;
    std::array<std::uint8_t, 32> hash{};
    std::copy(h.begin(), h.end(), hash.begin());
    handshake_hash_ = hash;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "handshake.done",
                   {{"sas_present", "true"}, {"static_fp", static_fp_}});
    send_identity();
}

void Engine::send_identity() {
    if (!config_.identity) {
        report_error(kErrIdentity, "本机设备身份不可用（RSA 初始化失败），已拒绝配对");
        transition(EngineEvent{EngineEventKind::UserDisconnect});
        return;
    }
    auto payload = build_identity_payload(*config_.identity, *handshake_hash_);
    if (!payload) {
        report_error(payload.error().code, payload.error().text);
    } else {
        send_encrypted_ble(IDENTITY, *payload);
    }
    decide_trust();
}

void Engine::receive_identity(ByteView payload) {
    if (!handshake_hash_) {
        report_error(kErrGeneral, "IDENTITY 先于握手完成到达，已丢弃");
        return;
    }
    auto parsed = parse_identity_payload(payload);
    if (!parsed) {
        report_error(parsed.error().code, parsed.error().text);
        return;
    }
    auto verified = verify_identity(*parsed, *handshake_hash_);
    if (!verified) {
        report_error(verified.error().error.code, verified.error().error.text);
        transition(EngineEvent{EngineEventKind::UserDisconnect});
        return;
    }
    peer_fingerprint_ = verified->fingerprint;
    peer_public_key_ = std::move(verified->public_key);
    identity_verified_ = true;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "identity.received",
                   {{"ok", "true"}, {"fp", peer_fingerprint_}});
    decide_trust();
}

}  // namespace dovan
