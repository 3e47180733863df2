#include "features/file_receive.h"

namespace dovan {

// No transfer exists yet, so no file id is this module's.
bool FileReceive::on_event(const AppEvent&) { return false; }

void FileReceive::on_requests(UiRequests&) {}

void FileReceive::step(TurnStep, Instant) {}

}  // namespace dovan
