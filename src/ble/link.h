// The PC's side of the BLE link: the scan list fed by the watcher, connecting to a phone's
// Dovan service, the paced writer, and the health logic that heals a dead link or dials a
// known phone by itself. Runs on the core thread; the two platform callbacks only record.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/ble.h"
#include "platform/clock.h"
#include "protocol/product.h"
#include "ble/scan_list.h"
#include "session/engine.h"

namespace dovan::ble {

inline constexpr int kConnectAttempts = 6;
inline constexpr Duration kConnectRetryPause = std::chrono::milliseconds(700);
inline constexpr int kWritesPerPass = 8;
inline constexpr Duration kWritePassBudget = std::chrono::milliseconds(150);
inline constexpr Duration kWritePoll = std::chrono::milliseconds(2);
inline constexpr std::uint32_t kHealAfterFailures = 6;
inline constexpr Duration kHealSilence = std::chrono::seconds(5);
inline constexpr Duration kHealSpacing = std::chrono::seconds(8);
inline constexpr Duration kHealWait = std::chrono::seconds(30);
inline constexpr std::uint32_t kMaxHealAttempts = 3;
inline constexpr Duration kAutodialSilence = std::chrono::seconds(30);
inline constexpr Duration kAutodialSpacing = std::chrono::seconds(30);
// After a dial that found no phone, the next waits for a sighting from after it, and at
// least this long.
inline constexpr Duration kAutodialRetryPause = std::chrono::seconds(1);
inline constexpr std::uint32_t kAutodialGiveUp = 3;

struct HealTarget {
    std::vector<std::string> names;
    Instant deadline{};
};

// The link's share of the core state: the engine that exists while a phone is connected,
// and the members that decide when to heal or dial.
struct LinkState {
    std::unique_ptr<Engine> engine;
    std::uint32_t ble_write_failures = 0;
    std::optional<std::string> last_ble_error;
    Instant last_rx{};
    Instant last_heal{};
    std::uint32_t heal_attempts = 0;
    std::optional<HealTarget> heal_target;
    std::optional<std::vector<std::string>> autodial_names;
    std::uint32_t autodial_attempts = 0;
    std::optional<Instant> autodial_next;
    // When the platform said the link went; a sighting from before it does not show the
    // phone is back.
    std::optional<Instant> lost_at;
    // Where the trusted phone was last connected (kept in the data folder across runs):
    // automatic dials try it before any name.
    std::optional<std::uint64_t> trusted_address;
    // The current connection was made by the heal or the autodial, by name at another
    // address than the trusted phone's; until it proves to be a trusted phone, another key
    // on it is dropped without a prompt.
    bool dialed_by_itself = false;
    // Addresses whose phone answered an automatic dial with another key, newest last;
    // automatic dials pass them over.
    std::vector<std::uint64_t> strangers;
};
inline constexpr std::size_t kMaxStrangers = 8;

// What the link asks of the core that owns it.
class LinkHost {
public:
    virtual ~LinkHost() = default;
    virtual void push_notice(std::string_view text) = 0;
    // The scan list shows a new device or name. Called on the platform's callback thread:
    // the host may read the list (it locks itself) but must not touch the link.
    virtual void scan_list_changed() = 0;
    // A value arrived from the phone. Called on the platform's callback thread; must not
    // block.
    virtual void value_arrived() = 0;
    // The platform reported the connection's state. Called on the platform's thread; must
    // not block: the core takes the news on its next turn.
    virtual void link_state_changed() = 0;
    // The BLE link under the session is gone and the engine knows it; what was queued for
    // it is lost. On the core thread.
    virtual void ble_lost(std::string_view reason) = 0;
    // A connection to this device is being made.
    virtual void connecting_to(std::uint64_t address) = 0;
    // Every attempt to connect failed; no engine exists.
    virtual void connect_failed() = 0;
    // The name the phone gave in its HELLO; empty before one.
    virtual std::string peer_name() const = 0;
    // The user's "connect to bound devices by itself" setting.
    virtual bool auto_connect_enabled() const = 0;
    // False while the user is deciding about a phone (a SAS or identity prompt is open).
    virtual bool user_deciding() const = 0;
    // The engine is about to be dropped for a new connection; it still answers.
    virtual void engine_ending() = 0;
    // A new connection replaces the old one: transfers bound to it end, the LAN side closes.
    virtual void before_connect() = 0;
    // Only a bound channel is the phone; an unbound connection may be anyone.
    virtual bool tcp_channel_bound() const = 0;
    // Channel key, device identity and a copy of the trusted list for a new engine.
    virtual EngineConfig engine_config() const = 0;
    virtual std::vector<TrustedPeer> trusted_peers() const = 0;
    // The stored fingerprint → advertised-name pairs, oldest first.
    virtual std::vector<TrustedPeer> stored_peer_names() const = 0;
};

// Values from the notify characteristic, appended by the platform callback and drained by
// the core. Unbounded: the core drains it every turn and the phone paces itself.
class InboundQueue {
public:
    void push(Bytes value);
    std::deque<Bytes> take_all();
    void clear();

private:
    std::mutex mu_;
    std::deque<Bytes> values_;
};

// The loss the platform reported for a connection, kept until the core takes it. Each
// connection has its own number, so a late report about an earlier one is ignored.
class LossSlot {
public:
    void note(std::uint64_t connection, std::string reason);
    std::optional<std::string> take(std::uint64_t connection);

private:
    std::mutex mu_;
    std::optional<std::pair<std::uint64_t, std::string>> lost_;
};

// True for an advertisement the scan list should show: named "Dovan", or carrying the
// Dovan service.
bool is_dovan_advertisement(const Advertisement& adv);

class Link {
public:
    Link(Clock& clock, LinkHost& host, LinkState& state);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Creates the watcher and starts scanning. An error means the watcher could not be made
    // at all (the text for "BLE 初始化失败: {}"); a scan that cannot start is only a notice.
    Status start(std::shared_ptr<Adapter> adapter);

    // `by_itself`: an automatic dial (heal, autodial), whose stranger is dropped quietly.
    void connect(const ScannedDevice& device, bool by_itself = false);
    void teardown();

    // The session on this connection reached a trusted phone: remember where it is.
    void note_trusted();
    // The automatic dial reached a phone with another key: end that session without a
    // word to the user, pass its address over and keep looking for the trusted one.
    void drop_stranger();

    // Core loop steps 6 to 10. Step 6 also takes a loss the platform reported.
    void drain_inbound();
    void write_pass();
    void heal_start();
    void heal_wait();
    void autodial();

    void arm_autodial(std::string_view why);

    bool connected() const { return write_char_ != nullptr; }
    bool write_in_flight() const { return in_flight_.has_value(); }
    // Fragments still to write: a failed one held for a retry, then the engine's queue.
    std::size_t fragments_waiting() const {
        return (retry_ ? 1 : 0) + (st_.engine ? st_.engine->ble_out().size() : 0);
    }
    std::optional<std::uint64_t> connected_address() const { return address_; }

    ScanList& scan_list() { return *scan_; }
    const ScanList& scan_list() const { return *scan_; }

private:
    struct InFlight {
        Bytes fragment;
        std::shared_ptr<WriteOperation> op;
    };
    struct Registration {
        std::shared_ptr<Characteristic> characteristic;
        std::uint64_t token = 0;
    };
    struct Attached {
        std::shared_ptr<Device> device;
        std::shared_ptr<Characteristic> write;
        std::shared_ptr<Characteristic> notify;
    };

    Result<Attached> attempt(std::uint64_t address);
    void write_failed(Bytes fragment, std::string text);
    // Raises the engine's MTU to what the stack reports for the write characteristic, where
    // it reports one; a longer notification can still raise it further.
    void follow_mtu();
    void lost(std::string reason);
    // True once there is no session left to keep: the autodial may replace it.
    bool session_lost(Instant now) const;
    // The device an automatic dial goes to: the trusted phone's address if it advertises,
    // else the newest device carrying one of `names` that has not proved a stranger; after
    // a loss, only one seen since.
    std::optional<ScannedDevice> dial_target(const std::vector<std::string>& names) const;

    Clock& clock_;
    LinkHost& host_;
    LinkState& st_;

    std::shared_ptr<Adapter> adapter_;
    std::unique_ptr<Watcher> watcher_;
    std::shared_ptr<InboundQueue> inbound_ = std::make_shared<InboundQueue>();
    std::shared_ptr<LossSlot> loss_ = std::make_shared<LossSlot>();
    // Numbers the connections, for the loss slot.
    std::uint64_t connection_ = 0;
    std::shared_ptr<ScanList> scan_ = std::make_shared<ScanList>();

    std::shared_ptr<Device> device_;
    std::optional<std::uint64_t> address_;
    std::shared_ptr<Characteristic> write_char_;
    std::shared_ptr<Characteristic> notify_char_;
    std::optional<Registration> registration_;
    std::optional<InFlight> in_flight_;
    // A fragment whose write failed; it goes out again before the engine's next one.
    std::optional<Bytes> retry_;
};

}  // namespace dovan::ble
