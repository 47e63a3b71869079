"""The module's texts and signatures have one home each: a callable's
docstring and parameters are declared once in the C++ sources (its Method),
and the stub (python/velmora/_secure.pyi) must agree with them. These tests
check structure rather than restate the texts: every public member is
documented in both languages, the stub carries the module's own docstrings,
its signatures are the module's, and its parameter types are the ones the
declarations' converters accept."""

from __future__ import annotations

import ast
import inspect
import re
from pathlib import Path

import pytest

from velmora import _secure

REPO = Path(__file__).resolve().parents[1]
STUB = REPO / "python" / "velmora" / "_secure.pyi"
SOURCES = sorted((REPO / "src").rglob("*_py.cpp")) + sorted((REPO / "src" / "py").glob("*.h"))

US, BR = "\U0001f1fa\U0001f1f8", "\U0001f1e7\U0001f1f7"

CLASSES = ["SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool"]
FUNCTIONS = ["seal_hybrid", "harden_process", "memory_status"]
# Their whole answer is a TypeError: no text of their own.
COPY_REFUSALS = {"__reduce__", "__copy__", "__deepcopy__"}
# Classes whose instances come only from their static methods.
NOT_CONSTRUCTIBLE = {"SecretBox", "HybridKeyPair"}


def members():
    """(dotted name, object) for every public member of the module."""
    out = [("SecureError", _secure.SecureError)]
    for cls in CLASSES:
        out.append((cls, getattr(_secure, cls)))
        for name in vars(getattr(_secure, cls)):
            if not name.startswith("__") or name in COPY_REFUSALS:
                out.append((f"{cls}.{name}", getattr(getattr(_secure, cls), name)))
    out += [(f, getattr(_secure, f)) for f in FUNCTIONS]
    return out


MEMBERS = members()
DOCUMENTED = [(n, o) for n, o in MEMBERS if n.rpartition(".")[2] not in COPY_REFUSALS]


def check_bilingual(doc):
    """The English text after the US flag, then (after one space or a line
    break) the Portuguese one after the Brazilian flag, the same number of
    paragraphs in each."""
    assert doc is not None and doc.startswith(f"{US} "), doc
    assert doc.count(US) == 1 and doc.count(BR) == 1, doc
    english, sep, portuguese = doc.partition(BR)
    assert portuguese.startswith(" ") and portuguese.strip(), doc
    assert english.endswith((" ", "\n")) and english[len(US) :].strip(), doc
    assert english.rstrip("\n ").count("\n\n") == portuguese.count("\n\n"), doc


@pytest.mark.parametrize("name, obj", DOCUMENTED, ids=[n for n, _ in DOCUMENTED])
def test_docstring_in_both_languages(name, obj):
    check_bilingual(obj.__doc__)


def test_module_docstring_in_both_languages():
    check_bilingual(_secure.__doc__)


@pytest.mark.parametrize(
    "bad",
    [
        "English only.",
        f"{US} English only.",
        f"{US} Two flags. {US} again {BR} Dois.",
        f"{US} Glued.{BR} Colado.",
        f"{US} One.\n\nTwo. {BR} Um.",
        f"{BR} Português primeiro. {US} English second.",
    ],
)
def test_the_structure_check_refuses(bad):
    with pytest.raises(AssertionError):
        check_bilingual(bad)


def runtime_signature(obj):
    """The signature the interpreter derives from the docstring, if it has one."""
    if getattr(obj, "__text_signature__", None) is None:
        return None
    return str(inspect.signature(obj))


@pytest.mark.parametrize("name, obj", MEMBERS, ids=[n for n, _ in MEMBERS])
def test_signature_comes_from_the_docstring(name, obj):
    """Callables carry a text signature; getters and the classes without a
    constructor do not."""
    has_signature = getattr(obj, "__text_signature__", None) is not None
    if isinstance(obj, type):
        assert has_signature == (name not in NOT_CONSTRUCTIBLE and name != "SecureError")
    elif callable(obj):
        assert has_signature
    else:
        assert not has_signature


def test_copy_refusals_have_no_text():
    for name, obj in MEMBERS:
        if name.rpartition(".")[2] in COPY_REFUSALS:
            assert obj.__doc__ is None, name


# --- the stub -------------------------------------------------------------------------


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_entries():
    """dotted name -> the stub's ClassDef or FunctionDef for it."""
    entries = {}
    for node in stub_tree().body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            entries[node.name] = node
        if isinstance(node, ast.ClassDef):
            for child in node.body:
                if isinstance(child, ast.FunctionDef):
                    entries[f"{node.name}.{child.name}"] = child
    return entries


STUB_ENTRIES = stub_entries()


def stub_signature(fn, *, drop_first):
    """The stub function's parameters written as inspect writes a text
    signature's: "(self, /, nonce, *, final=False)"."""
    a = fn.args
    positional = [*a.posonlyargs, *a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    parts = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        if i == 0 and drop_first:
            continue
        parts.append(arg.arg + ("" if default is None else "=" + ast.unparse(default)))
        if i == 0 and arg.arg == "self":
            parts.append("/")
    if a.kwonlyargs:
        parts.append("*")
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        parts.append(arg.arg + ("" if default is None else "=" + ast.unparse(default)))
    return "(" + ", ".join(parts) + ")"


def is_static(fn):
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)


@pytest.mark.parametrize("name, obj", MEMBERS, ids=[n for n, _ in MEMBERS])
def test_stub_docstring_is_the_modules(name, obj):
    assert name in STUB_ENTRIES, f"{name} is missing from the stub"
    assert ast.get_docstring(STUB_ENTRIES[name]) == obj.__doc__


def test_stub_module_docstring_is_the_modules():
    assert ast.get_docstring(stub_tree()) == _secure.__doc__


@pytest.mark.parametrize("name, obj", MEMBERS, ids=[n for n, _ in MEMBERS])
def test_stub_signature_is_the_modules(name, obj):
    signature = runtime_signature(obj)
    if signature is None:
        return
    if isinstance(obj, type):
        fn = STUB_ENTRIES.get(f"{name}.__new__") or STUB_ENTRIES.get(f"{name}.__init__")
        assert fn is not None, f"{name}: the stub declares no constructor"
        assert stub_signature(fn, drop_first=True) == signature
    else:
        assert stub_signature(STUB_ENTRIES[name], drop_first=False) == signature


# --- the declarations' converters against the stub's annotations ---------------------

# What the stub writes for an argument each converter accepts (None: anything
# the stub says; the implementation decides, as EntropyPool.mix does).
ANNOTATIONS = {
    "object": None,
    "bytes": "Buffer",
    "short_bytes": "Buffer",
    "bytes_view": "Buffer",
    "bytes_taken": "Buffer",
    "bytes_scratch": "Buffer",
    "optional_bytes": "Buffer | None",
    "str": "str",
    "u64": "int",
    "flag": "bool",
}

PARAM = re.compile(r'arg::(\w+)(?:<(\w+)>)?\("(\w+)"(?:,\s*"([^"]*)")?\)')


def braced(text, start):
    """The text from the brace at `start` to its match, both included."""
    depth = 0
    for i in range(start, len(text)):
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        if depth == 0:
            return text[start : i + 1]
    raise AssertionError("unbalanced braces")


def declarations():
    """(Python name, receiver, [(converter, type, parameter, shown default)])
    for every Method declared in the sources."""
    found = []
    for path in SOURCES:
        lines = path.read_text(encoding="utf-8").splitlines()
        text = "\n".join(line for line in lines if not line.lstrip().startswith("//"))
        arrays = {
            m.group(1): braced(text, m.end() - 1)
            for m in re.finditer(r"constexpr Param (\w+)\[\] = \{", text)
        }
        for m in re.finditer(r'Method \w+\{\s*"(\w+)",\s*Receiver::(\w+),\s*', text):
            rest = text[m.end() :]
            if rest.startswith("NoParams"):
                params = ""
            elif rest.startswith("{"):
                params = braced(rest, 0)
            else:
                params = arrays[re.match(r"\w+", rest).group(0)]
            found.append((m.group(1), m.group(2), PARAM.findall(params)))
    return found


DECLARATIONS = declarations()


def stub_functions(name, receiver):
    if receiver == "Module":
        return [STUB_ENTRIES[name]] if name in STUB_ENTRIES else []
    if receiver == "Class":
        return [STUB_ENTRIES[f"{name}.{ctor}"] for ctor in ("__new__", "__init__")
                if f"{name}.{ctor}" in STUB_ENTRIES]
    return [fn for dotted, fn in STUB_ENTRIES.items()
            if dotted.endswith(f".{name}") and isinstance(fn, ast.FunctionDef)
            and is_static(fn) == (receiver == "Static")]


def test_the_sources_declare_what_the_module_has():
    names = {d[0] for d in DECLARATIONS}
    for dotted, obj in MEMBERS:
        if runtime_signature(obj) is not None:
            assert dotted.rpartition(".")[2] in names, dotted
    assert any(params for _, _, params in DECLARATIONS)


@pytest.mark.parametrize(
    "name, receiver, params", DECLARATIONS, ids=[f"{d[0]}-{d[1]}" for d in DECLARATIONS]
)
def test_stub_types_are_the_converters(name, receiver, params):
    declared = [p for _, _, p, _ in params]
    candidates = [
        fn for fn in stub_functions(name, receiver)
        if [a.arg for a in (*fn.args.args, *fn.args.kwonlyargs) if a.arg not in ("self", "cls")]
        == declared
    ]
    assert candidates, f"no {name}({', '.join(declared)}) in the stub"
    for fn in candidates:
        stub = {a.arg: a.annotation for a in (*fn.args.args, *fn.args.kwonlyargs)}
        for converter, type_name, param, _ in params:
            expected = type_name if converter == "instance" else ANNOTATIONS[converter]
            if expected is not None:
                assert ast.unparse(stub[param]) == expected, f"{name}: {param}"


def test_every_converter_has_an_annotation():
    used = {conv for _, _, params in DECLARATIONS for conv, _, _, _ in params}
    assert used - set(ANNOTATIONS) <= {"instance"}
