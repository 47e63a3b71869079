// The process-wide counters of locked regions: how many secrets are alive, how
// many regions could not be locked, and the last mlock error.
#pragma once

#include <cstdint>

namespace velmora {

struct CounterSnapshot {
    std::uint64_t live_secrets;
    std::uint64_t unlocked_allocations;
    std::int32_t last_lock_errno;
};
void note_created();
void note_released();
void note_unlocked(int errno_value);
// The three counters as they are now.
CounterSnapshot read_counters();

}  // namespace velmora
