// X25519 on 64-bit limbs with mulx/adcx/adox (BMI2 + ADX). Field elements are
// four little-endian 64-bit words holding any value below 2^256 that is
// congruent to the element mod p = 2^255 - 19; only the encoding reduces fully.
// Everything here runs in constant time in the scalar and the point.
#pragma once

#include <cstdint>

namespace velmora::crypto::x25519 {

enum class Impl { Libsodium, Native };

// Whether this CPU runs the native path (BMI2 and ADX).
bool native_available();
// The path of this process, chosen on first use: the native one where the CPU
// has it, unless VELMORA_X25519_IMPL names one ("libsodium", "native", read as
// the lock policy is: surrounding whitespace and case ignored; any other value,
// or "native" on a CPU without it, gives libsodium).
Impl active_impl();
const char* impl_name(Impl impl);

namespace native {

// X25519(clamp(scalar), u) by the Montgomery ladder; the top bit of u is
// ignored and a u at or above p is taken mod p. Call only where
// native_available().
void scalarmult(std::uint8_t out[32], const std::uint8_t scalar[32], const std::uint8_t u[32]);
// X25519(clamp(scalar), 9) from the precomputed Edwards table.
void scalarmult_base(std::uint8_t out[32], const std::uint8_t scalar[32]);

// The field operations on raw 256-bit values (32 bytes, little-endian), for
// the exact-integer tests. Results of the arithmetic are not fully reduced;
// `encode` gives the canonical bytes below p. Add and Sub are key
// generation's own (intrinsics, any input below 2^256); Inv and the Ladder*
// ones are the hand-written field code (ladder_adx.S), whose LadderMul and
// LadderSqr key generation and the ladder's last product use too, LadderA24
// being 121666 a + b.
enum class FieldOp { Add, Sub, Inv, Encode, LadderMul, LadderSqr, LadderAdd, LadderSub, LadderA24 };
void field_op(FieldOp op, const std::uint8_t a[32], const std::uint8_t b[32], std::uint8_t out[32]);
// The hand-written ladder alone, for the same tests: the projective (x : z)
// of k (as given; bit 255 is never read) times the point with raw
// u-coordinate x1, unreduced, into xz[0..31] and xz[32..63].
void ladder(std::uint8_t xz[64], const std::uint8_t k[32], const std::uint8_t x1[32]);

}  // namespace native
}  // namespace velmora::crypto::x25519
