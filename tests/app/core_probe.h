// The core's state for tests that check what its steps leave behind.
#pragma once

#include "app/core.h"

namespace dovan {

class CoreProbe {
public:
    static CoreState& state(Core& core) { return core.st_; }
};

}  // namespace dovan
