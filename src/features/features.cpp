#include "features/features.h"

#include <algorithm>

#include "features/album.h"
#include "features/clipboard.h"
#include "features/config_sync.h"
#include "features/device_status.h"
#include "features/file_receive.h"
#include "features/file_send.h"
#include "features/media.h"
#include "features/notifications.h"

namespace dovan {

Features::Modules Features::standard(FeatureHost& host) {
    Modules m;
    m.notifications = std::make_unique<Notifications>(host);
    m.clipboard = std::make_unique<ClipboardSync>(host);
    m.media = std::make_unique<Media>(host);
    m.device_status = std::make_unique<DeviceStatus>(host);
    m.config_sync = std::make_unique<ConfigSync>(host);
    m.file_send = std::make_unique<FileSend>(host);
    auto receive = std::make_unique<FileReceive>(host);
    auto album = std::make_unique<Album>(host);
    // Album originals arrive as files; the album says where each goes.
    receive->set_full_size_sink(album.get());
    m.file_receive = std::move(receive);
    m.album = std::move(album);
    return m;
}

Features::Features(Modules modules) : m_(std::move(modules)) {
    each([](Feature* f) { invariant(f != nullptr, "every feature slot holds a module"); });
}

template <class F>
void Features::each(F&& f) const {
    for (Feature* module : {m_.notifications.get(), m_.clipboard.get(), m_.media.get(), m_.device_status.get(),
                            m_.config_sync.get(), m_.file_send.get(), m_.file_receive.get(), m_.album.get()}) {
        f(module);
    }
}

bool Features::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::NotificationPushed:
        case AppEventKind::NotificationReplyRequested:
        case AppEventKind::NotificationReplyAcked:
        case AppEventKind::NotificationDismissed:
            return m_.notifications->on_event(event);
        case AppEventKind::ClipboardReceived:
            return m_.clipboard->on_event(event);
        case AppEventKind::MediaStateReceived:
        case AppEventKind::MediaCommandReceived:
            return m_.media->on_event(event);
        case AppEventKind::DeviceStatusReceived:
            return m_.device_status->on_event(event);
        case AppEventKind::ConfigSyncReceived:
            return m_.config_sync->on_event(event);
        case AppEventKind::FileMetaReceived:
            return m_.file_receive->on_event(event);
        case AppEventKind::FileDoneReceived:
            return m_.file_receive->on_event(event) || m_.file_send->on_event(event);
        case AppEventKind::ResumeRequested:
            return m_.file_send->on_event(event);
        case AppEventKind::TransferInterrupted:
        case AppEventKind::TransferCancelled:
            return m_.file_send->on_event(event) || m_.file_receive->on_event(event);
        case AppEventKind::AlbumListRequested:
        case AppEventKind::AlbumThumbRequested:
        case AppEventKind::AlbumFullRequested:
        case AppEventKind::AlbumListReceived:
        case AppEventKind::AlbumThumbReceived:
            return m_.album->on_event(event);
        // The session's own events stay with the core.
        case AppEventKind::StateChanged:
        case AppEventKind::PeerHello:
        case AppEventKind::SasReady:
        case AppEventKind::PeerTrusted:
        case AppEventKind::IdentityChanged:
        case AppEventKind::TcpBound:
        case AppEventKind::TcpUnbound:
        case AppEventKind::EngineError:
            return false;
    }
    return false;
}

void Features::session_requests(UiRequests& requests) {
    m_.clipboard->on_requests(requests);
    m_.media->on_requests(requests);
    m_.notifications->on_requests(requests);
}

void Features::requests_without_session(UiRequests& requests) {
    // The module finds no session to send over and says so on the reply.
    m_.notifications->on_requests(requests);
}

void Features::queue_requests(UiRequests& requests) {
    m_.file_send->on_requests(requests);
    m_.file_receive->on_requests(requests);
    m_.album->on_requests(requests);
}

void Features::step(TurnStep at, Instant now) {
    each([&](Feature* f) { f->step(at, now); });
}

void Features::on_link(const LinkChange& change) {
    each([&](Feature* f) { f->on_link(change); });
}

std::optional<Instant> Features::next_deadline() const {
    std::optional<Instant> first;
    each([&](Feature* f) {
        if (auto d = f->next_deadline(); d && (!first || *d < *first)) first = d;
    });
    return first;
}

}  // namespace dovan
