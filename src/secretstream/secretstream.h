// The secret stream: a sequence of messages sealed into authenticated chunks under
// one 32-byte key, each chunk bound to its position, to optional associated data
// and to a one-byte tag, the last chunk marked final.
//
// Byte format (interoperable with the XChaCha20-Poly1305 secret stream published
// with libsodium):
//   header  24 bytes: HChaCha20 input (16) then the initial nonce tail (8)
//   chunk   encrypted tag (1) | ciphertext (M) | Poly1305 MAC (16)
//
// The state is 44 bytes that live in a LockedRegion:
//   [0, 32)  stream key          ChaCha20 key for the current position
//   [32, 36) counter             chunk counter, u32 little-endian; 1 after init/rekey
//   [36, 44) inonce              nonce tail
// Bytes 32..43 as they stand are the ChaCha20 nonce of every use: block 0 gives the
// Poly1305 key (and the rekey stream), block 1 encrypts the tag block, blocks 2..
// the message.
//
// Nothing here synchronises: the owner of a state runs every call on it under its
// own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "error/error.h"
#include "locked/region.h"

namespace velmora::secretstream {

inline constexpr std::size_t KEY_BYTES = 32;
inline constexpr std::size_t HEADER_BYTES = 24;
inline constexpr std::size_t MAC_BYTES = 16;
inline constexpr std::size_t ABYTES = 1 + MAC_BYTES;
inline constexpr std::size_t STATE_BYTES = 44;

inline constexpr std::size_t STATE_KEY = 0;
inline constexpr std::size_t STATE_COUNTER = 32;
inline constexpr std::size_t STATE_INONCE = 36;
inline constexpr std::size_t STATE_NONCE = STATE_COUNTER;  // counter | inonce, 12 bytes

inline constexpr std::uint8_t TAG_MESSAGE = 0;
inline constexpr std::uint8_t TAG_PUSH = 1;
inline constexpr std::uint8_t TAG_REKEY = 2;
inline constexpr std::uint8_t TAG_FINAL = TAG_PUSH | TAG_REKEY;

// Longest message one chunk can carry: its key stream starts at block 2 and must
// end one block before the 32-bit block counter wraps.
inline constexpr std::uint64_t MESSAGE_MAX = 64 * ((std::uint64_t{1} << 32) - 3);

constexpr bool message_fits(std::uint64_t len) { return len <= MESSAGE_MAX; }

using State = std::span<std::uint8_t>;

// Fills a state from key and header. WrongLength for the key (checked first),
// then the header. Every function here takes a state of STATE_BYTES: another
// length is a broken contract (contract.h), since only new_state makes states.
Status init_state(State state, std::span<const std::uint8_t> key,
                  std::span<const std::uint8_t> header);

// A new locked state region derived from key and header (region errors first,
// then those of init_state; a half-built region is released).
Result<LockedRegion> new_state(std::span<const std::uint8_t> key,
                               std::span<const std::uint8_t> header);

// Seals `message` with `tag` into `chunk` (message.size() + ABYTES bytes) and
// advances the state. `message` may be chunk[1, 1 + M) itself (sealing in
// place); other overlaps are not allowed. Cannot fail: a message over
// MESSAGE_MAX or a chunk of another length is a broken contract, caught before
// any work.
void seal_chunk(State state, std::span<const std::uint8_t> message,
                std::span<const std::uint8_t> ad, std::uint8_t tag, std::span<std::uint8_t> chunk);

// Opens a chunk given as its parts: the encrypted tag byte, the ciphertext and
// the MAC. The message goes to `message` (ciphertext.size() bytes), which may be
// the ciphertext itself (opening in place). Returns the tag and advances the
// state; on OpenFailed neither the state nor `message` has been written. A MAC
// other than MAC_BYTES or a `message` of another length is a broken contract.
Result<std::uint8_t> open_chunk_parts(State state, std::uint8_t encrypted_tag,
                                      std::span<const std::uint8_t> ciphertext,
                                      std::span<const std::uint8_t> mac,
                                      std::span<const std::uint8_t> ad,
                                      std::span<std::uint8_t> message);

// The same for a whole chunk; `message` is chunk.size() - ABYTES bytes (a chunk
// shorter than ABYTES, or one longer than any sealed chunk, fails with
// OpenFailed).
Result<std::uint8_t> open_chunk(State state, std::span<const std::uint8_t> chunk,
                                std::span<const std::uint8_t> ad, std::span<std::uint8_t> message);

// --- one whole chunk, for a caller that moves the bytes itself -----------------------

// Pushing: the caller puts the M-byte message into chunk_message(chunk) of a
// chunk buffer of M + ABYTES bytes, then seals it there in place (as
// seal_chunk). The plaintext never exists outside the chunk buffer.
std::span<std::uint8_t> chunk_message(std::span<std::uint8_t> chunk);
void seal_chunk_in_place(State state, std::span<const std::uint8_t> ad, std::uint8_t tag,
                         std::span<std::uint8_t> chunk);

// Pulling: the message length a chunk of `chunk_len` bytes carries, or nullopt
// for a length no writer makes (shorter than ABYTES, or over MESSAGE_MAX):
// such a chunk is refused with OpenFailed after the caller's own checks.
std::optional<std::size_t> chunk_message_size(std::size_t chunk_len);

// A chunk taken apart: its encrypted tag byte and MAC kept aside, its
// ciphertext copied to where it is opened in place.
struct SplitChunk {
    std::uint8_t encrypted_tag = 0;
    std::uint8_t mac[MAC_BYTES] = {};
};
// `message` has chunk_message_size(chunk.size()) bytes.
SplitChunk split_chunk(std::span<const std::uint8_t> chunk, std::span<std::uint8_t> message);
// Opens the ciphertext split_chunk left in `message` in place (errors and
// state as open_chunk_parts).
Result<std::uint8_t> open_split_chunk(State state, const SplitChunk& parts,
                                      std::span<const std::uint8_t> ad,
                                      std::span<std::uint8_t> message);

// The transition after every chunk, on both sides: folds the MAC into the nonce
// tail, counts the chunk, and rekeys after a REKEY-bit tag or a counter wrap.
// A state other than STATE_BYTES or a MAC under 8 bytes is a broken contract.
void advance(State state, std::span<const std::uint8_t> mac, std::uint8_t tag);

// Replaces stream key and nonce tail with themselves XOR the block-0 key stream
// under the current nonce, and restarts the counter at 1.
void rekey(State state);

}  // namespace velmora::secretstream
