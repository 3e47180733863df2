// The BLE operations the central link needs, shaped after the platform's GATT client so the
// link logic runs unchanged over the real stack or the sim radio. "Async" operations the
// connect procedure waits on are plain blocking calls here; only writes stay asynchronous,
// because the writer polls them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/text.h"

namespace dovan::ble {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Every "-" removed, exactly 32 hexadecimal digits remain; anything else is refused.
    static Result<Uuid> parse(std::string_view text);
    // Canonical lower-case 8-4-4-4-12 form.
    std::string text() const;
    bool operator==(const Uuid&) const = default;
};

enum class GattStatus : std::uint8_t {
    Success = 0,
    Unreachable = 1,
    ProtocolError = 2,
    AccessDenied = 3,
    Unknown = 0xFF,
};
GattStatus gatt_status_from_byte(std::uint8_t b);
std::string_view gatt_status_name(GattStatus s);

// Twelve upper-case hex digits of a 48-bit device address.
std::string address_text(std::uint64_t address);
bool parse_address(std::string_view text, std::uint64_t& address);

struct Advertisement {
    std::uint64_t address = 0;
    std::string local_name;
    std::vector<Uuid> service_uuids;
};

enum class AsyncStatus { Started, Completed, Canceled, Error };

class WriteOperation {
public:
    virtual ~WriteOperation() = default;
    virtual AsyncStatus status() const = 0;
    // Valid once Completed.
    virtual Result<GattStatus> results() const = 0;
};

using ValueHandler = std::function<void(Bytes value)>;

class Characteristic {
public:
    virtual ~Characteristic() = default;
    virtual Uuid uuid() const = 0;
    // Writes the CCCD with Notify; the status of the platform's answer.
    virtual Result<GattStatus> subscribe_notify() = 0;
    virtual Result<std::uint64_t> add_value_changed(ValueHandler handler) = 0;
    virtual Status remove_value_changed(std::uint64_t token) = 0;
    virtual Result<std::shared_ptr<WriteOperation>> write_value(ByteView value) = 0;
    // The link's ATT MTU as the stack reports it for this characteristic, read when asked
    // (it may change while connected). A stack that does not say leaves the size to be
    // learned from the values the phone sends.
    virtual std::optional<std::uint16_t> mtu() const { return std::nullopt; }
};

struct CharacteristicsResult {
    GattStatus status = GattStatus::Unknown;
    std::vector<std::shared_ptr<Characteristic>> characteristics;
};

class Service {
public:
    virtual ~Service() = default;
    virtual Uuid uuid() const = 0;
    virtual Result<CharacteristicsResult> characteristics_for_uuid(const Uuid& uuid) = 0;
};

struct ServicesResult {
    GattStatus status = GattStatus::Unknown;
    std::vector<std::shared_ptr<Service>> services;
};

// The connection with a device came or went, as the platform saw it.
struct LinkStateEvent {
    bool connected = false;
    // Why the connection went, in the platform's words; empty when it came.
    std::string reason;
};
using LinkStateHandler = std::function<void(const LinkStateEvent&)>;

class Device {
public:
    virtual ~Device() = default;
    virtual std::uint64_t address() const = 0;
    // Uncached, as the link always asks.
    virtual Result<ServicesResult> services_for_uuid(const Uuid& uuid) = 0;
    virtual Result<ServicesResult> all_services() = 0;
    // The handler hears the connection come and go, on the platform's thread, and must not
    // block; a later call replaces it, an empty one stops it. A connection already gone
    // when the handler is set is reported to it at once, so a loss is never missed between
    // connecting and listening. A stack that cannot tell fails the call; the link then
    // learns of a loss only from its heartbeat.
    virtual Status on_link_state(LinkStateHandler handler) = 0;
};

using AdvertisementHandler = std::function<void(const Advertisement&)>;

class Watcher {
public:
    virtual ~Watcher() = default;
    virtual Status set_active_scanning() = 0;
    virtual Status on_received(AdvertisementHandler handler) = 0;
    virtual Status start() = 0;
};

// The platform entry points: one watcher for the run, devices by address.
class Adapter {
public:
    virtual ~Adapter() = default;
    virtual Result<std::unique_ptr<Watcher>> create_watcher() = 0;
    virtual Result<std::shared_ptr<Device>> device_from_address(std::uint64_t address) = 0;
};

}  // namespace dovan::ble
