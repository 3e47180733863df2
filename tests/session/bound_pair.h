// A paired PC engine and phone engine joined by an in-memory BLE link (fragments) and an
// in-memory TCP pipe (whole frames), for tests of channel binding and routing.
#pragma once

#include <gtest/gtest.h>

#include "crypto/identity.h"
#include "platform/clock.h"
#include "session/engine.h"
#include "session/engine_test_support.h"

namespace dovan::test {

struct PairIdentities {
    DeviceIdentity pc;
    DeviceIdentity phone;
};

inline const PairIdentities& pair_identities() {
    static const PairIdentities* const ids = [] {
        auto pc = DeviceIdentity::generate();
        auto phone = DeviceIdentity::generate();
        invariant(pc.ok() && phone.ok(), "test identities");
        return new PairIdentities{std::move(*pc), std::move(*phone)};
    }();
    return *ids;
}

inline EngineConfig paired_config(std::uint8_t role) {
    auto c = base_config(role);
    const auto& ids = pair_identities();
    c.identity = role == 0 ? ids.pc : ids.phone;
    c.trusted = {{role == 0 ? ids.phone.fingerprint() : ids.pc.fingerprint(), ""}};
    return c;
}

struct BoundPair {
    FakeClock clock;
    Engine pc{paired_config(0)};
    Engine phone{paired_config(1)};

    BoundPair() {
        pc.open_with_hello(clock.now());
        pump();
        invariant(pc.state() == EngineState::Paired && phone.state() == EngineState::Paired,
                  "trusted pair reaches PAIRED");
        pc.take_events();
        phone.take_events();
    }

    static void ble(Engine& from, Engine& to, Instant now) {
        while (auto next_ = from.next_ble_fragment()) {
            Bytes v = std::move(*next_);
            to.take_ble_value(v, now);
        }
    }
    static void tcp(Engine& from, Engine& to, Instant now) {
        while (auto next_ = from.next_tcp_frame()) {
            Bytes f = std::move(*next_);
            // As the core does: only what the engine authenticated counts as the peer alive.
            if (to.handle_tcp_frame_in_place(f)) to.note_tcp_receive(now);
        }
    }
    void ble_to_pc() { ble(phone, pc, clock.now()); }
    void ble_to_phone() { ble(pc, phone, clock.now()); }
    void tcp_to_pc() { tcp(phone, pc, clock.now()); }
    void tcp_to_phone() { tcp(pc, phone, clock.now()); }

    // Moves everything both ways on both links until all four queues are empty.
    void pump() {
        for (int guard = 0; guard < 100; ++guard) {
            if (pc.ble_out().empty() && phone.ble_out().empty() && pc.tcp_out().empty() &&
                phone.tcp_out().empty())
                return;
            ble_to_phone();
            ble_to_pc();
            tcp_to_phone();
            tcp_to_pc();
        }
        ADD_FAILURE() << "links never went quiet";
    }

    // A TCP connection appears and both sides bind it.
    void bind() {
        pc.start_bind_server();
        phone.start_bind_client();
        pump();
        invariant(pc.tcp_bound() && phone.tcp_bound(), "binding completes");
        pc.take_events();
        phone.take_events();
    }
};

}  // namespace dovan::test
