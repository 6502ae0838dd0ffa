"""BER meter scoring throughput against the NumPy re-decision a user would write.

Prints ``name: ours X, numpy Y, ratio Z`` (ratio = NumPy time / our time; above 1 means
we are faster) and the scoring rate in Msymbols/s, for 10^7 noisy symbols of each order.
Median of several repeats; run by hand or with ``make bench``.
"""

import numpy as np

from common import median_time, report
from veltra.ber import BerMeter

N = 10_000_000
THETA0 = {2: 0.0, 4: np.pi / 4, 8: 0.0}


def numpy_score(rx, truth, m, phase):
    """Symbol and Gray bit errors of rx against truth (already aligned) in NumPy."""
    v = (np.angle(rx) - (THETA0[m] + phase)) * (m / (2 * np.pi))
    d = (np.sign(v) * np.floor(np.abs(v) + 0.5)).astype(np.int64) % m
    x = (d ^ (d >> 1)) ^ (truth ^ (truth >> 1))
    return int((d != truth).sum()), int(np.unpackbits(x.astype(np.uint8)).sum())


def main():
    rng = np.random.default_rng(0)
    for m in (2, 4, 8):
        truth = rng.integers(0, m, N).astype(np.uint8)
        noise = 0.25 * (rng.normal(size=N) + 1j * rng.normal(size=N))
        rx = (np.exp(1j * (2 * np.pi * truth / m + THETA0[m] + 0.3)) + noise).astype(np.complex64)
        bm = BerMeter(m=m)
        bm.set_truth(truth)
        assert bm.align(rx, t0=1000)

        def ours():
            bm.reset()
            bm.score(rx, hi=N)

        t_ours = median_time(ours, repeats=5)
        t_np = median_time(lambda: numpy_score(rx, truth.astype(np.int64), m, bm.phase), repeats=3)
        report(f"score m={m}, 1e7 symbols", t_ours, t_np, unit="ms", scale=1e3, peer_name="numpy")
        print(f"  scoring rate: {N / t_ours / 1e6:.0f} Msymbols/s")


if __name__ == "__main__":
    main()
