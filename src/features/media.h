// The phone's media-playback state, and playback commands from the PC.
//
// Events: MediaStateReceived, MediaCommandReceived.
// Requests: media.
#pragma once

#include <deque>

#include "features/feature.h"

namespace dovan {

class Media final : public Feature {
public:
    explicit Media(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "media"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    // A command the lost link had not written out is reported as not delivered.
    void on_link(const LinkChange& change) override;

private:
    FeatureHost& host_;
    // The engine's BLE fragment count once each command sent over BLE was queued.
    std::deque<std::uint64_t> unwritten_;
};

inline constexpr std::string_view kMediaNotDelivered = "播放指令没有送达：与手机的蓝牙连接断开了";
inline constexpr std::size_t kMaxTrackedCommands = 32;

}  // namespace dovan
