"""The module writes only memory it owns, whatever stack the caller runs on.

Every operation's work runs on the module's own stack, so every operation must
run, and leave the caller's memory as it was, on stacks with little room: a
coroutine stack carved out of a local array of an outer C frame (as C
coroutine libraries make them, entered with swapcontext, with the frame that
switched lying just below it), the smallest thread stack the C library allows,
small thread stacks (32 KiB on x86-64), and a stack the caller supplied
without a guard page, with more and more of it in use before the call.
"""

from __future__ import annotations

import json
import os

import pytest

from conftest import SANITIZED, built_testmods, missing_testmod
from operations import OPS, OpChild, make_inputs, refuses

if SANITIZED:
    pytest.skip("the sanitizers' frames are several times larger: small stacks overflow "
                "in the interpreter itself", allow_module_level=True)

TESTMODS = built_testmods()
if not any(TESTMODS.glob("_stack_probe*")):
    missing_testmod("_stack_probe", "_stack_probe", TESTMODS)

KIB = 1024


def answers(command, tmp_path):
    """The reply to `command` (a format string taking the operation) for every
    operation, restarting the child after one that kills it (None there)."""
    inputs = make_inputs()
    pending = list(OPS)
    done = {}
    while pending:
        with OpChild(inputs, pythonpath=[TESTMODS], cwd=tmp_path) as child:
            while pending:
                op = pending.pop(0)
                try:
                    done[op] = child.ask(command.format(op=op))
                except AssertionError:  # the child died on this operation
                    done[op] = None
                    break
    return done


def replies(command, tmp_path, prefix):
    out = {}
    for op, reply in answers(command, tmp_path).items():
        assert reply is not None, f"{op} ({command}) killed the process"
        assert reply.startswith(prefix + " "), reply
        out[op] = json.loads(reply[len(prefix) + 1:])
    return out


@pytest.mark.parametrize("stack_kib", [28, 32, 40])
def test_carved_coroutine_stacks_keep_the_frames_below(stack_kib, tmp_path):
    for op, (intact, raised) in replies(f"carved {stack_kib * KIB} {{op}}", tmp_path,
                                        "carved").items():
        assert intact, f"{op} wrote below a {stack_kib} KiB carved stack"
        assert raised == refuses(op), op


# A small thread stack, room for the interpreter's and the glue's frames
# alone: 32 KiB, or the smallest the C library allows where that is more
# (aarch64's glibc refuses thread stacks below 128 KiB, and so does
# threading.stack_size there).
SMALL_THREAD_KIB = max(32, os.sysconf("SC_THREAD_STACK_MIN") // KIB)


@pytest.mark.parametrize("stack_bytes", [0, SMALL_THREAD_KIB * KIB],
                         ids=["least", f"{SMALL_THREAD_KIB}KiB"])
def test_every_operation_runs_on_small_thread_stacks(stack_bytes, tmp_path):
    for op, (raised, size) in replies(f"small {stack_bytes} {{op}}", tmp_path, "small").items():
        assert raised == refuses(op), (op, size)


def test_every_operation_runs_on_small_threads_of_the_threading_module(tmp_path):
    for op, reply in answers(f"run-small {SMALL_THREAD_KIB * KIB} {{op}}", tmp_path).items():
        assert reply == "ok {}", f"{op}: {reply}"


@pytest.mark.parametrize("used_kib", [0, 16, 32, 40])
def test_nothing_below_a_stack_without_a_guard_page_is_written(used_kib, tmp_path):
    # A 64 KiB stack directly above a canary, part of it in use before the call.
    command = f"bare {64 * KIB} {used_kib * KIB} {{op}}"
    for op, (intact, raised) in replies(command, tmp_path, "bare").items():
        assert intact, f"{op} ({used_kib} KiB in use) wrote below the stack"
        assert raised == refuses(op), op
