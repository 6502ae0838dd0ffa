"""Test signals for the timing loops: pulse-shaped symbol streams at any real rate."""

import numpy as np


def rrc(t, beta):
    """Root-raised-cosine pulse at t symbols (closed form, unnormalised)."""
    t = np.asarray(t, float)
    out = np.empty_like(t)
    a = np.abs(t)
    at0 = a < 1e-9
    sing = np.abs(a - 1 / (4 * beta)) < 1e-9 if beta > 0 else np.zeros_like(at0)
    g = ~(at0 | sing)
    tg = t[g]
    out[g] = (np.sin(np.pi * tg * (1 - beta)) + 4 * beta * tg * np.cos(np.pi * tg * (1 + beta))) / (
        np.pi * tg * (1 - (4 * beta * tg) ** 2))
    out[at0] = 1 + beta * (4 / np.pi - 1)
    out[sing] = beta / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * beta))
                                     + (1 - 2 / np.pi) * np.cos(np.pi / (4 * beta)))
    return out


def rrc_shaped(sym, sps, beta=0.35, span=8):
    """sum_k sym[k] * rrc(n/sps - k), evaluated at every sample n (sps any real)."""
    t = np.arange(int(len(sym) * sps)) / sps
    k0 = np.floor(t).astype(int)
    x = np.zeros(t.size, complex)
    for j in range(-span, span + 1):
        k = k0 + j
        ok = (k >= 0) & (k < len(sym))
        x[ok] += sym[k[ok]] * rrc(t[ok] - k[ok], beta)
    return x


def qpsk(n, seed):
    rng = np.random.default_rng(seed)
    return (rng.choice([-1, 1], n) + 1j * rng.choice([-1, 1], n)) / np.sqrt(2)


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
