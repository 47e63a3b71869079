// Polynomials of Z_q[X]/(X^256 + 1), the NTT, and the encodings.
//
// Layout. A polynomial in the ordinary domain keeps coefficient j at index j.
// A polynomial in the NTT domain is stored transposed as a 16 x 16 matrix:
// coefficient j of FIPS 203's NTT representation sits at index
// (j % 16) * 16 + j / 16. In that layout every butterfly of every NTT layer,
// and every degree-one product of MultiplyNTTs, combines whole rows of 16
// coefficients lane by lane, so all the loops below are plain 16-wide loops
// that the compiler turns into vector instructions. The layout is internal:
// the NTT-domain encodings and SampleNTT map to and from FIPS order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/mlkem768/params.h"

namespace velmora::crypto {
class Shake128Stream;
}

namespace velmora::crypto::mlkem768 {

struct Poly {
    alignas(32) std::int16_t c[N];
};

// Sums of NTT-domain products, unreduced in 32 bits until the last term is in.
struct Accumulator {
    alignas(32) std::int32_t c[N];
};

// The second operand of NTT-domain products, prepared once and reused: the
// polynomial, and its odd coefficients times gamma_i = zeta^(2*BitRev7(i)+1).
struct MulOperand {
    Poly p;
    alignas(32) std::int16_t odd_gamma[N / 2];
};

// --- transforms -------------------------------------------------------------
// Forward NTT (FIPS 203 Algorithm 9), ordinary layout in, NTT layout out.
// Input |c| < q; output reduced, |c| <= q/2.
void ntt(Poly& p);
// Inverse NTT (Algorithm 10) of an NTT-layout polynomial that carries the R^-1
// left by mul_reduce; the ordinary-layout result is reduced, |c| < q.
void inv_ntt(Poly& p);

// --- NTT-domain products (MultiplyNTTs, Algorithm 11) -------------------------
// b must have |c| < q.
void prepare_operand(const Poly& b, MulOperand& out);
// acc = a o b, or acc += a o b, for a with |c| < 2^12. Up to K products may be
// accumulated: 2K terms below 2^12 * q stay far from the q * 2^15 limit of
// Montgomery reduction.
void mul_set(Accumulator& acc, const Poly& a, const MulOperand& b);
void mul_add(Accumulator& acc, const Poly& a, const MulOperand& b);
// out = acc * R^-1 mod q, |c| < q.
void mul_reduce(const Accumulator& acc, Poly& out);

// --- coefficient-wise ---------------------------------------------------------
void add(Poly& r, const Poly& a);       // r += a, no reduction
void sub_from(Poly& r, const Poly& a);  // r = a - r, no reduction
void to_montgomery(Poly& p);            // p * R mod q, |c| < q
void canonical(Poly& p);                // representatives in [0, q)

// --- sampling -----------------------------------------------------------------
// SampleNTT (Algorithm 7) into NTT layout: rejection sampling from a SHAKE128
// stream derived from the public seed rho, so its timing may depend on it.
void sample_ntt(Poly& p, Shake128Stream& xof);
// Its steps, for callers that produce the blocks themselves: appends the
// candidates below q of one 168-byte block to out[j..] and returns the new
// count (called while j < N, out needs SAMPLE_NTT_PER_BLOCK entries of slack
// past N); then the first N, in FIPS order, go into NTT layout.
inline constexpr std::size_t SAMPLE_NTT_PER_BLOCK = 112;
std::size_t sample_ntt_block(std::int16_t* out, std::size_t j, const std::uint8_t* block);
void from_fips_order(const std::int16_t in[N], Poly& p);
// SamplePolyCBD_2 (Algorithm 8) over 128 bytes of PRF output, ordinary layout.
void sample_cbd2(Poly& p, const std::uint8_t buf[CBD_BYTES]);

// --- encodings ------------------------------------------------------------------
// ByteEncode12 of a canonical NTT-layout polynomial, in FIPS order.
void encode12_ntt(const Poly& p, std::uint8_t out[POLY_BYTES]);
// ByteDecode12 into NTT layout, without reduction: coefficients in [0, 4096).
void decode12_ntt(const std::uint8_t in[POLY_BYTES], Poly& p);
// All-ones when every 12-bit value in `in` is below q, else 0.
std::uint32_t decode12_in_range_mask(const std::uint8_t* in, std::size_t len);

// Compress_d then ByteEncode_d, of canonical coefficients.
void compress_encode_du(const Poly& p, std::uint8_t out[32 * DU]);
void compress_encode_dv(const Poly& p, std::uint8_t out[32 * DV]);
// ByteDecode_d then Decompress_d; coefficients in [0, q).
void decode_decompress_du(const std::uint8_t in[32 * DU], Poly& p);
void decode_decompress_dv(const std::uint8_t in[32 * DV], Poly& p);
// Decompress_1(ByteDecode_1(m)) and ByteEncode_1(Compress_1(p)), p canonical.
void from_message(const std::uint8_t m[32], Poly& p);
void to_message(const Poly& p, std::uint8_t m[32]);

// Compress_d(x) = round(2^d x / q) mod 2^d and Decompress_d(y) = round(q y / 2^d),
// for x in [0, q), y in [0, 2^d), without division instructions.
template <int D>
inline std::uint32_t compress(std::uint32_t x) {
    // floor((2^(d+1) x + q) / 2q) through a 36-bit reciprocal of 2q: exact for
    // every numerator below 2^23 (the tests compare all inputs).
    constexpr std::uint32_t M = ((1ull << 36) + 2 * Q - 1) / (2 * Q);
    const std::uint32_t n = (x << (D + 1)) + Q;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(n) * M) >> 36) & ((1u << D) - 1);
}

template <int D>
inline std::uint32_t decompress(std::uint32_t y) {
    return (y * Q + (1u << (D - 1))) >> D;
}

}  // namespace velmora::crypto::mlkem768
