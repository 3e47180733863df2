// Which BLE stack the program talks to. Linux has no WinRT stack, so the only backend is
// the sim radio, chosen by DOVAN_SIM_RADIO naming its folder.
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

PlatformAdapter open_platform_adapter();

}  // namespace dovan::ble
