// Declarations the binder must refuse at compile time. Built once as it is
// (it must compile) and once per VELMORA_BROKEN case (each must not): see
// tests/compile/CMakeLists.txt.
#include "py/methods.h"

namespace velmora {
namespace {

constexpr Method TWO{"two", Receiver::Instance, {{"a"}, keyword_only("b", "None")}, ""};
constexpr Method NEW{"Thing", Receiver::Class, {{"key"}}, ""};

PyObject* two(PyObject*, PyObject*, PyObject*) { return nullptr; }
PyObject* one(PyObject*, PyObject*) { return nullptr; }
PyObject* three(PyObject*, PyObject*, PyObject*, PyObject*) { return nullptr; }
PyObject* make(PyTypeObject*, PyObject*) { return nullptr; }

#if VELMORA_BROKEN == 1  // the implementation takes fewer arguments than declared
const MethodEntry E = entry<TWO, one>();
#elif VELMORA_BROKEN == 2  // ... or more
const MethodEntry E = entry<TWO, three>();
#elif VELMORA_BROKEN == 3  // a positional parameter after a keyword-only one
constexpr Method BAD{"bad", Receiver::Instance, {keyword_only("a"), {"b"}}, ""};
#elif VELMORA_BROKEN == 4  // a constructor through the method row
const MethodEntry E = entry<NEW, make>();
#elif VELMORA_BROKEN == 5  // a method through the constructor row
const ConstructorEntry E = constructor<TWO, two>();
#else
const MethodEntry E = entry<TWO, two>();
const ConstructorEntry C = constructor<NEW, make>();
#endif

}  // namespace
}  // namespace velmora
