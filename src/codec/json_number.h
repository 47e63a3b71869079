// JSON numbers (RFC 8259) as the two JSON readers see them before RapidJSON
// does: RapidJSON refuses some well-formed in-range numbers (a zero mantissa
// with a large exponent, 0e999) and lets some overflow through (10e308), so the
// readers decide about numbers themselves and hand it a neutral stand-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::codec {

// Whether t is exactly one JSON number; `integral` tells whether it has
// neither fraction nor exponent, `digits` how many digits its integer part has.
bool json_number(std::span<const std::uint8_t> t, bool& integral, std::size_t& digits);

// End of the run of number characters (digits, sign, point, exponent mark)
// starting at t[i]: a number, or the place where a reader fails anyway.
std::size_t json_number_end(std::span<const std::uint8_t> t, std::size_t i);

// Whether the number t (well-formed, see json_number) rounds to a finite
// double. Values too small to represent round to zero or a subnormal, which is
// finite; only a value beyond the largest double is not.
bool json_number_finite(std::span<const std::uint8_t> t);

}  // namespace velmora::codec
