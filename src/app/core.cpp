#include "app/core.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "app/debug_log.h"
#include "app/stores.h"

namespace dovan {

Core::Core(CoreConfig config, Clock& clock) : clock_(clock), config_(std::move(config)) {
    invariant(config_.ui != nullptr, "核心线程需要界面状态");
    st_.modules = config_.ui->modules();
    st_.ui = config_.ui;
    st_.window = config_.window;
    st_.lan = config_.lan;
    const Instant now = clock_.now();
    st_.link.last_rx = now;
    st_.link.last_heal = now;
    st_.last_timer_tick = now;
    link_ = std::make_unique<ble::Link>(st_.ui, st_.window, clock_, static_cast<ble::LinkHost&>(*this), st_.link);
}

Core::~Core() {
    // The link's callbacks reach into the core state; they stop first.
    link_.reset();
}

Status Core::start() {
    auto stores = load_local_stores(config_.protector ? *config_.protector : platform_protector(),
                                    config_.device_keys ? *config_.device_keys : rsa_key_factory());
    if (!stores) {
        push_notice(stores.error().display());
        auto g = st_.ui->lock();
        g->engine_state = kEngineClosed;
        g->bump();
        return fail_text(stores.error().display());
    }
    st_.channel_key = std::move(stores->channel_key);
    st_.identity = std::move(stores->device);
    st_.trusted_peers = std::move(stores->trusted);
    {
        auto g = st_.ui->lock();
        g->local_fingerprint = stores->own_fingerprint;
        g->bound_devices.clear();
        for (const auto& p : st_.trusted_peers) g->bound_devices.push_back({p.fingerprint, p.name});
        g->bump();
    }

    Status ble = config_.ble ? link_->start(config_.ble) : Status(fail_text(config_.ble_error));
    if (!ble) {
        // No repaint: the core ends here and the window shows the notice on its own timer.
        const std::string text = format_text("BLE 初始化失败: {}", ble.error().display());
        push_notice(text);
        return fail_text(text);
    }
    arm_autodial("startup");
    return {};
}

void Core::turn() {
    enter(CoreStep::UiRequests);
    take_ui_requests();
    enter(CoreStep::SessionStartup);
    step_session_startup();
    enter(CoreStep::TcpAccept);
    step_tcp_accept();
    enter(CoreStep::TcpClose);
    step_tcp_close();
    enter(CoreStep::TcpInbound);
    step_tcp_inbound();
    enter(CoreStep::BleInbound);
    step_ble_inbound();
    enter(CoreStep::BleWrites);
    step_ble_writes();
    enter(CoreStep::HealStart);
    step_heal_start();
    enter(CoreStep::HealWait);
    step_heal_wait();
    enter(CoreStep::Autodial);
    step_autodial();
    enter(CoreStep::TcpWrites);
    step_tcp_writes();
    enter(CoreStep::AppEvents);
    step_app_events();
    enter(CoreStep::ReceivedChunks);
    step_received_chunks();
    enter(CoreStep::FileSending);
    step_file_sending();
    enter(CoreStep::Album);
    step_album();
    enter(CoreStep::EngineTimers);
    step_engine_timers();
    enter(CoreStep::ReceiveHolds);
    step_receive_holds();
    enter(CoreStep::UdpDiscovery);
    step_udp_discovery();
    enter(CoreStep::ScanListExpiry);
    step_scan_list_expiry();
    enter(CoreStep::ReplyExpiry);
    step_reply_expiry();
    enter(CoreStep::LinkIdle);
    step_link_idle();
    enter(CoreStep::Sleep);
    clock_.sleep_for(kCoreTurnPause);
}

void Core::run(const std::atomic<bool>& stop) {
    while (!stop.load(std::memory_order_acquire)) turn();
}

void Core::push_notice(std::string_view text) {
    auto g = st_.ui->lock();
    g->add_notice(text);
}

void Core::request_repaint() {
    if (st_.window) st_.window();
}

void Core::arm_autodial(std::string_view reason) { link_->arm_autodial(reason); }

void Core::shutdown_lan() {
    // The discovery socket and the TCP objects are dropped here once the LAN side exists.
    st_.last_udp_open_attempt.reset();
    st_.last_listen_attempt.reset();
    auto g = st_.ui->lock();
    if (g->tcp_ready) {
        g->tcp_ready = false;
        g->bump();
    }
}

// ---- what the BLE link asks of the core ----

void Core::before_connect() {
    // Transfers bound to the old link are aborted here once file sending and receiving exist.
    shutdown_lan();
}

bool Core::tcp_connection_present() const { return false; }

EngineConfig Core::engine_config() const {
    EngineConfig c;
    c.heartbeat_interval = std::chrono::seconds(30);
    c.heartbeat_grace = std::chrono::seconds(30);
    std::copy_n(st_.channel_key.begin(), std::min(st_.channel_key.size(), c.static_private_key.size()),
                c.static_private_key.begin());
    c.role = 0;
    c.os = ble::kPcOs;
    c.device_name = std::string(ble::kPcDeviceName);
    c.app_version = std::string(ble::kPcVersion);
    c.identity = st_.identity;
    c.trusted = st_.trusted_peers;
    return c;
}

std::vector<TrustedPeer> Core::stored_peer_names() const {
    std::vector<TrustedPeer> out;
    for (auto& p : load_peer_names()) out.push_back({std::move(p.fingerprint), std::move(p.name)});
    return out;
}

// Step 1. The slots are emptied under the lock and carried out after it is released, so
// no command runs while the window waits for the state.
void Core::take_ui_requests() {
    UiRequests requests;
    {
        auto g = st_.ui->lock();
        if (g->requests.empty()) return;
        requests = g->take_requests();
    }
    process_requests(std::move(requests));
}

void Core::process_requests(UiRequests r) {
    if (r.connect) {
        st_.link.heal_target.reset();
        ScannedDevice device{*r.connect, {}};
        {
            auto g = st_.ui->lock();
            for (auto it = g->devices.rbegin(); it != g->devices.rend(); ++it) {
                if (it->address == *r.connect) {
                    device = *it;
                    break;
                }
            }
        }
        link_->connect(device);
    }

    // Without an engine, everything that must reach the phone is refused once, and
    // pairing answers are dropped without a word.
    if (!engine_present()) {
        if (r.media || r.send_clipboard || r.send_files || r.cancel || r.send_reply ||
            r.album_page || r.album_export || r.album_drag || r.thumbnail_wanted) {
            push_notice(kNoPairedLink);
        }
    } else {
        Engine& e = *engine();
        if (r.sas_confirm) e.confirm_sas();
        if (r.sas_reject) e.reject_pairing();
        if (r.identity_accept) {
            if (e.state() != EngineState::Repaired) {
                e.report_error(kErrGeneral, "当前不在身份复核阶段");
            } else {
                e.reaccept_identity();
            }
        }
        if (r.identity_reject) e.reject_pairing();
        // Clipboard text, media command and notification reply join here with the phone
        // features.
    }

    // An identity answer closes the prompt, also when the engine is gone.
    if (r.identity_accept || r.identity_reject) {
        {
            auto g = st_.ui->lock();
            g->identity_change.reset();
            g->bump();
        }
        request_repaint();
    }

    if (r.unbind) unbind();
    // Manual address, files to send, cancel and the album requests join here with the
    // LAN discovery, the transfers and the album.
}

void Core::unbind() {
    if (Engine* e = engine()) {
        e->unbind("设备解绑");
        e->forget_trusted();
        e->return_to_discover();
    }
    shutdown_lan();
    // Send jobs and receive sessions are dropped here once the transfers exist.
    st_.trusted_peers.clear();
    forget_all();
    st_.link.autodial_names.reset();
    {
        auto g = st_.ui->lock();
        g->paired = false;
        g->peer_name.clear();
        g->peer_fingerprint.reset();
        g->sas_prompt.reset();
        g->identity_change.reset();
        g->tcp_ready = false;
        g->peer_address.clear();
        g->bound_devices.clear();
        g->device_status.reset();
        g->connecting.reset();
        g->engine_state = engine() ? static_cast<std::uint8_t>(engine()->state()) : kEngineDiscover;
        g->bump();
    }
    request_repaint();
}

// Step 2: with a PAIRED engine, the configuration sync and (file transfer loaded) the UDP
// discovery socket and the TCP listener, each retried no sooner than 5 s after a failure.
void Core::step_session_startup() {}

// Step 3: a connection waiting in the accept mailbox starts channel binding or is closed.
void Core::step_tcp_accept() {}

// Step 4: a close of the current connection unbinds it; a close of an older one is ignored.
void Core::step_tcp_close() {}

// Step 5: frames from the TCP reader, paused while 8 MiB of received chunks wait.
void Core::step_tcp_inbound() {}

void Core::step_ble_inbound() { link_->drain_inbound(); }
void Core::step_ble_writes() { link_->write_pass(); }
void Core::step_heal_start() { link_->heal_start(); }
void Core::step_heal_wait() { link_->heal_wait(); }
void Core::step_autodial() { link_->autodial(); }

// Step 11: the engine's TCP queue written out to the bound connection.
void Core::step_tcp_writes() {}

void Core::step_app_events() {
    if (!engine_present()) return;
    std::vector<AppEvent> events = engine()->take_events();
    for (const AppEvent& ev : events) on_app_event(ev);
    if (!events.empty()) request_repaint();
}

void Core::on_app_event(const AppEvent& ev) {
    switch (ev.kind) {
        case AppEventKind::StateChanged: {
            const EngineState state = ev.as<StateChangedEvent>()->state;
            if (state == EngineState::Closed) shutdown_lan();
            auto g = st_.ui->lock();
            if (state == EngineState::Closed) g->identity_change.reset();
            // A SAS prompt only means something while the engine waits for the answer.
            if (state != EngineState::SasCompare) g->sas_prompt.reset();
            g->engine_state = static_cast<std::uint8_t>(state);
            g->bump();
            return;
        }
        case AppEventKind::PeerHello: {
            auto g = st_.ui->lock();
            g->peer_name = ev.as<PeerHelloEvent>()->name;
            g->bump();
            return;
        }
        case AppEventKind::SasReady: {
            auto g = st_.ui->lock();
            g->sas_prompt = ev.as<SasReadyEvent>()->sas;
            g->bump();
            return;
        }
        case AppEventKind::PeerTrusted:
            on_pairing_completed(ev.as<PeerTrustedEvent>()->fingerprint);
            return;
        case AppEventKind::IdentityChanged: {
            const auto* c = ev.as<IdentityChangedEvent>();
            {
                auto g = st_.ui->lock();
                g->identity_change = IdentityChangePrompt{c->name, c->old_fingerprint, c->new_fingerprint};
                g->bump();
            }
            push_notice(format_text("对端「{}」身份已变化（{} → {}），等待确认", c->name,
                                    c->old_fingerprint, c->new_fingerprint));
            return;
        }
        case AppEventKind::TcpBound: {
            auto g = st_.ui->lock();
            g->tcp_ready = true;
            g->bump();
            return;
        }
        case AppEventKind::TcpUnbound: {
            auto g = st_.ui->lock();
            g->tcp_ready = false;
            g->bump();
            return;
        }
        case AppEventKind::EngineError: {
            const auto* e = ev.as<EngineErrorEvent>();
            push_notice(format_text("[{}] {}", e->code, e->text));
            return;
        }
        default:
            on_feature_event(ev);
            return;
    }
}

void Core::on_feature_event(const AppEvent&) {}

void Core::on_pairing_completed(const std::string& fingerprint) {
    std::string advertised;
    std::string peer_name;
    {
        auto g = st_.ui->lock();
        if (const auto addr = link_->connected_address()) {
            for (auto it = g->devices.rbegin(); it != g->devices.rend(); ++it) {
                if (it->address == *addr) {
                    advertised = it->name;
                    break;
                }
            }
        }
        peer_name = g->peer_name;
        g->identity_change.reset();
        g->paired = true;
        g->peer_fingerprint = fingerprint;
        auto it = std::find_if(g->bound_devices.begin(), g->bound_devices.end(),
                               [&](const BoundDevice& d) { return d.fingerprint == fingerprint; });
        if (it == g->bound_devices.end()) {
            g->bound_devices.push_back({fingerprint, peer_name});
        } else if (!peer_name.empty()) {
            it->name = peer_name;
        }
        g->bump();
    }
    record_pairing(st_.trusted_peers, fingerprint, peer_name, advertised);
    arm_autodial("paired");
    auto g = st_.ui->lock();
    g->bound_devices.clear();
    for (const auto& p : st_.trusted_peers) g->bound_devices.push_back({p.fingerprint, p.name});
    g->bump();
}

// Step 13: received chunks to the file receiver.
void Core::step_received_chunks() {}

// Step 14: the sending step of the current send job.
void Core::step_file_sending() {}

// Step 15: album pacing and time-outs while the album is loaded, else in-flight requests
// are dropped.
void Core::step_album() {}

// Step 16. The engine's timers count in whole seconds, so its timer step runs at most once
// a second however short the turns are.
void Core::step_engine_timers() {
    const Instant now = clock_.now();
    if (now - st_.last_timer_tick < kEngineTimerPeriod) return;
    st_.last_timer_tick = now;
    if (Engine* e = engine()) e->timer_step(now);
}

// Step 17: at most one receive session whose hold deadline passed is finished per turn.
void Core::step_receive_holds() {}

// Step 18: broadcast list refresh, beacons, received beacons, peer expiry.
void Core::step_udp_discovery() {}

// Step 19.
void Core::step_scan_list_expiry() {
    std::size_t removed = 0;
    {
        auto g = st_.ui->lock();
        removed = g->expire_devices(clock_.now(), kScanListTtl);
    }
    if (removed > 0) request_repaint();
}

// Step 20. Replies only count as lost once the phone has had strictly more than 10 s.
void Core::step_reply_expiry() {
    const Instant now = clock_.now();
    bool any = false;
    {
        auto g = st_.ui->lock();
        std::vector<std::uint32_t> expired;
        for (const auto& r : g->awaiting_replies) {
            if (now - r.sent > kReplyAckTimeout) expired.push_back(r.id);
        }
        for (std::uint32_t id : expired) any |= g->finish_reply(id, false, kReplyNoAnswer, now);
    }
    if (any) request_repaint();
}

// Step 21. The idle time itself changes every turn but only its crossing of the quiet
// mark changes what is drawn, so only that moves the change counter.
void Core::step_link_idle() {
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - st_.link.last_rx);
    const std::uint64_t ms =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max<std::int64_t>(idle.count(), 0)), kIdleCapMs);
    std::uint64_t counter = 0;
    {
        auto g = st_.ui->lock();
        const bool was_quiet = g->ms_since_rx >= kQuietAfterMs;
        g->ms_since_rx = ms;
        if (was_quiet != (ms >= kQuietAfterMs)) g->bump();
        counter = g->change_counter;
    }
    if (counter != st_.repainted_counter) {
        request_repaint();
        st_.repainted_counter = counter;
    }
}

void run_core(CoreConfig config, Clock& clock, const std::atomic<bool>& stop) {
    Core core(std::move(config), clock);
    if (!core.start().ok()) return;
    core.run(stop);
}

}  // namespace dovan
