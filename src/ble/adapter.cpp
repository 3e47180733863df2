#include "ble/adapter.h"

#include <cstdlib>

#include "platform/sim/sim_radio.h"

namespace dovan::ble {

PlatformAdapter open_platform_adapter() {
    PlatformAdapter out;
    const char* folder = std::getenv("DOVAN_SIM_RADIO");
    if (folder == nullptr || *folder == '\0') {
        out.error = "本机没有可用的蓝牙栈（未设置 DOVAN_SIM_RADIO）";
        return out;
    }
    out.adapter = sim::make_sim_adapter(folder);
    out.simulated = true;
    if (!out.adapter) out.error = "模拟射频不可用";
    return out;
}

}  // namespace dovan::ble
