// A stand-in for every feature module that records what the core or the routing table
// hands it, for tests of the wiring.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "features/features.h"

namespace dovan {

struct Record {
    std::vector<AppEventKind> events;
    std::vector<std::string> requests;  // the slots that were set when the module was called
    std::vector<TurnStep> steps;
    std::vector<LinkChange::Kind> links;
};

// Takes every event handed to it unless told to decline, and notes the request slots it saw.
class Recorder final : public Feature {
public:
    Recorder(std::string name, Record& record, std::map<std::string, std::vector<std::string>>& order)
        : name_(std::move(name)), rec_(record), order_(order) {}
    std::string_view name() const override { return name_; }
    bool on_event(const AppEvent& e) override {
        rec_.events.push_back(e.kind);
        order_["event"].push_back(name_);
        return !decline;
    }
    void on_requests(UiRequests& r) override {
        order_["requests"].push_back(name_);
        if (r.send_clipboard) rec_.requests.push_back("send_clipboard");
        if (r.media) rec_.requests.push_back("media");
        if (r.send_reply) rec_.requests.push_back("send_reply");
        if (r.send_files) rec_.requests.push_back("send_files");
        if (r.cancel) rec_.requests.push_back("cancel");
        if (r.album_page) rec_.requests.push_back("album_page");
    }
    void step(TurnStep at, Instant) override { rec_.steps.push_back(at); }
    void on_link(const LinkChange& c) override { rec_.links.push_back(c.kind); }
    std::optional<Instant> next_deadline() const override { return deadline; }

    bool decline = false;
    std::optional<Instant> deadline;

private:
    std::string name_;
    Record& rec_;
    std::map<std::string, std::vector<std::string>>& order_;
};

using RecordOrder = std::map<std::string, std::vector<std::string>>;

// One recorder per slot, named like the slot; `records` and `order` must outlive them.
inline Features::Modules recording_modules(std::map<std::string, Record>& records,
                                           std::map<std::string, Recorder*>& recorders, RecordOrder& order) {
    Features::Modules m;
    auto make = [&](const char* name) {
        auto r = std::make_unique<Recorder>(name, records[name], order);
        recorders[name] = r.get();
        return r;
    };
    m.notifications = make("notifications");
    m.clipboard = make("clipboard");
    m.media = make("media");
    m.device_status = make("device_status");
    m.config_sync = make("config_sync");
    m.file_send = make("file_send");
    m.file_receive = make("file_receive");
    m.album = make("album");
    return m;
}

}  // namespace dovan
