"""What the kernel under this interpreter really applies, probed once per run
in child processes before any test needs it.

Under a user-mode emulator (qemu-user running the aarch64 build on an x86-64
machine) some system calls return success without their effect, or fail
where a kernel would not, and a child's memory is the emulator's as well as
the interpreter's. The tests that depend on one of these skip, with the
probe's finding as their reason, only where the probe shows it missing; on a
real kernel every probe passes and every test runs. ``conftest.py`` prints what is
missing at the start of the run.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from functools import cache

import pytest

# Each probe: child code that exits 0 where the kernel does what is asked, and
# otherwise prints what it saw and exits with MISSING; and what that means.
# Any other outcome is a broken probe, which fails the run rather than skip.
MISSING = 3
_PROBES = {
    "seccomp": (
        r"""
        import ctypes, struct, sys
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
        blob = struct.pack("HBBI", 0x06, 0, 0, 0x7FFF0000)          # return ALLOW
        buf = ctypes.create_string_buffer(blob, len(blob))
        class Prog(ctypes.Structure):
            _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
        prog = Prog(1, ctypes.addressof(buf))
        if libc.prctl(38, 1, None, 0, 0) != 0 or libc.prctl(22, 2, ctypes.byref(prog), 0, 0) != 0:
            print("errno", ctypes.get_errno()); sys.exit(MISSING)
        """,
        "installing a seccomp filter (an allow-all one) fails here: {detail}; "
        "this emulator does not pass seccomp filters to the kernel",
    ),
    "memory_advice": (
        r"""
        import ctypes, mmap, sys
        m = mmap.mmap(-1, 4096)
        try:
            m.madvise(16)    # MADV_DONTDUMP
            m.madvise(18)    # MADV_WIPEONFORK (the mmap module may not name it)
        except OSError:
            sys.exit(0)    # refused outright: the module's own fallback is what runs then
        addr = ctypes.addressof(ctypes.c_char.from_buffer(m))
        flags, inside = "", False
        for line in open("/proc/self/smaps"):
            head = line.split()[0]
            if "-" in head and ":" not in head:
                start, end = (int(x, 16) for x in head.split("-"))
                inside = start <= addr < end
            elif inside and line.startswith("VmFlags:"):
                flags = line.split()[1:]
        if "dd" not in flags or "wf" not in flags:
            print("VmFlags", " ".join(flags)); sys.exit(MISSING)
        """,
        "MADV_DONTDUMP and MADV_WIPEONFORK are accepted but not applied "
        "(/proc/self/smaps of an advised page: {detail})",
    ),
    "wipe_on_fork": (
        r"""
        import mmap, os, sys
        m = mmap.mmap(-1, 4096)
        try:
            m.madvise(18)    # MADV_WIPEONFORK
        except OSError:
            sys.exit(0)    # refused outright: the module copies the region instead
        m[0] = 0x5A
        pid = os.fork()
        if pid == 0:
            os._exit(0 if m[0] == 0 else 1)
        if os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) != 0:
            print("the child read 0x5a"); sys.exit(MISSING)
        """,
        "MADV_WIPEONFORK is accepted but a fork child still reads the parent's page ({detail})",
    ),
    "address_space_limit": (
        r"""
        import mmap, resource, sys
        size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), hard))
        try:
            mmap.mmap(-1, 256 << 20)
        except OSError:
            sys.exit(0)
        print("a 256 MiB mapping 64 MiB past the limit succeeded"); sys.exit(MISSING)
        """,
        "RLIMIT_AS is accepted but not applied: {detail}",
    ),
}


def _run(code):
    code = f"MISSING = {MISSING}\n" + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-P", "-c", code],
                          capture_output=True, text=True, timeout=120)


def _child_exe():
    """The program the kernel runs for a child interpreter (/proc/PID/exe):
    the interpreter itself, or under an emulator the emulator."""
    child = subprocess.Popen([sys.executable, "-P", "-c", "import sys; sys.stdin.read()"],
                             stdin=subprocess.PIPE)
    try:
        return os.path.realpath(f"/proc/{child.pid}/exe")
    finally:
        child.communicate(b"")


def _own_memory(exe):
    """Whether a child's address space is its interpreter's alone: under an
    emulator /proc/PID/exe of a child names the emulator, whose memory (its
    copies of the emulated registers among it) lies in the same address space
    and is read by any scan of it."""
    if exe == os.path.realpath(sys.executable):
        return None
    return (f"a child's memory is that of {exe}, which runs the interpreter "
            f"{os.path.realpath(sys.executable)}: the emulator's own memory, its copies of "
            f"the emulated registers among it, is read by a scan of the child")


def _own_system_calls(exe):
    """Whether a tracer (strace) of a child sees the interpreter's system
    calls: under an emulator it sees the emulator's, which maps and protects
    memory of its own around each call it passes on."""
    if exe == os.path.realpath(sys.executable):
        return None
    return (f"a child is {exe} running the interpreter: a tracer sees that emulator's "
            f"system calls, not only those the interpreter makes")


def _own_mapping_table(exe):
    """Whether the mappings a child lists in /proc/self/maps are those the
    kernel counts against vm.max_map_count: under an emulator the list is
    the emulator's account of the emulated process, and the kernel counts the
    emulator's own mappings as well."""
    if exe == os.path.realpath(sys.executable):
        return None
    return (f"a child is {exe} running the interpreter: the kernel counts that emulator's "
            f"mappings against vm.max_map_count, beside those the interpreter lists")


@cache
def findings():
    """{probe name: None where the kernel applies it, else the reason}."""
    out = {}
    for name, (code, reason) in _PROBES.items():
        if name == "address_space_limit" and os.environ.get("VELMORA_SANITIZED") == "1":
            # AddressSanitizer reserves more address space than any such
            # limit allows; the one test that sets it is skipped there anyway.
            out[name] = None
            continue
        run = _run(code)
        if run.returncode not in (0, MISSING):
            raise RuntimeError(f"the {name} probe broke (exit {run.returncode}):\n{run.stderr}")
        out[name] = None if run.returncode == 0 else reason.format(detail=run.stdout.strip())
    exe = _child_exe()
    out["own_memory"] = _own_memory(exe)
    out["own_system_calls"] = _own_system_calls(exe)
    out["own_mapping_table"] = _own_mapping_table(exe)
    return out


def emulated():
    """Whether this interpreter runs under a user-mode emulator (its children
    are the emulator's processes), where its code runs several times slower
    than the kernel and the other processes around it."""
    return findings()["own_memory"] is not None


def require(*names):
    """Skips the calling test where a probe shows that the kernel under this
    interpreter does not apply what it relies on."""
    for name in names:
        reason = findings()[name]
        if reason is not None:
            pytest.skip(f"{name}: {reason}")
