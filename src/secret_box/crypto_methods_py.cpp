// The symmetric operations of SecretBox: HKDF-SHA256 and HMAC-SHA512 keyed by
// the box, AES-256-GCM sealing and opening (of content, of other boxes, and of
// one base64url member of a sealed JSON object). The key is always read in place
// under the box's lock; secret results are born in new locked regions.
#include <optional>

#include "contract.h"
#include "py/args.h"
#include "py/type_name.h"
#include "py/methods.h"
#include "py/byte_input.h"
#include "crypto/aes_gcm.h"
#include "crypto/ct.h"
#include "crypto/hkdf_sha256.h"
#include "crypto/hmac_sha512.h"
#include "py/secure_error.h"
#include "py/pyref.h"
#include "secret_box/sealed_open.h"
#include "secret_box/secret_box_py.h"

namespace velmora {

namespace {

namespace gcm = crypto::aes_gcm;
using Bytes = std::span<const std::uint8_t>;

// An optional bytes-like argument: absent and None both give an empty copy.
std::optional<ZeroizingBuffer> read_optional(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return ZeroizingBuffer();
    return read_byte_input(obj);
}

// A sink that puts the output straight into a new bytes object. Sealed forms and
// `aes_gcm_open` plaintexts are public results, so there is no private copy to
// wipe. If the interpreter cannot allocate, its MemoryError is left set and the
// operation is told to stop.
struct BytesSink {
    PyRef result;
    std::uint8_t* buffer = nullptr;
    std::size_t size = 0;
    bool interpreter_error = false;

    // Up to this size the object is made before the work starts, when the
    // public lengths tell its size: the work then need not go back to the
    // thread's stack for it (some 30 ns, most of a small call's switching
    // cost). A larger one is made when the work asks, so that a refused call
    // never allocates a large object.
    static constexpr std::size_t MADE_AHEAD = 64 * 1024;

    // Makes the result object now for an output of `n` bytes, if small enough;
    // false with MemoryError set if the interpreter cannot allocate.
    bool make_ahead(std::size_t n) {
        if (n > MADE_AHEAD) return true;
        return make(n);
    }

    bool make(std::size_t n) {
        result = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
        if (!result) {
            interpreter_error = true;
            return false;
        }
        buffer = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(result.get()));
        size = n;
        return true;
    }

    // Called from the work on the own stack: an object not made ahead is made
    // on the thread's stack.
    Result<std::uint8_t*> operator()(std::size_t n) {
        if (!result) {
            const bool made = own_stack::on_thread_stack([&] { return make(n); });
            if (!made) return ErrorKind::AllocationFailed;  // not raised: the MemoryError set is
        }
        VELMORA_EXPECT(n == size, "an output of the size its public lengths give");
        return buffer;
    }

    PyObject* finish(const Status& s) {
        if (interpreter_error) return nullptr;
        if (!s) return raise_error(s.error());
        ct::declassify(buffer, size, "a sealed form or an opened content is the result");
        return result.release();
    }
};

constexpr Method HMAC_SHA512{
    "hmac_sha512",
    Receiver::Instance,
    {{"message"}},
    "🇺🇸 HMAC-SHA512 tag of `message` under this key. 🇧🇷 Tag HMAC-SHA512 de `message` sob esta "
    "chave."};

PyObject* box_hmac_sha512(PyObject* self, PyObject* message_arg) {
    auto message = read_byte_input(message_arg);
    if (!message) return nullptr;
    std::uint8_t tag[crypto::HMAC_SHA512_BYTES];
    Status s = with_secret(self, [&](Bytes key) -> Status {
        crypto::hmac_sha512(key, message->span(), tag);
        return {};
    });
    if (!s) return raise_error(s.error());
    ct::declassify(tag, sizeof tag, "a MAC tag is public");
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(tag), sizeof tag);
}

constexpr Method HKDF_SHA256{
    "hkdf_sha256",
    Receiver::Instance,
    {keyword_only("info"), keyword_only("length", "32"), keyword_only("salt", "None")},
    "🇺🇸 HKDF-SHA256 with this box as IKM; the output is a new locked box.\n"
    "🇧🇷 HKDF-SHA256 com esta caixa como IKM; a saída é uma caixa travada nova."};

PyObject* box_hkdf_sha256(PyObject* self, PyObject* info_arg, PyObject* length_arg,
                          PyObject* salt_arg) {
    std::uint64_t length = 32;
    if (length_arg != nullptr && !arg_u64(length_arg, &length, "length")) return nullptr;
    auto info = read_byte_input(info_arg);
    if (!info) return nullptr;
    auto salt = read_optional(salt_arg);
    if (!salt) return nullptr;
    if (length > crypto::HKDF_SHA256_MAX_OUTPUT)
        return raise_error(EnclaveError::wrong_length("hkdf output length",
                                                      crypto::HKDF_SHA256_MAX_OUTPUT, length));
    // The output region exists before the key is read: the derived bytes are
    // written straight into it, and it is released if anything fails.
    auto region = LockedRegion::allocate(length);
    if (!region) return raise_error(region.error());
    Status s = region->view_mut([&](std::span<std::uint8_t> okm) {
        return with_secret(self, [&](Bytes ikm) {
            return crypto::hkdf_sha256(ikm, salt->span(), info->span(), okm);
        });
    });
    if (!s) return raise_error(s.error());
    return box_from_region(std::move(*region));
}

constexpr Method AES_GCM_SEAL{
    "aes_gcm_seal",
    Receiver::Instance,
    {{"nonce"}, {"plaintext"}, {"aad", "None"}},
    "🇺🇸 AES-256-GCM `ciphertext ‖ tag` of `plaintext` under this key. 🇧🇷 `ciphertext ‖ tag` "
    "AES-256-GCM de `plaintext` sob esta chave."};

PyObject* box_aes_gcm_seal(PyObject* self, PyObject* nonce_arg, PyObject* plaintext_arg,
                           PyObject* aad_arg) {
    ShortInput nonce;
    if (!nonce.acquire(nonce_arg)) return nullptr;
    // The plaintext, possibly large, is encrypted straight from the caller's
    // buffer into the result (no private copy of it exists to wipe), unless
    // its layout needs gathering first.
    ByteInput input;
    if (!input.acquire(plaintext_arg)) return nullptr;
    const auto plaintext = input.bytes();
    if (!plaintext) return nullptr;
    auto aad = read_optional(aad_arg);
    if (!aad) return nullptr;
    BytesSink sink;
    if (!sink.make_ahead(plaintext->size() + gcm::TAG_BYTES)) return nullptr;
    Status s = with_secret(self, [&](Bytes key) {
        return gcm::seal_to(key, nonce.span(), aad->span(), *plaintext, sink);
    });
    return sink.finish(s);
}

constexpr Method AES_GCM_SEAL_SECRET{
    "aes_gcm_seal_secret",
    Receiver::Instance,
    {{"nonce"}, {"secret"}, {"aad", "None"}},
    "🇺🇸 Like `aes_gcm_seal`, but the plaintext is another box (wrapping a key). 🇧🇷 Como "
    "`aes_gcm_seal`, mas o texto claro é outra caixa (embrulhar uma chave)."};

PyObject* box_aes_gcm_seal_secret(PyObject* self, PyObject* nonce_arg, PyObject* secret_arg,
                                  PyObject* aad_arg) {
    if (!require<SecretBox>(secret_arg, "aes_gcm_seal_secret", "secret")) return nullptr;
    auto nonce = read_byte_input(nonce_arg);
    if (!nonce) return nullptr;
    auto aad = read_optional(aad_arg);
    if (!aad) return nullptr;
    // The wrapped box is copied out under its own lock first, so the two
    // locks are never held together (sealing a box under itself works).
    auto plaintext = copy_secret_out(secret_arg);
    if (!plaintext) return raise_error(plaintext.error());
    BytesSink sink;
    if (!sink.make_ahead(plaintext->size() + gcm::TAG_BYTES)) return nullptr;
    Status s = with_secret(self, [&](Bytes key) {
        return gcm::seal_to(key, nonce->span(), aad->span(), plaintext->span(), sink);
    });
    return sink.finish(s);
}

// The byte inputs every opening method takes, copied in parameter order.
struct OpenInputs {
    ZeroizingBuffer nonce, ciphertext, aad;
};

std::optional<OpenInputs> read_open_inputs(PyObject* nonce, PyObject* ciphertext, PyObject* aad) {
    OpenInputs in;
    auto n = read_byte_input(nonce);
    if (!n) return std::nullopt;
    in.nonce = std::move(*n);
    auto c = read_byte_input(ciphertext);
    if (!c) return std::nullopt;
    in.ciphertext = std::move(*c);
    auto a = read_optional(aad);
    if (!a) return std::nullopt;
    in.aad = std::move(*a);
    return in;
}

constexpr Method AES_GCM_OPEN{
    "aes_gcm_open",
    Receiver::Instance,
    {{"nonce"}, {"ciphertext"}, {"aad", "None"}},
    "🇺🇸 Opens AES-256-GCM `ciphertext ‖ tag` to plain `bytes` (for content). 🇧🇷 Abre "
    "`ciphertext ‖ tag` AES-256-GCM em `bytes` (para conteúdo)."};

PyObject* box_aes_gcm_open(PyObject* self, PyObject* nonce_arg, PyObject* ciphertext_arg,
                           PyObject* aad_arg) {
    ShortInput nonce;
    if (!nonce.acquire(nonce_arg)) return nullptr;
    // Content is decrypted straight into the result, which is handed out
    // only if the tag matches (box::open_sealed). (Secrets below are opened
    // tag-first into locked memory instead.)
    ByteInput input;
    if (!input.acquire(ciphertext_arg)) return nullptr;
    const auto sealed = input.bytes();
    if (!sealed) return nullptr;
    auto aad = read_optional(aad_arg);
    if (!aad) return nullptr;
    const auto stability =
        input.stable(ciphertext_arg) ? box::SealedInput::Stable : box::SealedInput::Shared;
    BytesSink sink;
    if (sealed->size() >= gcm::TAG_BYTES && !sink.make_ahead(sealed->size() - gcm::TAG_BYTES))
        return nullptr;
    Status s = with_secret(self, [&](Bytes key) {
        return box::open_sealed(key, nonce.span(), aad->span(), *sealed, stability, sink);
    });
    return sink.finish(s);
}

constexpr Method AES_GCM_OPEN_SECRET{
    "aes_gcm_open_secret",
    Receiver::Instance,
    {{"nonce"}, {"ciphertext"}, {"aad", "None"}},
    "🇺🇸 Opens into a new locked box (for keys). 🇧🇷 Abre para uma caixa travada nova (para "
    "chaves)."};

PyObject* box_aes_gcm_open_secret(PyObject* self, PyObject* nonce_arg, PyObject* ciphertext_arg,
                                  PyObject* aad_arg) {
    auto in = read_open_inputs(nonce_arg, ciphertext_arg, aad_arg);
    if (!in) return nullptr;
    // Once the tag has verified, the new region is created (an empty
    // plaintext is refused there) and the plaintext is decrypted into it:
    // it never sits in ordinary memory.
    std::optional<LockedRegion> region;
    Status s = with_secret(self, [&](Bytes key) {
        return gcm::open_to(key, in->nonce.span(), in->aad.span(), in->ciphertext.span(),
                            [&](std::size_t n) -> Result<std::uint8_t*> {
            auto made = LockedRegion::allocate(n);
            if (!made) return made.error();
            region.emplace(std::move(*made));
            auto bytes = region->bytes_mut();
            if (!bytes) return bytes.error();
            return bytes->data();
        });
    });
    if (!s) return raise_error(s.error());  // a region made so far is released here
    return box_from_region(std::move(*region));
}

constexpr Method AES_GCM_OPEN_JSON_FIELD{
    "aes_gcm_open_json_field",
    Receiver::Instance,
    {{"nonce"}, {"ciphertext"}, {"aad"}, {"field"}},
    "🇺🇸 Opens `ciphertext`, parses the plaintext as a JSON object and moves one base64url field "
    "straight into a locked box.\n"
    "\n"
    "This is how `random_seed` is consumed: its plaintext is `{\"seed\": \"<b64url>\"}`.\n"
    "The JSON text and the encoded seed exist only in the module's own self-wiping native\n"
    "memory, never in the Python heap.\n"
    "\n"
    "🇧🇷 Abre `ciphertext`, interpreta o texto claro como objeto JSON e move um campo base64url "
    "direto para uma caixa travada.\n"
    "\n"
    "É assim que `random_seed` é consumido: seu texto claro é `{\"seed\": \"<b64url>\"}`.\n"
    "O texto JSON e a semente codificada existem só na memória nativa do próprio módulo,\n"
    "que se apaga sozinha, nunca no heap do Python."};

PyObject* box_aes_gcm_open_json_field(PyObject* self, PyObject* nonce_arg, PyObject* ciphertext_arg,
                                      PyObject* aad_arg, PyObject* field_arg) {
    if (!PyUnicode_Check(field_arg)) {
        const TypeName type(field_arg);
        if (type.c_str())
            PyErr_Format(PyExc_TypeError, "argument 'field': '%.200s' object is not a 'str'",
                         type.c_str());
        return nullptr;
    }
    Py_ssize_t field_len = 0;
    const char* field = PyUnicode_AsUTF8AndSize(field_arg, &field_len);  // borrowed
    if (field == nullptr) return nullptr;
    auto in = read_open_inputs(nonce_arg, ciphertext_arg, aad_arg);
    if (!in) return nullptr;
    // The ciphertext copy is the opening buffer (box::open_json_field).
    auto region = with_secret(self, [&](Bytes key) {
        return box::open_json_field(key, in->nonce.span(), in->aad.span(), in->ciphertext.span(),
                                    std::string_view(field, static_cast<std::size_t>(field_len)));
    });
    if (!region) return raise_error(region.error());
    return box_from_region(std::move(*region));
}

const MethodEntry METHODS[] = {
    entry<HMAC_SHA512, box_hmac_sha512, stack_wipe::depth::HMAC>(),
    entry<HKDF_SHA256, box_hkdf_sha256>(),
    entry<AES_GCM_SEAL, box_aes_gcm_seal>(),
    entry<AES_GCM_SEAL_SECRET, box_aes_gcm_seal_secret>(),
    entry<AES_GCM_OPEN, box_aes_gcm_open>(),
    entry<AES_GCM_OPEN_JSON_FIELD, box_aes_gcm_open_json_field, stack_wipe::depth::JSON_FIELD>(),
    entry<AES_GCM_OPEN_SECRET, box_aes_gcm_open_secret, stack_wipe::depth::AES_GCM_OPEN_SECRET>(),
};

}  // namespace

std::span<const MethodEntry> secret_box_crypto_methods() { return METHODS; }

}  // namespace velmora
