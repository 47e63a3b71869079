// The lock policy (VELMORA_MEMORY_LOCK: whether a page that cannot be locked
// is an error) and the page size every region is laid out in.
#pragma once

#include <cstddef>

namespace velmora {

enum class LockPolicy { BestEffort, Require };

// Decided once per process from VELMORA_MEMORY_LOCK, on first need.
LockPolicy lock_policy();
// The policy decision rule on its own (value of the variable, or null if unset).
LockPolicy parse_lock_policy(const char* value);
const char* lock_policy_name(LockPolicy p);

// sysconf(_SC_PAGESIZE), once per process; anything below 512 counts as 4096.
std::size_t page_size();

}  // namespace velmora
