"""ML-KEM-768 against an independent implementation: the `cryptography` package.

The core is reached through the test-only module `_mlkem_test` (tests/native;
conftest.import_testmod finds it).
Every test runs on each code path the CPU has (portable, avx2). Every round
uses fresh random seeds; a failure message carries them.
"""

from __future__ import annotations

import os

import pytest

from conftest import built_testmods, import_testmod

mlkem_crypto = pytest.importorskip(
    "cryptography.hazmat.primitives.asymmetric.mlkem",
    reason="the installed cryptography package has no ML-KEM",
)
MLKEM768PrivateKey = mlkem_crypto.MLKEM768PrivateKey
MLKEM768PublicKey = mlkem_crypto.MLKEM768PublicKey


ours = import_testmod("_mlkem_test")

ROUNDS = 20
EK_OFFSET, HASH_OFFSET = 1152, 2336


@pytest.fixture(params=["portable", "avx2"])
def path(request):
    if request.param not in ours.paths():
        pytest.skip(f"this CPU cannot run the {request.param} path")
    return request.param


def fresh_key(path):
    """(seed, our ek, our dk, their private key) for a new random seed d || z."""
    seed = os.urandom(64)
    ek, dk = ours.keygen(seed[:32], seed[32:], path)
    return seed, ek, dk, MLKEM768PrivateKey.from_seed_bytes(seed)


def test_same_seed_gives_same_encapsulation_key(path):
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key(path)
        assert ek == theirs.public_key().public_bytes_raw(), f"seed {seed.hex()}"
        assert dk[EK_OFFSET:HASH_OFFSET] == ek
        assert ours.check_ek(ek) and ours.check_dk(dk)


def test_their_ciphertexts_decapsulate_here_to_their_key(path):
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key(path)
        # Encapsulate to the key as a peer would see it: parsed from bytes.
        key, ct = MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
        assert ours.decaps(dk, ct, path) == key, f"seed {seed.hex()} ct {ct.hex()}"


def test_our_ciphertexts_decapsulate_there_to_our_key(path):
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key(path)
        m = os.urandom(32)
        key, ct = ours.encaps(ek, m, path)
        assert len(ct) == 1088
        assert theirs.decapsulate(ct) == key, f"seed {seed.hex()} m {m.hex()}"


def test_tampered_ciphertexts_give_the_same_rejection_key_in_both(path):
    # Implicit rejection is deterministic (SHAKE256(z || c)), so two correct
    # implementations agree on the key for any malformed ciphertext as well.
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key(path)
        key, ct = ours.encaps(ek, os.urandom(32), path)
        pos = int.from_bytes(os.urandom(2), "little") % len(ct)
        bad = bytearray(ct)
        bad[pos] ^= 1 << (pos % 8)
        bad = bytes(bad)
        ours_key = ours.decaps(dk, bad, path)
        assert ours_key != key
        assert ours_key == theirs.decapsulate(bad), f"seed {seed.hex()} flip at {pos}"


def test_paths_agree_with_each_other():
    paths = ours.paths()
    if len(paths) < 2:
        pytest.skip("only one code path runs on this CPU")
    for _ in range(ROUNDS):
        d, z, m = os.urandom(32), os.urandom(32), os.urandom(32)
        results = []
        for p in paths:
            ek, dk = ours.keygen(d, z, p)
            key, ct = ours.encaps(ek, m, p)
            bad = bytes([ct[0] ^ 1]) + ct[1:]
            results.append((ek, dk, key, ct, ours.decaps(dk, ct, p), ours.decaps(dk, bad, p)))
        assert all(r == results[0] for r in results), f"d {d.hex()} z {z.hex()} m {m.hex()}"


@pytest.mark.parametrize(
    "value, expected",
    [("portable", "portable"), ("avx2", "avx2"), ("", "best"), (None, "best"), (" \t", "best"),
     ("AVX2", "avx2"), (" Avx2\n", "avx2"), ("\u00a0PORTABLE ", "portable"), ("sse9", "portable"),
     ("avx 2", "portable")],
)
def test_the_environment_forces_a_path(run_child, value, expected):
    # The choice is made once per process, so each is checked in a child; the
    # value is read as the lock policy is (surrounding whitespace and case
    # ignored). Unset or blank means the best the CPU runs; an unknown value
    # the portable path.
    best = ours.paths()[-1]
    if expected == "best":
        expected = best
    if expected not in ours.paths():
        pytest.skip(f"this CPU cannot run the {expected} path")
    child = run_child(
        f"import sys; sys.path.insert(0, {str(built_testmods())!r}); "
        "import _mlkem_test; print(_mlkem_test.active_path())",
        env={"VELMORA_MLKEM_IMPL": value},
    )
    assert child.stdout.strip() == expected
