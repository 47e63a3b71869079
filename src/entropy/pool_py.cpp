// EntropyPool: the stateful random generator. Its 40-byte state lives in a
// locked region under the pool's own lock; `random` returns public bytes,
// `random_secret` generates straight into a new locked box.
#include <new>

#include "py/args.h"
#include "py/methods.h"
#include "py/byte_input.h"
#include "crypto/ct.h"
#include "crypto/sha256.h"
#include "entropy/pool.h"
#include "py/secure_error.h"
#include "locked/own_stack.h"
#include "locked/region.h"
#include "py/native_object.h"
#include "py/object_lock.h"
#include "py/pyref.h"
#include "secret_box/secret_box_py.h"
#include "zeroize.h"

namespace velmora {

namespace {

// The value inside an EntropyPool object (py/native_object.h).
struct PoolHandle {
    explicit PoolHandle(LockedRegion&& r) : region(std::move(r)) {}

    ObjectLock lock;
    LockedRegion region;
};

PoolHandle* as_pool(PyObject* o) { return native<PoolHandle>(o); }

// Runs f(PoolState) -> Status under the pool's lock, after the access checks
// (a fork child finds its state gone), on the module's own stack.
template <class F>
Status with_state(PyObject* self, F&& f) {
    const ObjectGuard guard(as_pool(self)->lock);
    auto bytes = guard.secret_mut(as_pool(self)->region);
    if (!bytes) return bytes.error();
    return own_stack::run(
        [&] { return f(entropy::PoolState(bytes->data(), entropy::POOL_STATE_BYTES)); });
}

// `n`: a non-negative int (or int-like object) that fits the platform's size
// type; errors name the argument.
bool arg_size(PyObject* obj, std::size_t* out) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    std::uint64_t v;
    if (!arg_u64(obj, &v, "n")) return false;
    *out = static_cast<std::size_t>(v);
    return true;
}

constexpr Method NEW{
    "EntropyPool", Receiver::Class, NoParams{},
    "🇺🇸 Stateful mixer; see the module docs. 🇧🇷 Misturador com estado; veja a doc do módulo."};

PyObject* pool_new(PyTypeObject* type) {
    auto region = LockedRegion::allocate(entropy::POOL_STATE_BYTES);  // all zero
    if (!region) return raise_error(region.error());
    // On failure the region is released on the way out.
    return new_native<PoolHandle>(type, std::move(*region));
}

PyObject* pool_repr(PyObject*) { return PyUnicode_FromString("EntropyPool(<state redacted>)"); }

constexpr Method MIX{
    "mix",
    Receiver::Instance,
    {{"seed"}},
    "🇺🇸 Replaces the mixed-in seed (a `SecretBox` or bytes-like) and resets the counter.\n"
    "🇧🇷 Substitui a semente misturada (um `SecretBox` ou tipo bytes) e reinicia o contador."};

PyObject* pool_mix(PyObject* self, PyObject* seed_arg) {
    // The seed is hashed before the pool's lock is taken; a box is hashed
    // in place under its own lock, which is released again first.
    std::uint8_t digest[crypto::SHA256_BYTES];
    WipeOnExit<decltype(digest)> wipe(digest);
    if (is_secret_box(seed_arg)) {
        Status hashed = with_secret(seed_arg, [&](std::span<const std::uint8_t> seed) -> Status {
            crypto::sha256(seed, digest);
            return {};
        });
        if (!hashed) return raise_error(hashed.error());
    } else {
        auto seed = read_byte_input(seed_arg);
        if (!seed) return nullptr;
        Status hashed = own_stack::run([&]() -> Status {
            crypto::sha256(seed->span(), digest);
            return {};
        });
        if (!hashed) return raise_error(hashed.error());
    }
    Status s = with_state(self, [&](entropy::PoolState state) -> Status {
        entropy::reseed(state, digest);
        return {};
    });
    if (!s) return raise_error(s.error());
    Py_RETURN_NONE;
}

constexpr Method RANDOM{
    "random",
    Receiver::Instance,
    {{"n"}},
    "🇺🇸 `n` bytes for public values: nonces, salts, ids. 🇧🇷 `n` bytes para valores públicos: "
    "nonces, salts, ids."};

PyObject* pool_random(PyObject* self, PyObject* n_arg) {
    std::size_t n;
    if (!arg_size(n_arg, &n)) return nullptr;
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
    Status s = with_state(
        self, [&](entropy::PoolState state) { return entropy::generate(state, {dst, n}); });
    if (!s) {
        secure_zero(dst, n);  // drop any fresh bytes already drawn
        return raise_error(s.error());
    }
    ct::declassify(dst, n, "random() output is for public values");
    return out.release();
}

constexpr Method RANDOM_SECRET{
    "random_secret",
    Receiver::Instance,
    {{"n"}},
    "🇺🇸 `n` bytes born in a locked box: a new DEK never touches the Python heap.\n"
    "🇧🇷 `n` bytes nascidos numa caixa travada: uma DEK nova nunca toca o heap do Python."};

PyObject* pool_random_secret(PyObject* self, PyObject* n_arg) {
    std::size_t n;
    if (!arg_size(n_arg, &n)) return nullptr;
    auto region = LockedRegion::allocate(n);
    if (!region) return raise_error(region.error());
    Status s = region->view_mut([&](std::span<std::uint8_t> secret) {
        return with_state(
            self, [&](entropy::PoolState state) { return entropy::generate(state, secret); });
    });
    if (!s) return raise_error(s.error());  // the region is released on the way out
    return box_from_region(std::move(*region));
}

const ConstructorEntry CONSTRUCTOR = constructor<NEW, pool_new>();

const MethodEntry METHODS[] = {
    entry<MIX, pool_mix>(),
    entry<RANDOM, pool_random>(),
    entry<RANDOM_SECRET, pool_random_secret>(),
};

PyTypeObject* g_type = nullptr;

PyTypeObject* create_type() {
    return create_native_type<PoolHandle>(
        class_with_constructor("velmora._secure.EntropyPool", CONSTRUCTOR),
        {{Py_tp_repr, reinterpret_cast<void*>(pool_repr)}}, type_members({METHODS}));
}

}  // namespace

PyTypeObject* entropy_pool_type() {
    if (!g_type) g_type = create_type();  // under the interpreter lock
    return g_type;
}

}  // namespace velmora
