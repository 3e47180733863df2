// The phone's battery level and charging state.
//
// Events: DeviceStatusReceived.
#pragma once

#include "features/feature.h"

namespace dovan {

// A report stamped further ahead of this computer's clock than this cannot be placed in
// time, so it does not hold back the reports after it.
inline constexpr std::uint64_t kStatusFutureSlackMs = 24ull * 3600 * 1000;

class DeviceStatus final : public Feature {
public:
    explicit DeviceStatus(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "device_status"; }
    bool on_event(const AppEvent& event) override;

private:
    FeatureHost& host_;
};

}  // namespace dovan
