// The one constant-time helper. Every comparison or selection that depends on a
// secret goes through here, so the barrier that keeps the compiler from turning
// masks back into branches lives in a single place.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VELMORA_VALGRIND_CT)
#include <valgrind/memcheck.h>
#endif

namespace velmora::ct {

// The valgrind constant-time check (a build with VELMORA_VALGRIND_CT): a secret
// is marked undefined for memcheck where it is born, so every branch and every
// memory index computed from it is reported; a value that is public by design
// is marked defined again, through a named call that states why. Outside that
// build both are nothing.
inline void mark_secret(const void* p, std::size_t n) {
#if defined(VELMORA_VALGRIND_CT)
    (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
    (void)p;
    (void)n;
#endif
}
inline void declassify(const void* p, std::size_t n, const char* why) {
#if defined(VELMORA_VALGRIND_CT)
    (void)VALGRIND_MAKE_MEM_DEFINED(p, n);
#else
    (void)p;
    (void)n;
#endif
    (void)why;
}
// valgrind's view of the module's own stacks (locked/own_stack.h) in the
// same build: a stack registered as one, so that switching to it is not taken
// for a huge frame, and its dead part made writable again before it is wiped
// from another stack (memcheck makes what a returning frame leaves
// inaccessible). Outside that build all three are nothing.
inline unsigned register_stack(const void* lo, const void* hi) {
#if defined(VELMORA_VALGRIND_CT)
    return VALGRIND_STACK_REGISTER(lo, hi);
#else
    (void)lo;
    (void)hi;
    return 0;
#endif
}
inline void deregister_stack(unsigned id) {
#if defined(VELMORA_VALGRIND_CT)
    VALGRIND_STACK_DEREGISTER(id);
#else
    (void)id;
#endif
}
inline void make_stack_writable(const void* p, std::size_t n) {
#if defined(VELMORA_VALGRIND_CT)
    (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// The same for one scalar, passed through.
template <class T>
T declassified(T v, const char* why) {
    declassify(&v, sizeof v, why);
    return v;
}

// Hides a value from the optimiser: after this it cannot prove anything about it,
// so it cannot replace mask arithmetic with a branch.
inline std::uint32_t barrier(std::uint32_t v) {
    __asm__ volatile("" : "+r"(v));
    return v;
}
inline std::uint64_t barrier(std::uint64_t v) {
    __asm__ volatile("" : "+r"(v));
    return v;
}
inline std::uint8_t barrier(std::uint8_t v) {
    std::uint32_t w = v;
    __asm__ volatile("" : "+r"(w));
    return static_cast<std::uint8_t>(w);
}

// 0xFFFFFFFF when a == b, else 0, without a branch.
inline std::uint32_t eq_mask(std::uint32_t a, std::uint32_t b) {
    std::uint32_t x = barrier(a ^ b);
    // (x | -x) has its top bit set exactly when x != 0.
    std::uint32_t nonzero = (x | (0u - x)) >> 31;
    return barrier(nonzero) - 1u;
}

// The same on 64 bits: all ones when a == b, else 0.
inline std::uint64_t eq_mask64(std::uint64_t a, std::uint64_t b) {
    std::uint64_t x = barrier(a ^ b);
    std::uint64_t nonzero = (x | (0 - x)) >> 63;
    return barrier(nonzero) - 1;
}

// 0xFFFFFFFF if the n bytes at a and b are equal, else 0. Touches every byte
// with no early exit: the differences are OR-ed together 64 bytes at a time (a
// loop the compiler vectorises), the running value passes the barrier after
// every chunk so no exit can be derived from it, and only the final value meets
// eq_mask.
//
// The verdict is as secret as the bytes compared: a caller that acts on it in
// the open (a tag check that refuses) declassifies it at its own call site,
// with its reason; one that must not (ML-KEM's implicit rejection) selects by
// it, and the constant-time check sees any branch on it.
inline std::uint32_t bytes_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    std::uint32_t diff = 0;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        std::uint8_t chunk = 0;
        for (std::size_t k = 0; k < 64; ++k)
            chunk |= static_cast<std::uint8_t>(a[i + k] ^ b[i + k]);
        diff = barrier(diff | chunk);
    }
    for (; i < n; ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return eq_mask(diff, 0);
}

// out[i] = mask ? a[i] : b[i], for a mask that is 0x00 or 0xFF.
inline void select_bytes(std::uint8_t* out, const std::uint8_t* a, const std::uint8_t* b,
                         std::size_t n, std::uint8_t mask) {
    const std::uint8_t m = barrier(mask);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(b[i] ^ (m & (a[i] ^ b[i])));
    }
}

}  // namespace velmora::ct
