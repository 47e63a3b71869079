#include "hybrid/key_pair.h"

#include <cstring>
#include <utility>

#include "crypto/aes_gcm.h"
#include "crypto/ct.h"
#include "crypto/hkdf_sha256.h"

namespace velmora::hybrid {

namespace {

Status draw_key_material(RandomSource rng, std::span<std::uint8_t> out) {
    if (!rng(out)) return ErrorKind::KeyMaterialDrawFailed;
    ct::mark_secret(out.data(), out.size());
    return {};
}

}  // namespace

Status check_mlkem_secret(Bytes dk) {
    if (dk.size() != mlkem::SECRET_KEY_BYTES) return ErrorKind::KeyRejected;
    ct::declassify(dk.data() + mlkem::DK_EK_OFFSET, mlkem::PUBLIC_KEY_BYTES + 32,
                   "the encapsulation key and its hash inside dk are public");
    if (!mlkem::check_decapsulation_key(dk.data())) return ErrorKind::KeyRejected;
    return {};
}

void derive_seal_key(const std::uint8_t x25519_shared[X25519_BYTES],
                     const std::uint8_t mlkem_shared[mlkem::SHARED_BYTES],
                     const std::uint8_t encapsulation[ENCAPSULATION_BYTES],
                     std::uint8_t key[SEAL_KEY_BYTES]) {
    std::uint8_t ikm[X25519_BYTES + mlkem::SHARED_BYTES];
    WipeOnExit wipe_ikm(ikm);
    std::memcpy(ikm, x25519_shared, X25519_BYTES);
    std::memcpy(ikm + X25519_BYTES, mlkem_shared, mlkem::SHARED_BYTES);
    // The info is public: the label, then the whole encapsulation as sent.
    std::uint8_t info[SEAL_LABEL_BYTES + ENCAPSULATION_BYTES];
    std::memcpy(info, SEAL_LABEL, SEAL_LABEL_BYTES);
    std::memcpy(info + SEAL_LABEL_BYTES, encapsulation, ENCAPSULATION_BYTES);
    // 32 bytes is within HKDF-SHA256's range, so this cannot fail.
    (void)crypto::hkdf_sha256(ikm, {}, info, std::span<std::uint8_t>(key, SEAL_KEY_BYTES));
}

HybridKeyPair::HybridKeyPair(LockedRegion&& x25519, LockedRegion&& mlkem,
                             const std::uint8_t x25519_public[X25519_BYTES],
                             std::unique_ptr<std::uint8_t[]> mlkem_public)
    : mlkem_public_(std::move(mlkem_public)),
      mlkem_(std::move(mlkem)),
      x25519_(std::move(x25519)),
      mlkem_matrix_(mlkem::expand_matrix(mlkem_public_.get())) {
    std::memcpy(x25519_public_.data(), x25519_public, X25519_BYTES);
}

Result<HybridKeyPair> HybridKeyPair::from_secret_parts(Bytes xs, Bytes ds) {
    if (xs.size() != X25519_BYTES)
        return EnclaveError::wrong_length("x25519 secret key", X25519_BYTES, xs.size());
    if (ds.size() != mlkem::SECRET_KEY_BYTES)
        return EnclaveError::wrong_length("ml-kem-768 secret key", mlkem::SECRET_KEY_BYTES,
                                          ds.size());
    std::uint8_t x_public[X25519_BYTES];
    crypto::x25519::public_key(xs.data(), x_public);
    if (Status ok = check_mlkem_secret(ds); !ok) return ok.error();
    // The encapsulation key embedded in a checked secret is already in its
    // canonical encoding, so re-encoding it gives these same bytes.
    auto m_public = std::make_unique<std::uint8_t[]>(mlkem::PUBLIC_KEY_BYTES);
    std::memcpy(m_public.get(), ds.data() + mlkem::DK_EK_OFFSET, mlkem::PUBLIC_KEY_BYTES);

    auto x_region = LockedRegion::from_slice(xs);
    if (!x_region) return x_region.error();
    auto m_region = LockedRegion::from_slice(ds);
    if (!m_region) return m_region.error();  // releases x_region on the way out
    return HybridKeyPair(std::move(*x_region), std::move(*m_region), x_public, std::move(m_public));
}

Result<HybridKeyPair> HybridKeyPair::generate(RandomSource rng) {
    std::uint8_t xs[X25519_BYTES];
    std::uint8_t d[mlkem::SEED_BYTES];
    std::uint8_t z[mlkem::SEED_BYTES];
    std::uint8_t dk[mlkem::SECRET_KEY_BYTES];
    WipeOnExit wipe_xs(xs), wipe_d(d), wipe_z(z);
    WipeOnExit wipe_dk(dk);
    if (Status s = draw_key_material(rng, xs); !s) return s.error();
    if (Status s = draw_key_material(rng, d); !s) return s.error();
    if (Status s = draw_key_material(rng, z); !s) return s.error();
    std::uint8_t ek[mlkem::PUBLIC_KEY_BYTES];
    mlkem::keygen_internal(d, z, ek, dk);
    return from_secret_parts(xs, dk);
}

Result<LockedRegion> HybridKeyPair::export_x25519_secret() const {
    return x25519_.view([](Bytes secret) { return LockedRegion::from_slice(secret); });
}

Result<LockedRegion> HybridKeyPair::export_mlkem768_secret() const {
    return mlkem_.view([](Bytes secret) { return LockedRegion::from_slice(secret); });
}

Status HybridKeyPair::access() const {
    if (Status s = x25519_.access(); !s) return s;
    return mlkem_.access();
}

Status check_encapsulation(Bytes encapsulation) {
    if (encapsulation.size() != ENCAPSULATION_BYTES)
        return EnclaveError::wrong_length("encapsulation", ENCAPSULATION_BYTES,
                                          encapsulation.size());
    return {};
}

void HybridKeyPair::wipe() {
    x25519_.wipe();
    mlkem_.wipe();
}

Result<ZeroizingBuffer> HybridKeyPair::open(Bytes encapsulation, Bytes nonce, Bytes ciphertext,
                                            Bytes aad) const {
    if (Status s = check_encapsulation(encapsulation); !s) return s.error();
    const std::uint8_t* E = encapsulation.data();
    const std::uint8_t* c = encapsulation.data() + X25519_BYTES;

    std::uint8_t x_shared[X25519_BYTES];
    std::uint8_t k_shared[mlkem::SHARED_BYTES];
    std::uint8_t key[SEAL_KEY_BYTES];
    WipeOnExit wipe_x(x_shared), wipe_k(k_shared), wipe_key(key);

    auto x_secret = x25519_.bytes();
    if (!x_secret) return x_secret.error();
    // X25519 ignores the top bit of E; the derivation below still covers it.
    if (!crypto::x25519::shared_secret(x_secret->data(), E, x_shared)) return ErrorKind::OpenFailed;

    auto dk = mlkem_.bytes();
    if (!dk) return dk.error();
    if (Status ok = check_mlkem_secret(*dk); !ok) return ok.error();
    // Never fails: a damaged c only yields an unrelated key, caught by the tag.
    mlkem::decaps_internal(dk->data(), c, *mlkem_matrix_, k_shared);

    derive_seal_key(x_shared, k_shared, encapsulation.data(), key);
    return crypto::aes_gcm::open(key, nonce, aad, ciphertext);
}

Result<Seal> seal(Bytes x25519_public, Bytes mlkem_public, Bytes plaintext, Bytes aad,
                  RandomSource rng) {
    if (x25519_public.size() != X25519_BYTES)
        return EnclaveError::wrong_length("x25519 public key", X25519_BYTES, x25519_public.size());
    if (mlkem_public.size() != mlkem::PUBLIC_KEY_BYTES)
        return EnclaveError::wrong_length("ml-kem-768 public key", mlkem::PUBLIC_KEY_BYTES,
                                          mlkem_public.size());

    Seal out;
    std::uint8_t x_shared[X25519_BYTES];
    std::uint8_t k_shared[mlkem::SHARED_BYTES];
    std::uint8_t key[SEAL_KEY_BYTES];
    WipeOnExit wipe_x(x_shared), wipe_k(k_shared), wipe_key(key);
    {
        std::uint8_t e[X25519_BYTES];
        WipeOnExit wipe_e(e);
        if (Status s = draw_key_material(rng, e); !s) return s.error();
        crypto::x25519::public_key(e, out.encapsulation.data());
        // A low-order recipient key gives an all-zero secret.
        if (Status s = crypto::x25519::shared_secret(e, x25519_public.data(), x_shared); !s)
            return s.error();
    }
    if (!mlkem::check_encapsulation_key(mlkem_public.data())) return ErrorKind::KeyRejected;
    {
        std::uint8_t m[mlkem::SEED_BYTES];
        WipeOnExit wipe_m(m);
        if (Status s = draw_key_material(rng, m); !s) return s.error();
        mlkem::encaps_internal(mlkem_public.data(), m, k_shared,
                               out.encapsulation.data() + X25519_BYTES);
    }
    ct::declassify(out.encapsulation.data(), ENCAPSULATION_BYTES, "the encapsulation is sent");
    derive_seal_key(x_shared, k_shared, out.encapsulation.data(), key);
    if (!rng(out.nonce)) return ErrorKind::RngFailed;
    auto sealed = crypto::aes_gcm::seal(key, out.nonce, aad, plaintext);
    if (!sealed) return sealed.error();
    out.ciphertext = std::move(*sealed);
    ct::declassify(out.ciphertext.data(), out.ciphertext.size(), "the sealed ciphertext is sent");
    return out;
}

}  // namespace velmora::hybrid
