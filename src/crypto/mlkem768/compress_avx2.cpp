// The AVX2 path's compression and message encodings, on the ordinary layout
// of poly.h: row v holds coefficients 16 v .. 16 v + 15. The results are
// those of compress<D>, decompress<D> and the portable encoders, bit for bit.
// Loads and stores take exactly the bytes of one row: the buffers may be
// ciphertexts or keys in guarded memory.
#include <immintrin.h>

#include <cstring>

#include "crypto/mlkem768/poly_avx2.h"

namespace velmora::crypto::mlkem768::avx2 {

#include "crypto/mlkem768/avx2_begin.h"

namespace {

inline __m256i load_row(const Poly& p, int v) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p.c + 16 * v));
}
inline void store_row(Poly& p, int v, __m256i x) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p.c + 16 * v), x);
}

// floor(n / 2q) for 32-bit n < 2^23 in each lane: (n M) >> 36 on 64-bit
// products, the reciprocal of compress<D>.
inline __m256i div_2q(__m256i n) {
    constexpr std::uint32_t M = ((1ull << 36) + 2 * Q - 1) / (2 * Q);
    const __m256i m = _mm256_set1_epi32(static_cast<int>(M));
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(n, m), 36);
    const __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(n, 32), m), 36);
    return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

// compress<D> of 16 values in [0, q): n = 2^(D+1) x + q by pairs (x, 1),
// the division, and back to 16 bits in the original order.
template <int D>
inline __m256i compress16(__m256i x) {
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i k = _mm256_set1_epi32(Q << 16 | (1 << (D + 1)));
    const __m256i lo = div_2q(_mm256_madd_epi16(_mm256_unpacklo_epi16(x, ones), k));
    const __m256i hi = div_2q(_mm256_madd_epi16(_mm256_unpackhi_epi16(x, ones), k));
    return _mm256_and_si256(_mm256_packus_epi32(lo, hi), _mm256_set1_epi16((1 << D) - 1));
}

// decompress<D>(y) = (q y + 2^(D-1)) >> D = (q (y << (15 - D)) + 2^14) >> 15.
template <int D>
inline __m256i decompress16(__m256i y) {
    return _mm256_mulhrs_epi16(_mm256_slli_epi16(y, 15 - D), _mm256_set1_epi16(Q));
}

}  // namespace

void compress_encode_du(const Poly& p, std::uint8_t out[32 * DU]) {
    // 16 values of 10 bits make 20 bytes: pairs into 20-bit, then into 40-bit
    // words, then the 5 low bytes of each 64-bit word.
    const __m256i pair = _mm256_set1_epi32(1 << 10 << 16 | 1);
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i bytes =
        _mm256_setr_epi8(0, 1, 2, 3, 4, 8, 9, 10, 11, 12, -1, -1, -1, -1, -1, -1,  //
                         0, 1, 2, 3, 4, 8, 9, 10, 11, 12, -1, -1, -1, -1, -1, -1);
    for (int v = 0; v < 16; ++v) {
        __m256i w = _mm256_madd_epi16(compress16<DU>(load_row(p, v)), pair);
        w = _mm256_or_si256(_mm256_and_si256(w, low32),
                            _mm256_slli_epi64(_mm256_srli_epi64(w, 32), 20));
        w = _mm256_shuffle_epi8(w, bytes);
        const __m128i lo = _mm256_castsi256_si128(w), hi = _mm256_extracti128_si256(w, 1);
        // bytes 0..9 from the low half, 10..19 from the high half
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 20 * v),
                         _mm_or_si128(lo, _mm_slli_si128(hi, 10)));
        const std::uint32_t tail =
            static_cast<std::uint32_t>(_mm_extract_epi32(_mm_srli_si128(hi, 6), 0));
        std::memcpy(out + 20 * v + 16, &tail, 4);
    }
}

void decode_decompress_du(const std::uint8_t in[32 * DU], Poly& p) {
    // Value i of a row starts at bit 10 i: its two bytes go to lane i, then a
    // left shift by 6 - (10 i mod 8) and a right shift by 6 keep its 10 bits.
    const __m256i spread = _mm256_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9,  //
                                            0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9);
    const __m256i align = _mm256_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1);
    for (int v = 0; v < 16; ++v) {
        const std::uint8_t* row = in + 20 * v;
        std::uint32_t tail_bytes;
        std::memcpy(&tail_bytes, row + 16, 4);
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
        const __m128i hi = _mm_alignr_epi8(_mm_cvtsi32_si128(static_cast<int>(tail_bytes)), lo,
                                           10);  // bytes 10..19
        __m256i w = _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), spread);
        w = _mm256_srli_epi16(_mm256_mullo_epi16(w, align), 6);
        store_row(p, v, decompress16<DU>(w));
    }
}

void compress_encode_dv(const Poly& p, std::uint8_t out[32 * DV]) {
    // Two 4-bit values per byte: each 32-bit lane's low byte becomes
    // v0 | v1 << 4, then the four such bytes of each half are gathered.
    const __m256i bytes =
        _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                         0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    for (int v = 0; v < 16; ++v) {
        __m256i w = compress16<DV>(load_row(p, v));
        w = _mm256_shuffle_epi8(_mm256_or_si256(w, _mm256_srli_epi32(w, 12)), bytes);
        const std::uint32_t lo = static_cast<std::uint32_t>(_mm256_extract_epi32(w, 0));
        const std::uint32_t hi = static_cast<std::uint32_t>(_mm256_extract_epi32(w, 4));
        const std::uint64_t word = lo | static_cast<std::uint64_t>(hi) << 32;
        std::memcpy(out + 8 * v, &word, 8);
    }
}

void decode_decompress_dv(const std::uint8_t in[32 * DV], Poly& p) {
    // Lane i takes byte i / 2; even lanes keep its low nibble, odd ones the high.
    const __m256i spread =
        _mm256_setr_epi8(0, -1, 0, -1, 1, -1, 1, -1, 2, -1, 2, -1, 3, -1, 3, -1,  //
                         4, -1, 4, -1, 5, -1, 5, -1, 6, -1, 6, -1, 7, -1, 7, -1);
    const __m256i align = _mm256_setr_epi16(16, 1, 16, 1, 16, 1, 16, 1, 16, 1, 16, 1, 16, 1, 16, 1);
    const __m256i nibble = _mm256_set1_epi16(0x0F);
    for (int v = 0; v < 16; ++v) {
        std::uint64_t word;
        std::memcpy(&word, in + 8 * v, 8);
        __m256i w = _mm256_shuffle_epi8(_mm256_set1_epi64x(static_cast<long long>(word)), spread);
        w = _mm256_and_si256(_mm256_srli_epi16(_mm256_mullo_epi16(w, align), 4), nibble);
        store_row(p, v, decompress16<DV>(w));
    }
}

void from_message(const std::uint8_t m[32], Poly& p) {
    // Row v holds bits 16 v .. 16 v + 15: the two bytes in every lane, the
    // lane's own bit selected, and Decompress_1 as a mask.
    const __m256i bit = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096,
                                          8192, 16384, static_cast<short>(0x8000));
    const __m256i half_q = _mm256_set1_epi16((Q + 1) / 2);
    for (int v = 0; v < 16; ++v) {
        const std::uint16_t word = static_cast<std::uint16_t>(m[2 * v] | m[2 * v + 1] << 8);
        const __m256i set = _mm256_cmpeq_epi16(
            _mm256_and_si256(_mm256_set1_epi16(static_cast<short>(word)), bit), bit);
        store_row(p, v, _mm256_and_si256(set, half_q));
    }
}

void to_message(const Poly& p, std::uint8_t m[32]) {
    // Compress_1(x) for x in [0, q) is 1 exactly when 833 <= x <= 2496.
    const __m256i below = _mm256_set1_epi16(832), above = _mm256_set1_epi16(2497);
    for (int v = 0; v < 16; ++v) {
        const __m256i x = load_row(p, v);
        const __m256i one =
            _mm256_and_si256(_mm256_cmpgt_epi16(x, below), _mm256_cmpgt_epi16(above, x));
        const std::uint32_t bits =
            _pext_u32(static_cast<std::uint32_t>(_mm256_movemask_epi8(one)), 0x55555555);
        m[2 * v] = static_cast<std::uint8_t>(bits);
        m[2 * v + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
}

#include "crypto/mlkem768/avx2_end.h"

}  // namespace velmora::crypto::mlkem768::avx2
