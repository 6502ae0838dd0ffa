"""M-PSK helpers: Gray-coded symbol maps, a pulse-shaping modulator, AWGN and theory.

The maps are the ones the receivers of :mod:`veltra.track` decide against: label
``q XOR (q >> 1)`` sits at angle ``2*pi*q/m``, QPSK turned by pi/4 onto the
diagonals, bits least significant first.

Examples
--------
>>> import numpy as np
>>> from veltra import mpsk
>>> np.round(mpsk.symbol_map(4), 3)
array([ 0.707+0.707j, -0.707+0.707j,  0.707-0.707j, -0.707-0.707j])
>>> mpsk.bits_to_symbols([0, 1, 1, 1], 4) == mpsk.symbol_map(4)[[2, 3]]
array([ True,  True])
>>> round(mpsk.ber_theory(6.0, 4), 5)
0.00239
"""

import math

import numpy as np

__all__ = ["symbol_map", "bits_to_symbols", "demap", "rrc_pulse", "shape", "modulate", "awgn", "ser_theory",
           "ber_theory"]


def _bits_per_symbol(m):
    if m not in (2, 4, 8):
        raise ValueError(f"m must be 2, 4 or 8, got {m!r}")
    return {2: 1, 4: 2, 8: 3}[m]


def symbol_map(m):
    """Constellation indexed by Gray label.

    Parameters
    ----------
    m : {2, 4, 8}
        Constellation order.

    Returns
    -------
    ndarray of complex128
        ``symbol_map(m)[label]`` is the unit-energy point of that label.

    Examples
    --------
    >>> from veltra.mpsk import symbol_map
    >>> symbol_map(2)
    array([ 1.+0.j, -1.+0.j])
    """
    _bits_per_symbol(m)
    q = np.arange(m)
    points = np.exp(1j * (2 * np.pi * q / m + (np.pi / 4 if m == 4 else 0.0)))
    points.real[np.abs(points.real) < 1e-12] = 0.0  # exact axes: -1, not -1 + 1.2e-16j
    points.imag[np.abs(points.imag) < 1e-12] = 0.0
    out = np.empty(m, complex)
    out[q ^ (q >> 1)] = points
    return out


def bits_to_symbols(bits, m):
    """Map bits (0/1, log2 m per symbol, least significant first) to symbols.

    Parameters
    ----------
    bits : array_like of int
        A whole number of symbols' worth of bits.
    m : {2, 4, 8}
        Constellation order.

    Returns
    -------
    ndarray of complex128

    Raises
    ------
    ValueError
        If the bit count is not a multiple of log2 m.

    Examples
    --------
    >>> from veltra.mpsk import bits_to_symbols
    >>> bits_to_symbols([1, 0], 2)
    array([-1.+0.j,  1.+0.j])
    """
    k = _bits_per_symbol(m)
    b = np.asarray(bits, dtype=np.int64).ravel()
    if b.size % k:
        raise ValueError(f"{b.size} bits do not make whole symbols of {k} bits")
    labels = (b.reshape(-1, k) << np.arange(k)).sum(axis=1)
    return symbol_map(m)[labels]


def demap(symbols, m):
    """Hard Gray decisions of receiver symbols: log2 m bits each, least significant first.

    Parameters
    ----------
    symbols : array_like of complex
        Symbols on the constellation of :func:`symbol_map`.
    m : {2, 4, 8}
        Constellation order.

    Returns
    -------
    ndarray of uint8

    Examples
    --------
    >>> from veltra.mpsk import bits_to_symbols, demap
    >>> demap(bits_to_symbols([1, 1, 0, 1, 0, 0], 8), 8)
    array([1, 1, 0, 1, 0, 0], dtype=uint8)
    """
    k = _bits_per_symbol(m)
    turn = np.pi / 4 if m == 4 else 0.0
    angle = np.angle(np.asarray(symbols, dtype=np.complex128).ravel())
    q = np.round(m / (2 * np.pi) * (angle - turn)).astype(np.int64) & (m - 1)
    label = q ^ (q >> 1)
    return ((label[:, None] >> np.arange(k)) & 1).astype(np.uint8).ravel()


def rrc_pulse(t, beta):
    """Root-raised-cosine pulse at t symbols (closed form; the filter module's pulse).

    Parameters
    ----------
    t : array_like of float
        Time in symbols.
    beta : float
        Roll-off in [0, 1].

    Returns
    -------
    ndarray of float64
        Unnormalised: ``1 + beta*(4/pi - 1)`` at t = 0.

    Examples
    --------
    >>> from veltra.mpsk import rrc_pulse
    >>> float(rrc_pulse(0.0, 0.0)), abs(float(rrc_pulse(1.0, 0.0))) < 1e-15
    (1.0, True)
    """
    shape = np.shape(t)
    t = np.atleast_1d(np.asarray(t, float))
    out = np.empty_like(t)
    zero = np.abs(t) < 1e-9
    sing = (np.abs(np.abs(t) - 1 / (4 * beta)) < 1e-9) if beta > 0 else np.zeros_like(zero)
    g = ~(zero | sing)
    tg = t[g]
    out[g] = (np.sin(np.pi * tg * (1 - beta)) + 4 * beta * tg * np.cos(np.pi * tg * (1 + beta))) / (
        np.pi * tg * (1 - (4 * beta * tg) ** 2))
    out[zero] = 1 + beta * (4 / np.pi - 1)
    if beta > 0:
        out[sing] = beta / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * beta))
                                         + (1 - 2 / np.pi) * np.cos(np.pi / (4 * beta)))
    return out.reshape(shape)


def shape(symbols, sps, beta=0.35, span=8, pulse="rrc", num_samples=None):
    """Pulse-shaped samples of a symbol stream at any real samples-per-symbol.

    Sample n is ``sum_k s[k] * p(n/sps - k)``, the pulse evaluated in closed form at
    each sample, so a non-integer `sps` (a clock offset) needs no resampler.

    Parameters
    ----------
    symbols : array_like of complex
        Symbols.
    sps : float
        Samples per symbol (> 0).
    beta : float, optional
        RRC roll-off. Default 0.35.
    span : int, optional
        One-sided RRC span in symbols. Default 8.
    pulse : {"rrc", "iandd"}, optional
        Root-raised cosine, or the one-symbol rectangle. Default "rrc".
    num_samples : int, optional
        Samples to make; default ``floor(len(symbols) * sps)``.

    Returns
    -------
    ndarray of complex64
        `num_samples` samples; with "rrc" each symbol has unit energy per symbol period.

    Examples
    --------
    >>> from veltra.mpsk import shape
    >>> shape([1, 1j], 2, pulse="iandd")
    array([1.+0.j, 1.+0.j, 0.+1.j, 0.+1.j], dtype=complex64)
    """
    if not (sps > 0 and math.isfinite(sps)):
        raise ValueError(f"sps must be positive and finite, got {sps!r}")
    if pulse not in ("rrc", "iandd"):
        raise ValueError(f"pulse must be one of \"iandd\", \"rrc\", got '{pulse}'")
    sym = np.asarray(symbols, dtype=complex).ravel()
    t = np.arange(int(len(sym) * sps) if num_samples is None else num_samples) / sps
    if pulse == "iandd":
        return sym[np.minimum(np.floor(t).astype(np.int64), len(sym) - 1)].astype(np.complex64)
    k0 = np.floor(t).astype(np.int64)
    x = np.zeros(t.size, complex)
    for j in range(-span, span + 1):
        k = k0 + j
        ok = (k >= 0) & (k < len(sym))
        x[ok] += sym[k[ok]] * rrc_pulse(t[ok] - k[ok], beta)
    return x.astype(np.complex64)


def modulate(bits, m, sps, beta=0.35, span=8, pulse="rrc"):
    """Pulse-shaped M-PSK samples of a bit stream: :func:`bits_to_symbols`, then :func:`shape`.

    Parameters
    ----------
    bits : array_like of int
        Bits, log2 m per symbol, least significant first.
    m : {2, 4, 8}
        Constellation order.
    sps, beta, span, pulse
        As for :func:`shape`.

    Returns
    -------
    ndarray of complex64

    Examples
    --------
    >>> from veltra.mpsk import modulate
    >>> modulate([0, 0, 1, 1], 4, sps=8).shape
    (16,)
    >>> modulate([1, 0], 2, sps=2, pulse="iandd")
    array([-1.+0.j, -1.+0.j,  1.+0.j,  1.+0.j], dtype=complex64)
    """
    return shape(bits_to_symbols(bits, m), sps, beta, span, pulse)


def awgn(x, esn0_db, sps, rng=None):
    """Add complex white Gaussian noise at a symbol energy to noise density ratio.

    Es is measured from `x` as its mean power times `sps`; the noise has N0 per complex
    sample.

    Parameters
    ----------
    x : array_like of complex
        Clean samples.
    esn0_db : float
        Es/N0 in dB.
    sps : float
        Samples per symbol of `x`.
    rng : numpy.random.Generator, optional
        Source of the noise.

    Returns
    -------
    ndarray of complex64

    Examples
    --------
    >>> import numpy as np
    >>> from veltra.mpsk import awgn
    >>> y = awgn(np.ones(100000), 10.0, sps=1, rng=np.random.default_rng(0))
    >>> round(float(np.var(y)), 2)
    0.1
    """
    rng = np.random.default_rng() if rng is None else rng
    x = np.asarray(x)
    n0 = np.mean(np.abs(x) ** 2) * sps / 10 ** (esn0_db / 10)
    noise = rng.normal(size=x.shape) + 1j * rng.normal(size=x.shape)
    return (x + np.sqrt(n0 / 2) * noise).astype(np.complex64)


def _q(x):
    return 0.5 * math.erfc(x / math.sqrt(2))


def ser_theory(esn0_db, m):
    """Symbol error rate of coherent Gray M-PSK in AWGN.

    Exact for m = 2 and 4, the nearest-neighbour bound 2*Q(sqrt(2 Es/N0) sin(pi/m)) for 8.

    Examples
    --------
    >>> from veltra.mpsk import ser_theory
    >>> f"{ser_theory(10.0, 2):.3g}"
    '3.87e-06'
    """
    _bits_per_symbol(m)
    es = 10 ** (esn0_db / 10)
    if m == 2:
        return _q(math.sqrt(2 * es))
    if m == 4:
        p = _q(math.sqrt(es))
        return 2 * p - p * p
    return min(1.0, 2 * _q(math.sqrt(2 * es) * math.sin(math.pi / m)))


def ber_theory(ebn0_db, m):
    """Bit error rate of coherent Gray M-PSK in AWGN at Eb/N0 (dB).

    Q(sqrt(2 Eb/N0)) for m = 2 and 4; SER/3 (Gray, nearest neighbours) for 8.

    Examples
    --------
    >>> from veltra.mpsk import ber_theory
    >>> round(ber_theory(9.6, 2), 6)
    1e-05
    """
    k = _bits_per_symbol(m)
    if m in (2, 4):
        return _q(math.sqrt(2 * 10 ** (ebn0_db / 10)))
    return ser_theory(ebn0_db + 10 * math.log10(k), m) / k
