"""Telemetry from a running loop
=============================

Watch a tracking loop from another thread, and stop it cleanly with Ctrl-C.

A worker thread tracks a noisy phase ramp with a second-order loop, block by block, and
publishes its phase error (every sample) and frequency estimate (every 50th sample) to a
telemetry context. The main thread drains the records while the worker runs and reports
how the loop settles. An Interrupt guard turns Ctrl-C into a stop request that the worker
sees between blocks.
"""

import threading

import numpy as np

from veltra.interrupt import Interrupt
from veltra.telemetry import Telemetry
from veltra.track import LoopFilter

FREQ = 0.013  # cycles/sample of the tracked ramp


def track(tlm, guard, n_blocks=40, block=500, seed=1):
    """Producer: run the loop and emit its variables, stamped with the sample index."""
    e_id, f_id = tlm.probe("loop.e"), tlm.probe("loop.freq", decim=50)
    lf, est = LoopFilter(bn=0.02), 0.0
    rng = np.random.default_rng(seed)
    for b in range(n_blocks):
        if guard.interrupted:
            break
        k = np.arange(b * block, (b + 1) * block)
        measured = 2 * np.pi * FREQ * k + 1.0 + rng.normal(scale=0.05, size=block)
        for i, m in enumerate(measured):
            e = (m - est + np.pi) % (2 * np.pi) - np.pi
            est += lf.step(e)
            tlm.stamp = int(k[i])
            tlm.emit(e_id, e)
            tlm.emit(f_id, lf.integ / (2 * np.pi))


def main():
    parts = {"loop.e": [], "loop.freq": []}
    with Telemetry() as tlm, Interrupt() as guard:
        worker = threading.Thread(target=track, args=(tlm, guard))
        worker.start()
        while worker.is_alive() or tlm.available:
            for name, (stamps, values) in tlm.read_by_probe(with_stamps=True).items():
                parts[name].append((stamps, values))
            worker.join(0.005)
        dropped = tlm.dropped
    (es, e), (fs, f) = [tuple(map(np.concatenate, zip(*parts[n]))) for n in parts]
    unsettled = np.flatnonzero(np.abs(e) >= 0.2)
    print(f"{len(e)} error records, {len(f)} frequency records, {dropped} dropped")
    print(f"settled after sample {es[unsettled[-1]] + 1 if unsettled.size else 0}")
    print(f"frequency at sample {fs[-1]}: {f[-1]:.5f} cycles/sample (true {FREQ})")
    return es, e, fs, f


if __name__ == "__main__":
    main()
