"""ML-KEM-768: this project's core against the `cryptography` package, in one run.

    VELMORA_TESTMODS=build/<dir>/testmods python3 bench/bench_mlkem768.py [--rounds N] [--ops N]

Ours is reached through the test-only module _mlkem_test (build with
-DVELMORA_BUILD_TESTS=ON, preferably -DCMAKE_BUILD_TYPE=Release). Both sides
run the same number of operations, alternating in short rounds; each figure is
the best round, in microseconds per operation (on a shared machine the fastest
round is the one least disturbed by other processes; --stat median gives the
median instead). The ratio is ours / theirs: below 1.0 is faster.

What is compared:
  keygen  ours: keygen(d, z) -> (ek, dk) bytes
          theirs: MLKEM768PrivateKey.from_seed_bytes(d || z)
  encaps  ours: encaps(ek, m) from ek bytes, with m = os.urandom(32)
          theirs, like for like: MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
          theirs, key object already parsed: pk.encapsulate() -- the parsed
          object caches the expanded matrix A and H(ek), work that an API
          taking ek bytes (ours) must redo on every call
  decaps  ours: decaps(dk, ct) from the 2400-byte dk bytes
          theirs: sk.decapsulate(ct) on a key object (cryptography cannot load
          an expanded dk; its only stored form is the 64-byte seed, listed too)
Cycles per operation, measured natively with rdtsc: bench/mlkem768_cycles.cpp.
"""

from __future__ import annotations

import argparse
import importlib
import os
import statistics
import sys
import time


def load_ours():
    where = os.environ.get("VELMORA_TESTMODS")
    if not where:
        sys.exit("set VELMORA_TESTMODS to <build>/testmods of a build with -DVELMORA_BUILD_TESTS=ON")
    sys.path.insert(0, where)
    return importlib.import_module("_mlkem_test")


def per_op_us(fn, ops):
    start = time.perf_counter_ns()
    for _ in range(ops):
        fn()
    return (time.perf_counter_ns() - start) / ops / 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--ops", type=int, default=200, help="operations per side per round")
    parser.add_argument("--stat", choices=("best", "median"), default="best")
    args = parser.parse_args()

    ours = load_ours()
    from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey, MLKEM768PublicKey

    seed = os.urandom(64)
    d, z = seed[:32], seed[32:]
    ek, dk = ours.keygen(d, z)
    sk = MLKEM768PrivateKey.from_seed_bytes(seed)
    pk = sk.public_key()
    assert pk.public_bytes_raw() == ek
    _, ct = pk.encapsulate()
    urandom = os.urandom

    cases = [
        # (name, ours, theirs, headline)
        ("keygen", lambda: ours.keygen(d, z), lambda: MLKEM768PrivateKey.from_seed_bytes(seed), True),
        ("encaps", lambda: ours.encaps(ek, urandom(32)),
         lambda: MLKEM768PublicKey.from_public_bytes(ek).encapsulate(), True),
        ("encaps vs parsed key object", lambda: ours.encaps(ek, urandom(32)), lambda: pk.encapsulate(), False),
        ("decaps", lambda: ours.decaps(dk, ct), lambda: sk.decapsulate(ct), True),
        ("decaps vs from stored seed", lambda: ours.decaps(dk, ct),
         lambda: MLKEM768PrivateKey.from_seed_bytes(seed).decapsulate(ct), False),
    ]

    results = {}
    for name, mine, theirs, _ in cases:
        mine(), theirs()  # warm-up
        a, b = [], []
        for r in range(args.rounds):
            # Alternate which side goes first.
            if r % 2 == 0:
                a.append(per_op_us(mine, args.ops))
                b.append(per_op_us(theirs, args.ops))
            else:
                b.append(per_op_us(theirs, args.ops))
                a.append(per_op_us(mine, args.ops))
        pick = min if args.stat == "best" else statistics.median
        results[name] = (pick(a), pick(b))

    print(f"ML-KEM-768, {args.rounds} rounds x {args.ops} operations per side, {args.stat} round, us/op")
    print(f"{'operation':<30}{'ours':>10}{'cryptography':>14}{'ours/theirs':>13}")
    for name, _, _, headline in cases:
        mine, theirs = results[name]
        mark = "" if headline else "   (for reference)"
        print(f"{name:<30}{mine:>10.1f}{theirs:>14.1f}{mine / theirs:>13.2f}{mark}")


if __name__ == "__main__":
    main()
