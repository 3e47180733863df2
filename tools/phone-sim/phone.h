// A companion phone on the sim radio: it advertises, serves the Dovan GATT service, runs
// the responder side of the session engine with keys kept in its own folder, and can
// misbehave the ways real phones do. The command-line simulator and the end-to-end tests
// both run it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "crypto/identity.h"
#include "platform/ble.h"
#include "platform/clock.h"
#include "platform/sim/sim_peripheral.h"
#include "album.h"
#include "protocol/product.h"
#include "session/engine.h"
#include "transfer/chunk_writer.h"

namespace dovan::phonesim {

// How the phone mishandles a file it sends to the PC; everything off sends it properly.
struct SendFaults {
    std::uint32_t chunk_size = 262144;
    bool digest = true;                           // the SHA-256 in FILE_META and FILE_DONE
    bool wrong_digest = false;                    // a digest of other bytes
    std::optional<std::uint32_t> drop_chunk;      // chunk k is never sent (until asked again)
    std::optional<std::uint32_t> corrupt_chunk;   // chunk k goes out once with a bad byte
    std::optional<std::uint32_t> swap_chunk;      // chunk k+1 goes before chunk k
    bool done_early = false;                      // FILE_DONE before the last chunk, which follows
    bool withhold_last = false;                   // FILE_DONE before the last chunk, which never comes
    std::optional<std::uint32_t> cancel_after;    // a cancelling FILE_DONE after chunk k
    std::optional<std::uint32_t> drop_tcp_after;  // the TCP connection closes after chunk k
    std::optional<std::uint32_t> pause_after;     // after chunk k, waits for continue_sending()
};

// How the phone mishandles a file it receives from the PC.
struct ReceiveFaults {
    std::string refuse;                           // non-empty: every file is refused with this reason
    std::optional<std::uint32_t> resume_from;     // once, at chunk k: dropped and asked for again
    bool never_answer = false;                    // no FILE_DONE back
    std::optional<std::uint32_t> cancel_after;    // FILE_CANCEL after chunk k
    std::optional<std::uint32_t> drop_tcp_after;  // the TCP connection closes after chunk k
};
enum class ReplyAck : std::uint8_t { Ok, Never, Error };

// What a hostile phone throws at the PC once paired.
enum class HostileMode : std::uint8_t { Fragments, Frames, Notifications, Meta, Malformed, Oversized };
std::optional<HostileMode> parse_hostile_mode(std::string_view s);

struct PhoneOptions {
    std::string radio;     // the sim-radio folder
    std::string data_dir;  // keys, trusted PCs and the address live here between runs
    std::string name = "Pixel 8";
    std::string service_uuid = std::string(kServiceUuid);  // the one advertised
    std::optional<std::uint64_t> address;  // else the one kept in data_dir (made on first run)
    std::chrono::milliseconds advertise_every{200};
    std::size_t mtu = 185;  // notification size + 3, as the link negotiated it
    bool confirm_sas = true;
    std::optional<HostileMode> hostile;  // once paired, attacks the PC this way
    // A fresh RSA identity under the same name; the PCs it trusted are forgotten with it.
    bool new_identity = false;
    // Every Nth write is answered with `fail_status` and its value dropped (0: never).
    unsigned fail_every_nth_write = 0;
    std::uint8_t fail_status = static_cast<std::uint8_t>(ble::GattStatus::Unreachable);
    // The first N connections have their service discovery answered with AccessDenied.
    unsigned refuse_first_connects = 0;
    // Drops the central after this many writes on one connection (0: never); a phone that
    // disappears mid-handshake.
    unsigned drop_after_writes = 0;
    // After this long in PAIRED, goes silent: inbound values are ignored and nothing is sent.
    std::optional<std::chrono::milliseconds> silent_after_paired;
    // After this long in PAIRED, stops advertising and drops the link for `away_for`.
    std::optional<std::chrono::milliseconds> away_after_paired;
    std::chrono::milliseconds away_for{std::chrono::seconds(5)};
    // Once paired, connects to the PC's TCP channel on 127.0.0.1 at this port and binds
    // it as the client (absent: BLE only).
    std::optional<std::uint16_t> lan_port;
    // Files from the PC land here (created on demand).
    std::string inbox;
    ReceiveFaults receive_faults;
    // The album it serves over the TCP channel (none by default).
    AlbumOptions album;
    // How a reply from the PC is acknowledged.
    ReplyAck reply_ack = ReplyAck::Ok;
    std::string reply_error = "发送失败";
    // A media command from the PC is answered with the state it leads to.
    bool answer_media = true;
    // Once paired the first time: a notification with a verification code, the battery
    // and what is playing, so a first run shows what the features look like.
    bool demo = false;
};

// One line per event, for scripts and tests: "address <ADDR>", "identity <fp>",
// "connected", "disconnected", "hello <name>", "state <n>", "sas <dddddd>",
// "paired <fp>", "error <code> <text>" ("error -1 message 0xNN not sent: <why>" for each
// message that did not leave), "tcp connected", "tcp closed", "tcp 1", "tcp 0",
// "silent", "away", "back"; what the PC sent, one "rx …" line each (feature_lines.h);
// files: "file-in <name> ok <sha256>", "file-in <name> fail <reason>", "file-refused <name>",
// "file-out <name> ok", "file-out <name> fail <reason>", "file-out <name> cancelled <reason>",
// "file-out <name> unconfirmed <reason>" (all sent, the PC's answer lost with the channel),
// "file-resume <name> <k>".
using LineSink = std::function<void(const std::string&)>;

class Phone {
public:
    Phone(PhoneOptions options, LineSink sink, Clock& clock = system_clock());
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    // Loads or creates the keys and the address, then starts serving and advertising.
    Status start();
    void stop();

    std::uint64_t address() const { return address_; }
    std::string fingerprint() const;

    // Stops advertising and drops the central; comes back after `duration`.
    void go_away(std::chrono::milliseconds duration);
    void set_silent(bool silent);
    // Raw bytes onto the GATT stream (garbage, half messages).
    bool send_raw(ByteView bytes);
    void disconnect();
    bool connected() const;
    // Sends a file to the PC over the bound TCP channel (queued until it is bound).
    void send_file(std::string path, SendFaults faults = {});
    // Starts or stops the attack of `PhoneOptions::hostile`.
    void set_hostile(bool on);
    // Lets a file paused by its `pause_after` fault go on.
    void continue_sending();

    // A business message of `type` to the PC, routed as the engine routes (TCP once bound).
    // Refused with an "error" line when not paired.
    void send_message(std::uint8_t type, Bytes body);
    void set_reply_ack(ReplyAck mode, std::string error_text);
    void set_answer_media(bool answer);

private:
    struct Connected {};
    struct Disconnected {};
    struct Value { Bytes bytes; };
    struct Drop {};
    struct Away { std::chrono::milliseconds duration; };
    struct SendFile { std::string path; SendFaults faults; };
    struct Outbound { std::uint8_t type; Bytes body; };
    struct Setting { std::function<void(PhoneOptions&)> apply; };
    struct Continue {};
    using Input = std::variant<Connected, Disconnected, Value, Drop, Away, SendFile, Outbound, Setting, Continue>;

    struct Outgoing;
    struct Incoming;
    void file_event(const AppEvent& e);
    void take_chunks();
    void pump_send();
    bool sending() const;
    void queue_outgoing(SendFile& s);
    void resume_paused();
    void hostile_step();
    void drop_transfers();

    Status load_keys();
    Status load_address();
    void save_trusted();
    EngineConfig engine_config() const;
    std::unique_ptr<sim::SimPeripheral> make_radio();
    Status bring_up_radio();
    void post(Input input);
    void run();
    void handle(Input& input, Instant now);
    void drain_engine(Instant now);
    void tcp_step(Instant now);
    void tcp_close(const char* why);
    void emit(const std::string& line);
    // A business message from the PC: printed, and answered where a phone would answer.
    void on_business(const AppEvent& event);
    void send_now(std::uint8_t type, const Bytes& body);
    // "error -1 message 0xNN not sent: <why>": a message this phone was asked to send or
    // had queued did not leave.
    void not_sent(std::uint8_t type, const char* why);
    void send_demo();

    PhoneOptions opt_;
    LineSink sink_;
    Clock& clock_;
    std::uint64_t address_ = 0;
    Bytes channel_key_;
    std::optional<DeviceIdentity> identity_;
    std::vector<TrustedPeer> trusted_;  // worker thread only after start()

    mutable std::mutex radio_mu_;  // never held while a radio is destroyed: it joins threads that post
    std::unique_ptr<sim::SimPeripheral> radio_;
    std::atomic<unsigned> connects_{0};
    std::atomic<unsigned> writes_{0};           // on the current connection
    std::atomic<unsigned> writes_total_{0};     // for every-Nth failures
    std::atomic<bool> silent_{false};
    std::atomic<bool> hostile_on_{true};
    std::uint64_t hostile_count_ = 0;
    std::atomic<std::uint64_t> hostile_sent_{0};  // attack items that left the phone

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Input> inbox_;
    bool stop_ = false;
    std::optional<Instant> back_at_;  // while away
    std::thread worker_;

    // Worker thread only.
    std::unique_ptr<Engine> engine_;
    std::optional<Instant> paired_since_;
    bool silent_done_ = false;
    bool away_done_ = false;
    bool demo_done_ = false;
    bool media_playing_ = true;
    Instant last_tick_{};
    int tcp_fd_ = -1;
    Bytes tcp_in_;
    std::optional<Instant> last_tcp_attempt_;
    std::vector<std::uint8_t> rx_buf_;
    std::deque<std::unique_ptr<Outgoing>> outgoing_;
    // Before the incoming files: their sinks need it until they are gone.
    ChunkWriter writer_;
    std::vector<std::unique_ptr<Incoming>> incoming_;
    bool drop_tcp_after_flush_ = false;  // a fault: the connection goes once queued frames are out
    SimAlbum album_{opt_.album};
};

}  // namespace dovan::phonesim
