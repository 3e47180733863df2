// The controls a click can reach, as action ids with an optional index, and the hit-test
// that finds one under the pointer using the same layout rules as the painters.
#pragma once

#include <cstdint>

#include "shell/layout.h"
#include "shell/ui_state.h"

namespace dovan {

enum ActionId : std::uint8_t {
    kActNav = 0,              // index: page number
    kActDevice = 1,           // index: device id
    kActSasConfirm = 2,
    kActSasReject = 3,
    kActClipSend = 4,
    kActClipSync = 5,
    kActNotificationRow = 6,  // index: notification
    kActNotificationCode = 7,
    kActNotificationReply = 8,
    kActReplyBox = 9,
    kActReplySend = 10,
    kActAppearance = 11,      // index: 0 follow system, 1 light, 2 dark
    kActToast = 12,
    kActToastContent = 13,
    kActAutoConnect = 14,
    kActAutostart = 15,
    kActCloseBehavior = 16,
    kActSendBox = 17,
    kActSendFiles = 18,
    kActPickFiles = 19,
    kActFileRow = 20,         // index: list row
    kActChangeInbox = 21,
    kActManualIpBox = 22,
    kActManualConnect = 23,
    kActUnbind = 24,          // index: row
    kActIdentityAccept = 25,
    kActIdentityDismiss = 26,
    kActDebug = 27,
    kActExportLog = 28,
    kActMedia = 29,           // index: 0 previous, 1 play/pause, 2 next, 3 volume −, 4 volume +
    kActModule = 30,          // index: module 0…4
    kActRestart = 31,
    kActRestartNow = 32,
    kActRestartLater = 33,
    kActCloseMinimize = 34,
    kActCloseExit = 35,
    kActCloseCancel = 36,
    kActCloseRemember = 37,
    kActAlbumToolbar = 38,    // index: 0 refresh, 1 previous, 2 next, 3 select all/none, 4 export
    kActAlbumCell = 39,       // index: item
    kActAlbumScroll = 40,     // index: scroll row under the pointer
    kActNotificationScroll = 41,
    kActFileOpen = 42,        // index: list row
    kActFileReveal = 43,      // index: list row
    kActNone = 255,
};

struct Action {
    std::uint8_t id = kActNone;
    std::uint64_t index = 0;
    bool operator==(const Action&) const = default;
    HoverTarget as_hover() const { return {id, index}; }
};

// The control under (x, y) in DIP, or kActNone.
Action hit_test(const UiState& s, LoadedModules modules, const Metrics& m, double x, double y);

}  // namespace dovan
