// The SealedSession record carried as a hybrid seal's plaintext:
//   {"session_id": str, "sign_key": b64url, "enc_key": b64url, "expires_at": i64}
// or the array of those four values in that order. The two keys go from the
// decrypted text straight into locked regions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error/error.h"
#include "locked/mod.h"

namespace velmora::hybrid {

inline constexpr std::size_t SESSION_KEY_BYTES = 32;

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
// is used. Any failure is Malformed("sealed session").
Result<SessionRecord> read_sealed_session(std::span<std::uint8_t> json);

// A session with both keys already locked.
struct OpenedSession {
    std::string session_id;  // not secret
    std::int64_t expires_at;
    LockedRegion sign_key;
    LockedRegion enc_key;
};

// Reads the record, decodes both keys with the base64url rule (both before
// either length is checked), checks that each is 32 bytes and moves them into
// two new locked regions. Decoded bytes are wiped on every path; `json` is
// left rewritten for the caller to wipe.
Result<OpenedSession> open_session_record(std::span<std::uint8_t> json);

}  // namespace velmora::hybrid
