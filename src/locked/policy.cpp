// The lock policy's decision rule and the page size.
#include "locked/policy.h"

#include <unistd.h>

#include <cstdlib>

#include "codec/env_choice.h"

namespace velmora {

LockPolicy parse_lock_policy(const char* value) {
    return codec::env_choice(value, "require") == codec::EnvChoice::Named ? LockPolicy::Require
                                                                          : LockPolicy::BestEffort;
}

LockPolicy lock_policy() {
    static const LockPolicy policy = parse_lock_policy(std::getenv("VELMORA_MEMORY_LOCK"));
    return policy;
}

const char* lock_policy_name(LockPolicy p) {
    return p == LockPolicy::Require ? "require" : "best-effort";
}

std::size_t page_size() {
    static const std::size_t size = [] {
        long v = sysconf(_SC_PAGESIZE);
        return v < 512 ? std::size_t{4096} : static_cast<std::size_t>(v);
    }();
    return size;
}

}  // namespace velmora
