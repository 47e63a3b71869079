#include "crypto/mlkem768/poly.h"

#include <string.h>

#include <cstring>
#include <type_traits>

#include "crypto/sha3.h"

// The row loops below are written for the auto-vectoriser at the baseline
// x86-64 width. This is the portable path, the one machines without AVX2 run
// and the one VELMORA_MLKEM_IMPL=portable forces, so it is built exactly once:
// the constant-time check then covers the very code those machines execute.

namespace velmora::crypto::mlkem768 {

namespace {

constexpr int ROW = 16;
constexpr int ROWS = N / ROW;

// One butterfly per lane of two rows, with a twiddle shared by all lanes or
// one per lane.
template <class Zeta>
inline void butterfly(std::int16_t* __restrict__ lo, std::int16_t* __restrict__ hi, Zeta zeta) {
    for (int l = 0; l < ROW; ++l) {
        std::int16_t z;
        if constexpr (std::is_same_v<Zeta, std::int16_t>) {
            z = zeta;
        } else {
            z = zeta[l];
        }
        const std::int16_t t = fqmul(z, hi[l]);
        hi[l] = static_cast<std::int16_t>(lo[l] - t);
        lo[l] = static_cast<std::int16_t>(lo[l] + t);
    }
}

template <class Zeta>
inline void inv_butterfly(std::int16_t* __restrict__ lo, std::int16_t* __restrict__ hi, Zeta zeta) {
    for (int l = 0; l < ROW; ++l) {
        std::int16_t z;
        if constexpr (std::is_same_v<Zeta, std::int16_t>) {
            z = zeta;
        } else {
            z = zeta[l];
        }
        const std::int16_t t = lo[l];
        lo[l] = barrett_reduce(static_cast<std::int16_t>(t + hi[l]));
        hi[l] = fqmul(z, static_cast<std::int16_t>(hi[l] - t));
    }
}

// Transposes a 4 x 4 block of 16-bit values held as four 64-bit rows.
inline void transpose4x4(std::uint64_t w[4]) {
    constexpr std::uint64_t M16 = 0x0000FFFF0000FFFFull, M32 = 0x00000000FFFFFFFFull;
    const std::uint64_t t0 = (w[0] & M16) | ((w[1] & M16) << 16);
    const std::uint64_t t1 = ((w[0] >> 16) & M16) | (w[1] & ~M16);
    const std::uint64_t t2 = (w[2] & M16) | ((w[3] & M16) << 16);
    const std::uint64_t t3 = ((w[2] >> 16) & M16) | (w[3] & ~M16);
    w[0] = (t0 & M32) | (t2 << 32);
    w[1] = (t1 & M32) | (t3 << 32);
    w[2] = (t0 >> 32) | (t2 & ~M32);
    w[3] = (t1 >> 32) | (t3 & ~M32);
}

// In place, by 4 x 4 blocks moved as 64-bit words: no copy of the
// coefficients is left in memory, and there are 4 times fewer moves than
// element by element.
inline void transpose(Poly& p) {
    for (int br = 0; br < 4; ++br) {
        for (int bc = br; bc < 4; ++bc) {
            std::uint64_t a[4], b[4];
            for (int k = 0; k < 4; ++k) {
                std::memcpy(&a[k], p.c + (4 * br + k) * ROW + 4 * bc, 8);
                std::memcpy(&b[k], p.c + (4 * bc + k) * ROW + 4 * br, 8);
            }
            transpose4x4(a);
            transpose4x4(b);
            for (int k = 0; k < 4; ++k) {
                std::memcpy(p.c + (4 * bc + k) * ROW + 4 * br, &a[k], 8);
                if (bc != br) std::memcpy(p.c + (4 * br + k) * ROW + 4 * bc, &b[k], 8);
            }
        }
    }
}

// p = the FIPS-order coefficients in `in`, rearranged into the NTT layout:
// coefficient j = 16 l + r goes to row r, lane l.
inline void to_ntt_layout(const std::int16_t* in, Poly& p) {
    for (int r = 0; r < ROWS; ++r) {
        for (int l = 0; l < ROW; ++l) p.c[r * ROW + l] = in[l * ROW + r];
    }
}

inline void from_ntt_layout(const Poly& p, std::int16_t* out) {
    for (int r = 0; r < ROWS; ++r) {
        for (int l = 0; l < ROW; ++l) out[l * ROW + r] = p.c[r * ROW + l];
    }
}

}  // namespace

// --- transforms -----------------------------------------------------------------
//
// Coefficient j = 16 v + l sits in row v, lane l before the transpose and in
// row l, lane v after it. The layers of len 128..16 pair rows of the ordinary
// layout; those of len 8, 4, 2 pair rows of the transposed one. Either way a
// butterfly combines two whole rows.

void ntt(Poly& p) {
    std::int16_t* r = p.c;
    int k = 1;
    for (int len = ROWS / 2; len >= 1; len >>= 1) {  // len 128 .. 16, in rows
        for (int start = 0; start < ROWS; start += 2 * len) {
            const std::int16_t zeta = ZETAS.ntt[k++];
            for (int v = start; v < start + len; ++v)
                butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    transpose(p);
    for (int t = 3; t >= 1; --t) {  // len 8, 4, 2, in rows of the transposed layout
        const int len = 1 << t;
        for (int start = 0, g = 0; start < ROWS; start += 2 * len, ++g) {
            const std::int16_t* zeta = ZETAS.fwd_lanes[(1 << (3 - t)) - 1 + g];
            for (int v = start; v < start + len; ++v)
                butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    // Each layer adds less than q to the magnitude: below 8q = 26632 here.
    for (int j = 0; j < N; ++j) r[j] = barrett_reduce(r[j]);
}

void inv_ntt(Poly& p) {
    std::int16_t* r = p.c;
    for (int t = 1; t <= 3; ++t) {
        const int len = 1 << t;
        for (int start = 0, g = 0; start < ROWS; start += 2 * len, ++g) {
            const std::int16_t* zeta = ZETAS.inv_lanes[(1 << (3 - t)) - 1 + g];
            for (int v = start; v < start + len; ++v)
                inv_butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    transpose(p);
    int k = 15;  // the layers of len 16 .. 128 use zetas 15 down to 1
    for (int len = 1; len <= ROWS / 2; len <<= 1) {
        for (int start = 0; start < ROWS; start += 2 * len) {
            const std::int16_t zeta = ZETAS.ntt[k--];
            for (int v = start; v < start + len; ++v)
                inv_butterfly(r + v * ROW, r + (v + len) * ROW, zeta);
        }
    }
    for (int j = 0; j < N; ++j) r[j] = fqmul(r[j], INV_NTT_SCALE);
}

// --- NTT-domain products ---------------------------------------------------------
//
// MultiplyNTTs works on 128 degree-one pairs: (a0 + a1 X)(b0 + b1 X) mod
// (X^2 - gamma) = (a0 b0 + a1 b1 gamma) + (a0 b1 + a1 b0) X. In the NTT layout
// the pair (2i, 2i+1) is the same lane of rows 2m and 2m+1.

void prepare_operand(const Poly& b, MulOperand& out) {
    out.p = b;
    for (int m = 0; m < ROWS / 2; ++m) {
        const std::int16_t* odd = b.c + (2 * m + 1) * ROW;
        for (int l = 0; l < ROW; ++l)
            out.odd_gamma[m * ROW + l] = fqmul(odd[l], ZETAS.gamma_lanes[m][l]);
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

void mul_set(Accumulator& acc, const Poly& a, const MulOperand& b) { mul_rows<false>(acc, a, b); }

void mul_add(Accumulator& acc, const Poly& a, const MulOperand& b) { mul_rows<true>(acc, a, b); }

void mul_reduce(const Accumulator& acc, Poly& out) {
    for (int j = 0; j < N; ++j) out.c[j] = montgomery_reduce(acc.c[j]);
}

// --- coefficient-wise ----------------------------------------------------------------

void add(Poly& r, const Poly& a) {
    for (int i = 0; i < N; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] + a.c[i]);
}

void sub_from(Poly& r, const Poly& a) {
    for (int i = 0; i < N; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] - r.c[i]);
}

void to_montgomery(Poly& p) {
    for (int i = 0; i < N; ++i) p.c[i] = fqmul(p.c[i], MONT_R2);
}

void canonical(Poly& p) {
    for (int i = 0; i < N; ++i) p.c[i] = to_canonical(p.c[i]);
}

// --- sampling ----------------------------------------------------------------------

std::size_t sample_ntt_block(std::int16_t* out, std::size_t j, const std::uint8_t* b) {
    // The block is first split into its 112 12-bit candidates; then every
    // candidate is stored and kept by advancing the count, so the loop has no
    // branch per candidate.
    std::int16_t d[SAMPLE_NTT_PER_BLOCK];
    for (std::size_t i = 0; i < SAMPLE_NTT_PER_BLOCK / 2; ++i) {
        const std::uint16_t b0 = b[3 * i], b1 = b[3 * i + 1], b2 = b[3 * i + 2];
        d[2 * i] = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
        d[2 * i + 1] = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
    }
    for (std::size_t i = 0; i < SAMPLE_NTT_PER_BLOCK; ++i) {
        out[j] = d[i];
        j += static_cast<std::size_t>(d[i] < Q);
    }
    return j;
}

void from_fips_order(const std::int16_t in[N], Poly& p) { to_ntt_layout(in, p); }

void sample_ntt(Poly& p, Shake128Stream& xof) {
    // A block is only started while fewer than N are kept, hence the slack.
    std::int16_t out[N + SAMPLE_NTT_PER_BLOCK];
    std::size_t j = 0;
    while (j < N) j = sample_ntt_block(out, j, xof.next_block());
    to_ntt_layout(out, p);
}

void sample_cbd2(Poly& p, const std::uint8_t buf[CBD_BYTES]) {
    // Each byte gives two coefficients, one per nibble: with the bits b0..b3 of
    // a nibble, x = b0 + b1, y = b2 + b3, and the coefficient is x - y. The
    // bit counts are taken two bits at a time (b & 0x55) + ((b >> 1) & 0x55).
    for (int i = 0; i < N / 2; ++i) {
        const std::uint8_t b = buf[i];
        const std::uint8_t d = static_cast<std::uint8_t>((b & 0x55) + ((b >> 1) & 0x55));
        p.c[2 * i] = static_cast<std::int16_t>((d & 3) - ((d >> 2) & 3));
        p.c[2 * i + 1] = static_cast<std::int16_t>(((d >> 4) & 3) - (d >> 6));
    }
}

// --- encodings ---------------------------------------------------------------------

// Through a FIPS-order copy: the 3-byte packing then runs over consecutive
// coefficients. The copies hold secret coefficients (s^) and are wiped.
void encode12_ntt(const Poly& p, std::uint8_t out[POLY_BYTES]) {
    std::int16_t a[N];
    from_ntt_layout(p, a);
    for (int i = 0; i < N / 2; ++i) {
        const std::uint16_t a0 = static_cast<std::uint16_t>(a[2 * i]);
        const std::uint16_t a1 = static_cast<std::uint16_t>(a[2 * i + 1]);
        out[3 * i] = static_cast<std::uint8_t>(a0);
        out[3 * i + 1] = static_cast<std::uint8_t>((a0 >> 8) | (a1 << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(a1 >> 4);
    }
    secure_zero(a, sizeof a);
}

void decode12_ntt(const std::uint8_t in[POLY_BYTES], Poly& p) {
    std::int16_t a[N];
    for (int i = 0; i < N / 2; ++i) {
        const std::uint16_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
        a[2 * i] = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
        a[2 * i + 1] = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
    }
    to_ntt_layout(a, p);
    secure_zero(a, sizeof a);
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

// Compression and decompression run over all coefficients first, in loops the
// compiler vectorises; the bit packing follows.

void compress_encode_du(const Poly& p, std::uint8_t out[32 * DU]) {
    std::uint16_t t[N];
    for (int i = 0; i < N; ++i)
        t[i] = static_cast<std::uint16_t>(compress<DU>(static_cast<std::uint16_t>(p.c[i])));
    for (int i = 0; i < N / 4; ++i) {
        const std::uint16_t* q = t + 4 * i;
        out[5 * i] = static_cast<std::uint8_t>(q[0]);
        out[5 * i + 1] = static_cast<std::uint8_t>((q[0] >> 8) | (q[1] << 2));
        out[5 * i + 2] = static_cast<std::uint8_t>((q[1] >> 6) | (q[2] << 4));
        out[5 * i + 3] = static_cast<std::uint8_t>((q[2] >> 4) | (q[3] << 6));
        out[5 * i + 4] = static_cast<std::uint8_t>(q[3] >> 2);
    }
    secure_zero(t, sizeof t);
}

void compress_encode_dv(const Poly& p, std::uint8_t out[32 * DV]) {
    std::uint8_t t[N];
    for (int i = 0; i < N; ++i)
        t[i] = static_cast<std::uint8_t>(compress<DV>(static_cast<std::uint16_t>(p.c[i])));
    for (int i = 0; i < N / 2; ++i)
        out[i] = static_cast<std::uint8_t>(t[2 * i] | (t[2 * i + 1] << 4));
    secure_zero(t, sizeof t);
}

void decode_decompress_du(const std::uint8_t in[32 * DU], Poly& p) {
    for (int i = 0; i < N / 4; ++i) {
        const std::uint16_t b0 = in[5 * i], b1 = in[5 * i + 1], b2 = in[5 * i + 2],
                            b3 = in[5 * i + 3], b4 = in[5 * i + 4];
        p.c[4 * i] = static_cast<std::int16_t>((b0 | (b1 << 8)) & 0x3FF);
        p.c[4 * i + 1] = static_cast<std::int16_t>(((b1 >> 2) | (b2 << 6)) & 0x3FF);
        p.c[4 * i + 2] = static_cast<std::int16_t>(((b2 >> 4) | (b3 << 4)) & 0x3FF);
        p.c[4 * i + 3] = static_cast<std::int16_t>(((b3 >> 6) | (b4 << 2)) & 0x3FF);
    }
    for (int i = 0; i < N; ++i)
        p.c[i] = static_cast<std::int16_t>(decompress<DU>(static_cast<std::uint16_t>(p.c[i])));
}

void decode_decompress_dv(const std::uint8_t in[32 * DV], Poly& p) {
    for (int i = 0; i < N / 2; ++i) {
        p.c[2 * i] = static_cast<std::int16_t>(in[i] & 0x0F);
        p.c[2 * i + 1] = static_cast<std::int16_t>(in[i] >> 4);
    }
    for (int i = 0; i < N; ++i)
        p.c[i] = static_cast<std::int16_t>(decompress<DV>(static_cast<std::uint16_t>(p.c[i])));
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
        for (int k = 0; k < 8; ++k)
            byte |= compress<1>(static_cast<std::uint16_t>(p.c[8 * i + k])) << k;
        m[i] = static_cast<std::uint8_t>(byte);
    }
}

}  // namespace velmora::crypto::mlkem768
