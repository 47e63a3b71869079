// The native X25519 path: field arithmetic mod p = 2^255 - 19 on four 64-bit
// limbs, the Montgomery ladder for a variable base, and a signed-window
// Edwards table for the base point. The products, the ladder and the
// inversion are ladder_adx.S's (one field code for both bases; a call per
// product costs nothing bench/x25519_cycles can see against products inlined
// here); the additions and subtractions stay here, since the
// Edwards formulas add sums of sums and these take any input below 2^256.
// Everything below the
// includes is compiled for BMI2 and ADX and reached only through native.h
// after the CPU check, so none of it runs on a CPU without them.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "crypto/ct.h"
#include "crypto/x25519/base_table.h"
#include "crypto/x25519/native.h"
#include "zeroize.h"

// The Montgomery ladder and its field operations, by hand (ladder_adx.S).
// Each Bounds line is the one above the entry point there, word for word
// (tests/test_x25519.py compares them and checks each on inputs at its bounds).
extern "C" {
// The projective (x2 : z2) of k times the point with u-coordinate x1, into
// xz[0..3] and xz[4..7]; bit 255 of k is never read.
// Bounds: in x1 < 2^256 - 38; out x2, z2 < 2^255 + 2^11.
void velmora_x25519_ladder(std::uint64_t xz[8], const std::uint64_t k[4],
                           const std::uint64_t x1[4]);
// r = 1/z (0 for z = 0 mod p).
// Bounds: in z < 2^256; out r < 2^255 + 2^11.
void velmora_x25519_invert(std::uint64_t r[4], const std::uint64_t z[4]);
// r = a * b, a^2 (b unused), a + b, a - b, 121666 a + b: the ladder's own
// operations.
// Bounds: in a, b < 2^256; out r < 2^255 + 2^11.
void velmora_x25519_fe_mul(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4]);
// Bounds: in a < 2^256; out r < 2^255 + 2^11.
void velmora_x25519_fe_sqr(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4]);
// Bounds: in a, b < 2^256 - 38; out r < 2^256.
void velmora_x25519_fe_add(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4]);
// Bounds: in a, b < 2^256 - 38; out r < 2^256.
void velmora_x25519_fe_sub(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4]);
// Bounds: in a, b < 2^256; out r < 2^255 + 2^23.
void velmora_x25519_fe_a24(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4]);
}

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("bmi2,adx"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("bmi2,adx")
#endif

namespace velmora::crypto::x25519::native {

namespace {

using u64 = std::uint64_t;
using u8 = unsigned char;

struct Fe {
    u64 v[4];
};

// 2^256 = 38 (mod p).
constexpr u64 FOLD = 38;

inline u8 adc(u8 c, u64 a, u64 b, u64* out) {
    unsigned long long r;
    c = _addcarryx_u64(c, a, b, &r);
    *out = r;
    return c;
}
inline u8 sbb(u8 c, u64 a, u64 b, u64* out) {
    unsigned long long r;
    c = _subborrow_u64(c, a, b, &r);
    *out = r;
    return c;
}

// The products are the ladder's own (ladder_adx.S).
// Bounds: in a, b < 2^256; out r < 2^255 + 2^11.
inline void fe_mul(Fe& r, const Fe& a, const Fe& b) { velmora_x25519_fe_mul(r.v, a.v, b.v); }
// Bounds: in a < 2^256; out r < 2^255 + 2^11.
inline void fe_sqr(Fe& r, const Fe& a) { velmora_x25519_fe_sqr(r.v, a.v, a.v); }

// The carry out of the top limb is worth 38; folding it can carry once more,
// and then the value is tiny, so the second fold ends it.
// Bounds: in a, b < 2^256; out r < 2^256.
inline void fe_add(Fe& r, const Fe& a, const Fe& b) {
    u64 r0, r1, r2, r3;
    u8 k = adc(0, a.v[0], b.v[0], &r0);
    k = adc(k, a.v[1], b.v[1], &r1);
    k = adc(k, a.v[2], b.v[2], &r2);
    k = adc(k, a.v[3], b.v[3], &r3);
    k = adc(0, r0, FOLD & (0 - static_cast<u64>(k)), &r0);
    k = adc(k, r1, 0, &r1);
    k = adc(k, r2, 0, &r2);
    k = adc(k, r3, 0, &r3);
    r.v[0] = r0 + (FOLD & (0 - static_cast<u64>(k)));
    r.v[1] = r1;
    r.v[2] = r2;
    r.v[3] = r3;
}

// The borrow likewise, taken off twice.
// Bounds: in a, b < 2^256; out r < 2^256.
inline void fe_sub(Fe& r, const Fe& a, const Fe& b) {
    u64 r0, r1, r2, r3;
    u8 k = sbb(0, a.v[0], b.v[0], &r0);
    k = sbb(k, a.v[1], b.v[1], &r1);
    k = sbb(k, a.v[2], b.v[2], &r2);
    k = sbb(k, a.v[3], b.v[3], &r3);
    k = sbb(0, r0, FOLD & (0 - static_cast<u64>(k)), &r0);
    k = sbb(k, r1, 0, &r1);
    k = sbb(k, r2, 0, &r2);
    k = sbb(k, r3, 0, &r3);
    r.v[0] = r0 - (FOLD & (0 - static_cast<u64>(k)));
    r.v[1] = r1;
    r.v[2] = r2;
    r.v[3] = r3;
}

// z^(p-2) = 1/z (0 for z = 0).
inline void fe_invert(Fe& out, const Fe& z) { velmora_x25519_invert(out.v, z.v); }

void fe_load(Fe& r, const std::uint8_t s[32]) { std::memcpy(r.v, s, 32); }

// The canonical encoding. Folding bit 255 leaves a value below 2^255 + 19 < 2p;
// adding 19 reaches bit 255 exactly when the value is at least p, and then
// the sum without that bit is the value minus p.
// Bounds: in a < 2^256; out the bytes of a mod p.
void fe_encode(std::uint8_t out[32], const Fe& a) {
    u64 r0, r1, r2, r3, s0, s1, s2, s3;
    const u64 top = a.v[3] >> 63;
    u8 k = adc(0, a.v[0], 19 * top, &r0);
    k = adc(k, a.v[1], 0, &r1);
    k = adc(k, a.v[2], 0, &r2);
    adc(k, a.v[3] & 0x7FFFFFFFFFFFFFFF, 0, &r3);
    k = adc(0, r0, 19, &s0);
    k = adc(k, r1, 0, &s1);
    k = adc(k, r2, 0, &s2);
    adc(k, r3, 0, &s3);
    const u64 ge = ct::barrier(0 - (s3 >> 63));
    s3 &= 0x7FFFFFFFFFFFFFFF;
    const u64 w[4] = {(s0 & ge) | (r0 & ~ge), (s1 & ge) | (r1 & ~ge), (s2 & ge) | (r2 & ~ge),
                      (s3 & ge) | (r3 & ~ge)};
    std::memcpy(out, w, 32);
}

// Swaps a and b when mask is all ones, leaves them when it is zero.
inline void fe_cswap(Fe& a, Fe& b, u64 mask) {
    for (int i = 0; i < 4; ++i) {
        const u64 x = (a.v[i] ^ b.v[i]) & mask;
        a.v[i] ^= x;
        b.v[i] ^= x;
    }
}

inline void fe_cmov(Fe& r, const Fe& a, u64 mask) {
    for (int i = 0; i < 4; ++i) r.v[i] ^= (r.v[i] ^ a.v[i]) & mask;
}

void clamp(std::uint8_t k[32], const std::uint8_t scalar[32]) {
    std::memcpy(k, scalar, 32);
    k[0] &= 248;
    k[31] &= 127;
    k[31] |= 64;
}

// ---- Edwards arithmetic for the base point (a = -1, extended coordinates) ----

struct Point {  // x = X/Z, y = Y/Z, x*y = T/Z
    Fe X, Y, Z, T;
};
struct Niels {  // an affine point as (y + x, y - x, 2*d*x*y)
    Fe ypx, ymx, xy2d;
};

// p + q, q given affine.
inline void madd(Point& r, const Point& p, const Niels& q) {
    Fe a, b, c, d, e, f, g, h;
    fe_sub(a, p.Y, p.X);
    fe_mul(a, a, q.ymx);
    fe_add(b, p.Y, p.X);
    fe_mul(b, b, q.ypx);
    fe_mul(c, p.T, q.xy2d);
    fe_add(d, p.Z, p.Z);
    fe_sub(e, b, a);
    fe_sub(f, d, c);
    fe_add(g, d, c);
    fe_add(h, b, a);
    fe_mul(r.X, e, f);
    fe_mul(r.Y, g, h);
    fe_mul(r.T, e, h);
    fe_mul(r.Z, f, g);
}

// 2p, with every intermediate negated against the usual a = -1 doubling
// (E, F, G, H -> -E, -F, -G, -H), which leaves the products unchanged.
inline void dbl(Point& r, const Point& p) {
    Fe a, b, c, e, f, g, h;
    fe_sqr(a, p.X);
    fe_sqr(b, p.Y);
    fe_sqr(c, p.Z);
    fe_add(c, c, c);
    fe_add(h, a, b);
    fe_add(e, p.X, p.Y);
    fe_sqr(e, e);
    fe_sub(e, h, e);
    fe_sub(g, a, b);
    fe_add(f, c, g);
    fe_mul(r.X, e, f);
    fe_mul(r.Y, g, h);
    fe_mul(r.T, e, h);
    fe_mul(r.Z, f, g);
}

// table[j - 1] for |digit| = j, the neutral element for 0, negated for a
// negative digit: every entry is read and masked, the one wanted (if any)
// OR-ed in, sixteen bytes at a time.
inline void select(Niels& r, const u64 (*row)[12], int8_t digit) {
    const u64 neg = 0 - static_cast<u64>(static_cast<std::uint8_t>(digit) >> 7);
    const u64 abs =
        static_cast<u64>((digit ^ static_cast<int8_t>(neg)) - static_cast<int8_t>(neg)) & 0xFF;
    __m128i acc[6];
    for (__m128i& v : acc) v = _mm_setzero_si128();
    for (u64 j = 0; j < 8; ++j) {
        const u64 m = ct::eq_mask64(abs, j + 1);
        const __m128i mv = _mm_set1_epi64x(static_cast<long long>(m));
        for (int w = 0; w < 6; ++w) {
            const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[j] + 2 * w));
            acc[w] = _mm_or_si128(acc[w], _mm_and_si128(e, mv));
        }
    }
    std::memcpy(&r, acc, sizeof r);
    // The neutral element (y + x = y - x = 1, 2dxy = 0) for a zero digit.
    const u64 zero = ct::eq_mask64(abs, 0) & 1;
    r.ypx.v[0] |= zero;
    r.ymx.v[0] |= zero;
    // -(x, y) = (-x, y): y + x and y - x trade places and 2dxy changes sign.
    Fe negated;
    fe_sub(negated, Fe{{0, 0, 0, 0}}, r.xy2d);
    fe_cswap(r.ypx, r.ymx, neg);
    fe_cmov(r.xy2d, negated, neg);
}

// What the two multiplications hold on their own frames: the clamped scalar
// (as bytes and as words), the base multiplication's signed digits, and the
// ladder's or the Edwards sum's points. All of it is wiped before they
// return; the hand-written ladder and inversion clear their own frames. The
// temporaries of the inlined field operations live in the frame of the
// [[gnu::noinline]] work functions below, whose callers then zero that much
// of the stack under them.
struct LadderWork {
    std::uint8_t k[32];
    u64 kw[4];
    Fe x1;
    Fe xz[2];
};

struct BaseWork {
    std::uint8_t k[32];
    int8_t e[64];  // k = sum e[i] 16^i, each in [-8, 8)
    Point h;
    Niels q;
    Fe num, den;
};

[[gnu::noinline]] void ladder_work(std::uint8_t out[32], const std::uint8_t scalar[32],
                                   const std::uint8_t u[32]) {
    LadderWork w;
    WipeOnExit wipe(w);
    clamp(w.k, scalar);
    std::memcpy(w.kw, w.k, 32);
    fe_load(w.x1, u);
    w.x1.v[3] &= 0x7FFFFFFFFFFFFFFF;
    velmora_x25519_ladder(w.xz[0].v, w.kw, w.x1.v);
    fe_invert(w.xz[1], w.xz[1]);
    fe_mul(w.xz[0], w.xz[0], w.xz[1]);
    fe_encode(out, w.xz[0]);
}

[[gnu::noinline]] void base_work(std::uint8_t out[32], const std::uint8_t scalar[32]) {
    BaseWork w;
    WipeOnExit wipe(w);
    clamp(w.k, scalar);
    // 64 signed digits in [-8, 8): k = sum e[i] 16^i.
    for (int i = 0; i < 32; ++i) {
        w.e[2 * i] = static_cast<int8_t>(w.k[i] & 15);
        w.e[2 * i + 1] = static_cast<int8_t>(w.k[i] >> 4);
    }
    int8_t carry = 0;
    for (int i = 0; i < 63; ++i) {
        w.e[i] = static_cast<int8_t>(w.e[i] + carry);
        carry = static_cast<int8_t>((w.e[i] + 8) >> 4);
        w.e[i] = static_cast<int8_t>(w.e[i] - carry * 16);
    }
    w.e[63] = static_cast<int8_t>(w.e[63] + carry);  // below 8: the top bit is clear
    // The odd digits first, times 16, then the even ones: row i holds
    // j * 256^i * B for j = 1..8.
    w.h = Point{{{0, 0, 0, 0}}, {{1, 0, 0, 0}}, {{1, 0, 0, 0}}, {{0, 0, 0, 0}}};
    for (int i = 1; i < 64; i += 2) {
        select(w.q, BASE_TABLE[i / 2], w.e[i]);
        madd(w.h, w.h, w.q);
    }
    dbl(w.h, w.h);
    dbl(w.h, w.h);
    dbl(w.h, w.h);
    dbl(w.h, w.h);
    for (int i = 0; i < 64; i += 2) {
        select(w.q, BASE_TABLE[i / 2], w.e[i]);
        madd(w.h, w.h, w.q);
    }
    // u = (1 + y) / (1 - y) = (Z + Y) / (Z - Y).
    fe_add(w.num, w.h.Z, w.h.Y);
    fe_sub(w.den, w.h.Z, w.h.Y);
    fe_invert(w.den, w.den);
    fe_mul(w.num, w.num, w.den);
    fe_encode(out, w.num);
}

// Well beyond either work function's frame and the field operations it calls
// (about 3 KiB for the base multiplication, its inlined Edwards arithmetic
// included, in the optimised build), so that the zeroing reaches every
// temporary the compiler spilled there; a few hundred nanoseconds against the
// tens of microseconds of the multiplication.
constexpr std::size_t WORK_FRAME_BYTES = 8192;

// Zeroes WORK_FRAME_BYTES just below the caller's frame: where the work
// function it called a moment before kept its frame.
[[gnu::noinline]] void wipe_work_frame() {
    std::uint8_t area[WORK_FRAME_BYTES];
    secure_zero(area, sizeof area);
}

}  // namespace

void scalarmult(std::uint8_t out[32], const std::uint8_t scalar[32], const std::uint8_t u[32]) {
    ladder_work(out, scalar, u);
    wipe_work_frame();
}

void scalarmult_base(std::uint8_t out[32], const std::uint8_t scalar[32]) {
    base_work(out, scalar);
    wipe_work_frame();
}

void ladder(std::uint8_t xz[64], const std::uint8_t k[32], const std::uint8_t x1[32]) {
    u64 kw[4], x[4], out[8];
    std::memcpy(kw, k, 32);
    std::memcpy(x, x1, 32);
    velmora_x25519_ladder(out, kw, x);
    std::memcpy(xz, out, 64);
}

void field_op(FieldOp op, const std::uint8_t a[32], const std::uint8_t b[32],
              std::uint8_t out[32]) {
    Fe x, y, r;
    fe_load(x, a);
    fe_load(y, b);
    switch (op) {
        case FieldOp::LadderMul:
            velmora_x25519_fe_mul(r.v, x.v, y.v);
            break;
        case FieldOp::LadderSqr:
            velmora_x25519_fe_sqr(r.v, x.v, y.v);
            break;
        case FieldOp::LadderAdd:
            velmora_x25519_fe_add(r.v, x.v, y.v);
            break;
        case FieldOp::LadderSub:
            velmora_x25519_fe_sub(r.v, x.v, y.v);
            break;
        case FieldOp::LadderA24:
            velmora_x25519_fe_a24(r.v, x.v, y.v);
            break;
        case FieldOp::Add:
            fe_add(r, x, y);
            break;
        case FieldOp::Sub:
            fe_sub(r, x, y);
            break;
        case FieldOp::Inv:
            fe_invert(r, x);
            break;
        case FieldOp::Encode:
            fe_encode(out, x);
            return;
    }
    std::memcpy(out, r.v, 32);
}

}  // namespace velmora::crypto::x25519::native

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
