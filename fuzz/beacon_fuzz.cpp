// Datagrams from anyone on the LAN: decoding must never crash, every text it keeps is
// well-formed UTF-8, and re-encoding what it kept gives a beacon that decodes to the cut
// texts.
#include <cstdint>
#include <cstdlib>

#include "lan/discovery.h"

using namespace dovan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto advert = decode_beacon(ByteView(data, size));
    if (!advert) return 0;
    if (!utf8_valid(advert->advert_name) || !utf8_valid(advert->version)) std::abort();

    auto again = encode_beacon(advert->advert_name, advert->os, advert->version);
    if (!again || again->size() > BEACON_MAX_DATAGRAM) std::abort();
    auto back = decode_beacon(*again);
    if (!back || back->os != advert->os) std::abort();
    if (advert->version.rfind(back->version, 0) != 0) std::abort();
    if (advert->advert_name.rfind(back->advert_name, 0) != 0) std::abort();
    if (back->version.size() > BEACON_VERSION_MAX) std::abort();
    return 0;
}
