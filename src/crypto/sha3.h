// SHA3-256, SHA3-512, SHAKE128 and SHAKE256 (FIPS 202) from OpenSSL's libcrypto.
//
// A Sha3 object owns one library digest context and reuses it for every call
// made through it. Each call starts the context afresh from a per-process
// template; the library then releases the previous Keccak state (its lanes and
// its buffered input) with OPENSSL_clear_free, and does so again when the
// object is destroyed or wipe() is called. After a sequence of calls over
// secret input, the last state is gone once the object is.
//
// The library only fails these calls when it cannot allocate its small
// per-call state. There is no sensible partial result to return then, so the
// process is aborted rather than letting a caller go on with unset bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

struct evp_md_ctx_st;

namespace velmora::crypto {

using ByteView = std::span<const std::uint8_t>;

class Sha3 {
public:
    Sha3();
    ~Sha3();
    Sha3(const Sha3&) = delete;
    Sha3& operator=(const Sha3&) = delete;

    // Each hashes the concatenation of `parts`.
    void sha3_256(std::initializer_list<ByteView> parts, std::uint8_t out[32]);
    void sha3_512(std::initializer_list<ByteView> parts, std::uint8_t out[64]);
    void shake128(std::initializer_list<ByteView> parts, std::uint8_t* out, std::size_t out_len);
    void shake256(std::initializer_list<ByteView> parts, std::uint8_t* out, std::size_t out_len);

    // Cleanses the Keccak state of the last call now; the object stays usable.
    void wipe();

private:
    evp_md_ctx_st* ctx_;
};

// SHAKE128 as a stream of 168-byte blocks, for rejection sampling where the
// amount of output needed is not known in advance. The input is kept (it must
// be at most 64 bytes and is treated as public). libcrypto 3.0 can finalise an
// XOF only once, so the stream squeezes `initial_blocks` blocks up front and,
// in the rare case a reader wants more, squeezes a longer prefix again from
// the kept input: the output of an XOF does not depend on its length.
class Shake128Stream {
public:
    static constexpr std::size_t BLOCK_BYTES = 168;

    Shake128Stream(Sha3& sha3, ByteView input, std::size_t initial_blocks);
    // The next block of output; valid until the following call.
    const std::uint8_t* next_block();

private:
    static constexpr std::size_t INPUT_CAPACITY = 64;
    static constexpr std::size_t INLINE_BLOCKS = 4;

    Sha3& sha3_;
    std::uint8_t input_[INPUT_CAPACITY];
    std::size_t input_len_;
    std::size_t available_;  // blocks squeezed so far
    std::size_t next_ = 0;   // index of the next block to hand out
    std::uint8_t* out_;      // buf_ or long_.data()
    std::uint8_t buf_[INLINE_BLOCKS * BLOCK_BYTES];
    std::vector<std::uint8_t> long_;  // only when a reader outruns buf_
};

}  // namespace velmora::crypto
