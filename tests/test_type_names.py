"""The module's TypeErrors name the offending object's type as the
interpreter's own TypeErrors do ("'X' object is not callable"), for every
kind of type: builtins, the standard library's static and heap types, classes
defined in Python (nested ones included), extension heap types (the module's
own) and NumPy's. The interpreter reads that name from the type's tp_name; the
module, built against the stable ABI, rebuilds it (src/py/type_name.h), so each
case is checked against the interpreter's own text on the running version."""

from __future__ import annotations

import array
import collections
import datetime
import decimal
import enum
import fractions
import io
import itertools
import re
import types

import numpy as np
import pytest

from velmora._secure import EntropyPool, HybridKeyPair, SecretBox, SecretStreamPush


class Plain:
    pass


class Outer:
    class Inner:
        pass


class Colour(enum.Enum):
    RED = 1


def _cases():
    return [
        # builtins: the bare name
        pytest.param(lambda: 1.5, id="float"),
        pytest.param(lambda: [1, 2], id="list"),
        pytest.param(lambda: 1j, id="complex"),
        pytest.param(lambda: b"", id="bytes"),
        pytest.param(lambda: frozenset(), id="frozenset"),
        # the standard library's static types (heap types on some versions)
        pytest.param(lambda: collections.OrderedDict(), id="collections.OrderedDict"),
        pytest.param(lambda: datetime.date(2020, 1, 1), id="datetime.date"),
        pytest.param(lambda: decimal.Decimal(1), id="decimal.Decimal"),
        pytest.param(lambda: types.SimpleNamespace(), id="types.SimpleNamespace"),
        # the standard library's extension heap types
        pytest.param(lambda: array.array("b"), id="array.array"),
        pytest.param(lambda: io.BytesIO(), id="_io.BytesIO"),
        pytest.param(lambda: re.compile("x"), id="re.Pattern"),
        pytest.param(lambda: itertools.count(), id="itertools.count"),
        # classes defined in Python: __name__ alone, whatever the module or nesting
        pytest.param(lambda: Plain(), id="python-class"),
        pytest.param(lambda: Outer.Inner(), id="nested-class"),
        pytest.param(lambda: Colour.RED, id="enum-member"),
        pytest.param(lambda: fractions.Fraction(1, 3), id="stdlib-python-class"),
        # the module's own extension heap types
        pytest.param(lambda: EntropyPool(), id="velmora._secure.EntropyPool"),
        pytest.param(lambda: HybridKeyPair.generate(), id="velmora._secure.HybridKeyPair"),
        # NumPy's
        pytest.param(lambda: np.float64(1.5), id="numpy.float64"),
        pytest.param(lambda: np.complex128(1j), id="numpy.complex128"),
        pytest.param(lambda: np.array([1, 2]), id="numpy.ndarray"),
    ]


def interpreter_name(obj):
    """The type's name as the interpreter's own message gives it."""
    with pytest.raises(TypeError) as info:
        obj()
    m = re.fullmatch(r"'(.*)' object is not callable", str(info.value))
    assert m, str(info.value)
    return m.group(1)


def message(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.fixture(scope="module")
def key():
    return SecretBox.random(32)


@pytest.mark.parametrize("make", _cases())
def test_type_errors_name_the_type_as_the_interpreter_does(make, key):
    obj = make()
    name = interpreter_name(obj)
    expected = {
        "SecretBox.random": f"argument 'length': '{name}' object cannot be interpreted as an integer",
        "SecretStreamPush": f"SecretStreamPush() argument 'key' must be SecretBox, not {name}",
        "push": f"push() argument 'final' must be bool, not {name}",
    }
    got = {
        "SecretBox.random": message(lambda: SecretBox.random(obj)),
        "SecretStreamPush": message(lambda: SecretStreamPush(obj)),
        "push": message(lambda: SecretStreamPush(key).push(b"", final=obj)),
    }
    if not isinstance(obj, (str, bytes)):
        expected["field"] = f"argument 'field': '{name}' object is not a 'str'"
        got["field"] = message(
            lambda: key.aes_gcm_open_json_field(bytes(12), bytes(16), None, obj))
    if not hasattr(obj, "__index__"):
        expected["EntropyPool.random"] = (
            f"argument 'n': '{name}' object cannot be interpreted as an integer")
        got["EntropyPool.random"] = message(lambda: EntropyPool().random(obj))
    assert got == expected


def test_the_cases_cover_each_kind_of_type():
    """The table above holds, on this interpreter, at least one static type
    outside builtins, one immutable heap type and one mutable (Python) class,
    so each branch of the rule is exercised."""
    heap, immutable = 1 << 9, 1 << 8
    flags = [type(p.values[0]()).__flags__ for p in _cases()]
    assert any(not f & heap for f in flags)
    assert any(f & heap and f & immutable for f in flags)
    assert any(f & heap and not f & immutable for f in flags)
