"""How deep each operation writes below the interpreter boundary, against the
depth the boundary wipes for it.

A child fills the stack below its own frame with a canary, runs one call into
the module and reads the region back (tests/native/stack_probe.cpp). Run
against the copy of the module built without the wipe
(<testmods>/unwiped/velmora, whose stand-in wipe marks where the boundary is
and what depth it asked for), this gives each operation's deepest write; run
against the module under test, it shows the wiped zeros ending exactly that
far down, with nothing written beyond them. Both on the main thread and on
another one (the streams release the interpreter lock and run on the calling
thread).
"""

from __future__ import annotations

import json

import pytest

from conftest import SANITIZED, unwiped_copy
from operations import OPS, OpChild, make_inputs, refuses

if SANITIZED:
    pytest.skip(
        "the sanitizers add redzones to every frame and there is no unwiped copy of their build",
        allow_module_level=True,
    )

UNWIPED = unwiped_copy()
TESTMODS = UNWIPED.parent


# What the wiped depth must leave beyond the deepest write: a quarter more,
# and 1 KiB, for what another build of the libraries might add.
def required(depth):
    return depth + depth // 4 + 1024


def measure(pythonpath, cmd, tmp_path, env):
    with OpChild(make_inputs(), pythonpath=pythonpath, cwd=tmp_path, env=env) as child:
        out = {}
        for op in OPS:
            reply = child.ask(f"{cmd} {op}")
            assert reply.startswith("probe "), reply
            changed, zero_run, boundary, wiped, raised = json.loads(reply[6:])
            out[op] = dict(changed=changed, zero_run=zero_run, boundary=boundary, wiped=wiped,
                           raised=raised)
        return out


# X25519 runs on the process's own path (the native one where the CPU has it);
# the libsodium path is measured too, on the main thread.
@pytest.fixture(
    scope="module",
    params=[("probe", {}), ("probe-thread", {}), ("probe", {"VELMORA_X25519_IMPL": "libsodium"})],
    ids=["main-thread", "other-thread", "main-thread-x25519-libsodium"],
)
def figures(request, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("depth")
    cmd, env = request.param
    unwiped = measure([UNWIPED, TESTMODS], cmd, tmp, env)
    wiped = measure([TESTMODS], cmd, tmp, env)
    print(f"\n{cmd} {env}: deepest write / wiped depth below the boundary (bytes)")
    for op, u in unwiped.items():
        print(f"  {op:24} {u['changed'] - u['boundary']:6} / {u['wiped']:6}")
    return unwiped, wiped


@pytest.mark.parametrize("op", list(OPS))
def test_wiped_depth_covers_the_deepest_write(figures, op):
    unwiped, wiped = figures
    u = unwiped[op]
    assert u["boundary"], f"{op}: no boundary mark found (did the call reach the module?)"
    depth = u["changed"] - u["boundary"]
    assert required(depth) <= u["wiped"], f"{op} writes {depth} bytes deep, wiped {u['wiped']}"
    # The module under test: zeros from its boundary down to the wiped depth
    # (a return address above may add a zero byte or a few), and the canary
    # untouched below them.
    assert u["wiped"] <= wiped[op]["zero_run"] < u["wiped"] + 8, (op, wiped[op])
    assert u["raised"] == wiped[op]["raised"] == refuses(op)
