"""The path of one call, e.g. box.aes_gcm_seal(nonce, plaintext, aad), through the module."""

from __future__ import annotations

import matplotlib.pyplot as plt

STEPS = [
    ("the call",
     "Python calls, say, box.aes_gcm_seal(nonce, plaintext, aad); the interpreter binds\n"
     "the arguments (a missing or mistyped one is the interpreter's TypeError)", "#dddddd"),
    ("byte inputs copied",
     "each bytes-like argument is copied once into a buffer the module zeroes before freeing it;\n"
     "a str is refused", "#cfe3f5"),
    ("the object's lock",
     "the box's own mutex: one operation at a time per object; a call that must wait\n"
     "lets other Python threads run while it waits", "#cfe3f5"),
    ("the work on locked memory",
     "the marker is checked (wiped? fork child?), the key is used where it lives;\n"
     "failures are values, never exceptions; secret outputs go straight into new regions",
     "#f9d7c9"),
    ("the boundary wipes",
     "on the way out, returned or failed: the stack the work used below the boundary is zeroed\n"
     "and the vector registers are cleared, so no key or key schedule is left behind", "#f4c27a"),
    ("back to Python",
     "a result becomes bytes / a new SecretBox; an error becomes SecureError with its\n"
     "two-language message; the interpreter lock was held throughout (streams release it)",
     "#dddddd"),
]


def draw(path):
    height = len(STEPS) * 1.1
    fig, ax = plt.subplots(figsize=(10, height * 0.95))
    ax.set_xlim(0, 10)
    ax.set_ylim(-0.2, height)
    ax.axis("off")
    for i, (title, note, colour) in enumerate(STEPS):
        y = height - (i + 1) * 1.1 + 0.2
        ax.add_patch(plt.Rectangle((0.1, y), 2.9, 0.75, facecolor=colour, edgecolor="black"))
        ax.text(1.55, y + 0.375, title, ha="center", va="center", fontsize=8.5, wrap=True,
                fontweight="bold")
        ax.text(3.2, y + 0.375, note, va="center", fontsize=8)
        if i + 1 < len(STEPS):
            ax.annotate("", xy=(1.55, y - 0.33), xytext=(1.55, y),
                        arrowprops={"arrowstyle": "->", "linewidth": 1.2})
    fig.savefig(path, bbox_inches="tight", metadata={"Date": None})
    plt.close(fig)
