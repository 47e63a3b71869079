"""The process's table of memory mappings (vm.max_map_count entries) is shared
by everything in it. Boxes stop short of filling it: a box that would leave
fewer than 4096 entries is refused with the allocation error, and threads,
imports and the allocator go on working. Each case runs in a child, which
fills its own table: with mappings of its own, or with boxes."""

from __future__ import annotations

import pytest

import kernel_probe
from conftest import SANITIZED
from messages import ALLOCATION

RESERVE = 4096
# How far below the reserve the count may end: the sanitizers' runtime maps
# memory of its own between our count and the refusal.
SLACK = 64 if SANITIZED else 16

PRELUDE = r"""
import ctypes, json, mmap, threading, time
import velmora._secure as s

libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                      ctypes.c_int, ctypes.c_long]
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
PAGE = mmap.PAGESIZE
LIMIT = int(open("/proc/sys/vm/max_map_count").read())

def entries():
    with open("/proc/self/maps", "rb") as f:
        return f.read().count(b"\n")

def fill_to(target):
    # One PROT_NONE reservation with every other page opened: each opened page
    # splits off two more entries.
    k = (target - entries() - 1) // 2
    base = libc.mmap(None, (2 * k + 1) * PAGE, 0, 0x22, -1, 0)  # MAP_PRIVATE|MAP_ANONYMOUS
    assert base not in (None, 2**64 - 1), ctypes.get_errno()
    for i in range(k):
        assert libc.mprotect(base + (2 * i + 1) * PAGE, PAGE, 1) == 0, ctypes.get_errno()

def boxes_until_refused(most):
    boxes = []
    while len(boxes) < most:
        try:
            boxes.append(s.SecretBox.random(32))
        except s.SecureError as e:
            return boxes, str(e)
    return boxes, None

def the_rest_works():
    # Threads running at once, an extension module and its library loaded, and
    # a large allocation (which malloc maps on its own).
    done = []
    threads = [threading.Thread(target=lambda i=i: done.append(i)) for i in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    import decimal
    big = bytearray(64 << 20)
    big[-1] = 1
    return [len(done), str(decimal.Decimal(1) / 3)]
"""

WORKS = [64, "0.3333333333333333333333333333"]


@pytest.mark.parametrize("counted_before", [False, True], ids=["first-box", "count-aged"])
def test_boxes_keep_the_reserve_when_the_process_fills_the_table(run_child, counted_before):
    """The rest of the process has filled the table to near the reserve. Either
    the first box counts it, or an early box counted it when it was nearly
    empty and that count has aged by the time the table is full."""
    # The child fills the table up to the kernel's own limit, by its own count.
    kernel_probe.require("own_mapping_table")
    out = run_child(
        f"""
        early = s.SecretBox.random(32) if {counted_before} else None
        fill_to(LIMIT - {RESERVE} - 200)
        if early is not None:
            time.sleep(1.1)
        boxes, refused = boxes_until_refused(1000)
        left = LIMIT - entries()
        live = s.memory_status()["live_secrets"] - (early is not None)
        works = the_rest_works()
        del boxes[:10]
        again = s.SecretBox.random(32).is_locked is not None
        print(json.dumps(dict(made=len(boxes) + 10, refused=refused, left=left, live=live,
                              works=works, again=again)))
        """,
        prelude=PRELUDE,
    ).json()
    assert out["refused"] == ALLOCATION
    # Each box takes two entries (its guard pages merge with its neighbour's):
    # about a hundred fit before the reserve.
    assert 60 <= out["made"] <= 110, out
    assert RESERVE - SLACK <= out["left"] <= RESERVE + 3, out
    assert out["live"] == out["made"]  # a refused box leaves nothing behind
    assert out["works"] == WORKS
    assert out["again"] is True  # released boxes give their entries back


def test_boxes_alone_stop_at_the_reserve(run_child):
    """Boxes are what fills the table here: about 30,000 of them in the
    default table of 65,530."""
    out = run_child(
        """
        start = entries()
        boxes, refused = boxes_until_refused(LIMIT)
        left = LIMIT - entries()
        works = the_rest_works()
        made = len(boxes)
        boxes.clear()
        print(json.dumps(dict(limit=LIMIT, start=start, made=made, refused=refused, left=left,
                              works=works,
                              live=s.memory_status()["live_secrets"],
                              back=entries() - start < 50,
                              again=s.SecretBox.random(32).is_locked is not None)))
        """,
        prelude=PRELUDE,
        timeout=300,
    ).json()
    assert out["refused"] == ALLOCATION
    assert RESERVE - SLACK <= out["left"] <= RESERVE + 3, out
    # Two entries a box, and none lost to a pessimistic estimate (three a box
    # would stop a third short). Some room goes to what the interpreter maps
    # meanwhile, the list of boxes among it.
    assert out["made"] >= (out["limit"] - RESERVE - out["start"]) // 2 - 100, out
    assert out["works"] == WORKS
    assert out["live"] == 0 and out["back"] and out["again"]
