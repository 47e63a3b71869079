#include "py/args.h"

#include "py/type_name.h"

namespace velmora {

bool arg_u64(PyObject* obj, std::uint64_t* out, const char* name) {
    if (!PyLong_Check(obj)) {
        const TypeName type(obj);
        if (!type.c_str()) return false;
        if (name)
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': '%.200s' object cannot be interpreted as an integer", name,
                         type.c_str());
        else
            PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                         type.c_str());
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (name && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            // Keep the interpreter's wording, prefixed with the argument's name.
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            PyObject* text = value ? PyObject_Str(value) : nullptr;
            if (text) {
                PyErr_Format(type, "argument '%s': %U", name, text);
                Py_DECREF(text);
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(tb);
            } else {
                PyErr_Clear();
                PyErr_Restore(type, value, tb);
            }
        }
        return false;
    }
    *out = v;
    return true;
}

bool arg_index_u64(PyObject* obj, std::uint64_t* out, const char* name) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            const TypeName type(obj);
            if (type.c_str())
                PyErr_Format(PyExc_TypeError,
                             "argument '%s': '%.200s' object cannot be interpreted as an integer",
                             name, type.c_str());
        }
        return false;
    }
    const bool ok = arg_u64(index, out, name);
    Py_DECREF(index);
    return ok;
}

}  // namespace velmora
