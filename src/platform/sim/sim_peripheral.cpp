#include "platform/sim/sim_peripheral.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/text.h"
#include "platform/sim/sim_wire.h"

namespace dovan::sim {

using ble::Uuid;

namespace {
std::vector<std::uint8_t> key(const Uuid& u) { return {u.bytes.begin(), u.bytes.end()}; }
constexpr std::uint8_t kSuccess = 0;
constexpr std::uint8_t kProtocolError = 2;
}  // namespace

SimPeripheral::SimPeripheral(Options options) : opt_(std::move(options)) {}

SimPeripheral::~SimPeripheral() {
    stop_advertising();
    stop();
}

void SimPeripheral::set_write_handler(WriteHandler h) {
    std::lock_guard lock(mu_);
    on_write_ = std::move(h);
}
void SimPeripheral::set_connection_handler(ConnectionHandler h) {
    std::lock_guard lock(mu_);
    on_connection_ = std::move(h);
}
void SimPeripheral::set_request_filter(RequestFilter f) {
    std::lock_guard lock(mu_);
    filter_ = std::move(f);
}

Status SimPeripheral::start() {
    if (auto ready = prepare_radio_folder(opt_.folder); !ready) return ready;
    std::string path = gatt_path(opt_.folder, opt_.address);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return fail_text("模拟射频路径过长: " + path);
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail_text(std::string("socket: ") + errno_text(errno));
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0) {
        std::string e = std::string("bind/listen: ") + errno_text(errno);
        ::close(fd);
        return fail_text(e);
    }
    listen_fd_ = fd;
    stop_ = false;
    server_ = std::thread([this] { serve_loop(); });
    return {};
}

void SimPeripheral::stop() {
    stop_ = true;
    if (server_.joinable()) server_.join();
    std::lock_guard lock(mu_);
    drop_current_locked();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        ::unlink(gatt_path(opt_.folder, opt_.address).c_str());
    }
}

bool SimPeripheral::advertise_once() {
    std::string path = air_path(opt_.folder);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ble::Advertisement adv{opt_.address, opt_.name, opt_.advertised_uuids};
    std::string text = encode_advertisement(adv);
    bool ok = ::sendto(fd, text.data(), text.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa),
                       sizeof sa) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

void SimPeripheral::start_advertising(std::chrono::milliseconds period) {
    stop_advertising();
    adv_stop_ = false;
    advertiser_ = std::thread([this, period] {
        while (!adv_stop_) {
            advertise_once();
            for (auto waited = std::chrono::milliseconds(0); waited < period && !adv_stop_;
                 waited += std::chrono::milliseconds(20))
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

void SimPeripheral::stop_advertising() {
    adv_stop_ = true;
    if (advertiser_.joinable()) advertiser_.join();
}

bool SimPeripheral::notify(const Uuid& characteristic, ByteView value) {
    if (value.empty() || value.size() > kMaxValue) return false;
    Bytes body;
    body.reserve(16 + value.size());
    append_uuid(body, characteristic);
    body.insert(body.end(), value.begin(), value.end());
    Bytes msg = encode_message(OP_NOTIFY, body);
    std::lock_guard lock(mu_);
    if (conn_fd_ < 0 || !subscriptions_.count(key(characteristic))) return false;
    return write_all(conn_fd_, msg);
}

bool SimPeripheral::send_raw(ByteView bytes) {
    std::lock_guard lock(mu_);
    return conn_fd_ >= 0 && write_all(conn_fd_, bytes);
}

void SimPeripheral::disconnect() {
    std::lock_guard lock(mu_);
    // The serve loop sees the end of stream and closes the socket on its own thread.
    if (conn_fd_ >= 0) ::shutdown(conn_fd_, SHUT_RDWR);
}

bool SimPeripheral::connected() const {
    std::lock_guard lock(mu_);
    return conn_fd_ >= 0;
}

bool SimPeripheral::subscribed(const Uuid& characteristic) const {
    std::lock_guard lock(mu_);
    return subscriptions_.count(key(characteristic)) > 0;
}

void SimPeripheral::drop_current_locked() {
    if (conn_fd_ >= 0) {
        ::close(conn_fd_);
        conn_fd_ = -1;
    }
    subscriptions_.clear();
}

void SimPeripheral::serve_loop() {
    while (!stop_) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {-1, POLLIN, 0}};
        {
            std::lock_guard lock(mu_);
            fds[1].fd = conn_fd_;
        }
        int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, 100);
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) {
            int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                timeval tv{2, 0};  // a central that stops mid-message is dropped
                ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                ConnectionHandler h;
                bool replaced;
                {
                    std::lock_guard lock(mu_);
                    replaced = conn_fd_ >= 0;
                    drop_current_locked();
                    conn_fd_ = c;
                    h = on_connection_;
                }
                if (h) {
                    if (replaced) h(false);
                    h(true);
                }
                continue;  // the old descriptor in fds[1] is gone
            }
        }
        if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            Message m;
            bool ok = read_message(fds[1].fd, m);
            bool valid = ok;
            if (ok) {
                switch (m.op) {
                    case OP_SERVICES: valid = m.body.empty() || m.body.size() == 16; break;
                    case OP_CHARACTERISTICS: valid = m.body.size() == 32; break;
                    case OP_SUBSCRIBE: valid = m.body.size() == 16; break;
                    case OP_WRITE: valid = m.body.size() > 16 && m.body.size() <= 16 + kMaxValue; break;
                    default: valid = false;
                }
            }
            if (!valid) {
                ConnectionHandler h;
                {
                    std::lock_guard lock(mu_);
                    if (conn_fd_ == fds[1].fd) drop_current_locked();
                    h = on_connection_;
                }
                if (h) h(false);
                continue;
            }
            handle(fds[1].fd, m.op, m.body);
        }
    }
}

const CharacteristicSpec* SimPeripheral::find_characteristic(const Uuid& service, const Uuid& ch) const {
    for (const auto& s : opt_.services)
        if (s.uuid == service)
            for (const auto& c : s.characteristics)
                if (c.uuid == ch) return &c;
    return nullptr;
}

const CharacteristicSpec* SimPeripheral::find_characteristic(const Uuid& ch) const {
    for (const auto& s : opt_.services)
        for (const auto& c : s.characteristics)
            if (c.uuid == ch) return &c;
    return nullptr;
}

bool SimPeripheral::answer(int fd, std::uint8_t op, ByteView body) {
    Bytes msg = encode_message(static_cast<std::uint8_t>(op | ANSWER_BIT), body);
    std::lock_guard lock(mu_);
    return conn_fd_ == fd && write_all(fd, msg);
}

void SimPeripheral::handle(int fd, std::uint8_t op, const Bytes& body) {
    RequestFilter filter;
    WriteHandler on_write;
    {
        std::lock_guard lock(mu_);
        filter = filter_;
        on_write = on_write_;
    }
    if (filter) {
        int forced = filter(op);
        if (forced >= 0) {
            std::uint8_t status = static_cast<std::uint8_t>(forced);
            answer(fd, op, ByteView(&status, 1));
            return;
        }
    }
    Bytes out;
    switch (op) {
        case OP_SERVICES: {
            out.push_back(kSuccess);
            for (const auto& s : opt_.services)
                if (body.empty() || s.uuid == uuid_at(body, 0)) append_uuid(out, s.uuid);
            break;
        }
        case OP_CHARACTERISTICS: {
            Uuid service = uuid_at(body, 0);
            Uuid ch = uuid_at(body, 16);
            bool known_service = false;
            for (const auto& s : opt_.services) known_service |= s.uuid == service;
            if (!known_service) {
                out.push_back(kSuccess);  // an unknown service simply has no characteristics
            } else if (find_characteristic(service, ch)) {
                out.push_back(kSuccess);
                append_uuid(out, ch);
            } else {
                out.push_back(kProtocolError);
            }
            break;
        }
        case OP_SUBSCRIBE: {
            Uuid ch = uuid_at(body, 0);
            const auto* c = find_characteristic(ch);
            if (!c || !c->notify) {
                out.push_back(kProtocolError);
            } else {
                std::lock_guard lock(mu_);
                if (conn_fd_ == fd) subscriptions_.insert(key(ch));
                out.push_back(kSuccess);
            }
            break;
        }
        case OP_WRITE: {
            Uuid ch = uuid_at(body, 0);
            const auto* c = find_characteristic(ch);
            if (!c || !c->write) {
                out.push_back(kProtocolError);
            } else {
                std::uint8_t status = kSuccess;
                if (on_write) status = on_write(ch, Bytes(body.begin() + 16, body.end()));
                out.push_back(status);
            }
            break;
        }
    }
    answer(fd, op, out);
}

}  // namespace dovan::sim
