"""Detection statistics against scipy.stats: per scalar call and per element of an array.

Prints ``name: ours X, peer Y, ratio Z`` (ratio = peer time / our time; above 1 means we
are faster). Median of several repeats; run by hand or with ``make bench``.
"""

import timeit

import numpy as np
from scipy import stats

from veltra import detection as det


def per_call(fn, calls, repeats=7):
    """Median seconds per call of fn() over `calls` calls."""
    times = timeit.repeat(fn, number=calls, repeat=repeats)
    return float(np.median(times)) / calls


def report(name, ours, peer, unit="us/call"):
    print(f"{name}: ours {ours * 1e6:.3f} {unit}, peer {peer * 1e6:.3f} {unit}, "
          f"ratio {peer / ours:.1f}")


def main():
    print("scalar calls (Python float in, float out)")
    for M, a, b in [(1, 2.0, 3.0), (4, 10.0, 12.0), (16, 40.0, 41.0)]:
        ours = per_call(lambda: det.marcum_q(M, a, b), 2000)
        peer = per_call(lambda: stats.ncx2.sf(b * b, 2 * M, a * a), 200)
        report(f"marcum_q({M}, {a}, {b}) vs ncx2.sf", ours, peer)
    for pfa, L in [(1e-3, 4), (1e-6, 16), (1e-6, 100)]:
        ours = per_call(lambda: det.det_threshold_noncoherent(pfa, L), 200)
        peer_ncx2 = per_call(lambda: stats.ncx2.sf(9.0, 2 * L, 4.0), 200)
        report(f"det_threshold_noncoherent({pfa}, {L}) vs one ncx2.sf", ours, peer_ncx2)
        peer = per_call(lambda: np.sqrt(stats.chi2.isf(pfa, 2 * L)), 200)
        report(f"det_threshold_noncoherent({pfa}, {L}) vs sqrt(chi2.isf)", ours, peer)

    print("arrays (per element)")
    rng = np.random.default_rng(0)
    n = 20000
    M, a, b = rng.integers(1, 17, n), rng.uniform(0, 40, n), rng.uniform(0, 40, n)
    ours = per_call(lambda: det.marcum_q(M, a, b), 1, 5) / n
    peer = per_call(lambda: stats.ncx2.sf(b * b, 2 * M, a * a), 1, 5) / n
    report(f"marcum_q over {n} random points vs ncx2.sf", ours, peer, "us/elem")
    p = rng.uniform(1e-9, 0.5, n)
    ours = per_call(lambda: det.det_q_inv(p), 1, 5) / n
    peer = per_call(lambda: stats.norm.isf(p), 1, 5) / n
    report(f"det_q_inv over {n} points vs norm.isf", ours, peer, "us/elem")


if __name__ == "__main__":
    main()
