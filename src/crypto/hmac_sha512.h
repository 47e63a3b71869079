// HMAC-SHA512 (RFC 2104, FIPS 198-1) through libcrypto's SHA-512; keyed state on
// the stack, wiped after use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::crypto {

inline constexpr std::size_t HMAC_SHA512_BYTES = 64;

// out = HMAC-SHA512(key, message). Any key length; a key longer than the
// 128-byte block is first replaced by its SHA-512 digest.
void hmac_sha512(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                 std::span<std::uint8_t, HMAC_SHA512_BYTES> out);

}  // namespace velmora::crypto
