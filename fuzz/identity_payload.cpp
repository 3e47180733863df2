// IDENTITY payloads come straight from the peer: parse and verify must refuse any bytes
// without crashing or reading outside the payload.
#include <cstddef>
#include <cstdint>

#include "crypto/identity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const dovan::ByteView input(data, size);
    auto parsed = dovan::parse_identity_payload(input);
    if (!parsed) return 0;
    const dovan::Bytes h(32, 0x5A);
    (void)dovan::verify_identity(*parsed, h);
    return 0;
}
