// Picks one base64url member out of a JSON object and decodes it, for sealed
// records such as {"seed": "<b64url>"}. The JSON text is parsed in place (strings
// are unescaped inside the caller's buffer), so no unescaped copy of a secret
// exists outside memory that the caller wipes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "error/error.h"
#include "zeroize.h"

namespace velmora::codec {

// Deepest nesting of arrays and objects accepted, the top-level object included.
inline constexpr int JSON_MAX_DEPTH = 127;

// `buffer` holds the JSON text followed by exactly one NUL byte (its last byte),
// which the parser uses as its end mark; the text is rewritten in place. Returns
// the decoded bytes of the top-level member named `field` (after unescaping,
// byte for byte; the last occurrence wins), or, in this order of stages:
//   Malformed("json object") — not one RFC 8259 text whose top-level value is an
//       object: syntax error anywhere, invalid UTF-8 or escapes, nesting deeper
//       than 127, trailing data, a NUL byte in the text;
//   Malformed("json field")  — no such member, or its value is not a string;
//   Malformed("base64url")   — the value breaks the base64url rule.
Result<ZeroizingBuffer> json_field_base64url(std::span<std::uint8_t> buffer,
                                             std::string_view field);

}  // namespace velmora::codec
