// Releasing and retaking the interpreter lock: every place in the module that
// lets other threads run goes through this pair.
//
// At interpreter exit, retaking the lock ends a daemon thread (CPython calls
// pthread_exit() inside PyEval_RestoreThread), and the thread unwinds through
// our frames without the lock. By then the interpreter may have freed that
// thread's state (3.12 and later: its allocator cannot even be reached without
// it), so nothing on the way out may touch the interpreter: the owners of
// interpreter references (PyRef, BufferView) ask `interpreter_released()` and
// leave what they hold to the ending process. A thread the interpreter ended
// would have leaked them in C code too; its own memory stays valid until exit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "contract.h"
#include "locked/own_stack.h"

namespace velmora {

namespace detail {
// True from the release until the retake returns; stays true in a thread that
// the retake ended.
// Initial-exec: read with one %fs-relative load, not a call into the dynamic
// linker (every reference the module drops asks it).
inline thread_local bool t_interpreter_released [[gnu::tls_model("initial-exec")]] = false;
}  // namespace detail

// Whether this thread gave up the interpreter lock and has not got it back.
inline bool interpreter_released() { return detail::t_interpreter_released; }

// Both run on the thread's stack only, never on the module's own
// (locked/own_stack.h).
[[nodiscard]] inline PyThreadState* release_interpreter() {
    VELMORA_EXPECT(!own_stack::active(), "the interpreter lock released on the own stack");
    PyThreadState* ts = PyEval_SaveThread();
    detail::t_interpreter_released = true;
    return ts;
}

// May end this thread by unwinding it (interpreter exit). Nothing that calls it
// may be noexcept, and a catch-all on the way must rethrow.
inline void retake_interpreter(PyThreadState* ts) {
    PyEval_RestoreThread(ts);
    detail::t_interpreter_released = false;
}

}  // namespace velmora
