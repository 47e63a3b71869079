// The aarch64 stack switch on its own: fn runs on the given stack with its
// argument, the caller's stack pointer is reported, and the caller's
// callee-saved registers come back as they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#if defined(__aarch64__)

extern "C" void velmora_stack_switch(void* arg, void (*fn)(void*), void* top,
                                     void** origin) noexcept;

namespace {

struct Seen {
    std::uintptr_t sp = 0;
    std::uint64_t x19 = 1, d8 = 1;
    int calls = 0;
};

void record(void* arg) {
    auto* seen = static_cast<Seen*>(arg);
    std::uintptr_t sp;
    std::uint64_t x19, d8;
    __asm__ volatile("mov %0, sp\n\tmov %1, x19\n\tfmov %2, d8" : "=r"(sp), "=r"(x19), "=r"(d8));
    seen->sp = sp;
    seen->x19 = x19;
    seen->d8 = d8;
    ++seen->calls;
}

TEST(StackSwitch, RunsOnTheGivenStackAndRestoresTheCallers) {
    std::vector<std::uint8_t> stack(64 * 1024);
    auto* top = reinterpret_cast<void*>(
        (reinterpret_cast<std::uintptr_t>(stack.data()) + stack.size()) & ~std::uintptr_t{15});
    Seen seen;
    void* origin = nullptr;
    std::uintptr_t caller_sp;
    std::uint64_t x19_after, d8_after;
    // The caller's own x19 and d8 hold known values across the switch.
    __asm__ volatile(
        "mov x19, #0x1234\n\t"
        "mov x9, #0x5678\n\t"
        "fmov d8, x9\n\t"
        "mov %[csp], sp\n\t"
        "mov x0, %[arg]\n\t"
        "mov x1, %[fn]\n\t"
        "mov x2, %[top]\n\t"
        "mov x3, %[origin]\n\t"
        "bl velmora_stack_switch\n\t"
        "mov %[x19], x19\n\t"
        "fmov %[d8], d8"
        : [csp] "=&r"(caller_sp), [x19] "=r"(x19_after), [d8] "=r"(d8_after)
        : [arg] "r"(&seen), [fn] "r"(&record), [top] "r"(top), [origin] "r"(&origin)
        : "x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9", "x10", "x11", "x12", "x13",
          "x14", "x15", "x16", "x17", "x19", "x30", "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7",
          "v8", "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23", "v24", "v25", "v26", "v27",
          "v28", "v29", "v30", "v31", "cc", "memory");
    EXPECT_EQ(seen.calls, 1);
    EXPECT_GE(seen.sp, reinterpret_cast<std::uintptr_t>(stack.data()));
    EXPECT_LE(seen.sp, reinterpret_cast<std::uintptr_t>(top));  // a leaf may keep no frame
    EXPECT_EQ(seen.x19, 0u) << "the caller's x19 was visible to fn";
    EXPECT_EQ(seen.d8, 0u) << "the caller's d8 was visible to fn";
    EXPECT_EQ(x19_after, 0x1234u);
    EXPECT_EQ(d8_after, 0x5678u);
    // The switch's frame (160 bytes) lies just below the caller's stack pointer.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(origin), caller_sp - 160);
}

}  // namespace

#endif
