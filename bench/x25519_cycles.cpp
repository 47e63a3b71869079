// Cycles per X25519 scalar multiplication (rdtsc), ours against libsodium's,
// side by side in one run:
//
//   x25519_cycles [iterations] [repeats]     the table below, with ratios
//   x25519_cycles --rfc-million              RFC 7748's 1,000,000-iteration
//                                            vector on both paths (a minute)
//
// Each figure is the median over `iterations` runs; the measurement is
// repeated and the lowest median kept.
#include <sodium.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "median_cycles.h"

#include "crypto/x25519.h"
#include "crypto/x25519/native.h"

namespace x25519 = velmora::crypto::x25519;

namespace {

int iterations = 2000;

template <class Fn>
std::uint64_t median_cycles(Fn&& fn) {
    return bench::median_cycles(iterations, fn);
}

// k, u = X25519(k, u), k, n times from k = u = 9.
bool iterated(bool native, long n, const char* want) {
    std::uint8_t k[32] = {9}, u[32] = {9}, r[32];
    for (long i = 0; i < n; ++i) {
        if (native)
            x25519::native::scalarmult(r, k, u);
        else if (crypto_scalarmult(r, k, u) != 0)
            return false;
        std::memcpy(u, k, 32);
        std::memcpy(k, r, 32);
    }
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, k, 32);
    std::printf("%s after %ld: %s\n", native ? "native" : "libsodium", n, hex);
    return std::strcmp(hex, want) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return 1;
    if (!x25519::native_available()) {
        std::fprintf(stderr, "this CPU has no BMI2/ADX: nothing to compare\n");
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "--rfc-million") == 0) {
        const char* want = "7c3911e0ab2586fd864497297e575e6f3bc601c0883c30df5f4dd2d24f665424";
        const bool ok = iterated(true, 1000000, want) && iterated(false, 1000000, want);
        std::puts(ok ? "ok" : "MISMATCH");
        return ok ? 0 : 1;
    }
    if (argc > 1) iterations = std::atoi(argv[1]);
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    std::uint8_t k[32], u[32], r[32];
    randombytes_buf(k, sizeof k);
    crypto_scalarmult_base(u, k);
    enum { NativeVar, SodiumVar, NativeBase, SodiumBase, OursSodiumPath, COUNT };
    const char* names[COUNT] = {"native variable base", "libsodium crypto_scalarmult",
                                "native fixed base (table)", "libsodium crypto_scalarmult_base",
                                "public_key on the libsodium path (Edwards + conversion)"};
    std::uint64_t best[COUNT];
    std::fill(best, best + COUNT, UINT64_MAX);
    for (int rep = 0; rep < repeats; ++rep) {
        const std::uint64_t t[COUNT] = {
            median_cycles([&](int i) {
            k[0] = static_cast<std::uint8_t>(i);
            x25519::native::scalarmult(r, k, u);
        }),
            median_cycles([&](int i) {
            k[0] = static_cast<std::uint8_t>(i);
            if (crypto_scalarmult(r, k, u) != 0) std::abort();
        }),
            median_cycles([&](int i) {
            k[0] = static_cast<std::uint8_t>(i);
            x25519::native::scalarmult_base(r, k);
        }),
            median_cycles([&](int i) {
            k[0] = static_cast<std::uint8_t>(i);
            (void)crypto_scalarmult_base(r, k);
        }),
            median_cycles([&](int i) {
            k[0] = static_cast<std::uint8_t>(i);
            x25519::public_key(k, r, x25519::Impl::Libsodium);
        }),
        };
        for (int c = 0; c < COUNT; ++c) best[c] = std::min(best[c], t[c]);
    }
    std::printf("%-58s %10s %8s\n", "operation", "cycles", "ratio");
    for (int c = 0; c < COUNT; ++c) {
        const std::uint64_t ref = c <= SodiumVar ? best[SodiumVar] : best[SodiumBase];
        std::printf("%-58s %10llu %8.3f\n", names[c], static_cast<unsigned long long>(best[c]),
                    static_cast<double>(best[c]) / static_cast<double>(ref));
    }
    return 0;
}
