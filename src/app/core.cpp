#include "app/core.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace dovan {

Core::Core(std::shared_ptr<SharedUi> ui, RepaintFn window, Clock& clock) : clock_(clock) {
    invariant(ui != nullptr, "核心线程需要界面状态");
    st_.modules = ui->modules();
    st_.ui = std::move(ui);
    st_.window = std::move(window);
    const Instant now = clock_.now();
    st_.last_rx = now;
    st_.last_timer_tick = now;
}

Status Core::start() {
    // The stores load the identity and the trusted phones here, and the BLE watcher is
    // created and started; a watcher that cannot be created ends the core at once with
    // "BLE 初始化失败: {}".
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

void Core::arm_autodial(std::string_view reason) {
    // The BLE link rebuilds the list of names it may dial by itself here.
    (void)reason;
}

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
    // 1. Connect: the BLE link drops its heal target and connects to r.connect here.

    // 2. Without an engine, everything that must reach the phone is refused once, and
    // pairing answers (3 to 6) are dropped without a word.
    if (!engine_present()) {
        if (r.media || r.send_clipboard || r.send_files || r.cancel || r.send_reply ||
            r.album_page || r.album_export || r.album_drag || r.thumbnail_wanted) {
            push_notice(kNoPairedLink);
        }
    } else {
        // 3-6. SAS confirm and reject, identity accept and reject (pairing).
        // 7. Clipboard text, 8. media command, 9. notification reply (phone features).
    }

    // 10. An identity answer closes the prompt, also when the engine is gone.
    if (r.identity_accept || r.identity_reject) {
        {
            auto g = st_.ui->lock();
            g->identity_change.reset();
            g->bump();
        }
        request_repaint();
    }

    // 11. Unbind, 12. manual address, 13. files to send, 14. cancel,
    // 15. album page, export, drag-out and wanted thumbnail.
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

// Step 6: BLE notification values through reassembly into inbound handling.
void Core::step_ble_inbound() {}

// Step 7: one pass of the BLE writer, at most 150 ms.
void Core::step_ble_writes() {}

// Step 8: repeated write failures on a silent link make the core wait for an advert.
void Core::step_heal_start() {}

// Step 9: reconnect as soon as the phone advertises again, or give up at the deadline.
void Core::step_heal_wait() {}

// Step 10: connect by itself to a known phone.
void Core::step_autodial() {}

// Step 11: the engine's TCP queue written out to the bound connection.
void Core::step_tcp_writes() {}

// Step 12: the engine's application events, then a repaint when there were any.
void Core::step_app_events() {}

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
    // The engine's timer step runs here when an engine exists.
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
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - st_.last_rx);
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

void run_core(std::shared_ptr<SharedUi> ui, RepaintFn window, Clock& clock,
              const std::atomic<bool>& stop) {
    Core core(std::move(ui), std::move(window), clock);
    if (!core.start().ok()) return;
    core.run(stop);
}

}  // namespace dovan
