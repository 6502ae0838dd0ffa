"""Test signals for the timing loops: pulse-shaped symbol streams at any real rate."""

import functools

import numpy as np

from veltra.mpsk import shape


def rrc_shaped(sym, sps, beta=0.35, span=8):
    return shape(sym, sps, beta, span)


def qpsk(n, seed):
    rng = np.random.default_rng(seed)
    return (rng.choice([-1, 1], n) + 1j * rng.choice([-1, 1], n)) / np.sqrt(2)


@functools.lru_cache(maxsize=None)
def clocked_qpsk(ppm, n=30000, sps=8.0):
    """Clean RRC QPSK at exactly sps*(1 + ppm*1e-6) samples per symbol (each sample is the
    pulse evaluated in closed form). Cached and shared between tests: do not modify."""
    return rrc_shaped(qpsk(n, seed=11), sps * (1 + ppm * 1e-6), span=4).astype(np.complex64)


def symbol_errors(y, sym, start, count, max_lag=120, rotations=4):
    """QPSK quadrant errors of y[start:start+count] against the transmitted symbols, at the
    lag where they correlate best and the best of the receiver's ambiguous rotations."""
    a = y[start:start + count]
    lags = [k for k in range(-max_lag, max_lag + 1) if 0 <= start + k and start + k + count <= len(sym)]
    lag = max(lags, key=lambda k: abs(np.vdot(sym[start + k:start + k + count], a)))
    b = sym[start + lag:start + lag + count]
    errs = []
    for r in range(rotations):
        ar = a * np.exp(2j * np.pi * r / rotations)
        errs.append(int(np.sum((np.sign(ar.real) != np.sign(b.real)) | (np.sign(ar.imag) != np.sign(b.imag)))))
    return min(errs)
