"""The module's types and SecureError are process-wide, and SecureError's base
class comes from the importing interpreter's velmora.errors: a sub-interpreter
must not load it. Whichever imports first, the sub-interpreter gets an
ImportError and the main interpreter a module whose SecureError is caught by its
own CryptoError. Each case runs in a child interpreter."""

from __future__ import annotations

import importlib.util

import pytest

RUNNERS = {
    # legacy sub-interpreter: the module's own check refuses it
    "run_in_subinterp": "_testcapi",
    # isolated sub-interpreters (3.12+ honour the module slot as well)
    "xxsubinterpreters": "_xxsubinterpreters",
    "interpreters": "_interpreters",
}

CHILD = r"""
import json, os, sys
RUNNER, ORDER = {runner!r}, {order!r}

r, w = os.pipe()
SUB = f'''
import os
try:
    import velmora._secure
    msg = "imported"
except ImportError as e:
    msg = "ImportError: " + str(e)
os.write({{w}}, msg.encode() + b"\\n")
'''

def in_sub():
    if RUNNER == "run_in_subinterp":
        import _testcapi
        _testcapi.run_in_subinterp(SUB)
    else:
        m = __import__("_" + RUNNER)
        interp = m.create()
        (getattr(m, "run_string", None) or m.exec)(interp, SUB)
        m.destroy(interp)
    return os.read(r, 4096).decode().strip()

def main_import():
    from velmora._secure import SecretBox, SecureError
    from velmora.errors import CryptoError
    try:
        SecretBox.random(0)
    except CryptoError as e:
        caught = type(e) is SecureError
    else:
        caught = False
    return issubclass(SecureError, CryptoError) and caught

if ORDER == "sub-first":
    sub = in_sub()
    main = main_import()
else:
    main = main_import()
    sub = in_sub()
    main = main and main_import()
print(json.dumps({{"sub": sub, "main": main}}))
"""


@pytest.mark.parametrize("order", ["sub-first", "main-first"])
@pytest.mark.parametrize("runner", RUNNERS)
def test_only_the_main_interpreter_loads_the_module(run_child, runner, order):
    if importlib.util.find_spec(RUNNERS[runner]) is None:
        pytest.skip(f"this interpreter has no {RUNNERS[runner]}")
    out = run_child(CHILD.format(runner=runner, order=order)).json()
    assert out["sub"].startswith("ImportError: ")
    assert "subinterpreter" in out["sub"].replace("-", "")
    assert out["main"] is True
