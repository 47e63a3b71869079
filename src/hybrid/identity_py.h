// Interpreter-side pieces shared by the HybridKeyPair type and seal_hybrid.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error/error.h"

namespace velmora {

// Raises the error of a hybrid operation: a failure of the random source while
// drawing key material is an internal failure, everything else SecureError.
PyObject* raise_hybrid_error(const EnclaveError& e);

}  // namespace velmora
