// Trust on first use: the verdict, PAIR_CONFIRM / PAIR_DONE and the user's three actions.
#include "common/bytes.h"
#include "platform/debug_log.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"
#include "session/engine_crypto.h"

namespace dovan {

namespace {

Bytes sas_bytes(std::uint32_t sas) {
    Bytes out(3);
    store_be24(out.data(), sas);
    return out;
}

}  // namespace

void Engine::decide_trust() {
    if (verdict_made_ || !handshake_hash_ || !identity_verified_) return;
    verdict_made_ = true;
    const std::string fp = peer_fingerprint_;
    const std::string name = peer_name_;

    TrustVerdict verdict = TrustVerdict::NewPeer;
    const TrustedPeer* conflict = nullptr;
    for (const auto& entry : config_.trusted) {
        if (entry.fingerprint == fp) {
            verdict = TrustVerdict::Matched;
            break;
        }
    }
    if (verdict != TrustVerdict::Matched) {
        for (const auto& entry : config_.trusted) {
            if (!entry.name.empty() && entry.name == name && entry.fingerprint != fp) {
                verdict = TrustVerdict::Mismatch;
                conflict = &entry;
                break;
            }
        }
    }
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "session", "tofu.verdict",
                   {{"verdict", std::string(verdict_event_name(verdict))}, {"fp", fp}});
    // A verdict reached outside HANDSHAKE (the engine was closed by an identity failure
    // and a later IDENTITY verified) must not announce trust or start pairing.
    if (!transition(EngineEvent::handshake_complete(verdict))) return;

    switch (verdict) {
        case TrustVerdict::NewPeer:
            if (!send_pair_confirm() && debug_log_enabled())
                emit_event(LogLevel::Warn, "session", "pair.frame_lost", {{"frame", "PAIR_CONFIRM"}});
            break;
        case TrustVerdict::Mismatch: {
            const std::string old_fp = conflict->fingerprint;
            pending_old_fingerprint_ = old_fp;
            push_event(AppEventKind::IdentityChanged, IdentityChangedEvent{name, old_fp, fp});
            report_error(kErrIdentityChanged,
                         format_text("设备「{}」身份已变化（旧 {} → 新 {}），需重新配对确认", name,
                                     old_fp, fp));
            break;
        }
        case TrustVerdict::Matched:
            push_event(AppEventKind::PeerTrusted, PeerTrustedEvent{fp});
            if (!send_pair_done()) report_pair_done_lost();
            break;
    }
}

bool Engine::send_pair_confirm() {
    if (!sas_send_) return false;
    const TlvRecord record{TAG_SAS, sas_bytes(*sas_send_)};
    auto payload = encode_tlvs({&record, 1});
    invariant(payload.ok(), "单条 TLV 必在 64B 内");
    return send_encrypted_ble(PAIR_CONFIRM, *payload);
}

bool Engine::send_pair_done() {
    if (!sas_send_ || peer_fingerprint_.empty()) return false;
    const TlvRecord record{TAG_FINGERPRINT,
                           Bytes(peer_fingerprint_.begin(), peer_fingerprint_.end())};
    auto payload = encode_tlvs({&record, 1});
    invariant(payload.ok(), "指纹 TLV 远小于 64B");
    return send_encrypted_ble(PAIR_DONE, *payload);
}

void Engine::report_pair_done_lost() {
    if (debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "pair.frame_lost", {{"frame", "PAIR_DONE"}});
    report_error(kErrGeneral,
                 "配对确认没送到对端：本机已记下这台设备，对端会停在配对那一步，请让两端重新连接一次");
}

void Engine::receive_pair_confirm(ByteView payload) {
    std::optional<std::uint32_t> received;
    if (sas_send_) {
        auto found = find_tlv(payload, TAG_SAS);
        if (found && found->has_value() && (*found)->size() == 3) {
            received = load_be24((*found)->data());
        }
    }
    if (!received) {
        report_error(kErrGeneral, "PAIR_CONFIRM 载荷畸形");
        return;
    }
    if (!sas_local_) return;
    if (*received != *sas_local_) {
        transition(EngineEvent{EngineEventKind::SasRejected});
        report_error(kErrGeneral, "PAIR_CONFIRM 的 SAS 与本端不一致");
        session_key_ready_ = false;
        return;
    }
    switch (state_) {
        case EngineState::Pairing:
            peer_confirmed_ = true;
            transition(EngineEvent{EngineEventKind::SasConfirmed});
            push_event(AppEventKind::SasReady, SasReadyEvent{*sas_local_});
            break;
        case EngineState::SasCompare:
        case EngineState::Repaired:
            peer_confirmed_ = true;
            break;
        case EngineState::Paired:
            if (!send_pair_confirm() && debug_log_enabled())
                emit_event(LogLevel::Warn, "session", "pair.frame_lost", {{"frame", "PAIR_CONFIRM"}});
            if (!send_pair_done()) report_pair_done_lost();
            push_event(AppEventKind::SasReady, SasReadyEvent{*sas_local_});
            break;
        default:
            break;
    }
}

void Engine::receive_pair_done(ByteView payload) {
    if (!sas_send_ || !session_key_ready_) {
        if (debug_log_enabled())
            emit_event(LogLevel::Warn, "session", "pair.done_dropped",
                       {{"paired", sas_send_ ? "1" : "0"}});
        return;
    }
    auto found = find_tlv(payload, TAG_FINGERPRINT);
    if (!found || !found->has_value()) {
        report_error(kErrGeneral, "PAIR_DONE 载荷畸形");
        return;
    }
    const std::string_view claimed = as_text(**found);
    const std::string text = utf8_valid(claimed) ? std::string(claimed) : std::string();
    if (!config_.identity) {
        report_error(kErrGeneral, "本机身份不可用，PAIR_DONE 未采纳");
        return;
    }
    if (text == config_.identity->fingerprint()) {
        peer_done_ = true;
    } else {
        report_error(kErrIdentityChanged, "PAIR_DONE 声明的本端指纹与本机身份不一致");
    }
}

void Engine::confirm_sas() {
    if (state_ != EngineState::SasCompare) {
        report_error(kErrGeneral, "当前不在 SAS 比对阶段");
        return;
    }
    transition(EngineEvent{EngineEventKind::SasConfirmed});
    if (!send_pair_done()) report_pair_done_lost();
    if (!peer_fingerprint_.empty()) {
        auto& list = config_.trusted;
        const std::string old_fp = pending_old_fingerprint_;
        std::erase_if(list, [&](const TrustedPeer& e) {
            return e.fingerprint == peer_fingerprint_ ||
                   (!old_fp.empty() && e.fingerprint == old_fp);
        });
        pending_old_fingerprint_.clear();
        list.push_back(TrustedPeer{peer_fingerprint_, peer_name_});
        if (debug_log_enabled())
            emit_event(LogLevel::Info, "session", "pair.confirm",
                       {{"sas_present", "true"}, {"fp", peer_fingerprint_}});
        push_event(AppEventKind::PeerTrusted, PeerTrustedEvent{peer_fingerprint_});
    }
}

void Engine::reject_pairing() {
    if (state_ != EngineState::Pairing && state_ != EngineState::SasCompare &&
        state_ != EngineState::Repaired) {
        report_error(kErrGeneral, "当前不在配对阶段");
        return;
    }
    transition(EngineEvent{EngineEventKind::SasRejected});
    report_error(kErrRejected, "已拒绝本次配对");
    session_key_ready_ = false;
}

void Engine::reaccept_identity() {
    if (state_ != EngineState::Repaired) {
        report_error(kErrGeneral, "当前不在身份复核阶段");
        return;
    }
    transition(EngineEvent{EngineEventKind::FingerprintReAccepted});
    if (!send_pair_confirm() && debug_log_enabled())
        emit_event(LogLevel::Warn, "session", "pair.frame_lost", {{"frame", "PAIR_CONFIRM"}});
    if (peer_confirmed_ && state_ == EngineState::Pairing) {
        transition(EngineEvent{EngineEventKind::SasConfirmed});
        if (sas_local_) push_event(AppEventKind::SasReady, SasReadyEvent{*sas_local_});
    }
}

}  // namespace dovan
