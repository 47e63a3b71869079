// The SecretBox type: creation, wipe, clone, reveal, constant-time equality,
// representation, and the refusal of pickling and copying.
#include "secret_box/secret_box_py.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "py/args.h"
#include "py/byte_input.h"
#include "crypto/ct.h"
#include "crypto/os_random.h"
#include "py/secure_error.h"
#include "py/methods.h"
#include "py/pyref.h"

namespace velmora {

namespace {

SecretBox* as_box(PyObject* o) { return native<SecretBox>(o); }

PyObject* raise_or(const Status& s) { return s ? nullptr : raise_error(s.error()); }

constexpr Method RANDOM{
    "random",
    Receiver::Static,
    {{"length"}},
    "🇺🇸 `length` fresh bytes from the OS CSPRNG, born directly in locked memory.\n"
    "🇧🇷 `length` bytes novos do CSPRNG do SO, nascidos direto em memória travada."};

PyObject* box_random(PyObject*, PyObject* length_arg) {
    std::uint64_t length;
    if (!arg_u64(length_arg, &length, "length")) return nullptr;
    auto region = LockedRegion::allocate(length);
    if (!region) return raise_error(region.error());
    Status filled = region->view_mut([](std::span<std::uint8_t> secret) {
        return own_stack::run([&] { return crypto::os_random(secret); });
    });
    if (!filled) return raise_or(filled);  // the region is released on the way out
    return box_from_region(std::move(*region));
}

constexpr Method FROM_BYTES{
    "from_bytes",
    Receiver::Static,
    {{"data"}},
    "🇺🇸 Copies a bytes-like object in; a writable source (`bytearray`) is zeroed afterwards.\n"
    "🇧🇷 Copia um objeto tipo bytes para dentro; uma origem gravável (`bytearray`) é zerada "
    "depois."};

PyObject* box_from_bytes(PyObject*, PyObject* data) {
    auto copy = take_byte_input_zeroing(data);
    if (!copy) return nullptr;
    auto region = own_stack::run([&] { return LockedRegion::from_slice(copy->span()); });
    if (!region) return raise_error(region.error());
    return box_from_region(std::move(*region));
}

constexpr Method WIPE{
    "wipe", Receiver::Instance, NoParams{},
    "🇺🇸 Zeroes the secret now, ahead of garbage collection. 🇧🇷 Zera o segredo agora, antes da "
    "coleta de lixo."};

// No access check: wiping a wiped box, or a box in a fork child, does nothing more.
PyObject* box_wipe(PyObject* self) {
    const ObjectGuard guard(as_box(self)->lock);
    as_box(self)->region.wipe();
    Py_RETURN_NONE;
}

constexpr Method CLONE{
    "clone", Receiver::Instance, NoParams{},
    "🇺🇸 A second, independent box with the same bytes. 🇧🇷 Uma segunda caixa, independente, "
    "com os mesmos bytes."};

PyObject* box_clone(PyObject* self) {
    auto region = with_secret(self, [](std::span<const std::uint8_t> secret) {
        return LockedRegion::from_slice(secret);
    });
    if (!region) return raise_error(region.error());
    return box_from_region(std::move(*region));
}

constexpr Method REVEAL{
    "reveal", Receiver::Instance, NoParams{},
    "🇺🇸 The bytes as a `bytearray` — the caller owns zeroing it. Exists only for persisting to "
    "OpenBao.\n"
    "🇧🇷 Os bytes como `bytearray` — zerá-lo é responsabilidade de quem chama. Existe só para "
    "persistir no OpenBao."};

PyObject* box_reveal(PyObject* self) {
    PyObject* out = nullptr;
    auto made = with_secret(self, [&](std::span<const std::uint8_t> secret) -> Status {
        // The bytearray is made on the thread's stack, the bytes copied in here.
        char* dst = own_stack::on_thread_stack([&]() -> char* {
            out = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(secret.size()));
            return out ? PyByteArray_AsString(out) : nullptr;
        });
        if (dst == nullptr) return {};
        std::memcpy(dst, secret.data(), secret.size());
        ct::declassify(dst, secret.size(), "reveal hands the secret to the caller");
        return {};
    });
    if (!made) return raise_error(made.error());
    return out;  // null with MemoryError set if the bytearray could not be made
}

// The region's public values, read under the lock (no access check: a wiped
// box keeps its length, and in a fork child a box reports is_wiped False).
struct PublicView {
    std::uint64_t len;
    bool locked, wiped;
};

PublicView public_view(PyObject* self) {
    const ObjectGuard guard(as_box(self)->lock);
    const LockedRegion& r = as_box(self)->region;
    return PublicView{r.len(), r.is_locked(), r.is_wiped()};
}

PyObject* box_is_locked(PyObject* self) { return PyBool_FromLong(public_view(self).locked); }

PyObject* box_is_wiped(PyObject* self) { return PyBool_FromLong(public_view(self).wiped); }

Py_ssize_t box_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        const std::uint64_t n = public_view(self).len;
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
            return -1;
        }
        return static_cast<Py_ssize_t>(n);
    });
}

PyObject* box_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const PublicView v = public_view(self);  // formatted after the lock (formatting allocates)
        const std::string text = "SecretBox(<" + std::to_string(v.len) +
                                 " bytes, redacted, locked=" + (v.locked ? "true" : "false") +
                                 ", wiped=" + (v.wiped ? "true" : "false") + ">)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* box_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_NE) {
        // Our own slot replaces object's default, so != must be spelled out.
        PyRef eq(PyObject_RichCompare(self, other, Py_EQ));
        if (!eq) return nullptr;
        const int truth = PyObject_IsTrue(eq.get());
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
    }
    if (op != Py_EQ || !is_secret_box(other)) Py_RETURN_NOTIMPLEMENTED;
    if (self == other) Py_RETURN_TRUE;
    return guarded([&]() -> PyObject* {
        auto theirs = copy_secret_out(other);
        if (!theirs) return raise_error(theirs.error());
        auto equal = with_secret(self, [&](std::span<const std::uint8_t> mine) -> Result<bool> {
            if (mine.size() != theirs->size()) return false;  // lengths are public
            return ct::declassified(ct::bytes_equal(mine.data(), theirs->data(), mine.size()),
                                    "== answers whether two boxes hold the same bytes") != 0;
        });
        if (!equal) return raise_error(equal.error());
        return PyBool_FromLong(*equal);
    });
}

const MethodEntry CREATORS[] = {
    entry<RANDOM, box_random>(),
    entry<FROM_BYTES, box_from_bytes>(),
};

const MethodEntry CORE_METHODS[] = {
    entry<WIPE, box_wipe>(),
    entry<CLONE, box_clone>(),
    entry<REVEAL, box_reveal>(),
};

const PyGetSetDef GETTERS[] = {
    getter<box_is_locked>(
        "is_locked",
        "🇺🇸 Whether the pages are pinned by `mlock`. 🇧🇷 Se as páginas estão presas por `mlock`."),
    getter<box_is_wiped>("is_wiped", "🇺🇸 Whether `wipe()` already ran. 🇧🇷 Se `wipe()` já rodou."),
};

PyTypeObject* g_type = nullptr;

PyTypeObject* create_type() {
    // Core members first, then the methods defined with the symmetric operations.
    TypeMembers& members = type_members(
        {CREATORS, COPY_REFUSALS<SecretBox>, GETTERS, CORE_METHODS, secret_box_crypto_methods()});

    return create_native_type<SecretBox>(
        class_without_constructor(
            "velmora._secure.SecretBox",
            "🇺🇸 Bytes that live only in locked memory; see the module docs for the rules.\n🇧🇷 "
            "Bytes que vivem só em memória travada; veja a doc do módulo para as regras."),
        {
            {Py_tp_repr, reinterpret_cast<void*>(box_repr)},
            {Py_tp_richcompare, reinterpret_cast<void*>(box_richcompare)},
            {Py_sq_length, reinterpret_cast<void*>(box_len)},
        },
        members);
}

}  // namespace

PyTypeObject* SecretBox::py_type() {
    if (!g_type) g_type = create_type();  // under the interpreter lock
    return g_type;
}

PyTypeObject* secret_box_type() { return SecretBox::py_type(); }

PyObject* box_from_region(LockedRegion&& region) {
    LockedRegion owned(std::move(region));  // released here if no object takes it
    PyTypeObject* type = SecretBox::py_type();
    if (!type) return nullptr;
    return new_native<SecretBox>(type, std::move(owned));
}

Result<ZeroizingBuffer> copy_secret_out(PyObject* box) {
    return with_secret(box, [](std::span<const std::uint8_t> secret) -> Result<ZeroizingBuffer> {
        return ZeroizingBuffer::copy_of(secret);
    });
}

}  // namespace velmora
