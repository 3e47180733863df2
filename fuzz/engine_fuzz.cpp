// A phone-side (responder) engine, paired with a PC engine through a real handshake once
// per process and restored from that snapshot for every input, fed whatever the fuzzer makes: raw BLE values, whole frames on either link,
// frames the PC seals properly (so the decrypted paths are reached), timer steps and the
// user's pairing actions. Nothing a peer sends may crash the engine or trip an invariant.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "crypto/identity.h"
#include "platform/clock.h"
#include "protocol/frame.h"
#include "session/engine.h"

#include "engine_pair.h"

namespace {

using namespace dovan;

EngineConfig config(std::uint8_t role) { return fuzz::paired_config(role); }

void pump(Engine& a, Engine& b, Instant now) {
    for (int round = 0; round < 64 && (!a.ble_out().empty() || !b.ble_out().empty()); ++round) {
        while (auto next_ = a.next_ble_fragment()) {
            Bytes v = std::move(*next_);
            b.take_ble_value(v, now);
        }
        while (auto next_ = b.next_ble_fragment()) {
            Bytes v = std::move(*next_);
            a.take_ble_value(v, now);
        }
    }
}

struct Pair {
    std::unique_ptr<Engine> pc;
    std::unique_ptr<Engine> phone;
};

// The handshake costs two RSA signatures and X25519; every input starts from its end.
const Pair& paired() {
    static const Pair* const pair = [] {
        FakeClock clock;
        auto* p = new Pair{std::make_unique<Engine>(config(0)), std::make_unique<Engine>(config(1))};
        p->pc->open_with_hello(clock.now());
        pump(*p->pc, *p->phone, clock.now());
        invariant(p->pc->state() == EngineState::Paired && p->phone->state() == EngineState::Paired,
                  "fuzz pair pairs");
        p->pc->take_events();
        p->phone->take_events();
        return p;
    }();
    return *pair;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FakeClock clock;
    const auto pc_owned = paired().pc->snapshot();
    const auto phone_owned = paired().phone->snapshot();
    Engine& pc = *pc_owned;
    Engine& phone = *phone_owned;

    std::size_t pos = 0;
    while (pos + 3 <= size) {
        const std::uint8_t op = data[pos];
        const std::size_t len = std::min<std::size_t>((data[pos + 1] << 8) | data[pos + 2], size - pos - 3);
        const ByteView chunk(data + pos + 3, len);
        pos += 3 + len;
        switch (op % 8) {
            case 0: phone.take_ble_value(chunk, clock.now()); break;
            case 1: phone.handle_frame(chunk, Transport::Ble); break;
            case 2: phone.handle_frame(chunk, Transport::Tcp); break;
            case 3:
                if (!chunk.empty()) pc.send_encrypted_ble(chunk[0], chunk.subspan(1));
                break;
            case 4:
                if (!chunk.empty()) pc.send_encrypted_tcp(chunk[0], chunk.subspan(1));
                while (auto frame = pc.next_tcp_frame()) phone.handle_frame(*frame, Transport::Tcp);
                break;
            case 5:
                clock.advance(std::chrono::seconds(len % 70));
                phone.timer_step(clock.now());
                pc.timer_step(clock.now());
                break;
            case 6:
                switch (len % 3) {
                    case 0: phone.confirm_sas(); break;
                    case 1: phone.reject_pairing(); break;
                    default: phone.reaccept_identity(); break;
                }
                break;
            default:
                pc.send_clear_ble(chunk.empty() ? HEARTBEAT : chunk[0],
                                  chunk.empty() ? ByteView{} : chunk.subspan(1));
                break;
        }
        pump(pc, phone, clock.now());
        phone.take_events();
        pc.take_events();
        (void)phone.take_tcp_frames();
        (void)phone.take_chunks();
    }
    return 0;
}
