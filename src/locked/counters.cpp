#include "locked/counters.h"

#include <atomic>

namespace velmora {

namespace {

std::atomic<std::uint64_t> g_live_secrets{0};
std::atomic<std::uint64_t> g_unlocked_allocations{0};
std::atomic<std::int32_t> g_last_lock_errno{0};

}  // namespace

void note_created() { g_live_secrets.fetch_add(1, std::memory_order_seq_cst); }
void note_released() { g_live_secrets.fetch_sub(1, std::memory_order_seq_cst); }
void note_unlocked(int errno_value) {
    g_unlocked_allocations.fetch_add(1, std::memory_order_seq_cst);
    g_last_lock_errno.store(errno_value, std::memory_order_relaxed);
}
CounterSnapshot read_counters() {
    return {g_live_secrets.load(), g_unlocked_allocations.load(),
            g_last_lock_errno.load(std::memory_order_relaxed)};
}

}  // namespace velmora
