// Which BLE stack the program talks to: the sim radio when DOVAN_SIM_RADIO names its
// folder, else BlueZ on the system bus (or on the bus DOVAN_BLUEZ_BUS names).
#pragma once

#include <memory>
#include <string>

#include "platform/ble.h"

namespace dovan::ble {

struct PlatformAdapter {
    std::shared_ptr<Adapter> adapter;  // null: no stack, `error` says why
    std::string error;
    // The sim radio's phones live on this machine, so the LAN side must stay on loopback.
    bool simulated = false;
};

// Writes one "[Dovan] …" console line naming the stack in use.
PlatformAdapter open_platform_adapter();

}  // namespace dovan::ble
