#include "crypto/x25519.h"

#include <sodium.h>

#include <cstring>

#include "crypto/ct.h"
#include "crypto/sodium_init.h"
#include "crypto/x25519/native.h"
#include "zeroize.h"

namespace velmora::crypto::x25519 {

namespace {

// libsodium leaves its working values on the stack when it returns: the last
// ladder point (the shared secret in 51-bit limbs), the scalar's digits. Every
// call that handles a secret scalar is followed by clearing this much of the
// stack below the caller's frame, far more than those calls use.
constexpr std::size_t LIBRARY_STACK_BYTES = 8192;

void clear_library_stack() { sodium_stackzero(LIBRARY_STACK_BYTES); }

// Arithmetic modulo p = 2^255 - 19 in five 51-bit limbs, only for turning a
// public Edwards y-coordinate into the Montgomery u-coordinate below. The
// values it handles are public, so it makes no effort to be constant-time.
struct Fe {
    std::uint64_t v[5];
};
using u128 = unsigned __int128;
constexpr std::uint64_t MASK51 = (std::uint64_t{1} << 51) - 1;

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;  // little-endian host (x86-64, aarch64)
}

Fe fe_from_bytes(const std::uint8_t s[32]) {  // the top bit is ignored
    const std::uint64_t w0 = load64(s), w1 = load64(s + 8), w2 = load64(s + 16),
                        w3 = load64(s + 24);
    return Fe{{w0 & MASK51, ((w0 >> 51) | (w1 << 13)) & MASK51, ((w1 >> 38) | (w2 << 26)) & MASK51,
               ((w2 >> 25) | (w3 << 39)) & MASK51, (w3 >> 12) & MASK51}};
}

// Carries a product back into five limbs of (about) 51 bits.
Fe fe_carry(u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
    std::uint64_t r0, r1, r2, r3, r4, c;
    r0 = static_cast<std::uint64_t>(t0) & MASK51;
    t1 += static_cast<std::uint64_t>(t0 >> 51);
    r1 = static_cast<std::uint64_t>(t1) & MASK51;
    t2 += static_cast<std::uint64_t>(t1 >> 51);
    r2 = static_cast<std::uint64_t>(t2) & MASK51;
    t3 += static_cast<std::uint64_t>(t2 >> 51);
    r3 = static_cast<std::uint64_t>(t3) & MASK51;
    t4 += static_cast<std::uint64_t>(t3 >> 51);
    r4 = static_cast<std::uint64_t>(t4) & MASK51;
    c = static_cast<std::uint64_t>(t4 >> 51);
    r0 += c * 19;
    r1 += r0 >> 51;
    r0 &= MASK51;
    return Fe{{r0, r1, r2, r3, r4}};
}

Fe fe_mul(const Fe& a, const Fe& b) {
    const std::uint64_t* x = a.v;
    const std::uint64_t* y = b.v;
    const std::uint64_t y1 = 19 * y[1], y2 = 19 * y[2], y3 = 19 * y[3], y4 = 19 * y[4];
    return fe_carry(
        (u128)x[0] * y[0] + (u128)x[1] * y4 + (u128)x[2] * y3 + (u128)x[3] * y2 + (u128)x[4] * y1,
        (u128)x[0] * y[1] + (u128)x[1] * y[0] + (u128)x[2] * y4 + (u128)x[3] * y3 + (u128)x[4] * y2,
        (u128)x[0] * y[2] + (u128)x[1] * y[1] + (u128)x[2] * y[0] + (u128)x[3] * y4 +
            (u128)x[4] * y3,
        (u128)x[0] * y[3] + (u128)x[1] * y[2] + (u128)x[2] * y[1] + (u128)x[3] * y[0] +
            (u128)x[4] * y4,
        (u128)x[0] * y[4] + (u128)x[1] * y[3] + (u128)x[2] * y[2] + (u128)x[3] * y[1] +
            (u128)x[4] * y[0]);
}

// a^(2^times).
Fe fe_sq(Fe a, int times = 1) {
    for (int i = 0; i < times; ++i) {
        const std::uint64_t* x = a.v;
        const std::uint64_t d0 = 2 * x[0], d1 = 2 * x[1];
        const std::uint64_t x3_19 = 19 * x[3], x4_19 = 19 * x[4];
        a = fe_carry((u128)x[0] * x[0] + (u128)(2 * x[1]) * x4_19 + (u128)(2 * x[2]) * x3_19,
                     (u128)d0 * x[1] + (u128)(2 * x[2]) * x4_19 + (u128)x[3] * x3_19,
                     (u128)d0 * x[2] + (u128)x[1] * x[1] + (u128)(2 * x[3]) * x4_19,
                     (u128)d0 * x[3] + (u128)d1 * x[2] + (u128)x[4] * x4_19,
                     (u128)d0 * x[4] + (u128)d1 * x[3] + (u128)x[2] * x[2]);
    }
    return a;
}

// z^(p-2) = 1/z for z != 0.
Fe fe_invert(const Fe& z) {
    const Fe z2 = fe_sq(z);
    const Fe z9 = fe_mul(fe_sq(z2, 2), z);
    const Fe z11 = fe_mul(z9, z2);
    const Fe z_5 = fe_mul(fe_sq(z11), z9);           // z^(2^5 - 1)
    const Fe z_10 = fe_mul(fe_sq(z_5, 5), z_5);      // z^(2^10 - 1)
    const Fe z_20 = fe_mul(fe_sq(z_10, 10), z_10);   // z^(2^20 - 1)
    const Fe z_40 = fe_mul(fe_sq(z_20, 20), z_20);   // z^(2^40 - 1)
    const Fe z_50 = fe_mul(fe_sq(z_40, 10), z_10);   // z^(2^50 - 1)
    const Fe z_100 = fe_mul(fe_sq(z_50, 50), z_50);  // z^(2^100 - 1)
    const Fe z_200 = fe_mul(fe_sq(z_100, 100), z_100);
    const Fe z_250 = fe_mul(fe_sq(z_200, 50), z_50);  // z^(2^250 - 1)
    return fe_mul(fe_sq(z_250, 5), z11);              // z^(2^255 - 21)
}

// The canonical 32-byte encoding (fully reduced below p), by the usual
// route: carry, add 19 to find out whether the value reaches p, then offset
// by 2^255 - p so that the top carry drops the extra p.
void fe_to_bytes(const Fe& a, std::uint8_t out[32]) {
    std::uint64_t t[5] = {a.v[0], a.v[1], a.v[2], a.v[3], a.v[4]};
    auto carry = [&t] {
        for (int i = 0; i < 4; ++i) {
            t[i + 1] += t[i] >> 51;
            t[i] &= MASK51;
        }
    };
    carry();
    t[0] += 19 * (t[4] >> 51);
    t[4] &= MASK51;
    t[0] += 19;
    carry();
    t[0] += 19 * (t[4] >> 51);
    t[4] &= MASK51;
    t[0] += 0x8000000000000 - 19;
    for (int i = 1; i < 5; ++i) t[i] += 0x8000000000000 - 1;
    carry();
    t[4] &= MASK51;
    const std::uint64_t w[4] = {t[0] | (t[1] << 51), (t[1] >> 13) | (t[2] << 38),
                                (t[2] >> 26) | (t[3] << 25), (t[3] >> 39) | (t[4] << 12)};
    std::memcpy(out, w, 32);
}

// u = (1 + y) / (1 - y), from the Edwards encoding of the same point.
void montgomery_from_edwards(const std::uint8_t ed[32], std::uint8_t u[32]) {
    const Fe y = fe_from_bytes(ed);
    // 2p in limbs, so that 1 - y stays non-negative before reduction.
    const Fe one_minus_y{{1 + 0xFFFFFFFFFFFDA - y.v[0], 0xFFFFFFFFFFFFE - y.v[1],
                          0xFFFFFFFFFFFFE - y.v[2], 0xFFFFFFFFFFFFE - y.v[3],
                          0xFFFFFFFFFFFFE - y.v[4]}};
    const Fe one_plus_y{{y.v[0] + 1, y.v[1], y.v[2], y.v[3], y.v[4]}};
    fe_to_bytes(fe_mul(one_plus_y, fe_invert(one_minus_y)), u);
}

}  // namespace

void public_key(const std::uint8_t scalar[KEY_BYTES], std::uint8_t out[KEY_BYTES]) {
    public_key(scalar, out, active_impl());
}

Status shared_secret(const std::uint8_t scalar[KEY_BYTES], const std::uint8_t peer[KEY_BYTES],
                     std::uint8_t out[KEY_BYTES]) {
    return shared_secret(scalar, peer, out, active_impl());
}

void public_key(const std::uint8_t scalar[KEY_BYTES], std::uint8_t out[KEY_BYTES], Impl impl) {
#if defined(__x86_64__)
    if (impl == Impl::Native) {
        native::scalarmult_base(out, scalar);
        ct::declassify(out, KEY_BYTES, "a public key is public");
        return;
    }
#endif
    ensure_sodium();
    // The fixed-base Edwards multiplication (a precomputed comb) is about
    // twice as fast as a Montgomery ladder from the base point; the result is
    // the same point, in the other curve's coordinates.
    std::uint8_t clamped[KEY_BYTES];
    WipeOnExit wipe(clamped);
    std::memcpy(clamped, scalar, KEY_BYTES);
    clamped[0] &= 248;
    clamped[31] &= 127;
    clamped[31] |= 64;
    std::uint8_t ed[KEY_BYTES];
    const int rc = crypto_scalarmult_ed25519_base_noclamp(ed, clamped);
    clear_library_stack();
    // The point is the public key in Edwards form; rc only says whether it is
    // the neutral element (never, for a clamped scalar).
    ct::declassify(ed, sizeof ed, "the Edwards form of a public key is public");
    if (ct::declassified(rc, "whether the public key is the neutral element") == 0) {
        ed[31] &= 127;  // drop the sign of x; u depends on y alone
        montgomery_from_edwards(ed, out);
        return;
    }
    // Never taken for a clamped scalar (it is neither zero nor a multiple of
    // the group order); kept so that the ladder stays the answer regardless.
    (void)crypto_scalarmult_curve25519_base(out, scalar);
    clear_library_stack();
    ct::declassify(out, KEY_BYTES, "a public key is public");
}

Status shared_secret(const std::uint8_t scalar[KEY_BYTES], const std::uint8_t peer[KEY_BYTES],
                     std::uint8_t out[KEY_BYTES], Impl impl) {
    // libsodium refuses a few low-order points up front without writing `out`;
    // starting from zeros makes that case land in the same all-zero check.
    secure_zero(out, KEY_BYTES);
    int rc = 0;
#if defined(__x86_64__)
    if (impl == Impl::Native) {
        native::scalarmult(out, scalar, peer);
    } else
#endif
    {
        ensure_sodium();
        rc = crypto_scalarmult_curve25519(out, scalar, peer);
        clear_library_stack();
    }
    static constexpr std::uint8_t ZERO[KEY_BYTES] = {};
    const std::uint32_t all_zero = ct::declassified(ct::bytes_equal(out, ZERO, KEY_BYTES),
                                                    "an all-zero shared secret is refused openly");
    // rc only says whether the peer point was of low order, which is public.
    const int low_order = ct::declassified(rc, "a low-order peer point is refused openly");
    if ((all_zero | static_cast<std::uint32_t>(low_order != 0)) != 0) {
        secure_zero(out, KEY_BYTES);
        return ErrorKind::KeyRejected;
    }
    return {};
}

}  // namespace velmora::crypto::x25519
