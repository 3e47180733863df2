// The settings both ends must agree on: sent once per session while PAIRED and again when
// the TCP channel is bound; the phone's values are taken over and saved.
//
// Events: ConfigSyncReceived.
// Steps: SessionStartup.
#pragma once

#include "features/feature.h"

namespace dovan {

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
