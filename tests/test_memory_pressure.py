"""Running out of memory is an ordinary error: it leaves every object usable.
Operations that copy a large box out under its lock are run in a child whose
address space (RLIMIT_AS) has no room for the copy."""

from __future__ import annotations

import pytest

import kernel_probe
from conftest import SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer reserves far more address space than any limit allows"
)

CHILD = r"""
import json, resource
from velmora._secure import SecretBox, HybridKeyPair, SecureError

BIG = 256 << 20
big = SecretBox.random(BIG)
small = SecretBox.random(32)
x25519 = SecretBox.random(32)

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def outcome(call):
    try:
        call()
        return "ok"
    except MemoryError:
        return "MemoryError"
    except SecureError as e:
        return "SecureError: " + str(e)

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (64 << 20), hard))
results = {}
for name, call in {
    "compare": lambda: small == big,
    "seal_secret": lambda: small.aes_gcm_seal_secret(bytes(12), big),
    "from_secrets": lambda: HybridKeyPair.from_secrets(x25519, big),
    "reveal": big.reveal,
}.items():
    results[name] = outcome(call)
    results[name + " then"] = [len(big), big.is_wiped, repr(big)]
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
results["after"] = [small == big, big == big.clone(), outcome(big.wipe), big.is_wiped]
print(json.dumps(results))
"""


def test_an_allocation_failure_leaves_the_box_usable(run_child):
    kernel_probe.require("address_space_limit")
    out = run_child(CHILD).json()
    usable = [256 << 20, False, out["compare then"][2]]
    assert "poisoned" not in usable[2]
    for name in ("compare", "seal_secret", "from_secrets", "reveal"):
        assert out[name] == "MemoryError", name
        assert out[name + " then"] == usable, name
    assert out["after"] == [False, True, "ok", True]
