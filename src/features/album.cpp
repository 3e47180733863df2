#include "features/album.h"

namespace dovan {

bool Album::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::AlbumListReceived:
        case AppEventKind::AlbumThumbReceived:
            return true;
        case AppEventKind::AlbumListRequested:
        case AppEventKind::AlbumThumbRequested:
        case AppEventKind::AlbumFullRequested:
            // Only the PC browses; the phone asking for a page is a confused peer.
            host_.push_notice("收到对端发来的相册请求（本端是发起方，已忽略）");
            return true;
        default:
            return false;
    }
}

void Album::on_requests(UiRequests&) {}

void Album::step(TurnStep, Instant) {}

}  // namespace dovan
