// _x25519_test: the X25519 code exposed to Python for the exact-integer and
// cross-path tests. Built only with the tests, never installed.
//
//   field(op, a[, b]) -> bytes     op: key generation's "add", "sub", "encode", and the
//                                  assembly's "inv", "ladder_mul", "ladder_sqr",
//                                  "ladder_add", "ladder_sub", "ladder_a24" (121666 a + b);
//                                  a, b are raw 32-byte little-endian values
//   ladder(k, x1) -> (x, z)        the hand-written ladder's projective result for
//                                  the scalar k (bits 0..254, as given) and raw x1
//   public_key(scalar, path) -> bytes
//   shared_secret(scalar, u, path) -> bytes or None (refused as low order)
//   paths() -> list of the paths this CPU runs, active_path() -> str
//
// public_key and shared_secret call the module's X25519 functions straight, with no
// own stack or wipe around them, and wipe only their own copy of the shared
// secret (the scalar is read in place from the caller's buffer): what else
// those functions leave behind stays for the residue test
// (tests/test_residue.py) to find.
#include "testmod.h"  // Python.h first

#include <cstdint>
#include <cstring>

#include "crypto/x25519.h"
#include "crypto/x25519/native.h"
#include "zeroize.h"

namespace x = velmora::crypto::x25519;
using testmod::Arg;

namespace {

constexpr Py_ssize_t N = 32;

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

PyObject* bytes32(const std::uint8_t b[N]) { return testmod::bytes_of(b, N); }

bool native_or_fail() {
    if (x::native_available()) return true;
    PyErr_SetString(PyExc_ValueError, "this CPU cannot run the native path");
    return false;
}

PyObject* field(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!testmod::arity(nargs, 2, 3, "field(op, a[, b])") || !native_or_fail()) return nullptr;
#if !defined(__x86_64__)
    // The native path is x86-64 code; on other architectures it is not built
    // (native_or_fail has refused already).
    return nullptr;
#else
    const char* name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    static const struct {
        const char* name;
        x::native::FieldOp op;
    } OPS[] = {{"ladder_mul", x::native::FieldOp::LadderMul},
               {"ladder_sqr", x::native::FieldOp::LadderSqr},
               {"ladder_add", x::native::FieldOp::LadderAdd},
               {"ladder_sub", x::native::FieldOp::LadderSub},
               {"ladder_a24", x::native::FieldOp::LadderA24},
               {"add", x::native::FieldOp::Add},
               {"sub", x::native::FieldOp::Sub},
               {"inv", x::native::FieldOp::Inv},
               {"encode", x::native::FieldOp::Encode}};
    static const std::uint8_t ZERO[N] = {};
    Arg a, b;
    if (!a.get(args[1], "a", N) || (nargs == 3 && !b.get(args[2], "b", N))) return nullptr;
    for (const auto& op : OPS) {
        if (std::strcmp(name, op.name) != 0) continue;
        std::uint8_t r[N];
        x::native::field_op(op.op, a.data(), nargs == 3 ? b.data() : ZERO, r);
        return bytes32(r);
    }
    PyErr_Format(PyExc_ValueError, "unknown operation %R", args[0]);
    return nullptr;
#endif
}

PyObject* ladder(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Arg k, x1;
    if (!testmod::arity(nargs, 2, 2, "ladder(k, x1)") || !native_or_fail() ||
        !k.get(args[0], "k", N) || !x1.get(args[1], "x1", N))
        return nullptr;
#if !defined(__x86_64__)
    return nullptr;
#else
    std::uint8_t xz[2 * N];
    x::native::ladder(xz, k.data(), x1.data());
    return Py_BuildValue("(NN)", bytes32(xz), bytes32(xz + N));
#endif
}

PyObject* public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Arg k;
    x::Impl impl;
    if (!testmod::arity(nargs, 2, 2, "public_key(scalar, path)") || !k.get(args[0], "scalar", N) ||
        !get_path(args[1], impl))
        return nullptr;
    std::uint8_t r[N];
    x::public_key(k.data(), r, impl);
    return bytes32(r);
}

PyObject* shared_secret(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Arg k, u;
    x::Impl impl;
    if (!testmod::arity(nargs, 3, 3, "shared_secret(scalar, u, path)") ||
        !k.get(args[0], "scalar", N) || !u.get(args[1], "u", N) || !get_path(args[2], impl))
        return nullptr;
    std::uint8_t r[N];
    velmora::WipeOnExit wipe_r(r);
    if (!x::shared_secret(k.data(), u.data(), r, impl)) Py_RETURN_NONE;
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
    {"field", testmod::method(field), METH_FASTCALL,
     "field(op, a[, b]) -> bytes: one field operation of the native path on raw values."},
    {"ladder", testmod::method(ladder), METH_FASTCALL,
     "ladder(k, x1) -> (x, z): the assembly ladder's projective result, unreduced."},
    {"public_key", testmod::method(public_key), METH_FASTCALL,
     "public_key(scalar, path) -> bytes: X25519(clamp(scalar), 9)."},
    {"shared_secret", testmod::method(shared_secret), METH_FASTCALL,
     "shared_secret(scalar, u, path) -> bytes | None: X25519(clamp(scalar), u), None if refused."},
    {"paths", paths, METH_NOARGS, "paths() -> list[str]: the code paths this CPU runs."},
    {"active_path", active_path, METH_NOARGS, "active_path() -> str: the path the process chose."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

VELMORA_TEST_MODULE(_x25519_test, "X25519 code, for tests only.", methods)
