// Argument conversions for the entry points, with the interpreter's usual
// TypeError wording (binding itself: py/methods.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace velmora {

// The one conversion of every length and count argument: any object with
// __index__ (an int, a bool, a numpy integer) that fits an unsigned 64-bit
// value. Other types are a TypeError, negative or too large values the
// interpreter's OverflowError, both naming the argument: "argument 'length':
// 'str' object cannot be interpreted as an integer", "argument 'length':
// can't convert negative int to unsigned".
bool arg_u64(PyObject* obj, std::uint64_t* out, const char* name);

}  // namespace velmora
