// Hand-edited trusted_peers.tsv / peer_names.tsv: reading must never crash, and what the
// reader keeps must survive a write and a second read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/stores.h"

using namespace dovan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto peers = parse_trusted_peers(format_trusted_peers(parse_trusted_peers(text)));
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (normalize_fingerprint(peers[i].fingerprint) != peers[i].fingerprint) std::abort();
        for (std::size_t j = 0; j < i; ++j)
            if (peers[j].fingerprint == peers[i].fingerprint) std::abort();
    }
    if (parse_trusted_peers(format_trusted_peers(peers)) != peers) std::abort();

    const auto names = parse_peer_names(format_peer_names(parse_peer_names(text)));
    for (const auto& n : names)
        if (n.fingerprint.empty() || n.name.empty()) std::abort();
    if (parse_peer_names(format_peer_names(names)) != names) std::abort();
    return 0;
}
