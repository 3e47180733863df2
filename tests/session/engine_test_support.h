// Shared helpers for engine tests: configurations, decoding what an engine queued, and
// reading the errors it reported.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/ble_frag.h"
#include "protocol/frame.h"
#include "protocol/product.h"
#include "protocol/tlv_codec.h"
#include "session/engine.h"

namespace dovan::test {

inline EngineConfig base_config(std::uint8_t role) {
    EngineConfig c;
    c.role = role;
    c.os = role == 0 ? 2 : 1;
    c.device_name = role == 0 ? std::string(kPcDeviceName) : "Pixel 8";
    c.app_version = "0.5.3";
    c.hello_counter_start = role == 0 ? 1000 : 5000;
    for (std::size_t i = 0; i < c.static_private_key.size(); ++i)
        c.static_private_key[i] = static_cast<std::uint8_t>(i * 7 + 1 + role * 100);
    return c;
}

inline std::vector<std::string> error_texts(const std::vector<AppEvent>& events) {
    std::vector<std::string> out;
    for (const auto& e : events)
        if (auto* err = e.as<EngineErrorEvent>()) out.push_back(err->text);
    return out;
}

inline std::vector<EngineErrorEvent> errors_of(const std::vector<AppEvent>& events) {
    std::vector<EngineErrorEvent> out;
    for (const auto& e : events)
        if (auto* err = e.as<EngineErrorEvent>()) out.push_back(*err);
    return out;
}

inline std::vector<EngineState> states_of(const std::vector<AppEvent>& events) {
    std::vector<EngineState> out;
    for (const auto& e : events)
        if (auto* s = e.as<StateChangedEvent>()) out.push_back(s->state);
    return out;
}

inline std::size_t count_kind(const std::vector<AppEvent>& events, AppEventKind kind) {
    std::size_t n = 0;
    for (const auto& e : events) n += e.kind == kind;
    return n;
}

// Reassembles everything the engine queued for BLE (and clears the queue).
inline std::vector<Frame> drain_ble_frames(Engine& e) {
    BleReassembler r;
    std::vector<Frame> frames;
    const Instant now{};
    while (auto value = e.next_ble_fragment()) {
        auto got = r.take(*value, now);
        EXPECT_TRUE(got.ok());
        if (got.ok() && got->has_value()) {
            auto f = decode_frame(**got);
            EXPECT_TRUE(f.ok());
            if (f.ok()) frames.push_back(std::move(*f));
        }
    }
    return frames;
}

inline std::vector<Frame> drain_tcp_frames(Engine& e) {
    std::vector<Frame> frames;
    while (auto frame = e.next_tcp_frame()) {
        auto f = decode_frame(*frame);
        EXPECT_TRUE(f.ok());
        if (f.ok()) frames.push_back(std::move(*f));
    }
    return frames;
}

inline Bytes clear_frame(std::uint8_t type, ByteView payload, std::uint32_t seq = 0) {
    FrameHeader h;
    h.type = type;
    h.seq = seq;
    h.payload_len = static_cast<std::uint32_t>(payload.size());
    auto f = encode_frame(h, payload);
    EXPECT_TRUE(f.ok());
    return f.ok() ? *f : Bytes{};
}

inline Bytes tlvs(std::vector<TlvRecord> records) {
    auto b = encode_tlvs(records);
    EXPECT_TRUE(b.ok());
    return b.ok() ? *b : Bytes{};
}

inline Bytes be64(std::uint64_t v) {
    Bytes b;
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

inline Bytes hello_payload(const std::string& name, std::uint64_t counter) {
    return tlvs({{TAG_NAME, Bytes(name.begin(), name.end())},
                 {TAG_OS, Bytes{1}},
                 {TAG_VERSION, Bytes{'1', '.', '0'}},
                 {TAG_HELLO_SEQ, be64(counter)}});
}

// Walks an engine through the table to `target` with raw engine events.
inline void reach_state(Engine& e, EngineState target) {
    using K = EngineEventKind;
    auto go = [&](EngineEvent ev) { ASSERT_TRUE(e.transition(ev)); };
    switch (target) {
        case EngineState::Discover: break;
        case EngineState::Handshake: go({K::PeerDiscovered}); break;
        case EngineState::Pairing:
            go({K::PeerDiscovered});
            go(EngineEvent::handshake_complete(TrustVerdict::NewPeer));
            break;
        case EngineState::SasCompare:
            go({K::PeerDiscovered});
            go(EngineEvent::handshake_complete(TrustVerdict::NewPeer));
            go({K::SasConfirmed});
            break;
        case EngineState::Paired:
            go({K::PeerDiscovered});
            go(EngineEvent::handshake_complete(TrustVerdict::Matched));
            break;
        case EngineState::Repaired:
            go({K::PeerDiscovered});
            go(EngineEvent::handshake_complete(TrustVerdict::Mismatch));
            break;
        case EngineState::Reconnecting:
            go({K::PeerDiscovered});
            go({K::HeartbeatTimeout});
            break;
        case EngineState::Closed: go({K::UserDisconnect}); break;
    }
    ASSERT_EQ(e.state(), target);
}

}  // namespace dovan::test
