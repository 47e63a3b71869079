#include "py/args.h"

#include <cstring>

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

bool arg_str(PyObject* obj, std::string_view* out, const char* name) {
    if (!PyUnicode_Check(obj)) {
        const TypeName type(obj);
        if (type.c_str())
            PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not a 'str'", name,
                         type.c_str());
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // borrowed, lives with obj
    if (text == nullptr) return false;
    *out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool arg_flag(PyObject* obj, bool* out, const char* function, const char* name) {
    if (PyBool_Check(obj)) {
        *out = obj == Py_True;
        return true;
    }
    // NumPy's is known by its type's name, which the refusal needs anyway.
    const TypeName type(obj);
    const char* type_name = type.c_str();  // "numpy.bool_" before NumPy 2
    if (type_name == nullptr) return false;
    if (std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        *out = truth == 1;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %.200s", function, name,
                 type_name);
    return false;
}

bool arg_instance(PyObject* obj, const NativeType& type, const char* function, const char* name) {
    PyTypeObject* expected = type.py_type();
    if (expected != nullptr && Py_IS_TYPE(obj, expected)) return true;
    if (PyErr_Occurred()) return false;
    const TypeName given(obj);
    if (given.c_str())
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function, name,
                     type.name, given.c_str());
    return false;
}

}  // namespace velmora
