// The settings both ends must agree on: sent once per session while PAIRED and again when
// the TCP channel is bound; the phone's values are taken over and saved, with a notice
// when that turns clipboard sync on.
//
// Events: ConfigSyncReceived.
// Steps: SessionStartup.
#pragma once

#include <string_view>

#include "features/feature.h"

namespace dovan {

// When the phone turns clipboard sync on, text copied on this computer starts going to it.
inline constexpr std::string_view kPhoneTurnedClipSyncOn = "手机开启了剪贴板同步：本机复制的文本会自动发送到手机";

class ConfigSync final : public Feature {
public:
    explicit ConfigSync(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "config_sync"; }
    bool on_event(const AppEvent& event) override;
    void step(TurnStep at, Instant now) override;
    void on_link(const LinkChange& change) override;

private:
    // Sends the three shared settings; true when the engine took the frame.
    bool send();

    FeatureHost& host_;
    // Sent for the current engine; a failed send is retried on the next turn.
    bool sent_ = false;
};

}  // namespace dovan
