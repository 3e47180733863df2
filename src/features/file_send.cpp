#include "features/file_send.h"

namespace dovan {

// No transfer exists yet, so no file id is this module's.
bool FileSend::on_event(const AppEvent&) { return false; }

void FileSend::on_requests(UiRequests&) {}

void FileSend::step(TurnStep, Instant) {}

}  // namespace dovan
