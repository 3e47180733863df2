// The Dovan GATT service as a sim-radio peripheral serves it, for the phone simulator and
// tests that stand in for a phone.
#pragma once

#include "platform/sim/sim_peripheral.h"

namespace dovan::ble {

// The service with its write characteristic and its notify characteristic.
sim::ServiceSpec dovan_sim_service();

}  // namespace dovan::ble
