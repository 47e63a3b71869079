#include "crypto/mlkem768/poly_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "crypto/mlkem768/keccak4.h"
#include "zeroize.h"

namespace velmora::crypto::mlkem768::avx2 {

namespace {

// For each 8-bit mask of kept candidates, the byte shuffle that moves the kept
// 16-bit values of an 8-value group to its front, in order.
struct CompactTable {
    alignas(16) std::uint8_t idx[256][16];
};

constexpr CompactTable make_compact_table() {
    CompactTable t{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int i = 0; i < 8; ++i) {
            if ((m >> i) & 1) {
                t.idx[m][2 * k] = static_cast<std::uint8_t>(2 * i);
                t.idx[m][2 * k + 1] = static_cast<std::uint8_t>(2 * i + 1);
                ++k;
            }
        }
        for (; k < 8; ++k) t.idx[m][2 * k] = t.idx[m][2 * k + 1] = 0x80;
    }
    return t;
}

constexpr CompactTable COMPACT = make_compact_table();

}  // namespace

// Everything below is compiled for AVX2 (with BMI2 and POPCNT, which every
// AVX2 CPU has) and is reached only through the functions of poly_avx2.h.
#include "crypto/mlkem768/avx2_begin.h"

namespace {

// sample_ntt_block on vectors: 24 bytes give 16 candidates per step. `b`
// must be readable 8 bytes past the block.
std::size_t rej_uniform(std::int16_t* out, std::size_t j, const std::uint8_t* b) {
    // Each 128-bit half gets 12 bytes: the low half bytes 0..11 of the step,
    // the high half bytes 12..23 (loaded from byte 8, so 4 further in).
    const __m256i spread = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,  //
                                            4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11, 12, 13, 14, 14, 15);
    const __m256i low12 = _mm256_set1_epi16(0x0FFF);
    const __m256i q = _mm256_set1_epi16(Q);
    for (std::size_t pos = 0; pos < SAMPLE_NTT_PER_BLOCK / 16 * 24; pos += 24) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + pos));
        v = _mm256_permute4x64_epi64(v, 0x94);  // qwords 0, 1, 1, 2
        v = _mm256_shuffle_epi8(v, spread);
        // Even values are the low 12 bits of their pair, odd ones the high 12.
        v = _mm256_blend_epi16(_mm256_and_si256(v, low12), _mm256_srli_epi16(v, 4), 0xAA);
        const __m256i keep = _mm256_cmpgt_epi16(q, v);
        const std::uint32_t bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(keep));
        const std::uint32_t m0 = _pext_u32(bits, 0x00005555), m1 = _pext_u32(bits, 0x55550000);
        const __m128i lo =
            _mm_shuffle_epi8(_mm256_castsi256_si128(v),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(COMPACT.idx[m0])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), lo);
        j += static_cast<std::size_t>(__builtin_popcount(m0));
        const __m128i hi =
            _mm_shuffle_epi8(_mm256_extracti128_si256(v, 1),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(COMPACT.idx[m1])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), hi);
        j += static_cast<std::size_t>(__builtin_popcount(m1));
    }
    return j;
}

}  // namespace

// --- sampling ---------------------------------------------------------------------
//
// Streams beyond `count` repeat the last real input and their output is
// dropped: four lanes cost the same as fewer.

void sample_ntt_x4(const std::uint8_t rho[32], const std::uint8_t idx[4][2], int count,
                   Poly* const out[4]) {
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
    alignas(32)
        std::uint8_t blocks[4][KeccakX4::SHAKE128_RATE + 8] = {};  // + 8: rej_uniform reads on
    std::uint8_t* const block_ptrs[4] = {blocks[0], blocks[1], blocks[2], blocks[3]};
    std::int16_t coeffs[4][N + SAMPLE_NTT_PER_BLOCK];
    std::size_t kept[4] = {0, 0, 0, 0};
    for (;;) {
        bool done = true;
        for (int l = 0; l < count; ++l) done = done && kept[l] >= N;
        if (done) break;
        xof.squeeze(block_ptrs, KeccakX4::SHAKE128_RATE);
        for (int l = 0; l < count; ++l) {
            if (kept[l] < N) kept[l] = rej_uniform(coeffs[l], kept[l], blocks[l]);
        }
    }
    for (int l = 0; l < count; ++l) from_fips_order(coeffs[l], *out[l]);
}

// SamplePolyCBD_2 of 32 bytes into 64 coefficients. For each nibble, with
// x and y the bit counts of its two halves, (x + 3 - y) in [1, 5] is computed
// nibble-wise without carries; then 3 is taken off again.
static inline void cbd2_32(const std::uint8_t* in, std::int16_t* out) {
    const __m256i m55 = _mm256_set1_epi8(0x55), m33 = _mm256_set1_epi8(0x33),
                  m0f = _mm256_set1_epi8(0x0F);
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i d =
        _mm256_add_epi8(_mm256_and_si256(v, m55), _mm256_and_si256(_mm256_srli_epi16(v, 1), m55));
    const __m256i x = _mm256_and_si256(d, m33);
    const __m256i y = _mm256_and_si256(_mm256_srli_epi16(d, 2), m33);
    const __m256i e = _mm256_sub_epi8(_mm256_add_epi8(x, m33), y);
    const __m256i lo = _mm256_and_si256(e, m0f),
                  hi = _mm256_and_si256(_mm256_srli_epi16(e, 4), m0f);
    const __m256i three = _mm256_set1_epi8(3);
    // Byte i gives coefficients 2i (low nibble) and 2i + 1.
    const __m256i a = _mm256_sub_epi8(_mm256_unpacklo_epi8(lo, hi), three);  // bytes 0..7 | 16..23
    const __m256i c = _mm256_sub_epi8(_mm256_unpackhi_epi8(lo, hi), three);  // bytes 8..15 | 24..31
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_cvtepi8_epi16(_mm256_castsi256_si128(a)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                        _mm256_cvtepi8_epi16(_mm256_castsi256_si128(c)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                        _mm256_cvtepi8_epi16(_mm256_extracti128_si256(a, 1)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 48),
                        _mm256_cvtepi8_epi16(_mm256_extracti128_si256(c, 1)));
}

void sample_cbd2(Poly& p, const std::uint8_t buf[CBD_BYTES]) {
    for (int i = 0; i < 4; ++i) cbd2_32(buf + 32 * i, p.c + 64 * i);
}

void sample_noise_x4(const std::uint8_t seed[32], std::uint8_t nonce0, int count,
                     Poly* const out[4]) {
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
    for (int l = 0; l < count; ++l) avx2::sample_cbd2(*out[l], w.prf[l]);
}

#include "crypto/mlkem768/avx2_end.h"

}  // namespace velmora::crypto::mlkem768::avx2
