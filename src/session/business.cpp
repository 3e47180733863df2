// Business messages of a paired session. Envelope decoding and the per-message rules
// (clipboard limit, file bookkeeping, resume) arrive with outbound routing; until then
// the messages that need no engine bookkeeping are handed to the core undecoded.
#include "session/engine.h"

namespace dovan {

namespace {

std::optional<AppEventKind> plain_message_kind(std::uint8_t type) {
    switch (type) {
        case CONFIG_SYNC: return AppEventKind::ConfigSyncReceived;
        case NOTIFICATION_PUSH: return AppEventKind::NotificationPushed;
        case NOTIFICATION_REPLY: return AppEventKind::NotificationReplyRequested;
        case NOTIFICATION_DISMISS: return AppEventKind::NotificationDismissed;
        case NOTIFICATION_REPLY_ACK: return AppEventKind::NotificationReplyAcked;
        case ALBUM_LIST_REQUEST: return AppEventKind::AlbumListRequested;
        case ALBUM_LIST: return AppEventKind::AlbumListReceived;
        case ALBUM_THUMB_REQUEST: return AppEventKind::AlbumThumbRequested;
        case ALBUM_THUMB: return AppEventKind::AlbumThumbReceived;
        case ALBUM_FULL_REQUEST: return AppEventKind::AlbumFullRequested;
        case MEDIA_STATE: return AppEventKind::MediaStateReceived;
        case MEDIA_COMMAND: return AppEventKind::MediaCommandReceived;
        case DEVICE_STATUS: return AppEventKind::DeviceStatusReceived;
        default: return std::nullopt;
    }
}

}  // namespace

void Engine::dispatch_business(std::uint8_t type, ByteView plaintext) {
    if (auto kind = plain_message_kind(type))
        push_event(*kind, BusinessMessageEvent{Bytes(plaintext.begin(), plaintext.end())});
}

}  // namespace dovan
