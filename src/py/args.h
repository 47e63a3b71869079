// Argument conversions for the entry points, with the interpreter's usual
// TypeError wording (binding itself: py/methods.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "py/params.h"

namespace velmora {

// The one conversion of every length and count argument: any object with
// __index__ (an int, a bool, a numpy integer) that fits an unsigned 64-bit
// value. Other types are a TypeError, negative or too large values the
// interpreter's OverflowError, both naming the argument: "argument 'length':
// 'str' object cannot be interpreted as an integer", "argument 'length':
// can't convert negative int to unsigned".
bool arg_u64(PyObject* obj, std::uint64_t* out, const char* name);

// str: its UTF-8 form, borrowed from the argument. "argument 'field': 'int'
// object is not a 'str'".
bool arg_str(PyObject* obj, std::string_view* out, const char* name);

// A bool, or numpy's boolean scalar (through its __bool__); nothing else,
// integers included: "push() argument 'final' must be bool, not int".
bool arg_flag(PyObject* obj, bool* out, const char* function, const char* name);

// An instance of exactly `type`: "from_secrets() argument 'x25519_secret' must
// be SecretBox, not bytes".
bool arg_instance(PyObject* obj, const NativeType& type, const char* function, const char* name);

}  // namespace velmora
