// _mlkem_test: the ML-KEM-768 core exposed to Python for cross-checks and
// benchmarks. Built only with the tests, never installed.
//
//   keygen(d, z[, path]) -> (ek, dk)       encaps(ek, m[, path]) -> (key, ct)
//   decaps(dk, ct[, path]) -> key          check_ek(ek) -> bool     check_dk(dk) -> bool
//   paths() -> list of the paths this CPU runs, active_path() -> str
//
// Arguments are bytes-like; a wrong length raises ValueError. encaps and
// decaps do not run the key checks themselves, as in the C++ API. `path`
// ("portable", "avx2") picks the code path; without it the process's own.
#include "testmod.h"  // Python.h first

#include <cstdint>
#include <cstring>

#include "crypto/mlkem768.h"
#include "crypto/mlkem768/impl.h"

namespace mlkem = velmora::crypto::mlkem768;
using testmod::Arg;
using testmod::new_bytes;

namespace {

// `want` arguments, and an optional path after them.
bool arity(Py_ssize_t nargs, Py_ssize_t want, const char* signature) {
    return testmod::arity(nargs, want, want + 1, signature);
}

// The path named by args[index] when given, else the active one.
bool path_arg(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index, mlkem::Impl& out) {
    out = mlkem::active_impl();
    if (nargs <= index) return true;
    const char* name = PyUnicode_AsUTF8(args[index]);
    if (name == nullptr) return false;
    for (mlkem::Impl impl : mlkem::ALL_IMPLS) {
        if (std::strcmp(name, mlkem::impl_name(impl)) == 0) {
            if (!mlkem::impl_available(impl)) {
                PyErr_Format(PyExc_ValueError, "this CPU cannot run the %s path", name);
                return false;
            }
            out = impl;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown path %R", args[index]);
    return false;
}

PyObject* keygen(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Arg d, z;
    mlkem::Impl path;
    if (!arity(nargs, 2, "keygen(d, z[, path])") || !d.get(args[0], "d", mlkem::SEED_BYTES) ||
        !z.get(args[1], "z", mlkem::SEED_BYTES) || !path_arg(args, nargs, 2, path)) {
        return nullptr;
    }
    PyObject* ek = PyBytes_FromStringAndSize(nullptr, mlkem::PUBLIC_KEY_BYTES);
    PyObject* dk = PyBytes_FromStringAndSize(nullptr, mlkem::SECRET_KEY_BYTES);
    if (ek == nullptr || dk == nullptr) {
        Py_XDECREF(ek);
        Py_XDECREF(dk);
        return nullptr;
    }
    mlkem::keygen_on(path, d.data(), z.data(),
                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(ek)),
                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(dk)));
    return Py_BuildValue("(NN)", ek, dk);
}

PyObject* encaps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Arg ek, m;
    mlkem::Impl path;
    if (!arity(nargs, 2, "encaps(ek, m[, path])") ||
        !ek.get(args[0], "ek", mlkem::PUBLIC_KEY_BYTES) ||
        !m.get(args[1], "m", mlkem::SEED_BYTES) || !path_arg(args, nargs, 2, path)) {
        return nullptr;
    }
    PyObject* key = PyBytes_FromStringAndSize(nullptr, mlkem::SHARED_BYTES);
    PyObject* ct = PyBytes_FromStringAndSize(nullptr, mlkem::CIPHERTEXT_BYTES);
    if (key == nullptr || ct == nullptr) {
        Py_XDECREF(key);
        Py_XDECREF(ct);
        return nullptr;
    }
    mlkem::encaps_on(path, ek.data(), m.data(),
                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(key)),
                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(ct)));
    return Py_BuildValue("(NN)", key, ct);
}

PyObject* decaps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Arg dk, ct;
    mlkem::Impl path;
    if (!arity(nargs, 2, "decaps(dk, ct[, path])") ||
        !dk.get(args[0], "dk", mlkem::SECRET_KEY_BYTES) ||
        !ct.get(args[1], "ct", mlkem::CIPHERTEXT_BYTES) || !path_arg(args, nargs, 2, path)) {
        return nullptr;
    }
    return new_bytes(mlkem::SHARED_BYTES, [&](std::uint8_t* key) {
        mlkem::decaps_on(path, dk.data(), ct.data(), nullptr, key);
    });
}

PyObject* check_ek(PyObject*, PyObject* arg) {
    Arg ek;
    if (!ek.get(arg, "ek", mlkem::PUBLIC_KEY_BYTES)) return nullptr;
    return PyBool_FromLong(mlkem::check_encapsulation_key(ek.data()));
}

PyObject* check_dk(PyObject*, PyObject* arg) {
    Arg dk;
    if (!dk.get(arg, "dk", mlkem::SECRET_KEY_BYTES)) return nullptr;
    return PyBool_FromLong(mlkem::check_decapsulation_key(dk.data()));
}

PyObject* paths(PyObject*, PyObject*) {
    PyObject* list = PyList_New(0);
    for (mlkem::Impl impl : mlkem::ALL_IMPLS) {
        if (list == nullptr || !mlkem::impl_available(impl)) continue;
        PyObject* name = PyUnicode_FromString(mlkem::impl_name(impl));
        if (name == nullptr || PyList_Append(list, name) != 0) Py_CLEAR(list);
        Py_XDECREF(name);
    }
    return list;
}

PyObject* active_path(PyObject*, PyObject*) {
    return PyUnicode_FromString(mlkem::impl_name(mlkem::active_impl()));
}

PyMethodDef methods[] = {
    {"keygen", testmod::method(keygen), METH_FASTCALL,
     "keygen(d, z[, path]) -> (ek, dk): ML-KEM-768 KeyGen_internal."},
    {"encaps", testmod::method(encaps), METH_FASTCALL,
     "encaps(ek, m[, path]) -> (key, ct): ML-KEM-768 Encaps_internal."},
    {"decaps", testmod::method(decaps), METH_FASTCALL,
     "decaps(dk, ct[, path]) -> key: ML-KEM-768 Decaps_internal, with implicit rejection."},
    {"check_ek", check_ek, METH_O, "check_ek(ek) -> bool: the encapsulation-key modulus check."},
    {"check_dk", check_dk, METH_O, "check_dk(dk) -> bool: the decapsulation-key checks."},
    {"paths", paths, METH_NOARGS, "paths() -> list[str]: the code paths this CPU runs."},
    {"active_path", active_path, METH_NOARGS, "active_path() -> str: the path the process chose."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

VELMORA_TEST_MODULE(_mlkem_test, "ML-KEM-768 core, for tests and benchmarks only.", methods)
