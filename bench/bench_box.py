"""Cost of creating and releasing a 32-byte SecretBox, next to the bare system
calls of a locked region and to libsodium's guarded allocation, in one run.

    python bench/bench_box.py [--rounds N] [--iterations N] [--wall] [--exe PATH] [--json FILE]

The native figures come from bench/box_create (built on first use into
build/bench unless --exe names it); the Python figure times
`SecretBox.random(32)` whose result is dropped at once, so every iteration is
one creation and one release. Native and Python rounds alternate, and each
figure is the best round (the least disturbed one). Times are the calling
thread's CPU time, the kernel's work in its system calls included, so that
other load on a shared machine does not land on one side only; --wall times
wall-clock instead. The floor is the
eight-call sequence a region once took (mmap read-write, two mprotect for the
guard pages, two madvise, mlock, munlock, munmap); the six calls a region takes
now are shown beside it. Targets, against the floor: the region from C++ at
most 0.8, the box from Python at most 0.95. --json also writes the figures to
FILE (docs/perf/make_perf.py reads them).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

from velmora._secure import SecretBox, memory_status

ROOT = Path(__file__).resolve().parents[1]
# row name: the most it may cost, as a ratio to the floor
TARGETS = {"region": 0.8, "SecretBox": 0.95}


def build_native(build_dir: Path) -> Path:
    exe = build_dir / "box_create"
    if not (build_dir / "build.ninja").exists():
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DVELMORA_BUILD_BENCH=ON",
             "-DVELMORA_BUILD_EXTENSION=OFF"],
            check=True, stdout=subprocess.DEVNULL,
        )
    subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", "box_create"],
                   check=True, stdout=subprocess.DEVNULL)
    return exe


def native_round(exe: Path, iterations: int, wall: bool) -> dict[str, float]:
    argv = [str(exe), str(iterations), "1"] + ([] if wall else ["cpu"])
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    return {row["name"]: float(row["ns"]) for row in map(json.loads, out.splitlines())}


def box_round(iterations: int, wall: bool = False) -> float:
    random = SecretBox.random
    clock = time.perf_counter_ns if wall else time.thread_time_ns
    start = clock()
    for _ in range(iterations):
        random(32)
    return (clock() - start) / iterations


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--iterations", type=int, default=500)
    parser.add_argument("--wall", action="store_true", help="wall-clock time, not CPU time")
    parser.add_argument("--exe", type=Path, help="a built box_create")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args = parser.parse_args()

    exe = args.exe or build_native(ROOT / "build" / "bench")
    box_round(args.iterations // 10 + 1)  # warm up

    best: dict[str, float] = {}
    for _ in range(args.rounds):
        for name, ns in native_round(exe, args.iterations, args.wall).items():
            best[name] = min(best.get(name, float("inf")), ns)
        best["SecretBox"] = min(best.get("SecretBox", float("inf")),
                                box_round(args.iterations, args.wall))

    status = memory_status()
    if status["unlocked_allocations"]:
        print("warning: some boxes were not locked (mlock failed); the box figure skips mlock",
              file=sys.stderr)

    rows = [
        ("syscalls", "mmap + 2 mprotect + 2 madvise + mlock + munlock + munmap"),
        ("six_calls", "mmap PROT_NONE + mprotect + 2 madvise + mlock + munmap"),
        ("sodium", "sodium_malloc(32) + sodium_free"),
        ("region", "LockedRegion allocate(32) + release"),
        ("region_random", "the same, filled from the OS random source"),
        ("SecretBox", "SecretBox.random(32) + release, from Python"),
    ]
    base = best["syscalls"]
    print(f"create + release of a 32-byte secret, best of {args.rounds} rounds "
          f"x {args.iterations}, {'wall-clock' if args.wall else 'CPU'} time "
          f"(page size {status['page_size']})")
    for name, what in rows:
        target = TARGETS.get(name)
        verdict = "" if target is None else (
            f"  target <= {target}: " + ("met" if best[name] / base <= target else "MISSED"))
        print(f"  {name:<14} {best[name]:9.0f} ns  {best[name] / base:5.2f}x  {what}{verdict}")
    print(f"SecretBox / sodium = {best['SecretBox'] / best['sodium']:.2f}x")
    if args.json:
        report = {
            "benchmark": "box", "baseline": "syscalls",
            "clock": "wall" if args.wall else "thread CPU",
            "rounds": args.rounds, "iterations": args.iterations,
            "page_size": status["page_size"],
            "unlocked": bool(status["unlocked_allocations"]),
            "rows": [{"name": name, "what": what, "ns": best[name], "ratio": best[name] / base,
                      **({"target": TARGETS[name]} if name in TARGETS else {})}
                     for name, what in rows],
        }
        args.json.write_text(json.dumps(report, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
