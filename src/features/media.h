// The phone's media-playback state, and playback commands from the PC.
//
// Events: MediaStateReceived, MediaCommandReceived.
// Requests: media.
#pragma once

#include "features/feature.h"

namespace dovan {

class Media final : public Feature {
public:
    explicit Media(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "media"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;

private:
    FeatureHost& host_;
};

}  // namespace dovan
