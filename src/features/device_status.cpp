#include "features/device_status.h"

namespace dovan {

bool DeviceStatus::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::DeviceStatusReceived:
            return true;
        default:
            return false;
    }
}

}  // namespace dovan
