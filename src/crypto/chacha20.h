// ChaCha20 as in RFC 8439 (20 rounds, 32-bit block counter, 96-bit nonce), with
// the first block chosen by the caller. Short requests run on libsodium, which
// keeps everything on the stack; long ones on libcrypto's vectorised code through
// one reusable context per thread, re-keyed with zeros after every call so no key
// or nonce stays on the library's heap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

inline constexpr std::size_t CHACHA20_KEY_BYTES = 32;
inline constexpr std::size_t CHACHA20_NONCE_BYTES = 12;
inline constexpr std::size_t CHACHA20_BLOCK_BYTES = 64;

// Requests of at least this many bytes go to libcrypto. Below it the context
// set-up (key, nonce, and the zero re-key afterwards, about 0.4 µs) costs more
// than libcrypto's faster bulk code saves; measured crossover 2-3 KiB on an
// AVX2 machine, lower where libcrypto has AVX-512 code.
inline constexpr std::size_t CHACHA20_BULK_BYTES = 3072;

// True when `len` bytes of key stream starting at block `first_block` end at or
// before block 2^32 - 1, i.e. the block counter does not wrap.
constexpr bool chacha20_fits(std::uint32_t first_block, std::uint64_t len) {
    const std::uint64_t blocks = len / CHACHA20_BLOCK_BYTES + (len % CHACHA20_BLOCK_BYTES != 0);
    return blocks <= (std::uint64_t{1} << 32) - first_block;
}

// out = in XOR the key stream of (key, nonce) from block `first_block` on.
// `out` may be `in` itself (no other overlap). A request that does not fit (see
// chacha20_fits) is a broken contract (contract.h): the process stops before
// `out` is touched.
void chacha20_xor(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
                  const std::uint8_t key[CHACHA20_KEY_BYTES],
                  const std::uint8_t nonce[CHACHA20_NONCE_BYTES], std::uint32_t first_block);

// The key stream itself: `len` bytes from block `first_block` on.
void chacha20_keystream(std::uint8_t* out, std::size_t len,
                        const std::uint8_t key[CHACHA20_KEY_BYTES],
                        const std::uint8_t nonce[CHACHA20_NONCE_BYTES], std::uint32_t first_block);

namespace detail {
// The two back ends on their own, so tests can hold them against each other.
void chacha20_xor_sodium(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* key, const std::uint8_t* nonce,
                         std::uint32_t first_block);
// False when no libcrypto context could be set up or keyed (nothing was written).
bool chacha20_xor_libcrypto(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
                            const std::uint8_t* key, const std::uint8_t* nonce,
                            std::uint32_t first_block);
}  // namespace detail

}  // namespace velmora::crypto
