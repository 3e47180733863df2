#include "features/clipboard.h"

namespace dovan {

bool Clipboard::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::ClipboardReceived:
            return true;
        default:
            return false;
    }
}

void Clipboard::on_requests(UiRequests&) {}

}  // namespace dovan
