// HChaCha20: the subkey function of extended-nonce ChaCha20. The stream state
// derives its first key with it, straight into locked memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

inline constexpr std::size_t HCHACHA20_KEY_BYTES = 32;
inline constexpr std::size_t HCHACHA20_INPUT_BYTES = 16;
inline constexpr std::size_t HCHACHA20_OUTPUT_BYTES = 32;

// out = HChaCha20(key, input): the ChaCha20 state ("expand 32-byte k", key,
// input as four little-endian words) after 20 rounds, words 0-3 then 12-15,
// without the final addition. `out` may be locked memory; it must not overlap
// the inputs.
void hchacha20(std::uint8_t out[HCHACHA20_OUTPUT_BYTES],
               const std::uint8_t key[HCHACHA20_KEY_BYTES],
               const std::uint8_t input[HCHACHA20_INPUT_BYTES]);

}  // namespace velmora::crypto
