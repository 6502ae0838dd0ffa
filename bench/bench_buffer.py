"""Stream buffer throughput across two threads.

A producer thread writes 4096-sample complex64 blocks into ``veltra.buffer.F32Buffer``
and a consumer thread waits for and releases them; the peer is the plain Python
way, ``queue.Queue`` of block copies. Prints ``name: ours X, peer Y, ratio Z`` with
throughput in GB/s (ratio > 1 means ours is faster); the aim is >= 5 GB/s.
"""

import queue
import threading
import time

import numpy as np

from veltra.buffer import F32Buffer

BLOCK = 4096
BLOCKS = 100_000


def ours():
    b = F32Buffer(16 * BLOCK)
    x = np.ones(BLOCK, np.complex64)

    def produce():
        for _ in range(BLOCKS):
            while not b.write(x):
                time.sleep(0)  # full: let the consumer have the interpreter lock
        b.close()

    t = threading.Thread(target=produce)
    t0 = time.perf_counter()
    t.start()
    total = 0
    try:
        while True:
            v = b.wait(BLOCK)
            total += v.shape[0]
            b.consume()
    except EOFError:
        pass
    t.join()
    return total * 8 / (time.perf_counter() - t0) / 1e9


def peer():
    q = queue.Queue(16)
    x = np.ones(BLOCK, np.complex64)
    n = BLOCKS // 10

    def produce():
        for _ in range(n):
            q.put(x.copy())
        q.put(None)

    t = threading.Thread(target=produce)
    t0 = time.perf_counter()
    t.start()
    total = 0
    while (v := q.get()) is not None:
        total += v.shape[0]
    t.join()
    return total * 8 / (time.perf_counter() - t0) / 1e9


def main():
    a, p = ours(), peer()
    print(f"# {BLOCK}-sample complex64 blocks between two threads")
    print(f"F32Buffer throughput: ours {a:.2f} GB/s, queue.Queue {p:.2f} GB/s, ratio {a / p:.2f}")


if __name__ == "__main__":
    main()
