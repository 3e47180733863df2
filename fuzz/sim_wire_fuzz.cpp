// What another local process may put on the sim radio (anyone who can write to the radio
// folder can): advertisement datagrams, and GATT stream bytes read message by message.
// The first byte picks which. An advertisement that parses writes back to one that parses
// the same; the stream reader only ever returns messages within the size bound.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/sim/sim_wire.h"

using namespace dovan;

namespace {

void advertisement(std::string_view datagram) {
    const auto adv = sim::parse_advertisement(datagram);
    if (!adv) return;
    const auto again = sim::parse_advertisement(sim::encode_advertisement(*adv));
    if (!again || again->address != adv->address || again->local_name != adv->local_name ||
        again->service_uuids != adv->service_uuids)
        std::abort();
}

void stream(ByteView bytes) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    // Inputs stay below the socket's buffer, so the write completes before any read.
    if (!bytes.empty() && !sim::write_all(fds[1], bytes)) std::abort();
    ::close(fds[1]);
    sim::Message m;
    std::size_t total = 0;
    while (sim::read_message(fds[0], m)) {
        if (m.body.size() + 1 > sim::kMaxMessage) std::abort();
        total += m.body.size() + 1;
        if (total > bytes.size()) std::abort();
    }
    ::close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 60000) return 0;
    const ByteView rest(data + 1, size - 1);
    if (data[0] & 1)
        stream(rest);
    else
        advertisement(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
    return 0;
}
