// ML-KEM-768 parameters, modular arithmetic and the NTT constant tables.
//
// Coefficients are int16_t. Products go through Montgomery reduction with
// R = 2^16; the twiddle factors are stored pre-multiplied by R so that a
// Montgomery product with one of them is an ordinary product mod q. Every
// function here is branch-free and indexes memory only by public counters.
#pragma once

#include "zeroize.h"

#include <cstddef>
#include <cstdint>

namespace velmora::crypto::mlkem768 {

inline constexpr int N = 256;
inline constexpr int K = 3;
inline constexpr int Q = 3329;
inline constexpr int ETA = 2;  // eta1 = eta2 = 2 for ML-KEM-768
inline constexpr int DU = 10;
inline constexpr int DV = 4;

inline constexpr std::size_t POLY_BYTES = 384;                // ByteEncode12 of one polynomial
inline constexpr std::size_t POLYVEC_BYTES = K * POLY_BYTES;  // 1152
inline constexpr std::size_t C1_BYTES = K * 32 * DU;          // 960
inline constexpr std::size_t C2_BYTES = 32 * DV;              // 128
inline constexpr std::size_t CBD_BYTES = 64 * ETA;            // 128

inline constexpr std::int16_t QINV = -3327;  // q^-1 mod 2^16, as a signed value

// a * b * R^-1 mod q, in (-q, q), for |a * b| < q * 2^15. The same Montgomery
// reduction written with 16-bit halves only: with t = (a b mod 2^16) q^-1 mod
// 2^16, a b - t q is a multiple of 2^16, so its top half is exactly
// hi(a b) - hi(t q). Vectorisers map each step onto one 16-bit multiply.
inline std::int16_t mulhi(std::int16_t a, std::int16_t b) {
    return static_cast<std::int16_t>((static_cast<std::int32_t>(a) * b) >> 16);
}
inline std::int16_t mullo(std::int16_t a, std::int16_t b) {
    return static_cast<std::int16_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(a)) *
                                     static_cast<std::uint16_t>(b));
}
inline std::int16_t fqmul(std::int16_t a, std::int16_t b) {
    const std::int16_t t = mullo(mullo(a, b), QINV);
    return static_cast<std::int16_t>(mulhi(a, b) - mulhi(t, static_cast<std::int16_t>(Q)));
}

// a * R^-1 mod q, in (-q, q), for |a| < q * 2^15: the same reduction for a
// 32-bit value, whose top half is exact after subtracting t q as above.
inline std::int16_t montgomery_reduce(std::int32_t a) {
    const std::int16_t t = mullo(static_cast<std::int16_t>(a), QINV);
    return static_cast<std::int16_t>((a >> 16) - mulhi(t, static_cast<std::int16_t>(Q)));
}

// A representative of a mod q in [-(q-1)/2, (q-1)/2], for any int16_t a:
// a - q * round(a * V / 2^26) with V = round(2^26 / q). The quotient is taken
// as mulhi(a, V) rounded by the last 10 bits, which is the same integer as
// floor((a V + 2^25) / 2^26) and keeps every step in 16 bits.
inline std::int16_t barrett_reduce(std::int16_t a) {
    constexpr std::int16_t V = ((1 << 26) + Q / 2) / Q;
    const std::int16_t t = static_cast<std::int16_t>((mulhi(a, V) + (1 << 9)) >> 10);
    return static_cast<std::int16_t>(a - mullo(t, static_cast<std::int16_t>(Q)));
}

// The representative in [0, q) of any int16_t value.
inline std::int16_t to_canonical(std::int16_t a) {
    std::int16_t r = barrett_reduce(a);
    return static_cast<std::int16_t>(r + ((r >> 15) & Q));
}

namespace tables {

constexpr int pow_mod(int base, int exp) {
    long r = 1, b = base % Q;
    while (exp > 0) {
        if (exp & 1) r = r * b % Q;
        b = b * b % Q;
        exp >>= 1;
    }
    return static_cast<int>(r);
}

constexpr int bitrev7(int i) {
    int r = 0;
    for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
    return r;
}

// x * R mod q, centred in (-q/2, q/2].
constexpr std::int16_t to_montgomery(int x) {
    long m = (static_cast<long>(x) << 16) % Q;
    if (m > Q / 2) m -= Q;
    return static_cast<std::int16_t>(m);
}

struct Zetas {
    std::int16_t ntt[128];  // zeta^BitRev7(k), Montgomery form, indexed as in Algorithms 9 and 10
    // The same twiddles for the NTT layers that run on the transposed layout
    // (len 8, 4, 2), where they differ from lane to lane: row (2^(3-t) - 1 + g)
    // serves the butterflies of layer len = 2^t whose row index r has
    // r >> (t+1) == g. Forward layers use k = 2^(7-t) + (lane << (3-t)) + g,
    // inverse layers k' = 2^(8-t) - 1 - ((lane << (3-t)) + g).
    std::int16_t fwd_lanes[7][16];
    std::int16_t inv_lanes[7][16];
    // gamma_i = zeta^(2*BitRev7(i)+1) for the pair (2i, 2i+1) held in rows
    // 2m, 2m+1 at lane l: i = 8l + m. Montgomery form.
    std::int16_t gamma_lanes[8][16];
};

constexpr Zetas make_zetas() {
    Zetas z{};
    for (int k = 0; k < 128; ++k) z.ntt[k] = to_montgomery(pow_mod(17, bitrev7(k)));
    for (int t = 1; t <= 3; ++t) {
        for (int g = 0; g < (1 << (3 - t)); ++g) {
            for (int lane = 0; lane < 16; ++lane) {
                const int b = (lane << (3 - t)) + g;
                z.fwd_lanes[(1 << (3 - t)) - 1 + g][lane] = z.ntt[(1 << (7 - t)) + b];
                z.inv_lanes[(1 << (3 - t)) - 1 + g][lane] = z.ntt[(1 << (8 - t)) - 1 - b];
            }
        }
    }
    for (int m = 0; m < 8; ++m) {
        for (int lane = 0; lane < 16; ++lane) {
            z.gamma_lanes[m][lane] = to_montgomery(pow_mod(17, 2 * bitrev7(8 * lane + m) + 1));
        }
    }
    return z;
}

}  // namespace tables

inline constexpr tables::Zetas ZETAS = tables::make_zetas();

// R^2 mod q: a Montgomery product with it moves a value into Montgomery form.
inline constexpr std::int16_t MONT_R2 = static_cast<std::int16_t>((1ull << 32) % Q);
// R^2 / 128 mod q: the final scaling of the inverse NTT, which also cancels the
// R^-1 that a Montgomery product of two ordinary values leaves behind.
inline constexpr std::int16_t INV_NTT_SCALE =
    static_cast<std::int16_t>(((1ull << 32) % Q) * tables::pow_mod(128, Q - 2) % Q);

static_assert(ZETAS.ntt[1] == tables::to_montgomery(1729));  // 17^64 mod q
static_assert(MONT_R2 == 1353 && INV_NTT_SCALE == 1441);

}  // namespace velmora::crypto::mlkem768
