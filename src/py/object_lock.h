// Entering an object: the per-object lock, and the checks every use of the
// object's secret makes under it. Every object that owns locked regions
// carries one ObjectLock, as the first member of its value; every operation on
// the object enters it through one ObjectGuard, whatever it then reads.
//
// There is no poisoned state. The lock would be poisoned by an operation that
// fails internally while holding it and leaves the object half-changed, but
// nothing under these locks can fail that way: the core reports failures as
// values (error/error.h) before it changes anything, a broken internal contract
// ends the process (contract.h), and running out of memory is an ordinary
// error that leaves the object as it was. The one way an object is left
// half-changed is a fork() taken while a thread of the parent was inside an
// operation on it; that object is torn, below.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "error/error.h"
#include "fork_generation.h"
#include "locked/region.h"
#include "py/interpreter_lock.h"

namespace velmora {

// The lock word holds the fork generation of the process whose thread holds it
// (0: free). In a child created by fork() while a thread of the parent held the
// lock, nobody can ever release it: the first thread of the child that asks
// takes it over instead of waiting, and the object is marked torn, because the
// parent's thread stopped halfway through an operation on it.
class ObjectLock {
private:
    friend class ObjectGuard;

    // Takes the lock unless a thread of this process holds it.
    bool try_take(std::uint32_t mine) {
        std::uint32_t seen = holder_.load(std::memory_order_relaxed);
        for (;;) {
            if (seen == mine) return false;
            if (holder_.compare_exchange_weak(seen, mine, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                if (seen != 0) torn_ = true;  // taken over from a parent's thread
                return true;
            }
        }
    }
    void release() {
        holder_.store(0, std::memory_order_release);
        holder_.notify_one();
    }

    std::atomic<std::uint32_t> holder_{0};
    bool torn_ = false;
};

// Holds an object's lock for one operation. If another thread holds it, waits
// with the interpreter lock released so the holder can finish (it may need the
// interpreter lock itself).
//
// Public values (lengths, flags, public keys, stream headers) are read under
// the guard with no further check. A secret is reached through `secret`,
// `secret_mut` or `secret_access`, which refuse, in this order: a wiped secret
// (Wiped), then one that is gone in a fork child (ForkChild): the kernel
// zero-filled its data area there, or the object was torn by the fork. An
// object with a state of its own to refuse (a finished stream) checks it
// between taking the lock and these.
class ObjectGuard {
public:
    explicit ObjectGuard(ObjectLock& lock) : lock_(lock) {
        const std::uint32_t mine = fork_generation();
        if (lock_.try_take(mine)) return;
        PyThreadState* ts = release_interpreter();
        while (!lock_.try_take(mine)) lock_.holder_.wait(mine, std::memory_order_relaxed);
        try {
            retake_interpreter(ts);  // may end this thread (interpreter exit)
        } catch (...) {
            lock_.release();  // no destructor runs for a half-built guard
            throw;
        }
    }
    ~ObjectGuard() { lock_.release(); }
    ObjectGuard(const ObjectGuard&) = delete;
    ObjectGuard& operator=(const ObjectGuard&) = delete;

    // The checks before a secret is used. `secret` is a LockedRegion or an
    // owner of regions with the same two questions (is_wiped, and access():
    // ForkChild once the kernel emptied them).
    template <class Secret>
    Status secret_access(const Secret& secret) const {
        if (secret.is_wiped()) return ErrorKind::Wiped;
        if (lock_.torn_) return ErrorKind::ForkChild;
        return secret.access();
    }

    Result<std::span<const std::uint8_t>> secret(const LockedRegion& region) const {
        if (Status s = secret_access(region); !s) return s.error();
        return region.bytes();
    }
    Result<std::span<std::uint8_t>> secret_mut(LockedRegion& region) const {
        if (Status s = secret_access(region); !s) return s.error();
        return region.bytes_mut();
    }

private:
    ObjectLock& lock_;
};

}  // namespace velmora
