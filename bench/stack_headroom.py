"""How much stack each operation leaves to its caller, with the boundary wipe
and without it: on a 64 KiB stack the caller supplied (no guard page, above a
canary), the most that may already be in use before the call for it to run
and write nothing below the stack. The wipe is cut to the stack's bounds, so
the two columns should agree; a difference is what the wipe costs in headroom.

    VELMORA_TESTMODS=build/test/testmods python bench/stack_headroom.py

Needs a test build (the unwiped copy and _stack_probe in its testmods).
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
        wiped = headroom([testmods], inputs, cwd)
        unwiped = headroom([Path(testmods, "unwiped"), testmods], inputs, cwd)
    print(f"KiB of a {STACK // KIB} KiB stack that may be in use before the call")
    print(f"{'operation':26} {'unwiped':>8} {'wiped':>8} {'cost':>6}")
    for op in OPS:
        print(f"{op:26} {unwiped[op]:8} {wiped[op]:8} {unwiped[op] - wiped[op]:6}")


if __name__ == "__main__":
    main()
