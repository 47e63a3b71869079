// The own stacks' mappings, their pool, and the switches in and out, with what
// the address sanitizer and valgrind need to be told about them.
#include "locked/own_stack.h"

#include <errno.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "contract.h"
#include "crypto/ct.h"
#include "fork_generation.h"
#include "locked/capability.h"
#include "locked/policy.h"
#include "locked/stack_switch.h"
#include "zeroize.h"

#if defined(VELMORA_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

#ifndef MADV_WIPEONFORK
#define MADV_WIPEONFORK 18
#endif
#ifndef MADV_DONTDUMP
#define MADV_DONTDUMP 16
#endif
#ifndef AT_MINSIGSTKSZ
#define AT_MINSIGSTKSZ 51
#endif

namespace velmora::own_stack {

// One mapping: guard page, data area, guard page. The record itself lives in
// ordinary memory: it holds no secret, and a fork child needs it to unmap the
// parent's copy the kernel emptied.
struct Stack {
    std::uint8_t* base;
    std::size_t map_len;
    std::uint8_t* lo;           // lowest usable address (above the marker)
    std::uint8_t* top;          // highest address (exclusive): the stack pointer at entry
    std::uint8_t* locked_from;  // the locked part is [locked_from, top)
    bool lock_refused;          // best-effort only: mlock failed, not tried again
    std::uint32_t generation;   // fork generation of the process that made it
    unsigned valgrind_id;       // valgrind's number for the stack (crypto/ct.h)
};

namespace {

constinit thread_local Operation* t_current [[gnu::tls_model("initial-exec")]] = nullptr;

std::atomic<Stack*> g_idle[IDLE_STACKS];
std::atomic<std::size_t> g_stacks{0};
std::atomic<std::size_t> g_caching{0};  // threads that keep a stack between calls

#if defined(VELMORA_ASAN)
// The sanitizer's frames carry red zones on every side: the same operations
// need several times the stack, and the declared depths (measured without it)
// say nothing; its builds lock and wipe the whole stack.
constexpr std::size_t FRAME_GROWTH = 4;
constexpr bool WHOLE_STACK = true;
#else
constexpr std::size_t FRAME_GROWTH = 1;
constexpr bool WHOLE_STACK = false;
#endif
constexpr std::size_t WORK_BYTES = FRAME_GROWTH * stack_wipe::depth::DEEPEST;

std::size_t round_up(std::size_t n, std::size_t page) { return (n + page - 1) / page * page; }

// What the frames of a call left on a stack is dead once the call is over, and
// the tools say so: valgrind marks it inaccessible as the frames return, the
// address sanitizer may leave red zones poisoned. The wipe and the release
// write there from the thread's stack, so the area is made ordinary memory
// again first (nothing in the shipped build).
void make_writable(std::uint8_t* from, std::size_t n) {
    ct::make_stack_writable(from, n);
#if defined(VELMORA_ASAN)
    __asan_unpoison_memory_region(from, n);
#endif
}

// Room below the deepest frame for one signal: the largest frame the kernel
// may push on this processor (AVX-512 state is some 3.5 KiB, AMX tiles add
// 8 KiB; the kernel reports the size in the auxiliary vector), and the
// handler's own frames. Read from the auxiliary vector (no system call) when
// the module is loaded.
std::size_t signal_room() {
    std::size_t frame = getauxval(AT_MINSIGSTKSZ);
    if (frame < 2048) frame = 12 * 1024;  // a kernel that does not say
    return frame + 4096;
}

const std::size_t g_signal_room = signal_room();

// Locks [from, stack->locked_from) as well, under the lock policy: under
// best-effort a stack whose pages cannot be locked is used unlocked (it is
// not a secret that outlives the call, and it is not counted among them), and
// that stack does not try again (a failing mlock on every call would cost a
// system call each); under require the call is refused.
[[gnu::noinline]] Status lock_down_to(Stack* s, std::uint8_t* from) {
    const std::size_t page = page_size();
    from = s->base + page + (static_cast<std::size_t>(from - (s->base + page)) / page * page);
    make_ipc_lock_effective();
    if (mlock(from, static_cast<std::size_t>(s->locked_from - from)) != 0) {
        const int err = errno;
        if (lock_policy() == LockPolicy::Require) return EnclaveError::lock_required(err);
        s->lock_refused = true;
        return {};
    }
    s->locked_from = from;
    return {};
}

void release(Stack* s) noexcept {
    const std::size_t page = page_size();
    std::uint8_t* data = s->base + page;
    const std::size_t data_len = s->map_len - 2 * page;
    ct::deregister_stack(s->valgrind_id);
    if (s->generation == fork_generation()) {
        make_writable(data, data_len);
        secure_zero(data, data_len);
    }
    munmap(s->base, s->map_len);  // also ends the page lock
    g_stacks.fetch_sub(1, std::memory_order_relaxed);
    delete s;
}

Result<Stack*> make_stack() noexcept {
    const std::size_t page = page_size();
    const std::size_t data_len = round_up(WORK_BYTES + g_signal_room + 64, page);
    const std::size_t map_len = data_len + 2 * page;
    auto* s = new (std::nothrow) Stack{};
    if (s == nullptr) return ErrorKind::AllocationFailed;
    void* p = mmap(nullptr, map_len, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED || p == nullptr) {
        delete s;
        return ErrorKind::AllocationFailed;
    }
    auto* base = static_cast<std::uint8_t*>(p);
    std::uint8_t* data = base + page;
    if (mprotect(data, data_len, PROT_READ | PROT_WRITE) != 0) {
        munmap(base, map_len);
        delete s;
        return ErrorKind::AllocationFailed;
    }
    madvise(data, data_len, MADV_DONTDUMP);
    madvise(data, data_len, MADV_WIPEONFORK);
    std::memcpy(data, &STACK_MARKER, sizeof STACK_MARKER);
    *s = Stack{base,  map_len,           data + 16, data + data_len, data + data_len,
               false, fork_generation(), 0};
    s->valgrind_id = ct::register_stack(s->lo, s->top);
    g_stacks.fetch_add(1, std::memory_order_relaxed);
    return s;
}

Stack* take_idle() noexcept {
    for (auto& slot : g_idle) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        Stack* s = slot.exchange(nullptr, std::memory_order_acquire);
        if (s == nullptr) continue;
        // In a fork child the kernel emptied the parent's stacks and they are
        // no longer locked: the child makes its own.
        if (s->generation != fork_generation()) {
            release(s);
            continue;
        }
        return s;
    }
    return nullptr;
}

// (A stack in use is never the parent's: a fork copies only the thread that
// called it, which was not inside an operation's work then.)
void give_back(Stack* s) noexcept {
    for (auto& slot : g_idle) {
        Stack* expected = nullptr;
        if (slot.compare_exchange_strong(expected, s, std::memory_order_release,
                                         std::memory_order_relaxed))
            return;
    }
    release(s);
}

// The stack a thread keeps between its calls, given back when it ends.
struct ThreadCache {
    Stack* stack = nullptr;
    bool caching = false;  // this thread holds one of the CACHING_THREADS places
    bool asked = false;
    ~ThreadCache() {
        if (stack != nullptr) give_back(stack);
        if (caching) g_caching.fetch_sub(1, std::memory_order_relaxed);
    }
    // Whether this thread may keep a stack: asked once per thread.
    bool may_keep() {
        if (caching || asked) return caching;
        asked = true;
        if (g_caching.fetch_add(1, std::memory_order_relaxed) < CACHING_THREADS) {
            caching = true;
        } else {
            g_caching.fetch_sub(1, std::memory_order_relaxed);
        }
        return caching;
    }
};

constinit thread_local ThreadCache t_cache [[gnu::tls_model("initial-exec")]];

}  // namespace

Operation::Operation(std::size_t depth) noexcept : depth_(depth), outer_(t_current) {
    t_current = this;
}

Operation::~Operation() {
    VELMORA_EXPECT(!on_own_, "an operation ended while on its own stack");
    if (stack_ != nullptr) {
        make_writable(stack_->lo, static_cast<std::size_t>(stack_->top - stack_->lo));
        stack_wipe::wipe_used(stack_->lo, stack_->top, WHOLE_STACK ? SIZE_MAX : depth_);
        if (t_cache.stack == nullptr && t_cache.may_keep())
            t_cache.stack = stack_;
        else
            give_back(stack_);
    } else {
        // No work ran on an own stack, whose every exit clears the registers;
        // the glue may still have copied a caller's secret through them.
        stack_wipe::clear_vector_registers();
    }
    t_current = outer_;
}

Operation* Operation::current() noexcept { return t_current; }

bool active() noexcept {
    const Operation* op = t_current;
    return op != nullptr && op->on_own_stack();
}

Status Operation::acquire() noexcept {
    Stack* s = std::exchange(t_cache.stack, nullptr);
    if (s != nullptr && s->generation != fork_generation()) {
        release(s);  // the parent's, emptied in this fork child
        s = nullptr;
    }
    if (s == nullptr) s = take_idle();
    if (s == nullptr) {
        auto made = make_stack();
        if (!made) return made.error();
        s = *made;
    }
    // The locked part must reach as deep as this call's work and a signal
    // frame below it.
    const std::size_t need = WHOLE_STACK ? SIZE_MAX : depth_ + g_signal_room;
    const auto room = static_cast<std::size_t>(s->top - s->lo);
    std::uint8_t* from = s->top - (need < room ? need : room);
    if (from < s->locked_from && !s->lock_refused) {
        if (Status locked = lock_down_to(s, from); !locked) {
            give_back(s);
            return locked;
        }
    }
    stack_wipe::on_take(s->lo, s->top);
    stack_ = s;
    return {};
}

void Operation::switch_in(void* call, void (*fn)(void*)) noexcept {
#if defined(VELMORA_ASAN)
    void* fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, stack_->lo,
                                   static_cast<std::size_t>(stack_->top - stack_->lo));
#endif
    on_own_ = true;
    velmora_stack_switch(call, fn, stack_->top, &thread_sp_);
    on_own_ = false;
#if defined(VELMORA_ASAN)
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
}

void Operation::switch_out(void* call, void (*fn)(void*)) noexcept {
    // The interpreter may take a signal on the thread's stack: nothing of the
    // work may be in the registers the kernel would save there.
    stack_wipe::clear_vector_registers();
#if defined(VELMORA_ASAN)
    void* fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, thread_bottom_, thread_size_);
#endif
    // Below everything the thread's stack holds, aligned as a call expects.
    auto* top = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(thread_sp_) & ~15ULL);
    void* own_sp = nullptr;
    on_own_ = false;
    velmora_stack_switch(call, fn, top, &own_sp);
    on_own_ = true;
#if defined(VELMORA_ASAN)
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
}

#if defined(VELMORA_ASAN)
void Operation::arrived_slow() noexcept {
    // What frames of an earlier call left poisoned is stale now.
    __asan_unpoison_memory_region(stack_->lo, static_cast<std::size_t>(stack_->top - stack_->lo));
    __sanitizer_finish_switch_fiber(nullptr, &thread_bottom_, &thread_size_);
}

void Operation::leaving_slow() noexcept {
    __sanitizer_start_switch_fiber(nullptr, thread_bottom_, thread_size_);
}

void Operation::arrived_back_slow() noexcept {
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
}

void Operation::leaving_back_slow() noexcept {
    __sanitizer_start_switch_fiber(nullptr, stack_->lo,
                                   static_cast<std::size_t>(stack_->top - stack_->lo));
}
#endif

Census census() noexcept {
    std::size_t idle = 0;
    for (auto& slot : g_idle) idle += slot.load(std::memory_order_relaxed) != nullptr;
    return Census{g_stacks.load(std::memory_order_relaxed), idle};
}

}  // namespace velmora::own_stack
