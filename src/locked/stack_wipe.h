// What an operation leaves behind on the module's own stack, and in the
// vector registers, and how it is cleaned.
//
// Every operation's core work runs on a locked stack of the module's own
// (locked/own_stack.h): the key schedules, hash states and X25519/ML-KEM
// intermediates that our frames and the libraries' leave behind lie in memory
// that is page-locked, left out of core dumps and emptied in a fork child, and
// never in the caller's stack. Before that stack goes back to the pool, the
// part of it the operation used is zeroed; the vector registers (and AVX-512
// mask registers), which a signal would save into a frame on whatever stack is
// current, are cleared each time the work leaves the own stack, and once more
// when the call returns to the interpreter.
//
// Why not the caller's stack, wiped below the boundary afterwards, as this
// module once did: that wipe has to assume that everything between the
// caller's stack pointer and the thread's lowest address is dead, which only
// the caller can know. A coroutine stack carved out of an outer frame, a
// caller-supplied stack without a guard page, or a stack with little room left
// all broke it; the own stack writes nowhere but into the module's mappings,
// and it keeps the work in flight out of core dumps and swap too.
//
// The price is a depth that must stay measured: zeroing the whole stack after
// every call would cost more than a small operation itself, so each
// operation's entry declares how deep its work goes (py/methods.h) and only
// that much of the stack top is zeroed. tests/test_stack_depth.py runs every
// operation on the own stack and checks that what it writes lies within the
// depth declared for it, with margin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace velmora::stack_wipe {

// How much of the own stack's top an operation may use and is zeroed after it,
// by what it runs. Each depth is what tests/test_stack_depth.py measures as
// the family's deepest write on the own stack (printed there, per operation),
// plus a quarter and 1 KiB for another build of the libraries, rounded up to
// whole KiB. A larger depth costs zeroing time (about a cycle per 64 bytes:
// some 30 ns for DEFAULT, a tenth of a small AES-GCM call), never room: the
// own stack is sized for the deepest of them plus a signal frame
// (own_stack.cpp).
namespace depth {
// HKDF, AES-GCM, the pool, the boxes, the streams' constructors and the hybrid
// pair's accessors: at most about 2.4 KiB (AES-GCM's open), 2.5 KiB with
// ipsec-mb 2.0 built by GCC 16.
inline constexpr std::size_t DEFAULT = 5 * 1024;
// aes_gcm_open_secret: AES-GCM's open into a new box, whose region is made
// (and the mapping table's reserve checked) below the open; about 2.5 KiB.
inline constexpr std::size_t AES_GCM_OPEN_SECRET = 5 * 1024;
// SecretStreamPush.push and SecretStreamPull.pull: about 2.7 KiB.
inline constexpr std::size_t STREAM = 5 * 1024;
// HMAC-SHA512: about 4.1 KiB.
inline constexpr std::size_t HMAC = 7 * 1024;
// aes_gcm_open_json_field: AES-GCM, then the JSON reader's recursion; about
// 12.7 KiB at its nesting limit.
inline constexpr std::size_t JSON_FIELD = 20 * 1024;
// HybridKeyPair.from_secrets: the ML-KEM-768 public key recomputed from the
// decapsulation key, and X25519; about 9.6 KiB.
inline constexpr std::size_t HYBRID_FROM_SECRETS = 16 * 1024;
// HybridKeyPair.generate: ML-KEM-768 key generation (the sampled matrix and
// the four-way Keccak states sit on the stack) and X25519; about 22.5 KiB.
inline constexpr std::size_t HYBRID_GENERATE = 32 * 1024;
// seal_hybrid: ML-KEM-768 encapsulation, X25519, HKDF and AES-GCM; about
// 23.6 KiB.
inline constexpr std::size_t HYBRID_SEAL = 32 * 1024;
// HybridKeyPair.open, open_secret, open_session: ML-KEM-768 decapsulation (it
// encrypts again to compare), X25519, HKDF, AES-GCM and, for a session, the
// JSON reader; about 22.4 KiB.
inline constexpr std::size_t HYBRID_OPEN = 32 * 1024;
// The deepest of the above: what the own stack is sized for.
inline constexpr std::size_t DEEPEST = 32 * 1024;
}  // namespace depth

// Clears the vector registers (and AVX-512 mask registers) the processor has.
void clear_vector_registers() noexcept;

// Called when an operation takes the own stack [lo, top), before any work runs
// on it (nothing to do in the shipped build; the measuring build of the tests
// notes what the stack holds).
void on_take(std::uint8_t* lo, std::uint8_t* top) noexcept;

// Zeroes the `n` bytes just below `top` (cut to what lies above `lo`): the
// part of the own stack [lo, top) an operation declared.
void wipe_used(std::uint8_t* lo, std::uint8_t* top, std::size_t n) noexcept;

// Marks an entry point's work as one that needs a depth other than
// depth::DEFAULT, as the entries of py/methods.h do with their declared depth:
// guarded(stack_wipe::with_depth<stack_wipe::depth::HYBRID_OPEN>([&]() -> PyObject* { ... })).
template <std::size_t N, class F>
struct WithDepth {
    static constexpr std::size_t DEPTH = N;
    F f;
    decltype(auto) operator()() { return f(); }
};
template <std::size_t N, class F>
WithDepth<N, F> with_depth(F&& f) {
    return {std::forward<F>(f)};
}

template <class F>
constexpr std::size_t depth_of() {
    if constexpr (requires { std::remove_cvref_t<F>::DEPTH; })
        return std::remove_cvref_t<F>::DEPTH;
    else
        return depth::DEFAULT;
}

}  // namespace velmora::stack_wipe
