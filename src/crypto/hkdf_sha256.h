// HKDF-SHA256 (RFC 5869) built on HMAC-SHA256 over libcrypto's SHA-256. The PRK,
// the keyed states and every T(i) stay on the stack and are wiped; the output is
// written straight into the caller's buffer (normally a fresh locked region).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error/error.h"

namespace velmora::crypto {

inline constexpr std::size_t HKDF_SHA256_MAX_OUTPUT = 255 * 32;  // 8160

// Fills `out` with HKDF-SHA256(salt, ikm, info). An empty salt is the RFC's
// default (HashLen zero bytes: HMAC pads both to the same block). `out` must be
// 1..8160 bytes, otherwise WrongLength("hkdf output length", 8160, out.size()).
Status hkdf_sha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                   std::span<const std::uint8_t> info, std::span<std::uint8_t> out);

// The HMAC-SHA256 underneath, for the known-answer tests.
void hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                 std::span<std::uint8_t, 32> out);

}  // namespace velmora::crypto
