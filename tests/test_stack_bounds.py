"""The boundary wipe stays inside the calling thread's stack.

Every operation is run on small thread stacks and on a stack the caller
supplied without a guard page, with the module under test and with the copy
built without the wipe (<testmods>/unwiped): whatever runs without the wipe
must run with it, and nothing below a stack may be written.
"""

from __future__ import annotations

import json
import os
import platform
from pathlib import Path

import pytest

from conftest import SANITIZED
from operations import OPS, OpChild, make_inputs, refuses

if SANITIZED:
    pytest.skip("the sanitizers' frames are larger and there is no unwiped copy of their build",
                allow_module_level=True)

TESTMODS = os.environ.get("VELMORA_TESTMODS")
if not TESTMODS or not Path(TESTMODS, "unwiped", "velmora").is_dir():
    pytest.skip("needs VELMORA_TESTMODS at a test build's testmods (with the unwiped copy)",
                allow_module_level=True)

KIB = 1024
BUILDS = {"wiped": [TESTMODS], "unwiped": [Path(TESTMODS, "unwiped"), TESTMODS]}


def survivors(build, command, tmp_path):
    """Which operations complete when each is sent as `command` (a format
    string taking the operation), restarting the child after one that kills
    it; answers of the survivors by operation."""
    inputs = make_inputs()
    pending = list(OPS)
    done = {}
    while pending:
        with OpChild(inputs, pythonpath=BUILDS[build], cwd=tmp_path) as child:
            while pending:
                op = pending.pop(0)
                try:
                    done[op] = child.ask(command.format(op=op))
                except AssertionError:  # the child died on this operation
                    break
    return done


# The smallest of these thread stacks on which every operation runs, with or
# without the wipe: aarch64's interpreter frames are larger than x86-64's, and
# its signal frames carry the SVE state where there is one (under qemu-user's
# default processor, every run: 64 KiB is not enough there even unwiped).
ROOMY_KIB = {"x86_64": 64, "aarch64": 128}[platform.machine()]


@pytest.mark.parametrize("stack_kib", [32, 36, 40, 64, 128])
def test_what_runs_unwiped_runs_wiped_on_small_thread_stacks(stack_kib, tmp_path):
    command = f"run-small {stack_kib * KIB} {{op}}"
    unwiped = survivors("unwiped", command, tmp_path)
    wiped = survivors("wiped", command, tmp_path)
    assert sorted(set(unwiped) - set(wiped)) == []
    if stack_kib >= ROOMY_KIB:  # room enough for every operation either way
        assert sorted(wiped) == sorted(OPS)


def test_nothing_below_a_stack_without_a_guard_page_is_written(tmp_path):
    # A 64 KiB stack directly above a canary, with more and more of it in use
    # before the call: where the call alone stays inside the stack (the
    # unwiped copy leaves the canary intact), the wipe must too.
    cases = [f"bare {64 * KIB} {used * KIB} {{op}}" for used in (0, 16, 32, 40, 44, 48)]
    answers = {}
    for build in BUILDS:
        for command in cases:
            for op, reply in survivors(build, command, tmp_path).items():
                assert reply.startswith("bare "), reply
                answers[build, command, op] = tuple(json.loads(reply[5:]))
    checked = set()
    for (build, command, op), (intact, raised) in answers.items():
        if build != "unwiped" or not intact:
            continue
        wiped = answers.get(("wiped", command, op))
        assert wiped is not None, f"{op} ({command}) died with the wipe only"
        assert wiped[0], f"{op} ({command}): the wipe wrote below the stack"
        assert wiped[1] == raised == refuses(op), (op, command)
        checked.add(op)
    assert checked == set(OPS)  # each fits at least when little of the stack is in use
