#include "phone.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "store/stores.h"
#include "ble/sim_service.h"
#include "crypto/random.h"
#include "protocol/ble_frag.h"
#include "protocol/frame.h"
#include "feature_lines.h"

namespace dovan::phonesim {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kAddressFile = "address";
constexpr std::uint8_t kOpServices = 0x01;
constexpr mode_t kPrivate = 0600;
constexpr auto kTcpRetry = 1s;
// The companion app release this simulator plays.
constexpr std::string_view kPhoneAppVersion = "0.5.3";

ble::Uuid uuid_of(std::string_view text) {
    auto u = ble::Uuid::parse(text);
    invariant(u.ok(), "built-in UUID parses");
    return *u;
}

}  // namespace


void Phone::emit(const std::string& line) {
    if (sink_) sink_(line);
}

std::string Phone::fingerprint() const { return identity_ ? identity_->fingerprint() : std::string(); }

Status Phone::load_keys() {
    std::error_code ec;
    const fs::path dir = fs::absolute(opt_.data_dir, ec);
    if (ec) return fail_text(ec.message());
    // A reinstalled app: new keys, and no PC trusted any more.
    if (opt_.new_identity) {
        for (const char* file : {kIdentityBin, kDeviceIdentityBin, kTrustedPeersTsv}) fs::remove(dir / file, ec);
    }
    auto key = load_channel_key(dir);
    if (!key) return fail(key.error());
    auto id = load_device_identity(dir);
    if (!id) return fail(id.error());
    channel_key_ = std::move(*key);
    identity_ = std::move(*id);
    trusted_ = load_trusted_peers(dir);
    return {};
}

Status Phone::load_address() {
    if (opt_.address) {
        address_ = *opt_.address;
        return {};
    }
    const fs::path file = fs::path(opt_.data_dir) / kAddressFile;
    if (auto text = files::read_file(file, 4096); text.ok()) {
        std::string_view t(reinterpret_cast<const char*>(text->data()), text->size());
        if (ble::parse_address(trim_white(t), address_) && address_ != 0) return {};
    }
    std::uint8_t raw[6];
    if (!random_fill(raw)) return fail_text("random source unusable");
    address_ = 0;
    for (std::uint8_t b : raw) address_ = (address_ << 8) | b;
    address_ |= 0xC00000000000ULL;  // a static random address has its two top bits set
    const std::string text = ble::address_text(address_) + "\n";
    return files::write_file(file, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                                kPrivate, true);
}

void Phone::save_trusted() { save_trusted_peers(fs::absolute(opt_.data_dir), trusted_); }

EngineConfig Phone::engine_config() const {
    EngineConfig c;
    c.role = 1;
    c.os = 1;
    c.device_name = opt_.name;
    c.app_version = std::string(kPhoneAppVersion);
    c.identity = identity_;
    c.trusted = trusted_;
    c.ble_mtu = opt_.mtu;
    std::copy(channel_key_.begin(), channel_key_.end(), c.static_private_key.begin());
    return c;
}

std::unique_ptr<sim::SimPeripheral> Phone::make_radio() {
    sim::SimPeripheral::Options o;
    o.folder = opt_.radio;
    o.address = address_;
    o.name = opt_.name;
    if (auto u = ble::Uuid::parse(opt_.service_uuid); u.ok()) o.advertised_uuids.push_back(*u);
    o.services.push_back(ble::dovan_sim_service());
    auto radio = std::make_unique<sim::SimPeripheral>(std::move(o));

    radio->set_connection_handler([this](bool connected) {
        if (connected) {
            ++connects_;
            writes_ = 0;
            post(Connected{});
        } else {
            post(Disconnected{});
        }
    });
    radio->set_request_filter([this](std::uint8_t op) -> int {
        if (op == kOpServices && connects_.load() <= opt_.refuse_first_connects)
            return static_cast<int>(ble::GattStatus::AccessDenied);
        return -1;
    });
    radio->set_write_handler([this](const ble::Uuid&, Bytes value) -> std::uint8_t {
        const unsigned n = ++writes_total_;
        if (opt_.fail_every_nth_write != 0 && n % opt_.fail_every_nth_write == 0) return opt_.fail_status;
        const unsigned on_link = ++writes_;
        post(Value{std::move(value)});
        if (opt_.drop_after_writes != 0 && on_link == opt_.drop_after_writes) post(Drop{});
        return static_cast<std::uint8_t>(ble::GattStatus::Success);
    });
    return radio;
}

Status Phone::bring_up_radio() {
    auto radio = make_radio();
    if (auto s = radio->start(); !s) return s;
    radio->start_advertising(opt_.advertise_every);
    std::lock_guard lock(radio_mu_);
    radio_ = std::move(radio);
    return {};
}

Status Phone::start() {
    if (auto s = load_keys(); !s) return s;
    if (auto s = load_address(); !s) return s;
    emit("address " + ble::address_text(address_));
    emit("identity " + identity_->fingerprint());
    if (auto s = bring_up_radio(); !s) return s;
    {
        std::lock_guard lock(mu_);
        stop_ = false;
    }
    worker_ = std::thread([this] { run(); });
    return {};
}

void Phone::stop() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    std::unique_ptr<sim::SimPeripheral> radio;
    {
        std::lock_guard lock(radio_mu_);
        radio = std::move(radio_);
    }
    radio.reset();  // joins its threads, which may still be posting
    engine_.reset();
    tcp_close(nullptr);
}

void Phone::post(Input input) {
    {
        std::lock_guard lock(mu_);
        inbox_.push_back(std::move(input));
    }
    cv_.notify_one();
}

void Phone::send_message(std::uint8_t type, Bytes body) { post(Outbound{type, std::move(body)}); }

void Phone::set_reply_ack(ReplyAck mode, std::string error_text) {
    post(Setting{[mode, error_text = std::move(error_text)](PhoneOptions& o) {
        o.reply_ack = mode;
        o.reply_error = error_text;
    }});
}

void Phone::set_answer_media(bool answer) {
    post(Setting{[answer](PhoneOptions& o) { o.answer_media = answer; }});
}

void Phone::not_sent(std::uint8_t type, const char* why) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", type);
    emit(std::string("error -1 message ") + hex + " not sent: " + why);
}

void Phone::send_now(std::uint8_t type, const Bytes& body) {
    if (!engine_ || engine_->state() != EngineState::Paired) return not_sent(type, "not paired");
    if (!engine_->send_business(type, body, clock_.wall_ms(), false)) not_sent(type, "refused");
}

void Phone::send_demo() {
    send_now(NOTIFICATION_PUSH, demo_notification());
    send_now(DEVICE_STATUS, demo_battery(clock_.wall_ms()));
    send_now(MEDIA_STATE, demo_media());
}

void Phone::on_business(const AppEvent& event) {
    emit(received_line(event));
    if (const auto* r = event.as<MessageEvent<pb::NotificationReply>>()) {
        if (opt_.reply_ack == ReplyAck::Never) return;
        send_now(NOTIFICATION_REPLY_ACK, reply_ack(r->message, opt_.reply_ack == ReplyAck::Ok, opt_.reply_error));
    } else if (const auto* m = event.as<MessageEvent<pb::MediaCommand>>(); m && opt_.answer_media) {
        if (m->message.action() == 0) media_playing_ = !media_playing_;
        send_now(MEDIA_STATE, media_answer(m->message, media_playing_));
    }
}

void Phone::go_away(std::chrono::milliseconds duration) { post(Away{duration}); }

void Phone::set_silent(bool silent) {
    silent_ = silent;
    emit(silent ? "silent" : "talking");
}

bool Phone::send_raw(ByteView bytes) {
    std::lock_guard lock(radio_mu_);
    return radio_ && radio_->send_raw(bytes);
}

void Phone::disconnect() { post(Drop{}); }

bool Phone::connected() const {
    std::lock_guard lock(radio_mu_);
    return radio_ && radio_->connected();
}

void Phone::run() {
    std::unique_lock lock(mu_);
    while (!stop_) {
        if (tcp_fd_ >= 0) {
            // A live TCP channel: wait on the socket itself, not at all while sending.
            lock.unlock();
            pollfd p{tcp_fd_, POLLIN, 0};
            ::poll(&p, 1, sending() ? 0 : 20);
            lock.lock();
        } else {
            cv_.wait_for(lock, 100ms, [&] { return stop_ || !inbox_.empty(); });
        }
        if (stop_) break;
        std::deque<Input> batch;
        batch.swap(inbox_);
        lock.unlock();

        const Instant now = clock_.now();
        if (back_at_ && now >= *back_at_) {
            back_at_.reset();
            if (auto s = bring_up_radio(); s)
                emit("back");
            else
                emit("error -1 " + s.error().text);
        }
        for (auto& in : batch) handle(in, now);
        if (engine_ && !silent_ && now - last_tick_ >= 1s) {
            engine_->timer_step(now);
            last_tick_ = now;
        }
        if (paired_since_) {
            if (opt_.silent_after_paired && !silent_done_ && now - *paired_since_ >= *opt_.silent_after_paired) {
                silent_done_ = true;
                set_silent(true);
            }
            if (opt_.away_after_paired && !away_done_ && now - *paired_since_ >= *opt_.away_after_paired) {
                away_done_ = true;
                Input away = Away{opt_.away_for};
                handle(away, now);
            }
        }
        tcp_step(now);
        drain_engine(now);
        pump_send();
        hostile_step();
        drain_engine(now);
        lock.lock();
    }
}

void Phone::handle(Input& input, Instant now) {
    if (std::holds_alternative<Connected>(input)) {
        engine_ = std::make_unique<Engine>(engine_config());
        last_tick_ = now;
        paired_since_.reset();
        emit("connected");
    } else if (std::holds_alternative<Disconnected>(input)) {
        // What arrived before the central left is handed on; what waits can only be reported.
        drain_engine(now);
        if (engine_) emit("disconnected");
        engine_.reset();
        tcp_close("tcp closed");
        paired_since_.reset();
    } else if (auto* v = std::get_if<Value>(&input)) {
        if (engine_ && !silent_) engine_->take_ble_value(v->bytes, now);
    } else if (std::holds_alternative<Drop>(input)) {
        // Everything asked for before the drop goes first, as it would from a real phone's
        // queue; the link goes down after it.
        drain_engine(now);
        std::lock_guard lock(radio_mu_);
        if (radio_) radio_->disconnect();
        if (engine_) emit("disconnected");
        engine_.reset();
        tcp_close("tcp closed");
        paired_since_.reset();
    } else if (auto* f = std::get_if<SendFile>(&input)) {
        queue_outgoing(*f);
    } else if (std::holds_alternative<Continue>(input)) {
        resume_paused();
    } else if (auto* o = std::get_if<Outbound>(&input)) {
        send_now(o->type, o->body);
    } else if (auto* set = std::get_if<Setting>(&input)) {
        set->apply(opt_);
        emit("setting applied");
    } else if (auto* a = std::get_if<Away>(&input)) {
        drain_engine(now);
        std::unique_ptr<sim::SimPeripheral> radio;
        {
            std::lock_guard lock(radio_mu_);
            radio = std::move(radio_);
        }
        radio.reset();
        engine_.reset();
        tcp_close("tcp closed");
        paired_since_.reset();
        emit("away");
        std::lock_guard lock(mu_);
        back_at_ = now + a->duration;
    }
}

void Phone::drain_engine(Instant now) {
    if (!engine_) return;
    for (int round = 0; round < 4; ++round) {
        auto events = engine_->take_events();
        if (events.empty()) break;
        for (const auto& e : events) {
            if (auto* s = e.as<StateChangedEvent>()) {
                emit("state " + std::to_string(static_cast<int>(s->state)));
                if (s->state == EngineState::Paired) {
                    if (!paired_since_) paired_since_ = now;
                    // Over TCP the demo waits for the binding: by then the PC is paired too.
                    if (opt_.demo && !demo_done_ && !opt_.lan_port) {
                        demo_done_ = true;
                        send_demo();
                    }
                } else {
                    paired_since_.reset();
                }
            } else if (auto* h = e.as<PeerHelloEvent>()) {
                emit("hello " + h->name);
            } else if (auto* sas = e.as<SasReadyEvent>()) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(sas->sas % 1000000));
                emit(std::string("sas ") + buf);
                if (engine_->state() == EngineState::SasCompare) {
                    if (opt_.confirm_sas)
                        engine_->confirm_sas();
                    else
                        engine_->reject_pairing();
                }
            } else if (auto* t = e.as<PeerTrustedEvent>()) {
                trusted_ = engine_->trusted_peers();
                save_trusted();
                emit("paired " + t->fingerprint);
            } else if (auto* c = e.as<IdentityChangedEvent>()) {
                emit("identity-changed " + c->name + "\t" + c->old_fingerprint + "\t" + c->new_fingerprint);
            } else if (auto* err = e.as<EngineErrorEvent>()) {
                emit("error " + std::to_string(err->code) + " " + err->text);
            } else if (album_.on_event(e, now)) {
            } else if (e.kind == AppEventKind::TcpBound) {
                emit("tcp 1");
                if (opt_.demo && !demo_done_) {
                    demo_done_ = true;
                    send_demo();
                }
            } else if (e.kind == AppEventKind::TcpUnbound) {
                emit("tcp 0");
            } else if (is_business(e.kind)) {
                on_business(e);
            } else {
                file_event(e);
            }
        }
    }
    take_chunks();
    if (!silent_) album_.step(*engine_, now);
    std::vector<Bytes> out = engine_->take_ble_fragments();
    std::vector<Bytes> tcp = engine_->take_tcp_frames();
    if (silent_) return;
    const ble::Uuid notify_char = uuid_of(kNotifyCharUuid);
    std::lock_guard lock(radio_mu_);
    // A frame that did not leave whole is reported once, by the type its first fragment
    // names, so that a script can account for every message it asked for.
    std::optional<std::uint16_t> broken_group;
    std::uint8_t group_type = 0;
    for (const Bytes& v : out) {
        const std::uint16_t group = v.size() >= FRAG_HEADER_LEN ? static_cast<std::uint16_t>(v[0] << 8 | v[1]) : 0;
        const bool first = v.size() >= FRAG_HEADER_LEN + 4 && v[2] == 0 && v[3] == 0;
        if (first) group_type = v[FRAG_HEADER_LEN + 3];
        if (radio_ && radio_->notify(notify_char, v)) continue;
        if (broken_group == group) continue;
        broken_group = group;
        if (group_type != HEARTBEAT) not_sent(group_type, "link lost");
    }
    for (const Bytes& f : tcp) {
        if (tcp_fd_ >= 0 && ::send(tcp_fd_, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size()))
            continue;
        if (tcp_fd_ >= 0) tcp_close("tcp closed");
        if (f.size() >= FRAME_HEADER_LEN && f[3] != HEARTBEAT) not_sent(f[3], "tcp closed");
    }
    if (drop_tcp_after_flush_) {
        drop_tcp_after_flush_ = false;
        tcp_close("tcp closed");
    }
}

void Phone::tcp_close(const char* why) {
    if (tcp_fd_ < 0) return;
    ::close(tcp_fd_);
    tcp_fd_ = -1;
    tcp_in_.clear();
    drop_transfers();
    if (why) emit(why);
    // Until the next binding, messages go over BLE instead of into a closed socket.
    if (engine_ && (engine_->tcp_bound() || engine_->bind_in_progress())) engine_->unbind("连接被关闭");
}

void Phone::tcp_step(Instant now) {
    if (!opt_.lan_port || !engine_ || silent_) return;
    if (tcp_fd_ < 0) {
        if (engine_->state() != EngineState::Paired || !engine_->session_key_ready()) return;
        if (last_tcp_attempt_ && now - *last_tcp_attempt_ < kTcpRetry) return;
        last_tcp_attempt_ = now;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(*opt_.lan_port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // the PC of a simulated phone is this machine
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            return;
        }
        tcp_fd_ = fd;
        emit("tcp connected");
        engine_->start_bind_client();
        return;
    }
    for (;;) {
        rx_buf_.resize(std::size_t{256} * 1024);
        const ssize_t n = ::recv(tcp_fd_, rx_buf_.data(), rx_buf_.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        if (n <= 0) {
            tcp_close("tcp closed");
            return;
        }
        tcp_in_.insert(tcp_in_.end(), rx_buf_.data(), rx_buf_.data() + n);
        if (static_cast<std::size_t>(n) < rx_buf_.size()) break;
        // A fast PC could fill the whole memory before one frame is handled: take a few
        // chunks' worth, store them, and let the socket hold the rest back.
        if (tcp_in_.size() >= std::size_t{4} * 1024 * 1024) break;
    }
    std::size_t at = 0;
    while (tcp_in_.size() - at >= FRAME_HEADER_LEN) {
        auto header = parse_header(ByteView(tcp_in_).subspan(at));
        if (!header.ok()) {
            emit("error -1 TCP: " + header.error().display());
            tcp_close("tcp closed");
            return;
        }
        const std::size_t len = header->frame_len();
        if (tcp_in_.size() - at < len) break;
        engine_->note_tcp_receive(now);
        engine_->handle_tcp_frame_in_place(std::span(tcp_in_).subspan(at, len));
        at += len;
    }
    tcp_in_.erase(tcp_in_.begin(), tcp_in_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace dovan::phonesim
