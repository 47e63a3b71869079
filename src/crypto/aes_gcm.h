// AES-256-GCM (NIST SP 800-38D) with a 96-bit nonce and a 128-bit tag; sealed
// form is ciphertext ‖ tag. Three engines: on x86-64 Intel ipsec-mb where the
// processor has AES-NI and PCLMULQDQ, on aarch64 OpenSSL's own GCM where it has
// AES and PMULL, and everywhere else OpenSSL's constant-time AES (its ECB mode:
// vector-permute AES on SSSE3 or NEON, or the AES instructions) under our own
// counter mode and constant-time GHASH, since OpenSSL's GCM without those
// instructions uses table-based AES and GHASH. ipsec-mb and the last compare
// tags with our one helper, OpenSSL's GCM with its CRYPTO_memcmp. ipsec-mb's key data (see
// aes_gcm_ipsec.h for how it is derived on every call) and GHASH state live on
// the stack and are wiped after use; OpenSSL keeps its key schedule in its
// context, which it cleanses when the context is freed at the end of each call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "error/error.h"
#include "zeroize.h"

namespace velmora::crypto::aes_gcm {

inline constexpr std::size_t KEY_BYTES = 32;
inline constexpr std::size_t NONCE_BYTES = 12;
inline constexpr std::size_t TAG_BYTES = 16;
// GCM's limits: at most 2^36 - 32 plaintext bytes, fewer than 2^61 AAD bytes.
inline constexpr std::uint64_t MAX_PLAINTEXT = (std::uint64_t{1} << 36) - 32;
inline constexpr std::uint64_t MAX_SEALED = MAX_PLAINTEXT + TAG_BYTES;
inline constexpr std::uint64_t MAX_AAD = (std::uint64_t{1} << 61) - 1;

enum class Engine { IpsecMb, OpenSsl, EvpGcm };

// True on x86-64 when the processor has AES-NI and PCLMULQDQ and ipsec-mb
// initialised (decided once per process).
bool ipsec_mb_usable();
// True on aarch64 when the kernel reports AES and PMULL (AT_HWCAP) and OpenSSL
// has AES-256-GCM (decided once per process).
bool evp_gcm_usable();
// ipsec-mb or OpenSSL's GCM where usable, else OpenSSL's AES under our GCM.
Engine default_engine();

// Where an operation writes its output. Called once, after every check has
// passed (for opening: after the tag has verified), with the exact length; it
// returns a pointer to that many writable bytes or an error, which the
// operation then returns unchanged. A borrowed callable: it must outlive the call.
class Sink {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, Sink>)
    Sink(F&& f)  // NOLINT: implicit on purpose, call sites pass lambdas
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, std::size_t n) -> Result<std::uint8_t*> {
              return (*static_cast<std::remove_reference_t<F>*>(o))(n);
          }) {}
    Result<std::uint8_t*> operator()(std::size_t n) const { return call_(obj_, n); }

private:
    void* obj_;
    Result<std::uint8_t*> (*call_)(void*, std::size_t);
};

// Seals `plaintext` into sink(plaintext.size() + 16). Checks, in order: key
// length (WrongLength "aes-gcm key"), nonce length (WrongLength "aes-gcm nonce"),
// the GCM limits (SealFailed). `plaintext` may alias the sink's buffer exactly.
Status seal_to(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
               std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
               const Sink& out, Engine engine = default_engine());

// Opens `sealed` (ciphertext ‖ tag) into sink(sealed.size() - 16). Checks, in
// order: key length, nonce length, a sealed form shorter than the tag or beyond
// the limits (OpenFailed), then the tag, compared in constant time (OpenFailed).
// The sink is asked for only once the tag has verified, so a failed open
// allocates nothing. `sealed` may alias the sink's buffer exactly.
Status open_to(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
               std::span<const std::uint8_t> aad, std::span<const std::uint8_t> sealed,
               const Sink& out, Engine engine = default_engine());

// The checks of seal_to, in its order, from the sizes alone.
Status check_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::size_t aad_size, std::size_t plaintext_size);
// The checks open_to makes before looking at the tag, in its order; for a
// caller that allocates the result of open_one_pass itself, after them.
Status check_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::size_t aad_size, std::size_t sealed_size);

// Decrypts `ciphertext` into `out` (same length; it may be the very same
// memory) in one pass while the tag is computed, then compares with `tag` in
// constant time; on a mismatch `out`, which then holds unverified plaintext, is
// wiped before OpenFailed is returned (the OpenSSL engine checks the tag first
// and decrypts only then, as open_to does). Only for an `out` nobody else can
// see until this returns (a result object not yet handed out), and a
// `ciphertext` nobody can change meanwhile. On large inputs this costs about two thirds of
// open_to, which reads the ciphertext twice (GHASH first, then the keystream).
Status open_one_pass(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                     std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext,
                     std::span<const std::uint8_t, TAG_BYTES> tag, std::span<std::uint8_t> out,
                     Engine engine = default_engine());

// Conveniences over seal_to and open_to. The sealed form is public; the plaintext
// comes back in a self-wiping buffer.
Result<std::vector<std::uint8_t>> seal(std::span<const std::uint8_t> key,
                                       std::span<const std::uint8_t> nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> plaintext,
                                       Engine engine = default_engine());
Result<ZeroizingBuffer> open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                             std::span<const std::uint8_t> aad,
                             std::span<const std::uint8_t> sealed,
                             Engine engine = default_engine());

}  // namespace velmora::crypto::aes_gcm
