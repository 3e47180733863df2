// Vocabulary of the session engine: states, engine events, the application events the
// core drains, and the trusted-peer entries the trust decision reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/text.h"
#include "protocol/messages.h"

namespace dovan {

enum class EngineState : std::uint8_t {
    Discover = 0,
    Handshake = 1,
    Pairing = 2,
    SasCompare = 3,
    Paired = 4,
    Repaired = 5,
    Reconnecting = 6,
    Closed = 7,
};

// Upper-case name for debug events ("SAS_COMPARE").
std::string_view state_event_name(EngineState s);
// Capitalised name for error texts ("SasCompare").
std::string_view state_text_name(EngineState s);

enum class TrustVerdict : std::uint8_t { NewPeer = 0, Matched = 1, Mismatch = 2 };

std::string_view verdict_text_name(TrustVerdict v);   // "NewPeer"
std::string_view verdict_event_name(TrustVerdict v);  // "new_peer"

enum class EngineEventKind : std::uint8_t {
    PeerDiscovered,
    HandshakeComplete,
    SasConfirmed,
    SasRejected,
    FingerprintReAccepted,
    HeartbeatTimeout,
    ReconnectSucceeded,
    ReconnectExhausted,
    UserDisconnect,
    ProcessKilled,
};

struct EngineEvent {
    EngineEventKind kind;
    TrustVerdict verdict = TrustVerdict::NewPeer;  // meaningful for HandshakeComplete only

    static EngineEvent handshake_complete(TrustVerdict v) {
        return {EngineEventKind::HandshakeComplete, v};
    }
    bool operator==(const EngineEvent&) const = default;

    // One-byte form: 0-2 HandshakeComplete with that verdict, 3 PeerDiscovered, 5-12 the rest.
    std::uint8_t to_byte() const;
    static std::optional<EngineEvent> from_byte(std::uint8_t b);
};

// "SasConfirmed", or "HandshakeComplete { tofu: NewPeer }".
std::string event_text_name(const EngineEvent& e);

// The state a transition leads to, or nothing when the pair is not in the table.
std::optional<EngineState> transition_target(EngineState from, const EngineEvent& e);

enum class Transport : std::uint8_t { Ble = 0, Tcp = 1 };

struct TrustedPeer {
    std::string fingerprint;
    std::string name;  // empty when the peer's HELLO carried none
    bool operator==(const TrustedPeer&) const = default;
};

// ---- Application events (drained by the core every turn) ----

enum class AppEventKind : std::uint8_t {
    StateChanged,
    PeerHello,
    SasReady,
    PeerTrusted,
    IdentityChanged,
    NotificationPushed,
    NotificationReplyRequested,
    NotificationReplyAcked,
    NotificationDismissed,
    ClipboardReceived,
    MediaStateReceived,
    MediaCommandReceived,
    DeviceStatusReceived,
    FileMetaReceived,
    FileDoneReceived,
    ResumeRequested,
    TcpBound,
    TcpUnbound,
    TransferInterrupted,
    TransferCancelled,
    AlbumListRequested,
    AlbumListReceived,
    AlbumThumbRequested,
    AlbumThumbReceived,
    AlbumFullRequested,
    ConfigSyncReceived,
    EngineError,
};

struct StateChangedEvent { EngineState state; };
struct PeerHelloEvent {
    std::string name;
    std::uint8_t os = 0;
    std::optional<std::string> version;
};
struct SasReadyEvent { std::uint32_t sas = 0; };
struct PeerTrustedEvent { std::string fingerprint; };
struct IdentityChangedEvent {
    std::string name;
    std::string old_fingerprint;
    std::string new_fingerprint;
};
struct ClipboardReceivedEvent { std::string text; };
struct FileMetaReceivedEvent {
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t file_id = 0;
    std::uint32_t chunk_size = 0;
    std::optional<Bytes> sha256;
    std::uint32_t crc32 = 0;
    std::uint64_t album_id = 0;  // 0 when the file is not an album item
};
struct FileDoneReceivedEvent {
    std::uint64_t file_id = 0;
    bool ok = false;
    std::string error;
    std::optional<Bytes> sha256;
};
struct ResumeRequestedEvent {
    std::uint64_t file_id = 0;
    std::uint32_t chunk_index = 0;
};
struct TcpBoundEvent { std::uint64_t conn = 0; };
// A connection's binding ended and the core closes `conn` (0: every connection). `channel`
// is false when only a connection still binding was given up while another binding goes
// on: the channel, as the user and the features see it, is untouched.
struct TcpUnboundEvent {
    std::string reason;
    std::uint64_t conn = 0;
    bool channel = true;
};
struct TransferInterruptedEvent {
    std::uint64_t file_id = 0;
    std::string text;
};
struct TransferCancelledEvent {
    std::uint64_t file_id = 0;
    std::string reason;
};
// A decoded business message handed to the core; the kind of the event names its type.
template <class M>
struct MessageEvent {
    M message;
};
struct EngineErrorEvent {
    std::int32_t code = -1;
    std::string text;
};

using AppEventPayload =
    std::variant<StateChangedEvent, PeerHelloEvent, SasReadyEvent, PeerTrustedEvent,
                 IdentityChangedEvent, ClipboardReceivedEvent, FileMetaReceivedEvent,
                 FileDoneReceivedEvent, ResumeRequestedEvent, TcpBoundEvent, TcpUnboundEvent,
                 TransferInterruptedEvent, TransferCancelledEvent, EngineErrorEvent,
                 MessageEvent<pb::NotificationPush>, MessageEvent<pb::NotificationReply>,
                 MessageEvent<pb::NotificationReplyAck>, MessageEvent<pb::NotificationDismiss>,
                 MessageEvent<pb::MediaState>, MessageEvent<pb::MediaCommand>,
                 MessageEvent<pb::DeviceStatus>, MessageEvent<pb::ConfigSync>,
                 MessageEvent<pb::AlbumListRequest>, MessageEvent<pb::AlbumList>,
                 MessageEvent<pb::AlbumThumbRequest>, MessageEvent<pb::AlbumThumb>,
                 MessageEvent<pb::AlbumFullRequest>>;

struct AppEvent {
    AppEventKind kind;
    AppEventPayload payload;

    template <class T>
    const T* as() const { return std::get_if<T>(&payload); }
};

// Which link carries the file this side is sending; none until file sending picks one.
enum class LockChannel : std::uint8_t { None = 0, Tcp = 1, Ble = 2 };

struct TransferLock {
    LockChannel channel = LockChannel::None;
    std::uint64_t file_id = 0;
    bool operator==(const TransferLock&) const = default;
};

// Engine error codes.
inline constexpr std::int32_t kErrGeneral = -1;
inline constexpr std::int32_t kErrRejected = -200;
inline constexpr std::int32_t kErrIdentity = -212;
inline constexpr std::int32_t kErrIdentityChanged = -213;

}  // namespace dovan
