#include "features/media.h"

#include <algorithm>
#include <cmath>

#include "protocol/frame.h"
#include "protocol/messages.h"

namespace dovan {

namespace {

// Media texts are one-line labels; a longer one is a confused or hostile phone.
constexpr std::size_t kMediaTextLimit = 1024;

std::string label(const std::string& raw) { return utf8_lossy(utf8_cut(raw, kMediaTextLimit)); }

MediaView media_view(const pb::MediaState& m) {
    MediaView v;
    v.title = label(m.title());
    v.artist = label(m.artist());
    v.album = label(m.album());
    v.package = label(m.package());
    v.playing = m.playing();
    v.position_ms = m.position_ms();
    v.duration_ms = m.duration_ms();
    const float speed = m.speed();
    // A NaN, infinite or absurd speed shows as normal speed rather than overflowing.
    v.speed_percent = std::isfinite(speed) && speed > 0.0f && speed < 100.0f
                          ? static_cast<std::int32_t>(std::lround(speed * 100.0f))
                          : 100;
    v.volume = m.volume();
    return v;
}

}  // namespace

bool Media::on_event(const AppEvent& event) {
    switch (event.kind) {
        case AppEventKind::MediaStateReceived: {
            const auto* m = event.as<MessageEvent<pb::MediaState>>();
            if (m == nullptr || !host_.modules().media()) return true;
            MediaView v = media_view(m->message);
            auto g = host_.ui().lock();
            g->emit(feed::MediaStored{v.playing, v.position_ms, v.duration_ms, v.volume, v.package, v.title, v.artist,
                                      v.album});
            g->media = std::move(v);
            g->bump();
            return true;
        }
        case AppEventKind::MediaCommandReceived:
            // The PC commands, the phone plays; a command coming this way is a confused peer.
            host_.push_notice("收到对端发来的播放指令（本端是指令发起方，已忽略）");
            return true;
        default:
            return false;
    }
}

void Media::on_requests(UiRequests& requests) {
    if (!requests.media) return;
    const MediaCommandRequest r = *requests.media;
    requests.media.reset();
    if (!host_.modules().media()) {
        host_.push_notice("媒体控制已在设置中关闭（重启后生效）");
        return;
    }
    Engine* e = host_.engine();
    bool sent = false;
    if (e != nullptr && e->state() == EngineState::Paired) {
        pb::MediaCommand m;
        m.set_action(r.action);
        m.set_volume(r.volume);
        m.set_delta_ms(r.delta_ms);
        sent = e->send_business(MEDIA_COMMAND, encode_media_command(m), host_.clock().wall_ms(), false);
        if (sent && !e->tcp_bound()) {
            while (!unwritten_.empty() && unwritten_.front() <= e->ble_fragments_written()) unwritten_.pop_front();
            unwritten_.push_back(e->ble_fragments_queued());
            if (unwritten_.size() > kMaxTrackedCommands) unwritten_.pop_front();
        }
    }
    if (!sent) host_.push_notice("播放指令未发出：尚未配对，或链路未就绪");
}

void Media::on_link(const LinkChange& change) {
    using Kind = LinkChange::Kind;
    if (change.kind != Kind::BleLost && change.kind != Kind::EngineEnding) {
        if (change.kind == Kind::EngineGone || change.kind == Kind::Unbound) unwritten_.clear();
        return;
    }
    const Engine* e = host_.engine();
    const std::uint64_t written = e != nullptr ? e->ble_fragments_written() : 0;
    const auto lost = std::count_if(unwritten_.begin(), unwritten_.end(), [written](std::uint64_t m) { return m > written; });
    unwritten_.clear();
    if (lost == 1) host_.push_notice(kMediaNotDelivered);
    if (lost > 1) host_.push_notice(format_text("{} 条{}", lost, kMediaNotDelivered));
}

}  // namespace dovan
