"""ML-KEM-768 against an independent implementation: the `cryptography` package.

The core is reached through the test-only module `_mlkem_test`, found in
$VELMORA_TESTMODS (<build>/testmods of a build with VELMORA_BUILD_TESTS=ON).
Every round uses fresh random seeds; a failure message carries them.
"""

from __future__ import annotations

import importlib
import os
import sys
from pathlib import Path

import pytest

mlkem_crypto = pytest.importorskip(
    "cryptography.hazmat.primitives.asymmetric.mlkem",
    reason="the installed cryptography package has no ML-KEM",
)
MLKEM768PrivateKey = mlkem_crypto.MLKEM768PrivateKey
MLKEM768PublicKey = mlkem_crypto.MLKEM768PublicKey


def _load_testmod():
    where = os.environ.get("VELMORA_TESTMODS")
    if not where:
        pytest.skip(
            "VELMORA_TESTMODS is not set (it names <build>/testmods of a build with VELMORA_BUILD_TESTS=ON)",
            allow_module_level=True,
        )
    if not Path(where, ".").is_dir():
        pytest.skip(f"VELMORA_TESTMODS={where} is not a directory", allow_module_level=True)
    sys.path.insert(0, where)
    try:
        return importlib.import_module("_mlkem_test")
    except ImportError as exc:
        pytest.skip(f"_mlkem_test not importable from {where}: {exc}", allow_module_level=True)
    finally:
        sys.path.remove(where)


ours = _load_testmod()

ROUNDS = 20
EK_OFFSET, HASH_OFFSET = 1152, 2336


def fresh_key():
    """(seed, our ek, our dk, their private key) for a new random seed d || z."""
    seed = os.urandom(64)
    ek, dk = ours.keygen(seed[:32], seed[32:])
    return seed, ek, dk, MLKEM768PrivateKey.from_seed_bytes(seed)


def test_same_seed_gives_same_encapsulation_key():
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key()
        assert ek == theirs.public_key().public_bytes_raw(), f"seed {seed.hex()}"
        assert dk[EK_OFFSET:HASH_OFFSET] == ek
        assert ours.check_ek(ek) and ours.check_dk(dk)


def test_their_ciphertexts_decapsulate_here_to_their_key():
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key()
        # Encapsulate to the key as a peer would see it: parsed from bytes.
        key, ct = MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
        assert ours.decaps(dk, ct) == key, f"seed {seed.hex()} ct {ct.hex()}"


def test_our_ciphertexts_decapsulate_there_to_our_key():
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key()
        m = os.urandom(32)
        key, ct = ours.encaps(ek, m)
        assert len(ct) == 1088
        assert theirs.decapsulate(ct) == key, f"seed {seed.hex()} m {m.hex()}"


def test_tampered_ciphertexts_give_the_same_rejection_key_in_both():
    # Implicit rejection is deterministic (SHAKE256(z || c)), so two correct
    # implementations agree on the key for any malformed ciphertext as well.
    for _ in range(ROUNDS):
        seed, ek, dk, theirs = fresh_key()
        key, ct = ours.encaps(ek, os.urandom(32))
        pos = int.from_bytes(os.urandom(2), "little") % len(ct)
        bad = bytearray(ct)
        bad[pos] ^= 1 << (pos % 8)
        bad = bytes(bad)
        ours_key = ours.decaps(dk, bad)
        assert ours_key != key
        assert ours_key == theirs.decapsulate(bad), f"seed {seed.hex()} flip at {pos}"
