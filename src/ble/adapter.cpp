#include "ble/adapter.h"

#include <cstdlib>

#include "platform/bluez/bluez.h"
#include "platform/debug_log.h"
#include "platform/sim/sim_radio.h"
#include "protocol/product.h"

namespace dovan::ble {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

PlatformAdapter open_platform_adapter() {
    PlatformAdapter out;
    if (const std::string folder = env("DOVAN_SIM_RADIO"); !folder.empty()) {
        out.adapter = sim::make_sim_adapter(folder);
        out.simulated = true;
        if (!out.adapter) {
            out.error = "模拟射频不可用";
            return out;
        }
        console_line("[Dovan] BLE 后端: 模拟射频 " + folder);
        return out;
    }
    bluez::BluezOptions options;
    options.bus_address = env("DOVAN_BLUEZ_BUS");
    if (auto service = Uuid::parse(kServiceUuid)) options.discovery_uuids = {*service};
    bluez::BluezOpen opened = bluez::open_bluez_adapter(options);
    // Without a stack the core's "BLE 初始化失败: {}" notice is the one line that says why.
    if (!opened.adapter) {
        out.error = opened.error;
        return out;
    }
    out.adapter = std::move(opened.adapter);
    console_line("[Dovan] BLE 后端: BlueZ " + opened.adapter_path +
                 (options.bus_address.empty() ? std::string() : "（总线 " + options.bus_address + "）"));
    return out;
}

}  // namespace dovan::ble
