"""What the manual's drawings share: the colours, a blank canvas in units that
read like the picture's own grid, labelled boxes and arrows, and a writer that
makes the same SVG from the same source every time."""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import FancyArrowPatch, FancyBboxPatch, Rectangle  # noqa: E402

# One meaning per colour across every picture.
GUARD = "#b8b8b8"      # no access (PROT_NONE)
MARKER = "#f2a541"     # the 8-byte marker
SECRET = "#c0392b"     # secret bytes
PADDING = "#f6e3e1"    # the rest of the data area (zero, locked with it)
ZERO = "#ffffff"       # zeroed
GONE = "#eeeeee"       # unmapped
INTERP = "#dfe8f5"     # the interpreter's side
WORK = "#fbeee0"       # our code, with the interpreter lock held
CORE = "#f9d7d2"       # the core, on secret bytes
WIPE = "#d7ecd9"       # the boundary wipe
INK = "#222222"
NOTE = "#555555"

FONT = {"family": "DejaVu Sans", "size": 9}


def style() -> None:
    """The font, and SVG element ids that do not change from one drawing to the next."""
    plt.rcParams.update({"svg.hashsalt": "velmora-manual", "font.family": FONT["family"],
                         "font.size": FONT["size"]})


def canvas(width: float, height: float, scale: float = 0.55):
    """A figure whose axes run 0..width and 0..height, `scale` inches a unit."""
    style()
    fig = plt.figure(figsize=(width * scale, height * scale))
    ax = fig.add_axes((0, 0, 1, 1))
    ax.set_xlim(0, width)
    ax.set_ylim(0, height)
    ax.set_axis_off()
    return fig, ax


def box(ax, x, y, w, h, text="", color=ZERO, *, hatch=None, dashed=False, round_=False,
        size=None, weight="normal", text_color=INK, edge=INK, align="center"):
    """A labelled rectangle with its lower left corner at (x, y)."""
    style = dict(facecolor=color, edgecolor=edge, linewidth=1.0, hatch=hatch,
                 linestyle="--" if dashed else "-")
    if round_:
        patch = FancyBboxPatch((x, y), w, h, boxstyle="round,pad=0,rounding_size=0.15", **style)
    else:
        patch = Rectangle((x, y), w, h, **style)
    ax.add_patch(patch)
    if text:
        tx = x + w / 2 if align == "center" else x + 0.15
        # Over a hatch, the text sits on a patch of the plain colour.
        backing = dict(facecolor=color, edgecolor="none", pad=1.5) if hatch else None
        ax.text(tx, y + h / 2, text, ha=align, va="center", fontsize=size or FONT["size"],
                weight=weight, color=text_color, linespacing=1.3, bbox=backing)
    return patch


def arrow(ax, start, end, *, color=INK, style="-|>", dashed=False, rad=0.0, width=1.0):
    ax.add_patch(FancyArrowPatch(start, end, arrowstyle=style, mutation_scale=11, color=color,
                                 linewidth=width, linestyle="--" if dashed else "-",
                                 connectionstyle=f"arc3,rad={rad}", shrinkA=0, shrinkB=0))


def brace(ax, x0, x1, y, text, *, below=True, size=None, color=NOTE):
    """A bracket from x0 to x1 at height y with `text` beside it."""
    tick = -0.15 if below else 0.15
    ax.plot([x0, x0, x1, x1], [y - tick, y, y, y - tick], color=color, linewidth=0.9)
    ax.text((x0 + x1) / 2, y + (-0.3 if below else 0.3), text, ha="center",
            va="top" if below else "bottom", fontsize=size or FONT["size"] - 1, color=color)


def vbrace(ax, x, y0, y1, text, *, left=False, size=None, color=NOTE):
    """A vertical bracket from y0 to y1 at x with `text` beside it."""
    tick = 0.15 if left else -0.15
    ax.plot([x + tick, x, x, x + tick], [y0, y0, y1, y1], color=color, linewidth=0.9)
    ax.text(x + (-0.2 if left else 0.2), (y0 + y1) / 2, text, ha="right" if left else "left",
            va="center", fontsize=size or FONT["size"] - 1, color=color, linespacing=1.3)


def save(fig, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)
