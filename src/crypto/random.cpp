#include "crypto/random.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>

namespace dovan {

bool random_fill(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t step = std::min<std::size_t>(out.size() - done, INT_MAX);
        if (RAND_bytes(out.data() + done, static_cast<int>(step)) != 1) return false;
        done += step;
    }
    return true;
}

}  // namespace dovan
