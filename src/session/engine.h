// The per-connection session engine: HELLO, the Noise handshake, identity exchange,
// pairing, heartbeats and reconnection, and the handling of every inbound frame.
//
// The engine is sans-I/O. Bytes and instants come in as arguments; fragments for the BLE
// writer, frames for the TCP writer and application events for the core go out through
// its outboxes. Only the core thread touches it, so it has no locks.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "platform/clock.h"
#include "crypto/crypto_error.h"
#include "crypto/identity.h"
#include "crypto/primitives.h"
#include "crypto/wiped_key.h"
#include "protocol/frame.h"
#include "session/engine_types.h"
#include "session/replay_window.h"

namespace dovan {

struct FileChunkView;

class BleFragmenter;
class BleReassembler;
class MessageIds;
using DeviceId = std::array<std::uint8_t, 8>;

struct EngineConfig {
    Duration heartbeat_interval = std::chrono::seconds(30);
    Duration heartbeat_grace = std::chrono::seconds(30);
    // Wiped wherever the configuration goes: the temporary a key was handed over in too.
    WipedKey32 static_private_key;
    std::uint8_t role = 0;  // 0 initiator (the PC), 1 responder (the phone)
    std::uint8_t os = 2;
    std::string device_name;
    std::string app_version;
    // Absent when the identity key could not be loaded or created.
    std::optional<DeviceIdentity> identity;
    std::vector<TrustedPeer> trusted;
    // The ATT MTU this side knows its link to have. The central learns the phone's larger
    // MTU from the values it receives; a peripheral knows it from the negotiation.
    std::size_t ble_mtu = 23;
    // Start of the HELLO counter; drawn from the random source when absent.
    std::optional<std::uint64_t> hello_counter_start;
};

// A file chunk waiting for the core's receiver.
struct ReceivedChunk {
    std::uint64_t file_id = 0;
    std::uint32_t index = 0;
    Bytes data;
    std::uint32_t crc32 = 0;
};

class Engine {
public:
    // Frames parked per connection still binding, and their bytes over all connections.
    static constexpr std::size_t kMaxParkedFrames = 16;
    static constexpr std::size_t kMaxParkedBytes = std::size_t{16} * 1024 * 1024;
    // Connections binding at once; the channel accepts fewer, so this only guards the engine.
    static constexpr std::size_t kMaxTcpBindings = 16;
    static constexpr std::size_t kMaxCancelledIds = 32;
    static constexpr std::size_t kMaxReceiving = 8;
    static constexpr std::size_t kClipboardMax = 32768;
    // A FILE_CHUNK is refused while the TCP writer has more than this many frames waiting.
    static constexpr std::size_t kTcpChunkBacklog = 15;
    static constexpr std::uint32_t kSendSeqExhausted = 0xFFFFFFFFu;

    explicit Engine(EngineConfig config);
    ~Engine();
    Engine& operator=(const Engine&) = delete;
    // An independent copy of the whole state: a driver pairs once (two RSA signatures and
    // X25519) and starts each run from the same point.
    std::unique_ptr<Engine> snapshot() const;

    // ---- state machine ----
    EngineState state() const { return state_; }
    // Applies the transition table; an invalid pair is reported and changes nothing.
    bool transition(const EngineEvent& event);
    void report_error(std::int32_t code, const std::string& text);
    void return_to_discover();

    // ---- inbound ----
    // One value from the BLE notify characteristic: stamps the link, reassembles, and hands
    // a completed frame to handle_frame.
    void take_ble_value(ByteView value, Instant now);
    // Stamps traffic on the TCP channel (the core calls it for authenticated TCP frames).
    void note_tcp_receive(Instant now) { last_tcp_receive_ = now; }
    void note_link_receive(Instant now) { last_link_receive_ = now; }
    // The single entry point for every complete frame. True when the frame is proof that
    // the peer is alive: a heartbeat on BLE or on the bound TCP channel, or a sealed frame
    // that opened. Parked, refused and forged frames are not.
    bool handle_frame(ByteView bytes, Transport transport, std::uint64_t conn = 0);
    // The same for a TCP frame the caller gives up: it is decrypted where it lies instead
    // of into a copy, so its bytes are garbage afterwards.
    // `conn` names the connection it came by (0 where there is only ever one, as for the
    // phone or a test pair); a frame of a connection this engine does not bind is refused.
    bool handle_tcp_frame_in_place(std::span<std::uint8_t> bytes, std::uint64_t conn = 0);
    // The encrypted path: replay check, open, window update, state gate, dispatch. True
    // once the frame opened under the session key.
    bool handle_sealed_frame(const Frame& frame, Transport transport);

    // ---- HELLO and timers ----
    // The HELLO that opens every new BLE connection; it counts as this session's answer.
    void open_with_hello(Instant now);
    void send_hello();
    // Called by the core at most once a second.
    void timer_step(Instant now);
    // The platform says the BLE link under this session is gone. Nothing queued for it can
    // be written any more (a new BLE connection is a new session), and BLE sends fail from
    // here on. Without a bound TCP channel the session is lost as after a heartbeat timeout;
    // with one it goes on over TCP, and is lost when that ends too.
    void ble_link_lost(std::string_view reason, Instant now);
    bool ble_lost() const { return ble_lost_; }

    // ---- handshake ----
    bool handshake_started() const;

    // ---- pairing (user actions and frames) ----
    void confirm_sas();
    void reject_pairing();
    void reaccept_identity();

    // ---- outbound ----
    bool send_encrypted_ble(std::uint8_t type, ByteView plaintext);
    bool send_encrypted_tcp(std::uint8_t type, ByteView plaintext);
    bool send_clear_ble(std::uint8_t type, ByteView payload);

    // ---- TCP channel binding ----
    // A TCP connection was accepted (the PC) or made (the phone) while paired: it starts
    // an unbound binding of its own, with its own nonce. Several may bind at once on the
    // PC (anyone on the network can connect); the phone's proof over BLE names the one it
    // made by echoing that connection's nonce, and binding it ends the others. A second
    // start for the same `conn` (0 on the phone and in test pairs) replaces its binding.
    void start_bind_server(std::uint64_t conn = 0);
    void start_bind_client();
    bool tcp_bound() const { return tcp_bound_; }
    // The connection the channel is bound to, while it is.
    std::optional<std::uint64_t> bound_conn() const;
    bool bind_in_progress() const { return !binds_.empty(); }
    bool binds_conn(std::uint64_t conn) const;
    // Every binding ends.
    void unbind(const std::string& reason);
    // Connection `conn` is gone: its binding ends; when it was the bound one, the channel
    // is unbound with `reason`, and the other connections binding meanwhile go on.
    void drop_tcp_connection(std::uint64_t conn, const std::string& reason);
    // Frames for connections still binding (the PC's nonce for each), with the
    // connection each is for. Frames for the bound connection, or where there is only
    // one connection, go with take_tcp_frames instead.
    std::vector<std::pair<std::uint64_t, Bytes>> take_bind_frames();

    // ---- outbound routing ----
    // Wraps `body` in an Envelope and sends it over TCP when bound, else BLE; a `locked`
    // message (a file chunk) follows the transfer lock.
    bool send_business(std::uint8_t type, ByteView body, std::uint64_t timestamp_ms, bool locked);
    // A file chunk, sealed straight from `chunk.data`: the largest message is never copied
    // into an encoding or an envelope first. Follows the transfer lock.
    bool send_file_chunk(const FileChunkView& chunk, std::uint64_t timestamp_ms);
    bool send_tcp_only(std::uint8_t type, ByteView body, std::uint64_t timestamp_ms);
    // Over BLE whatever the TCP channel does (the clipboard push).
    bool send_ble_only(std::uint8_t type, ByteView body, std::uint64_t timestamp_ms);
    bool send_file_done(std::uint64_t file_id, bool ok, const std::optional<std::string>& error,
                        const std::optional<Bytes>& digest, bool cancelled,
                        std::uint64_t timestamp_ms);
    bool send_file_resume(std::uint64_t file_id, std::uint32_t from_index,
                          std::uint64_t timestamp_ms);
    const TransferLock& transfer_lock() const { return lock_; }
    void set_transfer_lock(TransferLock lock) { lock_ = lock; }

    // ---- outputs: pulled by the owner; nothing outside the engine edits its queues ----
    std::vector<AppEvent> take_events();
    // The next fragment for the BLE writer, oldest first; nothing when none waits.
    std::optional<Bytes> next_ble_fragment();
    std::vector<Bytes> take_ble_fragments();
    std::optional<Bytes> next_tcp_frame();
    // Every frame for the TCP connection, oldest first.
    std::vector<Bytes> take_tcp_frames();
    // Every received file chunk, oldest first.
    std::vector<ReceivedChunk> take_chunks();
    // Returns chunks taken but not handled yet to the front of the queue, in their order.
    void put_back_chunks(std::vector<ReceivedChunk> chunks);
    // What waits, read-only: for pacing decisions and for tests.
    const std::vector<AppEvent>& events() const { return events_; }
    const std::deque<Bytes>& ble_out() const { return ble_out_; }
    // Fragments ever queued for BLE and those the writer saw acknowledged, counted from
    // the engine's start: a message whose last fragment was number n (the queued count
    // right after it was sent) reached the phone once the written count is n or more.
    // GATT writes complete in order, so nothing else is needed to tell what a dead link took.
    std::uint64_t ble_fragments_queued() const { return ble_taken_ + ble_out_.size(); }
    std::uint64_t ble_fragments_written() const { return ble_written_; }
    void note_ble_fragment_written() { ++ble_written_; }
    const std::deque<Bytes>& tcp_out() const { return tcp_out_; }
    const std::deque<ReceivedChunk>& received_chunks() const { return received_chunks_; }
    std::size_t chunk_backlog_bytes() const;
    // The earliest instant at which timer_step has something to do (an instant at or before
    // now: at once); nothing while no timer runs. The owner need not call timer_step before.
    std::optional<Instant> next_deadline() const;

    // ---- observers ----
    std::uint8_t role() const { return config_.role; }
    const std::vector<TrustedPeer>& trusted_peers() const { return config_.trusted; }
    // The user unbinds: nothing this engine was told to trust stays trusted.
    void forget_trusted() {
        config_.trusted.clear();
        peer_fingerprint_.clear();
    }
    bool session_key_ready() const { return session_key_ready_; }
    std::optional<std::uint32_t> local_sas() const { return sas_local_; }
    const std::string& peer_fingerprint() const { return peer_fingerprint_; }
    const std::string& peer_name() const { return peer_name_; }
    const std::string& remote_static_fingerprint() const { return static_fp_; }
    bool identity_verified() const { return identity_verified_; }
    bool peer_confirmed() const { return peer_confirmed_; }
    bool peer_done() const { return peer_done_; }
    std::uint32_t send_seq() const { return send_seq_; }
    std::uint32_t plain_seq() const { return plain_seq_; }
    std::uint8_t reconnect_attempts() const { return reconnect_attempts_; }
    const LinkReplayGuard& replay_guard() const { return replay_; }
    std::size_t parked_frames() const { return parked_.size(); }
    std::size_t parked_frames(std::uint64_t conn) const;
    std::uint64_t late_frames() const { return late_frames_; }
    bool is_cancelled(std::uint64_t file_id) const;
    // A transfer this side cancelled: its late frames are dropped (the oldest of 32 ids gives way).
    void add_cancelled(std::uint64_t file_id);
    // A frame of a cancelled transfer turned up late: counted and logged, then dropped.
    void note_late_frame(const std::string& kind, std::uint64_t file_id, const std::string& detail);
    const std::vector<std::uint64_t>& receiving() const { return receiving_; }
    const DeviceId& device_id() const;
    std::optional<std::array<std::uint8_t, 32>> handshake_hash() const { return handshake_hash_; }
    std::size_t ble_mtu() const;
    // The MTU the BLE stack reports for the link: a raise like a longer value's (23..517,
    // never a fall); frames sent from now on are cut to it.
    void raise_ble_mtu(std::size_t mtu);

    // Lets tests reach the end of the 32-bit send counter without sending 4 billion frames.
    void set_send_seq_for_test(std::uint32_t seq) { send_seq_ = seq; }
    // Lets writer tests queue fragments of their own.
    void queue_ble_fragment_for_test(Bytes fragment) { ble_out_.push_back(std::move(fragment)); }
    // Lets back-pressure tests fill the received-chunk queue without a transfer.
    void queue_chunk_for_test(ReceivedChunk chunk) { received_chunks_.push_back(std::move(chunk)); }

private:
    struct Handshake;
    // A unique_ptr whose copy owns a copy of the pointee, so Engine's copy is memberwise.
    template <class T>
    class Owned : public std::unique_ptr<T> {
    public:
        using std::unique_ptr<T>::unique_ptr;
        using std::unique_ptr<T>::operator=;
        Owned(std::unique_ptr<T> p) : std::unique_ptr<T>(std::move(p)) {}  // NOLINT: as unique_ptr
        Owned(const Owned& o) : std::unique_ptr<T>(o ? std::make_unique<T>(*o) : nullptr) {}
        Owned(Owned&&) noexcept = default;
        Owned& operator=(Owned&&) noexcept = default;
        ~Owned() = default;
    };
    Engine(const Engine&);

    // Steps of the exchanges, reached through handle_frame and the user actions.
    void receive_hello(ByteView payload);
    void start_handshake();
    void write_handshake_message();
    void read_handshake_message(const Frame& frame);
    bool send_pair_confirm();
    bool send_pair_done();
    bool send_clear_tcp(std::uint8_t type, ByteView payload);
    void on_bind_frame(const Frame& frame, Transport transport, std::uint64_t conn = 0);
    void reset_session();

    enum class BindRole : std::uint8_t { Server, Client };
    // One per connection binding or bound.
    struct BindContext {
        std::uint64_t conn = 0;
        BindRole role = BindRole::Server;
        std::optional<std::array<std::uint8_t, 16>> own_nonce;
        std::optional<std::array<std::uint8_t, 16>> peer_nonce;
        std::uint8_t step = 0;  // 0 fresh, 1 nonces exchanged, 2 bound
        bool own_nonce_sent = false;
        bool proof_sent = false;
        std::optional<Instant> deadline;  // armed by the first timer step
    };
    struct ParkedFrame {
        std::uint64_t conn = 0;
        Bytes bytes;
    };

    void push_event(AppEventKind kind, AppEventPayload payload);
    void set_state_direct(EngineState s);
    bool send_encrypted(std::uint8_t type, ByteView plaintext, Transport transport);
    bool send_encrypted(std::uint8_t type, ByteParts plaintext, Transport transport);
    bool send_business_parts(std::uint8_t type, ByteParts body, std::uint64_t timestamp_ms, bool locked);
    bool send_clear(std::uint8_t type, ByteView payload, Transport transport);
    bool queue_frame(const FrameHeader& header, ByteView body, Transport transport);
    bool queue_encoded(Bytes frame, Transport transport);
    bool tcp_may_carry(std::uint8_t type);
    Result<ByteView, CryptoError> open_payload(const FrameHeader& h, ByteView payload, Bytes& copy);
    void report_frame_error(const FrameError& error, Transport transport);
    bool handle_heartbeat(const Frame& frame, Transport transport);
    // The peer can no longer be reached: RECONNECTING, as after a heartbeat timeout.
    void lose_session(const std::string& text);
    bool handle_tcp_frame(ByteView bytes, const Frame& frame, std::uint64_t conn);
    bool park_or_dispatch(ByteView bytes, const Frame& frame, Transport transport, std::uint64_t conn = 0);
    void dispatch_sealed(std::uint8_t type, ByteView plaintext);
    // Business messages of a paired session (the types other than 4, 5 and 9).
    void dispatch_business(std::uint8_t type, ByteView plaintext);
    void receive_file_resume(ByteView body);
    void receive_clipboard(ByteView body);
    void receive_file_meta(ByteView body);
    void receive_file_chunk(ByteView body);
    void receive_file_done(ByteView body);
    void receive_file_cancel(ByteView body);

    [[nodiscard]] bool begin_binding(BindRole role, std::uint64_t conn);
    void wipe_bind_key();
    void end_binding(const std::string& reason, bool tell_core);
    void interrupt_tcp_transfers();
    void forget_binding(std::uint64_t conn);
    BindContext* binding_of(std::uint64_t conn);
    void bind_nonce_over_tcp(BindContext& ctx, ByteView payload);
    void bind_proof_over_ble(ByteView payload);
    void bind_deadlines(Instant now);
    void give_up_binding(std::uint64_t conn, const std::string& reason);
    bool send_bind_nonce(const BindContext& ctx);
    void flush_parked(std::uint64_t conn);
    Bytes envelope(ByteView body, std::uint64_t timestamp_ms);

    void complete_handshake();
    void send_identity();
    void receive_identity(ByteView payload);
    void decide_trust();
    void receive_pair_confirm(ByteView payload);
    void receive_pair_done(ByteView payload);
    void report_pair_done_lost();

    EngineConfig config_;
    EngineState state_ = EngineState::Discover;

    // counters
    std::uint32_t plain_seq_ = 0;
    std::uint32_t send_seq_ = 1;
    std::uint64_t hello_counter_ = 0;

    // handshake and session secrets
    Owned<Handshake> handshake_;
    bool session_key_ready_ = false;
    std::array<std::uint8_t, 32> session_key_{};
    std::array<std::uint8_t, 16> session_id_{};
    std::optional<std::array<std::uint8_t, 32>> handshake_hash_;
    std::string static_fp_;
    LinkReplayGuard replay_;

    // HELLO bookkeeping
    bool hello_received_ = false;
    bool hello_sent_ = false;
    std::optional<std::uint64_t> peer_hello_counter_;
    std::string peer_name_;

    // pairing bookkeeping
    std::optional<std::uint32_t> sas_send_;
    std::optional<std::uint32_t> sas_local_;
    bool peer_confirmed_ = false;
    bool peer_done_ = false;
    bool identity_verified_ = false;
    bool verdict_made_ = false;
    std::string peer_fingerprint_;
    Bytes peer_public_key_;
    std::string pending_old_fingerprint_;

    // timers
    std::optional<Instant> last_link_receive_;
    std::optional<Instant> last_link_ping_;
    std::optional<Instant> last_tcp_receive_;
    std::optional<Instant> last_tcp_ping_;
    std::optional<Instant> last_hello_repeat_;
    std::optional<Instant> identity_deadline_;
    std::optional<Instant> reconnect_deadline_;
    std::uint8_t reconnect_attempts_ = 0;

    bool ble_lost_ = false;  // beside the other small fields: the engine is laid out without holes

    // TCP channel
    bool tcp_bound_ = false;
    std::uint64_t bound_conn_ = 0;
    // Oldest first; the key is derived once for all of them and wiped when none is left.
    std::vector<BindContext> binds_;
    Key32 bind_key_{};
    std::deque<ParkedFrame> parked_;
    std::size_t parked_bytes_ = 0;
    std::deque<std::pair<std::uint64_t, Bytes>> bind_out_;
    // The frame being handled when its owner let it be decrypted in place; empty otherwise.
    std::span<std::uint8_t> writable_frame_;

    // file bookkeeping
    TransferLock lock_;
    std::deque<std::uint64_t> cancelled_;  // insertion order, oldest first
    std::vector<std::uint64_t> receiving_;
    std::uint64_t late_frames_ = 0;

    // outboxes
    std::vector<AppEvent> events_;
    std::deque<Bytes> ble_out_;
    std::uint64_t ble_taken_ = 0;
    std::uint64_t ble_written_ = 0;
    std::deque<Bytes> tcp_out_;
    std::deque<ReceivedChunk> received_chunks_;

    Owned<BleFragmenter> fragmenter_;
    Owned<BleReassembler> reassembler_;
    // Survives session resets: message ids stay unique for the engine's life.
    Owned<MessageIds> msg_ids_;
};

}  // namespace dovan
