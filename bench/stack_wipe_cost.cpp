// What the boundary wipe costs per call into the module, below the interpreter.
//
//   stack_wipe_cost [iterations] [rounds]
//
// Prints one JSON object per line, {"name": ..., "ns": best ns per call}:
//   registers  clearing the vector (and AVX-512 mask) registers alone
//   wipe       the whole wipe after most operations (depth::DEFAULT of stack)
//   deep_wipe  the whole wipe after the ML-KEM/X25519 and JSON operations
//   bounds     the per-call part of keeping the wipe inside the thread's stack:
//              the learned-once check and the %fs-relative load of the bounds
//              (both wipes above include it)
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "locked/stack_bounds.h"
#include "locked/stack_wipe.h"
#include "alternating_cases.h"

namespace {

namespace sw = velmora::stack_wipe;

void registers() { sw::clear_vector_registers(); }
void wipe() { sw::wipe_below_caller(sw::depth::DEFAULT); }
void deep_wipe() { sw::wipe_below_caller(sw::depth::HYBRID_OPEN); }
void bounds() {
    velmora::stack_bounds::learn_once();
    const auto& b = velmora::stack_bounds::t_bounds;
    __asm__ volatile("" : : "r"(b.lo), "r"(b.hi) : "memory");
}

}  // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
    const long rounds = argc > 2 ? std::atol(argv[2]) : 9;
    velmora::stack_bounds::learn();  // as the boundary does on a thread's first call
    bench::Case cases[] = {{"registers", registers}, {"bounds", bounds}, {"wipe", wipe},
                           {"deep_wipe", deep_wipe}};
    bench::run_alternating(cases, iterations, rounds);
    return 0;
}
