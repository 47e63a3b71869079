// What the boundary wipe costs per call into the module, below the interpreter.
//
//   stack_wipe_cost [iterations] [rounds]
//
// Prints one JSON object per line, {"name": ..., "ns": best ns per call}:
//   registers  clearing the vector (and AVX-512 mask) registers alone
//   wipe       the whole wipe after most operations (WIPE_BYTES of stack)
//   deep_wipe  the whole wipe after the ML-KEM/X25519 and JSON operations
// The cases alternate within each round so that machine noise hits them all.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "locked/stack_wipe.h"

namespace {

namespace sw = velmora::stack_wipe;

std::uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + ts.tv_nsec;
}

void registers() { sw::clear_vector_registers(); }
void wipe() { sw::wipe_below_caller(sw::WIPE_BYTES); }
void deep_wipe() { sw::wipe_below_caller(sw::DEEP_WIPE_BYTES); }

struct Case {
    const char* name;
    void (*run)();
    std::uint64_t best = UINT64_MAX;
};

}  // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
    const long rounds = argc > 2 ? std::atol(argv[2]) : 9;
    Case cases[] = {{"registers", registers}, {"wipe", wipe}, {"deep_wipe", deep_wipe}};
    for (long round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            const std::uint64_t t0 = now_ns();
            for (long i = 0; i < iterations; ++i) c.run();
            const std::uint64_t per_op = (now_ns() - t0) / static_cast<std::uint64_t>(iterations);
            if (per_op < c.best) c.best = per_op;
        }
    }
    for (const Case& c : cases) std::printf("{\"name\": \"%s\", \"ns\": %llu}\n", c.name,
                                            static_cast<unsigned long long>(c.best));
    return 0;
}
