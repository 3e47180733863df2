// Arbitrary fragments into one reassembly table. The input is a list of values, each a
// 16-bit length (so oversized values occur), a time step byte and the value itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/ble_frag.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dovan::BleReassembler table;
    dovan::Instant now{};
    std::size_t pos = 0;
    while (pos + 3 <= size) {
        const std::size_t len = static_cast<std::size_t>(data[pos] << 8 | data[pos + 1]) % 1024;
        now += std::chrono::milliseconds(data[pos + 2] * 40);
        pos += 3;
        const std::size_t n = len < size - pos ? len : size - pos;
        auto out = table.take(dovan::ByteView(data + pos, n), now);
        pos += n;
        if (!out.ok()) {
            (void)out.error().context();
        } else if (out->has_value()) {
            auto frame = dovan::decode_frame(**out);
            if (!frame.ok() || frame->header.frame_len() != (*out)->size()) std::abort();
        }
        if (table.group_count() > dovan::FRAG_MAX_GROUPS || table.mtu() < 23 || table.mtu() > 517) std::abort();
    }
    return 0;
}
