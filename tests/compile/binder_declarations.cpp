// Declarations the binder must refuse at compile time. Built once as it is
// (it must compile) and once per VELMORA_BROKEN case (each must not): see
// tests/compile/CMakeLists.txt.
#include <cstdint>
#include <span>
#include <string_view>

#include "py/methods.h"

namespace velmora {
namespace {

using Bytes = std::span<const std::uint8_t>;

struct Thing {
    static constexpr const char* PY_NAME = "Thing";
    static PyTypeObject* py_type() { return nullptr; }
};

constexpr Method TWO{"two",
                     Receiver::Instance,
                     {arg::bytes("a"), keyword_only(arg::optional_bytes("b", "None"))},
                     ""};
constexpr Method NEW{"Thing", Receiver::Class, {arg::instance<Thing>("key")}, ""};
// One parameter of every kind, with the value each converter gives.
constexpr Method EVERY{
    "every",
    Receiver::Module,
    {arg::object("o"), arg::bytes("b"), arg::short_bytes("s"), arg::bytes_view("v"),
     arg::bytes_taken("t"), arg::bytes_scratch("w"), arg::str("text"),
     arg::instance<Thing>("thing"), keyword_only(arg::optional_bytes("ob", "None")),
     keyword_only(arg::u64("n", "32")), keyword_only(arg::flag("f", "True"))},
    ""};

PyObject* two(PyObject*, Bytes, Bytes) { return nullptr; }
PyObject* one(PyObject*, Bytes) { return nullptr; }
PyObject* three(PyObject*, Bytes, Bytes, Bytes) { return nullptr; }
PyObject* make(PyTypeObject*, PyObject*) { return nullptr; }
PyObject* every(PyObject*, PyObject*, Bytes, Bytes, ByteInput&, Bytes, std::span<std::uint8_t>,
                std::string_view, PyObject*, Bytes, std::uint64_t, bool) {
    return nullptr;
}
PyObject* untyped(PyObject*, PyObject*, PyObject*) { return nullptr; }
PyObject* swapped(PyObject*, std::uint64_t, Bytes) { return nullptr; }

#if VELMORA_BROKEN == 1  // the implementation takes fewer arguments than declared
const MethodEntry E = entry<TWO, one>();
#elif VELMORA_BROKEN == 2   // ... or more
const MethodEntry E = entry<TWO, three>();
#elif VELMORA_BROKEN == 3   // a positional parameter after a keyword-only one
constexpr Method BAD{
    "bad", Receiver::Instance, {keyword_only(arg::bytes("a")), arg::bytes("b")}, ""};
#elif VELMORA_BROKEN == 4   // a constructor through the method row
const MethodEntry E = entry<NEW, make>();
#elif VELMORA_BROKEN == 5   // a method through the constructor row
const ConstructorEntry E = constructor<TWO, two>();
#elif VELMORA_BROKEN == 6   // the implementation takes the objects, not the converted bytes
const MethodEntry E = entry<TWO, untyped>();
#elif VELMORA_BROKEN == 7   // a converter that does not fit its parameter's type
const MethodEntry E = entry<TWO, swapped>();
#elif VELMORA_BROKEN == 8   // a parameter without a converter
constexpr Method BAD{"bad", Receiver::Instance, {{"a"}}, ""};
#elif VELMORA_BROKEN == 9   // a default its converter cannot give
constexpr Method BAD{"bad", Receiver::Instance, {arg::u64("n", "None")}, ""};
#elif VELMORA_BROKEN == 10  // a default on a converter that has none
constexpr Method BAD{"bad", Receiver::Instance, {Param("a", Conv::Str, "None")}, ""};
#elif VELMORA_BROKEN == 11  // a flag's default that is not True or False
constexpr Method BAD{"bad", Receiver::Instance, {arg::flag("f", "1")}, ""};
#else
const MethodEntry E = entry<TWO, two>();
const ConstructorEntry C = constructor<NEW, make>();
const MethodEntry V = entry<EVERY, every>();
#endif

}  // namespace
}  // namespace velmora
