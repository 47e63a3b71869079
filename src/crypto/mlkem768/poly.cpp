#include "crypto/mlkem768/poly.h"

#include "crypto/sha3.h"

// The row loops below are written for the auto-vectoriser. On x86-64 the hot
// functions are also built for AVX2 and picked at load time; the code is the
// same, only the vector width differs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(VELMORA_NO_TARGET_CLONES)
#define MLKEM_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MLKEM_VECTOR_CLONES
#endif

namespace velmora::crypto::mlkem768 {

namespace {

constexpr int ROW = 16;
constexpr int ROWS = N / ROW;

// One butterfly per lane of two rows, with a twiddle shared by all lanes or
// one per lane.
inline void butterfly(std::int16_t* __restrict__ lo, std::int16_t* __restrict__ hi, std::int16_t zeta) {
    for (int l = 0; l < ROW; ++l) {
        const std::int16_t t = fqmul(zeta, hi[l]);
        hi[l] = static_cast<std::int16_t>(lo[l] - t);
        lo[l] = static_cast<std::int16_t>(lo[l] + t);
    }
}
inline void butterfly(std::int16_t* __restrict__ lo, std::int16_t* __restrict__ hi, const std::int16_t* zeta) {
    for (int l = 0; l < ROW; ++l) {
        const std::int16_t t = fqmul(zeta[l], hi[l]);
        hi[l] = static_cast<std::int16_t>(lo[l] - t);
        lo[l] = static_cast<std::int16_t>(lo[l] + t);
    }
}
inline void inv_butterfly(std::int16_t* __restrict__ lo, std::int16_t* __restrict__ hi, std::int16_t zeta) {
    for (int l = 0; l < ROW; ++l) {
        const std::int16_t t = lo[l];
        lo[l] = barrett_reduce(static_cast<std::int16_t>(t + hi[l]));
        hi[l] = fqmul(zeta, static_cast<std::int16_t>(hi[l] - t));
    }
}
inline void inv_butterfly(std::int16_t* __restrict__ lo, std::int16_t* __restrict__ hi, const std::int16_t* zeta) {
    for (int l = 0; l < ROW; ++l) {
        const std::int16_t t = lo[l];
        lo[l] = barrett_reduce(static_cast<std::int16_t>(t + hi[l]));
        hi[l] = fqmul(zeta[l], static_cast<std::int16_t>(hi[l] - t));
    }
}

// In place, so that no copy of the coefficients is left on the stack.
inline void transpose(Poly& p) {
    for (int r = 0; r < ROWS; ++r) {
        for (int l = r + 1; l < ROW; ++l) {
            const std::int16_t t = p.c[r * ROW + l];
            p.c[r * ROW + l] = p.c[l * ROW + r];
            p.c[l * ROW + r] = t;
        }
    }
}

}  // namespace

// --- transforms -----------------------------------------------------------------
//
// Coefficient j = 16 v + l sits in row v, lane l before the transpose and in
// row l, lane v after it. The layers of len 128..16 pair rows of the ordinary
// layout; those of len 8, 4, 2 pair rows of the transposed one. Either way a
// butterfly combines two whole rows.

MLKEM_VECTOR_CLONES void ntt(Poly& p) {
    std::int16_t* r = p.c;
    int k = 1;
    for (int len = ROWS / 2; len >= 1; len >>= 1) {  // len 128 .. 16, in rows
        for (int start = 0; start < ROWS; start += 2 * len) {
            const std::int16_t zeta = ZETAS.ntt[k++];
            for (int v = start; v < start + len; ++v) butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    transpose(p);
    for (int t = 3; t >= 1; --t) {  // len 8, 4, 2, in rows of the transposed layout
        const int len = 1 << t;
        for (int start = 0, g = 0; start < ROWS; start += 2 * len, ++g) {
            const std::int16_t* zeta = ZETAS.fwd_lanes[(1 << (3 - t)) - 1 + g];
            for (int v = start; v < start + len; ++v) butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    // Each layer adds less than q to the magnitude: below 8q = 26632 here.
    for (int j = 0; j < N; ++j) r[j] = barrett_reduce(r[j]);
}

MLKEM_VECTOR_CLONES void inv_ntt(Poly& p) {
    std::int16_t* r = p.c;
    for (int t = 1; t <= 3; ++t) {
        const int len = 1 << t;
        for (int start = 0, g = 0; start < ROWS; start += 2 * len, ++g) {
            const std::int16_t* zeta = ZETAS.inv_lanes[(1 << (3 - t)) - 1 + g];
            for (int v = start; v < start + len; ++v) inv_butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    transpose(p);
    int k = 15;  // the layers of len 16 .. 128 use zetas 15 down to 1
    for (int len = 1; len <= ROWS / 2; len <<= 1) {
        for (int start = 0; start < ROWS; start += 2 * len) {
            const std::int16_t zeta = ZETAS.ntt[k--];
            for (int v = start; v < start + len; ++v) inv_butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    for (int j = 0; j < N; ++j) r[j] = fqmul(r[j], INV_NTT_SCALE);
}

// --- NTT-domain products ---------------------------------------------------------
//
// MultiplyNTTs works on 128 degree-one pairs: (a0 + a1 X)(b0 + b1 X) mod
// (X^2 - gamma) = (a0 b0 + a1 b1 gamma) + (a0 b1 + a1 b0) X. In the NTT layout
// the pair (2i, 2i+1) is the same lane of rows 2m and 2m+1.

MLKEM_VECTOR_CLONES void prepare_operand(const Poly& b, MulOperand& out) {
    out.p = b;
    for (int m = 0; m < ROWS / 2; ++m) {
        const std::int16_t* odd = b.c + (2 * m + 1) * ROW;
        for (int l = 0; l < ROW; ++l) out.odd_gamma[m * ROW + l] = fqmul(odd[l], ZETAS.gamma_lanes[m][l]);
    }
}

namespace {

template <bool Accumulate>
inline void mul_rows(Accumulator& acc, const Poly& a, const MulOperand& b) {
    for (int m = 0; m < ROWS / 2; ++m) {
        const std::int16_t* a0 = a.c + 2 * m * ROW;
        const std::int16_t* a1 = a0 + ROW;
        const std::int16_t* b0 = b.p.c + 2 * m * ROW;
        const std::int16_t* b1 = b0 + ROW;
        const std::int16_t* b1g = b.odd_gamma + m * ROW;
        std::int32_t* c0 = acc.c + 2 * m * ROW;
        std::int32_t* c1 = c0 + ROW;
        for (int l = 0; l < ROW; ++l) {
            const std::int32_t even = a0[l] * b0[l] + a1[l] * b1g[l];
            const std::int32_t odd = a0[l] * b1[l] + a1[l] * b0[l];
            c0[l] = Accumulate ? c0[l] + even : even;
            c1[l] = Accumulate ? c1[l] + odd : odd;
        }
    }
}

}  // namespace

MLKEM_VECTOR_CLONES void mul_set(Accumulator& acc, const Poly& a, const MulOperand& b) {
    mul_rows<false>(acc, a, b);
}

MLKEM_VECTOR_CLONES void mul_add(Accumulator& acc, const Poly& a, const MulOperand& b) {
    mul_rows<true>(acc, a, b);
}

MLKEM_VECTOR_CLONES void mul_reduce(const Accumulator& acc, Poly& out) {
    for (int j = 0; j < N; ++j) out.c[j] = montgomery_reduce(acc.c[j]);
}

// --- coefficient-wise ----------------------------------------------------------------

void add(Poly& r, const Poly& a) {
    for (int i = 0; i < N; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] + a.c[i]);
}

void sub_from(Poly& r, const Poly& a) {
    for (int i = 0; i < N; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] - r.c[i]);
}

MLKEM_VECTOR_CLONES void to_montgomery(Poly& p) {
    for (int i = 0; i < N; ++i) p.c[i] = fqmul(p.c[i], MONT_R2);
}

MLKEM_VECTOR_CLONES void canonical(Poly& p) {
    for (int i = 0; i < N; ++i) p.c[i] = to_canonical(p.c[i]);
}

// --- sampling ----------------------------------------------------------------------

void sample_ntt(Poly& p, Shake128Stream& xof) {
    // Each block is first split into its 112 12-bit candidates; then every
    // candidate is stored and kept by advancing the count, so the loop has no
    // branch per candidate. A block is only started while fewer than N are
    // kept, hence the slack.
    constexpr int PER_BLOCK = 2 * Shake128Stream::BLOCK_BYTES / 3;
    std::int16_t out[N + PER_BLOCK];
    std::size_t j = 0;
    while (j < N) {
        const std::uint8_t* b = xof.next_block();
        std::int16_t d[PER_BLOCK];
        for (int i = 0; i < PER_BLOCK / 2; ++i) {
            const std::uint16_t b0 = b[3 * i], b1 = b[3 * i + 1], b2 = b[3 * i + 2];
            d[2 * i] = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
            d[2 * i + 1] = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
        }
        for (int i = 0; i < PER_BLOCK; ++i) {
            out[j] = d[i];
            j += static_cast<std::size_t>(d[i] < Q);
        }
    }
    for (int r = 0; r < ROWS; ++r) {
        for (int l = 0; l < ROW; ++l) p.c[r * ROW + l] = out[l * ROW + r];  // ntt_index
    }
}

void sample_cbd2(Poly& p, const std::uint8_t buf[CBD_BYTES]) {
    // Eight coefficients per 32-bit word: each takes four bits, x = b0 + b1
    // and y = b2 + b3, and becomes x - y.
    for (int w = 0; w < N / 8; ++w) {
        const std::uint32_t t = static_cast<std::uint32_t>(buf[4 * w]) |
                                static_cast<std::uint32_t>(buf[4 * w + 1]) << 8 |
                                static_cast<std::uint32_t>(buf[4 * w + 2]) << 16 |
                                static_cast<std::uint32_t>(buf[4 * w + 3]) << 24;
        const std::uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
        for (int k = 0; k < 8; ++k) {
            const std::int16_t x = static_cast<std::int16_t>((d >> (4 * k)) & 3);
            const std::int16_t y = static_cast<std::int16_t>((d >> (4 * k + 2)) & 3);
            p.c[8 * w + k] = static_cast<std::int16_t>(x - y);
        }
    }
}

// --- encodings ---------------------------------------------------------------------

void encode12_ntt(const Poly& p, std::uint8_t out[POLY_BYTES]) {
    for (int i = 0; i < N / 2; ++i) {
        const std::uint16_t a0 = static_cast<std::uint16_t>(p.c[ntt_index(2 * i)]);
        const std::uint16_t a1 = static_cast<std::uint16_t>(p.c[ntt_index(2 * i + 1)]);
        out[3 * i] = static_cast<std::uint8_t>(a0);
        out[3 * i + 1] = static_cast<std::uint8_t>((a0 >> 8) | (a1 << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(a1 >> 4);
    }
}

void decode12_ntt(const std::uint8_t in[POLY_BYTES], Poly& p) {
    for (int i = 0; i < N / 2; ++i) {
        const std::uint16_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
        p.c[ntt_index(2 * i)] = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
        p.c[ntt_index(2 * i + 1)] = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
    }
}

std::uint32_t decode12_in_range_mask(const std::uint8_t* in, std::size_t len) {
    std::uint32_t over = 0;
    for (std::size_t i = 0; i + 3 <= len; i += 3) {
        const std::int32_t a0 = in[i] | ((in[i + 1] & 0x0F) << 8);
        const std::int32_t a1 = (in[i + 1] >> 4) | (in[i + 2] << 4);
        // (q - 1 - a) is negative exactly when a >= q.
        over |= static_cast<std::uint32_t>((Q - 1 - a0) | (Q - 1 - a1));
    }
    return (over >> 31) - 1u;
}

void compress_encode_du(const Poly& p, std::uint8_t out[32 * DU]) {
    for (int i = 0; i < N / 4; ++i) {
        std::uint32_t t[4];
        for (int k = 0; k < 4; ++k) t[k] = compress<DU>(static_cast<std::uint16_t>(p.c[4 * i + k]));
        out[5 * i] = static_cast<std::uint8_t>(t[0]);
        out[5 * i + 1] = static_cast<std::uint8_t>((t[0] >> 8) | (t[1] << 2));
        out[5 * i + 2] = static_cast<std::uint8_t>((t[1] >> 6) | (t[2] << 4));
        out[5 * i + 3] = static_cast<std::uint8_t>((t[2] >> 4) | (t[3] << 6));
        out[5 * i + 4] = static_cast<std::uint8_t>(t[3] >> 2);
    }
}

void compress_encode_dv(const Poly& p, std::uint8_t out[32 * DV]) {
    for (int i = 0; i < N / 2; ++i) {
        const std::uint32_t t0 = compress<DV>(static_cast<std::uint16_t>(p.c[2 * i]));
        const std::uint32_t t1 = compress<DV>(static_cast<std::uint16_t>(p.c[2 * i + 1]));
        out[i] = static_cast<std::uint8_t>(t0 | (t1 << 4));
    }
}

void decode_decompress_du(const std::uint8_t in[32 * DU], Poly& p) {
    for (int i = 0; i < N / 4; ++i) {
        const std::uint32_t b0 = in[5 * i], b1 = in[5 * i + 1], b2 = in[5 * i + 2],
                            b3 = in[5 * i + 3], b4 = in[5 * i + 4];
        const std::uint32_t t[4] = {
            (b0 | (b1 << 8)) & 0x3FF,
            ((b1 >> 2) | (b2 << 6)) & 0x3FF,
            ((b2 >> 4) | (b3 << 4)) & 0x3FF,
            ((b3 >> 6) | (b4 << 2)) & 0x3FF,
        };
        for (int k = 0; k < 4; ++k) p.c[4 * i + k] = static_cast<std::int16_t>(decompress<DU>(t[k]));
    }
}

void decode_decompress_dv(const std::uint8_t in[32 * DV], Poly& p) {
    for (int i = 0; i < N / 2; ++i) {
        p.c[2 * i] = static_cast<std::int16_t>(decompress<DV>(in[i] & 0x0F));
        p.c[2 * i + 1] = static_cast<std::int16_t>(decompress<DV>(in[i] >> 4));
    }
}

void from_message(const std::uint8_t m[32], Poly& p) {
    for (int i = 0; i < N; ++i) {
        const std::int16_t bit = static_cast<std::int16_t>((m[i / 8] >> (i % 8)) & 1);
        p.c[i] = static_cast<std::int16_t>(-bit & ((Q + 1) / 2));  // Decompress_1
    }
}

void to_message(const Poly& p, std::uint8_t m[32]) {
    for (int i = 0; i < 32; ++i) {
        std::uint32_t byte = 0;
        for (int k = 0; k < 8; ++k) byte |= compress<1>(static_cast<std::uint16_t>(p.c[8 * i + k])) << k;
        m[i] = static_cast<std::uint8_t>(byte);
    }
}

}  // namespace velmora::crypto::mlkem768
