"""Telemetry: cost of the emission step and drain throughput.

Emission runs the native emission loop (``Telemetry.emit`` over an array, one request
per value). The peer builds the same records with vectorised NumPy field assignments,
the cheapest way to produce them without the ring. Draining (``Telemetry.read``) is
compared with a NumPy copy of an equally large record array.
"""

import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time, report  # noqa: E402

from veltra.telemetry import RECORD_DTYPE, Telemetry  # noqa: E402


def timed(setup, fn, repeats=7):
    """Median time of fn(), with setup() run untimed before each repeat."""
    times = []
    for _ in range(repeats + 1):
        setup()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times[1:])


def numpy_records(values, probe):
    rec = np.empty(len(values), RECORD_DTYPE)
    rec["stamp"] = 0
    rec["value"] = values
    rec["probe"] = probe
    return rec


def main():
    n = 4_000_000
    values = np.random.default_rng(0).normal(size=n).astype(np.float32)
    tlm = Telemetry(n)
    p = tlm.probe("bench.x")

    ours = timed(lambda: tlm.read(), lambda: tlm.emit(p, values))
    peer = median_time(lambda: numpy_records(values, p), repeats=7)
    report("emit per record (4e6, ring not full)", ours / n, peer / n,
           peer_name="numpy record build")

    tlm.read()
    tlm.emit(p, values)  # full from here on: every request is a drop
    dropped = median_time(lambda: tlm.emit(p, values), repeats=7)
    print(f"emit per request on a full ring (drop path): {dropped / n * 1e9:.2f} ns")

    tlm.resize(n + 1)  # fresh, empty
    q = tlm.probe("bench.y", decim=8)
    thinned = timed(lambda: tlm.read(), lambda: tlm.emit(q, values))
    print(f"emit per request at decim 8: {thinned / n * 1e9:.2f} ns")

    for size in (1_000, 100_000, n):
        part = values[:size]
        ours = timed(lambda: (tlm.read(), tlm.emit(p, part)), lambda: tlm.read())
        recs = numpy_records(part, p)
        peer = median_time(lambda: recs.copy(), repeats=7)
        report(f"read {size} records", ours, peer, unit="us", scale=1e6, peer_name="numpy copy")
        print(f"  drain throughput: {size / ours / 1e6:.0f} M records/s")


if __name__ == "__main__":
    main()
