// The calling thread's own stack: the addresses the boundary wipe may write.
//
// The wipe zeroes a fixed depth below the boundary, and a thread's stack may
// have less room left than that: a small thread (threading.stack_size(32768)),
// a deep recursion, or a stack the caller supplied with no guard page below it,
// where writing past the end lands silently in someone else's mapping. So each
// thread learns its stack's bounds once, on its first call into the module, and
// the wipe never goes below the lowest usable address.
#pragma once

#include <cstdint>

namespace velmora::stack_bounds {

// [lo, hi): lo is the lowest address the thread may write (above any guard
// page, and for the process's first thread above the gap the kernel keeps to
// the next mapping); hi is the top. Both zero until learned, or when they
// could not be learned.
struct Bounds {
    std::uintptr_t lo;
    std::uintptr_t hi;
    bool learned;
};

// Initial-exec: read with one %fs-relative load, no call, so that the wipe
// stays a leaf function without a frame of its own.
extern constinit thread_local Bounds t_bounds [[gnu::tls_model("initial-exec")]];

// Learns this thread's bounds (pthread_getattr_np); kept out of line, called
// once per thread.
void learn() noexcept;

inline void learn_once() noexcept {
    if (!t_bounds.learned) [[unlikely]]
        learn();
}

}  // namespace velmora::stack_bounds
