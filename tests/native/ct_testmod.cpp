// _ct_test: the positive controls of the valgrind constant-time check
// (tests/ct/). Each entry handles a secret in a way the check must report;
// a check that stays silent on them proves nothing. Built only with the tests,
// never installed.
//
//   leaky_equal(secret, guess) -> bool   early-exit comparison of a locked secret
//   leaky_lookup(secret) -> int          table lookup indexed by a locked secret
//   library_decode(secret) -> bool       libsodium's base64 decoder on a locked secret,
//                                        which branches on each symbol's validity
//   mlkem_leak() -> bool                 branches on an ML-KEM-768 decapsulated key
//   mlkem_verdict_leak() -> bool         branches on the implicit-rejection verdict:
//                                        whether a ciphertext matches its re-encryption
//   x25519_leak() -> int                branches on a bit of an X25519 shared secret,
//                                        then on a bit of the scalar behind it
#include "testmod.h"  // Python.h first

#include <sodium.h>

#include <cstdint>

#include "crypto/ct.h"
#include "crypto/mlkem768.h"
#include "crypto/x25519.h"
#include "crypto/os_random.h"
#include "locked/region.h"

namespace mlkem = velmora::crypto::mlkem768;

namespace {

// The secret goes into a locked region, which marks it as a secret does in
// the module itself; f gets the region's checked bytes.
template <class F>
PyObject* with_locked(PyObject* arg, F&& f) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    auto region = velmora::LockedRegion::from_slice(
        {static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
    PyBuffer_Release(&view);
    if (!region) {
        PyErr_SetString(PyExc_RuntimeError, "no locked region");
        return nullptr;
    }
    auto bytes = region->bytes();
    if (!bytes) {
        PyErr_SetString(PyExc_RuntimeError, "region not readable");
        return nullptr;
    }
    return f(*bytes);
}

PyObject* leaky_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "leaky_equal(secret, guess)");
        return nullptr;
    }
    Py_buffer guess;
    if (PyObject_GetBuffer(args[1], &guess, PyBUF_SIMPLE) != 0) return nullptr;
    PyObject* r = with_locked(args[0], [&](std::span<const std::uint8_t> s) -> PyObject* {
        if (static_cast<Py_ssize_t>(s.size()) != guess.len) Py_RETURN_FALSE;
        const auto* g = static_cast<const volatile std::uint8_t*>(guess.buf);
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] != g[i]) Py_RETURN_FALSE;  // the first difference ends it: the leak
        }
        Py_RETURN_TRUE;
    });
    PyBuffer_Release(&guess);
    return r;
}

PyObject* leaky_lookup(PyObject*, PyObject* arg) {
    return with_locked(arg, [](std::span<const std::uint8_t> s) -> PyObject* {
        static volatile std::uint8_t table[256];
        if (s.empty()) return PyLong_FromLong(0);
        // Only the address depends on the secret, not any branch.
        const std::uint8_t v = table[s[0]];
        return PyLong_FromLong(velmora::ct::declassified(v, "the control returns what it read"));
    });
}

PyObject* library_decode(PyObject*, PyObject* arg) {
    return with_locked(arg, [](std::span<const std::uint8_t> s) -> PyObject* {
        std::uint8_t out[64];
        std::size_t written = 0;
        const int rc =
            sodium_base642bin(out, sizeof out, reinterpret_cast<const char*>(s.data()), s.size(),
                              nullptr, &written, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
        return PyBool_FromLong(velmora::ct::declassified(rc, "the control returns the verdict") ==
                               0);
    });
}

PyObject* mlkem_leak(PyObject*, PyObject*) {
    std::uint8_t d[32], z[32], m[32];
    if (!velmora::crypto::os_random(d) || !velmora::crypto::os_random(z) ||
        !velmora::crypto::os_random(m)) {
        PyErr_SetString(PyExc_RuntimeError, "no randomness");
        return nullptr;
    }
    velmora::ct::mark_secret(d, sizeof d);
    velmora::ct::mark_secret(z, sizeof z);
    velmora::ct::mark_secret(m, sizeof m);
    static std::uint8_t ek[mlkem::PUBLIC_KEY_BYTES], dk[mlkem::SECRET_KEY_BYTES];
    static std::uint8_t ct[mlkem::CIPHERTEXT_BYTES];
    std::uint8_t k_enc[32], k_dec[32];
    mlkem::keygen_internal(d, z, ek, dk);
    velmora::ct::declassify(ek, sizeof ek, "the encapsulation key is public");
    velmora::ct::declassify(dk + mlkem::DK_EK_OFFSET, mlkem::PUBLIC_KEY_BYTES + 32,
                            "ek and H(ek) inside dk are public");
    mlkem::encaps_internal(ek, m, k_enc, ct);
    velmora::ct::declassify(ct, sizeof ct, "the ciphertext is public");
    mlkem::decaps_internal(dk, ct, k_dec);
    // The leak: a branch on the decapsulated key, which must still be secret here.
    if (k_dec[0] & 1) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

// Decapsulation compares the ciphertext with its re-encryption and must not
// let the verdict show. This re-encrypts the message as decapsulation does
// (the same m, so the same ciphertext, still secret) and compares the received
// ciphertext with it through the same helper, then branches on the verdict:
// the classic leak of the construction, which the check must see.
PyObject* mlkem_verdict_leak(PyObject*, PyObject*) {
    std::uint8_t d[32], z[32], m[32];
    if (!velmora::crypto::os_random(d) || !velmora::crypto::os_random(z) ||
        !velmora::crypto::os_random(m)) {
        PyErr_SetString(PyExc_RuntimeError, "no randomness");
        return nullptr;
    }
    velmora::ct::mark_secret(d, sizeof d);
    velmora::ct::mark_secret(z, sizeof z);
    velmora::ct::mark_secret(m, sizeof m);
    static std::uint8_t ek[mlkem::PUBLIC_KEY_BYTES], dk[mlkem::SECRET_KEY_BYTES];
    static std::uint8_t ct[mlkem::CIPHERTEXT_BYTES], again[mlkem::CIPHERTEXT_BYTES];
    std::uint8_t key[32], key_again[32];
    mlkem::keygen_internal(d, z, ek, dk);
    velmora::ct::declassify(ek, sizeof ek, "the encapsulation key is public");
    mlkem::encaps_internal(ek, m, key, ct);
    velmora::ct::declassify(ct, sizeof ct, "the ciphertext is public");
    mlkem::encaps_internal(ek, m, key_again, again);  // the re-encryption: secret
    if (velmora::ct::bytes_equal(ct, again, sizeof ct) != 0) Py_RETURN_TRUE;  // the leak
    Py_RETURN_FALSE;
}

PyObject* x25519_leak(PyObject*, PyObject*) {
    std::uint8_t scalar[32], peer_scalar[32], peer[32], shared[32];
    if (!velmora::crypto::os_random(scalar) || !velmora::crypto::os_random(peer_scalar)) {
        PyErr_SetString(PyExc_RuntimeError, "no randomness");
        return nullptr;
    }
    velmora::crypto::x25519::public_key(peer_scalar, peer);  // public by design
    velmora::ct::mark_secret(scalar, sizeof scalar);
    if (!velmora::crypto::x25519::shared_secret(scalar, peer, shared)) {
        PyErr_SetString(PyExc_RuntimeError, "refused");
        return nullptr;
    }
    // The leaks: the shared secret carries the scalar's taint through the
    // ladder (a report here shows the check sees into the path that ran), and
    // the scalar itself.
    // Conditional volatile stores stay branches.
    static volatile int sink;
    if (shared[0] & 1) sink = 1;
    if (scalar[1] & 1) sink = 2;
    return PyLong_FromLong(sink);
}

PyMethodDef methods[] = {
    {"leaky_equal", testmod::method(leaky_equal), METH_FASTCALL,
     "leaky_equal(secret, guess) -> bool: an early-exit comparison."},
    {"leaky_lookup", leaky_lookup, METH_O, "leaky_lookup(secret) -> int: a secret-indexed load."},
    {"library_decode", library_decode, METH_O,
     "library_decode(secret) -> bool: libsodium's base64url decoder on a secret."},
    {"mlkem_leak", mlkem_leak, METH_NOARGS,
     "mlkem_leak() -> bool: a branch on a decapsulated key."},
    {"mlkem_verdict_leak", mlkem_verdict_leak, METH_NOARGS,
     "mlkem_verdict_leak() -> bool: a branch on the re-encryption verdict."},
    {"x25519_leak", x25519_leak, METH_NOARGS,
     "x25519_leak() -> int: branches on a shared secret and a scalar."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

VELMORA_TEST_MODULE(_ct_test, "Positive controls of the constant-time check.", methods)
