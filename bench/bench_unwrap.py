"""What a request costs when its data key is unwrapped for it, against a data
key unwrapped once and kept in its box, next to the `cryptography` package
doing the same with a key in ordinary memory, in one run:

    python bench/bench_unwrap.py [--quick] [--size BYTES]

A request is one AES-256-GCM opening of `size` bytes (1 KiB by default) with
the data key. Per request, the unwrapping side opens the 60-byte wrapped key
under the key-encryption key into a new box first (a new locked region,
released when the box goes); `cryptography`'s per-request side builds an
AESGCM object from the key bytes. Each figure is the best of several repeats,
the four measured in alternation so machine noise hits all of them; the
Guides page ("Keeping unwrapped keys in boxes") shows them.
"""

from __future__ import annotations

import argparse
import os
import timeit

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from velmora import _secure as secure


def best(fns, number, repeat):
    """Best per-call time of each callable, measured in alternation."""
    times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            times[i] = min(times[i], timeit.timeit(fn, number=number) / number)
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--size", type=int, default=1024, help="request size in bytes")
    args = parser.parse_args()
    repeat, number = (5, 2000) if args.quick else (15, 5000)

    kek = secure.SecretBox.random(32)
    dek_bytes = os.urandom(32)
    dek = secure.SecretBox.from_bytes(bytearray(dek_bytes))
    wrap_nonce = os.urandom(12)
    wrapped = kek.aes_gcm_seal_secret(wrap_nonce, dek, aad=b"dek:orders")
    nonce = os.urandom(12)
    request = dek.aes_gcm_seal(nonce, os.urandom(args.size))
    kept_peer = AESGCM(dek_bytes)

    def unwrap_per_request():
        key = kek.aes_gcm_open_secret(wrap_nonce, wrapped, aad=b"dek:orders")
        return key.aes_gcm_open(nonce, request)

    def kept_box():
        return dek.aes_gcm_open(nonce, request)

    def peer_per_request():
        return AESGCM(dek_bytes).decrypt(nonce, request, None)

    def peer_kept():
        return kept_peer.decrypt(nonce, request, None)

    rows = [
        ("unwrap the data key, then open the request", unwrap_per_request),
        ("open the request with the kept box", kept_box),
        ("cryptography: AESGCM(key) per request, then decrypt", peer_per_request),
        ("cryptography: a kept AESGCM object", peer_kept),
    ]
    assert len({fn() for _, fn in rows}) == 1
    times = best([fn for _, fn in rows], number, repeat)
    print(f"per request, {args.size}-byte request ({repeat} repeats of {number})")
    print(f"{'':56} {'us':>8} {'vs kept box':>12}")
    for (name, _), t in zip(rows, times):
        print(f"{name:56} {t * 1e6:8.2f} {t / times[1]:12.2f}")
    print(f"unwrapping per request / kept box: {times[0] / times[1]:.2f}; "
          f"kept box / cryptography kept: {times[1] / times[3]:.2f}")


if __name__ == "__main__":
    main()
