// The phones seen advertising lately. The watcher's callback records sightings on the
// platform's thread; the core reads, looks up and expires entries on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace dovan {

struct ScannedDevice {
    std::uint64_t address = 0;
    std::string name;
    bool operator==(const ScannedDevice&) const = default;
};

namespace ble {

class ScanList {
public:
    // Records a sighting: the device moves last; an empty name keeps the one it had.
    // True when what the list shows changed (a new device or a new name).
    bool note(std::uint64_t address, std::string_view name, Instant now);
    // Drops devices silent for `max_age` or longer; returns how many went.
    std::size_t expire(Instant now, Duration max_age);

    // Order of last sighting, latest last.
    std::vector<ScannedDevice> devices() const;
    std::optional<ScannedDevice> find(std::uint64_t address) const;
    // The most recently seen device advertising one of the names, other than those passed over.
    std::optional<ScannedDevice> find_named(const std::vector<std::string>& names,
                                            const std::vector<std::uint64_t>& passed_over = {}) const;
    std::optional<Instant> last_seen(std::uint64_t address) const;

private:
    mutable std::mutex mu_;
    std::vector<ScannedDevice> devices_;
    std::map<std::uint64_t, Instant> last_seen_;
};

}  // namespace ble
}  // namespace dovan
