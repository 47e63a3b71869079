// The code paths ML-KEM-768 can run on, and the one this process uses.
//
// The public functions of crypto/mlkem768.h run on the path chosen once per
// process: AVX2 when the CPU has it, else the portable C++ one. Setting
// VELMORA_MLKEM_IMPL=portable (or avx2) before the first operation forces a
// path (surrounding whitespace and case ignored, as for the lock policy); any
// other value, or avx2 on a CPU without it, means portable. Every
// path gives the same bytes; the per-path entry points below exist so tests
// and benchmarks can compare them in one process.
#pragma once

#include <cstdint>

#include "crypto/mlkem768.h"

namespace velmora::crypto::mlkem768 {

enum class Impl : std::uint8_t { Portable, Avx2 };
inline constexpr Impl ALL_IMPLS[] = {Impl::Portable, Impl::Avx2};

bool impl_available(Impl impl);
Impl active_impl();
const char* impl_name(Impl impl);  // "portable", "avx2"

// The operations of crypto/mlkem768.h on a given, available path. A^ has the
// same layout on every path, so a matrix from one serves them all.
void keygen_on(Impl impl, const std::uint8_t d[SEED_BYTES], const std::uint8_t z[SEED_BYTES],
               std::uint8_t ek[PUBLIC_KEY_BYTES], std::uint8_t dk[SECRET_KEY_BYTES]);
void encaps_on(Impl impl, const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[SEED_BYTES],
               std::uint8_t key[SHARED_BYTES], std::uint8_t ct[CIPHERTEXT_BYTES]);
// `a` may be null: A^ is then sampled from the ek inside dk.
void decaps_on(Impl impl, const std::uint8_t dk[SECRET_KEY_BYTES],
               const std::uint8_t ct[CIPHERTEXT_BYTES], const ExpandedMatrix* a,
               std::uint8_t key[SHARED_BYTES]);
ExpandedMatrixPtr expand_matrix_on(Impl impl, const std::uint8_t ek[PUBLIC_KEY_BYTES]);

}  // namespace velmora::crypto::mlkem768
