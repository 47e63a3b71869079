#include "secretstream/secretstream.h"

#include <cstring>

#include "byte_order.h"
#include "crypto/chacha20.h"
#include "crypto/ct.h"
#include "crypto/hchacha20.h"
#include "crypto/poly1305.h"
#include "contract.h"
#include "zeroize.h"

namespace velmora::secretstream {

namespace {

void require_state(State state) {
    VELMORA_EXPECT(state.size() == STATE_BYTES, "secretstream state length");
}

constexpr std::size_t pad16(std::size_t n) { return (16 - n % 16) % 16; }

// Blocks 0 and 1 of the chunk's key stream: the Poly1305 key is the first half
// of block 0, block 1 encrypts the tag block. Wiped when the chunk is done.
struct ChunkKeys {
    std::uint8_t blocks[2 * crypto::CHACHA20_BLOCK_BYTES];
    WipeOnExit<std::uint8_t[2 * crypto::CHACHA20_BLOCK_BYTES]> wipe{blocks};

    explicit ChunkKeys(State state) {
        crypto::chacha20_keystream(blocks, sizeof blocks, state.data() + STATE_KEY,
                                   state.data() + STATE_NONCE, 0);
    }
    const std::uint8_t* poly_key() const { return blocks; }
    std::uint8_t* tag_block() { return blocks + crypto::CHACHA20_BLOCK_BYTES; }
};

// The authenticator input, around the ciphertext:
//   ad | zeros to a multiple of 16 | the 64-byte encrypted tag block |
//   ciphertext | (M mod 16) zero bytes | le64(A) | le64(64 + M)
// The second padding row is M mod 16 bytes long, not the complement to 16: that
// is the published format, so it stays. The rows around the ciphertext are
// gathered into two small buffers so each chunk feeds the MAC in four calls.
void authenticate_head(crypto::Poly1305& mac, std::span<const std::uint8_t> ad,
                       const std::uint8_t* tag_block) {
    std::uint8_t head[16 + crypto::CHACHA20_BLOCK_BYTES] = {};
    WipeOnExit<std::uint8_t[16 + crypto::CHACHA20_BLOCK_BYTES]> wipe_head(head);
    const std::size_t pad = pad16(ad.size());
    std::memcpy(head + pad, tag_block, crypto::CHACHA20_BLOCK_BYTES);
    mac.update(ad.data(), ad.size());
    mac.update(head, pad + crypto::CHACHA20_BLOCK_BYTES);
}

void authenticate_tail(crypto::Poly1305& mac, std::size_t ad_len, std::size_t m) {
    std::uint8_t tail[15 + 16] = {};
    const std::size_t pad = m % 16;
    store_le64(tail + pad, ad_len);
    store_le64(tail + pad + 8, crypto::CHACHA20_BLOCK_BYTES + static_cast<std::uint64_t>(m));
    mac.update(tail, pad + 16);
}

}  // namespace

Status init_state(State state, std::span<const std::uint8_t> key,
                  std::span<const std::uint8_t> header) {
    if (key.size() != KEY_BYTES)
        return EnclaveError::wrong_length("secretstream key", KEY_BYTES, key.size());
    if (header.size() != HEADER_BYTES)
        return EnclaveError::wrong_length("secretstream header", HEADER_BYTES, header.size());
    require_state(state);
    crypto::hchacha20(state.data() + STATE_KEY, key.data(), header.data());
    store_le32(state.data() + STATE_COUNTER, 1);
    std::memcpy(state.data() + STATE_INONCE, header.data() + crypto::HCHACHA20_INPUT_BYTES, 8);
    return {};
}

Result<LockedRegion> new_state(std::span<const std::uint8_t> key,
                               std::span<const std::uint8_t> header) {
    auto region = LockedRegion::allocate(STATE_BYTES);
    if (!region) return region.error();
    Status filled = region->view_mut([&](State state) { return init_state(state, key, header); });
    if (!filled) return filled.error();  // the region is released on the way out
    return std::move(*region);
}

void seal_chunk(State state, std::span<const std::uint8_t> message,
                std::span<const std::uint8_t> ad, std::uint8_t tag, std::span<std::uint8_t> chunk) {
    require_state(state);
    const std::size_t m = message.size();
    VELMORA_EXPECT(message_fits(m), "secretstream message over the chunk limit");
    VELMORA_EXPECT(chunk.size() == m + ABYTES, "secretstream chunk length");

    const std::uint8_t* key = state.data() + STATE_KEY;
    const std::uint8_t* nonce = state.data() + STATE_NONCE;
    ChunkKeys keys(state);
    std::uint8_t* block = keys.tag_block();
    block[0] ^= tag;

    std::uint8_t* ciphertext = chunk.data() + 1;
    std::uint8_t* mac_out = ciphertext + m;
    crypto::Poly1305 mac(keys.poly_key());
    authenticate_head(mac, ad, block);
    crypto::chacha20_xor(ciphertext, message.data(), m, key, nonce, 2);
    mac.update(ciphertext, m);
    authenticate_tail(mac, ad.size(), m);
    mac.finish(mac_out);

    chunk[0] = block[0];
    ct::declassify(chunk.data(), chunk.size(), "a sealed chunk is sent as it is");
    advance(state, {mac_out, MAC_BYTES}, tag);
}

Result<std::uint8_t> open_chunk_parts(State state, std::uint8_t encrypted_tag,
                                      std::span<const std::uint8_t> ciphertext,
                                      std::span<const std::uint8_t> mac,
                                      std::span<const std::uint8_t> ad,
                                      std::span<std::uint8_t> message) {
    require_state(state);
    VELMORA_EXPECT(mac.size() == MAC_BYTES, "secretstream MAC length");
    VELMORA_EXPECT(message.size() == ciphertext.size(), "secretstream message length");
    const std::size_t m = ciphertext.size();
    if (!message_fits(m)) return ErrorKind::OpenFailed;  // no writer makes such a chunk

    const std::uint8_t* key = state.data() + STATE_KEY;
    const std::uint8_t* nonce = state.data() + STATE_NONCE;
    ChunkKeys keys(state);
    std::uint8_t* block = keys.tag_block();
    std::uint8_t tag = static_cast<std::uint8_t>(encrypted_tag ^ block[0]);
    block[0] = encrypted_tag;  // now the writer's encrypted block

    std::uint8_t expected[MAC_BYTES];
    WipeOnExit<std::uint8_t[MAC_BYTES]> wipe_expected(expected);
    {
        crypto::Poly1305 poly(keys.poly_key());
        authenticate_head(poly, ad, block);
        poly.update(ciphertext.data(), m);
        authenticate_tail(poly, ad.size(), m);
        poly.finish(expected);
    }
    if (ct::declassified(ct::bytes_equal(expected, mac.data(), MAC_BYTES),
                         "a chunk whose MAC does not match is refused openly") == 0)
        return ErrorKind::OpenFailed;
    tag = ct::declassified(tag, "a verified chunk's tag is returned to the caller");

    crypto::chacha20_xor(message.data(), ciphertext.data(), m, key, nonce, 2);
    advance(state, mac, tag);
    return tag;
}

Result<std::uint8_t> open_chunk(State state, std::span<const std::uint8_t> chunk,
                                std::span<const std::uint8_t> ad, std::span<std::uint8_t> message) {
    require_state(state);
    if (chunk.size() < ABYTES) return ErrorKind::OpenFailed;
    const std::size_t m = chunk.size() - ABYTES;
    return open_chunk_parts(state, chunk[0], chunk.subspan(1, m), chunk.subspan(1 + m, MAC_BYTES),
                            ad, message);
}

std::span<std::uint8_t> chunk_message(std::span<std::uint8_t> chunk) {
    VELMORA_EXPECT(chunk.size() >= ABYTES, "secretstream chunk length");
    return chunk.subspan(1, chunk.size() - ABYTES);
}

void seal_chunk_in_place(State state, std::span<const std::uint8_t> ad, std::uint8_t tag,
                         std::span<std::uint8_t> chunk) {
    seal_chunk(state, chunk_message(chunk), ad, tag, chunk);
}

std::optional<std::size_t> chunk_message_size(std::size_t chunk_len) {
    if (chunk_len < ABYTES || !message_fits(chunk_len - ABYTES)) return std::nullopt;
    return chunk_len - ABYTES;
}

SplitChunk split_chunk(std::span<const std::uint8_t> chunk, std::span<std::uint8_t> message) {
    const std::size_t m = message.size();
    VELMORA_EXPECT(chunk.size() == m + ABYTES, "secretstream chunk length");
    SplitChunk parts;
    parts.encrypted_tag = chunk[0];
    if (m != 0) std::memcpy(message.data(), chunk.data() + 1, m);
    std::memcpy(parts.mac, chunk.data() + 1 + m, MAC_BYTES);
    return parts;
}

Result<std::uint8_t> open_split_chunk(State state, const SplitChunk& parts,
                                      std::span<const std::uint8_t> ad,
                                      std::span<std::uint8_t> message) {
    return open_chunk_parts(state, parts.encrypted_tag, message, parts.mac, ad, message);
}

void advance(State state, std::span<const std::uint8_t> mac, std::uint8_t tag) {
    require_state(state);
    VELMORA_EXPECT(mac.size() >= 8, "secretstream MAC length");
    std::uint8_t* inonce = state.data() + STATE_INONCE;
    for (std::size_t i = 0; i < 8; ++i) inonce[i] ^= mac[i];
    const std::uint32_t counter = ct::declassified(load_le32(state.data() + STATE_COUNTER) + 1,
                                                   "the chunk counter only counts chunks");
    store_le32(state.data() + STATE_COUNTER, counter);
    if ((tag & TAG_REKEY) != 0 || counter == 0) rekey(state);
}

void rekey(State state) {
    require_state(state);
    std::uint8_t* key = state.data() + STATE_KEY;
    std::uint8_t* inonce = state.data() + STATE_INONCE;
    std::uint8_t t[KEY_BYTES + 8];
    WipeOnExit<std::uint8_t[KEY_BYTES + 8]> wipe_t(t);
    std::memcpy(t, key, KEY_BYTES);
    std::memcpy(t + KEY_BYTES, inonce, 8);
    crypto::chacha20_xor(t, t, sizeof t, key, state.data() + STATE_NONCE, 0);
    std::memcpy(key, t, KEY_BYTES);
    std::memcpy(inonce, t + KEY_BYTES, 8);
    store_le32(state.data() + STATE_COUNTER, 1);
}

}  // namespace velmora::secretstream
