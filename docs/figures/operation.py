"""The path of one operation from the interpreter to the core and back, next to
the calling thread's stack, which holds only the glue, and the module's own
locked stack, where the work runs (operation-path.svg).

    python docs/figures/operation.py OUTDIR
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _draw import (  # noqa: E402
    CORE, GUARD, INK, INTERP, NOTE, PADDING, WIPE, WORK, ZERO, arrow, box, canvas, save, vbrace,
)

OUTPUTS = ["operation-path.svg"]

# (text, colour, height) from the call down to the return.
STEPS = [
    ("key.aes_gcm_seal(nonce, plaintext)  (Python)", INTERP, 0.9),
    ("guarded(): the boundary\n"
     "no C++ exception gets past it; one Operation for the call,\n"
     "which takes an own stack when its work first needs one", WIPE, 1.9),
    ("bind(): arguments to parameters by position or name\n"
     "TypeError for one missing, extra or given twice", WORK, 1.4),
    ("the inputs: the nonce copied, the plaintext read in place\n"
     "(buffer protocol); TypeError / ValueError for a wrong type or length", WORK, 1.4),
    ("ObjectGuard: the box's own lock, for this one operation\n"
     "another thread has it: wait with the interpreter lock released\n"
     "a parent's thread held it in a fork() child: taken over, the object torn", WORK, 1.9),
    ("region checks: wiped, torn, or marker missing (a fork() child): refused", WORK, 0.9),
    ("the switch to the own stack (a locked stack from the pool)\n"
     "core call: AES-256-GCM with the key where it lies in locked memory;\n"
     "the bytes object for the output is made back on the thread's stack.\n"
     "Returns a Result, never throws. Vector registers cleared, switch back.\n"
     "(Stream push and pull run this with the interpreter lock released.)", CORE, 2.8),
    ("lock released: nothing under it fails halfway, so the object\n"
     "is whole; an error becomes SecureError", WORK, 1.4),
    ("the call ends, on return and while unwinding alike:\n"
     "the used part of the own stack zeroed (4 to 7 KiB, up to 32 KiB for\n"
     "calls that run ML-KEM, X25519 or the JSON reader), the stack back\n"
     "to the pool; vector registers cleared once more", WIPE, 2.3),
    ("back in Python: the sealed bytes, or the exception", INTERP, 0.9),
]

GAP = 0.45
FLOW_X, FLOW_W = 0.3, 14.6
STACK_X, STACK_W = 15.8, 5.2
OWN_X, OWN_W = 22.2, 5.6


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


def column(ax, x, w, top, title, segments):
    ax.text(x, top + 0.35, title, ha="left", va="bottom", fontsize=9, weight="bold", color=INK)
    y = top
    bounds = []
    for text, colour, h, hatch in segments:
        y -= h
        box(ax, x, y, w, h, text, colour, hatch=hatch, size=7.5)
        bounds.append((y, y + h))
    return bounds


def draw_stacks(ax, top):
    thread = column(ax, STACK_X, STACK_W, top, "The caller's stack", [
        ("the interpreter's frames", INTERP, 1.6, None),
        ("boundary frame\n(guarded)", WIPE, 1.2, None),
        ("glue: binding,\ninputs, lock, checks", WORK, 1.6, None),
        ("the switch's frame\n(saved registers)", WIPE, 1.0, None),
        ("the result object made\nhere, mid-operation", WORK, 1.2, None),
        ("the rest of the stack:\nnever written, whatever\nkind of stack it is", ZERO, 2.6,
         None),
    ])
    own = column(ax, OWN_X, OWN_W, top, "The module's own stack", [
        ("guard page", GUARD, 0.7, "//"),
        ("core frames: AES-GCM", CORE, 1.3, None),
        ("library frames: key\nschedule, cipher state", CORE, 1.6, None),
        ("the rest of the\ndeclared depth", PADDING, 1.3, None),
        ("room for a signal frame\n(AVX-512, AMX)", ZERO, 1.6, None),
        ("guard page", GUARD, 0.7, "//"),
    ])
    # The switch joins the two: the work continues at the own stack's top.
    arrow(ax, (STACK_X + STACK_W, thread[3][0] + 0.5), (OWN_X, own[1][1] - 0.3))
    vbrace(ax, OWN_X + OWN_W + 0.2, own[3][0], own[1][1],
           "zeroed when\nthe call ends", size=7.5)
    box(ax, OWN_X, own[5][0] - 2.6, OWN_W, 2.1,
        "locked (mlock), left out\nof core dumps, emptied\nin a fork child; shared\n"
        "through a small pool", WIPE, round_=True, size=7.5, align="left")


def draw(outdir: Path) -> None:
    flow_height = sum(h for _, _, h in STEPS) + GAP * (len(STEPS) - 1)
    height = flow_height + 1.4
    fig, ax = canvas(31.5, height, scale=0.36)
    top = height - 1.0
    draw_flow(ax, top)
    draw_stacks(ax, top)
    save(fig, outdir / OUTPUTS[0])


if __name__ == "__main__":
    draw(Path(sys.argv[1]))
