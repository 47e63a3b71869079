// The Linux backend of LockedRegion: the whole span mapped PROT_NONE and only
// the data area opened, MADV_DONTDUMP and MADV_WIPEONFORK on the data area, and
// mlock. Six system calls from creation to release: mmap, mprotect, two
// madvise, mlock and munmap (which drops the page lock with the mapping).
#include <errno.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "locked/capability.h"
#include "locked/counters.h"
#include "locked/map_table.h"
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

// Capabilities belong to the thread, so what we know of them does too.
enum class IpcLock : std::uint8_t { Unknown, Raised, NotRaised };
thread_local IpcLock ipc_lock = IpcLock::Unknown;

// Makes CAP_IPC_LOCK effective when it is permitted, so mlock is not bounded by
// RLIMIT_MEMLOCK. Every failure is silent. Tried on a thread's first
// allocation; after that only when mlock fails, since the capability matters
// only then (and a capget on every allocation would cost a system call each).
void raise_ipc_lock() {
    if (ipc_lock == IpcLock::Raised) return;
    ipc_lock = IpcLock::NotRaised;
    CapSets caps;
    if (!read_caps(caps)) return;
    if (caps.data[0].effective & IPC_LOCK_BIT) {
        ipc_lock = IpcLock::Raised;
        return;
    }
    if (caps.data[0].permitted & IPC_LOCK_BIT) {
        caps.data[0].effective |= IPC_LOCK_BIT;
        if (syscall(SYS_capset, &caps.hdr, caps.data) == 0) ipc_lock = IpcLock::Raised;
    }
}

// mlock, and once more if it failed and CAP_IPC_LOCK could be made effective
// for this thread only now. 0 or the errno of the failure.
int lock_pages(void* data, std::size_t len) {
    const bool first = ipc_lock == IpcLock::Unknown;
    if (first) raise_ipc_lock();
    if (mlock(data, len) == 0) return 0;
    const int err = errno;
    if (first || ipc_lock == IpcLock::Raised) return err;
    raise_ipc_lock();
    if (ipc_lock != IpcLock::Raised) return err;
    return mlock(data, len) == 0 ? 0 : errno;
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

    // The table of mappings is shared with the rest of the process; a region
    // that would leave it short is refused like any other failed mapping.
    if (!claim_region_entries()) return ErrorKind::AllocationFailed;
    void* p = mmap(nullptr, map_len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED || p == nullptr) {
        drop_region_claim();
        return ErrorKind::AllocationFailed;
    }
    note_region_mapped(p, map_len);
    auto* base = static_cast<std::uint8_t*>(p);
    std::uint8_t* data = base + page;
    // Undoes the mapping on a failure below.
    auto unmap = [&] {
        note_region_unmapping(base, map_len);
        munmap(base, map_len);
    };
    if (mprotect(data, data_len, PROT_READ | PROT_WRITE) != 0) {
        unmap();
        return ErrorKind::AllocationFailed;
    }

    // Results ignored: an old kernel without wipe-on-fork copies the area into
    // the child with its marker, and the fork check then cannot fire there.
    madvise(data, data_len, MADV_DONTDUMP);
    madvise(data, data_len, MADV_WIPEONFORK);

    bool locked = true;
    if (const int err = lock_pages(data, data_len); err != 0) {
        if (lock_policy() == LockPolicy::Require) {
            unmap();
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
    // Only the marker and the secret can hold anything: the padding after them
    // is never handed out, and the kernel gave it to us zeroed.
    secure_zero(data_, REGION_HEADER_BYTES + len_);
    note_released();
    // munmap drops the page lock with the pages: no munlock first.
    note_region_unmapping(base_, map_len_);
    munmap(base_, map_len_);
    base_ = data_ = nullptr;
}

}  // namespace velmora
