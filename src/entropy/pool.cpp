#include "entropy/pool.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "crypto/ct.h"
#include "crypto/os_random.h"
#include "crypto/sha256.h"
#include "zeroize.h"

namespace velmora::entropy {

std::uint64_t block_counter(std::span<const std::uint8_t, POOL_STATE_BYTES> state) {
    return load_be64(state.data() + 32);
}

Status generate(PoolState state, std::span<std::uint8_t> out, RandomSource source) {
    if (source == nullptr) source = crypto::os_random;
    if (out.empty()) return {};
    std::uint64_t c = block_counter(state);

    // The fresh bytes of every whole block are drawn in one call, straight into
    // the output: each block's r is then replaced by its digest. The last,
    // partial block draws its r into a stack buffer. All draws happen before
    // any state changes, so a failing source leaves the pool untouched.
    const std::size_t whole = out.size() / POOL_BLOCK_BYTES * POOL_BLOCK_BYTES;
    struct Scratch {
        std::uint8_t r[POOL_BLOCK_BYTES];  // the partial block's fresh bytes
        std::uint8_t block[64];            // r ‖ seed_digest: the first SHA-256 block
        std::uint8_t counter[8];
        std::uint8_t d[POOL_BLOCK_BYTES];
    } s;
    WipeOnExit<Scratch> wipe(s);
    if (whole > 0) {
        if (Status st = source(out.first(whole)); !st) return st;
    }
    if (whole < out.size()) {
        if (Status st = source(std::span<std::uint8_t>(s.r)); !st) return st;
    }
    // The fresh bytes are as secret as the output they become.
    ct::mark_secret(out.data(), whole);
    ct::mark_secret(s.r, sizeof s.r);

    crypto::Sha256 hash;
    std::memcpy(s.block + 32, state.data(), 32);  // seed_digest
    for (std::size_t off = 0; off < out.size(); off += POOL_BLOCK_BYTES) {
        const std::size_t take = std::min(POOL_BLOCK_BYTES, out.size() - off);
        std::memcpy(s.block, off == whole ? s.r : out.data() + off, POOL_BLOCK_BYTES);
        store_be64(s.counter, c);
        if (take == POOL_BLOCK_BYTES) {
            hash.digest_72(s.block, s.counter, std::span<std::uint8_t, 32>(out.data() + off, 32));
        } else {
            hash.digest_72(s.block, s.counter, s.d);
            std::memcpy(out.data() + off, s.d, take);
        }
        ++c;  // wraps modulo 2^64
    }
    store_be64(state.data() + 32, c);
    return {};
}

void reseed(PoolState state, std::span<const std::uint8_t, 32> seed_digest) {
    std::memcpy(state.data(), seed_digest.data(), 32);
    store_be64(state.data() + 32, 0);
}

}  // namespace velmora::entropy
