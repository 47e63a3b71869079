// What running an operation's work on the module's own stack costs per call
// into the module, below the interpreter.
//
//   stack_wipe_cost [iterations] [rounds]
//
// Prints one JSON object per line, {"name": ..., "ns": best ns per call}:
//   registers  clearing the vector (and AVX-512 mask) registers alone
//   wipe       zeroing depth::DEFAULT of the own stack's top (most operations)
//   deep_wipe  the same for the ML-KEM/X25519 operations (depth::HYBRID_OPEN)
//   switch     one whole call's use of the own stack for work that does
//              nothing: taking a stack from the pool, the switch there and
//              back (registers cleared), the wipe of depth::DEFAULT and giving
//              the stack back
//   two_runs   the same with two pieces of work in one call (a call that
//              copies one box out, then uses another)
//   thread_hop  `switch` with one visit back to the thread's stack inside, as an
//              output sink that makes an interpreter object does mid-operation
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "alternating_cases.h"
#include "locked/own_stack.h"
#include "locked/stack_wipe.h"

namespace {

namespace sw = velmora::stack_wipe;
namespace os = velmora::own_stack;

alignas(64) std::uint8_t g_area[64 * 1024];

void registers() { sw::clear_vector_registers(); }
void wipe() { sw::wipe_used(g_area, g_area + sizeof g_area, sw::depth::DEFAULT); }
void deep_wipe() { sw::wipe_used(g_area, g_area + sizeof g_area, sw::depth::HYBRID_OPEN); }

velmora::Status nothing() {
    __asm__ volatile("" ::: "memory");
    return {};
}

void one_switch() {
    os::Operation op;
    (void)op.run(nothing);
}

void two_runs() {
    os::Operation op;
    (void)op.run(nothing);
    (void)op.run(nothing);
}

void thread_hop() {
    os::Operation op;
    auto hop = [] { return os::on_thread_stack(nothing); };
    (void)op.run(hop);
}

}  // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
    const long rounds = argc > 2 ? std::atol(argv[2]) : 9;
    bench::Case cases[] = {{"registers", registers}, {"wipe", wipe},
                           {"deep_wipe", deep_wipe}, {"switch", one_switch},
                           {"two_runs", two_runs},   {"thread_hop", thread_hop}};
    bench::run_alternating(cases, iterations, rounds);
    return 0;
}
