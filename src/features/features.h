// The feature modules as one set, and the table of which module gets which application
// event and which request. The core talks to this set only.
#pragma once

#include <memory>
#include <optional>

#include "features/feature.h"

namespace dovan {

class Features {
public:
    struct Modules {
        std::unique_ptr<Feature> notifications;
        std::unique_ptr<Feature> clipboard;
        std::unique_ptr<Feature> media;
        std::unique_ptr<Feature> device_status;
        std::unique_ptr<Feature> config_sync;
        std::unique_ptr<Feature> file_send;
        std::unique_ptr<Feature> file_receive;
        std::unique_ptr<Feature> album;
    };

    // The program's own modules, each reaching the core through `host`.
    static Modules standard(FeatureHost& host);

    explicit Features(Modules modules);

    // Step 12: hands the event to the module it belongs to. A file's FILE_DONE goes to the
    // receiver when one of its sessions has the id, else to the sender; an interrupted or
    // cancelled transfer to the sender when it is its job, else to the receiver. False
    // when no module took the event.
    bool on_event(const AppEvent& event);

    // Step 1, the requests that need the session (clipboard text, media command,
    // notification reply, in that order); the core calls it only while an engine exists.
    void session_requests(UiRequests& requests);
    // Step 1 while no engine exists: a reply the window already counts as waiting for the
    // phone is finished at once as not sent, not left to time out as unanswered.
    void requests_without_session(UiRequests& requests);
    // Step 1, the queue requests after the manual address (files to send, cancel, album).
    void queue_requests(UiRequests& requests);

    // Steps 2, 13, 14, 15, 17 and 20: every module is called; each acts at its own.
    void step(TurnStep at, Instant now);
    void on_link(const LinkChange& change);
    // The earliest deadline any module has; the core wakes for it.
    std::optional<Instant> next_deadline() const;

private:
    template <class F>
    void each(F&& f) const;

    Modules m_;
};

}  // namespace dovan
