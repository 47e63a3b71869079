// Cycles per ML-KEM-768 operation (rdtsc, median of many runs), and the share
// of it spent in the SHA-3 calls, measured by running those alone.
//
//   mlkem768_cycles [iterations]
#include <x86intrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crypto/mlkem768.h"
#include "crypto/sha3.h"

namespace mlkem = velmora::crypto::mlkem768;
using velmora::crypto::ByteView;
using velmora::crypto::Sha3;
using velmora::crypto::Shake128Stream;

namespace {

template <class Fn>
std::uint64_t median_cycles(int iterations, Fn&& fn) {
    std::vector<std::uint64_t> t(iterations);
    for (int i = 0; i < iterations / 10 + 1; ++i) fn(i);  // warm-up
    for (int i = 0; i < iterations; ++i) {
        unsigned aux;
        const std::uint64_t start = __rdtscp(&aux);
        fn(i);
        t[i] = __rdtscp(&aux) - start;
    }
    std::nth_element(t.begin(), t.begin() + iterations / 2, t.end());
    return t[iterations / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::uint8_t d[32], z[32], m[32];
    for (int i = 0; i < 32; ++i) d[i] = static_cast<std::uint8_t>(i), z[i] = static_cast<std::uint8_t>(7 * i),
                                 m[i] = static_cast<std::uint8_t>(3 * i + 1);
    static std::uint8_t ek[mlkem::PUBLIC_KEY_BYTES], dk[mlkem::SECRET_KEY_BYTES];
    static std::uint8_t ct[mlkem::CIPHERTEXT_BYTES];
    std::uint8_t key[32], key2[32];

    const auto keygen = median_cycles(iterations, [&](int i) {
        d[0] = static_cast<std::uint8_t>(i);
        mlkem::keygen_internal(d, z, ek, dk);
    });
    const auto encaps = median_cycles(iterations, [&](int i) {
        m[0] = static_cast<std::uint8_t>(i);
        mlkem::encaps_internal(ek, m, key, ct);
    });
    const auto decaps = median_cycles(iterations, [&](int) { mlkem::decaps_internal(dk, ct, key2); });
    const auto check_ek = median_cycles(iterations, [&](int) { (void)mlkem::check_encapsulation_key(ek); });
    const auto check_dk = median_cycles(iterations, [&](int) { (void)mlkem::check_decapsulation_key(dk); });

    // The hashing each operation cannot avoid: 9 matrix entries of three
    // SHAKE128 blocks, the PRF calls, G, H and J.
    std::uint8_t buf[2 * 168 * 3], out[64];
    const auto shake128_entry = median_cycles(iterations, [&](int i) {
        Sha3 sha3;
        std::uint8_t seed[34] = {static_cast<std::uint8_t>(i)};
        Shake128Stream s(sha3, ByteView(seed), 3);
        for (int b = 0; b < 3; ++b) (void)s.next_block();
    });
    Sha3 sha3;
    const auto prf = median_cycles(iterations, [&](int) { sha3.shake256({ByteView(d, 32), ByteView(m, 1)}, buf, 128); });
    const auto g = median_cycles(iterations, [&](int) { sha3.sha3_512({ByteView(buf, 64)}, out); });
    const auto h = median_cycles(iterations, [&](int) { sha3.sha3_256({ByteView(ek, sizeof ek)}, out); });
    const auto j = median_cycles(iterations, [&](int) { sha3.shake256({ByteView(z, 32), ByteView(ct, sizeof ct)}, out, 32); });

    const auto keygen_hash = 9 * shake128_entry + 6 * prf + g + h;
    const auto encaps_hash = 9 * shake128_entry + 7 * prf + g + h;
    const auto decaps_hash = 9 * shake128_entry + 7 * prf + g + j;
    std::printf("operation      cycles   of which SHA-3 (estimate)\n");
    std::printf("keygen      %9llu   %9llu (%2.0f%%)\n", (unsigned long long)keygen, (unsigned long long)keygen_hash,
                100.0 * keygen_hash / keygen);
    std::printf("encaps      %9llu   %9llu (%2.0f%%)\n", (unsigned long long)encaps, (unsigned long long)encaps_hash,
                100.0 * encaps_hash / encaps);
    std::printf("decaps      %9llu   %9llu (%2.0f%%)\n", (unsigned long long)decaps, (unsigned long long)decaps_hash,
                100.0 * decaps_hash / decaps);
    std::printf("check ek    %9llu\ncheck dk    %9llu\n", (unsigned long long)check_ek, (unsigned long long)check_dk);
    std::printf("sha-3 calls: shake128 3 blocks %llu, prf %llu, G %llu, H(ek) %llu, J %llu\n",
                (unsigned long long)shake128_entry, (unsigned long long)prf, (unsigned long long)g,
                (unsigned long long)h, (unsigned long long)j);
    return 0;
}
