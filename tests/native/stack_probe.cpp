// _stack_probe (test-only): how deep below the caller a call writes into the
// stack. The region below this module's frame is filled with a canary, the
// callable runs, and the region is read back.
//
// deepest_writes(fn, *args, **kwargs) -> (changed, zero_run, boundary, wiped, raised)
//   changed   bytes from the top of the region to its deepest byte that is no
//             longer the canary;
//   zero_run  how many zero bytes lie directly above that byte (with the real
//             wipe: the wiped depth, when nothing was written beyond it);
//   boundary  bytes from the top of the region to the boundary, and
//   wiped     the depth the boundary asked for, both read from the mark the
//             stand-in wipe of _secure_unwiped leaves (None with the real one;
//             the outermost mark if there are several);
//   raised    whether fn raised (the exception is dropped).
// set_shift(n) moves every later call n bytes further down the stack: code
// that aligns its frame (libcrypto's SHA-2 aligns to 1 or 2 KiB) goes deeper
// or shallower with where the stack pointer happens to be.
//
// on_bare_stack(fn, stack_bytes, used_bytes) -> (canary_intact, raised)
//   runs fn() on a new thread whose stack the caller supplied
//   (pthread_attr_setstack: no guard page), after using `used_bytes` of it;
//   the stack sits directly above a canary-filled area of the same mapping,
//   which is checked afterwards: anything written below the stack lands there.
//   The mapping stays until the next call, so that a scan of the process's
//   memory (tests/test_residue.py) reads what the call left on that stack.
#include "testmod.h"  // Python.h first

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <alloca.h>

#include <cstring>

#include <pthread.h>
#include <sys/mman.h>

#include "boundary_mark.h"

namespace {

constexpr std::size_t REGION_BYTES = 512 * 1024;
constexpr std::uint8_t CANARY = 0xA7;
constexpr Py_ssize_t MAX_SHIFT = 64 * 1024;
Py_ssize_t g_shift = 0;

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

struct Scan {
    std::size_t changed = 0, zero_run = 0;
    bool marked = false;
    std::size_t boundary = 0, wiped = 0;
};

// Reads the region back. Its top is where this frame now sits, which is why
// only the deepest change and the outermost mark are looked for.
[[gnu::noinline]] Scan scan(Region r) {
    Scan s;
    const volatile std::uint8_t* p = r.lo;
    const std::size_t n = static_cast<std::size_t>(r.hi - r.lo);
    std::size_t i = 0;
    while (i < n && p[i] == CANARY) ++i;
    if (i == n) return s;
    s.changed = n - i;
    std::size_t j = i;
    while (j < n && p[j] == 0) ++j;
    s.zero_run = j - i;
    for (std::size_t k = n - 16; k >= i + 8; k -= 8) {  // the mark sits 8-aligned
        std::uint64_t word;
        std::memcpy(&word, const_cast<const std::uint8_t*>(p + k + 8), 8);
        if (word == BOUNDARY_MARK) {
            std::memcpy(&s.wiped, const_cast<const std::uint8_t*>(p + k), 8);
            s.boundary = n - (k + 24);  // mark and depth lie just below a return address
            s.marked = true;
            break;
        }
    }
    return s;
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
    void* pad = alloca(static_cast<std::size_t>(g_shift) + 1);
    __asm__ volatile("" : : "r"(pad) : "memory");
    PyObject* result = PyObject_Call(fn, rest, kwargs);
    // Nothing is freed before the scan: a destructor would write deeper still.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const Scan s = scan(region);

    Py_XDECREF(result);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    Py_DECREF(rest);
    PyObject* raised = result ? Py_False : Py_True;
    if (!s.marked)
        return Py_BuildValue("nnOOO", static_cast<Py_ssize_t>(s.changed),
                             static_cast<Py_ssize_t>(s.zero_run), Py_None, Py_None, raised);
    return Py_BuildValue("nnnnO", static_cast<Py_ssize_t>(s.changed),
                         static_cast<Py_ssize_t>(s.zero_run), static_cast<Py_ssize_t>(s.boundary),
                         static_cast<Py_ssize_t>(s.wiped), raised);
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

PyObject* set_shift(PyObject*, PyObject* arg) {
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0 || n > MAX_SHIFT) {
        PyErr_SetString(PyExc_ValueError, "shift out of range");
        return nullptr;
    }
    g_shift = n;
    Py_RETURN_NONE;
}

PyMethodDef METHODS[] = {
    {"set_shift", set_shift, METH_O, "set_shift(n)"},
    {"on_bare_stack", on_bare_stack, METH_VARARGS, "on_bare_stack(fn, stack_bytes, used_bytes)"},
    {"deepest_writes", testmod::method(deepest_writes), METH_VARARGS | METH_KEYWORDS,
     "deepest_writes(fn, *args, **kwargs)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

VELMORA_TEST_MODULE(_stack_probe, nullptr, METHODS)
