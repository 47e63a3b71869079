// The module's own stacks: every operation's core work (everything that
// touches a secret, library calls included) runs on a stack that is a locked
// mapping of the module's own, never on the caller's.
//
// Each stack is one anonymous mapping: a guard page below and above, the rest
// advised MADV_DONTDUMP and MADV_WIPEONFORK and page-locked under the lock
// policy like a box (locked/policy.h), so the working state of an operation
// in flight (key schedules, hash states, X25519 and ML-KEM intermediates,
// derived keys) never reaches swap, a core dump or a fork child. Stacks are
// not counted among the live secrets: they hold none once an operation is
// over.
//
// One Operation per call into the module (made at the interpreter boundary,
// py/secure_error.h) takes a stack on its first `run` and gives it back at its
// end, the part it used zeroed (stack_wipe.h). Stacks are shared through a
// small pool rather than kept per thread: a per-thread stack sized for the
// deepest operation would lock some 48 KiB for every thread that ever called
// in, and 64 threads would take over a third of an 8 MiB RLIMIT_MEMLOCK from
// the boxes. The pool keeps at most IDLE_STACKS stacks between calls; a call
// that finds none free makes one (and gives it back to the pool, or releases
// it when the pool is full). The first CACHING_THREADS threads to call in
// keep the stack they last used between their calls instead, until they end:
// a call then takes no shared lock of any kind (two atomic exchanges cost
// more than the switch itself). A stack also locks only as much of itself as
// the deepest operation that has used it needs, so the stacks cost the lock
// budget of the operations actually run.
//
// What runs on the own stack must not call the interpreter: CPython 3.14 and
// later check C-stack use against the thread's own bounds, and releasing or
// retaking the interpreter lock there would be a call from a foreign stack.
// So argument conversion and result wrapping stay on the thread's stack, and
// the few things that must call the interpreter in the middle of an operation
// (an output sink that allocates the result object) go back to it with
// `on_thread_stack`. Releasing the interpreter lock while on the own stack is
// a broken contract (py/interpreter_lock.h checks it).
//
// The switch itself is locked/stack_switch.h; the sanitizers and valgrind
// are told of it (own_stack.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "error/error.h"
#include "locked/stack_wipe.h"

// The address sanitizer's builds (GCC says so one way, Clang another).
#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_ASAN 1
#endif
#endif

namespace velmora::own_stack {

// How many stacks the pool keeps between calls, and how many threads keep
// one of their own between calls.
inline constexpr std::size_t IDLE_STACKS = 4;
inline constexpr std::size_t CACHING_THREADS = 4;

// First 8 bytes of every own stack's data area (its lowest address): how a scan
// of the process's memory tells the own stacks from the boxes
// (tests/test_residue.py), and gone in a fork child, whose copy the kernel
// zero-filled.
inline constexpr std::uint64_t STACK_MARKER = 0x57AC4ED0C0DE5EC5ULL;

struct Stack;

// One call's use of an own stack. Made on the thread's stack; nested calls
// (the interpreter calling back into the module) make their own.
class Operation {
public:
    // `depth`: how much of the stack's top the call's work may use; zeroed at
    // the end.
    explicit Operation(std::size_t depth = stack_wipe::depth::DEFAULT) noexcept;
    // Zeroes the used part of the stack and gives it back; a call that took
    // none clears the vector registers instead (every exit from an own stack
    // does).
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // The current thread's innermost Operation, or null.
    static Operation* current() noexcept;

    // Whether the code calling this runs on an own stack.
    bool on_own_stack() const noexcept { return on_own_; }

    // Runs f() -> R (a Status or Result<T>) on the own stack; fails with the
    // error of making or locking one. An exception thrown by f is carried over
    // and rethrown on the caller's stack.
    template <class F>
    std::invoke_result_t<F&> run(F& f);

    // Runs f() on the thread's stack when called on the own stack (else just
    // calls it).
    template <class F>
    std::invoke_result_t<F&> on_thread_stack(F& f);

private:
    template <class F, class R>
    struct Call {
        F* f;
        Operation* op;
        std::optional<R> result;
        std::exception_ptr error;
    };
    template <class F, class R>
    static void enter(void* p) noexcept;
    template <class F, class R>
    static void visit_thread(void* p) noexcept;

    Status acquire() noexcept;
    void switch_in(void* call, void (*fn)(void*)) noexcept;
    void switch_out(void* call, void (*fn)(void*)) noexcept;

    // Around each switch: the address sanitizer is told of the stacks (its
    // fiber annotations), and the vector registers are cleared on the way out
    // of the own stack. Nothing else in the shipped build.
#if defined(VELMORA_ASAN)
    void arrived_slow() noexcept;
    void leaving_slow() noexcept;
    void arrived_back_slow() noexcept;
    void leaving_back_slow() noexcept;
    void arrived() noexcept { arrived_slow(); }
    void leaving() noexcept {
        stack_wipe::clear_vector_registers();
        leaving_slow();
    }
    void arrived_back() noexcept { arrived_back_slow(); }
    void leaving_back() noexcept { leaving_back_slow(); }
#else
    void arrived() noexcept {}
    void leaving() noexcept { stack_wipe::clear_vector_registers(); }
    void arrived_back() noexcept {}
    void leaving_back() noexcept {}
#endif

    Stack* stack_ = nullptr;
    std::size_t depth_;
    Operation* outer_;
    bool on_own_ = false;
    void* thread_sp_ = nullptr;  // below the caller's frames while on the own stack
    // The thread stack's extent as the address sanitizer knows it (for the
    // switch back).
    const void* thread_bottom_ = nullptr;
    std::size_t thread_size_ = 0;
};

template <class F, class R>
void Operation::enter(void* p) noexcept {
    auto* c = static_cast<Call<F, R>*>(p);
    c->op->arrived();
    try {
        c->result.emplace((*c->f)());
    } catch (...) {
        c->error = std::current_exception();
    }
    c->op->leaving();
}

template <class F, class R>
void Operation::visit_thread(void* p) noexcept {
    auto* c = static_cast<Call<F, R>*>(p);
    c->op->arrived_back();
    try {
        c->result.emplace((*c->f)());
    } catch (...) {
        c->error = std::current_exception();
    }
    c->op->leaving_back();
}

template <class F>
std::invoke_result_t<F&> Operation::run(F& f) {
    using R = std::invoke_result_t<F&>;
    if (on_own_) return f();
    if (stack_ == nullptr) {
        if (Status s = acquire(); !s) return R(s.error());
    }
    Call<F, R> call{&f, this, std::nullopt, nullptr};
    switch_in(&call, &enter<F, R>);
    if (call.error) std::rethrow_exception(call.error);
    return std::move(*call.result);
}

template <class F>
std::invoke_result_t<F&> Operation::on_thread_stack(F& f) {
    using R = std::invoke_result_t<F&>;
    if (!on_own_) return f();
    Call<F, R> call{&f, this, std::nullopt, nullptr};
    switch_out(&call, &visit_thread<F, R>);
    if (call.error) std::rethrow_exception(call.error);
    return std::move(*call.result);
}

// Runs f() -> Status or Result<T> on an own stack, in the current call's
// Operation (or one of its own, with the default depth, outside any).
template <class F>
auto run(F&& f) -> std::invoke_result_t<F&> {
    if (Operation* op = Operation::current()) return op->run(f);
    Operation op;
    return op.run(f);
}

// Runs f() on the thread's stack if called on an own stack, else in place:
// for what must call the interpreter in the middle of an operation.
template <class F>
auto on_thread_stack(F&& f) -> std::invoke_result_t<F&> {
    Operation* op = Operation::current();
    if (op == nullptr) return f();
    return op->on_thread_stack(f);
}

// Whether the calling code runs on an own stack.
bool active() noexcept;

// For the tests and the benchmark: how many own stacks exist in this process
// now (in use or idle), and how many of those are idle in the pool.
struct Census {
    std::size_t stacks;
    std::size_t idle;
};
Census census() noexcept;

}  // namespace velmora::own_stack
