"""Hybrid seal: velmora._secure against the same composition written in Python
on the `cryptography` package, in one run.

    python3 bench/bench_hybrid.py [--rounds N] [--ops N] [--path P] [--stat S] [--json FILE]

Uses whichever velmora._secure is importable (the installed one, or set
PYTHONPATH to <build>/python). Both sides run the same number of operations,
alternating in short rounds so that load from other processes hits both
alike; each figure is the best round (or with --stat median the median), in
microseconds per operation. The ratio is ours / theirs: below 1.0 is faster.

--path each (the default) runs the comparison once per ML-KEM code path, each
in a child process with VELMORA_MLKEM_IMPL set (the path is chosen once per
process); --path portable or avx2 runs just that one here. X25519 runs on
the process's own path: set VELMORA_X25519_IMPL=libsodium (or native) to pick.
--json also writes the figures of every path run to FILE (docs/perf/make_perf.py
reads them).

The composition on `cryptography` is the seal format itself: an ephemeral
X25519 exchange and an ML-KEM-768 encapsulation, HKDF-SHA256 over both shared
secrets with the label and the whole encapsulation as info, AES-256-GCM.

What is compared:
  seal_hybrid 1 KiB   ours: seal_hybrid(x25519_public, mlkem768_public, 1 KiB, aad)
                      theirs: the same from the two public keys as bytes
  open 1 KiB          ours: HybridKeyPair.open of that seal
                      theirs: the recipient's two private key objects, already
                      loaded, open the same kind of seal
  open_session        ours: HybridKeyPair.open_session of a typical record
                      theirs: open, json.loads, base64url-decode both keys,
                      check that each is 32 bytes
  generate            ours: HybridKeyPair.generate() (keys born in locked memory)
                      theirs: X25519PrivateKey.generate() + MLKEM768PrivateKey.generate()

The targets (TARGETS) hold for the code a processor with AVX2, BMI2 and ADX
runs by default: the AVX2 ML-KEM path with the native X25519.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey, MLKEM768PublicKey
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from velmora._secure import HybridKeyPair, seal_hybrid

LABEL = b"quorvix-sdk-hybrid-seal-v1"
# Ratio targets, ours / theirs, for the default code of an AVX2 + BMI2 + ADX
# processor (see above).
TARGETS = {"seal_hybrid 1 KiB": 0.5, "open 1 KiB": 0.5, "open_session": 0.7, "generate": 0.45}


def derive(x25519_shared, mlkem_shared, encapsulation):
    hkdf = HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=LABEL + encapsulation)
    return hkdf.derive(x25519_shared + mlkem_shared)


def their_seal(x25519_public, mlkem768_public, plaintext, aad):
    e = X25519PrivateKey.generate()
    x_shared = e.exchange(X25519PublicKey.from_public_bytes(x25519_public))
    k_shared, c = MLKEM768PublicKey.from_public_bytes(mlkem768_public).encapsulate()
    encapsulation = e.public_key().public_bytes_raw() + c
    nonce = os.urandom(12)
    return encapsulation, nonce, AESGCM(derive(x_shared, k_shared, encapsulation)).encrypt(nonce, plaintext, aad)


def their_open(x25519, mlkem, encapsulation, nonce, ciphertext, aad):
    x_shared = x25519.exchange(X25519PublicKey.from_public_bytes(encapsulation[:32]))
    k_shared = mlkem.decapsulate(encapsulation[32:])
    return AESGCM(derive(x_shared, k_shared, encapsulation)).decrypt(nonce, ciphertext, aad)


def b64decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def their_open_session(x25519, mlkem, *seal):
    record = json.loads(their_open(x25519, mlkem, *seal))
    sign_key, enc_key = b64decode(record["sign_key"]), b64decode(record["enc_key"])
    if len(sign_key) != 32 or len(enc_key) != 32:
        raise ValueError("session key length")
    return record["session_id"], record["expires_at"], sign_key, enc_key


def per_op_us(fn, ops):
    start = time.perf_counter_ns()
    for _ in range(ops):
        fn()
    return (time.perf_counter_ns() - start) / ops / 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--ops", type=int, default=100, help="operations per side per round")
    parser.add_argument("--path", choices=("each", "portable", "avx2"), default="each")
    parser.add_argument("--stat", choices=("best", "median"), default="best")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    if args.path == "each":
        paths = {}
        with tempfile.TemporaryDirectory() as tmp:
            for path in ("portable", "avx2"):
                argv = [sys.executable, __file__, "--rounds", str(args.rounds), "--ops", str(args.ops),
                        "--path", path, "--stat", args.stat]
                if args.json:
                    argv += ["--json", os.path.join(tmp, path + ".json")]
                subprocess.run(argv, env={**os.environ, "VELMORA_MLKEM_IMPL": path}, check=True)
                if args.json:
                    with open(os.path.join(tmp, path + ".json"), encoding="utf-8") as f:
                        paths.update(json.load(f)["paths"])
        if args.json:
            write_report(args, paths)
        return
    os.environ["VELMORA_MLKEM_IMPL"] = args.path  # before the first operation reads it

    ours = HybridKeyPair.generate()
    x25519, mlkem = X25519PrivateKey.generate(), MLKEM768PrivateKey.generate()
    their_x = x25519.public_key().public_bytes_raw()
    their_m = mlkem.public_key().public_bytes_raw()

    payload, aad = os.urandom(1024), b"tenant:7/document:42"
    our_seal = seal_hybrid(ours.x25519_public, ours.mlkem768_public, payload, aad)
    their_sealed = their_seal(their_x, their_m, payload, aad)
    assert ours.open(*our_seal, aad) == payload
    assert their_open(x25519, mlkem, *their_sealed, aad) == payload

    record = json.dumps(
        {
            "session_id": "3f2c9a4e-8d1b-4c57-9e2a-6b0f1d7c5e38",
            "sign_key": base64.urlsafe_b64encode(os.urandom(32)).rstrip(b"=").decode(),
            "enc_key": base64.urlsafe_b64encode(os.urandom(32)).rstrip(b"=").decode(),
            "expires_at": 1767225600,
        }
    ).encode()
    our_session = seal_hybrid(ours.x25519_public, ours.mlkem768_public, record, b"")
    their_session = their_seal(their_x, their_m, record, b"")
    mine_out, theirs_out = ours.open_session(*our_session, b""), their_open_session(x25519, mlkem, *their_session, b"")
    assert mine_out[:2] == theirs_out[:2]

    cases = [
        ("seal_hybrid 1 KiB",
         lambda: seal_hybrid(ours.x25519_public, ours.mlkem768_public, payload, aad),
         lambda: their_seal(their_x, their_m, payload, aad)),
        ("open 1 KiB",
         lambda: ours.open(*our_seal, aad),
         lambda: their_open(x25519, mlkem, *their_sealed, aad)),
        ("open_session",
         lambda: ours.open_session(*our_session, b""),
         lambda: their_open_session(x25519, mlkem, *their_session, b"")),
        ("generate",
         HybridKeyPair.generate,
         lambda: (X25519PrivateKey.generate(), MLKEM768PrivateKey.generate())),
    ]

    results = {}
    for name, mine, theirs in cases:
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

    print(f"Hybrid seal, ML-KEM path {args.path}: {args.rounds} rounds x {args.ops} operations per side, "
          f"{args.stat} us/op")
    targets = TARGETS if args.path == "avx2" and os.environ.get("VELMORA_X25519_IMPL") != "libsodium" else {}
    print(f"{'operation':<22}{'ours':>10}{'cryptography':>14}{'ours/theirs':>13}{'target':>9}")
    for name, _, _ in cases:
        mine, theirs = results[name]
        target = f"{targets[name]:.2f}" if name in targets else "-"
        print(f"{name:<22}{mine:>10.1f}{theirs:>14.1f}{mine / theirs:>13.2f}{target:>9}")
    if args.json:
        write_report(args, {args.path: [
            {"operation": name, "ours_ns": mine * 1e3, "theirs_ns": theirs * 1e3,
             "ratio": mine / theirs, "target": targets.get(name)}
            for name, (mine, theirs) in results.items()]})


def write_report(args, paths):
    report = {"benchmark": "hybrid", "rounds": args.rounds, "ops": args.ops, "stat": args.stat,
              "paths": paths}
    with open(args.json, "w", encoding="utf-8") as f:
        f.write(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
