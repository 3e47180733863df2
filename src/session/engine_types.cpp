#include "session/engine_types.h"

namespace dovan {

std::string_view state_event_name(EngineState s) {
    switch (s) {
        case EngineState::Discover: return "DISCOVER";
        case EngineState::Handshake: return "HANDSHAKE";
        case EngineState::Pairing: return "PAIRING";
        case EngineState::SasCompare: return "SAS_COMPARE";
        case EngineState::Paired: return "PAIRED";
        case EngineState::Repaired: return "REPAIRED";
        case EngineState::Reconnecting: return "RECONNECTING";
        case EngineState::Closed: return "CLOSED";
    }
    return "?";
}

std::string_view state_text_name(EngineState s) {
    switch (s) {
        case EngineState::Discover: return "Discover";
        case EngineState::Handshake: return "Handshake";
        case EngineState::Pairing: return "Pairing";
        case EngineState::SasCompare: return "SasCompare";
        case EngineState::Paired: return "Paired";
        case EngineState::Repaired: return "Repaired";
        case EngineState::Reconnecting: return "Reconnecting";
        case EngineState::Closed: return "Closed";
    }
    return "?";
}

std::string_view verdict_text_name(TrustVerdict v) {
    switch (v) {
        case TrustVerdict::NewPeer: return "NewPeer";
        case TrustVerdict::Matched: return "Matched";
        case TrustVerdict::Mismatch: return "Mismatch";
    }
    return "?";
}

std::string_view verdict_event_name(TrustVerdict v) {
    switch (v) {
        case TrustVerdict::NewPeer: return "new_peer";
        case TrustVerdict::Matched: return "matched";
        case TrustVerdict::Mismatch: return "mismatch";
    }
    return "?";
}

std::uint8_t EngineEvent::to_byte() const {
    switch (kind) {
        case EngineEventKind::HandshakeComplete: return static_cast<std::uint8_t>(verdict);
        case EngineEventKind::PeerDiscovered: return 3;
        default: return static_cast<std::uint8_t>(static_cast<int>(kind) - 2 + 5);
    }
}

std::optional<EngineEvent> EngineEvent::from_byte(std::uint8_t b) {
    if (b <= 2) return handshake_complete(static_cast<TrustVerdict>(b));
    if (b == 3) return EngineEvent{EngineEventKind::PeerDiscovered};
    if (b >= 5 && b <= 12)
        return EngineEvent{static_cast<EngineEventKind>(b - 5 + 2)};
    return std::nullopt;
}

std::string event_text_name(const EngineEvent& e) {
    switch (e.kind) {
        case EngineEventKind::PeerDiscovered: return "PeerDiscovered";
        case EngineEventKind::HandshakeComplete:
            return "HandshakeComplete { tofu: " + std::string(verdict_text_name(e.verdict)) + " }";
        case EngineEventKind::SasConfirmed: return "SasConfirmed";
        case EngineEventKind::SasRejected: return "SasRejected";
        case EngineEventKind::FingerprintReAccepted: return "FingerprintReAccepted";
        case EngineEventKind::HeartbeatTimeout: return "HeartbeatTimeout";
        case EngineEventKind::ReconnectSucceeded: return "ReconnectSucceeded";
        case EngineEventKind::ReconnectExhausted: return "ReconnectExhausted";
        case EngineEventKind::UserDisconnect: return "UserDisconnect";
        case EngineEventKind::ProcessKilled: return "ProcessKilled";
    }
    return "?";
}

std::optional<EngineState> transition_target(EngineState from, const EngineEvent& e) {
    using S = EngineState;
    using K = EngineEventKind;
    if (e.kind == K::UserDisconnect || e.kind == K::ProcessKilled) return S::Closed;
    switch (from) {
        case S::Discover:
        case S::Closed:
            if (e.kind == K::PeerDiscovered) return S::Handshake;
            break;
        case S::Handshake:
            if (e.kind == K::HandshakeComplete) {
                switch (e.verdict) {
                    case TrustVerdict::NewPeer: return S::Pairing;
                    case TrustVerdict::Matched: return S::Paired;
                    case TrustVerdict::Mismatch: return S::Repaired;
                }
            }
            if (e.kind == K::HeartbeatTimeout) return S::Reconnecting;
            break;
        case S::Pairing:
            if (e.kind == K::SasConfirmed) return S::SasCompare;
            if (e.kind == K::SasRejected) return S::Closed;
            if (e.kind == K::HeartbeatTimeout) return S::Reconnecting;
            break;
        case S::SasCompare:
            if (e.kind == K::SasConfirmed) return S::Paired;
            if (e.kind == K::SasRejected) return S::Closed;
            if (e.kind == K::HeartbeatTimeout) return S::Reconnecting;
            break;
        case S::Paired:
            if (e.kind == K::HeartbeatTimeout) return S::Reconnecting;
            break;
        case S::Repaired:
            if (e.kind == K::SasRejected) return S::Closed;
            if (e.kind == K::FingerprintReAccepted) return S::Pairing;
            if (e.kind == K::HeartbeatTimeout) return S::Reconnecting;
            break;
        case S::Reconnecting:
            if (e.kind == K::HeartbeatTimeout) return S::Reconnecting;
            if (e.kind == K::ReconnectSucceeded) return S::Handshake;
            if (e.kind == K::ReconnectExhausted) return S::Discover;
            break;
    }
    return std::nullopt;
}

}  // namespace dovan
