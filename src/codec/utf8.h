// Strict UTF-8 (RFC 3629), for the JSON readers (RapidJSON's own validation
// lets encoded surrogates from \u escapes through, and reads a multi-byte
// sequence's continuation bytes without looking for the end of the text) and
// for the lock policy's environment value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::codec {

// Decodes the sequence at s[i] and moves i past it: its code point, or -1 for
// an overlong form, a surrogate, anything past U+10FFFF or a sequence cut
// short by the end of `s` (i is then left where it was).
std::int32_t decode_utf8(std::span<const std::uint8_t> s, std::size_t& i);

// Whether all of `s` decodes.
bool valid_utf8(std::span<const std::uint8_t> s);

}  // namespace velmora::codec
