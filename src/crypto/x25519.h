// X25519 (RFC 7748): our own mulx/adx code where the CPU has BMI2 and ADX,
// libsodium elsewhere (crypto/x25519/native.h chooses). Scalars are taken as stored and clamped on
// every use; the top bit of a received u-coordinate is ignored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/x25519/native.h"
#include "error/error.h"

namespace velmora::crypto::x25519 {

inline constexpr std::size_t KEY_BYTES = 32;

// X25519(clamp(scalar), 9): the public key of `scalar`.
void public_key(const std::uint8_t scalar[KEY_BYTES], std::uint8_t out[KEY_BYTES]);

// X25519(clamp(scalar), peer). An all-zero result means the peer key is of low
// order (RFC 7748 section 6.1): `out` is then zeroed and KeyRejected returned.
// The zero check runs in constant time.
Status shared_secret(const std::uint8_t scalar[KEY_BYTES], const std::uint8_t peer[KEY_BYTES],
                     std::uint8_t out[KEY_BYTES]);

// The same on a named path (`impl` must be available on this CPU), for the
// tests that hold the two against each other.
void public_key(const std::uint8_t scalar[KEY_BYTES], std::uint8_t out[KEY_BYTES], Impl impl);
Status shared_secret(const std::uint8_t scalar[KEY_BYTES], const std::uint8_t peer[KEY_BYTES],
                     std::uint8_t out[KEY_BYTES], Impl impl);

}  // namespace velmora::crypto::x25519
