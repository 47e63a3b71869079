// SecureError, the exception every EnclaveError becomes, and the interpreter
// boundary: the one place where internal results turn into raised exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <new>

#include "error/error.h"
#include "locked/own_stack.h"
#include "locked/stack_wipe.h"

namespace velmora {

// The SecureError type (a borrowed, process-lifetime reference), created on
// first call on top of velmora.errors.CryptoError. Null with an error set if
// the base class cannot be imported.
PyObject* get_secure_error_type();

// Sets SecureError(message) for `e` (SystemError for KeyMaterialDrawFailed);
// always returns null.
PyObject* raise_error(const EnclaveError& e);

// Same, for slots that return an int.
inline int raise_error_int(const EnclaveError& e) {
    raise_error(e);
    return -1;
}

// Wraps an entry point so that no C++ exception unwinds into the interpreter,
// and so that its core work runs on the module's own stack: `f` itself runs
// here, on the thread's stack, and each piece of it that touches a secret goes
// through own_stack::run, in the one Operation made here, which zeroes the
// part of the own stack the entry declared (stack_wipe::with_depth) when the
// call ends, after a return and while an exception (or a thread's end)
// unwinds alike. Not noexcept, and the thread's own end passes through: at
// interpreter exit, retaking the interpreter lock ends a daemon thread with
// pthread_exit(), whose unwinding must reach the thread's start (a noexcept
// frame would abort).
template <class R, class F>
R guarded(R on_error, F&& f) {
    own_stack::Operation operation(stack_wipe::depth_of<F>());
    try {
        return f();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "velmora._secure: internal failure");
    }
    return on_error;
}

template <class F>
PyObject* guarded(F&& f) {
    return guarded<PyObject*>(nullptr, std::forward<F>(f));
}

}  // namespace velmora
