#include "py/type_name.h"

namespace velmora {

namespace {

// __module__ when the type's name is qualified by it; null, with no error
// set, when the name stands alone (or the module cannot be read: the name is
// wanted for a message about some other error, which it must not replace).
PyRef qualifying_module(PyTypeObject* type) {
    const unsigned long flags = PyType_GetFlags(type);
    if ((flags & Py_TPFLAGS_HEAPTYPE) && !(flags & Py_TPFLAGS_IMMUTABLETYPE)) return {};
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return {};
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0)
        return {};
    return module;
}

PyRef type_name(PyTypeObject* type) {
    PyRef name(PyType_GetName(type));
    if (!name) return {};
    PyRef module = qualifying_module(type);
    if (!module) return name;
    return PyRef(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
}

}  // namespace

TypeName::TypeName(PyObject* obj) : text_(type_name(Py_TYPE(obj))) {
    if (text_) utf8_ = PyUnicode_AsUTF8AndSize(text_.get(), nullptr);
}

}  // namespace velmora
