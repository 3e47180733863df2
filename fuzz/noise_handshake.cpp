// Handshake messages come from the peer: the first byte picks the message the input
// stands for (1 at the responder, 2 at the initiator); the rest is the message.
#include <cstddef>
#include <cstdint>

#include "common/result.h"
#include "crypto/noise.h"
#include "crypto/noise_resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const dovan::ByteView message(data + 1, size - 1);
    const dovan::Bytes init_static(32, 0x11), resp_static(32, 0x22), eph(32, 0x33);
    const auto& r = dovan::dovan_noise_resolver();
    if (data[0] & 1) {
        auto resp = dovan::HandshakeState::create(r, dovan::NoiseRole::Responder, resp_static, {}, eph);
        if (resp && resp->read_message(message)) (void)resp->write_message();
    } else {
        auto init = dovan::HandshakeState::create(r, dovan::NoiseRole::Initiator, init_static, {}, eph);
        dovan::invariant(init && init->write_message().ok(), "message 1 is always writable");
        if (init->read_message(message)) dovan::invariant(init->write_message().ok(), "message 3 follows");
    }
    return 0;
}
