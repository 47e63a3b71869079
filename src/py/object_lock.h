// The per-object lock with its poisoned flag. Every object that owns locked
// regions carries one; every operation on the object holds it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <utility>

#include "fork_generation.h"
#include "py/interpreter_lock.h"

namespace velmora {

// The lock word holds the fork generation of the process whose thread holds it
// (0: free). In a child created by fork() while a thread of the parent held the
// lock, nobody can ever release it: the first thread of the child that asks
// takes it over instead of waiting, and the object is marked torn, because the
// parent's thread stopped halfway through an operation on it.
class ObjectLock {
public:
    bool poisoned() const { return poisoned_; }

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
    bool poisoned_ = false;
    bool torn_ = false;
};

// Takes the lock for one operation. If another thread holds it, waits with the
// interpreter lock released so the holder can finish (it may need the
// interpreter lock itself). An exception escaping while the guard is held marks
// the object poisoned for good, except running out of memory (see `run`).
class ObjectGuard {
public:
    explicit ObjectGuard(ObjectLock& lock)
        : lock_(lock), exceptions_on_entry_(std::uncaught_exceptions()) {
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
    ~ObjectGuard() {
        if (!spared_ && std::uncaught_exceptions() > exceptions_on_entry_) lock_.poisoned_ = true;
        lock_.release();
    }
    ObjectGuard(const ObjectGuard&) = delete;
    ObjectGuard& operator=(const ObjectGuard&) = delete;

    bool poisoned() const { return lock_.poisoned_; }
    void poison() { lock_.poisoned_ = true; }
    // The object's state was copied by fork() while a thread of the parent was
    // changing it: its secrets count as gone (ForkChild), public values stand.
    bool torn() const { return lock_.torn_; }

    // Runs `f` under the lock. Running out of memory is an ordinary failure:
    // the allocation error passes through and leaves the object usable.
    template <class F>
    decltype(auto) run(F&& f) {
        try {
            return std::forward<F>(f)();
        } catch (const std::bad_alloc&) {
            spared_ = true;
            throw;
        }
    }

private:
    ObjectLock& lock_;
    int exceptions_on_entry_;
    bool spared_ = false;
};

}  // namespace velmora
