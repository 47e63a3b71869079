// Cleaning the calling thread's stack and vector registers when an operation
// returns to the interpreter.
//
// Our own frames and the libraries' (SHA-2/HMAC, ChaCha20/HChaCha20, X25519,
// AES-GCM, the JSON reader) leave keys, key schedules and hash states behind in
// dead stack below the stack pointer, and in vector registers that a later
// signal would save into a frame on that same stack. Wiping each of them where
// it happens would mean a call in every frame of every library; instead every
// entry point runs its work one frame below the boundary (`guarded`) and, on
// the way out (returned or unwound), the boundary zeroes a fixed depth of
// stack below itself and clears the vector registers.
//
// Why a wipe at the boundary and not a separate locked stack per thread: the
// work already runs on the calling thread (those that release the interpreter
// lock too), switching stacks would have to follow every callback into the
// interpreter (buffer exports, allocation) and confuse the sanitizers' and
// debuggers' view of the stack, and a few kilobytes of zeroing per call costs
// tens of nanoseconds. The price is a depth that must stay measured:
// tests/test_stack_depth.py runs every operation over a canary-filled stack and
// checks that what it writes lies within the depth wiped for it, with margin.
// Zeroing costs about a cycle per 64 bytes (some 45 ns for depth::DEFAULT),
// so the few operations that go deeper say how deep (with_depth) instead of
// every call paying for the deepest.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "locked/stack_bounds.h"

namespace velmora::stack_wipe {

// How far below the boundary the stack is zeroed, by what an operation runs.
// Each depth is what tests/test_stack_depth.py measures as the family's
// deepest write (printed there, per operation), plus a quarter and 1 KiB for
// another build of the libraries, rounded up to whole pages (the wipe works in
// pages). That margin also leaves room for about one signal frame with AVX-512
// state (3.5 KiB) pushed at the deepest point of the shallow families. A depth
// larger than needed costs zeroing time (about a cycle per 64 bytes), never
// stack: the wipe is cut to what the thread's stack has left (stack_bounds.h).
namespace depth {
// HMAC, HKDF, AES-GCM, the streams, the pool, the boxes and the hybrid pair's
// accessors: at most about 4.6 KiB (HMAC-SHA512 on a thread other than the
// first).
inline constexpr std::size_t DEFAULT = 8 * 1024;
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
}  // namespace depth

// Zeroes `n` bytes (rounded up to whole pages, and cut to what this thread's
// stack has left, see stack_bounds.h) of stack just below the caller's frame,
// after clearing the vector registers (and AVX-512 mask registers) the
// processor has.
void wipe_below_caller(std::size_t n) noexcept;

// Only the register part of the above (for the benchmark's cost breakdown).
void clear_vector_registers() noexcept;

// Marks an entry point's work as one that needs a depth other than
// depth::DEFAULT:
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

namespace detail {

template <class F>
constexpr std::size_t depth_of() {
    if constexpr (requires { F::DEPTH; })
        return F::DEPTH;
    else
        return depth::DEFAULT;
}

// Kept out of line so that f's own locals live in a frame below the caller's,
// inside the region that is wiped afterwards, never in the boundary's frame.
template <class F>
[[gnu::noinline]] decltype(auto) call_one_frame_down(F& f) {
    return f();
}

template <std::size_t N>
struct WipeOnLeave {
    // The thread's stack bounds are learned before the work, on a thread's
    // first call, so that their lookup's frames lie in the region wiped after.
    WipeOnLeave() { stack_bounds::learn_once(); }
    WipeOnLeave(const WipeOnLeave&) = delete;
    WipeOnLeave& operator=(const WipeOnLeave&) = delete;
    ~WipeOnLeave() { wipe_below_caller(N); }
};

}  // namespace detail

// Runs f, then wipes below this frame: after a return and while an exception
// (or a thread cancellation) unwinds through it alike.
template <class F>
[[gnu::noinline]] decltype(auto) run_and_wipe(F& f) {
    const detail::WipeOnLeave<detail::depth_of<std::remove_cvref_t<F>>()> wipe;
    return detail::call_one_frame_down(f);
}

}  // namespace velmora::stack_wipe
