// The core thread: one loop that polls, in a fixed order, the window's requests, the
// transports, the transfers and its own timers, then pauses and starts over. It never
// blocks on a channel, so one thread owns the engine and nothing in it needs a lock. The
// pause lasts until the next deadline or 200 ms, whichever is first, and ends early when
// work arrives: everything that leaves work for the core notifies the UI state's
// core_wake().
#pragma once

#include <atomic>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/link.h"
#include "features/features.h"
#include "common/result.h"
#include "common/text.h"
#include "crypto/identity.h"
#include "lan/discovery.h"
#include "lan/tcp_channel.h"
#include "platform/ble.h"
#include "platform/clock.h"
#include "session/engine.h"
#include "shell/ui_state.h"

namespace dovan {

// The longest pause between turns; work arriving (a request, a frame, a BLE value) or a
// nearer deadline ends it sooner.
inline constexpr Duration kCoreTurnPause = std::chrono::milliseconds(200);
inline constexpr Duration kEngineTimerPeriod = std::chrono::seconds(1);
inline constexpr Duration kScanListTtl = std::chrono::seconds(12);
inline constexpr std::uint64_t kIdleCapMs = 3'600'000;
// How long data must stand still before a transfer's freed buffers are given back: longer than
// the gaps inside a transfer, short enough that an idle process soon looks idle.
inline constexpr Duration kStreamSettleTime = std::chrono::seconds(2);
inline constexpr std::size_t kBulkFrameBytes = std::size_t{64} * 1024;

// The trusted phone's last BLE address, in the data folder.
inline constexpr const char* kTrustedAddressFile = "trusted_address.txt";
// A line of one address; anything longer is not ours and is ignored.
inline constexpr std::uint64_t kMaxTrustedAddressBytes = 64;

inline constexpr std::string_view kNoPairedLink = "操作没有执行：本机现在没有已配对的连接";

// The steps of one turn, numbered as they run.
using CoreStep = TurnStep;

inline constexpr Duration kLanRetry = std::chrono::seconds(5);
// Inbound TCP pauses while this much received file data waits for the disk.
inline constexpr std::size_t kChunkBacklogStop = std::size_t{8} * 1024 * 1024;

// How the LAN side opens its sockets.
struct LanOptions {
    // Tests running side by side each take a port of their own (0: any free one).
    std::uint16_t port = kLanPort;
    // While the sim radio stands in for BLE the phone lives on this machine, so the
    // listener binds 127.0.0.1 and beacons stay on loopback. On by default so that nothing
    // but the program itself, on a real BLE stack, ever reaches a real network.
    bool loopback_only = true;
};

class SecretProtector;
class DeviceKeyFactory;

// What the program hands the core thread. The settings reach it through the UI state
// (its settings mirror and the loaded modules, both built from settings.ini at start-up);
// the data directory is resolved by the program (APPDATA, Linux fallbacks).
struct CoreConfig {
    std::shared_ptr<SharedUi> ui{};
    RepaintFn window{};  // may be empty: nothing to repaint
    // Where the stores live, resolved once by the program; empty when none could be found,
    // and then start-up fails with the stores' own text.
    std::filesystem::path data_dir{};
    // The BLE stack; null when none could be opened, and then `ble_error` says why and the
    // core stops at start-up with "BLE 初始化失败: {}".
    std::shared_ptr<ble::Adapter> ble{};
    std::string ble_error{};
    LanOptions lan{};
    // Key sealing and device-key generation for the stores; null: the platform's own.
    const SecretProtector* protector = nullptr;
    const DeviceKeyFactory* device_keys = nullptr;
    // The feature modules; empty: the program's own (Features::standard). Tests put
    // recorders here to watch what the core hands each module.
    std::function<Features::Modules(FeatureHost&)> features{};
    // The local clipboard, shared with the front end; null: text from the phone is not
    // written anywhere.
    std::shared_ptr<Clipboard> clipboard{};
};

// Everything the core thread owns. The engine, the BLE link, the LAN side, the stores
// and the transfers join it as members of their own.
struct CoreState {
    std::shared_ptr<SharedUi> ui;
    RepaintFn window;  // may be empty: nothing to repaint
    LoadedModules modules;

    LanOptions lan;

    // Loaded at start-up.
    Bytes channel_key;
    std::optional<DeviceIdentity> identity;
    std::vector<TrustedPeer> trusted_peers;
    // The fingerprint a changed identity replaces, once the user accepted the change; it
    // leaves the trusted list when the new identity's pairing completes.
    std::string replaced_fingerprint;

    // The engine and the members that keep the BLE link alive.
    ble::LinkState link;

    // The LAN side: present from the first PAIRED turn (file transfer loaded) until
    // shutdown_lan.
    std::optional<Discovery> discovery;
    std::optional<TcpChannel> tcp;
    // A close kept for step 4: frames the peer sent before it are still waiting to be read.
    std::optional<TcpClosed> held_close;

    std::uint64_t tcp_conn_id = 0;  // the bound connection; 0: none
    // The engine binds, or is binding, at least one connection the core handed it.
    bool tcp_channel_open = false;
    std::optional<Instant> last_listen_attempt;
    std::optional<Instant> last_udp_open_attempt;

    Instant last_timer_tick{};

    // When the last chunk-sized frame came or went; while set, the heap may still hold a
    // transfer's freed buffers.
    std::optional<Instant> streamed_at;

    // The UI change counter as of the last repaint the idle step asked for.
    std::uint64_t repainted_counter = 0;
};

// Tests look inside a core through it; the program never does.
class CoreProbe;

class Core final : private ble::LinkHost, private FeatureHost {
public:
    Core(CoreConfig config, Clock& clock);
    ~Core() override;

    // Work done once before the loop. A failure ends the core thread without a loop; it
    // has already been shown to the user.
    Status start();

    // One turn: steps 1 to 21, then the pause.
    void turn();

    // Turns until `stop` is set. The program never sets it; tests and teardown do.
    void run(const std::atomic<bool>& stop);

    void push_notice(std::string_view text) override;
    void request_repaint() override;
    void arm_autodial(std::string_view reason);
    void shutdown_lan();

    Engine* engine() override { return st_.link.engine.get(); }
    ble::Link& link() { return *link_; }

    // Called as each step begins; lets tests watch the order of a turn.
    void set_step_observer(std::function<void(CoreStep)> observer) { observer_ = std::move(observer); }

private:
    friend class CoreProbe;

    void enter(CoreStep step) {
        if (observer_) observer_(step);
    }

    // The session engine joins the core state with the BLE link; until a connection is
    // made there is none, and every step that needs it is skipped.
    bool engine_present() const { return st_.link.engine != nullptr; }

    // ble::LinkHost
    void scan_list_changed() override;
    void value_arrived() override { st_.ui->core_wake().notify(); }
    void link_state_changed() override { st_.ui->core_wake().notify(); }
    void ble_lost(std::string_view reason) override;
    void connecting_to(std::uint64_t address) override;
    void connect_failed() override;
    std::string peer_name() const override;
    bool auto_connect_enabled() const override;
    bool user_deciding() const override;
    void engine_ending() override;
    void before_connect() override;
    void mirror_scan_list();
    // The earliest instant a step has timed work; the pause never runs past it.
    std::optional<Instant> next_deadline() const;
    bool tcp_channel_bound() const override;
    EngineConfig engine_config() const override;
    std::vector<TrustedPeer> trusted_peers() const override { return st_.trusted_peers; }
    std::vector<TrustedPeer> stored_peer_names() const override;

    // FeatureHost
    Clock& clock() override { return clock_; }
    SharedUi& ui() override { return *st_.ui; }
    LoadedModules modules() const override { return st_.modules; }
    void save_settings() override;
    const std::filesystem::path& data_dir() const override { return config_.data_dir; }
    Clipboard* clipboard() override { return config_.clipboard.get(); }

    // The modules hear when the engine appears or goes, however that happened.
    void sync_engine_presence();

    void on_app_event(const AppEvent& event);
    void on_pairing_completed(const std::string& fingerprint);
    void unbind();
    void manual_address();
    // Ends the connection served for a session that no longer exists.
    void close_served_connection(const std::string& reason);

    void take_ui_requests();
    void process_requests(UiRequests requests);

    void step_session_startup();
    void step_tcp_accept();
    void step_tcp_close();
    void step_tcp_inbound();
    void sync_tcp_open();
    void take_in_tcp_frame(TcpFrame& frame);
    void step_ble_inbound();
    void step_ble_writes();
    void step_heal_start();
    void step_heal_wait();
    void step_autodial();
    void step_tcp_writes();
    void note_bulk(std::size_t frame_bytes);
    void step_app_events();
    // The automatic dial reached another key: that session ends without a prompt.
    void drop_stranger();
    void step_received_chunks();
    void step_file_sending();
    void step_album();
    void step_engine_timers();
    void step_receive_holds();
    void step_udp_discovery();
    void step_scan_list_expiry();
    void step_reply_expiry();
    void step_link_idle();
    // Frames to write, chunks to store or frames read: the pause is skipped.
    bool work_waiting() const;

    Clock& clock_;
    CoreConfig config_;
    CoreState st_;
    std::unique_ptr<ble::Link> link_;
    std::unique_ptr<Features> features_;
    // The engine the modules were last told about.
    const Engine* announced_engine_ = nullptr;
    // The peer name shown before the current connection began; a stranger reached by an
    // automatic dial gives it back.
    std::string peer_name_before_dial_;
    std::uint8_t engine_state_before_dial_ = kEngineDiscover;
    std::function<void(CoreStep)> observer_;
};

// The body of the core thread: start-up, then turns until `stop` is set.
void run_core(CoreConfig config, Clock& clock, const std::atomic<bool>& stop);

}  // namespace dovan
