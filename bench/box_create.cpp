// Native side of the box-creation benchmark: what creating and releasing a
// 32-byte secret costs below the interpreter.
//
//   box_create [iterations] [rounds] [cpu]
//
// Prints one JSON object per line, {"name": ..., "ns": best ns per create+release}:
//   syscalls  the floor: the eight-call sequence a region once took: mmap
//             read-write, 2 mprotect for the guard pages, 2 madvise, mlock,
//             munlock, munmap (and writing the 8-byte marker)
//   six_calls the six a region takes now: mmap PROT_NONE, one mprotect
//             opening the data pages, 2 madvise, mlock, munmap
//   sodium    sodium_malloc(32) + sodium_free
//   region    LockedRegion::allocate(32) + release (zeroing included)
//   region_random  the same plus filling the secret from the OS random source,
//             i.e. everything SecretBox.random does apart from the Python object
// With "cpu" the times are the thread's CPU time (user and kernel) rather than
// wall-clock time.
#include <sodium.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/os_random.h"
#include "locked/region.h"
#include "alternating_cases.h"

#ifndef MADV_WIPEONFORK
#define MADV_WIPEONFORK 18
#endif

namespace {

const std::size_t PAGE_BYTES = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

void bare_sequence() {
    const std::size_t data_len = PAGE_BYTES, map_len = data_len + 2 * PAGE_BYTES;
    void* p = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    auto* base = static_cast<std::uint8_t*>(p);
    std::uint8_t* data = base + PAGE_BYTES;
    mprotect(base, PAGE_BYTES, PROT_NONE);
    mprotect(data + data_len, PAGE_BYTES, PROT_NONE);
    madvise(data, data_len, MADV_DONTDUMP);
    madvise(data, data_len, MADV_WIPEONFORK);
    if (mlock(data, data_len) != 0) std::abort();
    const std::uint64_t marker = velmora::REGION_MARKER;
    std::memcpy(data, &marker, sizeof marker);
    __asm__ volatile("" : : "r"(data) : "memory");
    munlock(data, data_len);
    munmap(base, map_len);
}

void six_calls() {
    const std::size_t data_len = PAGE_BYTES, map_len = data_len + 2 * PAGE_BYTES;
    void* p = mmap(nullptr, map_len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    std::uint8_t* data = static_cast<std::uint8_t*>(p) + PAGE_BYTES;
    mprotect(data, data_len, PROT_READ | PROT_WRITE);
    madvise(data, data_len, MADV_DONTDUMP);
    madvise(data, data_len, MADV_WIPEONFORK);
    if (mlock(data, data_len) != 0) std::abort();
    const std::uint64_t marker = velmora::REGION_MARKER;
    std::memcpy(data, &marker, sizeof marker);
    __asm__ volatile("" : : "r"(data) : "memory");
    munmap(p, map_len);
}

void sodium_case() {
    void* p = sodium_malloc(32);
    if (!p) std::abort();
    __asm__ volatile("" : : "r"(p) : "memory");
    sodium_free(p);
}

void region_case() {
    auto r = velmora::LockedRegion::allocate(32);
    if (!r) std::abort();
}

void region_random_case() {
    auto r = velmora::LockedRegion::allocate(32);
    if (!r) std::abort();
    velmora::Status s =
        r->view_mut([](std::span<std::uint8_t> b) { return velmora::crypto::os_random(b); });
    if (!s) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 20000;
    const long rounds = argc > 2 ? std::atol(argv[2]) : 7;
    const clockid_t clock =
        argc > 3 && std::strcmp(argv[3], "cpu") == 0 ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
    if (sodium_init() < 0) return 1;

    bench::Case cases[] = {
        {"syscalls", bare_sequence},
        {"six_calls", six_calls},
        {"sodium", sodium_case},
        {"region", region_case},
        {"region_random", region_random_case},
    };
    for (bench::Case& c : cases) {  // warm up: first-use initialisation, page tables
        for (long i = 0; i < iterations / 10 + 1; ++i) c.run();
    }
    bench::run_alternating(cases, iterations, rounds, clock);
    return 0;
}
