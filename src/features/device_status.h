// The phone's battery level and charging state.
//
// Events: DeviceStatusReceived.
#pragma once

#include "features/feature.h"

namespace dovan {

class DeviceStatus final : public Feature {
public:
    explicit DeviceStatus(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "device_status"; }
    bool on_event(const AppEvent& event) override;

private:
    [[maybe_unused]] FeatureHost& host_;
};

}  // namespace dovan
