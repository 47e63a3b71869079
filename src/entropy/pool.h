// The entropy pool's generator, on its 40-byte state (kept in a locked region by
// its owner): seed_digest (32 bytes) ‖ block counter (unsigned 64-bit, big-endian).
// Output block i of a call is SHA-256(r_i ‖ seed_digest ‖ BE64(c0 + i)), each r_i
// 32 fresh bytes from the operating system, so the output is never weaker than
// the OS source and also depends on the mixed-in seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error/error.h"

namespace velmora::entropy {

inline constexpr std::size_t POOL_STATE_BYTES = 40;
inline constexpr std::size_t POOL_BLOCK_BYTES = 32;

using PoolState = std::span<std::uint8_t, POOL_STATE_BYTES>;
// Fills its buffer completely or fails (RngFailed); crypto::os_random by default.
using RandomSource = Status (*)(std::span<std::uint8_t>);

std::uint64_t block_counter(std::span<const std::uint8_t, POOL_STATE_BYTES> state);

// Fills `out` with pool output and advances the counter by ceil(n / 32). On
// failure (RngFailed from the source) the state is left exactly as it was; `out`
// may then hold partial output and is the caller's to discard. For an empty
// `out` the source is not touched.
Status generate(PoolState state, std::span<std::uint8_t> out, RandomSource source = nullptr);

// Installs a new seed digest (SHA-256 of the seed) and resets the counter.
void reseed(PoolState state, std::span<const std::uint8_t, 32> seed_digest);

}  // namespace velmora::entropy
