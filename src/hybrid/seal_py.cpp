// seal_hybrid: seals content to a HybridKeyPair's two public keys.
#include "py/methods.h"
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
    {arg::bytes("x25519_public"), arg::bytes("mlkem768_public"), arg::bytes("plaintext"),
     arg::bytes("aad")},
    "🇺🇸 `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, "
    "ciphertext)`.\n"
    "🇧🇷 `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, "
    "ciphertext)`."};

using Bytes = std::span<const std::uint8_t>;

PyObject* seal_hybrid(PyObject*, Bytes x25519_public, Bytes mlkem768_public, Bytes plaintext,
                      Bytes aad) {
    auto sealed = own_stack::run([&] {
        return hybrid::seal(x25519_public, mlkem768_public, plaintext, aad, crypto::os_random);
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
