"""The layout of one locked region, and what wipe(), release and fork() do to it."""

from __future__ import annotations

import matplotlib.patches as patches
import matplotlib.pyplot as plt

GUARD, LOCKED, ZERO, GONE = "#c9c9c9", "#f4c27a", "#ffffff", "#f2f2f2"
MARKER, SECRET = "#8fb8de", "#e8735a"

# (label, start, width) along the mapping, in figure units: guard page, data
# area (marker, secret, padding), guard page.
PARTS = [("guard page\nno access", 0.0, 2.0), ("marker\n8 B", 2.0, 0.9),
         ("secret (len bytes)", 2.9, 3.6), ("zero padding\nto the page end", 6.5, 1.7),
         ("guard page\nno access", 8.2, 2.0)]

ROWS = [
    ("live", [GUARD, MARKER, SECRET, ZERO, GUARD],
     "data area locked (mlock), left out of core dumps (MADV_DONTDUMP),\n"
     "emptied in fork() children (MADV_WIPEONFORK); every use checks the marker"),
    ("after wipe()", [GUARD, ZERO, ZERO, ZERO, GUARD],
     "the data area is zeroed, marker included; still mapped, locked and counted;\n"
     "len() is kept; every use raises \"secret box was wiped\""),
    ("in a fork() child", [GUARD, ZERO, ZERO, ZERO, GUARD],
     "the kernel hands the child zero-filled pages: the marker is missing, so every use\n"
     "raises \"secret box is empty in this fork() child\"; public values stay readable"),
    ("released", [GONE] * 5,
     "when the object is freed: data area zeroed, then unlocked (munlock), uncounted\n"
     "(live_secrets) and unmapped; nothing of the secret is left"),
]


def draw(path):
    fig, ax = plt.subplots(figsize=(10.5, 6.2))
    ax.set_xlim(-2.3, 10.4)
    ax.set_ylim(-0.3, len(ROWS) * 1.55 + 0.6)
    ax.axis("off")
    for r, (title, colours, note) in enumerate(ROWS):
        y = (len(ROWS) - 1 - r) * 1.55 + 0.55
        ax.text(-2.25, y + 0.3, title, fontsize=10, fontweight="bold", va="center")
        for (label, x, w), colour in zip(PARTS, colours):
            hatch = "//" if colour == GUARD else None
            dashed = colour == GONE
            ax.add_patch(patches.Rectangle((x, y), w, 0.6, facecolor=colour, hatch=hatch,
                                           edgecolor="#999999" if dashed else "black",
                                           linestyle="--" if dashed else "-", linewidth=1))
            if not dashed and (r == 0 or colour != GUARD):
                text = label if colour != ZERO or r == 0 else "00 00 …"
                ax.text(x + w / 2, y + 0.3, text, ha="center", va="center", fontsize=8,
                        bbox={"facecolor": "white", "edgecolor": "none", "pad": 1}
                        if colour == GUARD else None)
        if r == 0:
            ax.add_patch(patches.Rectangle((2.0, y - 0.06), 6.2, 0.72, fill=False,
                                           edgecolor=LOCKED, linewidth=3))
            ax.text(5.1, y + 0.78, "data area: (8 + len) rounded up to whole pages",
                    ha="center", fontsize=8.5, color="#a86a00")
        ax.text(0.0, y - 0.12, note, fontsize=8, va="top", color="#333333")
    ax.text(-2.25, len(ROWS) * 1.55 + 0.45, "one mapping per secret, in address order →",
            fontsize=9, color="#555555")
    fig.savefig(path, bbox_inches="tight", metadata={"Date": None})
    plt.close(fig)
