#include "app/core_setup.h"

namespace dovan {

CoreConfig program_core_config(const ProgramParts& program, FrontEndParts front_end, ble::PlatformAdapter platform) {
    CoreConfig c;
    c.ui = program.ui;
    c.data_dir = program.data_dir;
    c.lan.port = program.lan_port;
    c.clipboard = std::move(front_end.clipboard);
    c.window = std::move(front_end.repaint);
    // The sim radio's phones live on this machine, and without a stack there is no phone.
    c.lan.loopback_only = platform.simulated || !platform.adapter;
    c.ble = std::move(platform.adapter);
    c.ble_error = std::move(platform.error);
    return c;
}

}  // namespace dovan
