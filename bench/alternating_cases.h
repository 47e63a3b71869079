// The timing loop the native benchmarks share: named cases, run in alternation
// within each round so that machine noise hits them all, the best ns per call
// of each printed as one JSON object per line, {"name": ..., "ns": ...}.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <span>

namespace bench {

struct Case {
    const char* name;
    void (*run)();
    std::uint64_t best = UINT64_MAX;
};

// CLOCK_MONOTONIC, or with CLOCK_THREAD_CPUTIME_ID the calling thread's CPU
// time (user and kernel), which leaves out the time other work on a busy
// machine takes the core away.
inline std::uint64_t now_ns(clockid_t clock = CLOCK_MONOTONIC) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + ts.tv_nsec;
}

inline void run_alternating(std::span<Case> cases, long iterations, long rounds,
                            clockid_t clock = CLOCK_MONOTONIC) {
    for (long round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            const std::uint64_t t0 = now_ns(clock);
            for (long i = 0; i < iterations; ++i) c.run();
            const std::uint64_t per_op =
                (now_ns(clock) - t0) / static_cast<std::uint64_t>(iterations);
            if (per_op < c.best) c.best = per_op;
        }
    }
    for (const Case& c : cases)
        std::printf("{\"name\": \"%s\", \"ns\": %llu}\n", c.name,
                    static_cast<unsigned long long>(c.best));
}

}  // namespace bench
