// What the engine fuzz targets share: two RSA identities made once per process (generation
// is slow) and the configuration of a PC (role 0) or phone (role 1) engine that trust
// each other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/identity.h"
#include "protocol/product.h"
#include "session/engine.h"

namespace dovan::fuzz {

struct Keys {
    DeviceIdentity pc;
    DeviceIdentity phone;
};

inline const Keys& keys() {
    static const Keys* const k = [] {
        auto pc = DeviceIdentity::generate();
        auto phone = DeviceIdentity::generate();
        invariant(pc.ok() && phone.ok(), "fuzz identities");
        return new Keys{std::move(*pc), std::move(*phone)};
    }();
    return *k;
}

inline EngineConfig paired_config(std::uint8_t role, std::size_t ble_mtu = 23) {
    EngineConfig c;
    c.role = role;
    c.device_name = role == 0 ? std::string(kPcDeviceName) : "Phone";
    c.app_version = "0.5.3";
    c.hello_counter_start = 77 + role;
    c.ble_mtu = ble_mtu;
    for (std::size_t i = 0; i < c.static_private_key.size(); ++i)
        c.static_private_key[i] = static_cast<std::uint8_t>(i * 13 + 5 + role * 31);
    c.identity = role == 0 ? keys().pc : keys().phone;
    c.trusted = {{role == 0 ? keys().phone.fingerprint() : keys().pc.fingerprint(), ""}};
    return c;
}

}  // namespace dovan::fuzz
