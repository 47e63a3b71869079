"""Two or more builds of velmora._secure side by side, in one run: the
module's own benchmarks (bench_box, bench_symmetric, bench_secretstream,
bench_hybrid) run against each build in turn, round after round, and each of
their figures for our side is reported as a ratio to the first build's.

    python bench/bench_builds.py --build hardened=build/bench-hardened \\
        --build plain=build/bench-plain [--rounds N] [--quick]

Each --build names a build directory configured with VELMORA_BUILD_BENCH=ON
(its python/ tree holds the extension, box_create the native figures of
bench_box); bench/bench_builds.sh makes such directories, with and without the
hardening flags or with one flag at a time. Every benchmark runs in a child
interpreter whose PYTHONPATH starts at the build's python/ tree; within a round
the builds take turns, script by script, so that load from other processes
hits them alike, and each figure is the best over the rounds (--stat median:
the median, steadier than the best when the machine is busy). The scripts'
own ratios against their peers (cryptography, PyNaCl, the bare system calls)
are shown too: a build that is slower only because the machine was busier
moves its peer's figure as well.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# (script, its arguments, [--quick] arguments, line pattern -> (name, ours, peer ratio))
SCRIPTS = {
    "bench_box": (
        ["--rounds", "5", "--iterations", "20000"],
        ["--rounds", "2", "--iterations", "5000"],
    ),
    "bench_symmetric": ([], ["--quick"]),
    "bench_secretstream": ([], ["--quick"]),
    "bench_hybrid": (["--path", "each"], ["--path", "each", "--rounds", "3", "--ops", "50"]),
}

UNIT = {"ns": 1e-3, "us": 1.0, "µs": 1.0, "ms": 1e3}


def parse(script, text):
    """{figure name: (our time in µs, our ratio to the script's peer)}."""
    rows = {}
    if script == "bench_box":
        found = dict(re.findall(r"^\s+(\w+)\s+(\d+) ns", text, re.M))
        base = float(found["syscalls"])
        rows["SecretBox.random(32) + release"] = (float(found["SecretBox"]) / 1e3,
                                                   float(found["SecretBox"]) / base)
    elif script == "bench_symmetric":
        for m in re.finditer(r"^(\S.*?)\s+([\d.]+) us\s+([\d.]+) us\s+([\d.]+)\s", text, re.M):
            rows[m.group(1)] = (float(m.group(2)), float(m.group(4)))
    elif script == "bench_secretstream":
        for m in re.finditer(r"^(push|pull)\s+(\S+ \S+|\S+)\s+([\d.]+) (µs|ms)\s+[\d.]+ (?:µs|ms)"
                             r"\s+([\d.]+)", text, re.M):
            rows[f"{m.group(1)} {m.group(2)}"] = (float(m.group(3)) * UNIT[m.group(4)],
                                                  float(m.group(5)))
        m = re.search(r"1 thread (\d+) MB/s, 2 threads on 2 streams (\d+) MB/s", text)
        if m:  # a throughput: its inverse, so that higher is worse like the rest
            rows["push 1 MiB, 2 threads (1/throughput)"] = (1e6 / float(m.group(2)),
                                                            float(m.group(1)) / float(m.group(2)))
    elif script == "bench_hybrid":
        path = None
        for line in text.splitlines():
            head = re.match(r"Hybrid seal, ML-KEM path (\w+)", line)
            if head:
                path = head.group(1)
            # operation, ours, cryptography, ours/theirs, then the target
            # ("-" where the path has none)
            m = re.match(r"^(\S.*?)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+(?:[\d.]+|-)$", line)
            if m and path:
                rows[f"{m.group(1)} ({path})"] = (float(m.group(2)), float(m.group(4)))
    if not rows:
        raise RuntimeError(f"{script}: nothing recognised in its output:\n{text}")
    return rows


def run(script, args, build):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(build / "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    extra = ["--exe", str(build / "box_create")] if script == "bench_box" else []
    # A script exits 1 when a figure misses its own target; that is reported
    # in its figures, not a failure of this run.
    done = subprocess.run([sys.executable, str(HERE / f"{script}.py"), *args, *extra], env=env,
                          capture_output=True, text=True)
    if done.returncode not in (0, 1):
        raise RuntimeError(f"{script} failed:\n{done.stdout}\n{done.stderr}")
    return parse(script, done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", required=True, metavar="NAME=DIR",
                        help="a build directory; the first is the reference")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="the scripts' short runs")
    parser.add_argument("--only", action="append", help="just these scripts")
    parser.add_argument("--stat", choices=("best", "median"), default="best",
                        help="how a figure is taken from its rounds")
    args = parser.parse_args()

    builds = []
    for item in args.build:
        name, _, path = item.partition("=")
        builds.append((name, Path(path).resolve()))
    scripts = args.only or list(SCRIPTS)

    seen = {}  # (build, figure) -> [(time, peer ratio)] over the rounds
    order = []
    for r in range(args.rounds):
        for script in scripts:
            full, quick = SCRIPTS[script]
            # Alternate which build goes first.
            for name, path in builds if r % 2 == 0 else builds[::-1]:
                print(f"round {r + 1}: {script} on {name}", file=sys.stderr)
                for figure, (t, ratio) in run(script, quick if args.quick else full, path).items():
                    key = (name, f"{script}: {figure}")
                    if key[1] not in order:
                        order.append(key[1])
                    seen.setdefault(key, []).append((t, ratio))

    def pick(values):
        if args.stat == "best":
            return min(values)
        return (statistics.median(t for t, _ in values),
                statistics.median(r for _, r in values))

    best = {key: pick(values) for key, values in seen.items()}
    # A figure that some build never printed (a renamed case, a path it
    # lacks) cannot be compared; it is named rather than dropped silently.
    names = [name for name, _ in builds]
    lacking = {figure: [n for n in names if (n, figure) not in best] for figure in order}
    for figure, missing in lacking.items():
        if missing:
            print(f"not compared, missing from {', '.join(missing)}: {figure}", file=sys.stderr)
    order = [figure for figure in order if not lacking[figure]]

    ref = builds[0][0]
    print(f"{args.stat} of {args.rounds} rounds; time in µs; x{ref}: time over {ref}'s; "
          f"peer: the script's own ratio to its peer")
    width = {name: max(12, len(name) + 2) for name, _ in builds}
    header = f"{'figure':58}" + "".join(f"{name:>{width[name]}}{'x' + ref:>9}{'peer':>7}"
                                        for name, _ in builds)
    print(header)
    worst = 0.0
    for figure in order:
        base = best[(ref, figure)][0]
        cells = ""
        for name, _ in builds:
            t, ratio = best[(name, figure)]
            cells += f"{t:{width[name]}.3f}{t / base:9.3f}{ratio:7.2f}"
            if name != ref:
                worst = max(worst, t / base)
        print(f"{figure:58}{cells}")
    print(f"largest time ratio to {ref}: {worst:.3f}; load average {os.getloadavg()[0]:.1f}; "
          f"{os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
