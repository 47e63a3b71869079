// JSON numbers (RFC 8259) as the two JSON readers see them before RapidJSON
// does: RapidJSON refuses some well-formed in-range numbers (a zero mantissa
// with a large exponent, 0e999) and lets some overflow through (10e308), so the
// readers decide about numbers themselves and hand it a neutral stand-in. Both
// do so in one pass over the text, walk_json_text below, each with its own rule.
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

// The readers' one pass before RapidJSON: walks a JSON text as RapidJSON's
// reader walks it, so both agree on what lies inside a string up to the point
// where the reader would fail anyway. `number(token)` sees each run of number
// characters outside strings (a span of t it may rewrite in place; false stops
// the walk, which then returns false). `escape(i)` sees each backslash inside a
// string, at t[i], may rewrite the escape in place, and returns how many bytes
// it takes (at least 2: a backslash always takes the next byte with it).
template <class OnNumber, class OnEscape>
bool walk_json_text(std::span<std::uint8_t> t, OnNumber&& number, OnEscape&& escape) {
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = t[i];
        if (c == '"') {
            for (++i; i < n && t[i] != '"';) i += t[i] == '\\' ? escape(i) : 1;
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const std::size_t j = json_number_end(t, i);
            if (!number(t.subspan(i, j - i))) return false;
            i = j;
        } else {
            ++i;
        }
    }
    return true;
}

}  // namespace velmora::codec
