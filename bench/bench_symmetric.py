"""Symmetric operations of velmora._secure next to the `cryptography` package
and the standard library, in one run, reported as time ratios (ours / theirs).

    python bench/bench_symmetric.py [--quick] [--repeat N] [--json FILE]

Each figure is the best of several repeats of a timed loop (the least disturbed
run); the two sides of a pair alternate repeats, so machine noise hits both.
--json also writes the figures to FILE (docs/perf/make_perf.py reads them).
"""

from __future__ import annotations

import argparse
import hmac
import json
import os
import sys
import timeit

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from velmora import _secure as secure

KiB = 1024
MiB = 1024 * KiB


def best_time(fn, number, repeat):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def pair(ours, theirs, number, repeat):
    """Best per-call times of two callables, measured in alternation."""
    t_ours, t_theirs = float("inf"), float("inf")
    for _ in range(repeat):
        t_ours = min(t_ours, best_time(ours, number, 1))
        t_theirs = min(t_theirs, best_time(theirs, number, 1))
    return t_ours, t_theirs


def iterations(size, budget=0.05):
    """Calls per repeat so that one repeat takes roughly `budget` seconds."""
    per_call = 1e-6 + size / 1e9
    return max(3, int(budget / per_call))


def fmt(t):
    return f"{t * 1e6:10.3f} us"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--repeat", type=int, default=None)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    repeat = args.repeat or (5 if args.quick else 15)

    rows = []

    def record(name, ours, theirs, target, number):
        t_ours, t_theirs = pair(ours, theirs, number, repeat)
        rows.append((name, t_ours, t_theirs, t_ours / t_theirs, target))

    key = os.urandom(32)
    box = secure.SecretBox.from_bytes(key)
    aead = AESGCM(key)
    nonce = os.urandom(12)

    # At 64 B the fixed costs dominate, the stack wipe on return included.
    # 256 B is the longest input (AAD and text together) that ipsec-mb's AVX2
    # code serves where it would otherwise run its AVX-512 code.
    sizes = ((64, "64 B", 0.75), (256, "256 B", 1.0), (4 * KiB, "4 KiB", 1.0), (1 * MiB, "1 MiB", 1.0))
    for size, label, target in sizes:
        plaintext = os.urandom(size)
        sealed = aead.encrypt(nonce, plaintext, None)
        assert box.aes_gcm_seal(nonce, plaintext) == sealed
        assert box.aes_gcm_open(nonce, sealed) == plaintext
        n = iterations(size)
        record(f"aes_gcm_seal {label}", lambda: box.aes_gcm_seal(nonce, plaintext),
               lambda: aead.encrypt(nonce, plaintext, None), target, n)
        record(f"aes_gcm_open {label}", lambda: box.aes_gcm_open(nonce, sealed),
               lambda: aead.decrypt(nonce, sealed, None), target, n)

    message = os.urandom(64)
    hmac_key = os.urandom(64)
    hmac_box = secure.SecretBox.from_bytes(hmac_key)
    assert hmac_box.hmac_sha512(message) == hmac.digest(hmac_key, message, "sha512")
    record("hmac_sha512 64 B", lambda: hmac_box.hmac_sha512(message),
           lambda: hmac.digest(hmac_key, message, "sha512"), 0.6, iterations(64))

    ikm = os.urandom(32)
    ikm_box = secure.SecretBox.from_bytes(ikm)
    info = b"velmora bench"
    seed32 = os.urandom(32)

    def hkdf_then_box():
        # The peer's derivation plus the price of holding its result the same
        # way: one 32-byte box created and released.
        HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=info).derive(ikm)
        secure.SecretBox.from_bytes(seed32)

    record("hkdf_sha256 -> 32 B", lambda: ikm_box.hkdf_sha256(info=info),
           hkdf_then_box, 1.2, iterations(64, 0.1))

    pool = secure.EntropyPool()
    pool.mix(os.urandom(32))
    record("EntropyPool.random 32 B", lambda: pool.random(32), lambda: os.urandom(32), 2.0,
           iterations(32))
    record("EntropyPool.random 1 MiB", lambda: pool.random(MiB), lambda: os.urandom(MiB), 2.0,
           max(3, iterations(MiB) // 8))

    print(f"velmora._secure from {secure.__file__}")
    print(f"Python {sys.version.split()[0]}, repeats {repeat}")
    print(f"{'operation':28} {'ours':>13} {'theirs':>13} {'ratio':>7} {'target':>7}")
    failed = 0
    for name, t_ours, t_theirs, ratio, target in rows:
        mark = "" if ratio <= target else "  over"
        failed += ratio > target
        print(f"{name:28} {fmt(t_ours)} {fmt(t_theirs)} {ratio:7.2f} {target:7.2f}{mark}")
    if args.json:
        report = {
            "benchmark": "symmetric", "repeat": repeat,
            "rows": [{"operation": name, "ours_ns": t_ours * 1e9, "theirs_ns": t_theirs * 1e9,
                      "ratio": ratio, "target": target}
                     for name, t_ours, t_theirs, ratio, target in rows],
        }
        with open(args.json, "w", encoding="utf-8") as f:
            f.write(json.dumps(report, indent=1) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
