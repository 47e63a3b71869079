#include "py/args.h"

#include "py/type_name.h"

namespace velmora {

namespace {

// Re-raises the pending OverflowError with the argument's name in front,
// keeping the interpreter's own wording after it.
void prefix_overflow(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Format(type, "argument '%s': %U", name, text);
    Py_DECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

}  // namespace

bool arg_u64(PyObject* obj, std::uint64_t* out, const char* name) {
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
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) prefix_overflow(name);
        return false;
    }
    *out = v;
    return true;
}

}  // namespace velmora
