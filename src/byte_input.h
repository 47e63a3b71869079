// The one conversion for every bytes-like argument: any exporter of single
// unsigned bytes, in any layout, copied into a self-wiping buffer; str refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "zeroize.h"

namespace velmora {

// An owned copy of the object's bytes in C order; nullopt with the error set.
std::optional<ZeroizingBuffer> read_byte_input(PyObject* obj);

// The same, then zeroes a writable C-contiguous source (SecretBox.from_bytes),
// so a secret handed in as a bytearray does not linger in the heap.
std::optional<ZeroizingBuffer> take_byte_input_zeroing(PyObject* obj);

}  // namespace velmora
