// The engine's handshake slot: the Noise state and its message counts.
#pragma once

#include "crypto/noise.h"
#include "session/engine.h"

namespace dovan {

struct Engine::Handshake {
    explicit Handshake(const HandshakeState& s) : state(s) {}
    HandshakeState state;
    int written = 0;
    int read = 0;
};

}  // namespace dovan
