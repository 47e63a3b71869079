// The reader of the SealedSession record, a hybrid seal's plaintext:
//   {"session_id": str, "sign_key": b64url, "enc_key": b64url, "expires_at": i64}
// in any member order, with other members of any value and depth ignored, or
// the array of those four values in that order. The text is parsed in place
// with RapidJSON's SAX reader, so the key texts are never copied out of the
// caller's buffer.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.h"

namespace velmora::codec {

// The four fields as found in the text. The three strings are unescaped in
// place and point into the buffer given to read_sealed_session.
struct SessionRecord {
    std::span<const std::uint8_t> session_id;
    std::span<const std::uint8_t> sign_key;  // base64url text
    std::span<const std::uint8_t> enc_key;   // base64url text
    std::int64_t expires_at = 0;
};

// Parses `json` in place: the text is rewritten while its strings are
// unescaped, so the caller keeps it (and wipes it) for as long as the record
// is used. Any failure is Malformed("sealed session"): syntax, a missing,
// repeated or mistyped member, a number that is not a signed 64-bit integer,
// invalid UTF-8 in the record's own strings or names, trailing data.
Result<SessionRecord> read_sealed_session(std::span<std::uint8_t> json);

}  // namespace velmora::codec
