"""The /dev/urandom fallback: where getrandom fails with ENOSYS or EPERM (at
the first draw or at any later one, once a sandbox refuses it), the module
keeps a descriptor of /dev/urandom open. Code that closes descriptors it does
not own (``os.closerange`` when daemonizing) can hand that number to a regular
file, native code can swap another file onto it, and a prepared /dev can hold
anything at either node (a FIFO, a terminal, the zero device); random bytes
must never come from any of them, and no draw may hang or hand the process a
controlling terminal.

getrandom is made to fail by ``LD_PRELOAD`` shims built here from a few lines
of C, in child interpreters only."""

from __future__ import annotations

import errno
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kernel_probe
from conftest import target_cc
from messages import OPEN_FAILED, RNG
from operations import OPS, child_env, make_inputs, refuses
from velmora._secure import SecretBox, SecretStreamPush

SHIM_C = r"""
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    (void)buf; (void)len; (void)flags;
    errno = ENOSYS;
    return -1;
}
"""


@pytest.fixture(scope="module")
def no_getrandom(tmp_path_factory):
    """Environment for a child in which the C library's getrandom fails with ENOSYS."""
    gcc = target_cc()
    if gcc is None:
        pytest.skip("needs a C compiler to build the getrandom shim")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(SHIM_C)
    shim = where / "no_getrandom.so"
    subprocess.run([gcc, "-shared", "-fPIC", "-o", str(shim), str(where / "shim.c")], check=True)
    # Sanitizer runtimes, when preloaded, must stay first.
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD", ""), str(shim)) if p)
    return {"LD_PRELOAD": preload}


# Finds the module's /dev/urandom descriptor (opened on its first draw), closes
# it the way daemonizing code does, and lets a regular file take the number.
CHILD_PRELUDE = r"""
import json, os, resource
from velmora._secure import SecretBox, SecureError, EntropyPool

def urandom_fds():
    out = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == "/dev/urandom":
                out.add(int(name))
        except OSError:
            pass
    return out

before = urandom_fds()
SecretBox.random(1)
ours = urandom_fds() - before
assert len(ours) == 1, (before, ours)
(fd,) = ours
os.closerange(fd, fd + 1)
with open("constant.bin", "wb") as f:
    f.write(b"A" * 4096)
taken = os.open("constant.bin", os.O_RDONLY)
assert taken == fd, (taken, fd)
"""


def test_a_regular_file_taking_the_number_is_never_read(run_child, no_getrandom):
    child = run_child(
        CHILD_PRELUDE
        + r"""
drawn = SecretBox.random(64).reveal()
out = {"box": drawn.hex(), "pool": EntropyPool().random(64).hex(),
       "file_offset": os.lseek(taken, 0, os.SEEK_CUR), "again": SecretBox.random(64).reveal().hex()}
print(json.dumps(out))
""",
        env=no_getrandom,
    )
    out = child.json()
    constant = "41" * 64
    assert out["box"] != constant and out["again"] != constant
    assert out["box"] != out["again"]
    assert out["pool"] != constant
    assert out["file_offset"] == 0  # the file was not read at all


def test_a_device_that_cannot_be_reopened_is_an_rng_failure(run_child, no_getrandom):
    # Every descriptor below the limit in use: the reopen fails with EMFILE.
    child = run_child(
        CHILD_PRELUDE
        + r"""
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
fillers = []
try:
    while True:
        fillers.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    pass
try:
    SecretBox.random(32)
    print(json.dumps({"raised": None}))
except SecureError as e:
    print(json.dumps({"raised": str(e), "file_offset": os.lseek(taken, 0, os.SEEK_CUR)}))
""",
        env=no_getrandom,
    )
    out = child.json()
    assert out["raised"] == RNG
    assert out["file_offset"] == 0


def test_a_descriptor_shortage_at_the_first_draw_passes(run_child, no_getrandom):
    # The first open of /dev/urandom meets EMFILE: that draw fails; once
    # descriptors are free again, the next one opens the device and succeeds.
    child = run_child(
        r"""
import json, os, resource
from velmora._secure import SecretBox, SecureError
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
fillers = []
try:
    while True:
        fillers.append(os.open("/proc/self/stat", os.O_RDONLY))
except OSError:
    pass
try:
    SecretBox.random(32)
    first = None
except SecureError as e:
    first = str(e)
for fd in fillers:
    os.close(fd)
drawn = [SecretBox.random(32).reveal().hex() for _ in range(2)]
print(json.dumps({"first": first, "drawn": drawn}))
""",
        env=no_getrandom,
    )
    out = child.json()
    assert out["first"] == RNG
    a, b = out["drawn"]
    assert a != b and "00" * 32 not in (a, b)


# Every operation of the module in a child whose kernel offers no randomness:
# getrandom fails and /dev (a fresh tmpfs in a mount namespace of its own)
# holds no device, a regular file, or the zero device at /dev/urandom.
NO_RANDOM_CHILD = r"""
import json, operator, sys
from velmora._secure import (EntropyPool, HybridKeyPair, SecretBox, SecretStreamPull,
                             SecretStreamPush, SecureError, seal_hybrid)
sys.path.insert(0, sys.argv[1])
from operations import OPS

given = {k: bytes.fromhex(v) for k, v in json.loads(sys.argv[2]).items()}
FRESH = bytearray(given["FRESH"])
KEY, OTHER, MAC, IKM, SEED, XS, DK = (SecretBox.from_bytes(bytearray(given[n]))
                                      for n in ("KEY", "OTHER", "MAC", "IKM", "SEED", "XS", "DK"))
PAIR = HybridKeyPair.from_secrets(XS, DK)
NONCE, PLAIN, SEALED = given["NONCE"], given["PLAIN"], given["SEALED"]
TAMPERED = SEALED[:-1] + bytes([SEALED[-1] ^ 1])
JSON_SEALED, NESTED_SEALED = given["JSON_SEALED"], given["NESTED_SEALED"]
HYB = (given["HYB_E"], given["HYB_N"], given["HYB_C"], b"")
HYB_TAMPERED = (HYB[0], HYB[1], HYB[2][:-1] + bytes([HYB[2][-1] ^ 1]), b"")
SESSION = (given["SES_E"], given["SES_N"], given["SES_C"], b"")
HEADER, CHUNK = given["HEADER"], given["CHUNK"]
ops = dict(OPS, **{"stream-pull-given": ("pull = SecretStreamPull(KEY, HEADER)", "pull.pull(CHUNK)")})

def zero_out(revealed):
    revealed[:] = bytes(len(revealed))

def zeros(value):
    if isinstance(value, (tuple, list)):
        return any(zeros(v) for v in value)
    if isinstance(value, SecretBox):
        value = value.reveal()
    return isinstance(value, (bytes, bytearray)) and len(value) >= 12 and not any(value)

out = {}
for op, (prep, call, *after) in ops.items():
    ns = dict(globals(), PUBLIC={})
    try:
        exec(prep, ns)
        result = eval(call, ns)
        out[op] = "zeros" if zeros(result) else "ok"
    except (SecureError, SystemError) as e:
        out[op] = f"{type(e).__name__}: {e}"
print(json.dumps(out))
"""

# The operations that draw from the kernel (directly or in their preparation),
# with what they raise when it has nothing: a new random box, a stream header,
# the pool's output; a new identity and a hybrid seal's key material, which
# the module reports as an internal failure (SystemError).
KEY_MATERIAL = "SystemError: velmora._secure: the operating system RNG failed while drawing key material"
DRAWS = {
    **{op: f"SecureError: {RNG}" for op in (
        "box-random", "stream-push-new", "stream-push", "stream-pull-new", "stream-pull",
        "stream-pull-refused", "pool-random", "pool-random-secret")},
    "hybrid-generate": KEY_MATERIAL,
    "hybrid-seal": KEY_MATERIAL,
}


@pytest.mark.parametrize("dev_urandom", [
    "",                                           # nothing there
    "echo AAAAAAAAAAAAAAAA > /dev/urandom && ",   # a regular file
    "mknod /dev/urandom c 1 5 && ",               # the zero device
], ids=["missing", "regular-file", "zero-device"])
def test_no_random_source_is_an_error_never_an_abort(no_getrandom, dev_urandom, tmp_path):
    if not shutil.which("unshare") or os.geteuid() != 0:
        pytest.skip("needs root and unshare(1) for a mount namespace with an empty /dev")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"unshare -m is not permitted here: {probe.stderr.strip()}")
    inputs = make_inputs()
    given = dict(inputs.secrets, **inputs.public)
    push = SecretStreamPush(SecretBox.from_bytes(bytearray(given["KEY"])))
    given["HEADER"], given["CHUNK"] = push.header, push.push(b"m" * 64, final=True)
    (tmp_path / "child.py").write_text(NO_RANDOM_CHILD)
    (tmp_path / "given.json").write_text(json.dumps({k: v.hex() for k, v in given.items()}))
    shell = (f"mount -t tmpfs none /dev && {dev_urandom}"
             f'exec "{sys.executable}" -P child.py "{Path(__file__).parent}" "$(cat given.json)"')
    env = dict(child_env(), **no_getrandom, PYTHONHASHSEED="0")
    proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", shell],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert set(out) >= set(OPS)
    for op, got in out.items():
        want = DRAWS.get(op) or (f"SecureError: {OPEN_FAILED}" if refuses(op) else "ok")
        assert got == want, op


# --- a random source that never hangs, never takes a terminal, never hands out zeros ---
#
# The shim below stands in for the C library's getrandom and calls the system
# call itself, so a seccomp filter refuses it whether or not the C library
# would have answered from the vDSO; with VELMORA_TEST_GETRANDOM_ERRNO set it
# fails with that errno instead. It also notes the descriptor of each open of
# /dev/urandom, so that a thread it starts can keep swapping /dev/zero onto the
# one the module uses.
SOURCE_SHIM_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    const char *forced = getenv("VELMORA_TEST_GETRANDOM_ERRNO");
    if (forced && *forced) {
        errno = atoi(forced);
        return -1;
    }
    return syscall(SYS_getrandom, buf, len, flags);
}

static volatile int last_urandom = -1;

static int noted(const char *path, int fd) {
    if (fd >= 0 && path && strcmp(path, "/dev/urandom") == 0) last_urandom = fd;
    return fd;
}

#define OPEN_SHIM(name)                                                   \
    int name(const char *path, int flags, ...) {                          \
        static int (*real)(const char *, int, ...);                       \
        if (!real) real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, #name); \
        mode_t mode = 0;                                                  \
        if (flags & (O_CREAT | __O_TMPFILE)) {                            \
            va_list ap;                                                   \
            va_start(ap, flags);                                          \
            mode = va_arg(ap, mode_t);                                    \
            va_end(ap);                                                   \
        }                                                                 \
        return noted(path, real(path, flags, mode));                      \
    }
OPEN_SHIM(open)
OPEN_SHIM(open64)

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void spin(double seconds) {
    const double until = now() + seconds;
    while (now() < until) {
    }
}

static struct { int zero; double hold, gap; volatile int stop; volatile long swaps; } swapper;

/* /dev/zero onto the module's descriptor for `hold` seconds, then its own
   description back, over and over. */
static void *swap_loop(void *arg) {
    (void)arg;
    while (!swapper.stop) {
        const int fd = last_urandom;
        const int saved = fd >= 0 ? dup(fd) : -1;
        if (saved >= 0) {
            dup2(swapper.zero, fd);
            spin(swapper.hold);
            dup2(saved, fd);
            close(saved);
            swapper.swaps++;
        }
        spin(swapper.gap);
    }
    return NULL;
}

static pthread_t swap_thread;

int velmora_test_start_swapper(double hold, double gap) {
    swapper.zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    swapper.hold = hold;
    swapper.gap = gap;
    return swapper.zero >= 0 && pthread_create(&swap_thread, NULL, swap_loop, NULL) == 0;
}

long velmora_test_swaps(void) { return swapper.swaps; }

long velmora_test_stop_swapper(void) {
    swapper.stop = 1;
    pthread_join(swap_thread, NULL);
    return swapper.swaps;
}
"""


@pytest.fixture(scope="module")
def source_shim(tmp_path_factory):
    """Path of the shim above, built here."""
    gcc = target_cc()
    if gcc is None:
        pytest.skip("needs a C compiler to build the getrandom shim")
    where = tmp_path_factory.mktemp("source-shim")
    (where / "shim.c").write_text(SOURCE_SHIM_C)
    shim = where / "source_shim.so"
    subprocess.run([gcc, "-shared", "-fPIC", "-O2", "-pthread", "-o", str(shim),
                    str(where / "shim.c"), "-ldl"], check=True)
    return shim


def shim_env(shim, **extra):
    # Sanitizer runtimes, when preloaded, must stay first.
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD", ""), str(shim)) if p)
    return {"LD_PRELOAD": preload, "PYTHONHASHSEED": "0", **extra}


def need_mount_namespace():
    if not shutil.which("unshare") or os.geteuid() != 0:
        pytest.skip("needs root and unshare(1) for a mount namespace")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"unshare -m is not permitted here: {probe.stderr.strip()}")


# Draws with getrandom refused and something else than the device at a /dev
# node; reports each draw's outcome, how long it took, and the controlling
# terminal afterwards. With argv[1] == "setsid" it first becomes a session
# leader without a terminal, as a daemon is.
DEV_VARIANT_CHILD = r"""
import json, os, sys, time
if sys.argv[1] == "setsid":
    os.setsid()

def tty_nr():
    with open("/proc/self/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[4])

before = tty_nr()
from velmora._secure import EntropyPool, SecretBox, SecureError
out = {"tty_before": before, "draws": []}
for draw in (lambda: SecretBox.random(32).reveal(), lambda: EntropyPool().random(32),
             lambda: SecretBox.random(32).reveal()):
    start = time.monotonic()
    try:
        got = draw()
        result = "zeros" if not any(got) else "bytes"
    except SecureError as e:
        result = str(e)
    out["draws"].append([result, time.monotonic() - start])
out["tty_after"] = tty_nr()
print(json.dumps(out))
"""


@pytest.mark.parametrize("refusal", [errno.ENOSYS, errno.EPERM], ids=["ENOSYS", "EPERM"])
@pytest.mark.parametrize(("node", "kind"), [
    ("urandom", "fifo"), ("random", "fifo"), ("urandom", "terminal"), ("random", "terminal"),
    ("urandom", "zero-device"), ("urandom", "regular-file"),
])
def test_something_else_at_a_device_node_is_an_error_at_once(source_shim, tmp_path, node, kind,
                                                             refusal):
    """No hang (a FIFO's open waits for a writer), no controlling terminal (a
    terminal opened by a session leader without one becomes its own), never
    bytes from anything but the kernel's device."""
    need_mount_namespace()
    keep = []
    if kind == "fifo":
        source = tmp_path / "fifo"
        os.mkfifo(source)
    elif kind == "terminal":
        master, slave = os.openpty()
        keep += [master, slave]
        source = os.ttyname(slave)
    elif kind == "zero-device":
        source = "/dev/zero"
    else:
        source = tmp_path / "file"
        source.write_bytes(b"A" * 4096)
    (tmp_path / "child.py").write_text(DEV_VARIANT_CHILD)
    shell = (f'mount --bind "{source}" /dev/{node} && '
             f'exec "{sys.executable}" -P child.py {"setsid" if kind == "terminal" else "-"}')
    env = child_env(extra=shim_env(source_shim, VELMORA_TEST_GETRANDOM_ERRNO=str(refusal)))
    try:
        proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", shell],
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail(f"a draw with a {kind} at /dev/{node} hung")
    finally:
        for fd in keep:
            os.close(fd)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["tty_before"] == 0
    assert out["tty_after"] == 0, "the module's open made the terminal the process's own"
    for result, seconds in out["draws"]:
        assert result == RNG
        assert seconds < 1.0


# getrandom works at start-up; then the process sandboxes itself.
SANDBOX_LATER_CHILD = r"""
import json
from velmora._secure import EntropyPool, SecretBox, SecretStreamPush, SecureError
first = SecretBox.random(32)
deny_syscalls({"getrandom": REFUSAL})
out = []
for draw in (lambda: SecretBox.random(32).reveal(), lambda: EntropyPool().random(64),
             lambda: SecretStreamPush(first).header, lambda: SecretBox.random(32).reveal()):
    try:
        out.append(draw().hex())
    except SecureError as e:
        out.append(str(e))
print(json.dumps(out))
"""


@pytest.mark.parametrize("refusal", [errno.ENOSYS, errno.EPERM, errno.EIO],
                         ids=["ENOSYS", "EPERM", "EIO"])
def test_getrandom_refused_after_start_up_falls_back_to_the_device(
        run_child, seccomp_prelude, source_shim, refusal):
    out = run_child(SANDBOX_LATER_CHILD.replace("REFUSAL", str(refusal)), prelude=seccomp_prelude,
                    env=shim_env(source_shim), timeout=60).json()
    if refusal == errno.EIO:  # not a refusal: a failure, and it stays one
        assert out == [RNG] * 4
        return
    assert RNG not in out
    drawn = [bytes.fromhex(h) for h in out]
    assert len(set(drawn)) == 4 and all(any(d) for d in drawn)


# Draws while a native thread keeps putting /dev/zero in the module's
# descriptor's place (for 30 microseconds at a time, far longer than a read;
# ten times that under an emulator, whose draws take some ten times as long
# while the swapper's sleeps do not) and its own description back: for at
# least four seconds and 10000 swaps (a busy machine gives the thread less
# time), at most 30 seconds. Each swap the
# module notices costs it a descriptor (it never closes a number that may no
# longer be its own), hence the raised limit.
SWAP_CHILD = r"""
import ctypes, json, resource, time
from velmora._secure import SecretBox, SecureError
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
SecretBox.random(32)  # opens the device
shim = ctypes.CDLL(SHIM_PATH)
shim.velmora_test_start_swapper.argtypes = [ctypes.c_double] * 2
shim.velmora_test_swaps.restype = shim.velmora_test_stop_swapper.restype = ctypes.c_long
assert shim.velmora_test_start_swapper(HOLD, HOLD * 2 / 3)
counts = {"keys": 0, "refused": 0, "zero_runs": 0}
start = time.monotonic()
while (time.monotonic() - start < 4 or shim.velmora_test_swaps() < 10000) \
        and time.monotonic() - start < 30:
    try:
        key = SecretBox.random(32).reveal()
    except SecureError:
        counts["refused"] += 1
        continue
    counts["keys"] += 1
    if bytes(8) in key:
        counts["zero_runs"] += 1
counts["swaps"] = shim.velmora_test_stop_swapper()
print(json.dumps(counts))
"""


def test_a_descriptor_swapped_under_the_module_never_yields_zeros(run_child, source_shim):
    env = shim_env(source_shim, VELMORA_TEST_GETRANDOM_ERRNO=str(errno.ENOSYS))
    hold = 300e-6 if kernel_probe.emulated() else 30e-6
    child = SWAP_CHILD.replace("SHIM_PATH", repr(str(source_shim))).replace("HOLD", repr(hold))
    out = run_child(child, env=env, timeout=60).json()
    assert out["swaps"] >= 1000, out  # the swapper kept at it
    assert out["keys"] >= 1000, out
    # A swap that is still in place after the read is always caught. What the
    # after-read check cannot see is a swap made and undone while the drawing
    # thread sits between its read and that check (preempted for longer than
    # the swapper's hold): seen once in 137,340 draws on a loaded machine,
    # against about one in 5,000 before the check existed.
    assert out["zero_runs"] * 20_000 <= out["keys"], out
