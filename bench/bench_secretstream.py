"""Secret stream throughput, side by side with PyNaCl's secretstream binding.

Prints, for push and pull at 64 B, 16 KiB and 1 MiB chunks, the time per chunk
of both implementations measured in the same run (rounds alternate between the
two, the best round counts) and the ratio ours / theirs, against the targets
(at most 0.5 at 64 B, which includes the stack wipe on return, at most 0.7 at 16 KiB and 1 MiB). Single-thread times are
the calling thread's CPU time, so other load on a shared machine does not land
on one side only; all of push's and pull's work runs on the calling thread. Then the throughput of
two threads pushing 1 MiB chunks on two streams against one thread (target: at
least 1.7x), which only holds if push really runs without the interpreter lock.

    python bench/bench_secretstream.py [--rounds N] [--quick] [--json FILE]

--json also writes the figures to FILE (docs/perf/make_perf.py reads them).
"""

from __future__ import annotations

import argparse
import json
import os
import threading
import time

import nacl
import nacl.bindings as sodium

from velmora._secure import SecretBox, SecretStreamPull, SecretStreamPush

KiB = 1024
MiB = 1024 * KiB
SIZES = [(64, "64 B", 0.5), (16 * KiB, "16 KiB", 0.7), (MiB, "1 MiB", 0.7)]
TAG_MESSAGE = sodium.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE


def chunks_per_round(size):
    # Roughly 4 MiB of data (and at least a few hundred calls) per timed round.
    return max(8, min(2000, (4 * MiB) // size))


class Ours:
    name = "velmora"

    def __init__(self, key: bytes):
        self.box = SecretBox.from_bytes(bytearray(key))

    def pusher(self):
        return SecretStreamPush(self.box).push

    def seal_stream(self, messages):
        p = SecretStreamPush(self.box)
        return p.header, [p.push(m) for m in messages]

    def puller(self, header):
        return SecretStreamPull(self.box, header).pull


class Theirs:
    name = "pynacl"

    def __init__(self, key: bytes):
        self.key = key

    def pusher(self):
        st = sodium.crypto_secretstream_xchacha20poly1305_state()
        sodium.crypto_secretstream_xchacha20poly1305_init_push(st, self.key)
        push = sodium.crypto_secretstream_xchacha20poly1305_push
        return lambda m: push(st, m, None, TAG_MESSAGE)

    def seal_stream(self, messages):
        st = sodium.crypto_secretstream_xchacha20poly1305_state()
        header = sodium.crypto_secretstream_xchacha20poly1305_init_push(st, self.key)
        push = sodium.crypto_secretstream_xchacha20poly1305_push
        return header, [push(st, m, None, TAG_MESSAGE) for m in messages]

    def puller(self, header):
        st = sodium.crypto_secretstream_xchacha20poly1305_state()
        sodium.crypto_secretstream_xchacha20poly1305_init_pull(st, header, self.key)
        pull = sodium.crypto_secretstream_xchacha20poly1305_pull
        return lambda c: pull(st, c, None)


def time_push(impl, messages):
    push = impl.pusher()
    t = time.thread_time()
    for m in messages:
        push(m)
    return (time.thread_time() - t) / len(messages)


def time_pull(impl, header, chunks):
    pull = impl.puller(header)
    t = time.thread_time()
    for c in chunks:
        pull(c)
    return (time.thread_time() - t) / len(chunks)


def best_of_alternating(rounds, a, b):
    """Runs a() and b() alternately `rounds` times; the best time of each."""
    best_a = best_b = float("inf")
    for i in range(rounds):
        first, second = (a, b) if i % 2 == 0 else (b, a)
        r1, r2 = first(), second()
        ra, rb = (r1, r2) if i % 2 == 0 else (r2, r1)
        best_a, best_b = min(best_a, ra), min(best_b, rb)
    return best_a, best_b


def fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.3f} µs"
    return f"{seconds * 1e3:9.3f} ms"


def bench_sizes(rounds):
    key = os.urandom(32)
    ours, theirs = Ours(key), Theirs(key)
    rows = []
    for size, label, target in SIZES:
        n = chunks_per_round(size)
        messages = [os.urandom(size) for _ in range(min(n, 16))]
        messages = (messages * (n // len(messages) + 1))[:n]
        t_ours, t_theirs = best_of_alternating(
            rounds, lambda: time_push(ours, messages), lambda: time_push(theirs, messages)
        )
        rows.append(("push", label, t_ours, t_theirs, target, size))

        h_ours, c_ours = ours.seal_stream(messages)
        h_theirs, c_theirs = theirs.seal_stream(messages)
        t_ours, t_theirs = best_of_alternating(
            rounds,
            lambda: time_pull(ours, h_ours, c_ours),
            lambda: time_pull(theirs, h_theirs, c_theirs),
        )
        rows.append(("pull", label, t_ours, t_theirs, target, size))
    return rows


def bench_threads(rounds, chunks=24):
    """Best-round throughput of one thread and of two threads on two streams, and
    how many cores the two-thread round kept busy (process CPU time over wall
    time): above 1.0 only if the pushes really ran in parallel."""
    box = SecretBox.random(32)
    message = os.urandom(MiB)

    def worker(stream, n, barrier):
        barrier.wait()
        for _ in range(n):
            stream.push(message)

    def run(threads):
        streams = [SecretStreamPush(box) for _ in range(threads)]
        barrier = threading.Barrier(threads + 1)
        pool = [threading.Thread(target=worker, args=(s, chunks, barrier)) for s in streams]
        for t in pool:
            t.start()
        barrier.wait()
        t0, c0 = time.perf_counter(), time.process_time()
        for t in pool:
            t.join()
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        return threads * chunks * MiB / wall, cpu / wall

    one = two = cores = 0.0
    for _ in range(rounds):
        one = max(one, run(1)[0])
        rate, busy = run(2)
        if rate > two:
            two, cores = rate, busy
    return one, two, cores


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="alternating rounds per case")
    parser.add_argument("--quick", action="store_true", help="3 rounds, for a smoke run")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds

    print(f"secret stream: velmora vs PyNaCl {nacl.__version__}")
    print(f"{os.cpu_count()} CPUs, best of {rounds} alternating rounds\n")
    print(f"{'op':5} {'chunk':>7} {'velmora':>13} {'pynacl':>13} {'ours/theirs':>12} {'target':>7}  {'MB/s ours':>10}")
    rows = bench_sizes(rounds)
    for op, label, t_ours, t_theirs, target, size in rows:
        ratio = t_ours / t_theirs
        mark = "ok" if ratio <= target else "MISS"
        print(
            f"{op:5} {label:>7} {fmt_time(t_ours)} {fmt_time(t_theirs)} {ratio:12.2f} "
            f"{'≤' + format(target, '.1f'):>7}  {size / t_ours / 1e6:10.0f}  {mark}"
        )

    one, two, cores = bench_threads(max(3, rounds // 3))
    scale = two / one
    mark = "ok" if scale >= 1.7 else "MISS"
    print(
        f"\npush, 1 MiB chunks: 1 thread {one / 1e6:.0f} MB/s, 2 threads on 2 streams "
        f"{two / 1e6:.0f} MB/s -> {scale:.2f}x (target ≥1.7x)  {mark}"
    )
    print(f"two-thread round kept {cores:.2f} cores busy; load average {os.getloadavg()[0]:.1f}")
    if args.json:
        report = {
            "benchmark": "secretstream", "peer_version": nacl.__version__, "rounds": rounds,
            "rows": [{"operation": f"{op} {label}", "bytes": size, "ours_ns": t_ours * 1e9,
                      "theirs_ns": t_theirs * 1e9, "ratio": t_ours / t_theirs, "target": target}
                     for op, label, t_ours, t_theirs, target, size in rows],
            "threads": {"one_thread_bytes_per_s": one, "two_threads_bytes_per_s": two,
                        "scale": scale, "target": 1.7, "cores_busy": cores},
        }
        with open(args.json, "w", encoding="utf-8") as f:
            f.write(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
