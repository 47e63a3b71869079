// SecretStreamPush and SecretStreamPull: the two ends of the secret stream as
// interpreter objects. Each holds its 44-byte state in a locked region of its own
// behind the object lock; push and pull copy their arguments, then run the chunk
// computation and the state transition with the interpreter lock released.
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "py/args.h"
#include "py/type_name.h"
#include "py/byte_input.h"
#include "crypto/ct.h"
#include "crypto/os_random.h"
#include "py/secure_error.h"
#include "py/interpreter_lock.h"
#include "locked/own_stack.h"
#include "locked/region.h"
#include "py/methods.h"
#include "py/module_defs.h"
#include "py/native_object.h"
#include "py/object_lock.h"
#include "py/pyref.h"
#include "secret_box/secret_box_py.h"
#include "secretstream/secretstream.h"
#include "zeroize.h"

namespace velmora {

namespace {

namespace ss = secretstream;

// The values inside SecretStreamPush and SecretStreamPull objects
// (py/native_object.h).
struct PushHandle {
    PushHandle(LockedRegion&& s, const std::uint8_t (&h)[ss::HEADER_BYTES]) : state(std::move(s)) {
        std::memcpy(header, h, sizeof header);
    }

    ObjectLock lock;
    LockedRegion state;
    bool finished = false;
    std::uint8_t header[ss::HEADER_BYTES];  // public
};

struct PullHandle {
    explicit PullHandle(LockedRegion&& s) : state(std::move(s)) {}

    ObjectLock lock;
    LockedRegion state;
    bool finished = false;
};

PushHandle* as_push(PyObject* o) { return native<PushHandle>(o); }
PullHandle* as_pull(PyObject* o) { return native<PullHandle>(o); }

// --- arguments ------------------------------------------------------------------------

// `ad`: None (or absent) is the same as empty.
bool read_ad(PyObject* obj, std::optional<ZeroizingBuffer>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    out = read_byte_input(obj);
    return out.has_value();
}

std::span<const std::uint8_t> span_of(const std::optional<ZeroizingBuffer>& b) {
    return b ? b->span() : std::span<const std::uint8_t>{};
}

// `final`: a bool, or numpy's boolean scalar (through its __bool__); nothing
// else, integers included. NumPy's is known by its type's name, which the
// refusal needs anyway.
bool read_final(PyObject* obj, bool* out) {
    if (obj == nullptr) return true;
    if (PyBool_Check(obj)) {
        *out = obj == Py_True;
        return true;
    }
    const TypeName type(obj);
    const char* name = type.c_str();  // "numpy.bool_" before NumPy 2
    if (name == nullptr) return false;
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        *out = truth == 1;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "push() argument 'final' must be bool, not %.200s", name);
    return false;
}

// The one failure the stream format leaves open: a message longer than a chunk
// can carry. It is a caller error, refused before anything is copied.
PyObject* refuse_too_long(std::size_t m) {
    const std::string max = std::to_string(ss::MESSAGE_MAX), got = std::to_string(m);
    const std::string text = "message too long for one chunk: at most " + max + " bytes, got " +
                             got + " \u00b7 mensagem longa demais para um chunk: no máximo " + max +
                             " bytes, recebeu " + got;
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

// Overwrites a plaintext copy unless the chunk computation has replaced it.
class WipeUnlessSealed {
public:
    WipeUnlessSealed(std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    ~WipeUnlessSealed() {
        if (p_ != nullptr) secure_zero(p_, n_);
    }
    void sealed() { p_ = nullptr; }

private:
    std::uint8_t* p_;
    std::size_t n_;
};

// --- the unlocked section -----------------------------------------------------------

// Takes the object lock (waiting, if another thread holds it, with the
// interpreter lock released), releases the interpreter lock, runs `work` on
// the module's own stack, releases the object lock and only then takes the
// interpreter lock back. The interpreter lock is released and retaken on the
// thread's stack, and outside any destructor: at interpreter exit the retake
// ends the thread by unwinding it.
template <class F>
auto run_unlocked(ObjectLock& lock, F&& work) {
    PyThreadState* saved = nullptr;
    try {
        auto result = [&] {
            const ObjectGuard guard(lock);
            saved = release_interpreter();
            return own_stack::run([&] { return work(guard); });
        }();
        retake_interpreter(std::exchange(saved, nullptr));
        return result;
    } catch (...) {
        if (saved != nullptr) retake_interpreter(std::exchange(saved, nullptr));
        throw;
    }
}

// The refusals shared by push and pull, in their order: finished, then the
// access checks of the state (a fork child, or a fork taken while a thread of
// the parent was changing the state).
template <class Obj>
Result<std::span<std::uint8_t>> usable_state(const ObjectGuard& guard, Obj* obj) {
    if (obj->finished) return ErrorKind::StreamFinished;
    return guard.secret_mut(obj->state);
}

// A new state region from the key box and the header, built under the box's
// lock after its checks.
Result<LockedRegion> state_from(PyObject* key_box, std::span<const std::uint8_t> header) {
    return with_secret(
        key_box, [&](std::span<const std::uint8_t> key) { return ss::new_state(key, header); });
}

template <class Obj>
PyObject* is_finished(PyObject* self) {
    auto* obj = native<Obj>(self);
    const ObjectGuard guard(obj->lock);
    return PyBool_FromLong(obj->finished);
}

// --- SecretStreamPush ---------------------------------------------------------------

constexpr Method PUSH_NEW{
    "SecretStreamPush",
    Receiver::Class,
    {{"key"}},
    "🇺🇸 Encrypting side: `header` first, then `push(chunk, final=...)` per chunk.\n"
    "🇧🇷 Lado que cifra: `header` primeiro, depois `push(chunk, final=...)` por chunk."};

PyObject* push_new(PyTypeObject* type, PyObject* key) {
    if (!require<SecretBox>(key, "SecretStreamPush", "key")) return nullptr;
    std::uint8_t header[ss::HEADER_BYTES];
    if (Status drawn = crypto::os_random(header); !drawn) return raise_error(drawn.error());
    auto state = state_from(key, header);
    if (!state) return raise_error(state.error());
    // On failure the state region is released on the way out.
    return new_native<PushHandle>(type, std::move(*state), header);
}

constexpr Method PUSH{
    "push",
    Receiver::Instance,
    {{"message"}, keyword_only("final", "False"), keyword_only("ad", "None")},
    "🇺🇸 Encrypts one chunk; `final=True` marks the last one, after which the stream refuses "
    "more.\n"
    "🇧🇷 Cifra um chunk; `final=True` marca o último, depois do qual o stream recusa mais."};

PyObject* push(PyObject* self, PyObject* message_arg, PyObject* final_arg, PyObject* ad_arg) {
    bool final = false;
    if (!read_final(final_arg, &final)) return nullptr;

    // The message is copied once, straight into the bytes object that becomes
    // the chunk, and sealed there in place; that plaintext copy is either
    // overwritten by the ciphertext or wiped.
    ByteInput message;
    if (!message.acquire(message_arg)) return nullptr;
    const std::size_t m = message.size();
    if (!ss::message_fits(m)) return refuse_too_long(m);
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(m + ss::ABYTES)));
    if (!out) return nullptr;
    const std::span<std::uint8_t> chunk(
        reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get())), m + ss::ABYTES);
    const std::span<std::uint8_t> placed = ss::chunk_message(chunk);
    WipeUnlessSealed plaintext(placed.data(), m);
    if (!message.copy_to(placed.data(), 0, m)) return nullptr;
    message.release();

    std::optional<ZeroizingBuffer> ad;
    if (!read_ad(ad_arg, ad)) return nullptr;

    auto* obj = as_push(self);
    Status sealed = run_unlocked(obj->lock, [&](const ObjectGuard& guard) -> Status {
        auto state = usable_state(guard, obj);
        if (!state) return state.error();
        ss::seal_chunk_in_place(*state, span_of(ad), final ? ss::TAG_FINAL : ss::TAG_MESSAGE,
                                chunk);
        plaintext.sealed();
        obj->finished = final;
        return {};
    });
    if (!sealed) return raise_error(sealed.error());
    return out.release();
}

PyObject* push_header(PyObject* self) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(as_push(self)->header),
                                     ss::HEADER_BYTES);
}

// --- SecretStreamPull ---------------------------------------------------------------

constexpr Method PULL_NEW{
    "SecretStreamPull",
    Receiver::Class,
    {{"key"}, {"header"}},
    "🇺🇸 Decrypting side: built from `key` and the header, then `pull(chunk)` per chunk → "
    "`(plaintext, is_final)`.\n"
    "🇧🇷 Lado que decifra: construído de `key` e do header, depois `pull(chunk)` por chunk → "
    "`(texto claro, é_final)`."};

PyObject* pull_new(PyTypeObject* type, PyObject* key, PyObject* header_arg) {
    if (!require<SecretBox>(key, "SecretStreamPull", "key")) return nullptr;
    auto header = read_byte_input(header_arg);
    if (!header) return nullptr;
    auto state = state_from(key, header->span());
    if (!state) return raise_error(state.error());
    return new_native<PullHandle>(type, std::move(*state));
}

constexpr Method PULL{
    "pull",
    Receiver::Instance,
    {{"chunk"}, keyword_only("ad", "None")},
    "🇺🇸 Authenticates and decrypts one chunk; refuses anything after the final one.\n"
    "🇧🇷 Autentica e decifra um chunk; recusa qualquer coisa depois do final."};

PyObject* pull(PyObject* self, PyObject* chunk_arg, PyObject* ad_arg) {
    ByteInput chunk;
    if (!chunk.acquire(chunk_arg)) return nullptr;
    // A chunk that cannot be authentic is refused under the lock, after the
    // state checks, like any other chunk that does not open.
    const std::optional<std::size_t> size = ss::chunk_message_size(chunk.size());
    const std::size_t m = size.value_or(0);
    PyRef out;
    std::uint8_t* message = nullptr;
    ss::SplitChunk parts;
    if (size) {
        out = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(m)));
        if (!out) return nullptr;
        message = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
        const auto bytes = chunk.bytes();
        if (!bytes) return nullptr;
        parts = ss::split_chunk(*bytes, {message, m});
    }
    chunk.release();

    std::optional<ZeroizingBuffer> ad;
    if (!read_ad(ad_arg, ad)) return nullptr;

    auto* obj = as_pull(self);
    Result<std::uint8_t> opened =
        run_unlocked(obj->lock, [&](const ObjectGuard& guard) -> Result<std::uint8_t> {
        auto state = usable_state(guard, obj);
        if (!state) return state.error();
        if (!size) return ErrorKind::OpenFailed;
        auto tag = ss::open_split_chunk(*state, parts, span_of(ad), {message, m});
        if (tag && *tag == ss::TAG_FINAL) obj->finished = true;
        return tag;
    });
    if (!opened) return raise_error(opened.error());
    ct::declassify(message, m, "an opened chunk's message is the result");
    return PyTuple_Pack(2, out.get(), *opened == ss::TAG_FINAL ? Py_True : Py_False);
}

// --- types -------------------------------------------------------------------------

const ConstructorEntry PUSH_CONSTRUCTOR = constructor<PUSH_NEW, push_new>();

const MethodEntry PUSH_METHODS[] = {entry<PUSH, push, stack_wipe::depth::STREAM>()};

const PyGetSetDef PUSH_GETTERS[] = {
    getter<push_header>("header",
                        "🇺🇸 The 24-byte header the reader needs first. 🇧🇷 O header de 24 bytes "
                        "que o leitor precisa primeiro."),
    getter<is_finished<PushHandle>>(
        "is_finished",
        "🇺🇸 Whether the final chunk was already pushed. 🇧🇷 Se o chunk final já foi empurrado."),
};

const ConstructorEntry PULL_CONSTRUCTOR = constructor<PULL_NEW, pull_new>();

const MethodEntry PULL_METHODS[] = {entry<PULL, pull, stack_wipe::depth::STREAM>()};

const PyGetSetDef PULL_GETTERS[] = {
    getter<is_finished<PullHandle>>(
        "is_finished", "🇺🇸 Whether `TAG_FINAL` was already seen. 🇧🇷 Se `TAG_FINAL` já foi visto."),
};

PyTypeObject* g_push_type = nullptr;
PyTypeObject* g_pull_type = nullptr;

}  // namespace

PyTypeObject* secret_stream_push_type() {
    if (g_push_type == nullptr) {  // under the interpreter lock
        g_push_type = create_native_type<PushHandle>(
            class_with_constructor("velmora._secure.SecretStreamPush", PUSH_CONSTRUCTOR), {},
            type_members({PUSH_GETTERS, PUSH_METHODS}));
    }
    return g_push_type;
}

PyTypeObject* secret_stream_pull_type() {
    if (g_pull_type == nullptr) {
        g_pull_type = create_native_type<PullHandle>(
            class_with_constructor("velmora._secure.SecretStreamPull", PULL_CONSTRUCTOR), {},
            type_members({PULL_GETTERS, PULL_METHODS}));
    }
    return g_pull_type;
}

}  // namespace velmora
