#include "fork_generation.h"

#include <pthread.h>

#include <atomic>

namespace velmora {

namespace {

std::atomic<std::uint32_t> g_generation{1};

// Runs in the child, which has one thread at this point.
void on_fork_child() {
    std::uint32_t next = g_generation.load(std::memory_order_relaxed) + 1;
    if (next == 0) next = 1;
    g_generation.store(next, std::memory_order_relaxed);
}

}  // namespace

std::uint32_t fork_generation() {
    [[maybe_unused]] static const bool registered =
        pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
    return g_generation.load(std::memory_order_relaxed);
}

}  // namespace velmora
