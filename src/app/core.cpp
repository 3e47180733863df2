#include "app/core.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/debug_log.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "app/settings.h"
#include "store/stores.h"

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
    link_ = std::make_unique<ble::Link>(clock_, static_cast<ble::LinkHost&>(*this), st_.link);
    FeatureHost& host = *this;
    features_ = std::make_unique<Features>(config_.features ? config_.features(host) : Features::standard(host));
}

Core::~Core() {
    // The link's callbacks reach into the core state; they stop first.
    link_.reset();
    OPENSSL_cleanse(st_.channel_key.data(), st_.channel_key.size());
}

Status Core::start() {
    auto stores = load_local_stores(config_.data_dir, config_.protector ? *config_.protector : platform_protector(),
                                    config_.device_keys ? *config_.device_keys : rsa_key_factory());
    if (!stores) {
        push_notice(stores.error().display());
        auto g = st_.ui->lock();
        g->set_engine_state(kEngineClosed);
        return fail_text(stores.error().display());
    }
    st_.channel_key = std::move(stores->channel_key);
    st_.identity = std::move(stores->device);
    st_.trusted_peers = std::move(stores->trusted);
    if (!st_.trusted_peers.empty()) {
        if (auto text = files::read_file(config_.data_dir / kTrustedAddressFile, kMaxTrustedAddressBytes)) {
            std::uint64_t address = 0;
            if (ble::parse_address(trim_white(std::string_view(reinterpret_cast<const char*>(text->data()), text->size())),
                                   address))
                st_.link.trusted_address = address;
        }
    }
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
        {
            auto g = st_.ui->lock();
            g->ble_failure = ble.error().display();
            g->bump();
        }
        return fail_text(text);
    }
    arm_autodial("startup");
    return {};
}

void Core::turn() {
    // Whatever woke the core so far is handled by this turn's polling; only work that
    // arrives from here on should cut the coming pause short.
    (void)st_.ui->core_wake().take();
    enter(CoreStep::UiRequests);
    take_ui_requests();
    sync_engine_presence();
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
    sync_engine_presence();
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
    // A pause with work waiting is skipped, so a transfer is not held to one window of
    // chunks per turn; timers and the order of a turn stay as they are.
    if (work_waiting()) return;
    // Once data has stood still for a while the transfer's buffers go back to the system.
    if (st_.streamed_at && clock_.now() - *st_.streamed_at >= kStreamSettleTime) {
        st_.streamed_at.reset();
        release_free_memory();
    }
    Duration pause = kCoreTurnPause;
    if (const auto deadline = next_deadline()) {
        pause = std::clamp<Duration>(*deadline - clock_.now(), Duration::zero(), kCoreTurnPause);
    }
    clock_.pause(pause, st_.ui->core_wake());
}

std::optional<Instant> Core::next_deadline() const {
    std::optional<Instant> first = features_->next_deadline();
    auto consider = [&first](Instant t) {
        if (!first || t < *first) first = t;
    };
    if (engine_present()) consider(st_.last_timer_tick + kEngineTimerPeriod);
    if (st_.link.heal_target) consider(st_.link.heal_target->deadline);
    if (st_.link.autodial_names && st_.link.autodial_next) consider(*st_.link.autodial_next);
    return first;
}

// Work that the next turn can move at once: frames to write, chunks to store, frames read.
bool Core::work_waiting() const {
    const Engine* e = st_.link.engine.get();
    if (e && st_.tcp && e->tcp_bound() && !e->tcp_out().empty() && const_cast<TcpChannel&>(*st_.tcp).write_room())
        return true;
    if (e && !e->received_chunks().empty()) return true;
    return st_.tcp && const_cast<TcpChannel&>(*st_.tcp).has_frames();
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
    st_.discovery.reset();
    st_.last_udp_open_attempt.reset();
    if (st_.tcp) {
        st_.tcp->stop();
        st_.tcp.reset();
    }
    // A new listener numbers its connections afresh; an old id must not match one of them.
    st_.held_close.reset();
    st_.tcp_channel_open = false;
    st_.tcp_conn_id = 0;
    st_.last_listen_attempt.reset();
    auto g = st_.ui->lock();
    g->set_tcp_ready(false);
}

void Core::close_served_connection(const std::string& reason) {
    if (Engine* e = engine()) e->unbind(reason);
    if (st_.tcp) st_.tcp->close_all_connections();
    st_.tcp_channel_open = false;
    st_.tcp_conn_id = 0;
    {
        auto g = st_.ui->lock();
        g->set_tcp_ready(false);
        g->peer_address.clear();
    }
    push_notice(format_text("TCP 通道断开: {}", reason));
}

void Core::sync_tcp_open() {
    const Engine* e = engine();
    st_.tcp_channel_open = e && (e->bind_in_progress() || e->tcp_bound());
    if (!e || !e->tcp_bound()) st_.tcp_conn_id = 0;
}

// ---- what the BLE link asks of the core ----

// On the watcher's thread: only the UI state and the scan list, each behind its lock, are
// touched.
void Core::scan_list_changed() {
    mirror_scan_list();
    request_repaint();
    // A heal or an autodial may be waiting for exactly this phone.
    st_.ui->core_wake().notify();
}

// The copy is taken under the UI lock so that a sighting and an expiry racing each other
// cannot leave the older list on screen.
void Core::mirror_scan_list() {
    auto g = st_.ui->lock();
    g->devices = link_->scan_list().devices();
    g->bump();
}

void Core::connecting_to(std::uint64_t address) {
    auto g = st_.ui->lock();
    g->connecting = address;
    peer_name_before_dial_ = g->peer_name;
    engine_state_before_dial_ = g->engine_state;
}

void Core::ble_lost(std::string_view reason) {
    features_->on_link({LinkChange::Kind::BleLost, std::string(reason)});
    request_repaint();
}

void Core::connect_failed() {
    st_.ui->lock()->set_engine_state(kEngineClosed);
}

std::string Core::peer_name() const { return st_.ui->lock()->peer_name; }

bool Core::auto_connect_enabled() const { return st_.ui->lock()->settings.auto_connect; }

bool Core::user_deciding() const {
    auto g = st_.ui->lock();
    return g->sas_prompt || g->identity_change;
}

void Core::engine_ending() {
    if (engine_present()) features_->on_link({LinkChange::Kind::EngineEnding, {}});
}

void Core::before_connect() {
    sync_engine_presence();
    shutdown_lan();
}

void Core::sync_engine_presence() {
    const Engine* now = engine();
    if (now == announced_engine_) return;
    if (announced_engine_ != nullptr) features_->on_link({LinkChange::Kind::EngineGone, {}});
    announced_engine_ = now;
    if (now != nullptr) features_->on_link({LinkChange::Kind::EngineCreated, {}});
}

void Core::save_settings() {
    UiSettings mirror;
    {
        auto g = st_.ui->lock();
        mirror = g->settings;
    }
    ::dovan::save_settings(config_.data_dir, settings_with(load_settings(config_.data_dir), mirror));
}

bool Core::tcp_channel_bound() const { return st_.link.engine && st_.link.engine->tcp_bound(); }

EngineConfig Core::engine_config() const {
    EngineConfig c;
    c.heartbeat_interval = std::chrono::seconds(30);
    c.heartbeat_grace = std::chrono::seconds(30);
    std::copy_n(st_.channel_key.begin(), std::min(st_.channel_key.size(), c.static_private_key.size()),
                c.static_private_key.begin());
    c.role = 0;
    c.os = kPcOs;
    c.device_name = std::string(kPcDeviceName);
    c.app_version = std::string(kPcVersion);
    c.identity = st_.identity;
    c.trusted = st_.trusted_peers;
    return c;
}

std::vector<TrustedPeer> Core::stored_peer_names() const {
    std::vector<TrustedPeer> out;
    for (auto& p : load_peer_names(config_.data_dir)) out.push_back({std::move(p.fingerprint), std::move(p.name)});
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
        link_->connect(link_->scan_list().find(*r.connect).value_or(ScannedDevice{*r.connect, {}}));
    }

    // Without an engine, everything that must reach the phone is refused once, and
    // pairing answers are dropped without a word; a reply also ends as not sent.
    if (!engine_present()) {
        if (r.media || r.send_clipboard || r.send_files || r.cancel || r.send_reply ||
            r.album_page || r.album_export || r.album_drag || r.thumbnail_wanted) {
            push_notice(kNoPairedLink);
        }
        features_->requests_without_session(r);
    } else {
        Engine& e = *engine();
        if (r.sas_confirm) e.confirm_sas();
        if (r.sas_reject) e.reject_pairing();
        if (r.identity_accept) {
            if (e.state() != EngineState::Repaired) {
                e.report_error(kErrGeneral, "当前不在身份复核阶段");
            } else {
                if (auto g = st_.ui->lock(); g->identity_change)
                    st_.replaced_fingerprint = g->identity_change->old_fingerprint;
                e.reaccept_identity();
            }
        }
        if (r.identity_reject) e.reject_pairing();
        features_->session_requests(r);
    }

    // An identity answer closes the prompt, also when the engine is gone.
    if (r.identity_accept || r.identity_reject) {
        {
            auto g = st_.ui->lock();
            g->set_identity_change(std::nullopt);
            g->bump();
        }
        request_repaint();
    }

    if (r.unbind) unbind();
    if (r.manual_connect) manual_address();
    features_->queue_requests(r);
}

void Core::manual_address() {
    std::string text;
    {
        auto g = st_.ui->lock();
        text = std::string(trim_white(g->manual_ip_box));
    }
    if (text.empty()) {
        push_notice("请填写对端 IP（例如 192.168.1.23）");
        return;
    }
    auto address = SocketAddress::parse(text, kLanPort);
    if (!address) {
        push_notice(format_text("IP 无法解析（{}）: {}", text,
                                format_text("手动地址非法: {}", format_text("无法解析 {}", text))));
        return;
    }
    if (!st_.discovery) {
        push_notice("发现服务未启动（需先与手机完成配对）");
        return;
    }
    st_.discovery->add_manual_peer(*address, clock_.now());
    {
        auto g = st_.ui->lock();
        g->peer_address = address->ip_text();
        g->queue_system_notification(
            {"手动 IP 已加入", format_text("将持续向 {} 单向探测信标", address->text()), {}, {}});
        g->bump();
    }
    request_repaint();
}

void Core::unbind() {
    if (Engine* e = engine()) {
        e->unbind("设备解绑");
        e->forget_trusted();
        e->return_to_discover();
    }
    shutdown_lan();
    features_->on_link({LinkChange::Kind::Unbound, "设备解绑"});
    st_.trusted_peers.clear();
    forget_all(config_.data_dir);
    st_.link.autodial_names.reset();
    st_.link.trusted_address.reset();
    st_.link.strangers.clear();
    {
        std::error_code ec;
        std::filesystem::remove(config_.data_dir / kTrustedAddressFile, ec);
    }
    {
        auto g = st_.ui->lock();
        g->paired = false;
        g->peer_name.clear();
        g->peer_fingerprint.reset();
        g->set_sas_prompt(std::nullopt);
        g->set_identity_change(std::nullopt);
        g->set_tcp_ready(false);
        g->peer_address.clear();
        g->bound_devices.clear();
        g->device_status.reset();
        g->connecting.reset();
        g->set_engine_state(engine() ? static_cast<std::uint8_t>(engine()->state()) : kEngineDiscover);
        g->bump();
    }
    request_repaint();
}

// Step 2. The LAN side opens only for a PAIRED session and, once open, stays open until
// shutdown_lan; a failed open is retried no sooner than 5 s later.
void Core::step_session_startup() {
    if (!engine_present() || engine()->state() != EngineState::Paired) return;
    const Instant now = clock_.now();
    features_->step(CoreStep::SessionStartup, now);
    if (!engine_present() || !st_.modules.file_transfer()) return;
    if (!st_.discovery && (!st_.last_udp_open_attempt || now - *st_.last_udp_open_attempt >= kLanRetry)) {
        DiscoveryOptions options = st_.lan.loopback_only ? DiscoveryOptions::loopback() : DiscoveryOptions{};
        options.port = st_.lan.port;
        auto opened = open_discovery(std::move(options));
        if (!opened) {
            st_.last_udp_open_attempt = now;
            push_notice(format_text("UDP 发现启动失败: {}", opened.error().display()));
        } else {
            st_.discovery = std::move(*opened);
            console_line(format_text("[Dovan] UDP 发现已启动 :{}", st_.discovery->port()));
            if (debug_log_enabled())
                emit_event(LogLevel::Info, "lan", "udp.bind", {{"port", std::to_string(st_.discovery->port())}});
        }
    }
    if (!st_.tcp && (!st_.last_listen_attempt || now - *st_.last_listen_attempt >= kLanRetry)) {
        TcpChannelOptions options = st_.lan.loopback_only ? TcpChannelOptions::loopback() : TcpChannelOptions{};
        options.port = st_.lan.port;
        std::weak_ptr<SharedUi> ui = st_.ui;
        options.on_work = [ui] {
            if (auto u = ui.lock()) u->core_wake().notify();
        };
        auto opened = open_listener(options);
        if (!opened) {
            st_.last_listen_attempt = now;
            push_notice(opened.error().display());
        } else {
            st_.tcp = std::move(*opened);
            console_line(format_text("[Dovan] TCP 服务端已监听 {}:{}",
                                     ipv4_text(options.bind_ipv4), st_.tcp->port()));
        }
    }
}

// Step 3. Every connection accepted while paired starts a binding of its own; the one the
// phone proves over BLE is bound and the others are closed then (see TcpBound).
void Core::step_tcp_accept() {
    if (!st_.tcp) return;
    while (auto accepted = st_.tcp->take_accepted()) {
        Engine* e = engine();
        if (e && e->session_key_ready() && e->state() == EngineState::Paired) {
            e->start_bind_server(accepted->conn);
            st_.tcp_channel_open = true;
            // The shown address waits for the binding: until then the peer may be anyone.
            console_line(format_text("[Dovan] TCP 通道绑定已发起（对端 {} #{}）", accepted->peer.ip_text(), accepted->conn));
            continue;
        }
        if (e) {
            e->report_error(kErrGeneral, e->session_key_ready() ? "未配对，不发起 TCP 绑定"
                                                                : "会话密钥未建立，无法发起 TCP 绑定");
        }
        push_notice(format_text("{} 连上了局域网端口，但本机还不能建立通道（未配对或引擎未就绪）",
                                accepted->peer.text()));
        st_.tcp->close_connection(accepted->conn);
    }
}

// Step 4. Each end names its connection, and only that connection's binding ends.
void Core::step_tcp_close() {
    if (!st_.tcp) return;
    while (auto closed = st_.held_close ? std::exchange(st_.held_close, std::nullopt) : st_.tcp->take_closed()) {
        Engine* e = engine();
        if (closed->conn == 0) {
            // An accept failure ends nothing that is served.
            if (!st_.tcp_channel_open) push_notice(format_text("TCP 通道断开: {}", closed->reason));
            continue;
        }
        if (!e || !e->binds_conn(closed->conn)) {
            console_line(format_text("[Dovan] 忽略旧 TCP 连接 #{} 的断开事件: {}", closed->conn, closed->reason));
            continue;
        }
        // What the peer sent before it left arrived in order and still counts (a file's
        // offer and first chunk, a last notification); the close waits until those frames
        // are in.
        step_tcp_inbound();
        if (st_.tcp->has_frames()) {
            st_.held_close = std::move(closed);
            return;
        }
        e = engine();
        if (!e) continue;
        const bool was_bound = e->bound_conn() == closed->conn;
        e->drop_tcp_connection(closed->conn, closed->reason);
        sync_tcp_open();
        if (!was_bound && e->bind_in_progress()) {
            console_line(format_text("[Dovan] TCP #{} 未绑定即断开: {}", closed->conn, closed->reason));
            continue;
        }
        {
            auto g = st_.ui->lock();
            g->set_tcp_ready(false);
            g->peer_address.clear();
        }
        push_notice(format_text("TCP 通道断开: {}", closed->reason));
    }
}

// Step 5. While 8 MiB of received chunks wait for the disk, frames stay with the reader,
// whose full queue then holds the phone back instead of memory growing here.
void Core::step_tcp_inbound() {
    while (st_.tcp) {
        if (Engine* e = engine()) {
            if (e->chunk_backlog_bytes() >= kChunkBacklogStop) {
                st_.tcp->wake_reader();
                return;
            }
        }
        auto frame = st_.tcp->pop_frame();
        if (!frame) {
            st_.tcp->wake_reader();
            return;
        }
        note_bulk(frame->bytes.size());
        Engine* e = engine();
        // A connection accepted since step 3 of this turn is heard of first.
        if (e && !e->binds_conn(frame->conn)) step_tcp_accept();
        e = engine();
        if (!e || !e->binds_conn(frame->conn)) {
            if (debug_log_enabled())
                emit_event(LogLevel::Warn, "lan", "tcp.rx.drop_stale",
                           {{"conn", std::to_string(frame->conn)}, {"live", std::to_string(st_.tcp_conn_id)}});
            continue;
        }
        take_in_tcp_frame(*frame);
    }
}

void Core::take_in_tcp_frame(TcpFrame& frame) {
    Engine* e = engine();
    if (!e) return;
    const bool heartbeat = frame.bytes.size() >= 4 && frame.bytes[3] == HEARTBEAT;
    if (!heartbeat && debug_log_enabled()) {
        emit_event(LogLevel::Info, "lan", "tcp.rx.frame",
                   {{"conn", std::to_string(frame.conn)},
                    {"len", std::to_string(frame.bytes.size())},
                    {"type", frame.bytes.size() >= 4 ? std::to_string(frame.bytes[3]) : std::string()}});
    }
    // Anyone can send bytes to the port: only frames the engine authenticated on the
    // bound channel show that the phone is alive.
    if (e->handle_tcp_frame_in_place(frame.bytes, frame.conn)) {
        const Instant now = clock_.now();
        e->note_tcp_receive(now);
        st_.link.last_rx = now;
    }
}

void Core::step_ble_inbound() { link_->drain_inbound(); }
void Core::step_ble_writes() { link_->write_pass(); }
void Core::step_heal_start() { link_->heal_start(); }
void Core::step_heal_wait() { link_->heal_wait(); }
void Core::step_autodial() { link_->autodial(); }

// Step 11. Frames go to the channel's writer while it has room; the rest wait in the
// engine, where the file sender's window counts them. The first failure, here or in an
// earlier send, ends the connection and the frames not yet sent go with it.
// Chunk-sized frames mean a transfer's buffers are on the heap; control frames do not count.
void Core::note_bulk(std::size_t frame_bytes) {
    if (frame_bytes >= kBulkFrameBytes) st_.streamed_at = clock_.now();
}

void Core::step_tcp_writes() {
    if (!st_.tcp || !engine_present()) return;
    // The PC's nonce for each connection still binding goes to that connection alone.
    for (auto& [conn, frame] : engine()->take_bind_frames()) {
        Status sent = st_.tcp->send_now(conn, frame);
        if (sent) continue;
        console_line(format_text("[Dovan] TCP #{} 绑定应答未能发出: {}", conn, sent.error().display()));
        if (Engine* e = engine()) e->drop_tcp_connection(conn, sent.error().display());
    }
    const std::optional<std::uint64_t> bound = engine()->bound_conn();
    if (!bound) {
        // Left over from a channel that has ended: never for a connection that has not
        // proved the session.
        (void)engine()->take_tcp_frames();
        return;
    }
    std::vector<Bytes> frames;
    while (st_.tcp->write_room()) {
        std::optional<Bytes> f = engine()->next_tcp_frame();
        if (!f) break;
        note_bulk(f->size());
        frames.push_back(std::move(*f));
    }
    Status written = st_.tcp->write_frames(*bound, std::move(frames));
    if (written) return;
    const std::string error = written.error().display();
    if (Engine* e = engine()) e->drop_tcp_connection(*bound, error);
    st_.tcp->close_connection(*bound);
    sync_tcp_open();
    {
        auto g = st_.ui->lock();
        g->set_tcp_ready(false);
        g->peer_address.clear();
    }
    push_notice(format_text("TCP 写出失败: {}", error));
}

void Core::step_app_events() {
    if (!engine_present()) return;
    std::vector<AppEvent> events = engine()->take_events();
    for (const AppEvent& ev : events) {
        // A phone that answers an automatic dial with an unknown key, or with another key
        // under a trusted name, is not the trusted phone: no prompt, and no trust lost.
        if (st_.link.dialed_by_itself && ev.kind == AppEventKind::StateChanged) {
            const EngineState to = ev.as<StateChangedEvent>()->state;
            if (to == EngineState::Pairing || to == EngineState::Repaired) {
                drop_stranger();
                break;
            }
        }
        on_app_event(ev);
    }
    if (!events.empty()) request_repaint();
}

void Core::drop_stranger() {
    link_->drop_stranger();
    sync_engine_presence();
    auto g = st_.ui->lock();
    g->peer_name = peer_name_before_dial_;
    g->connecting.reset();
    // Still waiting for the trusted phone, as before the dial.
    g->set_engine_state(engine_state_before_dial_);
    g->bump();
}

void Core::on_app_event(const AppEvent& ev) {
    switch (ev.kind) {
        case AppEventKind::StateChanged: {
            const EngineState state = ev.as<StateChangedEvent>()->state;
            if (state == EngineState::Closed) {
                shutdown_lan();
            } else if (st_.tcp_channel_open &&
                       (state == EngineState::Discover || state == EngineState::Handshake)) {
                // The session the connection was bound to is gone, and with no bind deadline
                // or TCP heartbeat outside PAIRED nothing else would ever close it, while
                // it blocks the phone's next connection.
                close_served_connection("会话已重置，旧的 TCP 通道随之关闭");
            }
            auto g = st_.ui->lock();
            if (state == EngineState::Closed) g->set_identity_change(std::nullopt);
            // A SAS prompt only means something while the engine waits for the answer.
            if (state != EngineState::SasCompare) g->set_sas_prompt(std::nullopt);
            g->set_engine_state(static_cast<std::uint8_t>(state));
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
            g->set_sas_prompt(ev.as<SasReadyEvent>()->sas);
            return;
        }
        case AppEventKind::PeerTrusted:
            on_pairing_completed(ev.as<PeerTrustedEvent>()->fingerprint);
            return;
        case AppEventKind::IdentityChanged: {
            const auto* c = ev.as<IdentityChangedEvent>();
            {
                auto g = st_.ui->lock();
                g->set_identity_change(IdentityChangePrompt{c->name, c->old_fingerprint, c->new_fingerprint});
            }
            push_notice(format_text("对端「{}」身份已变化（{} → {}），等待确认", c->name,
                                    c->old_fingerprint, c->new_fingerprint));
            return;
        }
        case AppEventKind::TcpBound: {
            const std::uint64_t conn = ev.as<TcpBoundEvent>()->conn;
            std::optional<SocketAddress> peer;
            // The proven connection stays; every other one is closed.
            if (st_.tcp && st_.tcp->bind_connection(conn)) peer = st_.tcp->connection_peer(conn);
            st_.tcp_conn_id = conn;
            st_.tcp_channel_open = true;
            {
                auto g = st_.ui->lock();
                // The shown address is the bound connection's, never an unproven one.
                g->peer_address = peer ? peer->ip_text() : std::string();
                g->set_tcp_ready(true);
            }
            features_->on_link({LinkChange::Kind::TcpBound, {}});
            return;
        }
        case AppEventKind::TcpUnbound: {
            const auto* u = ev.as<TcpUnboundEvent>();
            if (st_.tcp) {
                if (u->conn != 0) {
                    st_.tcp->close_connection(u->conn);
                } else {
                    st_.tcp->close_all_connections();
                }
            }
            sync_tcp_open();
            if (!u->channel) {
                console_line(format_text("[Dovan] TCP #{} 已放弃: {}", u->conn, u->reason));
                return;
            }
            {
                auto g = st_.ui->lock();
                g->set_tcp_ready(false);
                g->peer_address.clear();
            }
            push_notice(format_text("TCP 通道解绑: {}", ev.as<TcpUnboundEvent>()->reason));
            features_->on_link({LinkChange::Kind::TcpUnbound, ev.as<TcpUnboundEvent>()->reason});
            return;
        }
        case AppEventKind::EngineError: {
            const auto* e = ev.as<EngineErrorEvent>();
            push_notice(format_text("[{}] {}", e->code, e->text));
            return;
        }
        default:
            // Events no module takes (a file id nobody knows) are dropped.
            (void)features_->on_event(ev);
            return;
    }
}

void Core::on_pairing_completed(const std::string& fingerprint) {
    std::string advertised;
    if (const auto addr = link_->connected_address()) {
        if (auto seen = link_->scan_list().find(*addr)) advertised = seen->name;
    }
    std::string peer_name;
    {
        auto g = st_.ui->lock();
        peer_name = g->peer_name;
        g->set_identity_change(std::nullopt);
        g->mark_paired(fingerprint);
        auto it = std::find_if(g->bound_devices.begin(), g->bound_devices.end(),
                               [&](const BoundDevice& d) { return d.fingerprint == fingerprint; });
        if (it == g->bound_devices.end()) {
            g->bound_devices.push_back({fingerprint, peer_name});
        } else if (!peer_name.empty()) {
            it->name = peer_name;
        }
        g->bump();
    }
    // The user accepted that the phone's identity changed: its old key must not stay
    // trusted, or it would be recognised again after the next start.
    if (!st_.replaced_fingerprint.empty() && st_.replaced_fingerprint != fingerprint) {
        std::erase_if(st_.trusted_peers,
                      [&](const TrustedPeer& p) { return p.fingerprint == st_.replaced_fingerprint; });
    }
    st_.replaced_fingerprint.clear();
    record_pairing(config_.data_dir, st_.trusted_peers, fingerprint, peer_name, advertised);
    link_->note_trusted();
    if (const auto address = st_.link.trusted_address) {
        const std::string text = ble::address_text(*address) + "\n";
        if (auto s = files::write_file(config_.data_dir / kTrustedAddressFile, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600, false); !s)
            console_line(format_text("[Dovan] 记录手机地址失败（下次启动只按名字找它）: {}", s.error().display()));
    }
    arm_autodial("paired");
    auto g = st_.ui->lock();
    g->bound_devices.clear();
    for (const auto& p : st_.trusted_peers) g->bound_devices.push_back({p.fingerprint, p.name});
    g->bump();
}

void Core::step_received_chunks() { features_->step(CoreStep::ReceivedChunks, clock_.now()); }
void Core::step_file_sending() { features_->step(CoreStep::FileSending, clock_.now()); }
void Core::step_album() { features_->step(CoreStep::Album, clock_.now()); }

// Step 16. The engine's timers count in whole seconds, so its timer step runs at most once
// a second however short the turns are.
void Core::step_engine_timers() {
    const Instant now = clock_.now();
    if (now - st_.last_timer_tick < kEngineTimerPeriod) return;
    st_.last_timer_tick = now;
    if (Engine* e = engine()) e->timer_step(now);
}

void Core::step_receive_holds() { features_->step(CoreStep::ReceiveHolds, clock_.now()); }

// Step 18.
void Core::step_udp_discovery() {
    if (!st_.discovery) return;
    std::string shown;
    {
        auto g = st_.ui->lock();
        shown = g->peer_address;
    }
    // While bound, the connection that proved the session key says where the phone is.
    std::optional<SocketAddress> bound_phone;
    if (st_.tcp && tcp_channel_bound()) bound_phone = st_.tcp->bound_peer();
    st_.discovery->set_bound_phone(bound_phone);
    // Beacons are not shown: anyone can send one, from any source address. The address
    // shown is the bound connection's alone (set when it binds).
    (void)st_.discovery->discovery_step(clock_.now(), shown);
}

// Step 19.
void Core::step_scan_list_expiry() {
    if (link_->scan_list().expire(clock_.now(), kScanListTtl) == 0) return;
    mirror_scan_list();
    request_repaint();
}

void Core::step_reply_expiry() { features_->step(CoreStep::ReplyExpiry, clock_.now()); }

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
