// Argument conversions for the entry points, with the interpreter's usual
// TypeError wording (binding itself: py/methods.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace velmora {

// An int argument that must fit an unsigned 64-bit value (TypeError for other
// types, OverflowError for negative or too large values). With `name`, the
// message names the argument: "argument 'length': can't convert negative int
// to unsigned".
bool arg_u64(PyObject* obj, std::uint64_t* out, const char* name = nullptr);

// The same through the index protocol, so int-like objects (numpy integers)
// pass too; a TypeError names the argument `name`.
bool arg_index_u64(PyObject* obj, std::uint64_t* out, const char* name);

}  // namespace velmora
