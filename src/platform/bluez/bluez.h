// The BLE platform interface over BlueZ, reached on the D-Bus system bus (or another bus
// named by its address, which is how tests reach a stand-in on a private bus).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/ble.h"

namespace dovan::bluez {

struct BluezOptions {
    std::string bus_address;  // empty: the system bus
    // BlueZ reports only devices advertising one of these (empty: every device).
    std::vector<ble::Uuid> discovery_uuids;
    // Bounds on every wait the core may sit in: connecting, service resolution and method
    // replies during connect; and how long a write may stay unanswered before it is an Error.
    std::chrono::milliseconds connect_timeout{10000};
    std::chrono::milliseconds call_timeout{5000};
    std::chrono::milliseconds write_timeout{5000};
    // While scanning, a device BlueZ holds a link to (Connected or ServicesResolved), or held
    // one within `presence_grace`, counts as seen every `presence_interval`: a phone that
    // stops advertising while linked keeps its place in the scan list.
    std::chrono::milliseconds presence_interval{3000};
    std::chrono::milliseconds presence_grace{30000};
};

struct BluezOpen {
    std::shared_ptr<ble::Adapter> adapter;  // null: `error` says why
    std::string error;
    std::string adapter_path;  // the adapter in use, e.g. /org/bluez/hci0
};

// Connects to the bus, checks that bluetoothd is there with a powered adapter, and serves
// the interface from that adapter. Reasons when it cannot: "bluetoothd not running",
// "no Bluetooth adapter", "adapter powered off".
BluezOpen open_bluez_adapter(const BluezOptions& options);

}  // namespace dovan::bluez
