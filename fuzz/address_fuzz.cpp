// Addresses and identifiers typed by a person or read from files and datagrams: UUIDs,
// device addresses and socket addresses. The first byte picks the parser. Whatever one
// accepts writes back to text that parses to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "lan/net_address.h"
#include "platform/ble.h"

using namespace dovan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0: {
            const auto u = ble::Uuid::parse(text);
            if (!u.ok()) break;
            const std::string again = u->text();
            const auto back = ble::Uuid::parse(again);
            if (again.size() != 36 || !back.ok() || *back != *u) std::abort();
            break;
        }
        case 1: {
            std::uint64_t a = 0;
            if (!ble::parse_address(text, a)) break;
            std::uint64_t b = 0;
            if (a >> 48 != 0 || !ble::parse_address(ble::address_text(a), b) || a != b) std::abort();
            break;
        }
        default: {
            const auto s = SocketAddress::parse(text, 4567);
            if (!s) break;
            const auto back = SocketAddress::parse(s->text(), 1);
            if (!back || !back->same_ip(*s) || back->port() != s->port() || back->text() != s->text())
                std::abort();
            if (s->is_loopback() != back->is_loopback()) std::abort();
            break;
        }
    }
    return 0;
}
