"""How much of the caller's stack each operation needs: on a 64 KiB stack the
caller supplied (no guard page, above a canary), the most that may already be
in use before the call for it to run and write nothing below the stack. The
work runs on the module's own stack, so this is the interpreter's share of the
call (evaluating the call, binding, converting, making the result) and about
the same for every operation.

    VELMORA_TESTMODS=build/test/testmods python bench/stack_headroom.py

Needs a test build (_stack_probe in its testmods).
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from operations import OPS, OpChild, make_inputs  # noqa: E402

KIB = 1024
STACK = 64 * KIB


def headroom(pythonpath, inputs, cwd):
    """Largest KiB in use (step 1 KiB) at which each operation still runs
    inside the stack."""
    best = {}
    with OpChild(inputs, pythonpath=pythonpath, cwd=cwd) as child:
        for op in OPS:
            fits = 0
            for used in range(0, 60):
                intact, _ = json.loads(child.ask(f"bare {STACK} {used * KIB} {op}")[5:])
                if not intact:
                    break
                fits = used
            best[op] = fits
    return best


def main():
    testmods = os.environ["VELMORA_TESTMODS"]
    inputs = make_inputs()
    with tempfile.TemporaryDirectory() as cwd:
        fits = headroom([testmods], inputs, cwd)
    print(f"KiB of a {STACK // KIB} KiB stack that may be in use before the call")
    for op in OPS:
        print(f"{op:26} {fits[op]:8}")


if __name__ == "__main__":
    main()
