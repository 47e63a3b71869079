// Cleaning up after an operation: the vector registers, and the part of the
// own stack it used.
#include "locked/stack_wipe.h"

#include <cstdint>

#include "zeroize.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace velmora::stack_wipe {

namespace {

#if defined(__x86_64__)

// The widest register file the processor and the kernel have enabled,
// decided once when the module is loaded.
enum class VectorFile : std::uint8_t { Sse, Avx, Avx512 };

VectorFile detect_vector_file() {
    __builtin_cpu_init();  // may run before libgcc's own initialiser
    // avx512vl: the EVEX xmm16-31 forms used below (every AVX-512 part that
    // runs Linux today has it; without it the AVX part still runs).
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return VectorFile::Avx512;
    if (__builtin_cpu_supports("avx")) return VectorFile::Avx;
    return VectorFile::Sse;
}

const VectorFile g_vector_file = detect_vector_file();

#define VELMORA_XMM0_15                                                                      \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
        "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"

[[gnu::always_inline]] inline void clear_vectors() {
    switch (g_vector_file) {
        case VectorFile::Avx512:
            // vzeroall clears zmm0-15 whole but leaves zmm16-31 and the mask
            // registers, which AVX-512 code (libcrypto's AES-GCM, the C library's
            // memcpy) uses too. An EVEX write to xmmN zeroes the rest of zmmN.
            __asm__ volatile(
                "vzeroall\n\t"
                "vpxord %%xmm16, %%xmm16, %%xmm16\n\tvpxord %%xmm17, %%xmm17, %%xmm17\n\t"
                "vpxord %%xmm18, %%xmm18, %%xmm18\n\tvpxord %%xmm19, %%xmm19, %%xmm19\n\t"
                "vpxord %%xmm20, %%xmm20, %%xmm20\n\tvpxord %%xmm21, %%xmm21, %%xmm21\n\t"
                "vpxord %%xmm22, %%xmm22, %%xmm22\n\tvpxord %%xmm23, %%xmm23, %%xmm23\n\t"
                "vpxord %%xmm24, %%xmm24, %%xmm24\n\tvpxord %%xmm25, %%xmm25, %%xmm25\n\t"
                "vpxord %%xmm26, %%xmm26, %%xmm26\n\tvpxord %%xmm27, %%xmm27, %%xmm27\n\t"
                "vpxord %%xmm28, %%xmm28, %%xmm28\n\tvpxord %%xmm29, %%xmm29, %%xmm29\n\t"
                "vpxord %%xmm30, %%xmm30, %%xmm30\n\tvpxord %%xmm31, %%xmm31, %%xmm31\n\t"
                "kxorw %%k0, %%k0, %%k0\n\tkxorw %%k1, %%k1, %%k1\n\t"
                "kxorw %%k2, %%k2, %%k2\n\tkxorw %%k3, %%k3, %%k3\n\t"
                "kxorw %%k4, %%k4, %%k4\n\tkxorw %%k5, %%k5, %%k5\n\t"
                "kxorw %%k6, %%k6, %%k6\n\tkxorw %%k7, %%k7, %%k7" ::
                    : VELMORA_XMM0_15, "memory");
            break;
        case VectorFile::Avx:
            __asm__ volatile("vzeroall" ::: VELMORA_XMM0_15, "memory");
            break;
        case VectorFile::Sse:
            __asm__ volatile(
                "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
                "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
                "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
                "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
                "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
                "pxor %%xmm15, %%xmm15" ::
                    : VELMORA_XMM0_15, "memory");
            break;
    }
}

#elif defined(__aarch64__)

// Whether the processor has SVE, whose predicate registers (and first-fault
// register) the Advanced SIMD clear below does not reach; decided once when
// the module is loaded.
const bool g_sve = (getauxval(AT_HWCAP) & HWCAP_SVE) != 0;

// v0-v7 and v16-v31 are caller-saved and cleared whole. Of
// v8-v15 the procedure call standard preserves only the low halves (d8-d15,
// our caller's values, restored by every callee that used them), so only the
// high halves are cleared, with an element write that leaves the low half as
// it is. Any Advanced SIMD write to a vector register also zeroes the rest of
// its SVE register beyond 128 bits, so the Z registers are clean too; the
// predicate registers are cleared separately where SVE exists.
[[gnu::always_inline]] inline void clear_vectors() {
    __asm__ volatile(
        "movi v0.16b, #0\n\tmovi v1.16b, #0\n\tmovi v2.16b, #0\n\tmovi v3.16b, #0\n\t"
        "movi v4.16b, #0\n\tmovi v5.16b, #0\n\tmovi v6.16b, #0\n\tmovi v7.16b, #0\n\t"
        "mov v8.d[1], xzr\n\tmov v9.d[1], xzr\n\tmov v10.d[1], xzr\n\tmov v11.d[1], xzr\n\t"
        "mov v12.d[1], xzr\n\tmov v13.d[1], xzr\n\tmov v14.d[1], xzr\n\tmov v15.d[1], xzr\n\t"
        "movi v16.16b, #0\n\tmovi v17.16b, #0\n\tmovi v18.16b, #0\n\tmovi v19.16b, #0\n\t"
        "movi v20.16b, #0\n\tmovi v21.16b, #0\n\tmovi v22.16b, #0\n\tmovi v23.16b, #0\n\t"
        "movi v24.16b, #0\n\tmovi v25.16b, #0\n\tmovi v26.16b, #0\n\tmovi v27.16b, #0\n\t"
        "movi v28.16b, #0\n\tmovi v29.16b, #0\n\tmovi v30.16b, #0\n\tmovi v31.16b, #0" ::
            : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20",
              "v21", "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31",
              "memory");
    if (g_sve) {
        // p0-p15 and the first-fault register are all caller-saved outside
        // SVE's own calling convention, which nothing here uses.
        __asm__ volatile(
            ".arch_extension sve\n\t"
            "pfalse p0.b\n\tpfalse p1.b\n\tpfalse p2.b\n\tpfalse p3.b\n\t"
            "pfalse p4.b\n\tpfalse p5.b\n\tpfalse p6.b\n\tpfalse p7.b\n\t"
            "pfalse p8.b\n\tpfalse p9.b\n\tpfalse p10.b\n\tpfalse p11.b\n\t"
            "pfalse p12.b\n\tpfalse p13.b\n\tpfalse p14.b\n\tpfalse p15.b\n\t"
            "wrffr p0.b" ::
                : "memory");
    }
}

#else
#error "the vector register clear is written for x86-64 and aarch64"
#endif

}  // namespace

void clear_vector_registers() noexcept { clear_vectors(); }

void on_take(std::uint8_t*, std::uint8_t*) noexcept {}

void wipe_used(std::uint8_t* lo, std::uint8_t* top, std::size_t n) noexcept {
    const auto room = static_cast<std::size_t>(top - lo);
    if (n > room) n = room;
    secure_zero(top - n, n);
}

#if defined(__x86_64__)
#undef VELMORA_XMM0_15
#endif

}  // namespace velmora::stack_wipe
