// The one base64url rule (RFC 4648 §5 alphabet, padding optional): any trailing
// run of '=' is dropped; what remains must be alphabet symbols only, must not
// leave 1 when divided by 4, and a final partial group must carry zero unused
// bits. The decoder runs in constant time (the text is usually a secret key):
// only the decoded length and the final verdict are branched on.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.h"
#include "zeroize.h"

namespace velmora::codec {

// The decoded bytes (possibly none) in a self-wiping buffer, or
// Malformed("base64url"). Nothing partial survives a failure.
Result<ZeroizingBuffer> base64url_decode(std::span<const std::uint8_t> text);

}  // namespace velmora::codec
