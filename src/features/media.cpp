#include "features/media.h"

namespace dovan {

bool Media::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::MediaStateReceived:
            return true;
        case AppEventKind::MediaCommandReceived:
            // The PC commands, the phone plays; a command coming this way is a confused peer.
            host_.push_notice("收到对端发来的播放指令（本端是指令发起方，已忽略）");
            return true;
        default:
            return false;
    }
}

void Media::on_requests(UiRequests&) {}

}  // namespace dovan
