// Stands in for src/locked/stack_wipe.cpp in the _secure_unwiped build: the same
// entry points, but nothing is wiped and no register is cleared. Instead it
// measures how deep each call's work writes into the own stack: when a call
// takes a stack, the stack is filled with a canary, and where the call would
// be wiped the deepest byte that is no longer the canary is found. What the
// work left stays there until the next call takes the stack, for the scan of
// tests/test_residue.py to find, and a known text is planted just below the
// top: the scan must find it there, or it does not read the own stacks. The
// last call's figures are read by _stack_probe (tests/test_stack_depth.py)
// through velmora_unwiped_last_use.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "locked/stack_wipe.h"

namespace {

constexpr std::uint8_t CANARY = 0xA7;
constexpr char PLANTED[] = "own stack: planted for the scan!";  // 32 bytes and a NUL
std::size_t g_deepest = 0;   // bytes below the top the last call changed
std::size_t g_declared = 0;  // the depth it declared

}  // namespace

namespace velmora::stack_wipe {

void clear_vector_registers() noexcept {}

void on_take(std::uint8_t* lo, std::uint8_t* top) noexcept {
    std::memset(lo, CANARY, static_cast<std::size_t>(top - lo));
}

void wipe_used(std::uint8_t* lo, std::uint8_t* top, std::size_t n) noexcept {
    const auto size = static_cast<std::size_t>(top - lo);
    std::size_t i = 0;
    while (i < size && lo[i] == CANARY) ++i;
    g_deepest = size - i;
    g_declared = n;
    std::memcpy(top - 64, PLANTED, sizeof PLANTED - 1);
}

}  // namespace velmora::stack_wipe

// (deepest write below the stack's top, declared depth) of the last call that
// used an own stack; both read as 0 until another call uses one.
extern "C" [[gnu::visibility("default")]] void velmora_unwiped_last_use(std::size_t out[2]) {
    out[0] = g_deepest;
    out[1] = g_declared;
    g_deepest = g_declared = 0;
}
