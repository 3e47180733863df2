// A PC engine and a phone engine, paired and with their TCP channel bound, sealing
// arbitrary business payloads for each other by type: raw, or inside a well-formed
// envelope so that every message decoder and the file bookkeeping are reached. Between
// messages the fuzzer may move the transfer lock, unbind or bind again. Nothing a peer
// sends may crash either engine or trip an invariant.
#include <cstddef>
#include <cstdint>

#include "crypto/identity.h"
#include "platform/clock.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "session/engine.h"

#include "engine_pair.h"

namespace {

using namespace dovan;

EngineConfig config(std::uint8_t role) { return fuzz::paired_config(role, 517); }

void move_all(Engine& from, Engine& to, Instant now) {
    while (auto next_ = from.next_ble_fragment()) {
        Bytes v = std::move(*next_);
        to.take_ble_value(v, now);
    }
    while (auto next_ = from.next_tcp_frame()) {
        Bytes f = std::move(*next_);
        to.handle_frame(f, Transport::Tcp);
    }
}

void pump(Engine& a, Engine& b, Instant now) {
    for (int round = 0; round < 64; ++round) {
        if (a.ble_out().empty() && b.ble_out().empty() && a.tcp_out().empty() && b.tcp_out().empty())
            return;
        move_all(a, b, now);
        move_all(b, a, now);
    }
}

void bind(Engine& pc, Engine& phone, Instant now) {
    pc.start_bind_server();
    phone.start_bind_client();
    pump(pc, phone, now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FakeClock clock;
    Engine pc(config(0));
    Engine phone(config(1));
    pc.open_with_hello(clock.now());
    pump(pc, phone, clock.now());
    bind(pc, phone, clock.now());
    invariant(pc.tcp_bound() && phone.tcp_bound(), "fuzz pair binds");

    // Each record: op, type, two length bytes, payload.
    std::size_t pos = 0;
    while (pos + 4 <= size) {
        const std::uint8_t op = data[pos];
        const std::uint8_t type = data[pos + 1];
        const std::size_t len = std::min<std::size_t>((data[pos + 2] << 8) | data[pos + 3], size - pos - 4);
        const ByteView payload(data + pos + 4, len);
        pos += 4 + len;

        Engine& from = (op & 1) ? pc : phone;
        switch ((op >> 1) & 7) {
            case 0:  // raw plaintext on BLE
                from.send_encrypted_ble(type, payload);
                break;
            case 1:  // raw plaintext on TCP
                from.send_encrypted_tcp(type, payload);
                break;
            case 2:
            case 3:  // a well-formed envelope around an arbitrary body, routed
                from.send_business(type, payload, len, (op & 0x10) != 0);
                break;
            case 4:  // the file being sent, as a cancel or resume would name it
                from.set_transfer_lock({static_cast<LockChannel>(type % 3), static_cast<std::uint64_t>(len % 4)});
                break;
            case 5:
                from.send_file_resume(type % 4, static_cast<std::uint32_t>(len), 0);
                break;
            case 6:
                from.unbind("fuzz");
                break;
            default:
                if (!pc.tcp_bound() || !phone.tcp_bound()) bind(pc, phone, clock.now());
                break;
        }
        pump(pc, phone, clock.now());
        pc.take_events();
        phone.take_events();
        (void)pc.take_chunks();
        (void)phone.take_chunks();
    }
    return 0;
}
