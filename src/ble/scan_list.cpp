#include "ble/scan_list.h"

#include <algorithm>

namespace dovan::ble {

bool ScanList::note(std::uint64_t address, std::string_view name, Instant now) {
    std::lock_guard lock(mu_);
    last_seen_[address] = now;
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [address](const ScannedDevice& d) { return d.address == address; });
    if (it == devices_.end()) {
        devices_.push_back(ScannedDevice{address, std::string(name)});
        return true;
    }
    const bool renamed = !name.empty() && name != it->name;
    ScannedDevice seen{address, name.empty() ? std::move(it->name) : std::string(name)};
    devices_.erase(it);
    devices_.push_back(std::move(seen));
    return renamed;
}

std::size_t ScanList::expire(Instant now, Duration max_age) {
    std::lock_guard lock(mu_);
    const std::size_t before = devices_.size();
    std::erase_if(devices_, [&](const ScannedDevice& d) {
        auto seen = last_seen_.find(d.address);
        if (seen != last_seen_.end() && now - seen->second < max_age) return false;
        if (seen != last_seen_.end()) last_seen_.erase(seen);
        return true;
    });
    return before - devices_.size();
}

std::vector<ScannedDevice> ScanList::devices() const {
    std::lock_guard lock(mu_);
    return devices_;
}

std::optional<ScannedDevice> ScanList::find(std::uint64_t address) const {
    std::lock_guard lock(mu_);
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (it->address == address) return *it;
    }
    return std::nullopt;
}

std::optional<ScannedDevice> ScanList::find_named(const std::vector<std::string>& names,
                                                  const std::vector<std::uint64_t>& passed_over) const {
    std::lock_guard lock(mu_);
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (std::find(passed_over.begin(), passed_over.end(), it->address) != passed_over.end()) continue;
        if (std::find(names.begin(), names.end(), it->name) != names.end()) return *it;
    }
    return std::nullopt;
}

std::optional<Instant> ScanList::last_seen(std::uint64_t address) const {
    std::lock_guard lock(mu_);
    auto it = last_seen_.find(address);
    if (it == last_seen_.end()) return std::nullopt;
    return it->second;
}

}  // namespace dovan::ble
