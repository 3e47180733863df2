#include "standin.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/text.h"
#include "platform/ble.h"
#include "platform/bluez/bus_loop.h"
#include "platform/bluez/names.h"
#include "platform/bluez/props.h"
#include "platform/sim/sim_radio.h"
#include "protocol/product.h"

namespace dovan::bluez {

std::string bluez_name(std::string_view raw) {
    std::size_t pos = 0;
    while (pos < raw.size()) {
        const std::size_t at = pos;
        if (utf8_next(raw, pos) == kUtf8Invalid) return std::string(raw.substr(0, at));
    }
    return std::string(raw);
}

namespace {

using namespace std::chrono_literals;
using ble::GattStatus;

constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kAdapterIface = "org.bluez.Adapter1";
constexpr const char* kDeviceIface = "org.bluez.Device1";
constexpr const char* kServiceIface = "org.bluez.GattService1";
constexpr const char* kCharIface = "org.bluez.GattCharacteristic1";
constexpr const char* kNotConnected = "org.bluez.Error.NotConnected";
constexpr const char* kFailed = "org.bluez.Error.Failed";
constexpr const char* kAttError = "Operation failed with ATT error: 0x0e";
constexpr const char* kAborted = "le-connection-abort-by-local";
constexpr std::int16_t kDefaultRssi = -50;
// Without an RSSI or Pathloss filter bluetoothd reports a device's RSSI only when it moved
// this far from the last value it reported.
constexpr int kRssiDelta = 8;

// Blocking sim-radio work, one job at a time like a controller's command queue.
class Worker {
public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void push(std::function<void()> job) {
        {
            std::lock_guard lock(mu_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_all();
    }

private:
    void loop() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mu_);
                cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
                if (stop_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

// Jobs due at a time, on a thread of their own.
class Timers {
public:
    Timers() : thread_([this] { loop(); }) {}
    ~Timers() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void at(std::chrono::steady_clock::time_point when, std::function<void()> job) {
        {
            std::lock_guard lock(mu_);
            jobs_.emplace(when, std::move(job));
        }
        cv_.notify_all();
    }

private:
    void loop() {
        std::unique_lock lock(mu_);
        for (;;) {
            if (stop_) return;
            if (jobs_.empty()) {
                cv_.wait(lock);
                continue;
            }
            const auto due = jobs_.begin()->first;
            if (std::chrono::steady_clock::now() < due) {
                cv_.wait_until(lock, due);
                continue;
            }
            auto job = std::move(jobs_.begin()->second);
            jobs_.erase(jobs_.begin());
            lock.unlock();
            job();
            lock.lock();
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

struct DeviceObj;

struct Node {
    StandIn::Impl* impl = nullptr;
    std::string path;
    sd_bus_slot* slot = nullptr;
};

struct DeviceObj : Node {
    std::uint64_t address = 0;
    std::string name;
    std::vector<std::string> uuids;
    std::int16_t rssi = kDefaultRssi;  // as last reported
    std::uint16_t mtu = 23;            // of the last link, exchanged right after connecting
    bool connected = false;
    bool resolved = false;
    bool connecting = false;
    std::uint64_t gen = 0;  // one per connection; stale sim-radio results compare against it
    std::shared_ptr<ble::Device> sim;
};

struct ServiceObj : Node {
    std::string uuid;
    std::string device;
};

struct CharObj : Node {
    std::string uuid;
    std::string service;
    std::string device;
    std::vector<std::string> flags;
    Bytes value;
    // Notification sessions belong to bus clients and outlive the link; `subscribed` is the
    // phone's side of it on the current link.
    std::set<std::string> sessions;
    bool subscribed = false;
    bool subscribing = false;
    std::vector<std::pair<std::uint64_t, std::string>> waiting;  // StartNotify calls and their senders
    std::shared_ptr<ble::Characteristic> sim;
    std::optional<std::uint64_t> sim_token;
};

struct AdapterObj : Node {
    bool powered = true;
    bool discovering = false;
};

struct Pending {
    enum Kind { Connect, Gatt, Notify };
    sd_bus_message* msg = nullptr;
    std::string device;
    Kind kind = Gatt;
};

struct ConnectResult {
    std::string error;
    std::shared_ptr<ble::Device> device;
    struct Svc {
        std::string uuid;
        std::vector<std::pair<std::string, std::shared_ptr<ble::Characteristic>>> chars;
    };
    std::vector<Svc> services;
};

// Lets sim-radio threads reach the bus thread only while the stand-in exists.
struct Gate {
    std::mutex mu;
    StandIn::Impl* impl = nullptr;
};

}  // namespace

class StandIn::Impl {
public:
    explicit Impl(StandInOptions o) : opt(std::move(o)) {}

    StandInOptions opt;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    Timers timers;  // outlives the worker, whose jobs schedule on it
    Worker worker;
    std::shared_ptr<ble::Adapter> sim;
    std::unique_ptr<ble::Watcher> watcher;  // created on the first StartDiscovery

    std::mutex loop_mu;
    std::unique_ptr<BusLoop> loop;

    // Bus thread only.
    sd_bus_slot* objmgr = nullptr;
    std::unique_ptr<AdapterObj> adapter;
    bool adapter_wanted = true;
    bool powered_wanted = true;
    std::vector<std::string> filter;
    std::optional<std::int16_t> filter_rssi;
    std::optional<std::uint16_t> filter_pathloss;
    std::map<std::uint64_t, std::int16_t> rssi_heard;  // what the radio hears, by address
    std::map<std::string, std::unique_ptr<DeviceObj>> devices;
    std::map<std::string, std::unique_ptr<ServiceObj>> services;
    std::map<std::string, std::unique_ptr<CharObj>> chars;
    std::map<std::uint64_t, Pending> pending;
    std::uint64_t next_pending = 0;
    // Connects waiting for their device to advertise, by its address: the controller
    // listens for it and connects at its first advertisement.
    struct Awaiting {
        std::string path;
        std::uint64_t gen = 0;
        std::uint64_t id = 0;
        std::chrono::steady_clock::time_point gives_up;
    };
    std::map<std::uint64_t, Awaiting> awaiting;
    // Connection numbers stay unique across daemon restarts, so a late result never fits a new link.
    std::uint64_t next_gen = 0;
    unsigned remove_during_discovery = 0;
    unsigned fail_notify = 0;
    unsigned fail_writes = 0;
    bool stall = false;

    mutable std::mutex obs_mu;
    std::vector<std::string> write_types;
    unsigned connects = 0;
    bool discovering_seen = false;
    std::vector<std::string> filter_seen;
    std::optional<std::int16_t> filter_rssi_seen;
    std::map<std::uint64_t, unsigned> rssi_reports;
    std::map<std::uint64_t, bool> connected_seen;

    // --- plumbing ---
    void post(BusLoop::Task t) {
        std::lock_guard lock(loop_mu);
        if (loop) loop->post(std::move(t));
    }
    // Only the controlling thread runs, brings up and takes down the loop, so the loop
    // cannot go while it waits here; not holding the lock lets sim-radio threads post.
    bool run(BusLoop::Task t) {
        BusLoop* l = nullptr;
        {
            std::lock_guard lock(loop_mu);
            l = loop.get();
        }
        return l && l->run(std::move(t), 10s);
    }
    // Tasks run on the bus thread, which exists only while the stand-in does.
    static void from_sim(const std::shared_ptr<Gate>& gate, std::function<void(Impl&, sd_bus*)> t) {
        std::lock_guard lock(gate->mu);
        if (Impl* impl = gate->impl) impl->post([impl, t = std::move(t)](sd_bus* bus) { t(*impl, bus); });
    }
    std::uint64_t defer(sd_bus_message* m, const std::string& device, Pending::Kind kind = Pending::Gatt) {
        pending[++next_pending] = Pending{sd_bus_message_ref(m), device, kind};
        return next_pending;
    }
    void reply(std::uint64_t id, const char* error = nullptr, const std::string& text = {}) {
        auto it = pending.find(id);
        if (it == pending.end()) return;
        if (error)
            sd_bus_reply_method_errorf(it->second.msg, error, "%s", text.c_str());
        else
            sd_bus_reply_method_return(it->second.msg, nullptr);
        sd_bus_message_unref(it->second.msg);
        pending.erase(it);
    }
    void note_connected(const DeviceObj& d) {
        std::lock_guard lock(obs_mu);
        connected_seen[d.address] = d.connected;
    }
    void note_discovery() {
        std::lock_guard lock(obs_mu);
        discovering_seen = adapter && adapter->discovering;
        filter_seen = filter;
        filter_rssi_seen = filter_rssi;
    }

    static void emit(sd_bus* bus, const std::string& path, const char* iface, const char* prop) {
        sd_bus_emit_properties_changed(bus, path.c_str(), iface, prop, static_cast<char*>(nullptr));
    }
    static void added(sd_bus* bus, const std::string& path, const char* iface) {
        sd_bus_emit_interfaces_added(bus, path.c_str(), iface, static_cast<char*>(nullptr));
    }
    static void removed(sd_bus* bus, Node& n, const char* iface) {
        sd_bus_emit_interfaces_removed(bus, n.path.c_str(), iface, static_cast<char*>(nullptr));
        sd_bus_slot_unref(n.slot);
        n.slot = nullptr;
    }

    // --- daemon life ---
    Status bring_up();
    void take_down();
    void add_adapter_obj(sd_bus* bus, bool announce);
    void remove_adapter_obj(sd_bus* bus);

    // --- device life ---
    DeviceObj* device(const std::string& path) {
        auto it = devices.find(path);
        return it == devices.end() ? nullptr : it->second.get();
    }
    void on_advert(sd_bus* bus, const ble::Advertisement& adv);
    Status ensure_watcher();
    // One try at the device on the sim radio; a device that is not there waits in `awaiting`.
    void dial(const std::string& path, std::uint64_t address, std::uint64_t gen, std::uint64_t id,
              std::chrono::steady_clock::time_point gives_up);
    void await_device(sd_bus* bus, std::uint64_t address, const Awaiting& a);
    void teardown_link(sd_bus* bus, DeviceObj& d, const Bytes& late_value = {});
    void remove_device(sd_bus* bus, const std::string& path);
    void connect_done(sd_bus* bus, const std::string& path, std::uint64_t gen, std::uint64_t id, const ConnectResult& r);
    void on_notify(sd_bus* bus, const std::string& path, std::uint64_t gen, const Bytes& value);
    void subscribe(CharObj& c, const DeviceObj& d);
    void subscribe_done(sd_bus* bus, const std::string& path, std::uint64_t gen, bool ok, std::optional<std::uint64_t> token);
    void unsubscribe(sd_bus* bus, CharObj& c);
    static int on_client_gone(sd_bus_message* m, void* u, sd_bus_error* e);

    // --- method handlers ---
    static int start_discovery(sd_bus_message* m, void* u, sd_bus_error* e);
    static int stop_discovery(sd_bus_message* m, void* u, sd_bus_error* e);
    static int set_filter(sd_bus_message* m, void* u, sd_bus_error* e);
    static int get_filters(sd_bus_message* m, void* u, sd_bus_error* e);
    static int remove_device_call(sd_bus_message* m, void* u, sd_bus_error* e);
    static int connect(sd_bus_message* m, void* u, sd_bus_error* e);
    static int disconnect(sd_bus_message* m, void* u, sd_bus_error* e);
    static int start_notify(sd_bus_message* m, void* u, sd_bus_error* e);
    static int stop_notify(sd_bus_message* m, void* u, sd_bus_error* e);
    static int read_value(sd_bus_message* m, void* u, sd_bus_error* e);
    static int write_value(sd_bus_message* m, void* u, sd_bus_error* e);

    static int adapter_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*);
    static int device_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*);
    static int service_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*);
    static int char_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*);
};

namespace {

using Impl = StandIn::Impl;
constexpr auto kEmits = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;

const sd_bus_vtable kAdapterVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("StartDiscovery", "", "", Impl::start_discovery, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopDiscovery", "", "", Impl::stop_discovery, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetDiscoveryFilter", "a{sv}", "", Impl::set_filter, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetDiscoveryFilters", "", "as", Impl::get_filters, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveDevice", "o", "", Impl::remove_device_call, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Address", "s", Impl::adapter_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AddressType", "s", Impl::adapter_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", Impl::adapter_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Alias", "s", Impl::adapter_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Powered", "b", Impl::adapter_prop, 0, kEmits),
    SD_BUS_PROPERTY("Discovering", "b", Impl::adapter_prop, 0, kEmits),
    SD_BUS_PROPERTY("UUIDs", "as", Impl::adapter_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kDeviceVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Connect", "", "", Impl::connect, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Disconnect", "", "", Impl::disconnect, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Address", "s", Impl::device_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AddressType", "s", Impl::device_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("Alias", "s", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("UUIDs", "as", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("RSSI", "n", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("Connected", "b", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("ServicesResolved", "b", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("Paired", "b", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("Trusted", "b", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("Blocked", "b", Impl::device_prop, 0, kEmits),
    SD_BUS_PROPERTY("Adapter", "o", Impl::device_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kServiceVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("UUID", "s", Impl::service_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Primary", "b", Impl::service_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Device", "o", Impl::service_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kCharVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ReadValue", "a{sv}", "ay", Impl::read_value, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("WriteValue", "aya{sv}", "", Impl::write_value, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartNotify", "", "", Impl::start_notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopNotify", "", "", Impl::stop_notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("UUID", "s", Impl::char_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Service", "o", Impl::char_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Value", "ay", Impl::char_prop, 0, kEmits),
    SD_BUS_PROPERTY("Notifying", "b", Impl::char_prop, 0, kEmits),
    SD_BUS_PROPERTY("Flags", "as", Impl::char_prop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("MTU", "q", Impl::char_prop, 0, kEmits),
    SD_BUS_VTABLE_END};

int append_strings(sd_bus_message* r, const std::vector<std::string>& v) {
    int rc = sd_bus_message_open_container(r, SD_BUS_TYPE_ARRAY, "s");
    for (const auto& s : v)
        if (rc >= 0) rc = sd_bus_message_append_basic(r, 's', s.c_str());
    return rc < 0 ? rc : sd_bus_message_close_container(r);
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFF);
    return buf;
}

}  // namespace

int Impl::adapter_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*) {
    auto* a = static_cast<AdapterObj*>(u);
    const std::string k = p;
    if (k == "Address") return sd_bus_message_append(r, "s", "00:1A:7D:DA:71:13");
    if (k == "AddressType") return sd_bus_message_append(r, "s", "public");
    if (k == "Name" || k == "Alias") return sd_bus_message_append(r, "s", "dovan-standin");
    if (k == "Powered") return sd_bus_message_append(r, "b", a->powered);
    if (k == "Discovering") return sd_bus_message_append(r, "b", a->discovering);
    return append_strings(r, {});
}

int Impl::device_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*) {
    auto* d = static_cast<DeviceObj*>(u);
    const std::string k = p;
    if (k == "Address") return sd_bus_message_append(r, "s", colon_address(d->address).c_str());
    if (k == "AddressType") return sd_bus_message_append(r, "s", "random");
    if (k == "Name") return sd_bus_message_append(r, "s", d->name.c_str());
    if (k == "Alias") {
        std::string alias = d->name;
        if (alias.empty()) {
            alias = colon_address(d->address);
            std::replace(alias.begin(), alias.end(), ':', '-');
        }
        return sd_bus_message_append(r, "s", alias.c_str());
    }
    if (k == "UUIDs") return append_strings(r, d->uuids);
    if (k == "RSSI") return sd_bus_message_append(r, "n", d->rssi);
    if (k == "Connected") return sd_bus_message_append(r, "b", d->connected);
    if (k == "ServicesResolved") return sd_bus_message_append(r, "b", d->resolved);
    if (k == "Adapter") return sd_bus_message_append(r, "o", kAdapterPath);
    return sd_bus_message_append(r, "b", 0);  // Paired, Trusted, Blocked
}

int Impl::service_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*) {
    auto* s = static_cast<ServiceObj*>(u);
    const std::string k = p;
    if (k == "UUID") return sd_bus_message_append(r, "s", s->uuid.c_str());
    if (k == "Primary") return sd_bus_message_append(r, "b", 1);
    return sd_bus_message_append(r, "o", s->device.c_str());
}

int Impl::char_prop(sd_bus*, const char*, const char*, const char* p, sd_bus_message* r, void* u, sd_bus_error*) {
    auto* c = static_cast<CharObj*>(u);
    const std::string k = p;
    if (k == "UUID") return sd_bus_message_append(r, "s", c->uuid.c_str());
    if (k == "Service") return sd_bus_message_append(r, "o", c->service.c_str());
    if (k == "Value") return sd_bus_message_append_array(r, 'y', c->value.data(), c->value.size());
    if (k == "Notifying") return sd_bus_message_append(r, "b", c->subscribed);
    if (k == "Flags") return append_strings(r, c->flags);
    const DeviceObj* d = c->impl->device(c->device);
    return sd_bus_message_append(r, "q", d ? d->mtu : std::uint16_t{23});
}

// --- daemon life ---

Status Impl::bring_up() {
    auto opened = BusLoop::open(opt.bus_address);
    if (!opened) return fail_text("stand-in bus: " + opened.error().display());
    std::unique_ptr<BusLoop> l = std::move(*opened);
    sd_bus* bus = l->bus();
    int r = sd_bus_add_object_manager(bus, &objmgr, "/");
    if (r < 0) return fail_text(std::string("object manager: ") + errno_text(-r));
    // Notification sessions end with the client that asked for them.
    r = sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameOwnerChanged", on_client_gone, this);
    if (r < 0) return fail_text(std::string("AddMatch: ") + errno_text(-r));
    if (adapter_wanted) add_adapter_obj(bus, false);
    r = sd_bus_request_name(bus, "org.bluez", 0);
    if (r < 0) return fail_text(std::string("RequestName org.bluez: ") + errno_text(-r));
    l->start();
    std::lock_guard lock(loop_mu);
    loop = std::move(l);
    return {};
}

void Impl::take_down() {
    run([this](sd_bus*) {
        // An exiting daemon answers nothing and says nothing: the bus name simply goes.
        for (auto& [id, p] : pending) sd_bus_message_unref(p.msg);
        pending.clear();
        awaiting.clear();
        for (auto& [p, c] : chars) sd_bus_slot_unref(c->slot);
        for (auto& [p, s] : services) sd_bus_slot_unref(s->slot);
        for (auto& [p, d] : devices) sd_bus_slot_unref(d->slot);
        chars.clear();
        services.clear();
        devices.clear();
        if (adapter) sd_bus_slot_unref(adapter->slot);
        adapter.reset();
        sd_bus_slot_unref(objmgr);
        objmgr = nullptr;
        filter.clear();
        filter_rssi.reset();
        filter_pathloss.reset();
        note_discovery();
        std::lock_guard lock(obs_mu);
        connected_seen.clear();
    });
    std::unique_ptr<BusLoop> old;
    {
        std::lock_guard lock(loop_mu);
        old = std::move(loop);
    }
    old.reset();
}

void Impl::add_adapter_obj(sd_bus* bus, bool announce) {
    if (adapter) return;
    adapter = std::make_unique<AdapterObj>();
    adapter->impl = this;
    adapter->path = kAdapterPath;
    adapter->powered = powered_wanted;
    sd_bus_add_object_vtable(bus, &adapter->slot, kAdapterPath, kAdapterIface, kAdapterVtable, adapter.get());
    if (announce) added(bus, kAdapterPath, kAdapterIface);
    note_discovery();
}

void Impl::remove_adapter_obj(sd_bus* bus) {
    if (!adapter) return;
    std::vector<std::string> paths;
    for (auto& [p, d] : devices) paths.push_back(p);
    for (const auto& p : paths) remove_device(bus, p);
    removed(bus, *adapter, kAdapterIface);
    adapter.reset();
    filter.clear();
    filter_rssi.reset();
    filter_pathloss.reset();
    note_discovery();
}

// --- devices ---

void Impl::on_advert(sd_bus* bus, const ble::Advertisement& adv) {
    if (!adapter || !adapter->powered) return;
    // A pending Connect goes on at the device's first advertisement, discovering or not.
    if (auto w = awaiting.find(adv.address); w != awaiting.end()) {
        const Awaiting a = w->second;
        awaiting.erase(w);
        const DeviceObj* d = device(a.path);
        if (d && d->gen == a.gen && d->connecting) dial(a.path, adv.address, a.gen, a.id, a.gives_up);
    }
    if (!adapter->discovering) return;
    std::vector<std::string> uuids;
    for (const auto& u : adv.service_uuids) uuids.push_back(u.text());
    if (!filter.empty() &&
        std::none_of(uuids.begin(), uuids.end(),
                     [&](const std::string& u) { return std::find(filter.begin(), filter.end(), u) != filter.end(); }))
        return;
    auto heard = rssi_heard.find(adv.address);
    const std::int16_t rssi = heard == rssi_heard.end() ? kDefaultRssi : heard->second;
    if (filter_rssi && rssi <= *filter_rssi) return;
    // A path loss needs the TX power in the advertisement, which sim phones never send.
    if (filter_pathloss) return;
    const std::string path = device_path(kAdapterPath, adv.address);
    const std::string name = bluez_name(adv.local_name);
    DeviceObj* d = device(path);
    if (!d) {
        auto obj = std::make_unique<DeviceObj>();
        obj->impl = this;
        obj->path = path;
        obj->address = adv.address;
        obj->name = name;
        obj->uuids = uuids;
        obj->rssi = rssi;
        d = obj.get();
        devices[path] = std::move(obj);
        sd_bus_add_object_vtable(bus, &d->slot, path.c_str(), kDeviceIface, kDeviceVtable, d);
        added(bus, path, kDeviceIface);
        return;
    }
    // With an RSSI or Pathloss filter every advertisement is reported, the same value too;
    // without, only a move of kRssiDelta or more since the last report.
    const int threshold = filter_rssi || filter_pathloss ? 0 : kRssiDelta;
    if (std::abs(rssi - d->rssi) >= threshold) {
        d->rssi = rssi;
        emit(bus, path, kDeviceIface, "RSSI");
        std::lock_guard lock(obs_mu);
        ++rssi_reports[d->address];
    }
    if (d->name != name) {
        d->name = name;
        emit(bus, path, kDeviceIface, "Name");
    }
    if (d->uuids != uuids) {
        d->uuids = uuids;
        emit(bus, path, kDeviceIface, "UUIDs");
    }
}

void Impl::teardown_link(sd_bus* bus, DeviceObj& d, const Bytes& late_value) {
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->second.device == d.path) {
            switch (it->second.kind) {
                // A notification session outlives the link; it takes effect when the link returns.
                case Pending::Notify: sd_bus_reply_method_return(it->second.msg, nullptr); break;
                case Pending::Connect: sd_bus_reply_method_errorf(it->second.msg, kFailed, "%s", kAborted); break;
                case Pending::Gatt: sd_bus_reply_method_errorf(it->second.msg, kFailed, "Operation failed"); break;
            }
            sd_bus_message_unref(it->second.msg);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
    if (auto w = awaiting.find(d.address); w != awaiting.end() && w->second.path == d.path) awaiting.erase(w);
    d.gen = ++next_gen;
    d.connecting = false;
    if (!d.connected) return;
    if (d.resolved) {
        d.resolved = false;
        emit(bus, d.path, kDeviceIface, "ServicesResolved");
    }
    d.connected = false;
    emit(bus, d.path, kDeviceIface, "Connected");
    note_connected(d);
    if (!late_value.empty()) {
        for (auto& [p, c] : chars) {
            if (c->device == d.path && c->subscribed) {
                c->value = late_value;
                emit(bus, p, kCharIface, "Value");
            }
        }
    }
    // bluetoothd keeps the services it found (its GATT cache); only the link's state goes.
    for (auto& [p, c] : chars) {
        if (c->device != d.path) continue;
        c->waiting.clear();
        c->subscribing = false;
        c->sim.reset();
        c->sim_token.reset();
        if (c->subscribed) {
            c->subscribed = false;
            emit(bus, p, kCharIface, "Notifying");
        }
    }
    d.sim.reset();
}

void Impl::remove_device(sd_bus* bus, const std::string& path) {
    DeviceObj* d = device(path);
    if (!d) return;
    teardown_link(bus, *d);
    for (auto it = chars.begin(); it != chars.end();) {
        if (it->second->device == path) {
            removed(bus, *it->second, kCharIface);
            it = chars.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = services.begin(); it != services.end();) {
        if (it->second->device == path) {
            removed(bus, *it->second, kServiceIface);
            it = services.erase(it);
        } else {
            ++it;
        }
    }
    removed(bus, *d, kDeviceIface);
    devices.erase(path);
}

void Impl::connect_done(sd_bus* bus, const std::string& path, std::uint64_t gen, std::uint64_t id, const ConnectResult& r) {
    DeviceObj* d = device(path);
    if (!d || d->gen != gen) return reply(id, kFailed, kAborted);
    d->connecting = false;
    if (!r.error.empty()) return reply(id, kFailed, r.error);
    d->sim = r.device;
    // A phone that closes the link is noticed at once, as bluetoothd notices the radio
    // link going (the supervision timeout), not only when the next write fails.
    (void)d->sim->on_link_state([g = gate, path, gen](const ble::LinkStateEvent& e) {
        if (e.connected) return;
        from_sim(g, [path, gen](Impl& i, sd_bus* b) {
            DeviceObj* dev = i.device(path);
            if (dev && dev->gen == gen) i.teardown_link(b, *dev);
        });
    });
    d->connected = true;
    emit(bus, path, kDeviceIface, "Connected");
    note_connected(*d);
    reply(id);
    if (remove_during_discovery > 0) {
        --remove_during_discovery;
        return remove_device(bus, path);
    }
    // The MTU exchange follows the connection.
    const bool mtu_changed = d->mtu != opt.mtu;
    d->mtu = opt.mtu;
    const bool cached = std::any_of(services.begin(), services.end(),
                                    [&](const auto& s) { return s.second->device == path; });
    if (cached) {
        for (auto& [cp, c] : chars) {
            if (c->device != path) continue;
            const ServiceObj* svc = services.count(c->service) ? services.at(c->service).get() : nullptr;
            for (const auto& found : r.services) {
                if (!svc || found.uuid != svc->uuid) continue;
                for (const auto& [uuid, sim_char] : found.chars)
                    if (uuid == c->uuid) c->sim = sim_char;
            }
            if (mtu_changed) emit(bus, cp, kCharIface, "MTU");
        }
    } else {
        unsigned handle = 0x000a;
        for (const auto& svc : r.services) {
            auto s = std::make_unique<ServiceObj>();
            s->impl = this;
            s->path = path + "/service" + hex4(handle);
            s->uuid = svc.uuid;
            s->device = path;
            sd_bus_add_object_vtable(bus, &s->slot, s->path.c_str(), kServiceIface, kServiceVtable, s.get());
            added(bus, s->path, kServiceIface);
            unsigned ch = handle + 1;
            for (const auto& [uuid, sim_char] : svc.chars) {
                auto c = std::make_unique<CharObj>();
                c->impl = this;
                c->path = s->path + "/char" + hex4(ch);
                c->uuid = uuid;
                c->service = s->path;
                c->device = path;
                c->flags = uuid == kWriteCharUuid ? std::vector<std::string>{"write"}
                                                       : std::vector<std::string>{"notify"};
                c->sim = sim_char;
                sd_bus_add_object_vtable(bus, &c->slot, c->path.c_str(), kCharIface, kCharVtable, c.get());
                added(bus, c->path, kCharIface);
                chars[c->path] = std::move(c);
                ch += 3;
            }
            services[s->path] = std::move(s);
            handle += 0x10;
        }
    }
    // Sessions that outlived the last link are taken up again on this one.
    for (auto& [cp, c] : chars)
        if (c->device == path && !c->sessions.empty()) subscribe(*c, *d);
    d->resolved = true;
    emit(bus, path, kDeviceIface, "ServicesResolved");
}

void Impl::on_notify(sd_bus* bus, const std::string& path, std::uint64_t gen, const Bytes& value) {
    auto it = chars.find(path);
    if (it == chars.end() || !it->second->subscribed) return;
    DeviceObj* d = device(it->second->device);
    if (!d || d->gen != gen || !d->connected) return;
    it->second->value = value;
    emit(bus, path, kCharIface, "Value");
}

// Enables notifications at the phone for the sessions of `c`; callers in `c.waiting` are
// answered when that settles.
void Impl::subscribe(CharObj& c, const DeviceObj& d) {
    if (c.subscribed || c.subscribing || !d.connected || !c.sim) return;
    c.subscribing = true;
    const std::uint64_t gen = d.gen;
    const std::string path = c.path;
    auto sim_char = c.sim;
    std::shared_ptr<Gate> gate = this->gate;
    worker.push([=] {
        auto st = sim_char->subscribe_notify();
        std::optional<std::uint64_t> token;
        if (st && *st == GattStatus::Success) {
            auto t = sim_char->add_value_changed([gate, path, gen](const Bytes& v) {
                from_sim(gate, [path, gen, v](Impl& i, sd_bus* bus) { i.on_notify(bus, path, gen, v); });
            });
            if (t) token = *t;
        }
        from_sim(gate, [path, gen, token](Impl& i, sd_bus* bus) {
            i.subscribe_done(bus, path, gen, token.has_value(), token);
        });
    });
}

void Impl::subscribe_done(sd_bus* bus, const std::string& path, std::uint64_t gen, bool ok,
                          std::optional<std::uint64_t> token) {
    auto it = chars.find(path);
    if (it == chars.end()) return;
    CharObj& c = *it->second;
    const DeviceObj* d = device(c.device);
    // A link that went meanwhile answered the callers itself.
    if (!d || d->gen != gen) return;
    c.subscribing = false;
    auto waiting = std::move(c.waiting);
    c.waiting.clear();
    if (!ok) {
        for (const auto& [id, sender] : waiting) {
            c.sessions.erase(sender);
            reply(id, kFailed, kAttError);
        }
        return;
    }
    c.sim_token = token;
    c.subscribed = true;
    emit(bus, path, kCharIface, "Notifying");
    for (const auto& [id, sender] : waiting) reply(id);
}

// The last session went: the phone's notifications are no longer passed on.
void Impl::unsubscribe(sd_bus* bus, CharObj& c) {
    if (c.sim && c.sim_token) {
        auto sim_char = c.sim;
        const std::uint64_t token = *c.sim_token;
        worker.push([sim_char, token] { (void)sim_char->remove_value_changed(token); });
    }
    c.sim_token.reset();
    if (c.subscribed) {
        c.subscribed = false;
        emit(bus, c.path, kCharIface, "Notifying");
    }
}

int Impl::on_client_gone(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* impl = static_cast<Impl*>(u);
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || std::strcmp(sender, "org.freedesktop.DBus") != 0) return 0;
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 || !name || name[0] != ':' ||
        (new_owner && *new_owner))
        return 0;
    sd_bus* bus = sd_bus_message_get_bus(m);
    for (auto& [p, c] : impl->chars)
        if (c->sessions.erase(name) > 0 && c->sessions.empty()) impl->unsubscribe(bus, *c);
    return 0;
}

// --- methods ---

int Impl::start_discovery(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* a = static_cast<AdapterObj*>(u);
    Impl* impl = a->impl;
    if (!a->powered) return sd_bus_reply_method_errorf(m, "org.bluez.Error.NotReady", "Resource Not Ready");
    if (auto s = impl->ensure_watcher(); !s)
        return sd_bus_reply_method_errorf(m, kFailed, "%s", s.error().display().c_str());
    if (!a->discovering) {
        a->discovering = true;
        emit(sd_bus_message_get_bus(m), a->path, kAdapterIface, "Discovering");
    }
    impl->note_discovery();
    return sd_bus_reply_method_return(m, nullptr);
}

int Impl::stop_discovery(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* a = static_cast<AdapterObj*>(u);
    if (!a->discovering) return sd_bus_reply_method_errorf(m, kFailed, "No discovery started");
    a->discovering = false;
    emit(sd_bus_message_get_bus(m), a->path, kAdapterIface, "Discovering");
    a->impl->note_discovery();
    return sd_bus_reply_method_return(m, nullptr);
}

int Impl::set_filter(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* a = static_cast<AdapterObj*>(u);
    PropMap props;
    if (read_props(m, props) < 0) return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
    std::vector<std::string> uuids;
    if (const auto* list = prop_strings(props, "UUIDs")) {
        for (const auto& s : *list) {
            auto parsed = ble::Uuid::parse(s);
            if (!parsed) return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
            uuids.push_back(parsed->text());
        }
    }
    if (const std::string* t = prop_string(props, "Transport"); t && *t != "le" && *t != "auto" && *t != "bredr")
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
    std::optional<std::int16_t> rssi;
    std::optional<std::uint16_t> pathloss;
    if (props.count("RSSI")) {
        const std::int64_t v = prop_int(props, "RSSI");
        if (v < -127 || v > 20) return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
        rssi = static_cast<std::int16_t>(v);
    }
    if (props.count("Pathloss")) {
        const std::int64_t v = prop_int(props, "Pathloss", -1);
        if (v < 0 || v > 137) return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
        pathloss = static_cast<std::uint16_t>(v);
    }
    // One or the other: a device is reported by its RSSI or by its path loss.
    if (rssi && pathloss) return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
    a->impl->filter = uuids;
    a->impl->filter_rssi = rssi;
    a->impl->filter_pathloss = pathloss;
    a->impl->note_discovery();
    return sd_bus_reply_method_return(m, nullptr);
}

int Impl::get_filters(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* r = nullptr;
    int rc = sd_bus_message_new_method_return(m, &r);
    if (rc >= 0) rc = append_strings(r, {"UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData"});
    if (rc >= 0) rc = sd_bus_send(nullptr, r, nullptr);
    if (r) sd_bus_message_unref(r);
    return rc;
}

int Impl::remove_device_call(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* a = static_cast<AdapterObj*>(u);
    const char* path = nullptr;
    if (sd_bus_message_read(m, "o", &path) < 0 || !a->impl->device(path))
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    a->impl->remove_device(sd_bus_message_get_bus(m), path);
    return sd_bus_reply_method_return(m, nullptr);
}

int Impl::connect(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* d = static_cast<DeviceObj*>(u);
    Impl* impl = d->impl;
    {
        std::lock_guard lock(impl->obs_mu);
        ++impl->connects;
    }
    if (!impl->adapter || !impl->adapter->powered)
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.NotReady", "Resource Not Ready");
    if (d->connected) return sd_bus_reply_method_errorf(m, "org.bluez.Error.AlreadyConnected", "Already Connected");
    if (d->connecting) return sd_bus_reply_method_errorf(m, "org.bluez.Error.InProgress", "In Progress");
    d->connecting = true;
    const std::uint64_t id = impl->defer(m, d->path, Pending::Connect);
    const std::uint64_t gen = d->gen = ++impl->next_gen;
    const std::string path = d->path;
    const std::uint64_t address = d->address;
    std::shared_ptr<Gate> gate = impl->gate;
    // The kernel cancels an attempt that has not completed by its timeout.
    const auto gives_up = std::chrono::steady_clock::now() + impl->opt.connect_timeout;
    impl->timers.at(gives_up, [gate, path, address, gen, id] {
        from_sim(gate, [path, address, gen, id](Impl& i, sd_bus* bus) {
            auto w = i.awaiting.find(address);
            if (w == i.awaiting.end() || w->second.gen != gen) return;
            i.awaiting.erase(w);
            ConnectResult lost;
            lost.error = kAborted;
            i.connect_done(bus, path, gen, id, lost);
        });
    });
    // The controller hears advertisements while it waits, whether anyone discovers or not.
    (void)impl->ensure_watcher();
    impl->dial(path, address, gen, id, gives_up);
    return 1;
}

void Impl::dial(const std::string& path, std::uint64_t address, std::uint64_t gen, std::uint64_t id,
                std::chrono::steady_clock::time_point gives_up) {
    std::shared_ptr<ble::Adapter> adapter_sim = sim;
    std::shared_ptr<Gate> g = gate;
    worker.push([=] {
        ConnectResult r;
        auto dev = adapter_sim->device_from_address(address);
        if (!dev) {
            from_sim(g, [path, address, gen, id, gives_up](Impl& i, sd_bus* bus) {
                i.await_device(bus, address, Awaiting{path, gen, id, gives_up});
            });
            return;
        }
        auto all = (*dev)->all_services();
        if (!all || all->status != GattStatus::Success) {
            r.error = "GATT service discovery failed";
        } else {
            r.device = *dev;
            for (const auto& s : all->services) {
                ConnectResult::Svc svc{s->uuid().text(), {}};
                // The sim radio looks characteristics up by UUID only; the phone's
                // service has these two.
                for (std::string_view cu : {kWriteCharUuid, kNotifyCharUuid}) {
                    auto found = s->characteristics_for_uuid(*ble::Uuid::parse(cu));
                    if (found && found->status == GattStatus::Success && !found->characteristics.empty())
                        svc.chars.emplace_back(std::string(cu), found->characteristics.front());
                }
                r.services.push_back(std::move(svc));
            }
        }
        from_sim(g, [path, gen, id, r = std::move(r)](Impl& i, sd_bus* bus) { i.connect_done(bus, path, gen, id, r); });
    });
}

void Impl::await_device(sd_bus* bus, std::uint64_t address, const Awaiting& a) {
    const DeviceObj* d = device(a.path);
    if (!d || d->gen != a.gen || !d->connecting) return;  // cancelled meanwhile
    // The attempt's time ran out while the radio was being tried.
    if (std::chrono::steady_clock::now() >= a.gives_up) {
        ConnectResult lost;
        lost.error = kAborted;
        return connect_done(bus, a.path, a.gen, a.id, lost);
    }
    awaiting[address] = a;
}

Status Impl::ensure_watcher() {
    if (watcher) return {};
    auto w = sim->create_watcher();
    if (!w) return fail(w.error());
    std::shared_ptr<Gate> g = gate;
    (void)(*w)->on_received([g](const ble::Advertisement& adv) {
        from_sim(g, [adv](Impl& i, sd_bus* bus) { i.on_advert(bus, adv); });
    });
    if (auto s = (*w)->start(); !s) return s;
    watcher = std::move(*w);
    return {};
}

int Impl::disconnect(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* d = static_cast<DeviceObj*>(u);
    if (!d->connected && !d->connecting) return sd_bus_reply_method_errorf(m, kNotConnected, "Not Connected");
    d->impl->teardown_link(sd_bus_message_get_bus(m), *d);
    return sd_bus_reply_method_return(m, nullptr);
}

int Impl::start_notify(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* c = static_cast<CharObj*>(u);
    Impl* impl = c->impl;
    if (std::find(c->flags.begin(), c->flags.end(), "notify") == c->flags.end())
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.NotSupported", "Operation is not supported");
    const char* from = sd_bus_message_get_sender(m);
    const std::string sender = from ? from : "";
    // A client's own session: done once the phone is subscribed on this link.
    if (c->sessions.count(sender))
        return c->subscribed ? sd_bus_reply_method_return(m, nullptr)
                             : sd_bus_reply_method_errorf(m, "org.bluez.Error.InProgress", "In Progress");
    if (impl->fail_notify > 0) {
        --impl->fail_notify;
        return sd_bus_reply_method_errorf(m, kFailed, "Notify failed");
    }
    c->sessions.insert(sender);
    DeviceObj* d = impl->device(c->device);
    // Without a link the session waits for one; already subscribed, it simply joins.
    if (!d || !d->connected || c->subscribed) return sd_bus_reply_method_return(m, nullptr);
    c->waiting.emplace_back(impl->defer(m, d->path, Pending::Notify), sender);
    impl->subscribe(*c, *d);
    return 1;
}

int Impl::stop_notify(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* c = static_cast<CharObj*>(u);
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || c->sessions.erase(sender) == 0)
        return sd_bus_reply_method_errorf(m, kFailed, "No notify session started");
    if (c->sessions.empty()) c->impl->unsubscribe(sd_bus_message_get_bus(m), *c);
    return sd_bus_reply_method_return(m, nullptr);
}

int Impl::read_value(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* c = static_cast<CharObj*>(u);
    sd_bus_message* r = nullptr;
    int rc = sd_bus_message_new_method_return(m, &r);
    if (rc >= 0) rc = sd_bus_message_append_array(r, 'y', c->value.data(), c->value.size());
    if (rc >= 0) rc = sd_bus_send(nullptr, r, nullptr);
    if (r) sd_bus_message_unref(r);
    return rc;
}

int Impl::write_value(sd_bus_message* m, void* u, sd_bus_error*) {
    auto* c = static_cast<CharObj*>(u);
    Impl* impl = c->impl;
    const void* data = nullptr;
    std::size_t n = 0;
    PropMap options;
    if (sd_bus_message_read_array(m, 'y', &data, &n) < 0 || read_props(m, options) < 0)
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidArguments", "Invalid arguments");
    {
        const std::string* type = prop_string(options, "type");
        std::lock_guard lock(impl->obs_mu);
        impl->write_types.push_back(type ? *type : "");
    }
    DeviceObj* d = impl->device(c->device);
    if (!d || !d->connected) return sd_bus_reply_method_errorf(m, kFailed, "Not connected");
    if (std::find(c->flags.begin(), c->flags.end(), "write") == c->flags.end())
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.NotPermitted", "Write not permitted");
    if (n == 0 || n > 512)
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.InvalidValueLength", "Invalid Length");
    if (impl->stall) {
        impl->defer(m, d->path);  // answered only when the link goes
        return 1;
    }
    if (impl->fail_writes > 0) {
        --impl->fail_writes;
        return sd_bus_reply_method_errorf(m, kFailed, kAttError);
    }
    const std::uint64_t id = impl->defer(m, d->path);
    const std::uint64_t gen = d->gen;
    const std::string dev_path = d->path;
    Bytes value(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + n);
    auto sim_char = c->sim;
    std::shared_ptr<Gate> gate = impl->gate;
    impl->worker.push([=] {
        enum { Ok, Refused, Denied, Lost } outcome = Lost;
        auto op = sim_char->write_value(value);
        if (op) {
            const auto until = std::chrono::steady_clock::now() + 10s;
            while ((*op)->status() == ble::AsyncStatus::Started && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(1ms);
            if ((*op)->status() == ble::AsyncStatus::Completed) {
                auto st = (*op)->results();
                outcome = st && *st == GattStatus::Success ? Ok : st && *st == GattStatus::AccessDenied ? Denied : Refused;
            }
        }
        from_sim(gate, [dev_path, gen, id, outcome](Impl& i, sd_bus* bus) {
            Impl* impl2 = &i;
            switch (outcome) {
                case Ok: return impl2->reply(id);
                case Denied: return impl2->reply(id, "org.bluez.Error.NotAuthorized", "Operation Not Authorized");
                case Refused: return impl2->reply(id, kFailed, kAttError);
                case Lost: {
                    // The phone is gone: the request ends without an ATT answer, then the link goes.
                    impl2->reply(id, kFailed, "Operation failed");
                    DeviceObj* dev = impl2->device(dev_path);
                    if (dev && dev->gen == gen) impl2->teardown_link(bus, *dev);
                    return;
                }
            }
        });
    });
    return 1;
}

// --- the public face ---

StandIn::StandIn(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Result<std::unique_ptr<StandIn>> StandIn::start(StandInOptions options) {
    auto impl = std::make_unique<Impl>(std::move(options));
    impl->gate->impl = impl.get();
    impl->sim = sim::make_sim_adapter(impl->opt.radio);
    impl->adapter_wanted = impl->opt.adapter;
    impl->powered_wanted = impl->opt.powered;
    if (auto s = impl->bring_up(); !s) return fail(s.error());
    return std::unique_ptr<StandIn>(new StandIn(std::move(impl)));
}

StandIn::~StandIn() {
    impl_->take_down();
    {
        std::lock_guard lock(impl_->gate->mu);
        impl_->gate->impl = nullptr;
    }
    impl_->watcher.reset();
}

void StandIn::remove_adapter() {
    impl_->run([this](sd_bus* bus) {
        impl_->adapter_wanted = false;
        impl_->remove_adapter_obj(bus);
    });
}

void StandIn::add_adapter() {
    impl_->run([this](sd_bus* bus) {
        impl_->adapter_wanted = true;
        impl_->powered_wanted = true;
        impl_->add_adapter_obj(bus, true);
    });
}

void StandIn::set_powered(bool powered) {
    impl_->run([this, powered](sd_bus* bus) {
        impl_->powered_wanted = powered;
        AdapterObj* a = impl_->adapter.get();
        if (!a || a->powered == powered) return;
        if (!powered) {
            for (auto& [p, d] : impl_->devices) impl_->teardown_link(bus, *d);
            if (a->discovering) {
                a->discovering = false;
                Impl::emit(bus, a->path, kAdapterIface, "Discovering");
            }
        }
        a->powered = powered;
        Impl::emit(bus, a->path, kAdapterIface, "Powered");
        impl_->note_discovery();
    });
}

void StandIn::stop_daemon() { impl_->take_down(); }
Status StandIn::start_daemon() { return impl_->bring_up(); }

void StandIn::remove_device_during_discovery(unsigned times) {
    impl_->run([this, times](sd_bus*) { impl_->remove_during_discovery = times; });
}
void StandIn::fail_start_notify(unsigned times) {
    impl_->run([this, times](sd_bus*) { impl_->fail_notify = times; });
}
void StandIn::stall_writes(bool on) {
    impl_->run([this, on](sd_bus*) { impl_->stall = on; });
}
void StandIn::fail_writes(unsigned times) {
    impl_->run([this, times](sd_bus*) { impl_->fail_writes = times; });
}
void StandIn::drop_link(std::uint64_t address, Bytes late_value) {
    impl_->run([this, address, late_value = std::move(late_value)](sd_bus* bus) {
        if (DeviceObj* d = impl_->device(device_path(kAdapterPath, address))) impl_->teardown_link(bus, *d, late_value);
    });
}

void StandIn::set_rssi(std::uint64_t address, std::int16_t dbm) {
    impl_->run([this, address, dbm](sd_bus*) { impl_->rssi_heard[address] = dbm; });
}

bool StandIn::discovering() const {
    std::lock_guard lock(impl_->obs_mu);
    return impl_->discovering_seen;
}
std::vector<std::string> StandIn::discovery_filter_uuids() const {
    std::lock_guard lock(impl_->obs_mu);
    return impl_->filter_seen;
}
std::optional<std::int16_t> StandIn::discovery_filter_rssi() const {
    std::lock_guard lock(impl_->obs_mu);
    return impl_->filter_rssi_seen;
}
unsigned StandIn::rssi_reports(std::uint64_t address) const {
    std::lock_guard lock(impl_->obs_mu);
    auto it = impl_->rssi_reports.find(address);
    return it == impl_->rssi_reports.end() ? 0 : it->second;
}
bool StandIn::connected(std::uint64_t address) const {
    std::lock_guard lock(impl_->obs_mu);
    auto it = impl_->connected_seen.find(address);
    return it != impl_->connected_seen.end() && it->second;
}
std::vector<std::string> StandIn::write_types() const {
    std::lock_guard lock(impl_->obs_mu);
    return impl_->write_types;
}
unsigned StandIn::connect_calls() const {
    std::lock_guard lock(impl_->obs_mu);
    return impl_->connects;
}

}  // namespace dovan::bluez
