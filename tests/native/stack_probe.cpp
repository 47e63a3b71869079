// _stack_probe (test-only): how a call into the module treats the stack it is
// called on. For deepest_writes the region below this module's frame is filled
// with a canary, the callable runs, and the region is read back.
//
// deepest_writes(fn, *args, **kwargs) -> (changed, raised)
//   changed   bytes from the top of the region to its deepest byte that is no
//             longer the canary;
//   raised    whether fn raised (the exception is dropped).
//
// on_bare_stack(fn, stack_bytes, used_bytes) -> (canary_intact, raised)
//   runs fn() on a new thread whose stack the caller supplied
//   (pthread_attr_setstack: no guard page), after using `used_bytes` of it;
//   the stack sits directly above a canary-filled area of the same mapping,
//   which is checked afterwards: anything written below the stack lands there.
//   The mapping stays until the next call, so that a scan of the process's
//   memory (tests/test_residue.py) reads what the call left on that stack.
//
// on_carved_stack(stack_bytes, fn, *args, **kwargs) -> (frames_intact, raised)
//   runs fn(*args, **kwargs) as a coroutine does in C coroutine libraries: on a
//   stack carved out of a local array of an outer frame, entered with
//   swapcontext, while the frame that switched lies below that array on the
//   thread's stack, holding a canary that is checked afterwards.
//
// on_small_thread(stack_bytes, fn, *args, **kwargs) -> (raised, stack_bytes)
//   runs fn(*args, **kwargs) on a new thread with that stack size (0: the
//   smallest the C library allows), straight from C, with no Python frame.
//
// abort_soon(microseconds)
//   a thread that is not the interpreter's waits that long, then aborts the
//   process (a core dump taken while the interpreter's threads are wherever
//   they happen to be, inside a call that holds the interpreter lock too).
//
// own_stack_use(module_path) -> (deepest, declared) or None
//   from the copy of the module built without the wipe: how deep the last
//   call's work wrote into the own stack, and the depth that call declared;
//   both are reset to 0 by reading them. None for a module without the
//   measuring stand-in.
#include "testmod.h"  // Python.h first

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr std::size_t REGION_BYTES = 512 * 1024;
constexpr std::uint8_t CANARY = 0xA7;

struct Region {
    std::uint8_t* lo;
    std::uint8_t* hi;
};

// Fills a region of dead stack below the caller and returns where it was.
[[gnu::noinline]] Region fill_below() {
    std::uint8_t area[REGION_BYTES];
    std::memset(area, CANARY, sizeof area);
    __asm__ volatile("" : : "r"(area) : "memory");
    return {area, area + sizeof area};
}

// Reads the region back: how far below its top the deepest change lies.
// Its top is where this frame now sits, which is why only the deepest change
// is looked for.
[[gnu::noinline]] std::size_t scan(Region r) {
    const volatile std::uint8_t* p = r.lo;
    const std::size_t n = static_cast<std::size_t>(r.hi - r.lo);
    std::size_t i = 0;
    while (i < n && p[i] == CANARY) ++i;
    return n - i;
}

PyObject* deepest_writes(PyObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_TypeError, "deepest_writes(fn, *args, **kwargs)");
        return nullptr;
    }
    PyObject* fn = PyTuple_GET_ITEM(args, 0);
    PyObject* rest = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
    if (!rest) return nullptr;

    const Region region = fill_below();
    PyObject* result = PyObject_Call(fn, rest, kwargs);
    // Nothing is freed before the scan: a destructor would write deeper still.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const std::size_t changed = scan(region);

    Py_XDECREF(result);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    Py_DECREF(rest);
    PyObject* raised = result ? Py_False : Py_True;
    return Py_BuildValue("nO", static_cast<Py_ssize_t>(changed), raised);
}

constexpr std::size_t BARE_CANARY_BYTES = 64 * 1024;
void* g_kept = nullptr;  // the last call's mapping
std::size_t g_kept_bytes = 0;

struct BareRun {
    PyObject* fn;
    std::size_t used;
    bool raised = false;
};

// Uses `left` bytes of stack in frames of at most 1 KiB, then calls fn.
[[gnu::noinline]] void use_then_call(BareRun* run, std::size_t left) {
    if (left >= 1024) {
        volatile std::uint8_t frame[1024];
        frame[0] = 1;
        use_then_call(run, left - 1024);
        __asm__ volatile("" : : "r"(frame) : "memory");
        return;
    }
    PyGILState_STATE g = PyGILState_Ensure();
    PyObject* result = PyObject_CallNoArgs(run->fn);
    run->raised = result == nullptr;
    if (!result) PyErr_Clear();
    Py_XDECREF(result);
    PyGILState_Release(g);
}

void* bare_thread(void* arg) {
    auto* run = static_cast<BareRun*>(arg);
    use_then_call(run, run->used);
    return nullptr;
}

PyObject* on_bare_stack(PyObject*, PyObject* args) {
    PyObject* fn;
    Py_ssize_t stack_bytes, used;
    if (!PyArg_ParseTuple(args, "Onn", &fn, &stack_bytes, &used)) return nullptr;
    if (stack_bytes < 16384 || stack_bytes % 4096 || used < 0 || used >= stack_bytes) {
        PyErr_SetString(PyExc_ValueError, "bad sizes");
        return nullptr;
    }
    const std::size_t total = BARE_CANARY_BYTES + static_cast<std::size_t>(stack_bytes);
    void* map = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
    auto* base = static_cast<std::uint8_t*>(map);
    std::memset(base, CANARY, BARE_CANARY_BYTES);
    BareRun run{fn, static_cast<std::size_t>(used)};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, base + BARE_CANARY_BYTES, static_cast<std::size_t>(stack_bytes));
    pthread_t thread;
    int err;
    Py_BEGIN_ALLOW_THREADS err = pthread_create(&thread, &attr, bare_thread, &run);
    if (err == 0) pthread_join(thread, nullptr);
    Py_END_ALLOW_THREADS pthread_attr_destroy(&attr);
    std::size_t touched = 0;
    for (std::size_t i = 0; i < BARE_CANARY_BYTES; ++i) touched += base[i] != CANARY;
    if (g_kept) munmap(g_kept, g_kept_bytes);
    g_kept = map;
    g_kept_bytes = total;
    if (err != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return Py_BuildValue("OO", touched == 0 ? Py_True : Py_False, run.raised ? Py_True : Py_False);
}

// --- carved coroutine stacks and small threads ----------------------------------

struct Callable {
    PyObject* fn;
    PyObject* args;  // a tuple
    PyObject* kwargs;
    bool raised = false;
};

// Splits (n, fn, *args) with **kwargs into n and the call.
bool parse_call(PyObject* args, PyObject* kwargs, Py_ssize_t* n, Callable* c) {
    if (PyTuple_GET_SIZE(args) < 2) {
        PyErr_SetString(PyExc_TypeError, "expected (stack_bytes, fn, *args, **kwargs)");
        return false;
    }
    *n = PyLong_AsSsize_t(PyTuple_GET_ITEM(args, 0));
    if (*n == -1 && PyErr_Occurred()) return false;
    c->fn = PyTuple_GET_ITEM(args, 1);
    c->args = PyTuple_GetSlice(args, 2, PyTuple_GET_SIZE(args));
    c->kwargs = kwargs;
    return c->args != nullptr;
}

void call_dropping_error(Callable* c) {
    PyObject* result = PyObject_Call(c->fn, c->args, c->kwargs);
    c->raised = result == nullptr;
    if (!result) PyErr_Clear();
    Py_XDECREF(result);
}

constexpr std::size_t CARVED_CANARY_BYTES = 16 * 1024;
constexpr std::size_t CARVED_MAX = 64 * 1024;
ucontext_t g_outer, g_coroutine;
Callable* g_carved_call = nullptr;

void coroutine_entry() {
    call_dropping_error(g_carved_call);
    swapcontext(&g_coroutine, &g_outer);
}

// The frame that switches: its canary lies below the carved stack, as the
// frames of whatever the outer code called do in a coroutine library.
[[gnu::noinline]] bool switch_and_check(std::uint8_t* stack, std::size_t n) {
    volatile std::uint8_t canary[CARVED_CANARY_BYTES];
    for (auto& b : canary) b = CANARY;
    getcontext(&g_coroutine);
    g_coroutine.uc_stack.ss_sp = stack;
    g_coroutine.uc_stack.ss_size = n;
    g_coroutine.uc_link = nullptr;
    makecontext(&g_coroutine, coroutine_entry, 0);
    swapcontext(&g_outer, &g_coroutine);
    bool intact = true;
    for (auto& b : canary) intact = intact && b == CANARY;
    return intact;
}

PyObject* on_carved_stack(PyObject*, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n;
    Callable call{};
    if (!parse_call(args, kwargs, &n, &call)) return nullptr;
    if (n < 8192 || static_cast<std::size_t>(n) > CARVED_MAX || n % 16) {
        Py_DECREF(call.args);
        PyErr_SetString(PyExc_ValueError, "bad size");
        return nullptr;
    }
    // The outer frame's local array; the coroutine's stack is its low end, so
    // that the frame that switches (called from here) lies right below it.
    alignas(64) std::uint8_t area[CARVED_MAX];
    std::uint8_t* stack = area;
    g_carved_call = &call;
    const bool intact = switch_and_check(stack, static_cast<std::size_t>(n));
    __asm__ volatile("" : : "r"(area) : "memory");
    Py_DECREF(call.args);
    return Py_BuildValue("OO", intact ? Py_True : Py_False, call.raised ? Py_True : Py_False);
}

void* small_thread(void* arg) {
    auto* c = static_cast<Callable*>(arg);
    PyGILState_STATE g = PyGILState_Ensure();
    call_dropping_error(c);
    PyGILState_Release(g);
    return nullptr;
}

PyObject* on_small_thread(PyObject*, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n;
    Callable call{};
    if (!parse_call(args, kwargs, &n, &call)) return nullptr;
    std::size_t size = static_cast<std::size_t>(n);
    if (size == 0) {
        const long least = sysconf(_SC_THREAD_STACK_MIN);
        size = least > 0 ? static_cast<std::size_t>(least) : PTHREAD_STACK_MIN;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int err = pthread_attr_setstacksize(&attr, size);
    pthread_t thread;
    if (err == 0) {
        Py_BEGIN_ALLOW_THREADS err = pthread_create(&thread, &attr, small_thread, &call);
        if (err == 0) pthread_join(thread, nullptr);
        Py_END_ALLOW_THREADS
    }
    pthread_attr_destroy(&attr);
    Py_DECREF(call.args);
    if (err != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return Py_BuildValue("On", call.raised ? Py_True : Py_False, static_cast<Py_ssize_t>(size));
}

void* abort_later(void* arg) {
    const auto us = reinterpret_cast<std::uintptr_t>(arg);
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
    abort();
}

PyObject* abort_soon(PyObject*, PyObject* arg) {
    const Py_ssize_t us = PyLong_AsSsize_t(arg);
    if (us == -1 && PyErr_Occurred()) return nullptr;
    pthread_t thread;
    const int err = pthread_create(&thread, nullptr, abort_later,
                                   reinterpret_cast<void*>(static_cast<std::uintptr_t>(us)));
    if (err != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    pthread_detach(thread);
    Py_RETURN_NONE;
}

PyObject* own_stack_use(PyObject*, PyObject* arg) {
    const char* path = PyUnicode_AsUTF8(arg);
    if (!path) return nullptr;
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!handle) Py_RETURN_NONE;
    using Fn = void (*)(std::size_t*);
    auto fn = reinterpret_cast<Fn>(dlsym(handle, "velmora_unwiped_last_use"));
    dlclose(handle);
    if (!fn) Py_RETURN_NONE;
    std::size_t out[2];
    fn(out);
    return Py_BuildValue("nn", static_cast<Py_ssize_t>(out[0]), static_cast<Py_ssize_t>(out[1]));
}

PyMethodDef METHODS[] = {
    {"on_carved_stack", testmod::method(on_carved_stack), METH_VARARGS | METH_KEYWORDS,
     "on_carved_stack(stack_bytes, fn, *args, **kwargs)"},
    {"on_small_thread", testmod::method(on_small_thread), METH_VARARGS | METH_KEYWORDS,
     "on_small_thread(stack_bytes, fn, *args, **kwargs)"},
    {"own_stack_use", own_stack_use, METH_O, "own_stack_use(module_path)"},
    {"abort_soon", abort_soon, METH_O, "abort_soon(microseconds)"},
    {"on_bare_stack", on_bare_stack, METH_VARARGS, "on_bare_stack(fn, stack_bytes, used_bytes)"},
    {"deepest_writes", testmod::method(deepest_writes), METH_VARARGS | METH_KEYWORDS,
     "deepest_writes(fn, *args, **kwargs)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

VELMORA_TEST_MODULE(_stack_probe, nullptr, METHODS)
