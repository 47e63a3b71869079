// The name CPython's own TypeErrors give an object's type ("'Foo' object
// cannot be interpreted as an integer", "must be str, not numpy.float64"),
// which they read from tp_name. The stable ABI of 3.11 has no tp_name, and
// neither PyType_GetName nor PyType_GetQualName gives the same text for every
// kind of type, so it is rebuilt from what the type shows:
//
//   a static type, or an immutable heap type (one made from a C type description):
//       __module__ + "." + __name__, or __name__ alone when the module is
//       "builtins" ("int", "collections.OrderedDict", "numpy.float64",
//       "velmora._secure.SecretBox");
//   any other heap type (a class defined in Python, nested ones included):
//       __name__ alone, as the interpreter names them.
//
// The one kind of type this cannot name as the interpreter does is a mutable
// heap type made from a C type description (PyType_FromSpec without
// Py_TPFLAGS_IMMUTABLETYPE): its tp_name is the dotted name it was created with, but to the
// limited API it looks like a class defined in Python, so it gets its
// __name__ alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py/pyref.h"

namespace velmora {

// The interpreter's name for the type of `obj`, as UTF-8 held for this
// object's lifetime. Call sites format it with "%.200s", as CPython does.
class TypeName {
public:
    explicit TypeName(PyObject* obj);
    // Null with an exception set when the name could not be made (no memory).
    const char* c_str() const { return utf8_; }

private:
    PyRef text_;
    const char* utf8_ = nullptr;
};

}  // namespace velmora
