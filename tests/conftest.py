"""Shared fixtures.

Process-wide state (the lock policy, resource limits, capabilities, hardening,
fork) is only ever exercised in child interpreters started by ``run_child``,
never in the test runner itself. Children inherit the runner's environment, so
under the sanitizer run (LD_PRELOAD of the sanitizer runtimes, PYTHONPATH at
the sanitized build) they import the very same extension.
"""

from __future__ import annotations

import gc
import importlib
import importlib.machinery
import json
import os
import platform
import shutil
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

import kernel_probe

REPO = Path(__file__).resolve().parents[1]
SANITIZED = os.environ.get("VELMORA_SANITIZED") == "1"


# --- the test-only native modules (tests/native) ---------------------------------
#
# They come from a build with VELMORA_BUILD_TESTS=ON, in <build>/testmods.
# VELMORA_TESTMODS names that folder when the test command runs the suite
# against another build (the sanitizers', another Python's); without it, the
# repository's own test build is used: build/test, or build/py<X.Y> when this
# interpreter is not the one build/test was made for, or build/arm64/tree (the
# cross build of scripts/arm64.sh) for the aarch64 interpreter run under an
# emulator on an x86-64 machine. A module that is not
# there fails its tests with the command that builds it; it never skips them,
# so a missing build cannot pass for a green run.


def _built_for_this_python(testmods: Path) -> bool:
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    return any(testmods.glob(f"*{suffix}"))


def built_testmods() -> Path:
    """The folder of the test-only modules this run uses."""
    named = os.environ.get("VELMORA_TESTMODS")
    if named:
        return Path(named).resolve()
    version = "%d.%d" % sys.version_info[:2]
    candidates = [REPO / "build" / "test" / "testmods", REPO / "build" / f"py{version}" / "testmods",
                  REPO / "build" / "arm64" / "tree" / "testmods"]
    for candidate in candidates:
        if _built_for_this_python(candidate):
            return candidate
    return candidates[0]


def _build_command(testmods: Path, target: str) -> str:
    build = testmods.parent
    steps = []
    if not (build / "build.ninja").is_file():
        steps.append(
            f"cmake -S {REPO} -B {build} -G Ninja -DPython_EXECUTABLE={sys.executable} "
            "-DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
        )
    steps.append(f"cmake --build {build} --target {target}")
    return " && ".join(steps)


def missing_testmod(what: str, target: str, testmods: Path | None = None):
    """Fails the calling test (or, at import, its module) with the command that
    builds `target`."""
    testmods = testmods or built_testmods()
    pytest.fail(
        f"{what} is not built in {testmods}; build it with\n    {_build_command(testmods, target)}",
        pytrace=False,
    )


def import_testmod(name: str):
    """Imports the test-only module `name` (a tests/native target) from
    built_testmods(), or fails with the command that builds it."""
    testmods = built_testmods()
    sys.path.insert(0, str(testmods))
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        missing_testmod(f"{name} ({exc})", name, testmods)
    finally:
        sys.path.remove(str(testmods))


def unwiped_copy() -> Path:
    """The folder holding the copy of velmora._secure built without the
    wipe (<testmods>/unwiped), for a child's sys.path."""
    testmods = built_testmods()
    unwiped = testmods / "unwiped"
    if not (unwiped / "velmora").is_dir():
        missing_testmod("the copy of the module without the wipe", "_secure_unwiped", testmods)
    return unwiped


@dataclass
class Child:
    returncode: int
    stdout: str
    stderr: str

    def json(self):
        """The JSON document on the last line of stdout."""
        lines = self.stdout.strip().splitlines()
        assert lines, f"child printed nothing\nstderr:\n{self.stderr}"
        return json.loads(lines[-1])


def _child_env(env):
    merged = {os.fsencode(k): os.fsencode(v) for k, v in os.environ.items()}
    # Children run elsewhere: keep a relative PYTHONPATH pointing at this build.
    if "PYTHONPATH" in os.environ:
        parts = os.environ["PYTHONPATH"].split(os.pathsep)
        merged[b"PYTHONPATH"] = os.fsencode(os.pathsep.join(os.path.abspath(p) for p in parts if p))
    for key, value in (env or {}).items():
        key = os.fsencode(key)
        if value is None:
            merged.pop(key, None)
        else:
            merged[key] = os.fsencode(value)
    return merged


def _run_child(code, *, env=None, prefix=(), prelude="", check=True, timeout=120, cwd=None):
    """Runs ``code`` in a fresh interpreter (the runner's own executable).

    ``env`` adds variables to a copy of the runner's environment (str or bytes
    values; None removes one). ``prefix`` is a command the interpreter runs
    under, such as ``prlimit``. ``prelude`` is code run first (e.g. the
    ``seccomp_prelude`` fixture). With ``check`` a non-zero exit fails the test.
    ``-P`` keeps the working directory off ``sys.path``, so only the module
    under test is importable as ``velmora``.
    """
    argv = [*prefix, sys.executable, "-P", "-c", prelude + textwrap.dedent(code)]
    proc = subprocess.run(
        argv,
        env=_child_env(env),
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    child = Child(proc.returncode, proc.stdout, proc.stderr)
    if check and proc.returncode != 0:
        pytest.fail(
            f"child exited with {proc.returncode}\n"
            f"--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}",
            pytrace=False,
        )
    return child


@pytest.fixture(autouse=True)
def _collect_earlier_garbage():
    """Boxes kept alive by reference cycles from earlier tests (tracebacks
    holding frames) would otherwise be freed at a random point of a later test
    and move its `live_secrets` count."""
    gc.collect()
    yield


@pytest.fixture
def run_child(tmp_path, request):
    """``run_child(code, env=..., prefix=[...], prelude=..., check=True) -> Child``.

    A child given the ``seccomp_prelude`` starts with the getrandom shim
    preloaded (dormant until ``deny_syscalls`` refuses getrandom)."""

    def run(code, **kwargs):
        kwargs.setdefault("cwd", tmp_path)
        if _SECCOMP_PRELUDE in kwargs.get("prelude", ""):
            shim = request.getfixturevalue("getrandom_shim")
            if shim is not None:
                env = dict(kwargs.get("env") or {})
                inherited = env["LD_PRELOAD"] if "LD_PRELOAD" in env else os.environ.get("LD_PRELOAD")
                # Whatever is preloaded already (the sanitizer runtimes) stays first.
                env["LD_PRELOAD"] = " ".join(p for p in (inherited, shim) if p)
                kwargs["env"] = env
        return _run_child(code, **kwargs)

    return run


def _have(*tools):
    return all(shutil.which(t) for t in tools)


@pytest.fixture
def no_mlock():
    """A command prefix under which mlock fails: RLIMIT_MEMLOCK 0 and, for
    root, CAP_IPC_LOCK removed from the bounding set (so the exec drops it)."""
    if SANITIZED:
        pytest.skip("AddressSanitizer replaces mlock with a no-op that reports success")
    if not _have("prlimit", "setpriv"):
        pytest.skip("needs prlimit and setpriv (util-linux)")
    return memlock_prefix(0)


def memlock_prefix(limit, *, hard=None):
    """prlimit/setpriv prefix: RLIMIT_MEMLOCK soft ``limit`` (bytes, or
    "unlimited"), hard ``hard`` (default: same) and no CAP_IPC_LOCK."""
    hard = limit if hard is None else hard
    prefix = ["prlimit", f"--memlock={limit}:{hard}"]
    if os.geteuid() == 0:
        prefix += ["setpriv", "--inh-caps=-ipc_lock", "--bounding-set=-ipc_lock", "--"]
    return prefix


@pytest.fixture
def memlock_limited():
    """``memlock_limited(soft, hard=None)`` -> prefix; skips where mlock
    cannot really fail (the sanitizer run)."""
    if SANITIZED:
        pytest.skip("AddressSanitizer replaces mlock with a no-op that reports success")
    if not _have("prlimit", "setpriv"):
        pytest.skip("needs prlimit and setpriv (util-linux)")
    return memlock_prefix


VECTORS = REPO / "tests" / "vectors" / "wycheproof"


@pytest.fixture
def vectors_dir():
    """Directory of the Wycheproof test vectors the repository carries. They
    are part of the tests: a missing folder (or file) fails, never skips."""
    if not VECTORS.is_dir():
        pytest.fail(f"test vectors missing: {VECTORS} is not a directory", pytrace=False)
    return VECTORS


# The system call numbers the tests use, and the audit architecture a seccomp
# filter checks, for the architecture this interpreter runs on.
SYSCALLS = {
    "x86_64": {"getrlimit": 97, "setrlimit": 160, "prlimit64": 302, "prctl": 157,
               "capget": 125, "capset": 126, "getrandom": 318, "openat": 257},
    "aarch64": {"getrlimit": 163, "setrlimit": 164, "prlimit64": 261, "prctl": 167,
                "capget": 90, "capset": 91, "getrandom": 278, "openat": 56},
}[platform.machine()]
_AUDIT_ARCH = {"x86_64": 0xC000003E, "aarch64": 0xC00000B7}[platform.machine()]


def target_cc():
    """A C compiler that builds for this interpreter's architecture (for the
    interposers some tests preload): the one named by the GNU triplet first,
    which is the cross compiler where an emulator runs the suite, and the
    system's own otherwise."""
    for name in (f"{platform.machine()}-linux-gnu-gcc", "cc", "gcc"):
        if found := shutil.which(name):
            return found
    return None


def pytest_sessionstart(session):
    """Probes the kernel before the first test, and says what it lacks (even
    under -q, where pytest's own header is not shown)."""
    reporter = session.config.pluginmanager.getplugin("terminalreporter")
    for name, reason in kernel_probe.findings().items():
        if reason is not None and reporter is not None:
            reporter.write_line(f"kernel probe: {name} missing: {reason}; the tests that need it skip")


# The C library may answer getrandom without the system call (from the vDSO,
# glibc 2.41 and later), where seccomp never sees it. The shim puts its own
# getrandom in front of the C library's: it makes the system call until
# velmora_refuse_getrandom(errno) is called, and fails with that errno from
# then on.
_GETRANDOM_SHIM_C = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static int refused;

void velmora_refuse_getrandom(int err) { __atomic_store_n(&refused, err, __ATOMIC_SEQ_CST); }

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    int err = __atomic_load_n(&refused, __ATOMIC_SEQ_CST);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return syscall(SYS_getrandom, buf, len, flags);
}
"""


@pytest.fixture(scope="session")
def getrandom_shim(tmp_path_factory):
    """Path of the getrandom shim (a shared library for ``LD_PRELOAD``), or
    None where there is no C compiler to build it; ``deny_syscalls`` then
    checks that seccomp alone refuses getrandom."""
    cc = target_cc()
    if cc is None:
        return None
    where = tmp_path_factory.mktemp("getrandom_shim")
    (where / "shim.c").write_text(_GETRANDOM_SHIM_C)
    shim = where / "getrandom_shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(shim), str(where / "shim.c")], check=True)
    return str(shim)


_SECCOMP_PRELUDE = r"""
import ctypes, errno, struct

_SYSCALLS = %(syscalls)r

def deny_syscalls(rules):
    libc = ctypes.CDLL(None, use_errno=True)
    insns = [(0x20, 0, 0, 4),                      # A = arch
             (0x15, 1, 0, %(audit_arch)#x),             # this architecture -> go on
             (0x06, 0, 0, 0x7FFF0000)]             # anything else: allow
    insns.append((0x20, 0, 0, 0))                  # A = syscall number
    for name, err in rules.items():
        insns.append((0x15, 0, 1, _SYSCALLS[name]))
        insns.append((0x06, 0, 0, 0x00050000 | err))  # SECCOMP_RET_ERRNO
    insns.append((0x06, 0, 0, 0x7FFF0000))         # SECCOMP_RET_ALLOW
    blob = b"".join(struct.pack("HBBI", *i) for i in insns)
    buf = ctypes.create_string_buffer(blob, len(blob))

    class Prog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    prog = Prog(len(insns), ctypes.addressof(buf))
    libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p,
                           ctypes.c_ulong, ctypes.c_ulong]
    if libc.prctl(38, 1, None, 0, 0) != 0:         # PR_SET_NO_NEW_PRIVS
        raise OSError(ctypes.get_errno(), "PR_SET_NO_NEW_PRIVS")
    if "getrandom" in rules and hasattr(libc, "velmora_refuse_getrandom"):
        libc.velmora_refuse_getrandom(rules["getrandom"])
    if libc.prctl(22, 2, ctypes.byref(prog), 0, 0) != 0:  # PR_SET_SECCOMP, filter
        raise OSError(ctypes.get_errno(), "PR_SET_SECCOMP")
    if "getrandom" in rules:
        # The getrandom every library here resolves must now fail, whether or
        # not the C library would have made the system call.
        libc.getrandom.restype = ctypes.c_ssize_t
        libc.getrandom.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint]
        probe = ctypes.create_string_buffer(1)
        if libc.getrandom(probe, 1, 0) != -1 or ctypes.get_errno() != rules["getrandom"]:
            raise RuntimeError("getrandom still answers under the seccomp filter (the C library "
                               "answers it without the system call, and no getrandom shim is "
                               "preloaded: no C compiler to build one?)")
""" % {"syscalls": SYSCALLS, "audit_arch": _AUDIT_ARCH}


@pytest.fixture
def seccomp_prelude():
    """Child code defining ``deny_syscalls({"name": errno, ...})``: installs a
    seccomp filter under which the listed system calls fail with that errno,
    so paths a normal machine never takes (unreadable limits, refused
    capabilities, a missing getrandom) can run. Pass it as ``prelude=``."""
    kernel_probe.require("seccomp")
    return _SECCOMP_PRELUDE
