#include "py/member_order.h"

#include "py/pyref.h"

namespace velmora {

bool order_members(PyTypeObject* type, std::span<const char* const> names) {
    PyObject* dict = type->tp_dict;
    for (const char* name : names) {
        PyRef key(PyUnicode_InternFromString(name));
        if (!key) return false;
        PyObject* member = PyDict_GetItemWithError(dict, key.get());  // borrowed
        if (!member) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_SystemError, "%s lacks %s", type->tp_name, name);
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
