// The two openings of an AES-256-GCM sealed form (ciphertext || tag) that do
// more than crypto/aes_gcm.h's open_to: opening content that may be large and
// may sit in a buffer someone else can change, and opening a sealed JSON object
// to pick one base64url member out of it into locked memory.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/aes_gcm.h"
#include "error/error.h"
#include "locked/region.h"
#include "zeroize.h"

namespace velmora::box {

using Bytes = std::span<const std::uint8_t>;

// Whether the sealed bytes can change while they are read: Stable for an
// immutable object or our own copy; Shared for a buffer another holder (a
// thread, another process through shared memory) could be writing.
enum class SealedInput { Stable, Shared };

// Opens `sealed` into out(sealed.size() - 16). Errors in the order of
// aes_gcm::open_to (key, nonce, sealed length, then OpenFailed for the tag);
// the sink is asked only after the sizes passed, and an error it returns is
// returned unchanged. A Stable input is decrypted in one pass from where it
// lies; a Shared one is first copied into the output, then decrypted there, so
// the bytes authenticated are the bytes decrypted. On a tag mismatch the
// output has been wiped.
Status open_sealed(Bytes key, Bytes nonce, Bytes aad, Bytes sealed, SealedInput input,
                   const crypto::aes_gcm::Sink& out);

// Opens the sealed JSON object in `buffer` (ciphertext || tag, a private copy
// that is overwritten) in place, then returns the base64url-decoded top-level
// member `field` in a new region. Errors: those of aes_gcm::open_to, then those
// of codec::json_field_base64url, then the region's. The tag's first byte,
// spent once the tag has verified, becomes the parser's end mark, so the JSON
// text never exists anywhere but in `buffer`.
Result<LockedRegion> open_json_field(Bytes key, Bytes nonce, Bytes aad,
                                     std::span<std::uint8_t> buffer, std::string_view field);

}  // namespace velmora::box
