#include "crypto/mlkem768/poly_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "crypto/mlkem768/keccak4.h"
#include "zeroize.h"

namespace velmora::crypto::mlkem768::avx2 {

// --- sampling ---------------------------------------------------------------------
//
// Streams beyond `count` repeat the last real input and their output is
// dropped: four lanes cost the same as fewer.

void sample_ntt_x4(const std::uint8_t rho[32], const std::uint8_t idx[4][2], int count, Poly* const out[4]) {
    std::uint8_t seeds[4][34];
    const std::uint8_t* in[4];
    for (int l = 0; l < 4; ++l) {
        const int src = l < count ? l : count - 1;
        std::memcpy(seeds[l], rho, 32);
        seeds[l][32] = idx[src][0];
        seeds[l][33] = idx[src][1];
        in[l] = seeds[l];
    }
    KeccakX4 xof(KeccakX4::SHAKE128_RATE, in, sizeof seeds[0]);
    // The stream depends on the public rho alone: branching on how many
    // candidates were kept reveals nothing.
    alignas(32) std::uint8_t blocks[4][KeccakX4::SHAKE128_RATE];
    std::uint8_t* const block_ptrs[4] = {blocks[0], blocks[1], blocks[2], blocks[3]};
    std::int16_t coeffs[4][N + SAMPLE_NTT_PER_BLOCK];
    std::size_t kept[4] = {0, 0, 0, 0};
    for (;;) {
        bool done = true;
        for (int l = 0; l < count; ++l) done = done && kept[l] >= N;
        if (done) break;
        xof.squeeze(block_ptrs, KeccakX4::SHAKE128_RATE);
        for (int l = 0; l < count; ++l) {
            if (kept[l] < N) kept[l] = sample_ntt_block(coeffs[l], kept[l], blocks[l]);
        }
    }
    for (int l = 0; l < count; ++l) from_fips_order(coeffs[l], *out[l]);
}

void sample_noise_x4(const std::uint8_t seed[32], std::uint8_t nonce0, int count, Poly* const out[4]) {
    struct {
        std::uint8_t in[4][33];
        std::uint8_t prf[4][KeccakX4::SHAKE256_RATE];
    } w;
    WipeOnExit wipe(w);
    const std::uint8_t* in[4];
    std::uint8_t* prf[4];
    for (int l = 0; l < 4; ++l) {
        std::memcpy(w.in[l], seed, 32);
        w.in[l][32] = static_cast<std::uint8_t>(nonce0 + (l < count ? l : count - 1));
        in[l] = w.in[l];
        prf[l] = w.prf[l];
    }
    KeccakX4 prf_x4(KeccakX4::SHAKE256_RATE, in, sizeof w.in[0]);
    prf_x4.squeeze(prf, CBD_BYTES);
    for (int l = 0; l < count; ++l) sample_cbd2(*out[l], w.prf[l]);
}

}  // namespace velmora::crypto::mlkem768::avx2
