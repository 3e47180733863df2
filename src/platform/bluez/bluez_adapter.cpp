#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "common/text.h"
#include "platform/bluez/bluez.h"
#include "platform/bluez/bus_loop.h"
#include "platform/bluez/names.h"
#include "platform/bluez/props.h"

namespace dovan::bluez {
namespace {

using ble::GattStatus;
using ble::Uuid;
using Clock = std::chrono::steady_clock;

constexpr const char* kBluez = "org.bluez";
constexpr const char* kDBus = "org.freedesktop.DBus";
constexpr const char* kAdapterIface = "org.bluez.Adapter1";
constexpr const char* kDeviceIface = "org.bluez.Device1";
constexpr const char* kServiceIface = "org.bluez.GattService1";
constexpr const char* kCharIface = "org.bluez.GattCharacteristic1";
constexpr std::size_t kMaxValue = 512;
constexpr std::int16_t kReportEveryRssi = -127;  // the lowest threshold bluetoothd accepts

std::uint64_t usec(std::chrono::milliseconds ms) { return static_cast<std::uint64_t>(ms.count()) * 1000u; }

bool has_prefix(const std::string& path, const std::string& parent) {
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 && path[parent.size()] == '/';
}

bool is_bluez_error(const CallError& e) { return e.name.rfind("org.bluez.Error.", 0) == 0; }

// What BlueZ's error names mean in the platform's status vocabulary. Failures of the call
// itself (no reply, the daemon gone) are not statuses; callers treat them as errors.
GattStatus status_for_error(const CallError& e) {
    const std::string n = e.name.substr(std::min(e.name.size(), std::strlen("org.bluez.Error.")));
    if (n == "NotConnected") return GattStatus::Unreachable;
    if (n == "NotAuthorized" || n == "NotAuthenticated") return GattStatus::AccessDenied;
    if (n == "NotPermitted" || n == "NotSupported" || n == "InvalidValueLength" || n == "InvalidOffset" ||
        n == "InvalidArguments")
        return GattStatus::ProtocolError;
    // "Operation failed with ATT error: 0x.." is the peer's answer; other failures are the link's.
    if (n == "Failed") return e.message.find("ATT error") != std::string::npos ? GattStatus::ProtocolError
                                                                               : GattStatus::Unreachable;
    return GattStatus::Unknown;
}

using Appender = std::function<int(sd_bus_message*)>;
using ReplyFn = std::function<void(sd_bus_message* reply, const CallError* error)>;

struct CallContext {
    ReplyFn done;
};

int on_reply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* ctx = static_cast<CallContext*>(userdata);
    if (!ctx->done) return 0;
    ReplyFn done = std::move(ctx->done);
    ctx->done = nullptr;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        const CallError e = call_error(sd_bus_message_get_error(m), EIO);
        done(nullptr, &e);
    } else {
        done(m, nullptr);
    }
    return 0;
}

void drop_context(void* userdata) {
    auto* ctx = static_cast<CallContext*>(userdata);
    // A call the bus dropped unanswered still gets its answer.
    if (ctx->done) {
        const CallError e{"org.freedesktop.DBus.Error.Disconnected", "connection closed"};
        ctx->done(nullptr, &e);
    }
    delete ctx;
}

// On the bus thread. `done` runs exactly once, with the reply or the error.
void call_async_to(sd_bus* bus, const char* destination, const std::string& path, const char* iface,
                   const char* member, const Appender& append, ReplyFn done, std::chrono::milliseconds timeout) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, destination, path.c_str(), iface, member);
    if (r >= 0 && append) r = append(m);
    sd_bus_slot* slot = nullptr;
    auto* ctx = new CallContext{std::move(done)};
    if (r >= 0) r = sd_bus_call_async(bus, &slot, m, on_reply, ctx, usec(timeout));
    if (m) sd_bus_message_unref(m);
    if (r < 0) {
        const CallError e = call_error(nullptr, r);
        ReplyFn d = std::move(ctx->done);
        delete ctx;
        d(nullptr, &e);
        return;
    }
    sd_bus_slot_set_destroy_callback(slot, drop_context);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

void call_async(sd_bus* bus, const std::string& path, const char* iface, const char* member,
                const Appender& append, ReplyFn done, std::chrono::milliseconds timeout) {
    call_async_to(bus, kBluez, path, iface, member, append, std::move(done), timeout);
}

struct Outcome {
    bool answered = false;
    bool ok = false;
    CallError error;
};

struct ValueReg {
    std::string char_path;
    std::string device_path;
    ble::ValueHandler handler;
};

// The mirror of BlueZ's object tree and everything the bus thread shares with callers.
class Hub {
public:
    Hub(std::unique_ptr<BusLoop> loop, BluezOptions options) : loop_(std::move(loop)), opt_(std::move(options)) {}
    ~Hub() { loop_->stop(); }

    const BluezOptions& options() const { return opt_; }
    const std::string& adapter_path() const { return adapter_; }

    // Before start(): the bus for the opening queries, then what they found.
    sd_bus* opening_bus() const { return loop_->bus(); }
    void seed(std::string adapter, std::string owner, std::map<std::string, IfaceMap> objects) {
        adapter_ = std::move(adapter);
        owner_ = std::move(owner);
        objects_ = std::move(objects);
    }
    Status add_matches();
    void start() {
        loop_->on_lost([this] { bus_lost(); });
        loop_->every(opt_.presence_interval, [this](sd_bus*) { report_held(); });
        loop_->start();
    }

    // A method call from a caller thread, waited for at most `timeout` (plus a margin for
    // the bus thread to hand the answer over).
    Outcome call(const std::string& path, const char* iface, const char* member, const Appender& append,
                 std::chrono::milliseconds timeout) {
        struct Slot {
            std::mutex mu;
            std::condition_variable cv;
            Outcome out;
        };
        auto slot = std::make_shared<Slot>();
        loop_->post([=](sd_bus* bus) {
            call_async(bus, path, iface, member, append,
                       [slot](sd_bus_message*, const CallError* e) {
                           std::lock_guard lock(slot->mu);
                           slot->out.answered = true;
                           slot->out.ok = e == nullptr;
                           if (e) slot->out.error = *e;
                           slot->cv.notify_all();
                       },
                       timeout);
        });
        std::unique_lock lock(slot->mu);
        if (!slot->cv.wait_for(lock, timeout + std::chrono::seconds(1), [&] { return slot->out.answered; }))
            return Outcome{true, false, {"org.freedesktop.DBus.Error.NoReply", "no answer in time"}};
        return slot->out;
    }

    void post(BusLoop::Task t) { loop_->post(std::move(t)); }

    // Mirror access for callers.
    template <class F>
    auto with_mirror(F&& f) {
        std::lock_guard lock(mu_);
        return f(owner_, objects_, epoch_);
    }
    // Waits until `done` (under the mirror's lock) holds or the deadline passes.
    template <class F>
    bool wait_mirror(Clock::time_point deadline, F&& done) {
        std::unique_lock lock(mu_);
        return cv_.wait_until(lock, deadline, [&] { return done(owner_, objects_, epoch_); });
    }

    void set_advert_handler(ble::AdvertisementHandler h) {
        std::lock_guard lock(mu_);
        adv_handler_ = std::move(h);
    }
    // Starts discovery now and again whenever bluetoothd or the adapter comes back.
    Outcome start_discovery();
    void stop_discovery();

    std::uint64_t add_value_handler(std::string char_path, std::string device_path, ble::ValueHandler h) {
        std::lock_guard lock(mu_);
        regs_[++next_token_] = ValueReg{std::move(char_path), std::move(device_path), std::move(h)};
        return next_token_;
    }
    bool remove_value_handler(std::uint64_t token) {
        std::lock_guard lock(mu_);
        return regs_.erase(token) > 0;
    }

    // Who hears that a device's connection went; `token` 0 makes a new watch. An empty
    // handler ends the watch. Returns the watch's token (0 when ended).
    std::uint64_t watch_link(std::uint64_t token, const std::string& device, ble::LinkStateHandler h) {
        {
            std::lock_guard lock(mu_);
            if (!h) {
                links_.erase(token);
                return 0;
            }
            if (token == 0) token = ++next_token_;
            auto& w = links_[token];
            if (w.handler == nullptr) w = LinkWatch{device, {}, epoch_, false};
            w.handler = std::move(h);
            w.reported = false;  // a new listener hears of a loss already gone by
        }
        // A connection already gone is reported at once.
        report_lost_links();
        return token;
    }
    // Tells each watch whose connection went since the last look, once.
    void report_lost_links();

private:
    static int on_owner_changed(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int on_ifaces_added(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int on_ifaces_removed(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int on_props_changed(sd_bus_message* m, void* userdata, sd_bus_error*);

    bool from_owner_locked(sd_bus_message* m) const {
        const char* s = sd_bus_message_get_sender(m);
        return s && !owner_.empty() && owner_ == s;
    }
    void discovery_on_bus(std::function<void(const CallError*)> done);
    void ask_owner();
    void adopt_owner(const std::string& owner);
    void refetch_objects();
    void bus_lost();
    void report_held();
    std::optional<ble::Advertisement> advert_locked(const std::string& path) const;
    void deliver(const std::vector<ble::Advertisement>& adverts);

    std::unique_ptr<BusLoop> loop_;
    BluezOptions opt_;
    std::string adapter_;

    std::mutex mu_;
    std::condition_variable cv_;
    std::string owner_;
    std::uint64_t epoch_ = 0;
    std::map<std::string, IfaceMap> objects_;
    bool want_discovery_ = false;
    ble::AdvertisementHandler adv_handler_;
    std::map<std::uint64_t, ValueReg> regs_;
    std::uint64_t next_token_ = 0;
    struct LinkWatch {
        std::string device;
        ble::LinkStateHandler handler;
        std::uint64_t epoch = 0;  // the bluetoothd that made the connection
        bool reported = false;
    };
    std::map<std::uint64_t, LinkWatch> links_;
    std::map<std::string, Clock::time_point> held_;  // device path → last seen linked
};

Status Hub::add_matches() {
    struct Rule {
        const char* text;
        sd_bus_message_handler_t handler;
    };
    // These rules only choose what the bus sends us: a client can address any signal to our
    // connection directly, so every handler checks the sender itself.
    const Rule rules[] = {
        {"type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
         "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'",
         on_owner_changed},
        {"type='signal',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'", on_ifaces_added},
        {"type='signal',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
         on_ifaces_removed},
        {"type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
         "path_namespace='/org/bluez'",
         on_props_changed},
    };
    for (const auto& rule : rules) {
        int r = sd_bus_add_match(loop_->bus(), nullptr, rule.text, rule.handler, this);
        if (r < 0) return fail_text(std::string("AddMatch: ") + errno_text(-r));
    }
    return {};
}

int Hub::on_owner_changed(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* hub = static_cast<Hub*>(userdata);
    // Only the bus itself knows who owns a name.
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || std::strcmp(sender, kDBus) != 0) return 0;
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 || !name || std::strcmp(name, kBluez) != 0)
        return 0;
    bool dropped = false;
    {
        std::lock_guard lock(hub->mu_);
        // Whoever we trusted no longer owns the name: trust nobody until the bus says who does.
        if (!hub->owner_.empty() && (!new_owner || hub->owner_ != new_owner)) {
            hub->owner_.clear();
            ++hub->epoch_;
            // A restarted bluetoothd knows nothing of the old objects, connections or discovery.
            hub->objects_.clear();
            dropped = true;
        }
    }
    if (dropped) {
        hub->cv_.notify_all();
        hub->report_lost_links();
    }
    hub->ask_owner();
    return 0;
}

// A new bluetoothd is taken from the bus's answer, never from a signal's text.
void Hub::ask_owner() {
    loop_->post([this](sd_bus* bus) {
        const Appender name = [](sd_bus_message* m) { return sd_bus_message_append_basic(m, 's', kBluez); };
        call_async_to(bus, kDBus, "/org/freedesktop/DBus", kDBus, "GetNameOwner", name,
                      [this](sd_bus_message* reply, const CallError* e) {
                          const char* owner = nullptr;
                          if (!e && reply && sd_bus_message_read_basic(reply, 's', &owner) >= 0 && owner)
                              adopt_owner(owner);
                          else if (e && e->name == "org.freedesktop.DBus.Error.NameHasNoOwner")
                              adopt_owner("");
                          // Otherwise the bus did not answer: keep what we have, a unique name
                          // is never reused, so nobody else can speak as the one we trust.
                      },
                      opt_.call_timeout);
    });
}

void Hub::adopt_owner(const std::string& owner) {
    {
        std::lock_guard lock(mu_);
        if (owner == owner_) return;
        owner_ = owner;
        ++epoch_;
        objects_.clear();
    }
    cv_.notify_all();
    report_lost_links();
    if (!owner.empty()) refetch_objects();
}

void Hub::refetch_objects() {
    loop_->post([this](sd_bus* bus) {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus, &m, kBluez, "/", "org.freedesktop.DBus.ObjectManager",
                                               "GetManagedObjects");
        if (r < 0) return;
        sd_bus_slot* slot = nullptr;
        auto* ctx = new CallContext{[this](sd_bus_message* reply, const CallError* e) {
            if (e || !reply) return;
            std::map<std::string, IfaceMap> objects;
            int r2 = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
            while (r2 >= 0 && (r2 = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
                const char* path = nullptr;
                IfaceMap ifaces;
                if (sd_bus_message_read_basic(reply, 'o', &path) < 0 || read_ifaces(reply, ifaces) < 0) return;
                objects[path] = std::move(ifaces);
                sd_bus_message_exit_container(reply);
            }
            if (r2 < 0) return;
            bool discover = false;
            {
                std::lock_guard lock(mu_);
                for (auto& [p, i] : objects) objects_[p] = std::move(i);
                discover = want_discovery_;
            }
            cv_.notify_all();
            if (discover) discovery_on_bus(nullptr);
        }};
        r = sd_bus_call_async(bus, &slot, m, on_reply, ctx, usec(opt_.call_timeout));
        sd_bus_message_unref(m);
        if (r < 0) {
            delete ctx;
            return;
        }
        sd_bus_slot_set_destroy_callback(slot, drop_context);
        sd_bus_slot_set_floating(slot, 1);
        sd_bus_slot_unref(slot);
    });
}

void Hub::bus_lost() {
    {
        std::lock_guard lock(mu_);
        owner_.clear();
        objects_.clear();
        ++epoch_;
    }
    cv_.notify_all();
    report_lost_links();
}

void Hub::report_lost_links() {
    std::vector<std::pair<ble::LinkStateHandler, std::string>> lost;
    {
        std::lock_guard lock(mu_);
        for (auto& [token, w] : links_) {
            if (w.reported) continue;
            std::string why;
            auto dev = objects_.find(w.device);
            const bool adapter_there = objects_.count(adapter_) && objects_.at(adapter_).count(kAdapterIface);
            if (owner_.empty()) {
                why = "bluetoothd 已退出";
            } else if (w.epoch != epoch_) {
                why = "bluetoothd 已重启";
            } else if (!adapter_there) {
                why = "蓝牙适配器已移除";
            } else if (dev == objects_.end() || !dev->second.count(kDeviceIface)) {
                why = "BlueZ 已移除该设备";
            } else if (!prop_bool(dev->second.at(kDeviceIface), "Connected")) {
                why = "BlueZ 报告连接已断开";
            } else {
                continue;
            }
            w.reported = true;
            lost.emplace_back(w.handler, std::move(why));
        }
    }
    for (auto& [h, why] : lost) h(ble::LinkStateEvent{false, why});
}

std::optional<ble::Advertisement> Hub::advert_locked(const std::string& path) const {
    auto obj = objects_.find(path);
    if (obj == objects_.end()) return std::nullopt;
    auto dev = obj->second.find(kDeviceIface);
    if (dev == obj->second.end()) return std::nullopt;
    const PropMap& p = dev->second;
    ble::Advertisement adv;
    const std::string* addr = prop_string(p, "Address");
    if (!addr || !parse_colon_address(*addr, adv.address)) return std::nullopt;
    // D-Bus strings are UTF-8 by contract; the name is still the peer's text.
    if (const std::string* name = prop_string(p, "Name")) adv.local_name = utf8_lossy(*name);
    if (const auto* uuids = prop_strings(p, "UUIDs")) {
        for (const auto& u : *uuids)
            if (auto parsed = Uuid::parse(u)) adv.service_uuids.push_back(*parsed);
    }
    return adv;
}

// A linked phone may stop advertising, and one lying still gives bluetoothd nothing new to
// report: devices it holds a link to, or held one lately, are sightings of their own.
void Hub::report_held() {
    std::vector<ble::Advertisement> adverts;
    {
        std::lock_guard lock(mu_);
        if (!want_discovery_) {
            held_.clear();
            return;
        }
        const auto now = Clock::now();
        for (const auto& [p, ifaces] : objects_) {
            auto d = ifaces.find(kDeviceIface);
            if (d != ifaces.end() && has_prefix(p, adapter_) &&
                (prop_bool(d->second, "Connected") || prop_bool(d->second, "ServicesResolved")))
                held_[p] = now;
        }
        for (auto it = held_.begin(); it != held_.end();) {
            auto adv = now - it->second <= opt_.presence_grace ? advert_locked(it->first) : std::nullopt;
            if (!adv) {
                it = held_.erase(it);
                continue;
            }
            // The discovery filter's UUIDs hold here too: a linked headset is no phone.
            const auto& want = opt_.discovery_uuids;
            if (want.empty() || std::any_of(adv->service_uuids.begin(), adv->service_uuids.end(), [&](const Uuid& u) {
                    return std::find(want.begin(), want.end(), u) != want.end();
                }))
                adverts.push_back(std::move(*adv));
            ++it;
        }
    }
    deliver(adverts);
}

void Hub::deliver(const std::vector<ble::Advertisement>& adverts) {
    if (adverts.empty()) return;
    ble::AdvertisementHandler h;
    {
        std::lock_guard lock(mu_);
        h = adv_handler_;
    }
    if (h)
        for (const auto& a : adverts) h(a);
}

int Hub::on_ifaces_added(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* hub = static_cast<Hub*>(userdata);
    const char* path = nullptr;
    IfaceMap ifaces;
    if (sd_bus_message_read_basic(m, 'o', &path) < 0 || !path || read_ifaces(m, ifaces) < 0) return 0;
    std::vector<ble::Advertisement> adverts;
    bool adapter_back = false;
    {
        std::lock_guard lock(hub->mu_);
        if (!hub->from_owner_locked(m)) return 0;
        auto& obj = hub->objects_[path];
        for (auto& [iface, props] : ifaces) {
            auto& mine = obj[iface];
            for (auto& [k, v] : props) mine[k] = std::move(v);
        }
        const std::string p = path;
        if (ifaces.count(kAdapterIface) && p == hub->adapter_) adapter_back = hub->want_discovery_;
        if (hub->want_discovery_ && ifaces.count(kDeviceIface) && has_prefix(p, hub->adapter_) &&
            obj[kDeviceIface].count("RSSI")) {
            if (auto adv = hub->advert_locked(p)) adverts.push_back(std::move(*adv));
        }
    }
    hub->cv_.notify_all();
    if (adapter_back) hub->discovery_on_bus(nullptr);
    hub->deliver(adverts);
    return 0;
}

int Hub::on_ifaces_removed(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* hub = static_cast<Hub*>(userdata);
    const char* path = nullptr;
    char** names = nullptr;
    if (sd_bus_message_read_basic(m, 'o', &path) < 0 || !path || sd_bus_message_read_strv(m, &names) < 0) return 0;
    std::vector<std::string> removed;
    for (char** n = names; n && *n; ++n) {
        removed.emplace_back(*n);
        free(*n);
    }
    free(names);
    {
        std::lock_guard lock(hub->mu_);
        if (!hub->from_owner_locked(m)) return 0;
        const std::string p = path;
        auto obj = hub->objects_.find(p);
        if (obj != hub->objects_.end()) {
            for (const auto& n : removed) obj->second.erase(n);
            if (obj->second.empty()) hub->objects_.erase(obj);
        }
        // An adapter or device that goes takes everything below it along.
        if (std::find(removed.begin(), removed.end(), kAdapterIface) != removed.end() ||
            std::find(removed.begin(), removed.end(), kDeviceIface) != removed.end()) {
            for (auto it = hub->objects_.begin(); it != hub->objects_.end();)
                it = has_prefix(it->first, p) ? hub->objects_.erase(it) : std::next(it);
        }
    }
    hub->cv_.notify_all();
    hub->report_lost_links();
    return 0;
}

int Hub::on_props_changed(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* hub = static_cast<Hub*>(userdata);
    const char* iface_c = nullptr;
    PropMap changed;
    if (sd_bus_message_read_basic(m, 's', &iface_c) < 0 || !iface_c || read_props(m, changed) < 0) return 0;
    char** invalidated = nullptr;
    (void)sd_bus_message_read_strv(m, &invalidated);
    std::vector<std::string> gone;
    for (char** n = invalidated; n && *n; ++n) {
        gone.emplace_back(*n);
        free(*n);
    }
    free(invalidated);
    const char* path_c = sd_bus_message_get_path(m);
    if (!path_c) return 0;
    const std::string path = path_c;
    const std::string iface = iface_c;

    std::vector<ble::Advertisement> adverts;
    std::vector<ble::ValueHandler> targets;
    Bytes value;
    bool adapter_powered_on = false;
    {
        std::lock_guard lock(hub->mu_);
        if (!hub->from_owner_locked(m)) return 0;
        auto obj = hub->objects_.find(path);
        if (obj == hub->objects_.end()) return 0;
        auto& props = obj->second[iface];
        for (auto& [k, v] : changed) props[k] = v;
        for (const auto& k : gone) props.erase(k);

        if (iface == kDeviceIface && hub->want_discovery_ && has_prefix(path, hub->adapter_)) {
            // Each advertisement BlueZ receives shows up as a change of what it carried.
            for (const char* k : {"RSSI", "ManufacturerData", "ServiceData", "TxPower"}) {
                if (changed.count(k)) {
                    if (auto adv = hub->advert_locked(path)) adverts.push_back(std::move(*adv));
                    break;
                }
            }
        } else if (iface == kAdapterIface && path == hub->adapter_) {
            adapter_powered_on = hub->want_discovery_ && prop_bool(changed, "Powered", false);
        } else if (iface == kCharIface) {
            if (const Bytes* v = prop_bytes(changed, "Value")) {
                value = *v;
                for (const auto& [token, reg] : hub->regs_) {
                    if (reg.char_path != path) continue;
                    // A value that arrives after the link dropped belongs to no connection.
                    auto dev = hub->objects_.find(reg.device_path);
                    if (dev == hub->objects_.end()) continue;
                    auto d = dev->second.find(kDeviceIface);
                    if (d == dev->second.end() || !prop_bool(d->second, "Connected")) continue;
                    targets.push_back(reg.handler);
                }
            }
        }
    }
    hub->cv_.notify_all();
    if (adapter_powered_on) hub->discovery_on_bus(nullptr);
    hub->deliver(adverts);
    if (!value.empty() && value.size() <= kMaxValue)
        for (auto& h : targets) h(value);
    // After the values: what the phone sent before the link went comes first.
    if (iface == kDeviceIface || iface == kAdapterIface) hub->report_lost_links();
    return 0;
}

void Hub::discovery_on_bus(std::function<void(const CallError*)> done) {
    loop_->post([this, done = std::move(done)](sd_bus* bus) {
        std::vector<std::string> uuids;
        for (const auto& u : opt_.discovery_uuids) uuids.push_back(u.text());
        Appender filter = [uuids](sd_bus_message* m) {
            int r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
            if (r >= 0 && !uuids.empty()) {
                r = sd_bus_message_open_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
                if (r >= 0) r = sd_bus_message_append_basic(m, 's', "UUIDs");
                if (r >= 0) r = sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, "as");
                if (r >= 0) r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "s");
                for (const auto& u : uuids)
                    if (r >= 0) r = sd_bus_message_append_basic(m, 's', u.c_str());
                for (int i = 0; i < 3 && r >= 0; ++i) r = sd_bus_message_close_container(m);
            }
            if (r >= 0) r = sd_bus_message_append(m, "{sv}", "Transport", "s", "le");
            // Any RSSI threshold makes bluetoothd report every advertisement's RSSI; without
            // one it reports only moves of 8 dBm, and a phone lying still drops out of the list.
            if (r >= 0) r = sd_bus_message_append(m, "{sv}", "RSSI", "n", kReportEveryRssi);
            // Every advertisement, not only the first: the scan list ages devices out.
            if (r >= 0) r = sd_bus_message_append(m, "{sv}", "DuplicateData", "b", 1);
            if (r >= 0) r = sd_bus_message_close_container(m);
            return r;
        };
        const auto timeout = opt_.call_timeout;
        call_async(bus, adapter_, kAdapterIface, "SetDiscoveryFilter", filter,
                   [this, done, timeout](sd_bus_message*, const CallError* filter_error) {
                       CallError kept = filter_error ? *filter_error : CallError{};
                       const bool filter_failed = filter_error != nullptr;
                       loop_->post([this, done, timeout, kept, filter_failed](sd_bus* bus2) {
                           call_async(bus2, adapter_, kAdapterIface, "StartDiscovery", nullptr,
                                      [done, kept, filter_failed](sd_bus_message*, const CallError* e) {
                                          // Already discovering for us is what was asked for.
                                          const bool fine = !e || e->name == "org.bluez.Error.InProgress";
                                          if (!done) return;
                                          if (!fine) return done(e);
                                          done(filter_failed ? &kept : nullptr);
                                      },
                                      timeout);
                       });
                   },
                   timeout);
    });
}

Outcome Hub::start_discovery() {
    {
        std::lock_guard lock(mu_);
        want_discovery_ = true;
    }
    struct Slot {
        std::mutex mu;
        std::condition_variable cv;
        Outcome out;
    };
    auto slot = std::make_shared<Slot>();
    discovery_on_bus([slot](const CallError* e) {
        std::lock_guard lock(slot->mu);
        slot->out = Outcome{true, e == nullptr, e ? *e : CallError{}};
        slot->cv.notify_all();
    });
    std::unique_lock lock(slot->mu);
    if (!slot->cv.wait_for(lock, 2 * opt_.call_timeout + std::chrono::seconds(1), [&] { return slot->out.answered; }))
        return Outcome{true, false, {"org.freedesktop.DBus.Error.NoReply", "no answer in time"}};
    Outcome out = slot->out;
    lock.unlock();
    if (out.ok) {
        // Devices BlueZ saw in range before we asked are sightings too; cached ones without
        // a signal strength are not.
        std::vector<ble::Advertisement> adverts;
        with_mirror([&](const std::string&, const std::map<std::string, IfaceMap>& objects, std::uint64_t) {
            for (const auto& [p, ifaces] : objects) {
                auto d = ifaces.find(kDeviceIface);
                if (d != ifaces.end() && has_prefix(p, adapter_) && d->second.count("RSSI"))
                    if (auto adv = advert_locked(p)) adverts.push_back(std::move(*adv));
            }
            return 0;
        });
        loop_->post([this, adverts](sd_bus*) { deliver(adverts); });
    }
    return out;
}

void Hub::stop_discovery() {
    {
        std::lock_guard lock(mu_);
        want_discovery_ = false;
        adv_handler_ = nullptr;
    }
    loop_->post([this](sd_bus* bus) {
        call_async(bus, adapter_, kAdapterIface, "StopDiscovery", nullptr, [](sd_bus_message*, const CallError*) {},
                   opt_.call_timeout);
    });
}

// --- the platform objects ---

struct WriteState {
    std::mutex mu;
    ble::AsyncStatus status = ble::AsyncStatus::Started;
    GattStatus result = GattStatus::Unknown;
};

class BluezWrite final : public ble::WriteOperation {
public:
    explicit BluezWrite(std::shared_ptr<WriteState> s) : s_(std::move(s)) {}
    ble::AsyncStatus status() const override {
        std::lock_guard lock(s_->mu);
        return s_->status;
    }
    Result<GattStatus> results() const override {
        std::lock_guard lock(s_->mu);
        if (s_->status != ble::AsyncStatus::Completed) return fail_text("写操作尚未完成");
        return s_->result;
    }

private:
    std::shared_ptr<WriteState> s_;
};

std::string device_of(const std::string& char_path) {
    const auto pos = char_path.find("/service");
    return pos == std::string::npos ? char_path : char_path.substr(0, pos);
}

class BluezCharacteristic final : public ble::Characteristic {
public:
    BluezCharacteristic(std::shared_ptr<Hub> hub, std::string path, Uuid uuid)
        : hub_(std::move(hub)), path_(std::move(path)), uuid_(uuid) {}
    Uuid uuid() const override { return uuid_; }

    Result<GattStatus> subscribe_notify() override {
        Outcome o = hub_->call(path_, kCharIface, "StartNotify", nullptr, hub_->options().call_timeout);
        if (o.ok) return GattStatus::Success;
        // Our session outlived the last link and bluetoothd is enabling it on this one: done
        // once it says Notifying.
        if (o.error.name == "org.bluez.Error.InProgress") return notifying_within(hub_->options().call_timeout);
        if (!is_bluez_error(o.error)) return fail_text("StartNotify 失败: " + o.error.text());
        return status_for_error(o.error);
    }
    Result<std::uint64_t> add_value_changed(ble::ValueHandler handler) override {
        return hub_->add_value_handler(path_, device_of(path_), std::move(handler));
    }
    Status remove_value_changed(std::uint64_t token) override {
        if (!hub_->remove_value_handler(token)) return fail_text("未找到通知处理器");
        return {};
    }
    // GattCharacteristic1.MTU (BlueZ 5.62 on), as the mirror holds it: read with the
    // objects and kept up to date by PropertiesChanged. Older stacks have no such property.
    std::optional<std::uint16_t> mtu() const override {
        return hub_->with_mirror([&](const std::string&, const auto& objects, std::uint64_t) {
            std::optional<std::uint16_t> out;
            auto c = objects.find(path_);
            if (c == objects.end()) return out;
            auto ci = c->second.find(kCharIface);
            if (ci == c->second.end()) return out;
            const std::int64_t v = prop_int(ci->second, "MTU", -1);
            if (v > 0 && v <= 0xFFFF) out = static_cast<std::uint16_t>(v);
            return out;
        });
    }
    Result<std::shared_ptr<ble::WriteOperation>> write_value(ByteView value) override {
        if (value.empty() || value.size() > kMaxValue)
            return fail_text(format_text("写入值长度非法：{}B", value.size()));
        auto state = std::make_shared<WriteState>();
        Bytes bytes(value.begin(), value.end());
        const std::string path = path_;
        const auto timeout = hub_->options().write_timeout;
        hub_->post([state, bytes = std::move(bytes), path, timeout](sd_bus* bus) {
            Appender args = [&bytes](sd_bus_message* m) {
                int r = sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
                if (r >= 0) r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
                // Write with response: the phone's answer is the write's status.
                if (r >= 0) r = sd_bus_message_append(m, "{sv}", "type", "s", "request");
                if (r >= 0) r = sd_bus_message_close_container(m);
                return r;
            };
            call_async(bus, path, kCharIface, "WriteValue", args,
                       [state](sd_bus_message*, const CallError* e) {
                           std::lock_guard lock(state->mu);
                           if (!e) {
                               state->status = ble::AsyncStatus::Completed;
                               state->result = GattStatus::Success;
                           } else if (is_bluez_error(*e)) {
                               state->status = ble::AsyncStatus::Completed;
                               state->result = status_for_error(*e);
                           } else {
                               // No answer in time, or bluetoothd gone: the link may be dead.
                               state->status = ble::AsyncStatus::Error;
                           }
                       },
                       timeout);
        });
        return std::shared_ptr<ble::WriteOperation>(std::make_shared<BluezWrite>(state));
    }

private:
    GattStatus notifying_within(std::chrono::milliseconds limit) {
        const std::string device = device_of(path_);
        GattStatus status = GattStatus::Unreachable;
        hub_->wait_mirror(Clock::now() + limit, [&](const std::string&, const auto& objects, std::uint64_t) {
            auto d = objects.find(device);
            if (d == objects.end()) return true;
            auto di = d->second.find(kDeviceIface);
            if (di == d->second.end() || !prop_bool(di->second, "Connected")) return true;
            auto c = objects.find(path_);
            if (c == objects.end()) return true;
            auto ci = c->second.find(kCharIface);
            if (ci == c->second.end() || !prop_bool(ci->second, "Notifying")) return false;
            status = GattStatus::Success;
            return true;
        });
        return status;
    }

    std::shared_ptr<Hub> hub_;
    std::string path_;
    Uuid uuid_;
};

bool has_iface(const std::map<std::string, IfaceMap>& objects, const std::string& path, const char* iface) {
    auto o = objects.find(path);
    return o != objects.end() && o->second.count(iface) > 0;
}

// True when the object is still there and its device still connected. Objects carry the
// standard D-Bus interfaces too, so presence means presence of BlueZ's own.
bool live_locked(const std::map<std::string, IfaceMap>& objects, const std::string& path, const char* iface,
                 const std::string& device) {
    if (!has_iface(objects, path, iface)) return false;
    auto d = objects.find(device);
    if (d == objects.end()) return false;
    auto i = d->second.find(kDeviceIface);
    return i != d->second.end() && prop_bool(i->second, "Connected");
}

class BluezService final : public ble::Service {
public:
    BluezService(std::shared_ptr<Hub> hub, std::string path, std::string device, Uuid uuid)
        : hub_(std::move(hub)), path_(std::move(path)), device_(std::move(device)), uuid_(uuid) {}
    Uuid uuid() const override { return uuid_; }
    Result<ble::CharacteristicsResult> characteristics_for_uuid(const Uuid& uuid) override {
        ble::CharacteristicsResult out;
        std::vector<std::pair<std::string, Uuid>> found;
        const bool live = hub_->with_mirror([&](const std::string&, const auto& objects, std::uint64_t) {
            if (!live_locked(objects, path_, kServiceIface, device_)) return false;
            for (const auto& [p, ifaces] : objects) {
                if (!has_prefix(p, path_)) continue;
                auto c = ifaces.find(kCharIface);
                if (c == ifaces.end()) continue;
                const std::string* u = prop_string(c->second, "UUID");
                auto parsed = u ? Uuid::parse(*u) : Result<Uuid>(fail_text(""));
                if (parsed && *parsed == uuid) found.emplace_back(p, *parsed);
            }
            return true;
        });
        out.status = live ? GattStatus::Success : GattStatus::Unreachable;
        for (auto& [p, u] : found) out.characteristics.push_back(std::make_shared<BluezCharacteristic>(hub_, p, u));
        return out;
    }

private:
    std::shared_ptr<Hub> hub_;
    std::string path_;
    std::string device_;
    Uuid uuid_;
};

class BluezDevice final : public ble::Device {
public:
    BluezDevice(std::shared_ptr<Hub> hub, std::string path, std::uint64_t address)
        : hub_(std::move(hub)), path_(std::move(path)), address_(address) {}
    ~BluezDevice() override {
        if (watch_ != 0) hub_->watch_link(watch_, path_, nullptr);
        // Dropping the device ends the connection, as closing it does on other stacks.
        const std::string path = path_;
        const auto timeout = hub_->options().call_timeout;
        hub_->post([path, timeout](sd_bus* bus) {
            call_async(bus, path, kDeviceIface, "Disconnect", nullptr, [](sd_bus_message*, const CallError*) {},
                       timeout);
        });
    }
    std::uint64_t address() const override { return address_; }
    Result<ble::ServicesResult> services_for_uuid(const Uuid& uuid) override { return services(&uuid); }
    Result<ble::ServicesResult> all_services() override { return services(nullptr); }
    // BlueZ says so with Device1.Connected, the device object's removal, or bluetoothd or
    // the adapter going.
    Status on_link_state(ble::LinkStateHandler handler) override {
        watch_ = hub_->watch_link(watch_, path_, std::move(handler));
        return {};
    }

private:
    Result<ble::ServicesResult> services(const Uuid* filter) {
        ble::ServicesResult out;
        std::vector<std::pair<std::string, Uuid>> found;
        const bool live = hub_->with_mirror([&](const std::string&, const auto& objects, std::uint64_t) {
            if (!live_locked(objects, path_, kDeviceIface, path_)) return false;
            for (const auto& [p, ifaces] : objects) {
                if (!has_prefix(p, path_)) continue;
                auto s = ifaces.find(kServiceIface);
                if (s == ifaces.end()) continue;
                const std::string* u = prop_string(s->second, "UUID");
                auto parsed = u ? Uuid::parse(*u) : Result<Uuid>(fail_text(""));
                if (parsed && (!filter || *parsed == *filter)) found.emplace_back(p, *parsed);
            }
            return true;
        });
        out.status = live ? GattStatus::Success : GattStatus::Unreachable;
        for (auto& [p, u] : found) out.services.push_back(std::make_shared<BluezService>(hub_, p, path_, u));
        return out;
    }

    std::shared_ptr<Hub> hub_;
    std::string path_;
    std::uint64_t address_;
    std::uint64_t watch_ = 0;
};

class BluezWatcher final : public ble::Watcher {
public:
    explicit BluezWatcher(std::shared_ptr<Hub> hub) : hub_(std::move(hub)) {}
    ~BluezWatcher() override {
        if (started_) hub_->stop_discovery();
    }
    // BlueZ scans actively whenever it is discovering.
    Status set_active_scanning() override { return {}; }
    Status on_received(ble::AdvertisementHandler handler) override {
        hub_->set_advert_handler(std::move(handler));
        return {};
    }
    Status start() override {
        started_ = true;
        Outcome o = hub_->start_discovery();
        if (!o.ok) return fail_text("StartDiscovery 失败: " + o.error.text());
        return {};
    }

private:
    std::shared_ptr<Hub> hub_;
    bool started_ = false;
};

class BluezAdapter final : public ble::Adapter {
public:
    explicit BluezAdapter(std::shared_ptr<Hub> hub) : hub_(std::move(hub)) {}
    Result<std::unique_ptr<ble::Watcher>> create_watcher() override {
        return std::unique_ptr<ble::Watcher>(std::make_unique<BluezWatcher>(hub_));
    }
    Result<std::shared_ptr<ble::Device>> device_from_address(std::uint64_t address) override;

private:
    std::shared_ptr<Hub> hub_;
};

Result<std::shared_ptr<ble::Device>> BluezAdapter::device_from_address(std::uint64_t address) {
    const std::string path = device_path(hub_->adapter_path(), address);
    std::uint64_t epoch = 0;
    std::string missing;
    hub_->with_mirror([&](const std::string& owner, const auto& objects, std::uint64_t e) {
        epoch = e;
        if (owner.empty()) missing = "bluetoothd 未运行";
        else if (!has_iface(objects, hub_->adapter_path(), kAdapterIface)) missing = "蓝牙适配器已移除";
        else if (!has_iface(objects, path, kDeviceIface)) missing = "BlueZ 中没有该设备: " + path;
        return 0;
    });
    if (!missing.empty()) return fail_text(missing);

    const auto deadline = Clock::now() + hub_->options().connect_timeout;
    Outcome o = hub_->call(path, kDeviceIface, "Connect", nullptr, hub_->options().connect_timeout);
    if (!o.ok && o.error.name != "org.bluez.Error.AlreadyConnected" && o.error.name != "org.bluez.Error.InProgress")
        return fail_text("连接失败: " + o.error.text());

    // Services are usable once BlueZ says they are resolved; the device can vanish, drop
    // the link or bluetoothd can restart meanwhile.
    enum class Why { Resolved, Gone, Dropped, Restarted } why = Why::Resolved;
    bool seen_connected = false;
    const bool settled = hub_->wait_mirror(deadline, [&](const std::string&, const auto& objects, std::uint64_t e) {
        if (e != epoch) return why = Why::Restarted, true;
        auto d = objects.find(path);
        if (d == objects.end() || !d->second.count(kDeviceIface)) return why = Why::Gone, true;
        const PropMap& p = d->second.at(kDeviceIface);
        const bool connected = prop_bool(p, "Connected");
        if (connected && prop_bool(p, "ServicesResolved")) return why = Why::Resolved, true;
        if (seen_connected && !connected) return why = Why::Dropped, true;
        seen_connected |= connected;
        return false;
    });
    auto device = std::make_shared<BluezDevice>(hub_, path, address);
    if (!settled) return fail_text("等待 BlueZ 解析服务超时");
    switch (why) {
        case Why::Resolved: return std::shared_ptr<ble::Device>(device);
        case Why::Gone: return fail_text("服务发现期间设备对象被移除");
        case Why::Dropped: return fail_text("服务发现期间连接断开");
        case Why::Restarted: return fail_text("bluetoothd 已重启");
    }
    return fail_text("未知错误");
}

// Synchronous calls before the bus thread runs.
Result<std::string> name_owner(sd_bus* bus, std::chrono::milliseconds timeout) {
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error err = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(bus, &m, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "GetNameOwner");
    if (r >= 0) r = sd_bus_message_append(m, "s", kBluez);
    if (r >= 0) r = sd_bus_call(bus, m, usec(timeout), &err, &reply);
    std::string owner;
    const char* name = nullptr;
    if (r >= 0 && sd_bus_message_read(reply, "s", &name) >= 0 && name) owner = name;
    const CallError e = call_error(&err, r);
    sd_bus_error_free(&err);
    if (m) sd_bus_message_unref(m);
    if (reply) sd_bus_message_unref(reply);
    if (r < 0) return fail_text(e.text());
    return owner;
}

Result<std::map<std::string, IfaceMap>> managed_objects(sd_bus* bus, std::chrono::milliseconds timeout) {
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error err = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(bus, &m, kBluez, "/", "org.freedesktop.DBus.ObjectManager",
                                           "GetManagedObjects");
    if (r >= 0) r = sd_bus_call(bus, m, usec(timeout), &err, &reply);
    const CallError e = call_error(&err, r);
    sd_bus_error_free(&err);
    if (m) sd_bus_message_unref(m);
    if (r < 0) return fail_text(e.text());
    std::map<std::string, IfaceMap> objects;
    r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        IfaceMap ifaces;
        if ((r = sd_bus_message_read_basic(reply, 'o', &path)) < 0) break;
        if ((r = read_ifaces(reply, ifaces)) < 0) break;
        objects[path] = std::move(ifaces);
        r = sd_bus_message_exit_container(reply);
    }
    sd_bus_message_unref(reply);
    if (r < 0) return fail_text(std::string("GetManagedObjects 应答无法解析: ") + errno_text(-r));
    return objects;
}

}  // namespace

BluezOpen open_bluez_adapter(const BluezOptions& options) {
    BluezOpen out;
    auto loop = BusLoop::open(options.bus_address);
    if (!loop) {
        out.error = "bluetoothd not running (D-Bus: " + loop.error().display() + ")";
        return out;
    }
    auto hub = std::make_shared<Hub>(std::move(*loop), options);
    // Matches first: whatever changes while we look is queued, not missed.
    if (auto s = hub->add_matches(); !s) {
        out.error = "bluetoothd not running (" + s.error().display() + ")";
        return out;
    }
    sd_bus* bus = hub->opening_bus();
    auto owner = name_owner(bus, options.call_timeout);
    if (!owner || owner->empty()) {
        out.error = "bluetoothd not running";
        return out;
    }
    auto objects = managed_objects(bus, options.call_timeout);
    if (!objects) {
        out.error = "bluetoothd not running (" + objects.error().display() + ")";
        return out;
    }
    std::string adapter, unpowered;
    for (const auto& [path, ifaces] : *objects) {
        auto a = ifaces.find(kAdapterIface);
        if (a == ifaces.end()) continue;
        if (prop_bool(a->second, "Powered")) {
            adapter = path;
            break;
        }
        if (unpowered.empty()) unpowered = path;
    }
    if (adapter.empty()) {
        out.error = unpowered.empty() ? "no Bluetooth adapter" : "adapter powered off";
        return out;
    }
    hub->seed(adapter, std::move(*owner), std::move(*objects));
    hub->start();
    out.adapter = std::make_shared<BluezAdapter>(std::move(hub));
    out.adapter_path = adapter;
    return out;
}

}  // namespace dovan::bluez
