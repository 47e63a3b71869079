"""The module's own stacks, seen from Python: what a core dump taken in the
middle of an operation holds, what is left once many threads have called in
and ended, what the stacks cost the boxes' lock budget, and that forks and
signals arriving mid-operation find nothing broken.

Each runs in a child interpreter (process-wide state: limits, forks, core
dumps, timers).
"""

from __future__ import annotations

import os
import struct
from pathlib import Path

import pytest

import derived as d
import kernel_probe
from conftest import SANITIZED, built_testmods, missing_testmod
from operations import STACK_MARKER, OpChild, make_inputs

KIB = 1024
IDLE_STACKS = 4  # what the pool keeps between calls (src/locked/own_stack.h)


# --- core dumps ------------------------------------------------------------------------------


def load_segments(core):
    """The memory a core file holds (its PT_LOAD contents), without the notes
    (the threads' registers)."""
    data = core.read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2, "not a 64-bit ELF core"
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    out = []
    for i in range(phnum):
        p_type, _, p_offset, _, _, p_filesz = struct.unpack_from("<IIQQQQ", data, phoff + i * phentsize)
        if p_type == 1 and p_filesz:  # PT_LOAD
            out.append(data[p_offset:p_offset + p_filesz])
    return out


def core_dumps_land_in_the_working_directory():
    try:
        pattern = Path("/proc/sys/kernel/core_pattern").read_text().strip()
    except OSError:
        return False
    return not pattern.startswith("|") and "/" not in pattern


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime dumps no core by default")
def test_a_core_dump_taken_mid_operation_holds_no_key(tmp_path):
    """A thread seals 1 MiB messages back to back when the process aborts
    (from a thread of its own, so the interpreter lock does not decide when):
    the dump (the kernel's, which leaves out what is advised dont-dump) must
    hold neither the key nor its AES key schedule or GHASH key, which the seal
    works with on the stack. The registers of the thread caught mid-operation
    are in the dump's notes and are not what this is about."""
    # The dump leaves out what the kernel was advised to, and is the
    # interpreter's own memory.
    kernel_probe.require("memory_advice", "own_memory")
    if not core_dumps_land_in_the_working_directory():
        pytest.skip("kernel.core_pattern does not write core files into the working directory")
    testmods = built_testmods()
    if not any(testmods.glob("_stack_probe*")):
        missing_testmod("_stack_probe", "_stack_probe", testmods)
    for attempt in range(3):
        where = tmp_path / f"run{attempt}"
        where.mkdir()
        inputs = make_inputs()
        child = OpChild(inputs, pythonpath=[testmods], cwd=where)
        try:
            assert child.ask(f"abort-mid-seal {1024 * KIB}") == "sealing"
            child.proc.wait(timeout=60)
        finally:
            child.close()
        cores = sorted(where.glob("core*"))
        assert cores, f"no core file written (exit status {child.proc.returncode})"
        segments = load_segments(cores[0])
        key = inputs.secrets["KEY"]
        needles = {f"round key {i + 2}": rk for i, rk in enumerate(d.aes256_round_keys(key))}
        needles["key"] = key
        needles["ghash key"] = ghash_key(key)
        needles["control"] = inputs.public["CONTROL"]
        found = {name for name, needle in needles.items()
                 if any(seg.find(needle) >= 0 for seg in segments)}
        assert "control" in found, "the planted copy is not in the dump: the reader is broken"
        assert found == {"control"}, f"attempt {attempt}: {sorted(found - {'control'})} in the dump"


def ghash_key(key):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return enc.update(bytes(16)) + enc.finalize()


# --- what stays behind ------------------------------------------------------------------------

# Counts the own stacks in the child's memory and checks that they hold nothing
# but their marker.
STACK_CENSUS = r"""
import re
def own_stacks():
    stacks, current = [], None
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) r", line)
            if m:
                current = (int(m[1], 16), int(m[2], 16))
            elif line.startswith("VmFlags:") and current:
                flags = line.split()[1:]
                if "dd" in flags and "wf" in flags:
                    stacks.append(current)
                current = None
    # (start of the data area, bytes other than zero past the marker) per
    # stack; a locked area right above a stack's is the rest of it.
    out = []
    with open("/proc/self/mem", "rb", buffering=0) as mem:
        for start, end in stacks:
            mem.seek(start)
            data = mem.read(end - start)
            if data[:8] == MARKER:
                out.append([end, len(data) - 8 - data[8:].count(0)])
            elif out and out[-1][0] == start:
                out[-1] = [end, out[-1][1] + len(data) - data.count(0)]
    return [dirty for _, dirty in out]
"""


def test_threads_that_called_in_and_ended_leave_only_the_pool(run_child):
    kernel_probe.require("memory_advice")  # the census finds the stacks by their advice
    out = run_child(
        f"MARKER = {STACK_MARKER!r}\n" + STACK_CENSUS + """
import json, threading
import velmora._secure as s

key = s.SecretBox.random(32)
pair = s.HybridKeyPair.generate()
sealed = s.seal_hybrid(pair.x25519_public, pair.mlkem768_public, b"p" * 64, b"")
barrier = threading.Barrier(64)

def work(i):
    push = s.SecretStreamPush(key)
    barrier.wait()
    for _ in range(8):              # the pushes release the interpreter lock
        push.push(b"m" * 65536)     # and hold a stack meanwhile
    key.hmac_sha512(b"x")
    if i % 8 == 0:
        pair.open(*sealed, b"")

threads = [threading.Thread(target=work, args=(i,)) for i in range(64)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps(own_stacks()))
""").json()
    # The pool's, and the one the main thread keeps between its calls.
    assert 1 <= len(out) <= IDLE_STACKS + 1, out
    assert out == [0] * len(out), "bytes left on a stack between calls"


def test_own_stacks_leave_the_boxes_their_lock_budget(run_child, memlock_limited):
    """Under an 8 MiB RLIMIT_MEMLOCK, after 64 threads have each run
    operations (pushes overlapping with the interpreter lock released), at
    least 90 % as many one-page boxes still lock as the budget holds pages."""
    budget = 8 * 1024 * KIB
    page = os.sysconf("SC_PAGESIZE")
    out = run_child("""
import json, threading
import velmora._secure as s

key = s.SecretBox.random(32)
pair = s.HybridKeyPair.generate()
sealed = s.seal_hybrid(pair.x25519_public, pair.mlkem768_public, b"p" * 64, b"")
barrier = threading.Barrier(64)

def work(i):
    push = s.SecretStreamPush(key)
    barrier.wait()
    for _ in range(4):
        push.push(b"m" * 65536)
    key.aes_gcm_seal(bytes(12), b"x")
    if i % 8 == 0:
        pair.open(*sealed, b"")

threads = [threading.Thread(target=work, args=(i,)) for i in range(64)]
for t in threads:
    t.start()
for t in threads:
    t.join()
del key, pair
boxes = []
while True:
    box = s.SecretBox.random(32)
    if not box.is_locked:
        break
    boxes.append(box)
print(json.dumps(len(boxes)))
""", prefix=memlock_limited(budget), env={"VELMORA_MEMORY_LOCK": None}).json()
    assert out >= 0.9 * (budget // page), out


# --- forks and signals -----------------------------------------------------------------------


def test_operations_work_in_a_fork_child_even_one_forked_mid_operation(run_child):
    out = run_child("""
import json, os, threading, warnings
import velmora._secure as s
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running

def everything():
    key = s.SecretBox.random(32)
    tag = key.hmac_sha512(b"m")
    sealed = key.aes_gcm_seal(bytes(12), b"content")
    assert key.aes_gcm_open(bytes(12), sealed) == b"content"
    push = s.SecretStreamPush(key)
    chunk = push.push(b"chunk", final=True)
    assert s.SecretStreamPull(key, push.header).pull(chunk) == (b"chunk", True)
    pair = s.HybridKeyPair.generate()
    sealed = s.seal_hybrid(pair.x25519_public, pair.mlkem768_public, b"p", b"")
    assert pair.open(*sealed, b"") == b"p"
    return len(tag)

everything()                          # the pool has stacks now
key = s.SecretBox.random(32)
stop = threading.Event()
def pushing():
    push = s.SecretStreamPush(key)
    while not stop.is_set():
        push.push(b"m" * 262144)
t = threading.Thread(target=pushing)
t.start()
results = []
for _ in range(4):                    # forked while the pusher is inside a push, mostly
    pid = os.fork()
    if pid == 0:
        try:
            code = 0 if everything() == 64 else 1
        except BaseException:
            code = 2
        os._exit(code)
    results.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
stop.set()
t.join()
print(json.dumps(results))
""").json()
    assert out == [0, 0, 0, 0]


def test_signals_arriving_mid_operation(run_child):
    """An interval timer fires every 50 µs while operations run (its C
    handler then runs on whatever stack is current, the own stack included):
    every result stays right."""
    out = run_child("""
import json, signal
import velmora._secure as s

fired = 0
def count(signum, frame):
    global fired
    fired += 1
signal.signal(signal.SIGALRM, count)
key = s.SecretBox.random(32)
pair = s.HybridKeyPair.generate()
signal.setitimer(signal.ITIMER_REAL, 0.00005, 0.00005)
bad = 0
for i in range(300):
    sealed = key.aes_gcm_seal(bytes(12), b"content %d" % i)
    bad += key.aes_gcm_open(bytes(12), sealed) != b"content %d" % i
    push = s.SecretStreamPush(key)
    chunk = push.push(b"m" * 4096, final=True)
    bad += s.SecretStreamPull(key, push.header).pull(chunk) != (b"m" * 4096, True)
    if i % 30 == 0:
        sealed = s.seal_hybrid(pair.x25519_public, pair.mlkem768_public, b"p", b"")
        bad += pair.open(*sealed, b"") != b"p"
signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(json.dumps({"bad": bad, "fired": fired}))
""").json()
    assert out["bad"] == 0
    assert out["fired"] > 0
