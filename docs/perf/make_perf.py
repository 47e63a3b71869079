"""Runs the benchmarks of bench/ and writes what they measured, with the
machine they ran on, to docs/perf/results.json, from which the manual's
Performance page draws its tables and plots (the docs build never runs them).

    .venv/bin/python -P docs/perf/make_perf.py [--quick] [--only NAME ...] [--out FILE]

Each benchmark runs in its own process, one after the other, with its
default settings (--quick: fewer rounds, for a smoke run whose figures are
not worth committing) and reports through its --json option. Takes several
minutes. --only reruns some of them and keeps the others' figures from FILE.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = Path(__file__).resolve().parent / "results.json"

# name: (script, its arguments for a quick run)
BENCHMARKS = {
    "box": ("bench_box.py", ["--rounds", "20", "--iterations", "500"]),
    "symmetric": ("bench_symmetric.py", ["--quick"]),
    "secretstream": ("bench_secretstream.py", ["--quick"]),
    "hybrid": ("bench_hybrid.py", ["--rounds", "5", "--ops", "20"]),
}


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_flags() -> list[str]:
    """The vector extensions the code paths choose between."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    return [x for x in ("aes", "pclmulqdq", "avx", "avx2", "avx512f", "vaes",
                                        "vpclmulqdq") if x in have]
    except OSError:
        pass
    return []


def version_of(dist: str) -> str | None:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def git_commit() -> str | None:
    try:
        return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              check=True, capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def machine() -> dict:
    return {
        "cpu": cpu_model(),
        "cpu_flags": cpu_flags(),
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "cryptography": version_of("cryptography"),
        "pynacl": version_of("PyNaCl"),
        "commit": git_commit(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load_before": round(os.getloadavg()[0], 2),
    }


def run(name: str, quick: bool, tmp: Path) -> dict:
    script, quick_args = BENCHMARKS[name]
    out = tmp / f"{name}.json"
    argv = [sys.executable, "-P", str(ROOT / "bench" / script), "--json", str(out)]
    if quick:
        argv += quick_args
    print(f"== {name}: {' '.join(argv[2:])}", flush=True)
    # The symmetric benchmark's status says whether every target was met; a
    # missed target is a figure worth publishing, not a failure of this run.
    done = subprocess.run(argv, cwd=ROOT)
    if not out.exists():
        raise SystemExit(f"{script} wrote no figures (exit status {done.returncode})")
    return json.loads(out.read_text())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    parser.add_argument("--only", nargs="+", choices=sorted(BENCHMARKS), help="run just these")
    parser.add_argument("--out", type=Path, default=OUT)
    args = parser.parse_args()

    results = {}
    if args.only and args.out.exists():
        results = json.loads(args.out.read_text()).get("benchmarks", {})
    about = machine()
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.only or BENCHMARKS:
            results[name] = run(name, args.quick, Path(tmp))
    about["load_after"] = round(os.getloadavg()[0], 2)
    about["quick"] = args.quick
    report = {"machine": about, "benchmarks": {n: results[n] for n in BENCHMARKS if n in results}}
    args.out.write_text(json.dumps(report, indent=1, ensure_ascii=False) + "\n")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
