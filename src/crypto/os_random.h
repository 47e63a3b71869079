// The operating system's random source: getrandom(2), or, where getrandom is
// missing or refused (ENOSYS, EPERM: at the first draw or any later one), the
// kernel's random device at /dev/urandom, once /dev/random has become readable.
#pragma once

#include <span>
#include <cstdint>

#include "error/error.h"

namespace velmora::crypto {

// Fills `out` completely, or fails with RngFailed.
Status os_random(std::span<std::uint8_t> out);

}  // namespace velmora::crypto
