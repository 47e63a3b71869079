// What the module's execution step registers: each class's get-or-create type
// getter and each module function's static definition, by subsystem.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py/methods.h"

namespace velmora {

// Classes (each created once per process, on first use).
PyTypeObject* secret_box_type();
PyTypeObject* hybrid_key_pair_type();
PyTypeObject* secret_stream_push_type();
PyTypeObject* secret_stream_pull_type();
PyTypeObject* entropy_pool_type();

// Module functions.
extern const MethodEntry SEAL_HYBRID_ENTRY;
extern const MethodEntry HARDEN_PROCESS_ENTRY;
extern const MethodEntry MEMORY_STATUS_ENTRY;

}  // namespace velmora
