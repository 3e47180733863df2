// A PC engine and a phone engine, paired and with their TCP channel bound once per process
// and restored from that snapshot for every input, sealing
// arbitrary business payloads for each other by type: raw, or inside a well-formed
// envelope so that every message decoder and the file bookkeeping are reached. Between
// messages the fuzzer may move the transfer lock, unbind or bind again, or leave the user's
// clipboard, media and reply requests. The PC's events then go through the phone feature
// modules, as the core hands them over. Nothing a peer sends may crash either engine or a
// module, trip an invariant, or grow what the UI state keeps beyond its bounds.
#include <filesystem>
#include <memory>

#include <cstddef>
#include <cstdint>

#include "crypto/identity.h"
#include "platform/clock.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "session/engine.h"
#include "features/clipboard.h"
#include "features/config_sync.h"
#include "features/device_status.h"
#include "features/features.h"
#include "features/media.h"
#include "features/notifications.h"

#include "engine_pair.h"

namespace {

using namespace dovan;

EngineConfig config(std::uint8_t role) { return fuzz::paired_config(role, 517); }

void move_all(Engine& from, Engine& to, Instant now) {
    while (auto next_ = from.next_ble_fragment()) {
        Bytes v = std::move(*next_);
        to.take_ble_value(v, now);
    }
    while (auto next_ = from.next_tcp_frame()) {
        Bytes f = std::move(*next_);
        to.handle_frame(f, Transport::Tcp);
    }
}

void pump(Engine& a, Engine& b, Instant now) {
    for (int round = 0; round < 64; ++round) {
        if (a.ble_out().empty() && b.ble_out().empty() && a.tcp_out().empty() && b.tcp_out().empty())
            return;
        move_all(a, b, now);
        move_all(b, a, now);
    }
}

void bind(Engine& pc, Engine& phone, Instant now) {
    pc.start_bind_server();
    phone.start_bind_client();
    pump(pc, phone, now);
}

class Host final : public FeatureHost {
public:
    Host(Clock& clock, Engine& pc) : clock_(clock), pc_(pc) {}
    Clock& clock() override { return clock_; }
    Engine* engine() override { return &pc_; }
    SharedUi& ui() override { return ui_; }
    LoadedModules modules() const override { return LoadedModules{0xFF}; }
    void push_notice(std::string_view text) override { ui_.lock()->add_notice(text); }
    void request_repaint() override {}
    void save_settings() override {}  // nothing on disk: the mirror is what is checked
    const std::filesystem::path& data_dir() const override { return dir_; }
    Clipboard* clipboard() override { return &clipboard_; }

private:
    Clock& clock_;
    Engine& pc_;
    SharedUi ui_;
    std::filesystem::path dir_;
    ProcessClipboard clipboard_;
};

// The file and album slots belong to modules that reach the disk; here they take nothing.
class Inert final : public Feature {
public:
    std::string_view name() const override { return "inert"; }
    bool on_event(const AppEvent&) override { return false; }
};

Features phone_features(Host& host) {
    Features::Modules m;
    m.notifications = std::make_unique<Notifications>(host);
    m.clipboard = std::make_unique<ClipboardSync>(host);
    m.media = std::make_unique<Media>(host);
    m.device_status = std::make_unique<DeviceStatus>(host);
    m.config_sync = std::make_unique<ConfigSync>(host);
    m.file_send = std::make_unique<Inert>();
    m.file_receive = std::make_unique<Inert>();
    m.album = std::make_unique<Inert>();
    return Features(std::move(m));
}

void hand_over(Engine& pc, Features& features) {
    for (const AppEvent& e : pc.take_events()) {
        if (e.kind == AppEventKind::TcpBound) features.on_link({LinkChange::Kind::TcpBound, {}});
        features.on_event(e);
    }
}

struct Pair {
    std::unique_ptr<Engine> pc;
    std::unique_ptr<Engine> phone;
};

// The handshake costs two RSA signatures and X25519; every input starts from its end.
const Pair& bound_pair() {
    static const Pair* const pair = [] {
        FakeClock clock;
        auto* p = new Pair{std::make_unique<Engine>(config(0)), std::make_unique<Engine>(config(1))};
        p->pc->open_with_hello(clock.now());
        pump(*p->pc, *p->phone, clock.now());
        bind(*p->pc, *p->phone, clock.now());
        invariant(p->pc->tcp_bound() && p->phone->tcp_bound(), "fuzz pair binds");
        return p;
    }();
    return *pair;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FakeClock clock;
    const auto pc_owned = bound_pair().pc->snapshot();
    const auto phone_owned = bound_pair().phone->snapshot();
    Engine& pc = *pc_owned;
    Engine& phone = *phone_owned;
    Host host(clock, pc);
    Features features = phone_features(host);
    features.on_link({LinkChange::Kind::EngineCreated, {}});

    // Each record: op, type, two length bytes, payload.
    std::size_t pos = 0;
    while (pos + 4 <= size) {
        const std::uint8_t op = data[pos];
        const std::uint8_t type = data[pos + 1];
        const std::size_t len = std::min<std::size_t>((data[pos + 2] << 8) | data[pos + 3], size - pos - 4);
        const ByteView payload(data + pos + 4, len);
        pos += 4 + len;

        Engine& from = (op & 1) ? pc : phone;
        switch ((op >> 1) & 7) {
            case 0:  // raw plaintext on BLE
                from.send_encrypted_ble(type, payload);
                break;
            case 1:  // raw plaintext on TCP
                from.send_encrypted_tcp(type, payload);
                break;
            case 2:
            case 3:  // a well-formed envelope around an arbitrary body, routed
                from.send_business(type, payload, len, (op & 0x10) != 0);
                break;
            case 4:  // the file being sent, as a cancel or resume would name it
                from.set_transfer_lock({static_cast<LockChannel>(type % 3), static_cast<std::uint64_t>(len % 4)});
                break;
            case 5:
                from.send_file_resume(type % 4, static_cast<std::uint32_t>(len), 0);
                break;
            case 6:
                from.unbind("fuzz");
                break;
            default:
                if (!pc.tcp_bound() || !phone.tcp_bound()) bind(pc, phone, clock.now());
                break;
        }
        if (op & 0x20) {
            // What the user may ask meanwhile, with the payload as the text.
            const std::string text(reinterpret_cast<const char*>(payload.data()), payload.size());
            {
                auto g = host.ui().lock();
                if (!g->notifications.empty()) g->reply_target = g->notifications[type % g->notifications.size()].reply_target();
                g->reply_box = text;
                g->submit_reply(clock.now());
                g->requests.send_clipboard = text;
                g->requests.media = MediaCommandRequest{type, static_cast<std::int32_t>(len), -1};
            }
            UiRequests requests = host.ui().lock()->take_requests();
            features.session_requests(requests);
        }
        pump(pc, phone, clock.now());
        hand_over(pc, features);
        phone.take_events();
        clock.advance(std::chrono::milliseconds(type) * 64);
        features.step(TurnStep::SessionStartup, clock.now());
        features.step(TurnStep::ReplyExpiry, clock.now());
        {
            auto g = host.ui().lock();
            invariant(g->notifications.size() <= kMaxNotifications, "twenty notifications at most");
            invariant(g->system_notifications.size() <= kMaxSystemNotifications, "four toasts at most");
            for (const auto& n : g->notifications)
                invariant(n.title.size() <= kNotificationTitleLimit && utf8_valid(n.title) && utf8_valid(n.text),
                          "stored notification texts are bounded UTF-8");
        }
        (void)pc.take_chunks();
        (void)phone.take_chunks();
    }
    return 0;
}
