"""Draws the manual's pictures from their sources in docs/figures/.

Each docs/figures/<name>.py has a ``draw(path)`` that writes one SVG with
matplotlib; they are drawn into docs/_generated/<name>.svg at every build,
before any page is read, so the pages show what the sources say.
"""

from __future__ import annotations

import runpy
from pathlib import Path


def draw_all(app):
    import matplotlib

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.hashsalt"] = "velmora"  # the same SVG for the same source
    src = Path(app.srcdir)
    out = src / "_generated"
    out.mkdir(exist_ok=True)
    for script in sorted((src / "figures").glob("*.py")):
        runpy.run_path(str(script))["draw"](out / f"{script.stem}.svg")


def setup(app):
    app.connect("builder-inited", draw_all)
    return {"version": "1", "parallel_read_safe": True}
