"""Draws the manual's pictures and plots before the pages are read.

Every script in docs/figures/ (the ones not starting with ``_``) names the files
it draws (``OUTPUTS``), what it reads besides itself (``INPUTS``), and draws
them with ``draw(outdir)``. They are drawn into docs/_generated/, which the
pages' figures point at and git ignores, each time its script, the shared
helpers (figures/_draw.py) or an input is newer than what it drew last; so a
second build, or the doctest run after the HTML one, draws nothing.
"""

from __future__ import annotations

import importlib.util
from pathlib import Path

from sphinx.util import logging

logger = logging.getLogger(__name__)

DOCS = Path(__file__).resolve().parents[1]
FIGURES = DOCS / "figures"
OUT = DOCS / "_generated"


def load(script: Path):
    spec = importlib.util.spec_from_file_location(f"velmora_manual_figure_{script.stem}", script)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def draw_all(app) -> None:
    shared = FIGURES / "_draw.py"
    for script in sorted(FIGURES.glob("*.py")):
        if script.name.startswith("_"):
            continue
        module = load(script)
        outputs = [OUT / name for name in module.OUTPUTS]
        inputs = [script, shared, *map(Path, getattr(module, "INPUTS", []))]
        newest = max(p.stat().st_mtime for p in inputs)
        if all(o.exists() and o.stat().st_mtime >= newest for o in outputs):
            continue
        logger.info("drawing %s", script.relative_to(DOCS))
        module.draw(OUT)
        for o in outputs:
            if not o.exists():
                logger.warning("%s did not draw %s", script.relative_to(DOCS), o.name)


def setup(app):
    app.connect("builder-inited", draw_all)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
