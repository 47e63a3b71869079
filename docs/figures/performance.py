"""The Performance page's plots, from the benchmark figures committed in
docs/perf/results.json (docs/perf/make_perf.py writes them): one chart of
time ratios per benchmark, perf-<benchmark>.svg.

    python docs/figures/performance.py OUTDIR
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import matplotlib.pyplot as plt  # noqa: E402

from _draw import INK, NOTE, SECRET, save, style  # noqa: E402

RESULTS = Path(__file__).resolve().parents[1] / "perf" / "results.json"
INPUTS = [RESULTS]
OUTPUTS = ["perf-box.svg", "perf-symmetric.svg", "perf-secretstream.svg", "perf-hybrid.svg"]

# The rows of bench/bench_box.py as the chart names them.
BOX_LABELS = {
    "six_calls": "the six calls a region takes",
    "sodium": "sodium_malloc + sodium_free",
    "region": "LockedRegion (C++)",
    "region_random": "LockedRegion, random fill",
    "SecretBox": "SecretBox.random(32)",
}

OURS = "#2e86c1"
OURS_2 = "#85c1e9"


def ratio_chart(path: Path, title: str, parity: str, series, targets=None,
                xlabel="time ratio, ours / theirs (below 1: faster)"):
    """Horizontal bars of time ratios, one row per operation (top to bottom),
    one bar per series [(name, colour, {operation: ratio})], with the parity
    line at 1.0 and each row's target, if any, as a mark."""
    labels = list(series[0][2])
    rows = len(labels)
    style()
    fig, ax = plt.subplots(figsize=(8.2, 1.5 + 0.3 * rows * len(series)), layout="constrained")
    height = 0.8 / len(series)
    top = max(1.0, max(max(values.values()) for _, _, values in series))
    if targets:
        top = max(top, max(t for t in targets.values() if t is not None))
    for k, (name, colour, values) in enumerate(series):
        ys = [i + (k - (len(series) - 1) / 2) * height for i in range(rows)]
        xs = [values[label] for label in labels]
        ax.barh(ys, xs, height=height * 0.85, color=colour, label=name if len(series) > 1 else None)
        for y, x, label in zip(ys, xs, labels):
            # The figure goes past the target's mark, never over it.
            t = (targets or {}).get(label) or 0
            ax.text(max(x, t) + top * 0.012, y, f"{x:.2f}", va="center", ha="left", fontsize=8,
                    color=INK)
    if targets:
        marked = False
        for i, label in enumerate(labels):
            t = targets.get(label)
            if t is not None:
                ax.plot([t, t], [i - 0.45, i + 0.45], color=SECRET, linewidth=1.6,
                        label=None if marked else "target (at most)")
                marked = True
    ax.axvline(1.0, color=NOTE, linewidth=1.0, linestyle="--")
    ax.text(1.0, -0.6, f" 1.0 = {parity}", ha="left", va="center", fontsize=8, color=NOTE)
    ax.set_yticks(range(rows), labels)
    ax.set_ylim(rows - 0.5, -0.95)
    ax.set_xlim(0, top * 1.12)
    ax.set_xlabel(xlabel)
    ax.set_title(title, fontsize=10, loc="left")
    ax.spines[["top", "right"]].set_visible(False)
    if len(series) > 1 or targets:
        fig.legend(loc="outside lower center", ncol=3, fontsize=8, frameon=False)
    save(fig, path)


def draw(outdir: Path) -> None:
    bench = json.loads(RESULTS.read_text())["benchmarks"]

    box = bench["box"]
    rows = [r for r in box["rows"] if r["name"] != box["baseline"]]
    ratio_chart(outdir / "perf-box.svg",
                "Creating and releasing a 32-byte secret, against the eight-call floor",
                "the eight system calls a region once took",
                [("time / eight-call floor", OURS,
                  {BOX_LABELS.get(r["name"], r["name"]): r["ratio"] for r in rows})],
                {BOX_LABELS.get(r["name"], r["name"]): r["target"] for r in rows if "target" in r},
                xlabel="time ratio, each / the eight-call floor")

    sym = bench["symmetric"]["rows"]
    ratio_chart(outdir / "perf-symmetric.svg",
                "Symmetric operations against cryptography and the standard library",
                "the peer's time",
                [("velmora._secure / peer", OURS, {r["operation"]: r["ratio"] for r in sym})],
                {r["operation"]: r["target"] for r in sym})

    stream = bench["secretstream"]["rows"]
    ratio_chart(outdir / "perf-secretstream.svg", "Secret stream against PyNaCl",
                "PyNaCl's time",
                [("velmora._secure / PyNaCl", OURS, {r["operation"]: r["ratio"] for r in stream})],
                {r["operation"]: r["target"] for r in stream})

    paths = bench["hybrid"]["paths"]
    ratio_chart(outdir / "perf-hybrid.svg",
                "Hybrid seal against the same composition on cryptography", "cryptography's time",
                [(f"ML-KEM {name} path", colour, {r["operation"]: r["ratio"] for r in paths[name]})
                 for name, colour in (("avx2", OURS), ("portable", OURS_2)) if name in paths])


if __name__ == "__main__":
    draw(Path(sys.argv[1]))
