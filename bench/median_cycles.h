// The cycle-counting loop of the native cycle benchmarks: the median of
// `iterations` timed calls (rdtscp around each), after a tenth as many
// untimed ones to warm caches and branch predictors.
#pragma once

#include <x86intrin.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bench {

template <class Fn>
std::uint64_t median_cycles(int iterations, Fn&& fn) {
    std::vector<std::uint64_t> t(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations / 10 + 1; ++i) fn(i);
    for (int i = 0; i < iterations; ++i) {
        unsigned aux;
        const std::uint64_t start = __rdtscp(&aux);
        fn(i);
        t[static_cast<std::size_t>(i)] = __rdtscp(&aux) - start;
    }
    std::nth_element(t.begin(), t.begin() + iterations / 2, t.end());
    return t[static_cast<std::size_t>(iterations / 2)];
}

}  // namespace bench
