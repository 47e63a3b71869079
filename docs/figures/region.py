"""The locked region behind every box: its layout (region-layout.svg), and what
wipe(), release and fork() do to it (region-lifecycle.svg).

    python docs/figures/region.py OUTDIR
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _draw import (  # noqa: E402
    GONE, GUARD, INK, INTERP, MARKER, NOTE, PADDING, SECRET, ZERO, arrow, box, brace, canvas,
    save,
)

OUTPUTS = ["region-layout.svg", "region-lifecycle.svg"]


def layout(path: Path) -> None:
    fig, ax = canvas(24, 9.2, scale=0.4)
    y, h = 3.2, 1.6

    # The box object on the interpreter heap, pointing at its region.
    box(ax, 0.3, 7.0, 6.2, 1.6, "SecretBox object\n(interpreter heap: lock, flags,\nlength, pointer)",
        INTERP, round_=True, size=8)
    arrow(ax, (3.4, 7.0), (4.75, y + h + 0.5), rad=0.25)

    box(ax, 0.3, y, 4.4, h, "guard page\nno access", GUARD, hatch="//")
    box(ax, 4.7, y, 1.6, h, "marker\n8 B", MARKER)
    box(ax, 6.3, y, 6.0, h, "secret\nn bytes", SECRET, text_color="white", weight="bold")
    box(ax, 12.3, y, 6.0, h, "zero to the page end", PADDING)
    box(ax, 18.3, y, 4.4, h, "guard page\nno access", GUARD, hatch="//")

    brace(ax, 4.7, 18.3, y + h + 0.35, "data area: n + 8 bytes rounded up to whole pages\n"
          "mlock (kept out of swap) · MADV_DONTDUMP (out of core files)\n"
          "MADV_WIPEONFORK (zero-filled in a fork() child)", below=False, size=8)
    brace(ax, 0.3, 22.7, y - 0.35, "one private anonymous mmap per secret: the data area and a "
          "page on each side", size=8)
    ax.text(5.5, y - 1.55, "0x1A5EC0DE5EC01E55, little-endian:\nchecked on every access; "
            "missing means\n\"this is a fork() child\"", ha="left", va="top", fontsize=7.5,
            color=NOTE)
    arrow(ax, (5.5, y - 1.6), (5.5, y - 0.05), color=NOTE, width=0.8)
    ax.text(23.7, y - 1.55, "an overrun from a neighbouring buffer,\nor out of the secret, "
            "faults here", ha="right", va="top", fontsize=7.5, color=NOTE)
    arrow(ax, (20.5, y - 1.6), (20.5, y - 0.05), color=NOTE, width=0.8)
    save(fig, path)


# (title, the data area's segments as (width, colour, label), the row's text).
# The guard pages stay as they are until release.
LIVE = [(0.8, MARKER, ""), (3.2, SECRET, ""), (2.4, PADDING, "")]
ZEROED = [(6.4, ZERO, "0 0 0 0 0 0 0 0 0 0")]
STATES = [
    ("after random() or from_bytes()", LIVE,
     "mapped, guard pages set, advised, locked, marker written; the secret\n"
     "is born there (OS random source, a derivation) or copied in, and a\n"
     "writable source (a bytearray) is zeroed. is_locked: True"),
    ("after wipe()", ZEROED,
     "the whole data area is zeroed, marker included. Still mapped, locked\n"
     "and counted; every use raises \"secret box was wiped\". is_wiped: True"),
    ("after release", None,
     "when the box is freed (its last reference gone): the data area is\n"
     "zeroed, unlocked and unmapped; memory_status() counts one box fewer"),
    ("in a fork() child", ZEROED,
     "the kernel gives the child a zero-filled data area: no marker, so\n"
     "every use raises \"secret box is empty in this fork() child; ...\".\n"
     "Page locks are not inherited (is_locked: False). The parent keeps its own."),
]


def lifecycle(path: Path) -> None:
    row = 2.3
    fig, ax = canvas(24, row * len(STATES) + 0.3, scale=0.4)
    for i, (title, segments, says) in enumerate(STATES):
        y = row * (len(STATES) - 1 - i) + 0.35
        h = 1.1
        ax.text(0.3, y + h + 0.2, title, ha="left", va="bottom", fontsize=9, weight="bold",
                color=INK)
        if segments is None:
            box(ax, 0.3, y, 9.6, h, "unmapped: the addresses are free for reuse", GONE,
                dashed=True, size=8, text_color=NOTE)
        else:
            box(ax, 0.3, y, 1.6, h, "", GUARD, hatch="//")
            x = 1.9
            for width, colour, label in segments:
                box(ax, x, y, width, h, label, colour, size=8, text_color=NOTE)
                x += width
            box(ax, x, y, 1.6, h, "", GUARD, hatch="//")
        ax.text(10.5, y + h / 2 + 0.1, says, ha="left", va="center", fontsize=8, color=INK,
                linespacing=1.35)
    save(fig, path)


def draw(outdir: Path) -> None:
    layout(outdir / OUTPUTS[0])
    lifecycle(outdir / OUTPUTS[1])


if __name__ == "__main__":
    draw(Path(sys.argv[1]))
