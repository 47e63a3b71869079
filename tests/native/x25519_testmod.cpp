// _x25519_test: the X25519 code exposed to Python for the exact-integer and
// cross-path tests. Built only with the tests, never installed.
//
//   field(op, a[, b]) -> bytes     op: "mul", "sqr", "add", "sub", "inv", "encode", and the
//                                  ladder's own "ladder_mul", "ladder_sqr", "ladder_add",
//                                  "ladder_sub", "ladder_a24" (121666 a + b);
//                                  a, b are raw 32-byte little-endian values
//   public_key(scalar, path) -> bytes
//   shared_secret(scalar, u, path) -> bytes or None (refused as low order)
//   paths() -> list of the paths this CPU runs, active_path() -> str
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "crypto/x25519.h"
#include "crypto/x25519/native.h"

namespace x = velmora::crypto::x25519;

namespace {

constexpr Py_ssize_t N = 32;

// Copies a 32-byte bytes-like argument into out.
bool get32(PyObject* obj, const char* name, std::uint8_t out[N]) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) return false;
    const bool ok = view.len == N;
    if (ok)
        std::memcpy(out, view.buf, N);
    else
        PyErr_Format(PyExc_ValueError, "%s must be 32 bytes, got %zd", name, view.len);
    PyBuffer_Release(&view);
    return ok;
}

bool get_path(PyObject* obj, x::Impl& out) {
    const char* name = PyUnicode_AsUTF8(obj);
    if (name == nullptr) return false;
    for (x::Impl impl : {x::Impl::Libsodium, x::Impl::Native}) {
        if (std::strcmp(name, x::impl_name(impl)) != 0) continue;
        if (impl == x::Impl::Native && !x::native_available()) {
            PyErr_SetString(PyExc_ValueError, "this CPU cannot run the native path");
            return false;
        }
        out = impl;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "unknown path %R", obj);
    return false;
}

PyObject* bytes32(const std::uint8_t b[N]) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b), N);
}

PyObject* field(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "field(op, a[, b])");
        return nullptr;
    }
#if !defined(__x86_64__)
    // The native path is x86-64 code; on other architectures it is not built.
    PyErr_SetString(PyExc_ValueError, "this CPU cannot run the native path");
    return nullptr;
#else
    if (!x::native_available()) {
        PyErr_SetString(PyExc_ValueError, "this CPU cannot run the native path");
        return nullptr;
    }
    const char* name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    static const struct {
        const char* name;
        x::native::FieldOp op;
    } OPS[] = {{"mul", x::native::FieldOp::Mul},
               {"ladder_mul", x::native::FieldOp::LadderMul},
               {"ladder_sqr", x::native::FieldOp::LadderSqr},
               {"ladder_add", x::native::FieldOp::LadderAdd},
               {"ladder_sub", x::native::FieldOp::LadderSub},
               {"ladder_a24", x::native::FieldOp::LadderA24},
               {"sqr", x::native::FieldOp::Sqr},
               {"add", x::native::FieldOp::Add},
               {"sub", x::native::FieldOp::Sub},
               {"inv", x::native::FieldOp::Inv},
               {"encode", x::native::FieldOp::Encode}};
    std::uint8_t a[N], b[N] = {}, r[N];
    if (!get32(args[1], "a", a) || (nargs == 3 && !get32(args[2], "b", b))) return nullptr;
    for (const auto& op : OPS) {
        if (std::strcmp(name, op.name) != 0) continue;
        x::native::field_op(op.op, a, b, r);
        return bytes32(r);
    }
    PyErr_Format(PyExc_ValueError, "unknown operation %R", args[0]);
    return nullptr;
#endif
}

PyObject* public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    std::uint8_t k[N], r[N];
    x::Impl impl;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "public_key(scalar, path)");
        return nullptr;
    }
    if (!get32(args[0], "scalar", k) || !get_path(args[1], impl)) return nullptr;
    x::public_key(k, r, impl);
    return bytes32(r);
}

PyObject* shared_secret(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    std::uint8_t k[N], u[N], r[N];
    x::Impl impl;
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "shared_secret(scalar, u, path)");
        return nullptr;
    }
    if (!get32(args[0], "scalar", k) || !get32(args[1], "u", u) || !get_path(args[2], impl))
        return nullptr;
    if (!x::shared_secret(k, u, r, impl)) Py_RETURN_NONE;
    return bytes32(r);
}

PyObject* paths(PyObject*, PyObject*) {
    return x::native_available() ? Py_BuildValue("[ss]", "libsodium", "native")
                                 : Py_BuildValue("[s]", "libsodium");
}

PyObject* active_path(PyObject*, PyObject*) {
    return PyUnicode_FromString(x::impl_name(x::active_impl()));
}

PyMethodDef methods[] = {
    {"field", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(field)), METH_FASTCALL,
     "field(op, a[, b]) -> bytes: one field operation of the native path on raw values."},
    {"public_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(public_key)),
     METH_FASTCALL, "public_key(scalar, path) -> bytes: X25519(clamp(scalar), 9)."},
    {"shared_secret", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shared_secret)),
     METH_FASTCALL,
     "shared_secret(scalar, u, path) -> bytes | None: X25519(clamp(scalar), u), None if refused."},
    {"paths", paths, METH_NOARGS, "paths() -> list[str]: the code paths this CPU runs."},
    {"active_path", active_path, METH_NOARGS, "active_path() -> str: the path the process chose."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_x25519_test",
    "X25519 code, for tests only.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__x25519_test() { return PyModule_Create(&module); }
