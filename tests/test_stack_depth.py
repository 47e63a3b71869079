"""How deep each operation's work goes on the module's own stack, against the
depth its entry declares (and that is zeroed after it), and how little of the
caller's stack a call uses.

The copy of the module built to measure (<testmods>/unwiped/velmora, whose
stand-in for the wipe notes what an own stack holds when a call takes it and
finds the deepest byte changed where the call would be wiped) gives each
operation's deepest write on the own stack. On the thread's side, a child
fills the stack below its own frame with a canary, runs one call into the
module under test and reads the region back (tests/native/stack_probe.cpp):
only the interpreter glue (argument conversion, result objects) may write
there. Both on the main thread and on another one (the streams release the
interpreter lock), and with X25519 on libsodium's path.
"""

from __future__ import annotations

import json

import pytest

from conftest import SANITIZED, unwiped_copy
from operations import OPS, OpChild, make_inputs, refuses

if SANITIZED:
    pytest.skip(
        "the sanitizers add redzones to every frame and there is no measuring copy of their build",
        allow_module_level=True,
    )

UNWIPED = unwiped_copy()
TESTMODS = UNWIPED.parent


# What the declared depth must leave beyond the deepest write: a quarter more,
# and 1 KiB, for what another build of the libraries might add.
def required(depth):
    return depth + depth // 4 + 1024


# The most any call may write below its caller on the thread's stack: the
# glue's frames and the interpreter's allocations, no operation's work (the
# deepest of those, ML-KEM-768 key generation, takes over 22 KiB).
GLUE_BYTES = 6 * 1024


def measure(pythonpath, cmd, tmp_path, env):
    with OpChild(make_inputs(), pythonpath=pythonpath, cwd=tmp_path, env=env) as child:
        out = {}
        for op in OPS:
            reply = child.ask(f"{cmd} {op}")
            assert reply.startswith("probe "), reply
            thread, own, declared, raised = json.loads(reply[6:])
            out[op] = dict(thread=thread, own=own, declared=declared, raised=raised)
        return out


@pytest.fixture(
    scope="module",
    params=[("probe", {}), ("probe-thread", {}), ("probe", {"VELMORA_X25519_IMPL": "libsodium"})],
    ids=["main-thread", "other-thread", "main-thread-x25519-libsodium"],
)
def figures(request, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("depth")
    cmd, env = request.param
    measured = measure([UNWIPED, TESTMODS], cmd, tmp, env)
    shipped = measure([TESTMODS], cmd, tmp, env)
    print(f"\n{cmd} {env}: own stack deepest write / declared; thread stack written (bytes)")
    for op, m in measured.items():
        print(f"  {op:24} {m['own']:6} / {m['declared']:6}   {shipped[op]['thread']:6}")
    return measured, shipped


@pytest.mark.parametrize("op", list(OPS))
def test_declared_depth_covers_the_deepest_write(figures, op):
    measured, shipped = figures
    m = measured[op]
    assert m["own"] is not None, "the measuring copy was not loaded"
    assert required(m["own"]) <= m["declared"] or m["own"] == 0, (
        f"{op} writes {m['own']} bytes deep into the own stack, declared {m['declared']}")
    assert shipped[op]["own"] is None  # the module under test measures nothing
    assert m["raised"] == shipped[op]["raised"] == refuses(op)


@pytest.mark.parametrize("op", list(OPS))
def test_the_callers_stack_holds_only_the_glue(figures, op):
    _, shipped = figures
    assert shipped[op]["thread"] <= GLUE_BYTES, (op, shipped[op])
