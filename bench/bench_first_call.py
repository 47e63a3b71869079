"""What a first call costs: a new thread's first operation against its second
(the own stack comes from the pool, so a thread's first call should cost what
any call does), and a process's first operation against its second (the first
one makes and locks the pool's first stack).

    .venv/bin/python -P bench/bench_first_call.py

Prints one JSON object: median ns of each, over many threads and processes.
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import threading
import time

THREADS = 300
PROCESSES = 25

PROCESS_CODE = """
import time
from velmora._secure import SecretBox
key = SecretBox.from_bytes(bytearray(32))
t0 = time.perf_counter_ns(); key.hmac_sha512(b"m"); t1 = time.perf_counter_ns()
key.hmac_sha512(b"m"); t2 = time.perf_counter_ns()
print(t1 - t0, t2 - t1)
"""


def thread_figures():
    from velmora._secure import SecretBox

    key = SecretBox.random(32)
    key.hmac_sha512(b"warm")  # the pool has a stack
    firsts, seconds = [], []

    def one():
        t0 = time.perf_counter_ns()
        key.hmac_sha512(b"m")
        t1 = time.perf_counter_ns()
        key.hmac_sha512(b"m")
        t2 = time.perf_counter_ns()
        firsts.append(t1 - t0)
        seconds.append(t2 - t1)

    for _ in range(THREADS):
        t = threading.Thread(target=one)
        t.start()
        t.join()
    return statistics.median(firsts), statistics.median(seconds)


def process_figures():
    firsts, seconds = [], []
    for _ in range(PROCESSES):
        out = subprocess.run([sys.executable, "-P", "-c", PROCESS_CODE], capture_output=True,
                             text=True, check=True).stdout.split()
        firsts.append(int(out[0]))
        seconds.append(int(out[1]))
    return statistics.median(firsts), statistics.median(seconds)


def main():
    t_first, t_second = thread_figures()
    p_first, p_second = process_figures()
    print(json.dumps({
        "benchmark": "first_call",
        "operation": "hmac_sha512 of one byte",
        "thread_first_ns": t_first, "thread_second_ns": t_second,
        "thread_ratio": t_first / t_second,
        "process_first_ns": p_first, "process_second_ns": p_second,
        "process_ratio": p_first / p_second,
    }, indent=1))


if __name__ == "__main__":
    main()
