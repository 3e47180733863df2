#include "ble/link.h"

#include <algorithm>
#include <utility>

#include "platform/debug_log.h"

namespace dovan::ble {

void InboundQueue::push(Bytes value) {
    std::lock_guard lock(mu_);
    values_.push_back(std::move(value));
}

std::deque<Bytes> InboundQueue::take_all() {
    std::lock_guard lock(mu_);
    return std::exchange(values_, {});
}

void InboundQueue::clear() {
    std::lock_guard lock(mu_);
    values_.clear();
}

void LossSlot::note(std::uint64_t connection, std::string reason) {
    std::lock_guard lock(mu_);
    // A late word about an earlier connection must not hide one about a later one.
    if (lost_ && lost_->first > connection) return;
    lost_.emplace(connection, std::move(reason));
}

std::optional<std::string> LossSlot::take(std::uint64_t connection) {
    std::lock_guard lock(mu_);
    if (!lost_) return std::nullopt;
    auto [which, reason] = std::move(*lost_);
    lost_.reset();
    if (which != connection) return std::nullopt;
    return std::move(reason);
}

bool is_dovan_advertisement(const Advertisement& adv) {
    if (adv.local_name == "Dovan") return true;
    auto service = Uuid::parse(kServiceUuid);
    if (!service) return false;
    return std::find(adv.service_uuids.begin(), adv.service_uuids.end(), *service) !=
           adv.service_uuids.end();
}

Link::Link(Clock& clock, LinkHost& host, LinkState& state) : clock_(clock), host_(host), st_(state) {}

Link::~Link() {
    teardown();
    // The watcher's thread calls the host; it must stop before the host goes.
    watcher_.reset();
}

Status Link::start(std::shared_ptr<Adapter> adapter) {
    adapter_ = std::move(adapter);
    if (!adapter_) return fail_text("没有蓝牙适配器");
    auto watcher = adapter_->create_watcher();
    if (!watcher) return fail_text(watcher.error().display());
    if (auto s = (*watcher)->set_active_scanning(); !s) return fail_text(s.error().display());
    watcher_ = std::move(*watcher);

    // The callback runs on the platform's thread: it only records the sighting.
    std::weak_ptr<ScanList> weak_scan = scan_;
    Clock* clock = &clock_;
    LinkHost* host = &host_;
    auto on_adv = [weak_scan, clock, host](const Advertisement& adv) {
        if (!is_dovan_advertisement(adv)) return;
        auto scan = weak_scan.lock();
        if (!scan) return;
        if (scan->note(adv.address, adv.local_name, clock->now())) host->scan_list_changed();
    };
    Status scanning = watcher_->on_received(on_adv);
    if (scanning) scanning = watcher_->start();
    if (!scanning) host_.push_notice(format_text("BLE 扫描启动失败: {}", scanning.error().display()));
    return {};
}

Result<Link::Attached> Link::attempt(std::uint64_t address) {
    auto device = adapter_->device_from_address(address);
    if (!device || !*device) {
        return fail_text(format_text("取设备句柄失败: {}",
                                     device ? std::string("无设备对象") : device.error().display()));
    }
    auto service_uuid = Uuid::parse(kServiceUuid);
    if (!service_uuid) return fail_text(format_text("服务 UUID 非法: {}", service_uuid.error().display()));

    std::shared_ptr<Service> service;
    auto targeted = (*device)->services_for_uuid(*service_uuid);
    if (!targeted) return fail_text(format_text("服务发现失败: {}", targeted.error().display()));
    if (targeted->status == GattStatus::Success && !targeted->services.empty()) {
        service = targeted->services.front();
        if (!service) return fail_text("服务句柄读取失败: 空对象");
    } else {
        // A phone may answer the targeted query empty and still list the service in full.
        auto all = (*device)->all_services();
        if (!all) return fail_text(format_text("服务枚举失败: {}", all.error().display()));
        if (all->status == GattStatus::Success) {
            for (const auto& s : all->services) {
                if (s && s->uuid() == *service_uuid) {
                    service = s;
                    break;
                }
            }
            if (!service) {
                return fail_text(format_text(
                    "对端未提供 Dovan 服务（已枚举 {} 个服务；请确认手机端 Dovan 已启动且蓝牙已开启）",
                    all->services.size()));
            }
        } else if (targeted->status != GattStatus::Success) {
            return fail_text(format_text("对端不可达/服务发现失败（按 UUID 查询: {}，全量枚举: {}）",
                                         gatt_status_name(targeted->status),
                                         gatt_status_name(all->status)));
        } else {
            return fail_text(format_text("服务枚举失败: {}", gatt_status_name(all->status)));
        }
    }

    Attached out;
    out.device = *device;
    for (std::string_view text : {kWriteCharUuid, kNotifyCharUuid}) {
        auto uuid = Uuid::parse(text);
        if (!uuid) return fail_text(format_text("特征 UUID 非法: {}", uuid.error().display()));
        auto found = service->characteristics_for_uuid(*uuid);
        if (!found) return fail_text(format_text("取特征 {} 失败: {}", text, found.error().display()));
        if (found->status != GattStatus::Success) {
            return fail_text(format_text("取特征 {} 失败: {}", text, gatt_status_name(found->status)));
        }
        if (found->characteristics.empty()) {
            return fail_text(format_text("对端缺少特征 {}（GATT 服务不完整）", text));
        }
        if (!found->characteristics.front()) return fail_text("特征句柄读取失败: 空对象");
        (text == kWriteCharUuid ? out.write : out.notify) = found->characteristics.front();
    }
    return out;
}

void Link::connect(const ScannedDevice& target, bool by_itself) {
    if (st_.engine) {
        // What the old session still held must be settled while it can be asked.
        host_.engine_ending();
        st_.engine->transition(EngineEvent{EngineEventKind::UserDisconnect});
        st_.engine.reset();
    }
    retry_.reset();  // it belonged to the old session
    host_.before_connect();
    inbound_->clear();
    teardown();
    // A new key at the trusted phone's own address is the phone itself, reinstalled: that
    // one the user is asked about. A name match elsewhere is only a name.
    st_.dialed_by_itself = by_itself && st_.trusted_address != target.address;
    st_.ble_write_failures = 0;
    const Instant began = clock_.now();
    st_.last_heal = began;
    host_.connecting_to(target.address);
    if (!adapter_) return;

    std::string last_error = "未知错误";
    std::optional<Attached> attached;
    for (int n = 1; n <= kConnectAttempts; ++n) {
        auto a = attempt(target.address);
        if (a) {
            attached = std::move(*a);
            if (n > 1) console_line(format_text("[Dovan] BLE 连接在第 {} 次尝试成功", n));
            break;
        }
        last_error = a.error().display();
        if (n < kConnectAttempts) clock_.sleep_for(kConnectRetryPause);
    }
    if (!attached) {
        host_.push_notice(format_text("BLE 连接失败: {}（已重试 {} 次）", last_error, kConnectAttempts));
        host_.connect_failed();
        return;
    }
    device_ = attached->device;
    address_ = target.address;
    write_char_ = attached->write;
    notify_char_ = attached->notify;

    auto sub = notify_char_->subscribe_notify();
    if (!sub || *sub != GattStatus::Success) {
        host_.push_notice(format_text(
            "BLE 订阅失败: {}", sub ? std::string(gatt_status_name(*sub)) : sub.error().display()));
        return;
    }
    if (registration_) {
        if (auto s = registration_->characteristic->remove_value_changed(registration_->token); !s) {
            console_line(format_text("[Dovan] BLE 旧通知处理器摘除失败（旧闭包可能仍在灌数据）: {}",
                                     s.error().display()));
        }
        registration_.reset();
    }
    std::weak_ptr<InboundQueue> weak_queue = inbound_;
    LinkHost* host = &host_;
    auto token = notify_char_->add_value_changed([weak_queue, host](Bytes value) {
        if (auto q = weak_queue.lock()) {
            q->push(std::move(value));
            host->value_arrived();
        }
    });
    if (!token) {
        host_.push_notice(format_text("BLE 订阅失败: {}", token.error().display()));
        return;
    }
    registration_ = Registration{notify_char_, *token};

    // A loss is only recorded here; the core acts on it in its own turn.
    const std::uint64_t connection = ++connection_;
    std::weak_ptr<LossSlot> weak_loss = loss_;
    auto on_state = [weak_loss, host, connection](const LinkStateEvent& e) {
        if (e.connected) return;
        if (auto slot = weak_loss.lock()) {
            slot->note(connection, e.reason.empty() ? std::string("未知原因") : e.reason);
            host->link_state_changed();
        }
    };
    if (auto s = device_->on_link_state(on_state); !s) {
        // The heartbeat still finds a dead link, only later.
        console_line(format_text("[Dovan] BLE 连接状态无法订阅（断开要等心跳超时才发现）: {}", s.error().display()));
    }

    const Instant now = clock_.now();
    st_.lost_at.reset();
    st_.engine = std::make_unique<Engine>(host_.engine_config());
    follow_mtu();  // before HELLO, so the first write is already cut to the link's size
    st_.engine->open_with_hello(now);
    st_.last_rx = now;
    st_.heal_attempts = 0;
    st_.heal_target.reset();
}

void Link::teardown() {
    // A connection dropped on purpose is no news; a report already under way is stale by
    // its number.
    if (device_) (void)device_->on_link_state(nullptr);
    ++connection_;
    in_flight_.reset();
    if (registration_) {
        (void)registration_->characteristic->remove_value_changed(registration_->token);
        registration_.reset();
    }
    write_char_.reset();
    notify_char_.reset();
    device_.reset();
    address_.reset();
}

void Link::drain_inbound() {
    if (!st_.engine) return;
    for (Bytes& value : inbound_->take_all()) {
        const Instant now = clock_.now();
        st_.last_rx = now;
        st_.engine->take_ble_value(value, now);
        // A value may end the session (the engine is never dropped here, but stay safe).
        if (!st_.engine) return;
    }
    // Values that came before the loss are in; now the loss itself.
    if (auto reason = loss_->take(connection_)) lost(std::move(*reason));
}

void Link::lost(std::string reason) {
    if (debug_log_enabled()) {
        emit_event(LogLevel::Warn, "link", "ble.lost",
                   {{"addr", address_ ? address_text(*address_) : std::string()}, {"reason", reason}});
    }
    teardown();
    retry_.reset();  // it can never be written: a new connection is a new session
    st_.ble_write_failures = 0;
    st_.lost_at = clock_.now();
    if (!st_.engine) return;
    st_.engine->ble_link_lost(reason, clock_.now());
    host_.ble_lost(reason);
}

void Link::note_trusted() {
    st_.dialed_by_itself = false;
    if (!address_) return;
    st_.trusted_address = address_;
    std::erase(st_.strangers, *address_);
}

void Link::drop_stranger() {
    if (address_) {
        if (debug_log_enabled()) emit_event(LogLevel::Warn, "link", "autodial.stranger", {{"addr", address_text(*address_)}});
        console_line(format_text("[Dovan] 自动连接到的 {} 不是已信任的手机（身份不同），已断开，继续等待",
                                 address_text(*address_)));
        std::erase(st_.strangers, *address_);
        st_.strangers.push_back(*address_);
        if (st_.strangers.size() > kMaxStrangers) st_.strangers.erase(st_.strangers.begin());
    }
    if (st_.engine) {
        host_.engine_ending();
        st_.engine->transition(EngineEvent{EngineEventKind::UserDisconnect});
        st_.engine.reset();
    }
    retry_.reset();
    inbound_->clear();
    teardown();
    st_.dialed_by_itself = false;
    // Keep looking at once, for a phone seen from now on.
    st_.autodial_next.reset();
    st_.lost_at = clock_.now();
}

std::optional<ScannedDevice> Link::dial_target(const std::vector<std::string>& names) const {
    auto fresh = [this](const std::optional<ScannedDevice>& d) {
        if (!d || !st_.lost_at) return d.has_value();
        const auto seen = scan_->last_seen(d->address);
        return seen && *seen > *st_.lost_at;
    };
    if (st_.trusted_address) {
        if (auto known = scan_->find(*st_.trusted_address); fresh(known)) return known;
    }
    // The list runs in order of sighting, so a stale newest match means no fresh one.
    if (auto named = scan_->find_named(names, st_.strangers); fresh(named)) return named;
    return std::nullopt;
}

bool Link::session_lost(Instant now) const {
    if (!st_.engine) return true;
    switch (st_.engine->state()) {
        case EngineState::Reconnecting:
            return true;
        case EngineState::Paired:
            // Heartbeats tell a live session; a dead one times out into RECONNECTING.
            return !connected() && !host_.tcp_channel_bound();
        default:
            // A session still being set up is given the silence rule.
            return !connected() || now - st_.last_rx >= kAutodialSilence;
    }
}

void Link::write_failed(Bytes fragment, std::string text) {
    ++st_.ble_write_failures;
    in_flight_.reset();
    // The fragment is written again before any other: reassembly on the phone needs every
    // one, in order.
    if (st_.engine) retry_ = std::move(fragment);
    if (st_.last_ble_error != text) {
        host_.push_notice(format_text("BLE 发送失败: {}", text));
        st_.last_ble_error = std::move(text);
    }
}

void Link::follow_mtu() {
    if (!st_.engine || !write_char_) return;
    if (auto mtu = write_char_->mtu()) st_.engine->raise_ble_mtu(*mtu);
}

void Link::write_pass() {
    // An MTU exchanged again while connected counts for the frames queued from now on.
    follow_mtu();
    const Instant start = clock_.now();
    int started = 0;
    while (started < kWritesPerPass && clock_.now() - start < kWritePassBudget && st_.engine) {
        if (in_flight_) {
            switch (in_flight_->op->status()) {
                case AsyncStatus::Started:
                    // The loop's own budget check ends the pass; the write stays in flight.
                    clock_.sleep_for(kWritePoll);
                    continue;
                case AsyncStatus::Error:
                    return write_failed(std::move(in_flight_->fragment), "BLE 写出错（链路可能已断开）");
                case AsyncStatus::Canceled:
                    return write_failed(std::move(in_flight_->fragment), "BLE 写被取消");
                case AsyncStatus::Completed: {
                    auto result = in_flight_->op->results();
                    if (!result) {
                        return write_failed(std::move(in_flight_->fragment),
                                            format_text("BLE 取结果失败: {}", result.error().display()));
                    }
                    if (*result != GattStatus::Success) {
                        return write_failed(std::move(in_flight_->fragment),
                                            format_text("BLE 写未完成: {}", gatt_status_name(*result)));
                    }
                    st_.ble_write_failures = 0;
                    in_flight_.reset();
                    st_.engine->note_ble_fragment_written();
                    break;
                }
            }
        }
        std::optional<Bytes> next = retry_ ? std::exchange(retry_, std::nullopt) : st_.engine->next_ble_fragment();
        if (!next) return;
        Bytes fragment = std::move(*next);
        if (!write_char_) return write_failed(std::move(fragment), "BLE 未连接（无写特征）");
        auto op = write_char_->write_value(fragment);
        if (!op || !*op) {
            return write_failed(std::move(fragment), op ? std::string("写操作为空") : op.error().display());
        }
        in_flight_ = InFlight{std::move(fragment), std::move(*op)};
        ++started;
    }
}

void Link::heal_start() {
    const Instant now = clock_.now();
    if (!st_.engine || st_.heal_target || st_.ble_write_failures < kHealAfterFailures ||
        now - st_.last_rx < kHealSilence || now - st_.last_heal < kHealSpacing) {
        return;
    }
    // Over a bound TCP channel the phone is evidently alive; BLE writes alone are not
    // worth a reconnect.
    if (host_.tcp_channel_bound()) {
        st_.ble_write_failures = 0;
        return;
    }
    if (st_.heal_attempts >= kMaxHealAttempts) return;

    std::vector<std::string> names;
    auto add = [&names](std::string name) {
        if (names.size() < 3 && !name.empty() &&
            std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(std::move(name));
        }
    };
    if (address_) {
        if (auto seen = scan_->find(*address_)) add(seen->name);
    }
    add(host_.peer_name());
    const std::string fp = st_.engine->peer_fingerprint();
    if (!fp.empty()) {
        std::string stored;
        for (const auto& p : host_.stored_peer_names()) {
            if (p.fingerprint == fp) stored = p.name;
        }
        add(stored);
    }

    st_.last_heal = now;
    st_.ble_write_failures = 0;
    if (names.empty()) {
        st_.heal_attempts = kMaxHealAttempts;
        host_.push_notice(
            "蓝牙链路无响应，且不知道对端叫什么（无法自动重连）：请在「连接」页点一次设备");
        return;
    }
    ++st_.heal_attempts;
    teardown();
    if (st_.heal_attempts < kMaxHealAttempts) {
        host_.push_notice(format_text(
            "蓝牙链路无响应，正在等「{}」重新广播后重连（第 {} 次，期间文件传输会中断）", names.front(),
            st_.heal_attempts));
    } else {
        host_.push_notice(format_text(
            "蓝牙链路多次无响应，正在最后一次尝试等「{}」重新广播；还不行请确认手机开着 Dovan 并靠近电脑",
            names.front()));
    }
    st_.heal_target = HealTarget{std::move(names), now + kHealWait};
}

void Link::heal_wait() {
    if (!st_.heal_target) return;
    if (clock_.now() >= st_.heal_target->deadline) {
        const std::string first = st_.heal_target->names.front();
        st_.heal_target.reset();
        arm_autodial("heal-gave-up");
        host_.push_notice(format_text(
            "没等到「{}」重新广播：{}", first,
            st_.autodial_names
                ? "仍在后台等它出现，一出现就自动连（不想自动连可到设置页关掉「自动连接已绑定设备」）"
                : "请把手机上的 Dovan 切到前台，再在「连接」页点一次设备"));
        return;
    }
    if (auto device = dial_target(st_.heal_target->names)) {
        st_.heal_target.reset();
        connect(*device, true);
    }
}

void Link::autodial() {
    const Instant now = clock_.now();
    if (st_.heal_target || !st_.autodial_names) return;
    if (!session_lost(now)) return;
    if (st_.autodial_next && now < *st_.autodial_next) return;

    // While the user is deciding about a phone, dialling would tear that decision down.
    if (host_.user_deciding() || !host_.auto_connect_enabled()) {
        st_.autodial_names.reset();
        return;
    }
    auto device = dial_target(*st_.autodial_names);
    if (!device) return;
    st_.autodial_next = now + kAutodialSpacing;
    if (debug_log_enabled())
        emit_event(LogLevel::Info, "link", "autodial.dial", {{"addr", address_text(device->address)}});
    connect(*device, true);
    if (st_.engine) return;
    if (++st_.autodial_attempts >= kAutodialGiveUp) {
        st_.autodial_names.reset();
        host_.push_notice(
            "自动连接试了三次都没成功：请在「连接」页点一次设备，或到设置页关掉「自动连接已绑定设备」");
        return;
    }
    // The phone was not there after all (a sighting from just before it went, or one it
    // refused): the next try waits for it to be seen again, not for the 30 s spacing, so a
    // phone back a moment later is dialled at once.
    const Instant failed = clock_.now();
    st_.lost_at = failed;
    st_.autodial_next = failed + kAutodialRetryPause;
}

void Link::arm_autodial(std::string_view why) {
    std::vector<std::string> names;
    const bool enabled = host_.auto_connect_enabled();
    const std::vector<TrustedPeer> trusted = host_.trusted_peers();
    if (enabled && !trusted.empty()) {
        auto is_trusted = [&trusted](const std::string& fp) {
            return std::any_of(trusted.begin(), trusted.end(),
                               [&fp](const TrustedPeer& t) { return t.fingerprint == fp; });
        };
        auto add = [&names](const std::string& name) {
            if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        };
        for (const auto& stored : host_.stored_peer_names()) {
            if (is_trusted(stored.fingerprint)) add(stored.name);
        }
        for (const auto& t : trusted) add(t.name);
    }
    const bool changed = !st_.autodial_names || *st_.autodial_names != names;
    if (names.empty()) {
        st_.autodial_names.reset();
    } else {
        if (changed && debug_log_enabled()) {
            std::string joined;
            for (const auto& n : names) joined += (joined.empty() ? "" : ",") + n;
            emit_event(LogLevel::Info, "link", "autodial.arm", {{"names", joined}, {"why", std::string(why)}});
        }
        st_.autodial_names = std::move(names);
    }
    st_.autodial_attempts = 0;
    st_.autodial_next.reset();
}

}  // namespace dovan::ble
