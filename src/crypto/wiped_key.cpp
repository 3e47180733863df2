#include "crypto/wiped_key.h"

#include <openssl/crypto.h>

namespace dovan {

void WipedKey32::wipe() noexcept { OPENSSL_cleanse(data(), size()); }

}  // namespace dovan
