// Four Keccak-f[1600] sponges advanced together, one per 64-bit lane of AVX2
// registers. ML-KEM draws many independent SHAKE streams (the entries of A^,
// the noise polynomials); four of them cost little more than one.
//
// Only for CPUs with AVX2 (the caller checks). The inputs of the four streams
// have the same length and fit in one block, which covers every multi-stream
// use in ML-KEM (34-byte XOF seeds, 33-byte PRF inputs).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto::mlkem768 {

class KeccakX4 {
public:
    static constexpr std::size_t SHAKE128_RATE = 168;
    static constexpr std::size_t SHAKE256_RATE = 136;

    // Four SHAKE instances of the given rate (one of the two above) over
    // in[0..3], each `len` bytes, len < rate.
    KeccakX4(std::size_t rate, const std::uint8_t* const in[4], std::size_t len);
    ~KeccakX4();
    KeccakX4(const KeccakX4&) = delete;
    KeccakX4& operator=(const KeccakX4&) = delete;

    // The next n <= rate bytes of each stream into out[0..3]. A call always
    // starts a new block: the rest of a block not taken is dropped.
    void squeeze(std::uint8_t* const out[4], std::size_t n);

private:
    alignas(32) std::uint64_t state_[25 * 4];  // word i of stream l at 4 i + l
    std::size_t rate_;
};

}  // namespace velmora::crypto::mlkem768
