#include "crypto/hchacha20.h"

#include <sodium.h>

namespace velmora::crypto {

// libsodium keeps the whole computation in locals; nothing is allocated.
// A null constant selects the standard "expand 32-byte k".
void hchacha20(std::uint8_t out[HCHACHA20_OUTPUT_BYTES],
               const std::uint8_t key[HCHACHA20_KEY_BYTES],
               const std::uint8_t input[HCHACHA20_INPUT_BYTES]) {
    crypto_core_hchacha20(out, input, key, nullptr);
}

}  // namespace velmora::crypto
