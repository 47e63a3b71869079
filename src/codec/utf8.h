// Strict UTF-8 (RFC 3629), for the JSON readers: RapidJSON's own validation
// lets encoded surrogates from \u escapes through, and reads a multi-byte
// sequence's continuation bytes without looking for the end of the text.
#pragma once

#include <cstdint>
#include <span>

namespace velmora::codec {

// No overlong forms, no surrogates, nothing past U+10FFFF, no sequence cut
// short by the end of `s`.
bool valid_utf8(std::span<const std::uint8_t> s);

}  // namespace velmora::codec
