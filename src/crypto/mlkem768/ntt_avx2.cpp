// The AVX2 path's arithmetic: the NTT, its inverse and the NTT-domain
// products on the transposed layout of poly.h, one row of 16 coefficients per
// register. The steps are those of the portable code, lane for lane, so both
// produce the same values.
#include <immintrin.h>

#include "crypto/mlkem768/poly_avx2.h"

namespace velmora::crypto::mlkem768::avx2 {

namespace {

// A Montgomery product with a constant z takes z and z q^-1 mod 2^16: then
// t = x (z q^-1) mod 2^16 is one multiplication, as in fqmul.
constexpr std::int16_t times_qinv(std::int16_t z) {
    return static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(z)) *
                                   static_cast<std::uint16_t>(QINV)));
}

struct VectorZetas {
    std::int16_t ntt[128], ntt_qinv[128];
    alignas(32) std::int16_t fwd[7][16];
    alignas(32) std::int16_t fwd_qinv[7][16];
    alignas(32) std::int16_t inv[7][16];
    alignas(32) std::int16_t inv_qinv[7][16];
    alignas(32) std::int16_t gamma[8][16];
    alignas(32) std::int16_t gamma_qinv[8][16];
};

constexpr VectorZetas make_vector_zetas() {
    VectorZetas v{};
    for (int k = 0; k < 128; ++k) v.ntt[k] = ZETAS.ntt[k], v.ntt_qinv[k] = times_qinv(ZETAS.ntt[k]);
    for (int r = 0; r < 7; ++r) {
        for (int l = 0; l < 16; ++l) {
            v.fwd[r][l] = ZETAS.fwd_lanes[r][l];
            v.fwd_qinv[r][l] = times_qinv(ZETAS.fwd_lanes[r][l]);
            v.inv[r][l] = ZETAS.inv_lanes[r][l];
            v.inv_qinv[r][l] = times_qinv(ZETAS.inv_lanes[r][l]);
        }
    }
    for (int m = 0; m < 8; ++m) {
        for (int l = 0; l < 16; ++l) {
            v.gamma[m][l] = ZETAS.gamma_lanes[m][l];
            v.gamma_qinv[m][l] = times_qinv(ZETAS.gamma_lanes[m][l]);
        }
    }
    return v;
}

constexpr VectorZetas VZ = make_vector_zetas();

}  // namespace

// Everything below is compiled for AVX2 and reached only through poly_avx2.h.
#include "crypto/mlkem768/avx2_begin.h"

// The loops are unrolled in full so that the rows stay in registers and every
// twiddle index is a constant.

namespace {

inline __m256i load(const std::int16_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store(std::int16_t* p, __m256i v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
}

// fqmul(z, x) lane by lane, with zq = z q^-1 mod 2^16.
inline __m256i fqmul(__m256i x, __m256i z, __m256i zq) {
    const __m256i t = _mm256_mullo_epi16(x, zq);
    return _mm256_sub_epi16(_mm256_mulhi_epi16(x, z), _mm256_mulhi_epi16(t, _mm256_set1_epi16(Q)));
}

inline __m256i barrett(__m256i a) {
    constexpr std::int16_t V = ((1 << 26) + Q / 2) / Q;
    __m256i t = _mm256_mulhi_epi16(a, _mm256_set1_epi16(V));
    t = _mm256_srai_epi16(_mm256_add_epi16(t, _mm256_set1_epi16(1 << 9)), 10);
    return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, _mm256_set1_epi16(Q)));
}

inline void butterfly(__m256i& lo, __m256i& hi, __m256i z, __m256i zq) {
    const __m256i t = fqmul(hi, z, zq);
    hi = _mm256_sub_epi16(lo, t);
    lo = _mm256_add_epi16(lo, t);
}

inline void inv_butterfly(__m256i& lo, __m256i& hi, __m256i z, __m256i zq) {
    const __m256i t = lo;
    lo = barrett(_mm256_add_epi16(t, hi));
    hi = fqmul(_mm256_sub_epi16(hi, t), z, zq);
}

// The 8 x 8 blocks of 16-bit values in rows a[0..7], within each 128-bit half:
// afterwards a[k] holds column k of the low halves and column k + 8 of the
// high halves.
inline void transpose8(__m256i* a) {
    __m256i b[8], c[8];
#pragma GCC unroll 16
    for (int i = 0; i < 4; ++i) {
        b[2 * i] = _mm256_unpacklo_epi16(a[2 * i], a[2 * i + 1]);
        b[2 * i + 1] = _mm256_unpackhi_epi16(a[2 * i], a[2 * i + 1]);
    }
#pragma GCC unroll 16
    for (int i = 0; i < 2; ++i) {
        c[4 * i] = _mm256_unpacklo_epi32(b[4 * i], b[4 * i + 2]);
        c[4 * i + 1] = _mm256_unpackhi_epi32(b[4 * i], b[4 * i + 2]);
        c[4 * i + 2] = _mm256_unpacklo_epi32(b[4 * i + 1], b[4 * i + 3]);
        c[4 * i + 3] = _mm256_unpackhi_epi32(b[4 * i + 1], b[4 * i + 3]);
    }
#pragma GCC unroll 16
    for (int i = 0; i < 4; ++i) {
        a[2 * i] = _mm256_unpacklo_epi64(c[i], c[i + 4]);
        a[2 * i + 1] = _mm256_unpackhi_epi64(c[i], c[i + 4]);
    }
}

// The 16 x 16 matrix of rows r[0..15], transposed in registers.
inline void transpose16(__m256i* r) {
    transpose8(r);
    transpose8(r + 8);
    __m256i t[16];
#pragma GCC unroll 16
    for (int k = 0; k < 8; ++k) {
        t[k] = _mm256_permute2x128_si256(r[k], r[k + 8], 0x20);
        t[k + 8] = _mm256_permute2x128_si256(r[k], r[k + 8], 0x31);
    }
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) r[k] = t[k];
}

}  // namespace

void ntt(Poly& p) {
    __m256i r[16];
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) r[v] = load(p.c + 16 * v);
    int k = 1;
#pragma GCC unroll 16
    for (int len = 8; len >= 1; len >>= 1) {  // coefficient distance 128 .. 16: whole rows
#pragma GCC unroll 16
        for (int start = 0; start < 16; start += 2 * len, ++k) {
            const __m256i z = _mm256_set1_epi16(VZ.ntt[k]), zq = _mm256_set1_epi16(VZ.ntt_qinv[k]);
#pragma GCC unroll 16
            for (int v = start; v < start + len; ++v) butterfly(r[v], r[v + len], z, zq);
        }
    }
    transpose16(r);
#pragma GCC unroll 16
    for (int t = 3; t >= 1; --t) {  // distance 8, 4, 2: rows of the transposed layout
        const int len = 1 << t;
#pragma GCC unroll 16
        for (int start = 0, g = 0; start < 16; start += 2 * len, ++g) {
            const int row = (1 << (3 - t)) - 1 + g;
            const __m256i z = load(VZ.fwd[row]), zq = load(VZ.fwd_qinv[row]);
#pragma GCC unroll 16
            for (int v = start; v < start + len; ++v) butterfly(r[v], r[v + len], z, zq);
        }
    }
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) store(p.c + 16 * v, barrett(r[v]));
}

void inv_ntt(Poly& p) {
    __m256i r[16];
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) r[v] = load(p.c + 16 * v);
#pragma GCC unroll 16
    for (int t = 1; t <= 3; ++t) {
        const int len = 1 << t;
#pragma GCC unroll 16
        for (int start = 0, g = 0; start < 16; start += 2 * len, ++g) {
            const int row = (1 << (3 - t)) - 1 + g;
            const __m256i z = load(VZ.inv[row]), zq = load(VZ.inv_qinv[row]);
#pragma GCC unroll 16
            for (int v = start; v < start + len; ++v) inv_butterfly(r[v], r[v + len], z, zq);
        }
    }
    transpose16(r);
    int k = 15;
#pragma GCC unroll 16
    for (int len = 1; len <= 8; len <<= 1) {
#pragma GCC unroll 16
        for (int start = 0; start < 16; start += 2 * len, --k) {
            const __m256i z = _mm256_set1_epi16(VZ.ntt[k]), zq = _mm256_set1_epi16(VZ.ntt_qinv[k]);
#pragma GCC unroll 16
            for (int v = start; v < start + len; ++v) inv_butterfly(r[v], r[v + len], z, zq);
        }
    }
    const __m256i s = _mm256_set1_epi16(INV_NTT_SCALE),
                  sq = _mm256_set1_epi16(times_qinv(INV_NTT_SCALE));
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) store(p.c + 16 * v, fqmul(r[v], s, sq));
}

void prepare_operand(const Poly& b, MulOperand& out) {
#pragma GCC unroll 16
    for (int m = 0; m < 8; ++m) {
        const __m256i even = load(b.c + 32 * m), odd = load(b.c + 32 * m + 16);
        store(out.p.c + 32 * m, even);
        store(out.p.c + 32 * m + 16, odd);
        store(out.odd_gamma + 16 * m, fqmul(odd, load(VZ.gamma[m]), load(VZ.gamma_qinv[m])));
    }
}

// MultiplyNTTs on rows 2m, 2m + 1: the 32-bit sums a0 b0 + a1 b1 gamma and
// a0 b1 + a1 b0 are one vpmaddwd each on interleaved pairs. Interleaving
// works within 128-bit halves, so the products of lanes 0..3 and 8..11 come
// out together (and 4..7 with 12..15) and are put back in order.
template <bool Accumulate>
inline void mul_rows(Accumulator& acc, const Poly& a, const MulOperand& b) {
#pragma GCC unroll 8
    for (int m = 0; m < 8; ++m) {
        const __m256i a0 = load(a.c + 32 * m), a1 = load(a.c + 32 * m + 16);
        const __m256i b0 = load(b.p.c + 32 * m), b1 = load(b.p.c + 32 * m + 16);
        const __m256i b1g = load(b.odd_gamma + 16 * m);
        const __m256i a_lo = _mm256_unpacklo_epi16(a0, a1), a_hi = _mm256_unpackhi_epi16(a0, a1);
        const __m256i even_lo = _mm256_madd_epi16(a_lo, _mm256_unpacklo_epi16(b0, b1g));
        const __m256i even_hi = _mm256_madd_epi16(a_hi, _mm256_unpackhi_epi16(b0, b1g));
        const __m256i odd_lo = _mm256_madd_epi16(a_lo, _mm256_unpacklo_epi16(b1, b0));
        const __m256i odd_hi = _mm256_madd_epi16(a_hi, _mm256_unpackhi_epi16(b1, b0));
        __m256i out[4] = {_mm256_permute2x128_si256(even_lo, even_hi, 0x20),
                          _mm256_permute2x128_si256(even_lo, even_hi, 0x31),
                          _mm256_permute2x128_si256(odd_lo, odd_hi, 0x20),
                          _mm256_permute2x128_si256(odd_lo, odd_hi, 0x31)};
        __m256i* c = reinterpret_cast<__m256i*>(acc.c + 32 * m);  // c0[0..15], then c1[0..15]
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            if constexpr (Accumulate) out[i] = _mm256_add_epi32(_mm256_load_si256(c + i), out[i]);
            _mm256_store_si256(c + i, out[i]);
        }
    }
}

void mul_set(Accumulator& acc, const Poly& a, const MulOperand& b) { mul_rows<false>(acc, a, b); }
void mul_add(Accumulator& acc, const Poly& a, const MulOperand& b) { mul_rows<true>(acc, a, b); }

// montgomery_reduce of each 32-bit sum: the low and the high 16 bits of 16
// sums are gathered into one register each (the packs interleave 128-bit
// halves, the 64-bit permutation undoes it), then t = lo q^-1 and
// hi - hi(t q).
void mul_reduce(const Accumulator& acc, Poly& out) {
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i qinv = _mm256_set1_epi16(QINV), q = _mm256_set1_epi16(Q);
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) {
        const __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc.c + 16 * v));
        const __m256i y = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc.c + 16 * v + 8));
        const __m256i lo = _mm256_permute4x64_epi64(
            _mm256_packus_epi32(_mm256_and_si256(x, low16), _mm256_and_si256(y, low16)), 0xD8);
        const __m256i hi = _mm256_permute4x64_epi64(
            _mm256_packs_epi32(_mm256_srai_epi32(x, 16), _mm256_srai_epi32(y, 16)), 0xD8);
        const __m256i t = _mm256_mullo_epi16(lo, qinv);
        store(out.c + 16 * v, _mm256_sub_epi16(hi, _mm256_mulhi_epi16(t, q)));
    }
}

void to_montgomery(Poly& p) {
    const __m256i r2 = _mm256_set1_epi16(MONT_R2), r2q = _mm256_set1_epi16(times_qinv(MONT_R2));
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) store(p.c + 16 * v, fqmul(load(p.c + 16 * v), r2, r2q));
}

void canonical(Poly& p) {
    const __m256i q = _mm256_set1_epi16(Q);
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) {
        const __m256i r = barrett(load(p.c + 16 * v));
        store(p.c + 16 * v, _mm256_add_epi16(r, _mm256_and_si256(_mm256_srai_epi16(r, 15), q)));
    }
}

// Row v of the ordinary layout is FIPS coefficients 16 v .. 16 v + 15, that
// is 24 bytes of ByteEncode12 at 24 v. Transposing moves between that and the
// NTT layout. Loads and stores take exactly 24 bytes: the buffers are keys in
// guarded memory, where reading past the end is not harmless.

void encode12_ntt(const Poly& p, std::uint8_t out[POLY_BYTES]) {
    __m256i r[16];
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) r[v] = load(p.c + 16 * v);
    transpose16(r);
    const __m256i pair = _mm256_set1_epi32((1 << 12) << 16 | 1);  // a0 + 2^12 a1 per 32 bits
    const __m256i pack =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                         0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) {
        __m256i w = _mm256_madd_epi16(r[v], pair);
        w = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(w, pack), join);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24 * v), _mm256_castsi256_si128(w));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 24 * v + 16),
                         _mm256_extracti128_si256(w, 1));
    }
}

void decode12_ntt(const std::uint8_t in[POLY_BYTES], Poly& p) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,  //
                                            0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11);
    const __m256i low12 = _mm256_set1_epi16(0x0FFF);
    __m256i r[16];
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 24 * v));
        const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 24 * v + 16));
        const __m128i hi = _mm_alignr_epi8(tail, lo, 12);  // bytes 12 .. 23
        __m256i w = _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), spread);
        r[v] = _mm256_blend_epi16(_mm256_and_si256(w, low12), _mm256_srli_epi16(w, 4), 0xAA);
    }
    transpose16(r);
#pragma GCC unroll 16
    for (int v = 0; v < 16; ++v) store(p.c + 16 * v, r[v]);
}

#include "crypto/mlkem768/avx2_end.h"

}  // namespace velmora::crypto::mlkem768::avx2
