// The hybrid identity (one X25519 pair plus one ML-KEM-768 pair, private halves
// in locked memory), the hybrid seal made to its two public keys, and the
// common opening of such a seal.
//
// Seal format: encapsulation = E || c (1120 bytes), a 12-byte nonce, and the
// AES-256-GCM ciphertext || tag. The AES key is HKDF-SHA256 with no salt over
// IKM = X25519 shared secret || ML-KEM shared secret and
// info = "quorvix-sdk-hybrid-seal-v1" || encapsulation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "crypto/mlkem768.h"
#include "crypto/x25519.h"
#include "error/error.h"
#include "locked/region.h"
#include "zeroize.h"

namespace velmora::hybrid {

namespace mlkem = crypto::mlkem768;

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::size_t X25519_BYTES = crypto::x25519::KEY_BYTES;
inline constexpr std::size_t ENCAPSULATION_BYTES = X25519_BYTES + mlkem::CIPHERTEXT_BYTES;
inline constexpr std::size_t NONCE_BYTES = 12;
inline constexpr std::size_t SEAL_KEY_BYTES = 32;
inline constexpr char SEAL_LABEL[] = "quorvix-sdk-hybrid-seal-v1";
inline constexpr std::size_t SEAL_LABEL_BYTES = sizeof(SEAL_LABEL) - 1;  // 26, no terminator

// Where the random bytes of generate() and seal() come from; os_random outside tests.
using RandomSource = Status (*)(std::span<std::uint8_t>);

// A source failing while drawing key material (the X25519 secret, d, z, e or
// m) gives KeyMaterialDrawFailed, an internal failure to callers; only the
// nonce draw of a seal is reported to them as RngFailed.

// The stored ML-KEM-768 secret's own checks: every coefficient of the embedded
// t^ below 3329, and the stored H(ek) matching. KeyRejected otherwise.
Status check_mlkem_secret(Bytes dk);

// The seal key: HKDF-SHA256(salt = none, IKM = x25519_shared || mlkem_shared,
// info = SEAL_LABEL || encapsulation, L = 32).
void derive_seal_key(const std::uint8_t x25519_shared[X25519_BYTES],
                     const std::uint8_t mlkem_shared[mlkem::SHARED_BYTES],
                     const std::uint8_t encapsulation[ENCAPSULATION_BYTES],
                     std::uint8_t key[SEAL_KEY_BYTES]);

class HybridKeyPair {
public:
    // Builds an identity from its two secrets, recomputing both public keys:
    // WrongLength ("x25519 secret key", then "ml-kem-768 secret key"),
    // KeyRejected, or a region allocation error. Nothing is left allocated on
    // failure; the inputs are only read.
    static Result<HybridKeyPair> from_secret_parts(Bytes x25519_secret, Bytes mlkem_secret);

    // A fresh identity: 32 bytes for the X25519 secret, then d, then z, each
    // its own draw, then ML-KEM-768 key generation. Working copies are wiped.
    static Result<HybridKeyPair> generate(RandomSource rng);

    HybridKeyPair(HybridKeyPair&&) noexcept = default;
    HybridKeyPair& operator=(HybridKeyPair&&) noexcept = default;

    std::span<const std::uint8_t, X25519_BYTES> x25519_public() const { return x25519_public_; }
    std::span<const std::uint8_t, mlkem::PUBLIC_KEY_BYTES> mlkem768_public() const {
        return std::span<const std::uint8_t, mlkem::PUBLIC_KEY_BYTES>(mlkem_public_.get(),
                                                                      mlkem::PUBLIC_KEY_BYTES);
    }

    // New regions holding copies of the secrets, made straight from locked
    // memory (Wiped / ForkChild, then allocation errors).
    Result<LockedRegion> export_x25519_secret() const;
    Result<LockedRegion> export_mlkem768_secret() const;

    // Opens a seal; the caller holds the identity's lock. Errors in order:
    // WrongLength("encapsulation", check_encapsulation), Wiped/ForkChild, OpenFailed (low-order E),
    // KeyRejected (stored ML-KEM secret), WrongLength("aes-gcm nonce"),
    // OpenFailed. The plaintext comes back in a self-wiping buffer.
    Result<ZeroizingBuffer> open(Bytes encapsulation, Bytes nonce, Bytes ciphertext,
                                 Bytes aad) const;

    // Zeroes both secrets; the public keys stay.
    void wipe();
    bool is_wiped() const { return x25519_.is_wiped(); }
    // The regions' access checks (Wiped, then ForkChild), both regions.
    Status access() const;

private:
    HybridKeyPair(LockedRegion&& x25519, LockedRegion&& mlkem,
                  const std::uint8_t x25519_public[X25519_BYTES],
                  std::unique_ptr<std::uint8_t[]> mlkem_public);

    // Declared so that destruction releases the X25519 region first, then the
    // ML-KEM region, then frees the public key.
    std::unique_ptr<std::uint8_t[]> mlkem_public_;
    LockedRegion mlkem_;
    LockedRegion x25519_;
    std::array<std::uint8_t, X25519_BYTES> x25519_public_;
    // A^ of the ML-KEM public key, sampled once: every open re-encrypts with it.
    mlkem::ExpandedMatrixPtr mlkem_matrix_;
};

// The length check that comes first when a seal is opened: WrongLength("encapsulation").
Status check_encapsulation(Bytes encapsulation);

struct Seal {
    std::array<std::uint8_t, ENCAPSULATION_BYTES> encapsulation;
    std::array<std::uint8_t, NONCE_BYTES> nonce;
    std::vector<std::uint8_t> ciphertext;  // ciphertext || tag; public
};

// Seals `plaintext` to the two public keys. Draws 32 bytes (e), 32 bytes (m)
// and 12 bytes (nonce), in that order. Errors in order: WrongLength
// ("x25519 public key", then "ml-kem-768 public key"), KeyRejected (low-order
// X25519 key, then an ML-KEM key failing its modulus check),
// KeyMaterialDrawFailed (e, m), RngFailed (nonce), SealFailed (GCM limits).
Result<Seal> seal(Bytes x25519_public, Bytes mlkem_public, Bytes plaintext, Bytes aad,
                  RandomSource rng);

}  // namespace velmora::hybrid
