// The interpreter glue every test-only module (tests/native) shares, so that
// each of them is its functions, a method table and one VELMORA_TEST_MODULE
// line. Built only with the tests, never installed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace testmod {

// A function of another calling convention (METH_FASTCALL, METH_KEYWORDS) as
// the PyCFunction a method table holds; the flags beside it say how to call it.
template <class Fn>
PyCFunction method(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A bytes-like argument of a fixed length, held for the duration of a call.
class Arg {
public:
    Arg() = default;
    ~Arg() {
        if (held_) PyBuffer_Release(&view_);
    }
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;

    // False with ValueError ("<name> must be <size> bytes, got <n>") or the
    // buffer protocol's TypeError.
    bool get(PyObject* obj, const char* name, Py_ssize_t size) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) return false;
        held_ = true;
        if (view_.len != size) {
            PyErr_Format(PyExc_ValueError, "%s must be %zd bytes, got %zd", name, size, view_.len);
            return false;
        }
        return true;
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Between `least` and `most` positional arguments, else TypeError naming the
// call's signature.
inline bool arity(Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most, const char* signature) {
    if (nargs >= least && nargs <= most) return true;
    PyErr_Format(PyExc_TypeError, "%s takes %zd to %zd arguments (%zd given)", signature, least,
                 most, nargs);
    return false;
}

// A new bytes object of n bytes, filled by fill(pointer).
template <class Fill>
PyObject* new_bytes(Py_ssize_t n, Fill&& fill) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, n);
    if (b != nullptr) fill(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b)));
    return b;
}

inline PyObject* bytes_of(const std::uint8_t* p, Py_ssize_t n) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n);
}

}  // namespace testmod

// The module object and its init function for the method table METHODS.
#define VELMORA_TEST_MODULE(NAME, DOC, METHODS)                                             \
    namespace {                                                                             \
    PyModuleDef NAME##_definition = {                                                       \
        PyModuleDef_HEAD_INIT, #NAME, DOC, -1, METHODS, nullptr, nullptr, nullptr, nullptr, \
    };                                                                                      \
    }                                                                                       \
    PyMODINIT_FUNC PyInit_##NAME() { return PyModule_Create(&NAME##_definition); }
