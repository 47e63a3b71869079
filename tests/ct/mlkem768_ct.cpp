// Constant-time check of ML-KEM-768 under valgrind's memcheck.
//
// The secrets (d, z, m, and the secret parts of dk: s^ and z) are marked
// undefined. memcheck then reports every conditional jump and every memory
// address computed from them, and --error-exitcode turns a report into a
// failure. Only values that are public by design are marked defined again:
// the encapsulation key and the ciphertext (outputs sent to the peer), and the
// ek and H(ek) parts of dk. Inside key generation the library itself
// declassifies rho, which is published in ek (built with VELMORA_VALGRIND_CT).
//
// The path is the process's own choice, forced with VELMORA_MLKEM_IMPL; the
// program fails when the path asked for is not the one running, so a check
// of one path never passes on another; on a CPU (or under a valgrind) without
// AVX2 the check of that path is skipped, saying so.
//
//   mlkem768_ct          keygen, encaps, decaps of a valid and of a tampered
//                        ciphertext, the key checks; must produce no report
//   mlkem768_ct leak     the same, then branches on the decapsulated key on
//                        purpose: must be reported, which shows that the taint
//                        reaches the end of the computation
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/mlkem768.h"
#include "crypto/mlkem768/impl.h"

namespace mlkem = velmora::crypto::mlkem768;

int main(int argc, char** argv) {
    const bool leak = argc > 1 && std::strcmp(argv[1], "leak") == 0;
    if (!RUNNING_ON_VALGRIND) std::fprintf(stderr, "note: not running under valgrind, nothing is checked\n");
    const char* want = std::getenv("VELMORA_MLKEM_IMPL");
    const char* running = mlkem::impl_name(mlkem::active_impl());
    if (want != nullptr && *want != '\0' && std::strcmp(want, running) != 0) {
        for (mlkem::Impl impl : mlkem::ALL_IMPLS) {
            if (std::strcmp(want, mlkem::impl_name(impl)) == 0 && !mlkem::impl_available(impl)) {
                std::printf("skipped: this CPU cannot run the %s path\n", want);
                return 77;
            }
        }
        std::fprintf(stderr, "asked for the %s path, running %s\n", want, running);
        return 3;
    }
    std::fprintf(stderr, "checking the %s path\n", running);

    std::uint8_t d[32], z[32], m[32];
    for (int i = 0; i < 32; ++i) {
        d[i] = static_cast<std::uint8_t>(i * 13 + 1);
        z[i] = static_cast<std::uint8_t>(i * 7 + 5);
        m[i] = static_cast<std::uint8_t>(i * 29 + 3);
    }
    static std::uint8_t ek[mlkem::PUBLIC_KEY_BYTES], dk[mlkem::SECRET_KEY_BYTES], ct[mlkem::CIPHERTEXT_BYTES];
    std::uint8_t k_enc[32], k_dec[32], k_rej[32];

    VALGRIND_MAKE_MEM_UNDEFINED(d, sizeof d);
    VALGRIND_MAKE_MEM_UNDEFINED(z, sizeof z);
    mlkem::keygen_internal(d, z, ek, dk);

    VALGRIND_MAKE_MEM_DEFINED(ek, sizeof ek);
    VALGRIND_MAKE_MEM_DEFINED(dk + mlkem::DK_EK_OFFSET, mlkem::PUBLIC_KEY_BYTES + 32);  // ek, H(ek)
    VALGRIND_MAKE_MEM_UNDEFINED(dk + mlkem::DK_PKE_OFFSET, mlkem::DK_EK_OFFSET);         // s^
    VALGRIND_MAKE_MEM_UNDEFINED(dk + mlkem::DK_Z_OFFSET, 32);                            // z
    const bool ek_ok = mlkem::check_encapsulation_key(ek);
    const bool dk_ok = mlkem::check_decapsulation_key(dk);

    VALGRIND_MAKE_MEM_UNDEFINED(m, sizeof m);
    mlkem::encaps_internal(ek, m, k_enc, ct);
    VALGRIND_MAKE_MEM_DEFINED(ct, sizeof ct);

    mlkem::decaps_internal(dk, ct, k_dec);  // re-encrypts to ct: K'
    ct[700] ^= 0x10;
    mlkem::decaps_internal(dk, ct, k_rej);  // does not: K-bar

    // The same two with the public matrix sampled beforehand, as an identity does.
    std::uint8_t k_dec2[32], k_rej2[32];
    const auto matrix = mlkem::expand_matrix(ek);
    mlkem::decaps_internal(dk, ct, *matrix, k_rej2);
    ct[700] ^= 0x10;
    mlkem::decaps_internal(dk, ct, *matrix, k_dec2);

    if (leak && (k_dec[0] & 1)) std::puts("secret-dependent branch taken");
    if (leak && !(k_dec[0] & 1)) std::puts("secret-dependent branch not taken");

    // The outcome itself, checked with everything declassified.
    VALGRIND_MAKE_MEM_DEFINED(k_enc, 32);
    VALGRIND_MAKE_MEM_DEFINED(k_dec, 32);
    VALGRIND_MAKE_MEM_DEFINED(k_rej, 32);
    VALGRIND_MAKE_MEM_DEFINED(k_dec2, 32);
    VALGRIND_MAKE_MEM_DEFINED(k_rej2, 32);
    const bool ok = ek_ok && dk_ok && std::memcmp(k_enc, k_dec, 32) == 0 && std::memcmp(k_enc, k_rej, 32) != 0 &&
                    std::memcmp(k_dec, k_dec2, 32) == 0 && std::memcmp(k_rej, k_rej2, 32) == 0;
    if (!ok) std::fprintf(stderr, "wrong result: keys do not match as expected\n");
    return ok ? 0 : 2;
}
