// The simulated phone against a bare PC engine that drives the sim radio as a central:
// the phone must pair the way a real phone does, keep its identity between runs, and
// misbehave exactly as asked.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "store/stores.h"
#include "e2e_support.h"
#include "phone.h"
#include "platform/sim/sim_radio.h"
#include "protocol/frame.h"
#include "session/engine.h"

namespace dovan::e2e {
namespace {

using phonesim::Phone;
using phonesim::PhoneOptions;

ble::Uuid uuid(std::string_view text) { return *ble::Uuid::parse(text); }

const DeviceIdentity& pc_identity() {
    static const DeviceIdentity* id = [] {
        auto made = DeviceIdentity::generate();
        if (!made.ok()) std::abort();
        return new DeviceIdentity(std::move(*made));
    }();
    return *id;
}

// Collects what the phone prints.
struct Lines {
    std::mutex mu;
    std::vector<std::string> all;
    void operator()(const std::string& l) {
        std::lock_guard lock(mu);
        all.push_back(l);
    }
    std::optional<std::string> find(const std::string& prefix) {
        std::lock_guard lock(mu);
        for (const auto& l : all)
            if (l.rfind(prefix, 0) == 0) return l;
        return std::nullopt;
    }
    bool has(const std::string& prefix) { return find(prefix).has_value(); }
    std::string text() {
        std::lock_guard lock(mu);
        std::string t;
        for (const auto& l : all) t += l + "\n";
        return t;
    }
};

// The PC side: one GATT connection to the phone and a session engine fed from it.
class Central {
public:
    explicit Central(const std::string& radio) : adapter_(sim::make_sim_adapter(radio)) {}
    Central(const std::string& radio, std::uint64_t address) : Central(radio) { open(address); }
    bool open(std::uint64_t address) {
        auto dev = adapter_->device_from_address(address);
        if (dev.ok()) device_ = *dev;
        return dev.ok();
    }
    bool present() const { return device_ != nullptr; }

    ble::GattStatus discover() {
        auto services = device_->services_for_uuid(uuid(kServiceUuid));
        if (!services.ok()) return ble::GattStatus::Unknown;
        if (services->status != ble::GattStatus::Success || services->services.empty()) return services->status;
        auto& svc = *services->services[0];
        write_ = svc.characteristics_for_uuid(uuid(kWriteCharUuid))->characteristics.at(0);
        notify_ = svc.characteristics_for_uuid(uuid(kNotifyCharUuid))->characteristics.at(0);
        if (*notify_->subscribe_notify() != ble::GattStatus::Success) return ble::GattStatus::Unknown;
        (void)notify_->add_value_changed([this](Bytes v) {
            std::lock_guard lock(mu_);
            inbound_.push_back(std::move(v));
        });
        return ble::GattStatus::Success;
    }

    // Writes one value and waits for its answer.
    std::optional<ble::GattStatus> write(ByteView value) {
        auto op = write_->write_value(value);
        if (!op.ok()) return std::nullopt;
        if (!eventually([&] { return (*op)->status() != ble::AsyncStatus::Started; })) return std::nullopt;
        if ((*op)->status() != ble::AsyncStatus::Completed) return std::nullopt;
        return *(*op)->results();
    }

    void start_engine(std::vector<TrustedPeer> trusted) {
        EngineConfig c;
        c.role = 0;
        c.device_name = "Test-PC";
        c.app_version = "0.5.3";
        c.identity = pc_identity();
        c.trusted = std::move(trusted);
        for (std::size_t i = 0; i < c.static_private_key.size(); ++i)
            c.static_private_key[i] = static_cast<std::uint8_t>(i * 11 + 3);
        engine_ = std::make_unique<Engine>(std::move(c));
        engine_->open_with_hello(std::chrono::steady_clock::now());
    }

    // Moves values both ways until `done` holds or the wait runs out.
    bool pump_until(const std::function<bool(Engine&)>& done) {
        return eventually([&] {
            std::vector<Bytes> in;
            {
                std::lock_guard lock(mu_);
                in.swap(inbound_);
            }
            for (auto& v : in) {
                max_value_ = std::max(max_value_, v.size());
                engine_->take_ble_value(v, std::chrono::steady_clock::now());
            }
            for (auto& e : engine_->take_events()) events_.push_back(std::move(e));
            for (const Bytes& v : engine_->take_ble_fragments()) (void)write(v);
            return done(*engine_);
        });
    }

    // The PC's TCP listener on loopback; the phone is told its port.
    std::uint16_t listen() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listen_fd_, 4) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            return 0;
        return ntohs(sa.sin_port);
    }
    // Serves the phone's TCP connection while pumping, as the PC's channel would.
    bool pump_tcp_until(const std::function<bool(Engine&)>& done) {
        return pump_until([&](Engine& e) {
            if (conn_fd_ < 0) {
                pollfd p{listen_fd_, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) {
                    conn_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (conn_fd_ >= 0) e.start_bind_server();
                }
            }
            if (conn_fd_ >= 0) {
                for (pollfd p{conn_fd_, POLLIN, 0}; ::poll(&p, 1, 0) > 0;) {
                    std::uint8_t buf[4096];
                    const ssize_t n = ::recv(conn_fd_, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    tcp_in_.insert(tcp_in_.end(), buf, buf + n);
                }
                while (tcp_in_.size() >= FRAME_HEADER_LEN) {
                    auto h = parse_header(tcp_in_);
                    if (!h.ok() || tcp_in_.size() < h->frame_len()) break;
                    e.handle_frame(ByteView(tcp_in_).first(h->frame_len()), Transport::Tcp);
                    tcp_in_.erase(tcp_in_.begin(), tcp_in_.begin() + static_cast<std::ptrdiff_t>(h->frame_len()));
                }
                for (const Bytes& f : e.take_tcp_frames()) (void)::send(conn_fd_, f.data(), f.size(), MSG_NOSIGNAL);
            }
            return done(e);
        });
    }
    ~Central() {
        if (conn_fd_ >= 0) ::close(conn_fd_);
        if (listen_fd_ >= 0) ::close(listen_fd_);
    }

    Engine& engine() { return *engine_; }
    const std::vector<AppEvent>& events() const { return events_; }
    std::size_t max_value() const { return max_value_; }

private:
    std::unique_ptr<ble::Adapter> adapter_;
    std::shared_ptr<ble::Device> device_;
    std::shared_ptr<ble::Characteristic> write_, notify_;
    std::unique_ptr<Engine> engine_;
    std::mutex mu_;
    std::vector<Bytes> inbound_;
    std::vector<AppEvent> events_;
    std::size_t max_value_ = 0;
    int listen_fd_ = -1;
    int conn_fd_ = -1;
    Bytes tcp_in_;
};

class PhoneSim : public ::testing::Test {
protected:
    TempDir tmp;
    std::string radio = tmp.sub("radio");
    std::string data = tmp.sub("phone");
    Lines lines;

    PhoneOptions options() {
        PhoneOptions o;
        o.radio = radio;
        o.data_dir = data;
        return o;
    }
    void TearDown() override {
        if (HasFailure()) ADD_FAILURE() << "phone said:\n" << lines.text();
    }
    std::unique_ptr<Phone> start(PhoneOptions o) {
        auto phone = std::make_unique<Phone>(std::move(o), std::ref(lines));
        auto s = phone->start();
        EXPECT_TRUE(s.ok()) << s.error().text;
        return phone;
    }
    std::string read(const std::string& file) {
        std::ifstream in(std::filesystem::path(data) / file);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST_F(PhoneSim, PairsKeepsItsIdentityAndIsKnownOnTheNextRun) {
    auto phone = start(options());
    const std::string phone_fp = phone->fingerprint();
    const std::uint64_t address = phone->address();
    {
        Central pc(radio, address);
        ASSERT_TRUE(pc.present());
        ASSERT_EQ(pc.discover(), ble::GattStatus::Success);
        pc.start_engine({});
        ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::SasCompare; }));
        ASSERT_TRUE(pc.engine().local_sas().has_value());
        char sas[16];
        std::snprintf(sas, sizeof sas, "sas %06u", *pc.engine().local_sas());
        ASSERT_TRUE(pc.pump_until([&](Engine&) { return lines.has(sas); })) << "phone computed another SAS";
        EXPECT_EQ(pc.engine().peer_fingerprint(), phone_fp);
        EXPECT_EQ(pc.engine().peer_name(), "Pixel 8");

        pc.engine().confirm_sas();
        ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::Paired && e.peer_done(); }));
        ASSERT_TRUE(pc.pump_until([&](Engine&) { return lines.has("paired " + pc_identity().fingerprint()); }));
        EXPECT_NE(read(kTrustedPeersTsv).find(pc_identity().fingerprint()), std::string::npos);
        // Notifications come in the phone's own size, not the 20 bytes of a default link.
        EXPECT_EQ(pc.max_value(), 185u - 3);
    }
    phone.reset();

    // The next run: same address and identity, and the PC it trusted goes straight to PAIRED.
    phone = start(options());
    EXPECT_EQ(phone->fingerprint(), phone_fp);
    EXPECT_EQ(phone->address(), address);
    Central pc(radio, address);
    ASSERT_TRUE(pc.present());
    ASSERT_EQ(pc.discover(), ble::GattStatus::Success);
    pc.start_engine({{phone_fp, "Pixel 8"}});
    ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::Paired; }));
    for (const auto& e : pc.events()) EXPECT_NE(e.kind, AppEventKind::SasReady);
}

TEST_F(PhoneSim, BindsThePcsTcpChannelAsTheClientOncePaired) {
    {
        auto phone = start(options());
        Central first(radio, phone->address());
        ASSERT_EQ(first.discover(), ble::GattStatus::Success);
        first.start_engine({});
        ASSERT_TRUE(first.pump_until([](Engine& e) { return e.state() == EngineState::SasCompare; }));
        first.engine().confirm_sas();
        ASSERT_TRUE(first.pump_until([&](Engine&) { return lines.has("paired "); }));
    }
    // The next run: trusted at once, then bound over loopback.
    Central pc(radio);
    auto o = options();
    o.lan_port = pc.listen();
    ASSERT_NE(*o.lan_port, 0);
    auto phone = start(o);
    ASSERT_TRUE(pc.open(phone->address()));
    ASSERT_EQ(pc.discover(), ble::GattStatus::Success);
    pc.start_engine({{phone->fingerprint(), "Pixel 8"}});
    ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::Paired; }));
    ASSERT_TRUE(pc.pump_tcp_until([](Engine& e) { return e.tcp_bound(); }));
    ASSERT_TRUE(pc.pump_tcp_until([&](Engine&) { return lines.has("tcp 1"); }));
}

TEST_F(PhoneSim, NewIdentityUnderTheSameNameIsAMismatchForThePc) {
    std::string old_fp;
    {
        auto phone = start(options());
        old_fp = phone->fingerprint();
    }
    auto o = options();
    o.new_identity = true;
    auto phone = start(o);
    ASSERT_NE(phone->fingerprint(), old_fp);

    Central pc(radio, phone->address());
    ASSERT_EQ(pc.discover(), ble::GattStatus::Success);
    pc.start_engine({{old_fp, "Pixel 8"}});
    ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::Repaired; }));
    pc.engine().reaccept_identity();
    ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::SasCompare; }));
    pc.engine().confirm_sas();
    ASSERT_TRUE(pc.pump_until([](Engine& e) { return e.state() == EngineState::Paired; }));
}

TEST_F(PhoneSim, MisbehavesAsConfigured) {
    auto o = options();
    o.refuse_first_connects = 2;
    o.fail_every_nth_write = 3;
    auto phone = start(o);

    for (int attempt = 1; attempt <= 3; ++attempt) {
        Central pc(radio, phone->address());
        ASSERT_TRUE(pc.present());
        const auto status = pc.discover();
        if (attempt <= 2) {
            EXPECT_EQ(status, ble::GattStatus::AccessDenied) << attempt;
            continue;
        }
        ASSERT_EQ(status, ble::GattStatus::Success);
        const Bytes junk{0xFF};
        EXPECT_EQ(pc.write(junk), ble::GattStatus::Success);
        EXPECT_EQ(pc.write(junk), ble::GattStatus::Success);
        EXPECT_EQ(pc.write(junk), ble::GattStatus::Unreachable);
    }
}

TEST_F(PhoneSim, RefusingTheSasEndsThePairingOnBothSides) {
    auto o = options();
    o.confirm_sas = false;
    auto phone = start(o);
    Central pc(radio, phone->address());
    ASSERT_EQ(pc.discover(), ble::GattStatus::Success);
    pc.start_engine({});
    ASSERT_TRUE(pc.pump_until([&](Engine&) { return lines.has("error -200"); }));
    EXPECT_FALSE(lines.has("paired "));
    EXPECT_TRUE(read(kTrustedPeersTsv).empty());
}

TEST_F(PhoneSim, DropsTheCentralMidHandshakeAndComesBackFromAway) {
    auto o = options();
    o.drop_after_writes = 1;
    auto phone = start(o);
    {
        Central pc(radio, phone->address());
        ASSERT_EQ(pc.discover(), ble::GattStatus::Success);
        pc.start_engine({});
        ASSERT_TRUE(pc.pump_until([&](Engine&) { return lines.has("disconnected"); }));
        EXPECT_TRUE(eventually([&] { return !phone->connected(); }));
    }
    phone->go_away(600ms);
    ASSERT_TRUE(eventually([&] { return lines.has("away"); }));
    EXPECT_FALSE(Central(radio, phone->address()).present());
    ASSERT_TRUE(eventually([&] { return lines.has("back"); }));
    EXPECT_TRUE(Central(radio, phone->address()).present());
}

// The simulator's help is asked for, not a mistake: it ends with 0 and names what stdin takes.
TEST(PhoneSimProgram, HelpListsTheOptionsAndTheStdinCommands) {
    Process p({binary("phone-sim"), "--help"}, {});
    ASSERT_TRUE(p.wait_exit(kWait));
    EXPECT_TRUE(WIFEXITED(p.exit_status()) && WEXITSTATUS(p.exit_status()) == 0);
    for (const char* line : {"usage: phone-sim", "  --away-after S", "  away <s>", "  silent on|off", "  clip <text>",
                             "  battery <level>", "  quit"})
        EXPECT_TRUE(p.wait_line(line, 0, std::chrono::seconds(5))) << line;
}

}  // namespace
}  // namespace dovan::e2e
