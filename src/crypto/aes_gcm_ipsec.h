// ipsec-mb's managers for AES-256-GCM and the per-call key data they need
// (used by aes_gcm.cpp only).
//
// Every call expands the key and derives the GHASH key powers afresh, and at
// 64 bytes that was most of the call (some 110 ns of 300); two choices keep
// it short:
//  - Where ipsec-mb picks its AVX-512 code (VAES), a second manager with its
//    AVX2 code serves short inputs: the AVX-512 precomputation derives 48
//    powers of the hash key for its 48-block loop, the AVX2 one 8, and below
//    about 300 bytes of AAD and text the wider loop does not win that back.
//  - The key data is filled here where its layout is one we reproduce:
//    ipsec-mb expands the key with AESKEYGENASSIST, which recent Intel cores
//    microcode (about 50 ns, against some 30 for ours), and derives the 8
//    powers one after the other (ours: in three rounds of independent
//    products). Each manager is checked once, on a fixed key, that our key
//    data is byte for byte what ipsec-mb derives; where it is not (another
//    layout, another library version), ipsec-mb's own derivation is used.
#pragma once

#include <intel-ipsec-mb.h>

#include <cstddef>
#include <cstdint>

namespace velmora::crypto::aes_gcm::ipsec {

// Round keys and hash-key powers, aligned as the assembly expects. Held on
// the stack for one call and wiped by the caller.
struct alignas(64) KeyData {
    gcm_key_data data;
};

// One ipsec-mb manager and what we may derive for it ourselves. The manager
// only carries function pointers chosen for this processor; the direct GCM
// calls keep no state in it, so one instance serves every thread.
struct Manager {
    IMB_MGR* mgr = nullptr;
    bool own_round_keys = false;
    bool own_hash_keys = false;
};

// True when the processor has AES-NI and PCLMULQDQ and ipsec-mb initialised
// (decided once per process).
bool usable();

// The manager for an input with this much AAD and text; only when usable().
const Manager& manager_for(std::size_t aad_bytes, std::size_t text_bytes);

// Fills `k` for the 32-byte `key`, for use with `m` only.
void prepare_key(const Manager& m, const std::uint8_t* key, KeyData& k);

}  // namespace velmora::crypto::aes_gcm::ipsec
