#include "features/config_sync.h"

#include "protocol/frame.h"
#include "protocol/messages.h"

namespace dovan {

bool ConfigSync::on_event(const AppEvent& event) {
    if (event.kind != AppEventKind::ConfigSyncReceived) return false;
    const auto* m = event.as<MessageEvent<pb::ConfigSync>>();
    if (m == nullptr) return true;
    bool changed = false;
    bool upload_turned_on = false;
    {
        auto g = host_.ui().lock();
        UiSettings& s = g->settings;
        const bool clip_sync_before = s.clip_sync;
        for (const pb::ConfigEntry& entry : m->message.entries()) {
            if (entry.scope() != "cross" && entry.scope() != "per_peer") continue;
            bool* target = entry.key() == "notify.toast.enabled"        ? &s.toast_enabled
                           : entry.key() == "notify.toast.show_content" ? &s.toast_show_content
                           : entry.key() == "clip.sync"                 ? &s.clip_sync
                                                                        : nullptr;
            if (target == nullptr) continue;
            const bool on = entry.value() == "1";
            changed |= *target != on;
            *target = on;
        }
        upload_turned_on = !clip_sync_before && s.clip_sync;
        if (changed) g->bump();
    }
    // The phone's value wins, but sending what is copied here is never turned on silently.
    if (upload_turned_on) host_.push_notice(kPhoneTurnedClipSyncOn);
    if (changed) {
        host_.save_settings();
        host_.request_repaint();
    }
    return true;
}

bool ConfigSync::send() {
    Engine* e = host_.engine();
    if (e == nullptr || e->state() != EngineState::Paired) return false;
    UiSettings s;
    {
        auto g = host_.ui().lock();
        s = g->settings;
    }
    pb::ConfigSync sync;
    auto add = [&](const char* key, bool on, const char* scope) {
        pb::ConfigEntry* entry = sync.add_entries();
        entry->set_key(key);
        entry->set_value(on ? "1" : "0");
        entry->set_scope(scope);
    };
    add("notify.toast.enabled", s.toast_enabled, "cross");
    add("notify.toast.show_content", s.toast_show_content, "cross");
    add("clip.sync", s.clip_sync, "per_peer");
    return e->send_business(CONFIG_SYNC, encode_config_sync(sync), host_.clock().wall_ms(), false);
}

void ConfigSync::step(TurnStep at, Instant) {
    if (at != TurnStep::SessionStartup || sent_) return;
    sent_ = send();
}

void ConfigSync::on_link(const LinkChange& change) {
    switch (change.kind) {
        case LinkChange::Kind::EngineCreated:
        case LinkChange::Kind::EngineGone:
        case LinkChange::Kind::Unbound:
        case LinkChange::Kind::BleLost:  // it may have been among what BLE lost
            sent_ = false;
            return;
        case LinkChange::Kind::TcpBound:
            sent_ = send();
            return;
        case LinkChange::Kind::EngineEnding:
        case LinkChange::Kind::TcpUnbound:
            return;
    }
}

}  // namespace dovan
