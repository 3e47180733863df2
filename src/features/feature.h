// The interface between the core loop and the feature modules (notifications, clipboard,
// media, device status, configuration sync, file send, file receive, album).
//
// The core owns the loop and the wiring; a module owns one feature's state and rules. The
// core calls a module only on its own thread, in the order of the turn:
//
//   step 1   on_requests   the user's requests from the UI slots, after the pairing answers
//                          (clipboard, media, notifications: only while an engine exists) or
//                          after the manual address (files, cancel, album: always)
//   step 2   step(SessionStartup)   while the engine is PAIRED (configuration sync)
//   step 12  on_event      each application event of the engine's outbox, in order, that
//                          belongs to the module (see Features::on_event for who gets what)
//   step 13  step(ReceivedChunks)   the engine's received-chunk queue (file receive)
//   step 14  step(FileSending)
//   step 15  step(Album)
//   step 17  step(ReceiveHolds)
//   step 20  step(ReplyExpiry)      (notifications)
//   any      on_link       the engine appeared or went, the TCP channel was bound or
//                          unbound, the BLE link was lost, the user unbound the phone
//
// A module never blocks: no sleeping, no waiting on a socket. Disk work is short and
// bounded per turn. It reaches everything else through its FeatureHost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clipboard.h"
#include "platform/clock.h"
#include "session/engine.h"
#include "shell/ui_state.h"

namespace dovan {

// The steps of one core turn, numbered as they run.
enum class TurnStep : std::uint8_t {
    UiRequests = 1,
    SessionStartup = 2,
    TcpAccept = 3,
    TcpClose = 4,
    TcpInbound = 5,
    BleInbound = 6,
    BleWrites = 7,
    HealStart = 8,
    HealWait = 9,
    Autodial = 10,
    TcpWrites = 11,
    AppEvents = 12,
    ReceivedChunks = 13,
    FileSending = 14,
    Album = 15,
    EngineTimers = 16,
    ReceiveHolds = 17,
    UdpDiscovery = 18,
    ScanListExpiry = 19,
    ReplyExpiry = 20,
    LinkIdle = 21,
    Sleep = 22,
};

// What happened to the link the modules send over.
struct LinkChange {
    enum class Kind : std::uint8_t {
        EngineCreated,  // a BLE connection was made; a new session starts (not yet PAIRED)
        EngineEnding,   // the session is about to end; host.engine() is still the old one
        EngineGone,     // the session ended (a new connection replaces it); transfers end
        TcpBound,       // the LAN channel is bound: business traffic may use it
        TcpUnbound,     // the LAN channel is gone; `reason` says why
        BleLost,        // the session's BLE link is gone (`reason`); host.engine() is the same
                        // one, and what it had queued for BLE and not written is lost. The
                        // session itself is lost too unless the engine is still PAIRED.
        Unbound,        // the user unbound the phone ("设备解绑"): drop jobs and sessions
    };
    Kind kind = Kind::EngineCreated;
    std::string reason;
};

// What the core offers a module. Everything here is for the core thread only.
class FeatureHost {
public:
    virtual ~FeatureHost() = default;

    // Monotonic instants for every deadline, wall-clock ms for timestamps. Tests inject a
    // fake one, so no module reads the system clock itself.
    virtual Clock& clock() = 0;

    // The session while a BLE connection exists, else null. Sends go through it
    // (send_business, send_tcp_only, …); each returns false when the frame cannot go now.
    virtual Engine* engine() = 0;

    // The shared UI state: lock it briefly (`auto g = host.ui().lock();`), never across a
    // send, a disk write or another module. Its setters (add_notice, update_transfer_row,
    // finish_reply, …) also append to the event feed the front ends print and toast from;
    // a change written field by field is announced with `g->emit(feed::…{…})` (the event
    // kinds are in shell/event_feed.h: NotificationStored, ClipboardReceived, MediaStored,
    // Battery, LocalClipboard, AlbumList, Thumb, Drag, …), once per change the user should
    // hear about.
    virtual SharedUi& ui() = 0;

    // Feature switches as loaded at start; a module whose switch is off drops its events.
    virtual LoadedModules modules() const = 0;

    // A short line for the user (at most three are shown, newest first).
    virtual void push_notice(std::string_view text) = 0;

    // Asks the front end to repaint; call after changing what it shows.
    virtual void request_repaint() = 0;

    // Writes the UI's settings mirror to settings.ini (after a configuration sync changed it).
    virtual void save_settings() = 0;

    // The data directory (received files go to the inbox setting, not here).
    virtual const std::filesystem::path& data_dir() const = 0;

    // The local clipboard text from the phone is written to; none: nowhere to write.
    virtual Clipboard* clipboard() { return nullptr; }

    // Debug events go through emit_event (platform/debug_log.h), which any thread may call.
};

class Feature {
public:
    virtual ~Feature() = default;

    virtual std::string_view name() const = 0;

    // One application event of the kinds this module is handed. Returns false when the
    // event turned out not to be its own (a file id it does not know), so the next
    // candidate gets it.
    virtual bool on_event(const AppEvent& event) = 0;

    // The request slots this module serves. A module takes (resets) what it carried out;
    // it leaves the other slots alone.
    virtual void on_requests(UiRequests& requests) { (void)requests; }

    // Called at the steps listed above; a module acts at the steps that are its own.
    virtual void step(TurnStep at, Instant now) {
        (void)at;
        (void)now;
    }

    virtual void on_link(const LinkChange& change) { (void)change; }

    // The earliest instant at which step() has timed work to do; nothing: no timer. The
    // core never sleeps past it.
    virtual std::optional<Instant> next_deadline() const { return std::nullopt; }
};

}  // namespace dovan
