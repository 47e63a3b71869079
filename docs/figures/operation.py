"""The path of one operation from the interpreter to the core and back, next to
the calling thread's stack, which the boundary wipes on the way out
(operation-path.svg).

    python docs/figures/operation.py OUTDIR
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _draw import (  # noqa: E402
    CORE, GUARD, INK, INTERP, NOTE, PADDING, SECRET, WIPE, WORK, ZERO, arrow, box, canvas, save,
    vbrace,
)

OUTPUTS = ["operation-path.svg"]

# (text, colour, height) from the call down to the return.
STEPS = [
    ("key.aes_gcm_seal(nonce, plaintext)  (Python)", INTERP, 0.9),
    ("guarded(): the boundary\n"
     "no C++ exception gets past it; the work runs one frame further down.\n"
     "A thread's first call learns its stack's bounds here.", WIPE, 1.9),
    ("bind(): arguments to parameters by position or name\n"
     "TypeError for one missing, extra or given twice", WORK, 1.4),
    ("the inputs: the nonce copied, the plaintext read in place\n"
     "(buffer protocol); TypeError / ValueError for a wrong type or length", WORK, 1.4),
    ("ObjectGuard: the box's own lock, for this one operation\n"
     "another thread has it: wait with the interpreter lock released\n"
     "a parent's thread held it in a fork() child: taken over, the object torn", WORK, 1.9),
    ("region checks: wiped, torn, or marker missing (a fork() child): refused", WORK, 0.9),
    ("core call: AES-256-GCM with the key where it lies in locked memory,\n"
     "the output written straight into a new bytes object.\n"
     "Returns a Result, never throws. (Stream push and pull run this\n"
     "step with the interpreter lock released.)", CORE, 2.3),
    ("lock released: nothing under it fails halfway, so the object\n"
     "is whole; an error becomes SecureError", WORK, 1.4),
    ("the boundary wipe, on return and while unwinding alike:\n"
     "1. vector registers cleared (zmm0-31 and k0-7, or ymm / xmm)\n"
     "2. the stack below the boundary zeroed: 8 KiB, up to 32 KiB for calls\n"
     "    that run ML-KEM, X25519 or the JSON reader; never past the stack's end\n"
     "3. caller-saved general registers cleared", WIPE, 2.8),
    ("back in Python: the sealed bytes, or the exception", INTERP, 0.9),
]

GAP = 0.45
FLOW_X, FLOW_W = 0.3, 14.6
STACK_X, STACK_W = 16.2, 6.0


def draw_flow(ax, top):
    ax.text(FLOW_X, top + 0.35, "One call", ha="left", va="bottom", fontsize=10, weight="bold",
            color=INK)
    y = top
    for i, (text, colour, h) in enumerate(STEPS):
        y -= h
        box(ax, FLOW_X, y, FLOW_W, h, text, colour, round_=True, size=8, align="left")
        if i + 1 < len(STEPS):
            arrow(ax, (FLOW_X + 1.0, y), (FLOW_X + 1.0, y - GAP))
        y -= GAP


def draw_stack(ax, top):
    ax.text(STACK_X, top + 0.35, "The calling thread's stack (it grows down)", ha="left",
            va="bottom", fontsize=10, weight="bold", color=INK)
    # (text, colour, height, hatch)
    segments = [
        ("the interpreter's frames", INTERP, 1.6, None),
        ("boundary frame\n(guarded, run_and_wipe)", WIPE, 1.3, None),
        ("our frames: binding,\nlock, checks", WORK, 1.6, None),
        ("library frames: key\nschedule, hash and\ncipher states", CORE, 2.2, None),
        ("dead stack they\nleft behind", PADDING, 1.6, None),
        ("", ZERO, 1.4, None),
        ("the rest of the stack\n(untouched)", ZERO, 2.2, None),
        ("guard page (or gap)", GUARD, 0.9, "//"),
    ]
    y = top
    bounds = {}
    for i, (text, colour, h, hatch) in enumerate(segments):
        y -= h
        box(ax, STACK_X, y, STACK_W, h, text, colour, hatch=hatch, size=8)
        bounds[i] = (y, y + h)
    # The stack pointer when the boundary returns, and the wiped depth below it.
    sp = bounds[1][0]
    ax.annotate("stack pointer\nat the boundary", xy=(STACK_X, sp), xytext=(STACK_X - 0.2, sp + 1.0),
                ha="right", va="center", fontsize=7, color=NOTE,
                arrowprops=dict(arrowstyle="-|>", color=NOTE, lw=0.8))
    vbrace(ax, STACK_X + STACK_W + 0.25, bounds[5][0], sp,
           "zeroed when the call\nends, whatever is\nthere: 8 KiB, up to\n32 KiB for the\n"
           "deeper calls", size=7.5)
    lowest = bounds[7][1]
    ax.plot([STACK_X - 0.3, STACK_X + STACK_W + 0.3], [lowest, lowest], color=SECRET,
            linewidth=1.2, linestyle="--")
    ax.text(STACK_X + STACK_W + 0.4, lowest, "lowest usable address:\nthe wipe stops here",
            ha="left", va="center", fontsize=7.5, color=NOTE)
    # The registers, cleared with the stack.
    reg_y = bounds[7][0] - 2.9
    box(ax, STACK_X, reg_y, 27.7 - STACK_X, 2.2,
        "registers: the vector registers (xmm / ymm / zmm 0-31,\n"
        "k0-7) are cleared before the stack, the caller-saved\n"
        "general ones (rdx, rsi, rdi, r8-r11) after it", WIPE, round_=True, size=8,
        align="left")


def draw(outdir: Path) -> None:
    flow_height = sum(h for _, _, h in STEPS) + GAP * (len(STEPS) - 1)
    height = flow_height + 1.4
    fig, ax = canvas(28, height, scale=0.36)
    top = height - 1.0
    draw_flow(ax, top)
    draw_stack(ax, top)
    save(fig, outdir / OUTPUTS[0])


if __name__ == "__main__":
    draw(Path(sys.argv[1]))
