// The HybridKeyPair type: creation, the public and secret accessors, the three
// openings, wiping, representation and the refusal of pickling and copying.

#include <new>
#include <optional>
#include <utility>

#include "py/args.h"
#include "py/byte_input.h"
#include "crypto/ct.h"
#include "crypto/os_random.h"
#include "py/secure_error.h"
#include "hybrid/key_pair.h"
#include "hybrid/sealed_session.h"
#include "locked/own_stack.h"
#include "py/methods.h"
#include "py/module_defs.h"
#include "py/object_lock.h"
#include "py/pyref.h"
#include "secret_box/secret_box_py.h"

namespace velmora {

namespace {

constexpr const char* REPR = "HybridKeyPair(<x25519 + ml-kem-768, secrets redacted>)";

// The value inside a HybridKeyPair object (py/native_object.h).
struct KeyPairHandle {
    static constexpr const char* PY_NAME = "HybridKeyPair";
    static constexpr const char* NO_COPY =
        "HybridKeyPair cannot be pickled or copied \u00b7 HybridKeyPair n\u00e3o pode ser "
        "serializado nem copiado";
    static PyTypeObject* py_type() { return hybrid_key_pair_type(); }

    explicit KeyPairHandle(hybrid::HybridKeyPair&& id) : identity(std::move(id)) {}

    ObjectLock lock;
    hybrid::HybridKeyPair identity;
};

KeyPairHandle* as_pair(PyObject* o) { return native<KeyPairHandle>(o); }

PyTypeObject* g_type = nullptr;

PyObject* pair_from_identity(hybrid::HybridKeyPair&& identity) {
    hybrid::HybridKeyPair owned(std::move(identity));  // released here if no object takes it
    PyTypeObject* type = hybrid_key_pair_type();
    if (!type) return nullptr;
    return new_native<KeyPairHandle>(type, std::move(owned));
}

PyObject* bytes_of(std::span<const std::uint8_t> b) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                     static_cast<Py_ssize_t>(b.size()));
}

constexpr Method GENERATE{
    "generate", Receiver::Static, NoParams{},
    "🇺🇸 A fresh identity from the OS CSPRNG. 🇧🇷 Uma identidade nova do CSPRNG do SO."};

PyObject* pair_generate(PyObject*) {
    auto identity =
        own_stack::run([] { return hybrid::HybridKeyPair::generate(crypto::os_random); });
    if (!identity) return raise_error(identity.error());
    return pair_from_identity(std::move(*identity));
}

constexpr Method FROM_SECRETS{
    "from_secrets",
    Receiver::Static,
    {{"x25519_secret"}, {"mlkem768_secret"}},
    "🇺🇸 Rebuilds an identity from its two secrets (an OpenBao restore); publics are recomputed, "
    "never trusted from storage.\n"
    "🇧🇷 Reconstrói uma identidade das duas secretas (restore do OpenBao); as públicas são "
    "recalculadas, nunca confiadas do armazenamento."};

PyObject* pair_from_secrets(PyObject*, PyObject* x25519_secret, PyObject* mlkem768_secret) {
    if (!require<SecretBox>(x25519_secret, "from_secrets", "x25519_secret") ||
        !require<SecretBox>(mlkem768_secret, "from_secrets", "mlkem768_secret"))
        return nullptr;
    // One box lock at a time; the copies wipe themselves on every path.
    auto xs = copy_secret_out(x25519_secret);
    if (!xs) return raise_error(xs.error());
    auto ds = copy_secret_out(mlkem768_secret);
    if (!ds) return raise_error(ds.error());
    auto identity = own_stack::run(
        [&] { return hybrid::HybridKeyPair::from_secret_parts(xs->span(), ds->span()); });
    if (!identity) return raise_error(identity.error());
    return pair_from_identity(std::move(*identity));
}

// The identity's public values, under its lock (no access check: they stay
// readable after wipe() and in a fork child).
template <class F>
PyObject* with_public(PyObject* self, F&& f) {
    const ObjectGuard guard(as_pair(self)->lock);
    return f(as_pair(self)->identity);
}

PyObject* pair_x25519_public(PyObject* self) {
    return with_public(
        self, [](const hybrid::HybridKeyPair& id) { return bytes_of(id.x25519_public()); });
}

PyObject* pair_mlkem768_public(PyObject* self) {
    return with_public(
        self, [](const hybrid::HybridKeyPair& id) { return bytes_of(id.mlkem768_public()); });
}

PyObject* pair_is_wiped(PyObject* self) {
    return with_public(
        self, [](const hybrid::HybridKeyPair& id) { return PyBool_FromLong(id.is_wiped()); });
}

template <class Export>
PyObject* export_secret(PyObject* self, Export&& exp) {
    std::optional<LockedRegion> region;
    {
        const ObjectGuard guard(as_pair(self)->lock);
        const hybrid::HybridKeyPair& identity = as_pair(self)->identity;
        if (Status s = guard.secret_access(identity); !s) return raise_error(s.error());
        auto made = own_stack::run([&] { return exp(identity); });
        if (!made) return raise_error(made.error());
        region.emplace(std::move(*made));
    }
    return box_from_region(std::move(*region));
}

constexpr Method X25519_SECRET{
    "x25519_secret", Receiver::Instance, NoParams{},
    "🇺🇸 A locked copy of the X25519 secret, for persisting. 🇧🇷 Uma cópia travada da secreta "
    "X25519, para persistir."};

PyObject* pair_x25519_secret(PyObject* self) {
    return export_secret(self,
                         [](const hybrid::HybridKeyPair& id) { return id.export_x25519_secret(); });
}

constexpr Method MLKEM768_SECRET{
    "mlkem768_secret", Receiver::Instance, NoParams{},
    "🇺🇸 A locked copy of the expanded ML-KEM-768 secret, for persisting. 🇧🇷 Uma cópia travada "
    "da secreta ML-KEM-768 expandida, para persistir."};

PyObject* pair_mlkem768_secret(PyObject* self) {
    return export_secret(
        self, [](const hybrid::HybridKeyPair& id) { return id.export_mlkem768_secret(); });
}

constexpr Method WIPE{"wipe", Receiver::Instance, NoParams{},
                      "🇺🇸 Zeroes both secrets now. 🇧🇷 Zera as duas secretas agora."};

// No access check: wiping a wiped identity, or one in a fork child, does nothing more.
PyObject* pair_wipe(PyObject* self) {
    const ObjectGuard guard(as_pair(self)->lock);
    as_pair(self)->identity.wipe();
    Py_RETURN_NONE;
}

// The three openings take the same parameters.
constexpr Param OPEN_PARAMS[] = {{"encapsulation"}, {"nonce"}, {"ciphertext"}, {"aad"}};

constexpr Method OPEN{
    "open", Receiver::Instance, OPEN_PARAMS,
    "🇺🇸 Opens a seal to plain `bytes` (JSON, content). 🇧🇷 Abre um selo para `bytes` (JSON, "
    "conteúdo)."};
constexpr Method OPEN_SECRET{
    "open_secret", Receiver::Instance, OPEN_PARAMS,
    "🇺🇸 Opens a seal straight into a locked box (a group DEK). 🇧🇷 Abre um selo direto numa "
    "caixa travada (uma DEK de grupo)."};
constexpr Method OPEN_SESSION{
    "open_session", Receiver::Instance, OPEN_PARAMS,
    "🇺🇸 Opens a sealed session (`docs/PROTOCOL.md §5`) as `(session_id, expires_at, sign_key, "
    "enc_key)` with both keys locked.\n"
    "🇧🇷 Abre uma sessão selada (`docs/PROTOCOL.md §5`) como `(session_id, expires_at, "
    "sign_key, enc_key)` com as duas chaves travadas."};

// The common opening: the four byte inputs in order, then the identity's lock,
// the encapsulation's length, the access checks, and the key agreements, the
// derivation and the AES-GCM opening. Null with the error set on failure.
std::optional<ZeroizingBuffer> open_sealed(PyObject* self, PyObject* encapsulation_arg,
                                           PyObject* nonce_arg, PyObject* ciphertext_arg,
                                           PyObject* aad_arg) {
    auto encapsulation = read_byte_input(encapsulation_arg);
    if (!encapsulation) return std::nullopt;
    auto nonce = read_byte_input(nonce_arg);
    if (!nonce) return std::nullopt;
    auto ciphertext = read_byte_input(ciphertext_arg);
    if (!ciphertext) return std::nullopt;
    auto aad = read_byte_input(aad_arg);
    if (!aad) return std::nullopt;

    const ObjectGuard guard(as_pair(self)->lock);
    const hybrid::HybridKeyPair& identity = as_pair(self)->identity;
    Status usable = hybrid::check_encapsulation(encapsulation->span());
    if (usable) usable = guard.secret_access(identity);
    if (!usable) {
        raise_error(usable.error());
        return std::nullopt;
    }
    auto plaintext = own_stack::run([&] {
        return identity.open(encapsulation->span(), nonce->span(), ciphertext->span(), aad->span());
    });
    if (!plaintext) {
        raise_error(plaintext.error());
        return std::nullopt;
    }
    return std::move(*plaintext);
}

PyObject* pair_open(PyObject* self, PyObject* encapsulation, PyObject* nonce, PyObject* ciphertext,
                    PyObject* aad) {
    auto plaintext = open_sealed(self, encapsulation, nonce, ciphertext, aad);
    if (!plaintext) return nullptr;
    ct::declassify(plaintext->data(), plaintext->size(), "open returns the plaintext");
    return bytes_of(plaintext->span());
}

PyObject* pair_open_secret(PyObject* self, PyObject* encapsulation, PyObject* nonce,
                           PyObject* ciphertext, PyObject* aad) {
    std::optional<LockedRegion> region;
    {
        auto plaintext = open_sealed(self, encapsulation, nonce, ciphertext, aad);
        if (!plaintext) return nullptr;
        auto made = own_stack::run([&] { return LockedRegion::from_slice(plaintext->span()); });
        if (!made) return raise_error(made.error());
        region.emplace(std::move(*made));
    }  // the plaintext is wiped here, whether or not the region was made
    return box_from_region(std::move(*region));
}

PyObject* pair_open_session(PyObject* self, PyObject* encapsulation, PyObject* nonce,
                            PyObject* ciphertext, PyObject* aad) {
    std::optional<hybrid::OpenedSession> session;
    {
        auto plaintext = open_sealed(self, encapsulation, nonce, ciphertext, aad);
        if (!plaintext) return nullptr;
        auto opened =
            own_stack::run([&] { return hybrid::open_session_record(plaintext->span()); });
        if (!opened) return raise_error(opened.error());
        session.emplace(std::move(*opened));
    }  // the JSON text is wiped here, before any interpreter object exists
    PyRef session_id(PyUnicode_DecodeUTF8(
        session->session_id.data(), static_cast<Py_ssize_t>(session->session_id.size()), "strict"));
    if (!session_id) return nullptr;
    PyRef expires_at(PyLong_FromLongLong(session->expires_at));
    if (!expires_at) return nullptr;
    PyRef sign_key(box_from_region(std::move(session->sign_key)));
    if (!sign_key) return nullptr;  // enc_key is released with `session`
    PyRef enc_key(box_from_region(std::move(session->enc_key)));
    if (!enc_key) return nullptr;
    return PyTuple_Pack(4, session_id.get(), expires_at.get(), sign_key.get(), enc_key.get());
}

PyObject* pair_repr(PyObject*) { return PyUnicode_FromString(REPR); }

const MethodEntry CREATORS[] = {
    entry<GENERATE, pair_generate, stack_wipe::depth::HYBRID_GENERATE>(),
    entry<FROM_SECRETS, pair_from_secrets, stack_wipe::depth::HYBRID_FROM_SECRETS>(),
};

const PyGetSetDef PUBLIC_KEYS[] = {
    getter<pair_x25519_public>(
        "x25519_public", "🇺🇸 32-byte X25519 public key. 🇧🇷 Chave pública X25519 de 32 bytes."),
    getter<pair_mlkem768_public>("mlkem768_public",
                                 "🇺🇸 1184-byte ML-KEM-768 encapsulation key. 🇧🇷 Chave de "
                                 "encapsulamento ML-KEM-768 de 1184 bytes."),
};

const MethodEntry METHODS[] = {
    entry<X25519_SECRET, pair_x25519_secret>(),
    entry<MLKEM768_SECRET, pair_mlkem768_secret>(),
    entry<OPEN, pair_open, stack_wipe::depth::HYBRID_OPEN>(),
    entry<OPEN_SECRET, pair_open_secret, stack_wipe::depth::HYBRID_OPEN>(),
    entry<OPEN_SESSION, pair_open_session, stack_wipe::depth::HYBRID_OPEN>(),
    entry<WIPE, pair_wipe>(),
};

const PyGetSetDef STATE[] = {
    getter<pair_is_wiped>("is_wiped", "🇺🇸 Whether `wipe()` already ran. 🇧🇷 Se `wipe()` já rodou."),
};

PyTypeObject* create_type() {
    TypeMembers& members =
        type_members({CREATORS, PUBLIC_KEYS, METHODS, STATE, COPY_REFUSALS<KeyPairHandle>});
    return create_native_type<KeyPairHandle>(
        class_without_constructor(
            "velmora._secure.HybridKeyPair",
            "🇺🇸 An SDK identity: one X25519 pair plus one ML-KEM-768 pair, private halves in "
            "locked memory.\n🇧🇷 Uma identidade de SDK: um par X25519 mais um par ML-KEM-768, "
            "metades privadas em memória travada."),
        {{Py_tp_repr, reinterpret_cast<void*>(pair_repr)}}, members);
}

}  // namespace

PyTypeObject* hybrid_key_pair_type() {
    if (!g_type) g_type = create_type();  // under the interpreter lock
    return g_type;
}

}  // namespace velmora
