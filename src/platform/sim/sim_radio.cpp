#include "platform/sim/sim_radio.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/sim/sim_wire.h"

namespace dovan::sim {
namespace {

using namespace std::chrono_literals;
using ble::GattStatus;
using ble::Uuid;

constexpr auto kAnswerTimeout = 10s;

bool fill_address(sockaddr_un& sa, const std::string& path) {
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string os_failure(const char* what) { return std::string(what) + ": " + errno_text(errno); }

// One answer the central waits for. Answers come back in request order.
struct Pending {
    std::uint8_t answer_op = 0;
    enum class State { Waiting, Answered, Failed } state = State::Waiting;
    Bytes body;
};

// What the reader thread and the callers share. The reader holds it, never the Connection,
// so the Connection always ends on a caller's thread and can wait for its reader.
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    ~Channel() { ::close(fd_); }

    // Sends a request and returns the answer slot.
    Result<std::shared_ptr<Pending>> send(std::uint8_t op, const Bytes& body) {
        auto p = std::make_shared<Pending>();
        p->answer_op = static_cast<std::uint8_t>(op | ANSWER_BIT);
        Bytes msg = encode_message(op, body);
        std::lock_guard write_lock(write_mu_);
        {
            std::lock_guard lock(mu_);
            if (closed_) return fail_text("连接已断开");
            pending_.push_back(p);
        }
        if (!write_all(fd_, msg)) {
            const std::string why = os_failure("写入 GATT 连接失败");
            close(why);
            return fail_text(why);
        }
        return p;
    }

    // Blocks until the slot is answered or the link fails.
    Result<Bytes> wait(const std::shared_ptr<Pending>& p) {
        std::unique_lock lock(mu_);
        if (!cv_.wait_for(lock, kAnswerTimeout, [&] { return p->state != Pending::State::Waiting; }))
            return fail_text("等待 GATT 应答超时");
        if (p->state == Pending::State::Failed) return fail_text("连接已断开");
        return p->body;
    }

    Result<Bytes> request(std::uint8_t op, const Bytes& body) {
        auto p = send(op, body);
        if (!p) return fail(p.error());
        return wait(*p);
    }

    Pending::State state_of(const Pending& p) {
        std::lock_guard lock(mu_);
        return p.state;
    }

    std::uint64_t add_handler(const Uuid& ch, ble::ValueHandler h) {
        std::lock_guard lock(mu_);
        handlers_[++next_token_] = {ch, std::move(h)};
        return next_token_;
    }
    bool remove_handler(std::uint64_t token) {
        std::lock_guard lock(mu_);
        return handlers_.erase(token) > 0;
    }

    // Ends the connection once; the link-state handler hears `reason`.
    void close(const std::string& reason) {
        ble::LinkStateHandler handler;
        {
            std::lock_guard lock(mu_);
            if (closed_) return;
            closed_ = true;
            close_reason_ = reason;
            for (auto& p : pending_) p->state = Pending::State::Failed;
            pending_.clear();
            handler = link_handler_;
        }
        ::shutdown(fd_, SHUT_RDWR);
        cv_.notify_all();
        if (handler) handler(ble::LinkStateEvent{false, reason});
    }

    void set_link_handler(ble::LinkStateHandler handler) {
        std::string gone;
        {
            std::lock_guard lock(mu_);
            link_handler_ = std::move(handler);
            if (!closed_) return;
            gone = close_reason_;
            handler = link_handler_;
        }
        if (handler) handler(ble::LinkStateEvent{false, gone});
    }

    void read_loop() {
        Message m;
        std::string why = "对端断开了 GATT 连接";
        while (read_message(fd_, m)) {
            if (!dispatch(m)) {
                why = "对端违反 GATT 协议，连接已关闭";
                break;
            }
        }
        close(why);
    }

private:

    // False when the message breaks the protocol; the connection is then closed.
    bool dispatch(Message& m) {
        if (m.op == OP_NOTIFY) {
            if (m.body.size() < 17 || m.body.size() > 16 + kMaxValue) return false;
            Uuid ch = uuid_at(m.body, 0);
            Bytes value(m.body.begin() + 16, m.body.end());
            std::vector<ble::ValueHandler> targets;
            {
                std::lock_guard lock(mu_);
                for (auto& [token, h] : handlers_)
                    if (h.first == ch) targets.push_back(h.second);
            }
            for (auto& h : targets) h(value);
            return true;
        }
        std::shared_ptr<Pending> p;
        {
            std::lock_guard lock(mu_);
            if (pending_.empty() || pending_.front()->answer_op != m.op) return false;
            bool list = m.op == (OP_SERVICES | ANSWER_BIT) || m.op == (OP_CHARACTERISTICS | ANSWER_BIT);
            if (m.body.empty() || (list ? (m.body.size() - 1) % 16 != 0 : m.body.size() != 1))
                return false;
            p = pending_.front();
            pending_.pop_front();
            p->body = std::move(m.body);
            p->state = Pending::State::Answered;
        }
        cv_.notify_all();
        return true;
    }

    int fd_;
    std::mutex write_mu_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool closed_ = false;
    std::string close_reason_;
    ble::LinkStateHandler link_handler_;
    std::deque<std::shared_ptr<Pending>> pending_;
    std::map<std::uint64_t, std::pair<Uuid, ble::ValueHandler>> handlers_;
    std::uint64_t next_token_ = 0;
};

// One GATT connection to a simulated phone, with its reader thread.
class Connection {
public:
    explicit Connection(int fd) : channel_(std::make_shared<Channel>(fd)) {}
    ~Connection() {
        channel_->close("本端断开");  // ends the reader's blocking read
        if (reader_.joinable()) {
            // Only a handler on the reader that drops the last device reference lands here.
            if (reader_.get_id() == std::this_thread::get_id())
                reader_.detach();
            else
                reader_.join();
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start() {
        reader_ = std::thread([channel = channel_] { channel->read_loop(); });
    }

    Result<std::shared_ptr<Pending>> send(std::uint8_t op, const Bytes& body) { return channel_->send(op, body); }
    Result<Bytes> wait(const std::shared_ptr<Pending>& p) { return channel_->wait(p); }
    Result<Bytes> request(std::uint8_t op, const Bytes& body) { return channel_->request(op, body); }
    Pending::State state_of(const Pending& p) { return channel_->state_of(p); }
    std::uint64_t add_handler(const Uuid& ch, ble::ValueHandler h) { return channel_->add_handler(ch, std::move(h)); }
    bool remove_handler(std::uint64_t token) { return channel_->remove_handler(token); }
    void close(const std::string& reason) { channel_->close(reason); }
    void set_link_handler(ble::LinkStateHandler handler) { channel_->set_link_handler(std::move(handler)); }

private:
    std::shared_ptr<Channel> channel_;
    std::thread reader_;
};

std::vector<Uuid> uuids_after_status(const Bytes& body) {
    std::vector<Uuid> out;
    for (std::size_t off = 1; off + 16 <= body.size(); off += 16) out.push_back(uuid_at(body, off));
    return out;
}

class SimWrite final : public ble::WriteOperation {
public:
    SimWrite(std::shared_ptr<Connection> conn, std::shared_ptr<Pending> p)
        : conn_(std::move(conn)), p_(std::move(p)) {}
    ble::AsyncStatus status() const override {
        switch (conn_->state_of(*p_)) {
            case Pending::State::Waiting: return ble::AsyncStatus::Started;
            case Pending::State::Answered: return ble::AsyncStatus::Completed;
            default: return ble::AsyncStatus::Error;
        }
    }
    Result<GattStatus> results() const override {
        if (conn_->state_of(*p_) != Pending::State::Answered) return fail_text("写操作尚未完成");
        return ble::gatt_status_from_byte(p_->body[0]);
    }

private:
    std::shared_ptr<Connection> conn_;
    std::shared_ptr<Pending> p_;
};

class SimCharacteristic final : public ble::Characteristic {
public:
    SimCharacteristic(std::shared_ptr<Connection> c, Uuid u) : conn_(std::move(c)), uuid_(u) {}
    Uuid uuid() const override { return uuid_; }
    Result<GattStatus> subscribe_notify() override {
        Bytes body;
        append_uuid(body, uuid_);
        auto r = conn_->request(OP_SUBSCRIBE, body);
        if (!r) return fail(r.error());
        return ble::gatt_status_from_byte((*r)[0]);
    }
    Result<std::uint64_t> add_value_changed(ble::ValueHandler handler) override {
        return conn_->add_handler(uuid_, std::move(handler));
    }
    Status remove_value_changed(std::uint64_t token) override {
        if (!conn_->remove_handler(token)) return fail_text("未找到通知处理器");
        return {};
    }
    Result<std::shared_ptr<ble::WriteOperation>> write_value(ByteView value) override {
        if (value.empty() || value.size() > kMaxValue)
            return fail_text(format_text("写入值长度非法：{}B", value.size()));
        Bytes body;
        body.reserve(16 + value.size());
        append_uuid(body, uuid_);
        body.insert(body.end(), value.begin(), value.end());
        auto p = conn_->send(OP_WRITE, body);
        if (!p) return fail(p.error());
        return std::shared_ptr<ble::WriteOperation>(std::make_shared<SimWrite>(conn_, *p));
    }

private:
    std::shared_ptr<Connection> conn_;
    Uuid uuid_;
};

class SimService final : public ble::Service {
public:
    SimService(std::shared_ptr<Connection> c, Uuid u) : conn_(std::move(c)), uuid_(u) {}
    Uuid uuid() const override { return uuid_; }
    Result<ble::CharacteristicsResult> characteristics_for_uuid(const Uuid& uuid) override {
        Bytes body;
        append_uuid(body, uuid_);
        append_uuid(body, uuid);
        auto r = conn_->request(OP_CHARACTERISTICS, body);
        if (!r) return fail(r.error());
        ble::CharacteristicsResult out;
        out.status = ble::gatt_status_from_byte((*r)[0]);
        for (const auto& u : uuids_after_status(*r))
            out.characteristics.push_back(std::make_shared<SimCharacteristic>(conn_, u));
        return out;
    }

private:
    std::shared_ptr<Connection> conn_;
    Uuid uuid_;
};

class SimDevice final : public ble::Device {
public:
    SimDevice(std::uint64_t addr, std::shared_ptr<Connection> c) : addr_(addr), conn_(std::move(c)) {}
    ~SimDevice() override {
        // Dropping the device ends the connection; whoever listened asked for that.
        conn_->set_link_handler(nullptr);
        conn_->close("本端断开");
    }
    std::uint64_t address() const override { return addr_; }
    Status on_link_state(ble::LinkStateHandler handler) override {
        conn_->set_link_handler(std::move(handler));
        return {};
    }
    Result<ble::ServicesResult> services_for_uuid(const Uuid& uuid) override {
        Bytes body;
        append_uuid(body, uuid);
        return services(body);
    }
    Result<ble::ServicesResult> all_services() override { return services({}); }

private:
    Result<ble::ServicesResult> services(const Bytes& body) {
        auto r = conn_->request(OP_SERVICES, body);
        if (!r) return fail(r.error());
        ble::ServicesResult out;
        out.status = ble::gatt_status_from_byte((*r)[0]);
        for (const auto& u : uuids_after_status(*r))
            out.services.push_back(std::make_shared<SimService>(conn_, u));
        return out;
    }

    std::uint64_t addr_;
    std::shared_ptr<Connection> conn_;
};

class SimWatcher final : public ble::Watcher {
public:
    explicit SimWatcher(std::string folder) : folder_(std::move(folder)) {}
    ~SimWatcher() override {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(air_path(folder_).c_str());
        }
    }
    Status set_active_scanning() override { return {}; }
    Status on_received(ble::AdvertisementHandler handler) override {
        handler_ = std::move(handler);
        return {};
    }
    Status start() override {
        if (fd_ >= 0) return {};
        if (auto ready = prepare_radio_folder(folder_); !ready) return ready;
        std::string path = air_path(folder_);
        sockaddr_un sa;
        if (!fill_address(sa, path)) return fail_text("模拟射频路径过长: " + path);
        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail_text(os_failure("创建扫描套接字失败"));
        ::unlink(path.c_str());  // a stale socket from an earlier run
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            auto e = os_failure("绑定扫描套接字失败");
            ::close(fd);
            return fail_text(e);
        }
        timeval tv{0, 200'000};  // lets the thread notice the stop flag
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        fd_ = fd;
        thread_ = std::thread([this] { loop(); });
        return {};
    }

private:
    void loop() {
        std::string buf(4096, '\0');
        while (!stop_) {
            ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0) continue;
            auto adv = parse_advertisement(std::string_view(buf.data(), static_cast<std::size_t>(n)));
            if (adv && handler_) handler_(*adv);
        }
    }

    std::string folder_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    ble::AdvertisementHandler handler_;
};

class SimAdapter final : public ble::Adapter {
public:
    explicit SimAdapter(std::string folder) : folder_(std::move(folder)) {}
    Result<std::unique_ptr<ble::Watcher>> create_watcher() override {
        return std::unique_ptr<ble::Watcher>(std::make_unique<SimWatcher>(folder_));
    }
    Result<std::shared_ptr<ble::Device>> device_from_address(std::uint64_t address) override {
        if (auto ready = prepare_radio_folder(folder_); !ready) return fail(std::move(ready).error());
        std::string path = gatt_path(folder_, address);
        sockaddr_un sa;
        if (!fill_address(sa, path)) return fail_text("模拟射频路径过长: " + path);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail_text(os_failure("创建 GATT 套接字失败"));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            auto e = os_failure("设备不可达");
            ::close(fd);
            return fail_text(e);
        }
        auto conn = std::make_shared<Connection>(fd);
        conn->start();
        return std::shared_ptr<ble::Device>(std::make_shared<SimDevice>(address, conn));
    }

private:
    std::string folder_;
};

}  // namespace

std::unique_ptr<ble::Adapter> make_sim_adapter(std::string folder) {
    return std::make_unique<SimAdapter>(std::move(folder));
}

}  // namespace dovan::sim
