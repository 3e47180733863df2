#include "features/config_sync.h"

namespace dovan {

bool ConfigSync::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::ConfigSyncReceived:
            return true;
        default:
            return false;
    }
}

void ConfigSync::step(TurnStep, Instant) {}

}  // namespace dovan
