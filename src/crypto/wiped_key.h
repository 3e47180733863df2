// A private key that leaves no copy of itself behind in memory it no longer owns.
#pragma once

#include "crypto/primitives.h"

namespace dovan {

// A 32-byte key, used wherever a Key32 is, that is wiped when it dies and when it is moved
// from. A value that only passes a key along (a configuration built, returned and moved
// into its owner) thus takes the key with it instead of leaving it in a dead temporary.
// Copies are separate keys, each wiped in turn.
struct WipedKey32 : Key32 {
    WipedKey32() : Key32{} {}
    WipedKey32(const WipedKey32&) = default;
    WipedKey32& operator=(const WipedKey32&) = default;
    WipedKey32(WipedKey32&& other) noexcept : Key32(other) { other.wipe(); }
    WipedKey32& operator=(WipedKey32&& other) noexcept {
        if (this != &other) {
            Key32::operator=(other);
            other.wipe();
        }
        return *this;
    }
    ~WipedKey32() { wipe(); }

    void wipe() noexcept;
};

}  // namespace dovan
