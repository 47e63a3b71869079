// The operating system's random source: getrandom(2), or /dev/urandom once
// /dev/random has become readable where getrandom is missing.
#pragma once

#include <span>
#include <cstdint>

#include "error/error.h"

namespace velmora::crypto {

// Fills `out` completely, or fails with RngFailed.
Status os_random(std::span<std::uint8_t> out);

}  // namespace velmora::crypto
