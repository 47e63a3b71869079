// The symmetric operations of SecretBox: HKDF-SHA256 and HMAC-SHA512 keyed by
// the box, AES-256-GCM sealing and opening (of content, of other boxes, and of
// one base64url member of a sealed JSON object). The key is always read in place
// under the box's lock; secret results are born in new locked regions.
#include <cstring>
#include <optional>

#include "args_py.h"
#include "byte_input.h"
#include "crypto/aes_gcm.h"
#include "crypto/ct.h"
#include "crypto/hkdf_sha256.h"
#include "crypto/hmac_sha512.h"
#include "crypto/json_field.h"
#include "error/secure_error.h"
#include "pyref.h"
#include "secret_box/secret_box.h"

namespace velmora {

namespace {

namespace gcm = crypto::aes_gcm;
using Bytes = std::span<const std::uint8_t>;

// An optional bytes-like argument: absent and None both give an empty copy.
std::optional<ZeroizingBuffer> read_optional(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return ZeroizingBuffer();
    return read_byte_input(obj);
}

bool require_box(PyObject* obj, const char* name) {
    if (is_secret_box(obj)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not a 'SecretBox'", name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// A possibly large byte input (a plaintext, a sealed form), under the same rule
// as read_byte_input but without a private copy where none is needed: a
// C-contiguous buffer is read in place; any other layout is gathered now,
// before any lock is taken, into a self-wiping copy.
class LargeInput {
public:
    bool acquire(PyObject* obj) {
        if (!input_.acquire(obj)) return false;
        Py_buffer* view = input_.view();
        if (PyBuffer_IsContiguous(view, 'C')) {
            bytes_ = Bytes(static_cast<const std::uint8_t*>(view->buf), input_.size());
            return true;
        }
        gathered_ = ZeroizingBuffer(input_.size());
        if (PyBuffer_ToContiguous(gathered_.data(), view, view->len, 'C') != 0) return false;
        bytes_ = gathered_.span();
        return true;
    }
    Bytes bytes() const { return bytes_; }
    // True when nobody else can change the bytes while they are read: our own
    // gathered copy, or an exact `bytes` object.
    bool stable(PyObject* obj) const { return !gathered_.empty() || PyBytes_CheckExact(obj); }

private:
    ByteInput input_;
    ZeroizingBuffer gathered_;
    Bytes bytes_;
};

// A byte input that is short when used as intended (a nonce), under the same
// rule as read_byte_input: copied into this object, on the stack, instead of
// a heap buffer, whose allocation and wipe are a noticeable part of a 64-byte
// seal. A longer input (which the length check then refuses) is copied to
// the heap as usual.
class ShortInput {
public:
    ShortInput() = default;
    ShortInput(const ShortInput&) = delete;
    ShortInput& operator=(const ShortInput&) = delete;
    ~ShortInput() { secure_zero(inline_, sizeof inline_); }

    bool acquire(PyObject* obj) {
        ByteInput input;
        if (!input.acquire(obj)) return false;
        size_ = input.size();
        if (size_ > sizeof inline_) heap_ = ZeroizingBuffer(size_);
        return input.copy_to(size_ > sizeof inline_ ? heap_.data() : inline_, 0, size_);
    }
    Bytes bytes() const { return size_ > sizeof inline_ ? heap_.span() : Bytes(inline_, size_); }

private:
    std::uint8_t inline_[16] = {};
    std::size_t size_ = 0;
    ZeroizingBuffer heap_;
};

// A sink that puts the output straight into a new bytes object. Sealed forms and
// `aes_gcm_open` plaintexts are public results, so there is no private copy to
// wipe. If the interpreter cannot allocate, its MemoryError is left set and the
// operation is told to stop.
struct BytesSink {
    PyRef result;
    bool interpreter_error = false;

    Result<std::uint8_t*> operator()(std::size_t n) {
        result = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
        if (!result) {
            interpreter_error = true;
            return ErrorKind::AllocationFailed;  // not raised: the MemoryError set is
        }
        return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get()));
    }

    PyObject* finish(const Status& s) {
        if (interpreter_error) return nullptr;
        if (!s) return raise_error(s.error());
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(result.get()));
        ct::declassify(PyBytes_AS_STRING(result.get()), n, "a sealed form or an opened content is the result");
        return result.release();
    }
};

// hmac_sha512($self, message)
PyObject* box_hmac_sha512(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[1];
        if (!bind_args("hmac_sha512", args, nargs, kwnames, {"message"}, 1, arg)) return nullptr;
        auto message = read_byte_input(arg[0]);
        if (!message) return nullptr;
        std::uint8_t tag[crypto::kHmacSha512Bytes];
        Status s = with_secret(self, [&](Bytes key) -> Status {
            crypto::hmac_sha512(key, message->span(), tag);
            return {};
        });
        if (!s) return raise_error(s.error());
        ct::declassify(tag, sizeof tag, "a MAC tag is public");
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(tag), sizeof tag);
    });
}

// hkdf_sha256($self, *, info, length=32, salt=None)
PyObject* box_hkdf_sha256(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError,
                         "hkdf_sha256() takes 0 positional arguments but %zd %s given", nargs,
                         nargs == 1 ? "was" : "were");
            return nullptr;
        }
        PyObject* arg[3];
        if (!bind_args("hkdf_sha256", args, 0, kwnames, {"info", "length", "salt"}, 0, arg))
            return nullptr;
        if (arg[0] == nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "hkdf_sha256() missing 1 required keyword-only argument: 'info'");
            return nullptr;
        }
        std::uint64_t length = 32;
        if (arg[1] != nullptr && !arg_index_u64(arg[1], &length, "length")) return nullptr;
        auto info = read_byte_input(arg[0]);
        if (!info) return nullptr;
        auto salt = read_optional(arg[2]);
        if (!salt) return nullptr;
        if (length > crypto::kHkdfSha256MaxOutput)
            return raise_error(EnclaveError::wrong_length(
                "hkdf output length", crypto::kHkdfSha256MaxOutput, length));
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
    });
}

// aes_gcm_seal($self, nonce, plaintext, aad=None)
PyObject* box_aes_gcm_seal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        if (!bind_args("aes_gcm_seal", args, nargs, kwnames, {"nonce", "plaintext", "aad"}, 2, arg))
            return nullptr;
        ShortInput nonce;
        if (!nonce.acquire(arg[0])) return nullptr;
        // The plaintext, possibly large, is encrypted straight from the caller's
        // buffer into the result (no private copy of it exists to wipe), unless
        // its layout needs gathering first.
        LargeInput plaintext;
        if (!plaintext.acquire(arg[1])) return nullptr;
        auto aad = read_optional(arg[2]);
        if (!aad) return nullptr;
        BytesSink sink;
        Status s = with_secret(self, [&](Bytes key) {
            return gcm::seal_to(key, nonce.bytes(), aad->span(), plaintext.bytes(), sink);
        });
        return sink.finish(s);
    });
}

// aes_gcm_seal_secret($self, nonce, secret, aad=None)
PyObject* box_aes_gcm_seal_secret(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        if (!bind_args("aes_gcm_seal_secret", args, nargs, kwnames, {"nonce", "secret", "aad"}, 2,
                       arg))
            return nullptr;
        if (!require_box(arg[1], "secret")) return nullptr;
        auto nonce = read_byte_input(arg[0]);
        if (!nonce) return nullptr;
        auto aad = read_optional(arg[2]);
        if (!aad) return nullptr;
        // The wrapped box is copied out under its own lock first, so the two
        // locks are never held together (sealing a box under itself works).
        auto plaintext = copy_secret_out(arg[1]);
        if (!plaintext) return raise_error(plaintext.error());
        BytesSink sink;
        Status s = with_secret(self, [&](Bytes key) {
            return gcm::seal_to(key, nonce->span(), aad->span(), plaintext->span(), sink);
        });
        return sink.finish(s);
    });
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

// aes_gcm_open($self, nonce, ciphertext, aad=None)
PyObject* box_aes_gcm_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        if (!bind_args("aes_gcm_open", args, nargs, kwnames, {"nonce", "ciphertext", "aad"}, 2,
                       arg))
            return nullptr;
        ShortInput nonce;
        if (!nonce.acquire(arg[0])) return nullptr;
        // Content is decrypted in one pass straight into the result, which is
        // handed out only if the tag matches and is wiped before it is dropped
        // otherwise. The ciphertext must not change while it is read: a `bytes`
        // object or our own gathered copy cannot, and is read in place; any
        // other buffer (which another process could be writing) is copied into
        // the result first and decrypted there. (Secrets below are opened
        // tag-first into locked memory instead.)
        LargeInput sealed;
        if (!sealed.acquire(arg[1])) return nullptr;
        auto aad = read_optional(arg[2]);
        if (!aad) return nullptr;
        const bool stable = sealed.stable(arg[1]);
        BytesSink sink;
        Status s = with_secret(self, [&](Bytes key) -> Status {
            const Bytes in = sealed.bytes();
            if (Status c = gcm::check_open(key, nonce.bytes(), aad->size(), in.size()); !c)
                return c;
            const std::size_t ct_len = in.size() - gcm::kTagBytes;
            std::uint8_t tag[gcm::kTagBytes];
            std::memcpy(tag, in.data() + ct_len, gcm::kTagBytes);
            auto out = sink(ct_len);
            if (!out) return out.error();
            std::uint8_t* buf = *out;
            if (!stable && ct_len != 0) std::memcpy(buf, in.data(), ct_len);
            const Bytes ciphertext(stable ? in.data() : buf, ct_len);
            return gcm::open_one_pass(key, nonce.bytes(), aad->span(), ciphertext, tag,
                                      {buf, ct_len});
        });
        return sink.finish(s);
    });
}

// aes_gcm_open_secret($self, nonce, ciphertext, aad=None)
PyObject* box_aes_gcm_open_secret(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        if (!bind_args("aes_gcm_open_secret", args, nargs, kwnames,
                       {"nonce", "ciphertext", "aad"}, 2, arg))
            return nullptr;
        auto in = read_open_inputs(arg[0], arg[1], arg[2]);
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
    });
}

// aes_gcm_open_json_field($self, nonce, ciphertext, aad, field)
PyObject* box_aes_gcm_open_json_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded(stack_wipe::deep([&]() -> PyObject* {
        PyObject* arg[4];
        if (!bind_args("aes_gcm_open_json_field", args, nargs, kwnames,
                       {"nonce", "ciphertext", "aad", "field"}, 4, arg))
            return nullptr;
        if (!PyUnicode_Check(arg[3])) {
            PyErr_Format(PyExc_TypeError, "argument 'field': '%.200s' object is not a 'str'",
                         Py_TYPE(arg[3])->tp_name);
            return nullptr;
        }
        Py_ssize_t field_len = 0;
        const char* field = PyUnicode_AsUTF8AndSize(arg[3], &field_len);  // borrowed
        if (field == nullptr) return nullptr;
        auto in = read_open_inputs(arg[0], arg[1], arg[2]);
        if (!in) return nullptr;
        // The ciphertext copy is the opening buffer: the plaintext is decrypted
        // in place, once the tag has verified, and the tag's first byte, no
        // longer needed, becomes the in-place JSON parser's end mark. The JSON
        // text never exists anywhere else.
        ZeroizingBuffer& buffer = in->ciphertext;
        std::size_t text_len = 0;
        Status s = with_secret(self, [&](Bytes key) {
            return gcm::open_to(key, in->nonce.span(), in->aad.span(), buffer.span(),
                                [&](std::size_t n) -> Result<std::uint8_t*> {
                                    text_len = n;
                                    return buffer.data();
                                });
        });
        if (!s) return raise_error(s.error());
        buffer[text_len] = 0;
        auto decoded = crypto::json_field_base64url(
            buffer.span().first(text_len + 1),
            std::string_view(field, static_cast<std::size_t>(field_len)));
        if (!decoded) return raise_error(decoded.error());
        auto region = LockedRegion::from_slice(decoded->span());
        if (!region) return raise_error(region.error());
        return box_from_region(std::move(*region));
    }));
}

#define METHOD_DOC(sig, text) sig "\n--\n\n" text

const PyMethodDef kMethods[] = {
    {"hmac_sha512", as_cfunction(box_hmac_sha512), METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC("hmac_sha512($self, message)",
                "🇺🇸 HMAC-SHA512 tag of `message` under this key. 🇧🇷 Tag HMAC-SHA512 de `message` "
                "sob esta chave.")},
    {"hkdf_sha256", as_cfunction(box_hkdf_sha256), METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC("hkdf_sha256($self, *, info, length=32, salt=None)",
                "🇺🇸 HKDF-SHA256 with this box as IKM; the output is a new locked box.\n"
                "🇧🇷 HKDF-SHA256 com esta caixa como IKM; a saída é uma caixa travada nova.")},
    {"aes_gcm_seal", as_cfunction(box_aes_gcm_seal), METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC("aes_gcm_seal($self, nonce, plaintext, aad=None)",
                "🇺🇸 AES-256-GCM `ciphertext ‖ tag` of `plaintext` under this key. 🇧🇷 "
                "`ciphertext ‖ tag` AES-256-GCM de `plaintext` sob esta chave.")},
    {"aes_gcm_seal_secret", as_cfunction(box_aes_gcm_seal_secret), METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC("aes_gcm_seal_secret($self, nonce, secret, aad=None)",
                "🇺🇸 Like `aes_gcm_seal`, but the plaintext is another box (wrapping a key). 🇧🇷 "
                "Como `aes_gcm_seal`, mas o texto claro é outra caixa (embrulhar uma chave).")},
    {"aes_gcm_open", as_cfunction(box_aes_gcm_open), METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC("aes_gcm_open($self, nonce, ciphertext, aad=None)",
                "🇺🇸 Opens AES-256-GCM `ciphertext ‖ tag` to plain `bytes` (for content). 🇧🇷 Abre "
                "`ciphertext ‖ tag` AES-256-GCM em `bytes` (para conteúdo).")},
    {"aes_gcm_open_json_field", as_cfunction(box_aes_gcm_open_json_field),
     METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC(
         "aes_gcm_open_json_field($self, nonce, ciphertext, aad, field)",
         "🇺🇸 Opens `ciphertext`, parses the plaintext as a JSON object and moves one base64url "
         "field straight into a locked box.\n"
         "\n"
         "This is how `random_seed` is consumed: its plaintext is `{\"seed\": \"<b64url>\"}`.\n"
         "The JSON text and the encoded seed exist only in the module's own self-wiping native\n"
         "memory, never in the Python heap.\n"
         "\n"
         "🇧🇷 Abre `ciphertext`, interpreta o texto claro como objeto JSON e move um campo "
         "base64url direto para uma caixa travada.\n"
         "\n"
         "É assim que `random_seed` é consumido: seu texto claro é `{\"seed\": \"<b64url>\"}`.\n"
         "O texto JSON e a semente codificada existem só na memória nativa do próprio módulo,\n"
         "que se apaga sozinha, nunca no heap do Python.")},
    {"aes_gcm_open_secret", as_cfunction(box_aes_gcm_open_secret), METH_FASTCALL | METH_KEYWORDS,
     METHOD_DOC("aes_gcm_open_secret($self, nonce, ciphertext, aad=None)",
                "🇺🇸 Opens into a new locked box (for keys). 🇧🇷 Abre para uma caixa travada nova "
                "(para chaves).")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* secret_box_crypto_methods() { return kMethods; }

}  // namespace velmora
