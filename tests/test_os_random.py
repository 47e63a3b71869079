"""The /dev/urandom fallback: where getrandom fails with ENOSYS, the module
keeps a descriptor of /dev/urandom open. Code that closes descriptors it does
not own (``os.closerange`` when daemonizing) can hand that number to a regular
file; random bytes must never come from it.

getrandom is made to fail by an ``LD_PRELOAD`` shim built here from a few lines
of C, in child interpreters only."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

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
