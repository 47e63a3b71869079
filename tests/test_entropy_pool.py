"""EntropyPool from the interpreter: construction, the shape of its output,
mixing seeds from boxes and bytes, refusals, and its behaviour when the random
source fails or the process is a fork child. (The generator's arithmetic, which
needs a deterministic random source, is checked in the C++ tests.)"""

import re

import pytest

import kernel_probe

from velmora._secure import EntropyPool, SecretBox, memory_status
from messages import EMPTY, FORK, RNG, STR_REFUSED, WIPED, secure_error


def test_construction_and_repr():
    pool = EntropyPool()
    assert repr(pool) == "EntropyPool(<state redacted>)"
    pool.mix(b"seed")
    assert repr(pool) == "EntropyPool(<state redacted>)"
    with pytest.raises(TypeError):
        EntropyPool(b"seed")
    with pytest.raises(TypeError):
        EntropyPool(seed=b"")
    with pytest.raises(TypeError):
        type("Sub", (EntropyPool,), {})


def test_the_pool_state_is_one_locked_region():
    before = memory_status()["live_secrets"]
    pool = EntropyPool()
    assert memory_status()["live_secrets"] == before + 1
    del pool
    assert memory_status()["live_secrets"] == before


@pytest.mark.parametrize("n", [0, 1, 31, 32, 33, 64, 1000, 1 << 20])
def test_random_lengths(n):
    out = EntropyPool().random(n)
    assert type(out) is bytes and len(out) == n


def test_outputs_differ_and_look_random():
    pool = EntropyPool()
    pool.mix(b"the same seed")
    other = EntropyPool()
    other.mix(b"the same seed")
    # The same seed and counter still give fresh output: the OS bytes differ.
    assert pool.random(32) != other.random(32)
    blob = pool.random(1 << 16)
    assert len(set(blob[i : i + 32] for i in range(0, len(blob), 32))) == len(blob) // 32
    assert 0.45 < sum(bin(b).count("1") for b in blob) / (8 * len(blob)) < 0.55


def test_random_secret():
    pool = EntropyPool()
    before = memory_status()["live_secrets"]
    box = pool.random_secret(48)
    assert isinstance(box, SecretBox) and len(box) == 48
    assert memory_status()["live_secrets"] == before + 1
    assert box != pool.random_secret(48)
    with secure_error(EMPTY):
        pool.random_secret(0)
    assert memory_status()["live_secrets"] == before + 1


@pytest.mark.parametrize(
    "seed",
    [b"", b"bytes", bytearray(b"bytearray"), memoryview(b"xview")[1:], SecretBox.from_bytes(b"box")],
    ids=["empty", "bytes", "bytearray", "memoryview", "box"],
)
def test_mix_accepts_boxes_and_byte_buffers(seed):
    pool = EntropyPool()
    assert pool.mix(seed) is None
    assert len(pool.random(40)) == 40


def test_mix_refusals():
    pool = EntropyPool()
    with pytest.raises(TypeError, match="^" + re.escape(STR_REFUSED) + "$"):
        pool.mix("text")
    with pytest.raises(TypeError):
        pool.mix(42)
    box = SecretBox.random(8)
    box.wipe()
    with secure_error(WIPED):
        pool.mix(box)
    with pytest.raises(TypeError):
        pool.mix()
    pool.mix(seed=b"keyword")


@pytest.mark.parametrize("method", ["random", "random_secret"])
@pytest.mark.parametrize(
    "value, exc", [(-1, OverflowError), (2**64, OverflowError), ("8", TypeError), (1.0, TypeError)]
)
def test_n_conversion_errors_name_the_argument(method, value, exc):
    with pytest.raises(exc, match="^argument 'n': "):
        getattr(EntropyPool(), method)(value)


def test_random_too_large_to_allocate_fails_cleanly():
    pool = EntropyPool()
    with pytest.raises(MemoryError):
        pool.random(2**63)
    assert len(pool.random(8)) == 8


def test_random_source_failure(run_child, seccomp_prelude):
    out = run_child(
        f"""
        import errno, json
        import velmora._secure as s
        pool = s.EntropyPool()
        box = s.SecretBox.from_bytes(b"seed")
        live = s.memory_status()["live_secrets"]
        deny_syscalls({{"getrandom": errno.EIO}})
        result = {{}}
        for name, call in [("random", lambda: pool.random(100)),
                           ("random_secret", lambda: pool.random_secret(100))]:
            try:
                call()
                result[name] = None
            except s.SecureError as e:
                result[name] = e.args[0]
        result["empty"] = pool.random(0)  # never touches the source
        pool.mix(box)                      # needs no randomness
        result["live"] = s.memory_status()["live_secrets"] - live
        print(json.dumps(result, default=lambda b: b.hex()))
        """,
        prelude=seccomp_prelude,
    ).json()
    assert out == {"random": RNG, "random_secret": RNG, "empty": "", "live": 0}


def test_fork_child_cannot_use_the_parents_pool(run_child):
    kernel_probe.require("wipe_on_fork")
    out = run_child(
        """
        import json, os
        import velmora._secure as s
        pool = s.EntropyPool()
        pool.mix(b"parent")
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            errors = []
            for call in (lambda: pool.random(8), lambda: pool.random(0),
                         lambda: pool.random_secret(8), lambda: pool.mix(b"child")):
                try:
                    call()
                    errors.append(None)
                except s.SecureError as e:
                    errors.append(e.args[0])
            fresh = len(s.EntropyPool().random(8))
            os.write(w, json.dumps({"errors": errors, "fresh": fresh}).encode())
            os._exit(0)
        os.close(w)
        child = json.loads(os.read(r, 65536))
        os.waitpid(pid, 0)
        child["parent"] = len(pool.random(8))
        print(json.dumps(child))
        """
    ).json()
    assert out == {"errors": [FORK] * 4, "fresh": 8, "parent": 8}
