// decode_frame on arbitrary bytes: an error or a frame whose payload the input really holds.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const dovan::ByteView in(data, size);
    auto frame = dovan::decode_frame(in);
    if (!frame.ok()) {
        (void)frame.error().display();
        return 0;
    }
    if (frame->payload.size() != frame->header.body_len() || frame->header.frame_len() > size) std::abort();
    auto again = dovan::encode_frame(frame->header, frame->payload);
    if (!again.ok() || !std::equal(again->begin(), again->end(), data)) std::abort();
    return 0;
}
