// Stands in for src/locked/stack_wipe.cpp in the _secure_unwiped build: the same
// entry points, but nothing is wiped. Where the wipe would start it leaves the
// boundary mark and the depth it was asked for, so that tests can see how deep
// each operation writes below the boundary (tests/test_stack_depth.py).
#include <cstddef>

#include "boundary_mark.h"
#include "locked/stack_wipe.h"

namespace velmora::stack_wipe {

// Frameless: on x86-64 -8(%rsp) is the word just below our return address,
// inside the red zone a leaf function may write. aarch64 keeps the return
// address in a register, so the mark goes one word lower, where the probe
// looks for it on both (mark and depth just below a return-address slot).
[[gnu::noinline]] void wipe_below_caller(std::size_t n) noexcept {
#if defined(__x86_64__)
    __asm__ volatile("mov %[mark], -8(%%rsp)\n\tmov %[n], -16(%%rsp)"
                     :
                     : [mark] "r"(BOUNDARY_MARK), [n] "r"(n)
                     : "memory");
#else
    __asm__ volatile("str %[mark], [sp, #-16]\n\tstr %[n], [sp, #-24]"
                     :
                     : [mark] "r"(BOUNDARY_MARK), [n] "r"(n)
                     : "memory");
#endif
}

void clear_vector_registers() noexcept {}

}  // namespace velmora::stack_wipe
