"""The random source: EntropyPool.random(32) next to os.urandom(32), and
SecretBox.random(32) of this build next to another build of the module, in one
run, reported as time ratios.

    python bench/bench_random.py [--against DIR] [--rounds N] [--device]

Without --against, both figures come from the velmora._secure this interpreter
imports. With --against DIR (a directory holding another build's velmora
package, such as <build>/python of an older tree), two child interpreters, one
per build, time SecretBox.random(32) in alternating rounds, so that machine
noise hits both alike, and the ratio is this build over that one. --device
runs the children with getrandom refused (an LD_PRELOAD shim built here), so
that every draw takes the /dev/urandom path. Each figure is the best round, in
the CPU time of the process (user and system), so that what other processes
do on a busy machine counts less than it would in wall-clock time.

Targets: EntropyPool.random(32) at most 2.0x os.urandom(32); SecretBox.random(32)
at most 1.05x the other build on the getrandom path (the device path is shown
without a target: it checks the descriptor once more after each read).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CPU = time.process_time
POOL_TARGET = 2.0
BOX_TARGET = 1.05

# A child that times SecretBox.random(32) once per line it reads.
WORKER = textwrap.dedent("""
    import sys, time, timeit
    from velmora._secure import SecretBox
    random = SecretBox.random
    number = int(sys.argv[1])
    random(32)
    for _ in sys.stdin:
        t = timeit.timeit(lambda: random(32), number=number, timer=time.process_time) / number
        print(t, flush=True)
""")

REFUSE_GETRANDOM_C = r"""
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    (void)buf; (void)len; (void)flags;
    errno = ENOSYS;
    return -1;
}
"""


def refuse_getrandom_shim(where: Path) -> Path:
    gcc = shutil.which("gcc") or shutil.which("cc")
    if gcc is None:
        raise SystemExit("--device needs a C compiler for the getrandom shim")
    (where / "shim.c").write_text(REFUSE_GETRANDOM_C)
    shim = where / "refuse_getrandom.so"
    subprocess.run([gcc, "-shared", "-fPIC", "-o", str(shim), str(where / "shim.c")], check=True)
    return shim


def worker(pythonpath: str, number: int, extra_env: dict) -> subprocess.Popen:
    env = {**os.environ, "PYTHONPATH": pythonpath, **extra_env}
    return subprocess.Popen([sys.executable, "-P", "-c", WORKER, str(number)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def ask(proc: subprocess.Popen) -> float:
    proc.stdin.write("round\n")
    proc.stdin.flush()
    return float(proc.stdout.readline())


def pool_vs_urandom(rounds: int, number: int) -> tuple[float, float]:
    from velmora._secure import EntropyPool

    pool = EntropyPool()
    pool.mix(os.urandom(32))
    ours = theirs = float("inf")
    for _ in range(rounds):
        ours = min(ours, timeit.timeit(lambda: pool.random(32), number=number, timer=CPU) / number)
        theirs = min(theirs, timeit.timeit(lambda: os.urandom(32), number=number, timer=CPU) / number)
    return ours, theirs


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--against", help="directory holding the other build's velmora package")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000, help="calls per round")
    parser.add_argument("--device", action="store_true",
                        help="children draw from /dev/urandom (getrandom refused)")
    args = parser.parse_args()

    import velmora._secure as secure

    rows = []
    ours, theirs = pool_vs_urandom(args.rounds, args.number)
    rows.append(("EntropyPool.random(32) / os.urandom(32)", ours, theirs, POOL_TARGET))

    if args.against:
        here = str(Path(secure.__file__).resolve().parents[1])
        with tempfile.TemporaryDirectory() as tmp:
            extra = {}
            if args.device:
                preload = os.environ.get("LD_PRELOAD", "")
                extra["LD_PRELOAD"] = " ".join(
                    p for p in (preload, str(refuse_getrandom_shim(Path(tmp)))) if p)
            this, other = worker(here, args.number, extra), worker(args.against, args.number, extra)
            try:
                t_this = t_other = float("inf")
                for _ in range(args.rounds):
                    t_this = min(t_this, ask(this))
                    t_other = min(t_other, ask(other))
            finally:
                for proc in (this, other):
                    proc.stdin.close()
                    proc.wait()
        path = "device" if args.device else "getrandom"
        # The device path pays one fstat more per read, by design: no target.
        rows.append((f"SecretBox.random(32), this / other build ({path})", t_this, t_other,
                     None if args.device else BOX_TARGET))

    print(f"velmora._secure from {secure.__file__}")
    if args.against:
        print(f"other build from {args.against}")
    print(f"{'figure':55} {'this':>10} {'other':>10} {'ratio':>6} {'target':>6}")
    failed = 0
    for name, a, b, target in rows:
        ratio = a / b
        over = target is not None and ratio > target
        failed += over
        shown = "-" if target is None else f"{target:.2f}"
        mark = "  over" if over else ""
        print(f"{name:55} {a * 1e9:8.1f}ns {b * 1e9:8.1f}ns {ratio:6.3f} {shown:>6}{mark}")
    print(json.dumps({name: a / b for name, a, b, _ in rows}))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
