// A simulated phone's radio: advertises into the sim-radio folder and serves a small GATT
// table to one central at a time. Used by the phone simulator and by tests; it can also
// misbehave on purpose, as real phones do.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/result.h"
#include "platform/ble.h"

namespace dovan::sim {

struct CharacteristicSpec {
    ble::Uuid uuid;
    bool notify = false;
    bool write = false;
};

struct ServiceSpec {
    ble::Uuid uuid;
    std::vector<CharacteristicSpec> characteristics;
};

class SimPeripheral {
public:
    struct Options {
        std::string folder;
        std::uint64_t address = 0;
        std::string name;
        std::vector<ble::Uuid> advertised_uuids;
        std::vector<ServiceSpec> services;
    };
    // Returns the status byte of the WRITE answer.
    using WriteHandler = std::function<std::uint8_t(const ble::Uuid& characteristic, Bytes value)>;
    using ConnectionHandler = std::function<void(bool connected)>;
    // Lets a test or the simulator answer a request its own way: return a status byte to
    // answer with it (and an empty list), or -1 to serve the request normally.
    using RequestFilter = std::function<int(std::uint8_t op)>;

    explicit SimPeripheral(Options options);
    ~SimPeripheral();
    SimPeripheral(const SimPeripheral&) = delete;
    SimPeripheral& operator=(const SimPeripheral&) = delete;

    void set_write_handler(WriteHandler h);
    void set_connection_handler(ConnectionHandler h);
    void set_request_filter(RequestFilter f);

    // Listens on <folder>/<ADDR>.gatt and serves centrals from a thread of its own.
    Status start();
    void stop();

    // One advertisement datagram; false when no central is scanning.
    bool advertise_once();
    void start_advertising(std::chrono::milliseconds period);
    void stop_advertising();

    // Sends a notification on a characteristic the central subscribed to.
    bool notify(const ble::Uuid& characteristic, ByteView value);
    // Raw bytes straight onto the stream (for garbage and half-message tests).
    bool send_raw(ByteView bytes);
    // Drops the current central.
    void disconnect();
    bool connected() const;
    bool subscribed(const ble::Uuid& characteristic) const;

private:
    void serve_loop();
    void handle(int fd, std::uint8_t op, const Bytes& body);
    bool answer(int fd, std::uint8_t op, ByteView body);
    void drop_current_locked();
    const CharacteristicSpec* find_characteristic(const ble::Uuid& service, const ble::Uuid& ch) const;
    const CharacteristicSpec* find_characteristic(const ble::Uuid& ch) const;

    Options opt_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread server_;
    std::atomic<bool> adv_stop_{true};
    std::thread advertiser_;

    mutable std::mutex mu_;  // current connection, subscriptions, handlers, writes
    int conn_fd_ = -1;
    std::set<std::vector<std::uint8_t>> subscriptions_;
    WriteHandler on_write_;
    ConnectionHandler on_connection_;
    RequestFilter filter_;
};

}  // namespace dovan::sim
