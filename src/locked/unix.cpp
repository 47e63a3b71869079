// The Linux backend of LockedRegion: mmap with a PROT_NONE guard page on each
// side, MADV_DONTDUMP and MADV_WIPEONFORK on the data area, and mlock.
#include <errno.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "locked/capability.h"
#include "locked/counters.h"
#include "locked/policy.h"
#include "locked/region.h"
#include "zeroize.h"

#ifndef MADV_WIPEONFORK
#define MADV_WIPEONFORK 18
#endif
#ifndef MADV_DONTDUMP
#define MADV_DONTDUMP 16
#endif

namespace velmora {

namespace {

// The calling thread's capability sets (version 3: two 32-bit words each).
struct CapSets {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
};

constexpr std::uint32_t IPC_LOCK_BIT = 1u << CAP_IPC_LOCK;  // in word 0

bool read_caps(CapSets& caps) { return syscall(SYS_capget, &caps.hdr, caps.data) == 0; }

// Capabilities belong to the thread, so the "already raised" note does too.
thread_local bool ipc_lock_raised = false;

// Makes CAP_IPC_LOCK effective when it is permitted, so mlock is not bounded by
// RLIMIT_MEMLOCK. Every failure is silent: the next allocation tries again.
void raise_ipc_lock() {
    if (ipc_lock_raised) return;
    CapSets caps;
    if (!read_caps(caps)) return;
    if (caps.data[0].effective & IPC_LOCK_BIT) {
        ipc_lock_raised = true;
        return;
    }
    if (caps.data[0].permitted & IPC_LOCK_BIT) {
        caps.data[0].effective |= IPC_LOCK_BIT;
        if (syscall(SYS_capset, &caps.hdr, caps.data) == 0) ipc_lock_raised = true;
    }
}

}  // namespace

void make_ipc_lock_effective() { raise_ipc_lock(); }

std::optional<IpcLockCaps> read_ipc_lock() {
    CapSets caps;
    if (!read_caps(caps)) return std::nullopt;
    return IpcLockCaps{(caps.data[0].permitted & IPC_LOCK_BIT) != 0,
                       (caps.data[0].effective & IPC_LOCK_BIT) != 0};
}

Result<LockedRegion> LockedRegion::allocate(std::uint64_t n) {
    if (n == 0) return ErrorKind::EmptySecret;
    if (n > REGION_MAX_SECRET) return ErrorKind::AllocationFailed;
    const std::uint64_t page = page_size();

    std::uint64_t need = n + REGION_HEADER_BYTES;  // cannot overflow: n <= 2^64 - 9
    std::uint64_t data_len;
    if (__builtin_add_overflow(need, page - 1, &data_len)) return ErrorKind::AllocationFailed;
    data_len -= data_len % page;
    std::uint64_t map_len;
    if (__builtin_add_overflow(data_len, 2 * page, &map_len) || map_len > SIZE_MAX)
        return ErrorKind::AllocationFailed;

    void* p = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED || p == nullptr) return ErrorKind::AllocationFailed;
    auto* base = static_cast<std::uint8_t*>(p);
    const bool lead = mprotect(base, page, PROT_NONE) == 0;
    const bool trail = mprotect(base + page + data_len, page, PROT_NONE) == 0;
    if (!lead || !trail) {
        munmap(base, map_len);
        return ErrorKind::AllocationFailed;
    }
    std::uint8_t* data = base + page;

    raise_ipc_lock();
    // Results ignored: an old kernel without wipe-on-fork copies the area into
    // the child with its marker, and the fork check then cannot fire there.
    madvise(data, data_len, MADV_DONTDUMP);
    madvise(data, data_len, MADV_WIPEONFORK);

    bool locked = true;
    if (mlock(data, data_len) != 0) {
        const int err = errno;
        if (lock_policy() == LockPolicy::Require) {
            munmap(base, map_len);
            return EnclaveError::lock_required(err);
        }
        note_unlocked(err);
        locked = false;
    }
    std::memcpy(data, &REGION_MARKER, sizeof REGION_MARKER);
    note_created();

    LockedRegion r;
    r.base_ = base;
    r.data_ = data;
    r.map_len_ = map_len;
    r.data_len_ = data_len;
    r.len_ = n;
    r.locked_ = locked;
    r.state_ = 0;
    r.generation_ = fork_generation();
    return r;
}

void LockedRegion::release() {
    if (!base_) return;
    secure_zero(data_, data_len_);
    if (locked_) munlock(data_, data_len_);
    note_released();
    munmap(base_, map_len_);
    base_ = data_ = nullptr;
}

}  // namespace velmora
