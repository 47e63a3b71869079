// ML-KEM-768 (FIPS 203): key generation, encapsulation and decapsulation from
// caller-supplied randomness, and the input checks of FIPS 203 section 7.
//
// Keys and ciphertexts use the FIPS 203 encodings. The 2400-byte decapsulation
// key is the expanded form:
//
//   offset    0  1152 bytes  dk_PKE = ByteEncode12(s^)
//   offset 1152  1184 bytes  ek = ByteEncode12(t^) || rho
//   offset 2336    32 bytes  H(ek) = SHA3-256(ek)
//   offset 2368    32 bytes  z, the implicit-rejection secret
//
// Every function runs in time independent of the secrets it handles (d, z, the
// secret vector, m, the shared keys, the decrypted message) and wipes its
// secret intermediates before returning. Inputs are fixed-size arrays: callers
// check lengths first. The checks return a plain bool; callers report a failed
// check as ErrorKind::KeyRejected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::crypto::mlkem768 {

inline constexpr std::size_t SEED_BYTES = 32;          // d, z, m
inline constexpr std::size_t PUBLIC_KEY_BYTES = 1184;  // ek
inline constexpr std::size_t SECRET_KEY_BYTES = 2400;  // dk, expanded
inline constexpr std::size_t CIPHERTEXT_BYTES = 1088;
inline constexpr std::size_t SHARED_BYTES = 32;

inline constexpr std::size_t DK_PKE_OFFSET = 0;
inline constexpr std::size_t DK_EK_OFFSET = 1152;
inline constexpr std::size_t DK_HASH_OFFSET = 2336;
inline constexpr std::size_t DK_Z_OFFSET = 2368;

// ML-KEM.KeyGen_internal(d, z) (Algorithm 16). Always succeeds.
void keygen_internal(const std::uint8_t d[SEED_BYTES], const std::uint8_t z[SEED_BYTES],
                     std::uint8_t ek[PUBLIC_KEY_BYTES], std::uint8_t dk[SECRET_KEY_BYTES]);

// The encapsulation key check (FIPS 203 section 7.2): every 12-bit coefficient
// of t^ is below q, that is ByteEncode12(ByteDecode12(t^)) gives the same
// bytes. rho is not checked.
bool check_encapsulation_key(const std::uint8_t ek[PUBLIC_KEY_BYTES]);

// The decapsulation key check: the embedded ek passes the modulus check above,
// and SHA3-256 of it equals the stored H(ek) (the hash check of section 7.3).
// The secret vector and z are not examined.
bool check_decapsulation_key(const std::uint8_t dk[SECRET_KEY_BYTES]);

// ML-KEM.Encaps_internal(ek, m) (Algorithm 17). ek must have passed
// check_encapsulation_key; m is 32 fresh random bytes.
void encaps_internal(const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[SEED_BYTES],
                     std::uint8_t key[SHARED_BYTES], std::uint8_t ct[CIPHERTEXT_BYTES]);

// ML-KEM.Decaps_internal(dk, c) (Algorithm 18), with implicit rejection: a
// ciphertext that does not re-encrypt to itself yields SHAKE256(z || c) as the
// key, chosen in constant time. Never fails. dk must have passed
// check_decapsulation_key.
void decaps_internal(const std::uint8_t dk[SECRET_KEY_BYTES],
                     const std::uint8_t ct[CIPHERTEXT_BYTES], std::uint8_t key[SHARED_BYTES]);

// A^, the matrix of an encapsulation key, sampled from its seed rho. Sampling
// it is about half the work of the re-encryption inside decapsulation, so a
// long-lived key samples it once. It is public (rho is part of ek) and may
// live in ordinary memory.
struct ExpandedMatrix;
struct ExpandedMatrixDeleter {
    void operator()(ExpandedMatrix* m) const noexcept;
};
using ExpandedMatrixPtr = std::unique_ptr<ExpandedMatrix, ExpandedMatrixDeleter>;

// Samples A^ for `ek` (throws std::bad_alloc when memory runs out).
ExpandedMatrixPtr expand_matrix(const std::uint8_t ek[PUBLIC_KEY_BYTES]);

// decaps_internal with A^ already sampled: `a` must come from the ek embedded
// in dk (bytes 1152..2335). Same result, same constant-time properties.
void decaps_internal(const std::uint8_t dk[SECRET_KEY_BYTES],
                     const std::uint8_t ct[CIPHERTEXT_BYTES], const ExpandedMatrix& a,
                     std::uint8_t key[SHARED_BYTES]);

}  // namespace velmora::crypto::mlkem768
