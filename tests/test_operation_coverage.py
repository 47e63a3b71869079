"""Every public callable of the module is accounted for: either it is a
secret operation, called by the operation table that the residue and
stack-depth tests share (tests/operations.py) and by a constant-time family
(tests/ct/families), or it is listed below as touching no secret, with the
reason. A method added to the module without either fails here.

What a table calls is found by running it: each call in an operation's
``call`` text and in a family script is rewritten to report its callee (and
``==``, ``!=``, ``len()``, ``repr()`` the slot they reach) before the call
goes ahead."""

from __future__ import annotations

import ast
import operator
from pathlib import Path

import pytest

from velmora import _secure
from operations import OPS, make_inputs

FAMILIES = Path(__file__).resolve().parent / "ct" / "families"
NOT_A_FAMILY = {"controls"}  # the positive controls of the constant-time check

# Public callables that never read or write a secret, each with why.
NO_SECRET = {
    "SecretBox.__reduce__": "refuses pickling before the box is looked at",
    "SecretBox.__copy__": "refuses copying before the box is looked at",
    "SecretBox.__deepcopy__": "refuses copying before the box is looked at",
    "SecretBox.is_locked": "reads the region's lock flag",
    "SecretBox.is_wiped": "reads the region's wiped flag",
    "SecretBox.__len__": "reads the region's length, which is public",
    "SecretBox.__repr__": "formats the length and the two flags, never the bytes",
    "SecretBox.__lt__": "ordering is not defined: NotImplemented before any box is read",
    "SecretBox.__le__": "ordering is not defined: NotImplemented before any box is read",
    "SecretBox.__gt__": "ordering is not defined: NotImplemented before any box is read",
    "SecretBox.__ge__": "ordering is not defined: NotImplemented before any box is read",
    "HybridKeyPair.__reduce__": "refuses pickling before the identity is looked at",
    "HybridKeyPair.__copy__": "refuses copying before the identity is looked at",
    "HybridKeyPair.__deepcopy__": "refuses copying before the identity is looked at",
    "HybridKeyPair.x25519_public": "a public key",
    "HybridKeyPair.mlkem768_public": "a public key",
    "HybridKeyPair.is_wiped": "reads the wiped flag",
    "HybridKeyPair.__repr__": "a fixed text",
    "SecretStreamPush.header": "the public header, kept outside the locked state",
    "SecretStreamPush.is_finished": "reads the finished flag",
    "SecretStreamPull.is_finished": "reads the finished flag",
    "EntropyPool": "makes an all-zero state; secrets enter only through mix and the generators",
    "EntropyPool.__repr__": "a fixed text",
    "harden_process": "process limits and flags only",
    "memory_status": "counters, limits and capabilities only",
}

CLASSES = {name: getattr(_secure, name) for name in
           ("SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool")}
FUNCTIONS = ("seal_hybrid", "harden_process", "memory_status")
DISALLOW_INSTANTIATION = 1 << 7  # Py_TPFLAGS_DISALLOW_INSTANTIATION
NOT_CALLABLES = {"__doc__", "__module__", "__hash__", "__new__"}


def public_callables():
    """The module's functions, each class that can be called (its
    constructor), and every member of every class: methods, getters, slots."""
    names = set(FUNCTIONS)
    for name, cls in CLASSES.items():
        if not cls.__flags__ & DISALLOW_INSTANTIATION:
            names.add(name)
        names |= {f"{name}.{member}" for member in vars(cls) if member not in NOT_CALLABLES}
    return names


def _ours(obj):
    return type(obj).__name__ if type(obj) in CLASSES.values() else None


SLOT_FUNCTIONS = {len: "__len__", repr: "__repr__", operator.eq: "__eq__", operator.ne: "__ne__"}


def callee_name(fn, args):
    """The public callable a call reaches, by the name public_callables uses;
    None for anything not of this module."""
    if fn in SLOT_FUNCTIONS:
        owner = _ours(args[0]) if args else None
        return owner and f"{owner}.{SLOT_FUNCTIONS[fn]}"
    if isinstance(fn, type):
        return fn.__name__ if fn in CLASSES.values() else None
    qualname = getattr(fn, "__qualname__", "")
    owner = getattr(fn, "__self__", None)
    if owner is _secure or _ours(owner) or (owner is None and qualname.partition(".")[0] in CLASSES):
        return qualname
    return None


class _Report(ast.NodeTransformer):
    """f(a, b) -> __call__(f, a, b); x == y -> __compare__(x, y, "__eq__")."""

    def visit_Call(self, node):
        self.generic_visit(node)
        return ast.Call(ast.Name("__call__", ast.Load()), [node.func, *node.args], node.keywords)

    def visit_Compare(self, node):
        self.generic_visit(node)
        if len(node.ops) != 1 or not isinstance(node.ops[0], (ast.Eq, ast.NotEq)):
            return node
        slot = "__eq__" if isinstance(node.ops[0], ast.Eq) else "__ne__"
        return ast.Call(ast.Name("__compare__", ast.Load()),
                        [node.left, node.comparators[0], ast.Constant(slot)], [])


def run_reporting(source, namespace, *, name):
    """Runs `source` in `namespace` with its calls reported; returns the
    callables of this module it reached."""
    reached = set()

    def call(fn, *args, **kwargs):
        reached.add(callee_name(fn, args))
        return fn(*args, **kwargs)

    def compare(a, b, slot):
        reached.add(_ours(a) and f"{_ours(a)}.{slot}")
        return a == b if slot == "__eq__" else a != b

    tree = ast.fix_missing_locations(_Report().visit(ast.parse(source)))
    exec(compile(tree, name, "exec"), {**namespace, "__call__": call, "__compare__": compare})
    return reached - {None}


def operation_namespace():
    """What the operation table's child defines (operations.CHILD), made here."""
    inputs = make_inputs()
    ns = {"operator": operator, "PUBLIC": {}, "zero_out": lambda b: b.__setitem__(slice(None), bytes(len(b)))}
    ns.update({name: getattr(_secure, name) for name in (*CLASSES, "SecureError", "seal_hybrid")})
    secrets = {k: bytearray(v) for k, v in inputs.secrets.items()}
    ns["FRESH"] = secrets.pop("FRESH")
    ns.update({k: _secure.SecretBox.from_bytes(v) for k, v in secrets.items()})
    ns["PAIR"] = _secure.HybridKeyPair.from_secrets(ns["XS"], ns["DK"])
    p = inputs.public
    ns.update(NONCE=p["NONCE"], PLAIN=p["PLAIN"], SEALED=p["SEALED"],
              TAMPERED=p["SEALED"][:-1] + bytes([p["SEALED"][-1] ^ 1]),
              JSON_SEALED=p["JSON_SEALED"], NESTED_SEALED=p["NESTED_SEALED"],
              HYB=(p["HYB_E"], p["HYB_N"], p["HYB_C"], b""),
              HYB_TAMPERED=(p["HYB_E"], p["HYB_N"], p["HYB_C"][:-1] + bytes([p["HYB_C"][-1] ^ 1]), b""),
              SESSION=(p["SES_E"], p["SES_N"], p["SES_C"], b""))
    return ns


@pytest.fixture(scope="module")
def in_operation_table():
    base = operation_namespace()
    reached = {}
    for op, (prep, call, *_) in OPS.items():
        ns = dict(base, PUBLIC={})
        exec(prep, ns)
        try:
            names = run_reporting(call, ns, name=op)
        except _secure.SecureError:  # the "-refused" operations
            names = run_reporting(f"try:\n    {call}\nexcept SecureError:\n    pass", ns, name=op)
        for n in names:
            reached.setdefault(n, []).append(op)
    return reached


@pytest.fixture(scope="module")
def in_constant_time_families():
    reached = {}
    for script in sorted(FAMILIES.glob("*.py")):
        if script.stem in NOT_A_FAMILY:
            continue
        for n in run_reporting(script.read_text(), {"__name__": "__main__"}, name=str(script)):
            reached.setdefault(n, []).append(script.stem)
    return reached


def uncovered(names, in_operation_table, in_constant_time_families):
    missing = {}
    for name in sorted(names):
        if name in NO_SECRET:
            continue
        lacks = [table for table, reached in (("tests/operations.py", in_operation_table),
                                              ("tests/ct/families", in_constant_time_families))
                 if name not in reached]
        if lacks:
            missing[name] = lacks
    return missing


def test_every_callable_is_a_measured_secret_operation_or_excused(in_operation_table,
                                                                  in_constant_time_families):
    assert uncovered(public_callables(), in_operation_table, in_constant_time_families) == {}


def test_a_new_method_in_neither_place_is_reported(in_operation_table, in_constant_time_families):
    names = public_callables() | {"SecretBox.new_operation"}
    assert uncovered(names, in_operation_table, in_constant_time_families) == {
        "SecretBox.new_operation": ["tests/operations.py", "tests/ct/families"]}


def test_the_excuses_are_current(in_operation_table):
    assert set(NO_SECRET) - public_callables() == set()
    # An operation the table measures does touch a secret: it is not excused.
    assert {n: ops for n, ops in in_operation_table.items() if n in NO_SECRET} == {}
