// The per-object mutex with its poisoned flag. Every object that owns locked
// regions carries one; every operation on the object holds it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <mutex>

namespace velmora {

class ObjectLock {
public:
    bool poisoned() const { return poisoned_; }

private:
    friend class ObjectGuard;
    std::mutex mutex_;
    bool poisoned_ = false;
};

// Takes the lock for one operation. If another thread holds it, waits with the
// interpreter lock released so the holder can finish (it may need the
// interpreter lock itself). An exception escaping while the guard is held marks
// the object poisoned for good.
class ObjectGuard {
public:
    explicit ObjectGuard(ObjectLock& lock)
        : lock_(lock), exceptions_on_entry_(std::uncaught_exceptions()) {
        if (!lock_.mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            lock_.mutex_.lock();
            Py_END_ALLOW_THREADS
        }
    }
    ~ObjectGuard() {
        if (std::uncaught_exceptions() > exceptions_on_entry_) lock_.poisoned_ = true;
        lock_.mutex_.unlock();
    }
    ObjectGuard(const ObjectGuard&) = delete;
    ObjectGuard& operator=(const ObjectGuard&) = delete;

    bool poisoned() const { return lock_.poisoned_; }
    void poison() { lock_.poisoned_ = true; }

    // Runs `work` with the interpreter lock released (the object lock stays held).
    template <class F>
    static auto without_gil(F&& work) {
        PyThreadState* ts = PyEval_SaveThread();
        struct Restore {
            PyThreadState* ts;
            ~Restore() { PyEval_RestoreThread(ts); }
        } restore{ts};
        return work();
    }

private:
    ObjectLock& lock_;
    int exceptions_on_entry_;
};

}  // namespace velmora
