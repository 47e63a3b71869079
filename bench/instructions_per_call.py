"""Instructions per call of the module's cheapest operations, in two or more
builds side by side, counted by valgrind's callgrind: a figure that the load
of other processes does not move, for comparing builds whose difference is a
few calls per operation (the stable ABI against the full C API, say), where
the wall-clock benchmarks of bench_builds.py drown in a busy machine's noise.

    python bench/instructions_per_call.py --build abi3=build/bench-hardened \\
        --build full-api=build/bench-full-api [--calls N] [--only OP]

Each --build names a build directory whose python/ tree holds the extension
(bench/bench_builds.sh makes them). For each operation, each build's
interpreter runs it N times and 0 times under callgrind; the difference over N
is the instructions one call costs, the interpreter's own share included. The
ratios are to the first build's.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

CHILD = r"""
import sys
from velmora import _secure as s
key = s.SecretBox.random(32)
pool = s.EntropyPool()
nonce, msg = bytes(12), b"x" * 64
sealed = key.aes_gcm_seal(nonce, msg, b"")
push = s.SecretStreamPush(key)

def refused():
    try:
        s.SecretBox.random(1.5)
    except TypeError:
        pass

OPS = {
    "SecretBox.random(32) + release": lambda: s.SecretBox.random(32),
    "aes_gcm_seal 64 B": lambda: key.aes_gcm_seal(nonce, msg, b""),
    "aes_gcm_open 64 B": lambda: key.aes_gcm_open(nonce, sealed, b""),
    "hmac_sha512 64 B": lambda: key.hmac_sha512(msg),
    "EntropyPool.random 32 B": lambda: pool.random(32),
    "push 64 B": lambda: push.push(msg),
    "len(box)": lambda: len(key),
    "TypeError naming a float": refused,
}
if sys.argv[1] == "--list":
    print("\n".join(OPS))
    sys.exit()
f = OPS[sys.argv[1]]
f()
for _ in range(int(sys.argv[2])):
    f()
"""


def instructions(python_tree: Path, op: str, calls: int) -> int:
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, "-P", "-c", CHILD, op, str(calls)],
        env={**os.environ, "PYTHONPATH": str(python_tree)}, capture_output=True, text=True,
        check=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", required=True, metavar="NAME=DIR")
    parser.add_argument("--calls", type=int, default=3000)
    parser.add_argument("--only", action="append", help="just these operations")
    args = parser.parse_args()
    builds = [(name, Path(path).resolve() / "python")
              for name, _, path in (b.partition("=") for b in args.build)]
    ops = args.only or subprocess.run(
        [sys.executable, "-P", "-c", CHILD, "--list", "0"],
        env={**os.environ, "PYTHONPATH": str(builds[0][1])}, capture_output=True, text=True,
        check=True).stdout.splitlines()

    ref = builds[0][0]
    print(f"instructions per call (callgrind, {args.calls} calls); x{ref}: over {ref}'s")
    width = {name: max(14, len(name) + 2) for name, _ in builds}
    print(f"{'operation':34}" + "".join(f"{name:>{width[name]}}{'x' + ref:>{len(ref) + 3}}"
                                        for name, _ in builds))
    worst = 0.0
    for op in ops:
        counts = [(instructions(tree, op, args.calls) - instructions(tree, op, 0)) / args.calls
                  for _, tree in builds]
        print(f"{op:34}" + "".join(f"{c:{width[name]}.0f}{c / counts[0]:{len(ref) + 3}.3f}"
                                   for (name, _), c in zip(builds, counts)))
        worst = max([worst] + [c / counts[0] for c in counts[1:]])
    print(f"largest ratio to {ref}: {worst:.3f}")


if __name__ == "__main__":
    main()
