#include "py/args.h"

namespace velmora {

bool bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, std::size_t required, PyObject** out) {
    const auto total = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = nullptr;
    if (nargs > total) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", fname,
                     total, total == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // Compared as strings, not as C strings: "message\0junk" is not
        // `message`, and a name without a UTF-8 form is just another unknown name.
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* n : names) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, n) == 0) slot = i;
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", fname,
                         key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%U') and position (%zd)", fname,
                         key, slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    std::size_t i = 0;
    for (const char* n : names) {
        if (i < required && !out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                         n, i + 1);
            return false;
        }
        ++i;
    }
    return true;
}

bool arg_u64(PyObject* obj, std::uint64_t* out, const char* name) {
    if (!PyLong_Check(obj)) {
        if (name)
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': '%.200s' object cannot be interpreted as an integer",
                         name, Py_TYPE(obj)->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                         Py_TYPE(obj)->tp_name);
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
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': '%.200s' object cannot be interpreted as an integer",
                         name, Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    const bool ok = arg_u64(index, out, name);
    Py_DECREF(index);
    return ok;
}

}  // namespace velmora
