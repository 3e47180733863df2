// The central side of the sim radio: simulated phones in one folder, reached over Unix
// sockets, stand in for the Bluetooth stack where there is none.
#pragma once

#include <memory>
#include <string>

#include "platform/ble.h"

namespace dovan::sim {

// The adapter for the folder named by DOVAN_SIM_RADIO.
std::unique_ptr<ble::Adapter> make_sim_adapter(std::string folder);

}  // namespace dovan::sim
