// Cycles per ML-KEM-768 operation on each code path (rdtsc), side by side,
// and where the time goes: the single-stream SHA-3 calls (libcrypto), the
// four-way Keccak, and the polynomial arithmetic.
//
//   mlkem768_cycles [iterations] [repeats]
//
// Each figure is the median over `iterations` runs; the whole measurement is
// repeated and the lowest median kept (the machine is shared: the least
// disturbed repeat is the closest to the code's own cost).
#include <x86intrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "median_cycles.h"

#include "crypto/mlkem768.h"
#include "crypto/mlkem768/impl.h"
#include "crypto/mlkem768/keccak4.h"
#include "crypto/mlkem768/poly.h"
#include "crypto/mlkem768/poly_avx2.h"
#include "crypto/sha3.h"

namespace mlkem = velmora::crypto::mlkem768;
using velmora::crypto::ByteView;
using velmora::crypto::Sha3;
using velmora::crypto::Shake128Stream;

namespace {

int iterations = 2000;

template <class Fn>
std::uint64_t median_cycles(Fn&& fn) {
    return bench::median_cycles(iterations, fn);
}

// Keeps the lowest of the values stored under the same name over repeats.
struct Table {
    std::vector<std::pair<std::string, std::uint64_t>> rows;
    std::size_t next = 0;
    void put(std::string name, std::uint64_t v) {
        if (next == rows.size()) rows.emplace_back(std::move(name), v);
        rows[next].second = std::min(rows[next].second, v);
        ++next;
    }
    std::uint64_t operator[](std::size_t i) const { return rows[i].second; }
};

struct Inputs {
    std::uint8_t d[32], z[32], m[32];
    std::uint8_t ek[mlkem::PUBLIC_KEY_BYTES], dk[mlkem::SECRET_KEY_BYTES],
        ct[mlkem::CIPHERTEXT_BYTES];
};

void measure_ops(mlkem::Impl path, Inputs& in, Table& t) {
    std::uint8_t key[32];
    t.put("keygen", median_cycles([&](int i) {
        in.d[0] = static_cast<std::uint8_t>(i);
        mlkem::keygen_on(path, in.d, in.z, in.ek, in.dk);
    }));
    t.put("encaps", median_cycles([&](int i) {
        in.m[0] = static_cast<std::uint8_t>(i);
        mlkem::encaps_on(path, in.ek, in.m, key, in.ct);
    }));
    t.put("decaps",
          median_cycles([&](int) { mlkem::decaps_on(path, in.dk, in.ct, nullptr, key); }));
    const auto a = mlkem::expand_matrix_on(path, in.ek);
    t.put("decaps, stored A^",
          median_cycles([&](int) { mlkem::decaps_on(path, in.dk, in.ct, a.get(), key); }));
    t.put("expand A^", median_cycles([&](int) { (void)mlkem::expand_matrix_on(path, in.ek); }));
}

struct PortableOps {
    static constexpr auto ntt = &mlkem::ntt;
    static constexpr auto inv_ntt = &mlkem::inv_ntt;
    static constexpr auto canonical = &mlkem::canonical;
    static constexpr auto prepare_operand = &mlkem::prepare_operand;
    static constexpr auto mul_add = &mlkem::mul_add;
    static constexpr auto mul_reduce = &mlkem::mul_reduce;
    static constexpr auto encode12_ntt = &mlkem::encode12_ntt;
    static constexpr auto decode12_ntt = &mlkem::decode12_ntt;
    static constexpr auto compress_encode_du = &mlkem::compress_encode_du;
    static constexpr auto decode_decompress_du = &mlkem::decode_decompress_du;
};
struct Avx2Ops {
    static constexpr auto ntt = &mlkem::avx2::ntt;
    static constexpr auto inv_ntt = &mlkem::avx2::inv_ntt;
    static constexpr auto canonical = &mlkem::avx2::canonical;
    static constexpr auto prepare_operand = &mlkem::avx2::prepare_operand;
    static constexpr auto mul_add = &mlkem::avx2::mul_add;
    static constexpr auto mul_reduce = &mlkem::avx2::mul_reduce;
    static constexpr auto encode12_ntt = &mlkem::avx2::encode12_ntt;
    static constexpr auto decode12_ntt = &mlkem::avx2::decode12_ntt;
    static constexpr auto compress_encode_du = &mlkem::avx2::compress_encode_du;
    static constexpr auto decode_decompress_du = &mlkem::avx2::decode_decompress_du;
};

template <class Ops>
void measure_arithmetic(const char* suffix, Table& t) {
    auto name = [&](const char* what) { return std::string(what) + suffix; };
    std::uint8_t buf[mlkem::POLY_BYTES];
    mlkem::Poly p, r;
    mlkem::MulOperand b;
    mlkem::Accumulator acc{};
    for (int i = 0; i < mlkem::N; ++i) p.c[i] = static_cast<std::int16_t>(i * 13 % mlkem::Q);
    t.put(name("NTT"), median_cycles([&](int) { Ops::ntt(p); }));
    t.put(name("inverse NTT"), median_cycles([&](int) { Ops::inv_ntt(p); }));
    Ops::canonical(p);
    t.put(name("prepare operand"), median_cycles([&](int) { Ops::prepare_operand(p, b); }));
    t.put(name("multiply-add"), median_cycles([&](int) { Ops::mul_add(acc, p, b); }));
    t.put(name("reduce products"), median_cycles([&](int) { Ops::mul_reduce(acc, r); }));
    t.put(name("ByteEncode12"), median_cycles([&](int) { Ops::encode12_ntt(p, buf); }));
    t.put(name("ByteDecode12"), median_cycles([&](int) { Ops::decode12_ntt(buf, r); }));
    t.put(name("Compress + encode, du"),
          median_cycles([&](int) { Ops::compress_encode_du(p, buf); }));
    t.put(name("decode + decompress, du"),
          median_cycles([&](int) { Ops::decode_decompress_du(buf, r); }));
}

void measure_parts(Inputs& in, Table& t) {
    // The single-stream hashing (libcrypto), as the operations call it.
    std::uint8_t buf[2 * 168 * 3], out[64];
    t.put("SHAKE128, 3 blocks", median_cycles([&](int i) {
        Sha3 sha3;
        std::uint8_t seed[34] = {static_cast<std::uint8_t>(i)};
        Shake128Stream s(sha3, ByteView(seed), 3);
        for (int b = 0; b < 3; ++b) (void)s.next_block();
    }));
    Sha3 sha3;
    t.put("PRF (SHAKE256, 128 B)", median_cycles([&](int) {
        sha3.shake256({ByteView(in.d, 32), ByteView(in.m, 1)}, buf, 128);
    }));
    t.put("G (SHA3-512, 64 B)",
          median_cycles([&](int) { sha3.sha3_512({ByteView(buf, 64)}, out); }));
    t.put("H(ek) (SHA3-256)",
          median_cycles([&](int) { sha3.sha3_256({ByteView(in.ek, sizeof in.ek)}, out); }));
    t.put("J (SHAKE256, z || c)", median_cycles([&](int) {
        sha3.shake256({ByteView(in.z, 32), ByteView(in.ct, sizeof in.ct)}, out, 32);
    }));
    // The four-way Keccak and what is built on it.
    if (mlkem::impl_available(mlkem::Impl::Avx2)) {
        const std::uint8_t* seeds[4] = {in.d, in.z, in.m, in.d};
        std::uint8_t blocks[4][168];
        std::uint8_t* outs[4] = {blocks[0], blocks[1], blocks[2], blocks[3]};
        mlkem::KeccakX4 x4(mlkem::KeccakX4::SHAKE128_RATE, seeds, 32);
        t.put("Keccak x4, 1 block each", median_cycles([&](int) { x4.squeeze(outs, 168); }));
        mlkem::Poly p[4];
        mlkem::Poly* pp[4] = {&p[0], &p[1], &p[2], &p[3]};
        const std::uint8_t idx[4][2] = {{0, 0}, {1, 0}, {2, 0}, {0, 1}};
        t.put("4 entries of A^ (x4)",
              median_cycles([&](int) { mlkem::avx2::sample_ntt_x4(in.d, idx, 4, pp); }));
        t.put("4 noise polys (x4)",
              median_cycles([&](int) { mlkem::avx2::sample_noise_x4(in.d, 0, 4, pp); }));
    }
    // The arithmetic, per polynomial, on each path.
    measure_arithmetic<PortableOps>("", t);
    if (mlkem::impl_available(mlkem::Impl::Avx2)) measure_arithmetic<Avx2Ops>(" (avx2)", t);
}

}  // namespace

int main(int argc, char** argv) {
    iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    Inputs in{};
    for (int i = 0; i < 32; ++i) {
        in.d[i] = static_cast<std::uint8_t>(i);
        in.z[i] = static_cast<std::uint8_t>(7 * i);
        in.m[i] = static_cast<std::uint8_t>(3 * i + 1);
    }
    std::vector<mlkem::Impl> paths;
    for (mlkem::Impl p : mlkem::ALL_IMPLS) {
        if (mlkem::impl_available(p)) paths.push_back(p);
    }
    std::vector<Table> ops(paths.size());
    Table parts;
    for (int r = 0; r < repeats; ++r) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            ops[i].next = 0;
            measure_ops(paths[i], in, ops[i]);
        }
        parts.next = 0;
        measure_parts(in, parts);
    }

    std::printf("cycles per operation, lowest median of %d repeats x %d runs (active path: %s)\n",
                repeats, iterations, mlkem::impl_name(mlkem::active_impl()));
    std::printf("%-20s", "operation");
    for (mlkem::Impl p : paths) std::printf("%12s", mlkem::impl_name(p));
    if (paths.size() > 1) std::printf("%10s", "ratio");
    std::printf("\n");
    for (std::size_t row = 0; row < ops[0].rows.size(); ++row) {
        std::printf("%-20s", ops[0].rows[row].first.c_str());
        for (const Table& t : ops) std::printf("%12llu", static_cast<unsigned long long>(t[row]));
        if (paths.size() > 1)
            std::printf("%10.2f", static_cast<double>(ops.back()[row]) / ops[0][row]);
        std::printf("\n");
    }
    std::printf("\nparts (cycles per call)\n");
    for (const auto& [name, v] : parts.rows) {
        std::printf("  %-32s%8llu\n", name.c_str(), static_cast<unsigned long long>(v));
    }
    return 0;
}
