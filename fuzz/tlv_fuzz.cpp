// decode_tlvs on arbitrary bytes; a decoded list within budget re-encodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/tlv_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const dovan::ByteView in(data, size);
    auto records = dovan::decode_tlvs(in);
    if (!records.ok()) {
        (void)records.error().display();
        return 0;
    }
    if (records->size() > dovan::TLV_MAX_RECORDS) std::abort();
    auto encoded = dovan::encode_tlvs(*records);
    if (size <= dovan::TLV_MAX_ENCODED) {
        if (!encoded.ok() || *encoded != dovan::Bytes(data, data + size)) std::abort();
    } else if (encoded.ok()) {
        std::abort();
    }
    if (size > 0) (void)dovan::find_tlv(in, data[0]);
    return 0;
}
