// The AVX2 path: the operations of poly.h written with AVX2 intrinsics, and
// the samplers that draw four SHAKE streams at once through KeccakX4. Same
// layouts, same contracts and the same results as the portable functions of
// the same names. Call only when the CPU has AVX2.
#pragma once

#include <cstdint>

#include "crypto/mlkem768/poly.h"

namespace velmora::crypto::mlkem768::avx2 {

// SampleNTT(rho || idx[l][0] || idx[l][1]) into *out[l], for l < count <= 4.
void sample_ntt_x4(const std::uint8_t rho[32], const std::uint8_t idx[4][2], int count,
                   Poly* const out[4]);
// SamplePolyCBD_2(PRF_2(seed, nonce0 + l)) into *out[l], for l < count <= 4.
void sample_noise_x4(const std::uint8_t seed[32], std::uint8_t nonce0, int count,
                     Poly* const out[4]);
void sample_cbd2(Poly& p, const std::uint8_t buf[CBD_BYTES]);

void ntt(Poly& p);
void inv_ntt(Poly& p);
void prepare_operand(const Poly& b, MulOperand& out);
void mul_set(Accumulator& acc, const Poly& a, const MulOperand& b);
void mul_add(Accumulator& acc, const Poly& a, const MulOperand& b);
void mul_reduce(const Accumulator& acc, Poly& out);
void to_montgomery(Poly& p);
void canonical(Poly& p);
void encode12_ntt(const Poly& p, std::uint8_t out[POLY_BYTES]);
void decode12_ntt(const std::uint8_t in[POLY_BYTES], Poly& p);
void compress_encode_du(const Poly& p, std::uint8_t out[32 * DU]);
void compress_encode_dv(const Poly& p, std::uint8_t out[32 * DV]);
void decode_decompress_du(const std::uint8_t in[32 * DU], Poly& p);
void decode_decompress_dv(const std::uint8_t in[32 * DV], Poly& p);
void from_message(const std::uint8_t m[32], Poly& p);
void to_message(const Poly& p, std::uint8_t m[32]);

}  // namespace velmora::crypto::mlkem768::avx2
