// SecretBox: the interpreter-visible handle to one secret in one LockedRegion,
// and the operations other subsystems use to reach a box's bytes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <utility>

#include "error/error.h"
#include "locked/own_stack.h"
#include "locked/region.h"
#include "py/native_object.h"
#include "py/object_lock.h"
#include "zeroize.h"

namespace velmora {

// The value inside a SecretBox object (py/native_object.h).
struct SecretBox {
    static constexpr const char* PY_NAME = "SecretBox";
    static constexpr const char* NO_COPY =
        "SecretBox cannot be pickled, copied or deep-copied; use clone() deliberately \u00b7 "
        "SecretBox n\u00e3o pode ser serializado, copiado ou deep-copiado; use clone() de "
        "prop\u00f3sito";
    // The SecretBox type, created once per process on first use (borrowed).
    static PyTypeObject* py_type();

    explicit SecretBox(LockedRegion&& r) : region(std::move(r)) {}

    ObjectLock lock;
    LockedRegion region;
};

PyTypeObject* secret_box_type();
inline bool is_secret_box(PyObject* obj) { return is_native<SecretBox>(obj); }

// A new box owning `region`; if the object cannot be allocated the region is
// released and null returned with the error set.
PyObject* box_from_region(LockedRegion&& region);

// Runs f(std::span<const uint8_t>) -> Result<R> on the box's bytes under its
// lock, after the access checks (py/object_lock.h): the lock is taken on the
// thread's stack (waiting for it may release the interpreter lock), f runs on
// the module's own stack (locked/own_stack.h).
template <class F>
auto with_secret(PyObject* box, F&& f) -> decltype(f(std::span<const std::uint8_t>{})) {
    SecretBox* self = native<SecretBox>(box);
    const ObjectGuard guard(self->lock);
    auto bytes = guard.secret(self->region);
    if (!bytes) return bytes.error();
    return own_stack::run([&] { return f(*bytes); });
}

// A self-wiping copy of a second box's bytes, taken under that box's lock and
// released before returning, so no thread ever holds two box locks.
Result<ZeroizingBuffer> copy_secret_out(PyObject* box);

// Methods of SecretBox defined next to their subsystem (the symmetric
// operations), merged into the type at creation.
std::span<const MethodEntry> secret_box_crypto_methods();

}  // namespace velmora
