// Puts a new type's members into its dictionary in interface order.
//
// PyType_FromSpec adds all methods before all getters, but a class's listing
// (vars(cls), help()) should follow the order the members are documented in,
// with the getters among the methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace velmora {

// Moves each named member, in turn, to the end of `type`'s dictionary.
// `names` must name every method and getter of the type. False with an
// exception set (SystemError for a name the type lacks) otherwise.
bool order_members(PyTypeObject* type, std::span<const char* const> names);

}  // namespace velmora
