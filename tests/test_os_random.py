"""The /dev/urandom fallback: where getrandom fails with ENOSYS, the module
keeps a descriptor of /dev/urandom open. Code that closes descriptors it does
not own (``os.closerange`` when daemonizing) can hand that number to a regular
file; random bytes must never come from it.

getrandom is made to fail by an ``LD_PRELOAD`` shim built here from a few lines
of C, in child interpreters only."""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

from messages import RNG

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
    gcc = shutil.which("gcc") or shutil.which("cc")
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
