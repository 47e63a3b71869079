// The SealedSession record carried as a hybrid seal's plaintext:
//   {"session_id": str, "sign_key": b64url, "enc_key": b64url, "expires_at": i64}
// or the array of those four values in that order. The two keys go from the
// decrypted text straight into locked regions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "codec/sealed_session_json.h"
#include "error/error.h"
#include "locked/region.h"

namespace velmora::hybrid {

inline constexpr std::size_t SESSION_KEY_BYTES = 32;

using codec::read_sealed_session;
using codec::SessionRecord;

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
