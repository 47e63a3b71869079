// seal_hybrid: seals content to a HybridKeyPair's two public keys.
#include "py/args.h"
#include "py/methods.h"
#include "py/byte_input.h"
#include "crypto/os_random.h"
#include "py/secure_error.h"
#include "hybrid/key_pair.h"
#include "locked/own_stack.h"
#include "py/module_defs.h"
#include "py/pyref.h"

namespace velmora {

namespace {

constexpr Method SEAL_HYBRID{
    "seal_hybrid",
    Receiver::Module,
    {{"x25519_public"}, {"mlkem768_public"}, {"plaintext"}, {"aad"}},
    "🇺🇸 `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, "
    "ciphertext)`.\n"
    "🇧🇷 `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, "
    "ciphertext)`."};

PyObject* seal_hybrid(PyObject*, PyObject* x25519_public_arg, PyObject* mlkem768_public_arg,
                      PyObject* plaintext_arg, PyObject* aad_arg) {
    auto x25519_public = read_byte_input(x25519_public_arg);
    if (!x25519_public) return nullptr;
    auto mlkem768_public = read_byte_input(mlkem768_public_arg);
    if (!mlkem768_public) return nullptr;
    auto plaintext = read_byte_input(plaintext_arg);
    if (!plaintext) return nullptr;
    auto aad = read_byte_input(aad_arg);
    if (!aad) return nullptr;

    auto sealed = own_stack::run([&] {
        return hybrid::seal(x25519_public->span(), mlkem768_public->span(), plaintext->span(),
                            aad->span(), crypto::os_random);
    });
    if (!sealed) return raise_error(sealed.error());
    return Py_BuildValue("(y#y#y#)", sealed->encapsulation.data(),
                         static_cast<Py_ssize_t>(sealed->encapsulation.size()),
                         sealed->nonce.data(), static_cast<Py_ssize_t>(sealed->nonce.size()),
                         sealed->ciphertext.data(),
                         static_cast<Py_ssize_t>(sealed->ciphertext.size()));
}

}  // namespace

const MethodEntry SEAL_HYBRID_ENTRY =
    entry<SEAL_HYBRID, seal_hybrid, stack_wipe::depth::HYBRID_SEAL>();

}  // namespace velmora
