#include "py/member_order.h"

#include "py/pyref.h"

namespace velmora {

bool order_members(PyTypeObject* type, std::span<const char* const> names) {
    // The type's own dictionary, not the read-only proxy that type.__dict__
    // gives: a type's metatype (type) keeps it at its dict offset, and the
    // generic getter returns it. The stable ABI has no tp_dict to read.
    PyRef owned(PyObject_GenericGetDict(reinterpret_cast<PyObject*>(type), nullptr));
    if (!owned) return false;
    PyObject* dict = owned.get();
    for (const char* name : names) {
        PyRef key(PyUnicode_InternFromString(name));
        if (!key) return false;
        PyObject* member = PyDict_GetItemWithError(dict, key.get());  // borrowed
        if (!member) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_SystemError, "%S lacks %s", reinterpret_cast<PyObject*>(type),
                             name);
            return false;
        }
        const PyRef keep = PyRef::borrow(member);  // alive across the move
        if (PyDict_DelItem(dict, key.get()) < 0 || PyDict_SetItem(dict, key.get(), member) < 0)
            return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace velmora
