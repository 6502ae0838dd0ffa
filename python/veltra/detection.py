"""Detection statistics: size detectors from target probabilities.

CFAR thresholds for envelope, power, non-coherent and F-ratio statistics, detection
probabilities through the generalised Marcum Q function, the number of samples or looks
needed for a target detection probability, Gaussian sizing rules, the smoothing factor of
a noise reference and the verify counts of consecutive-pass lock detectors. These are the
functions the acquisition, tracking and BER objects use to configure themselves, under
their native names and argument order.

Conventions
-----------
- Envelope statistics are normalised to the noise standard deviation per real dimension:
  under noise alone ``P(R > eta) = exp(-eta**2 / 2)``.
- Power statistics are normalised to the noise power: under noise alone
  ``P(P > eta) = exp(-eta)``.
- ``snr`` is an amplitude SNR per sample for the envelope functions and a power SNR per
  sample for the ``_power`` functions.
- ``Q^-1`` is the inverse of the Gaussian tail ``Q(x) = erfc(x / sqrt(2)) / 2``.

Every function takes scalars or array_likes: array arguments broadcast together and give
an array (float64, or int64 for counts); scalars give a Python float or int. Counts must
fit a 32-bit signed int (``OverflowError`` otherwise) and must be integers (``TypeError``
for floats). Inputs outside a function's domain give its fixed value (``-1`` counts,
``0`` or ``inf`` thresholds, ``inf`` delays) or NaN, never an exception, and every call
runs a bounded amount of work.

Examples
--------
>>> from veltra import detection
>>> eta = detection.det_threshold(1e-6)          # envelope threshold for pfa = 1e-6
>>> round(detection.det_pd(10, 1.0, eta), 4)     # 10 samples at amplitude SNR 1
0.248
>>> detection.det_dwell(1000, 0.5, 0.9, 1e-6)    # samples needed for pd = 0.9
84
"""

from __future__ import annotations

from typing import Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _detection as _d

__all__ = [
    "marcum_q",
    "det_threshold",
    "det_pd",
    "det_dwell",
    "det_snr",
    "det_threshold_noncoherent",
    "det_pd_noncoherent",
    "det_n_noncoh",
    "det_threshold_power",
    "det_pd_power",
    "det_dwell_power",
    "det_snr_power",
    "det_threshold_f",
    "det_q_inv",
    "det_dwell_gauss",
    "det_threshold_gauss",
    "det_ema_alpha",
    "det_verify_count",
    "det_verify_delay",
]

Real = Union[float, NDArray[np.float64]]
Count = Union[int, NDArray[np.int64]]


def marcum_q(M: ArrayLike, a: ArrayLike, b: ArrayLike) -> Real:
    """Generalised Marcum Q function ``Q_M(a, b)``.

    The probability that the envelope of a signal of amplitude `a` in `M` complex looks
    of unit-variance noise exceeds `b`; equal to ``scipy.stats.ncx2.sf(b**2, 2*M, a**2)``.

    Parameters
    ----------
    M : int or array_like of int
        Order (number of looks), ``>= 1``.
    a : float or array_like
        Signal amplitude; only ``a**2`` matters.
    b : float or array_like
        Threshold on the envelope.

    Returns
    -------
    float or ndarray of float64
        ``Q_M(a, b)``: 1 for ``b <= 0``; NaN for ``M < 1`` or a NaN argument.

    Notes
    -----
    A Poisson-weighted sum of regularised incomplete gamma functions outward from the
    mode of the weights (every term up to ``a ~ 1414``, every h-th term of the smooth sum
    beyond), with Temme's uniform expansion for orders from 1000: absolute error below
    1e-11 for any ``a`` and ``M`` up to 1e7. Results are clamped to ``[0, 1]``.

    Examples
    --------
    >>> import numpy as np
    >>> from veltra.detection import marcum_q
    >>> round(marcum_q(1, 0.0, 2.0), 6)            # Rayleigh tail exp(-b**2/2)
    0.135335
    >>> np.round(marcum_q(1, 2.0, [1.0, 2.0, 3.0]), 4)
    array([0.9181, 0.6035, 0.2144])
    """
    return _d.marcum_q(M, a, b)


def det_threshold(pfa: ArrayLike) -> Real:
    """Envelope CFAR threshold ``eta = sqrt(-2 ln pfa)``.

    Parameters
    ----------
    pfa : float or array_like
        False-alarm probability in ``[0, 1]``.

    Returns
    -------
    float or ndarray of float64
        ``eta`` with ``P(R > eta) = pfa`` for a Rayleigh envelope; ``inf`` for
        ``pfa = 0``; NaN outside ``[0, 1]``.

    Examples
    --------
    >>> from veltra.detection import det_threshold
    >>> round(det_threshold(1e-3), 4)
    3.7169
    """
    return _d.det_threshold(pfa)


def det_pd(n: ArrayLike, snr: ArrayLike, eta: ArrayLike) -> Real:
    """Detection probability of an envelope detector after `n` coherent samples.

    Parameters
    ----------
    n : int or array_like of int
        Samples integrated coherently.
    snr : float or array_like
        Amplitude SNR per sample.
    eta : float or array_like
        Envelope threshold, for instance ``det_threshold(pfa)``.

    Returns
    -------
    float or ndarray of float64
        ``marcum_q(1, sqrt(2*n)*snr, eta)``; NaN for ``n < 0``.

    Examples
    --------
    >>> from veltra.detection import det_pd, det_threshold
    >>> round(det_pd(10, 1.0, det_threshold(1e-6)), 4)
    0.248
    >>> round(det_pd(1, 0.0, det_threshold(1e-3)), 6)   # no signal: pd = pfa
    0.001
    """
    return _d.det_pd(n, snr, eta)


def det_dwell(max_n: ArrayLike, snr: ArrayLike, pd: ArrayLike, pfa: ArrayLike) -> Count:
    """Smallest number of coherent samples reaching a detection probability.

    Parameters
    ----------
    max_n : int or array_like of int
        Largest count considered.
    snr : float or array_like
        Amplitude SNR per sample.
    pd : float or array_like
        Target detection probability.
    pfa : float or array_like
        False-alarm probability setting the threshold ``det_threshold(pfa)``.

    Returns
    -------
    int or ndarray of int64
        Smallest ``n`` in ``1..max_n`` with ``det_pd(n, snr, det_threshold(pfa)) >= pd``;
        -1 if none (or ``max_n < 1``).

    Examples
    --------
    >>> from veltra.detection import det_dwell
    >>> det_dwell(1000, 0.5, 0.9, 1e-6)
    84
    >>> det_dwell(10, 0.1, 0.9, 1e-6)
    -1
    """
    return _d.det_dwell(max_n, snr, pd, pfa)


def det_snr(n: ArrayLike, pd: ArrayLike, pfa: ArrayLike) -> Real:
    """Amplitude SNR per sample at which `n` coherent samples reach `pd`.

    Parameters
    ----------
    n : int or array_like of int
        Samples integrated coherently, ``>= 1``.
    pd : float or array_like
        Target detection probability.
    pfa : float or array_like
        False-alarm probability.

    Returns
    -------
    float or ndarray of float64
        The SNR, found by doubling then 64 bisection steps; ``inf`` when the target is
        unreachable (``pd >= 1``, or ``pfa = 0`` with ``pd > 0``); NaN for ``n < 1``,
        ``pfa`` outside ``[0, 1]`` or a NaN argument.

    Examples
    --------
    >>> from veltra.detection import det_snr, det_pd, det_threshold
    >>> snr = det_snr(10, 0.9, 1e-6)
    >>> round(snr, 4)
    1.4427
    >>> round(det_pd(10, snr, det_threshold(1e-6)), 6)
    0.9
    """
    return _d.det_snr(n, pd, pfa)


def det_threshold_noncoherent(pfa: ArrayLike, n_looks: ArrayLike) -> Real:
    """CFAR threshold of an envelope summed non-coherently over `n_looks` looks.

    Parameters
    ----------
    pfa : float or array_like
        False-alarm probability.
    n_looks : int or array_like of int
        Looks summed.

    Returns
    -------
    float or ndarray of float64
        ``eta`` with ``marcum_q(n_looks, 0, eta) = pfa`` (bisection, 100 steps);
        ``det_threshold(pfa)`` for ``n_looks < 2``; ``inf`` for ``pfa = 0``, 0 for
        ``pfa = 1``, NaN outside ``[0, 1]``.

    Examples
    --------
    >>> from veltra.detection import det_threshold_noncoherent, marcum_q
    >>> eta = det_threshold_noncoherent(1e-6, 4)
    >>> round(eta, 4)
    6.5346
    >>> round(marcum_q(4, 0.0, eta) * 1e6, 6)
    1.0
    """
    return _d.det_threshold_noncoherent(pfa, n_looks)


def det_pd_noncoherent(N: ArrayLike, L: ArrayLike, snr: ArrayLike, eta: ArrayLike) -> Real:
    """Detection probability of `L` non-coherent looks of `N` coherent samples each.

    Parameters
    ----------
    N : int or array_like of int
        Samples per look.
    L : int or array_like of int
        Looks, ``>= 1``.
    snr : float or array_like
        Amplitude SNR per sample.
    eta : float or array_like
        Threshold, for instance ``det_threshold_noncoherent(pfa, L)``.

    Returns
    -------
    float or ndarray of float64
        ``marcum_q(L, sqrt(2*L*N)*snr, eta)``.

    Examples
    --------
    >>> from veltra.detection import det_pd_noncoherent, det_threshold_noncoherent
    >>> round(det_pd_noncoherent(64, 4, 0.2, det_threshold_noncoherent(1e-6, 4)), 4)
    0.0858
    """
    return _d.det_pd_noncoherent(N, L, snr, eta)


def det_n_noncoh(
    N: ArrayLike, max_looks: ArrayLike, snr: ArrayLike, pd: ArrayLike, pfa: ArrayLike
) -> Count:
    """Smallest number of non-coherent looks reaching a detection probability.

    Parameters
    ----------
    N : int or array_like of int
        Samples per look.
    max_looks : int or array_like of int
        Largest number of looks considered.
    snr : float or array_like
        Amplitude SNR per sample.
    pd : float or array_like
        Target detection probability.
    pfa : float or array_like
        False-alarm probability; each ``L`` uses ``det_threshold_noncoherent(pfa, L)``.

    Returns
    -------
    int or ndarray of int64
        Smallest ``L`` in ``1..max_looks`` meeting `pd`; -1 if even `max_looks` falls
        short.

    Examples
    --------
    >>> from veltra.detection import det_n_noncoh
    >>> det_n_noncoh(64, 100, 0.2, 0.9, 1e-6)
    15
    >>> det_n_noncoh(64, 2, 0.01, 0.9, 1e-6)
    -1
    """
    return _d.det_n_noncoh(N, max_looks, snr, pd, pfa)


def det_threshold_power(pfa: ArrayLike) -> Real:
    """Power (square-law) CFAR threshold ``-ln pfa``.

    Parameters
    ----------
    pfa : float or array_like
        False-alarm probability.

    Returns
    -------
    float or ndarray of float64
        ``eta`` with ``P(P > eta) = pfa`` for exponential noise power.

    Examples
    --------
    >>> from veltra.detection import det_threshold_power
    >>> round(det_threshold_power(1e-3), 4)
    6.9078
    """
    return _d.det_threshold_power(pfa)


def det_pd_power(n: ArrayLike, snr: ArrayLike, eta: ArrayLike) -> Real:
    """Detection probability of a power detector after `n` coherent samples.

    Parameters
    ----------
    n : int or array_like of int
        Samples integrated coherently.
    snr : float or array_like
        Power SNR per sample.
    eta : float or array_like
        Power threshold, for instance ``det_threshold_power(pfa)``.

    Returns
    -------
    float or ndarray of float64
        ``marcum_q(1, sqrt(2*n*snr), sqrt(2*eta))``.

    Examples
    --------
    >>> from veltra.detection import det_pd_power, det_threshold_power
    >>> round(det_pd_power(10, 1.0, det_threshold_power(1e-6)), 4)
    0.248
    """
    return _d.det_pd_power(n, snr, eta)


def det_dwell_power(max_n: ArrayLike, snr: ArrayLike, pd: ArrayLike, pfa: ArrayLike) -> Count:
    """Smallest number of coherent samples reaching `pd` with a power detector.

    Parameters
    ----------
    max_n : int or array_like of int
        Largest count considered.
    snr : float or array_like
        Power SNR per sample.
    pd : float or array_like
        Target detection probability.
    pfa : float or array_like
        False-alarm probability setting ``det_threshold_power(pfa)``.

    Returns
    -------
    int or ndarray of int64
        Smallest ``n`` in ``1..max_n`` with ``det_pd_power(n, snr, eta) >= pd``; -1 if none.

    Examples
    --------
    >>> from veltra.detection import det_dwell_power
    >>> det_dwell_power(1000, 0.25, 0.9, 1e-6)
    84
    """
    return _d.det_dwell_power(max_n, snr, pd, pfa)


def det_snr_power(n: ArrayLike, pd: ArrayLike, pfa: ArrayLike) -> Real:
    """Power SNR per sample at which `n` coherent samples reach `pd`.

    Parameters
    ----------
    n : int or array_like of int
        Samples integrated coherently.
    pd : float or array_like
        Target detection probability.
    pfa : float or array_like
        False-alarm probability.

    Returns
    -------
    float or ndarray of float64
        ``det_snr(n, pd, pfa)**2``.

    Examples
    --------
    >>> from veltra.detection import det_snr_power
    >>> round(det_snr_power(10, 0.9, 1e-6), 4)
    2.0814
    """
    return _d.det_snr_power(n, pd, pfa)


def det_threshold_f(n: ArrayLike, pfa: ArrayLike) -> Real:
    """CFAR threshold of an F(n, n) ratio statistic.

    Parameters
    ----------
    n : int or array_like of int
        Degrees of freedom of numerator and denominator, ``>= 1``.
    pfa : float or array_like
        False-alarm probability.

    Returns
    -------
    float or ndarray of float64
        ``t`` with ``P(F > t) = pfa`` (``scipy.stats.f.isf(pfa, n, n)``); 0 when `pfa` is
        not in ``(0, 1)`` or ``n < 1``.

    Examples
    --------
    >>> from veltra.detection import det_threshold_f
    >>> round(det_threshold_f(10, 0.01), 4)
    4.8491
    >>> round(det_threshold_f(10, 0.5), 12)            # the median of F(n, n)
    1.0
    """
    return _d.det_threshold_f(n, pfa)


def det_q_inv(p: ArrayLike) -> Real:
    """Inverse Gaussian tail ``Q^-1(p)`` (``scipy.stats.norm.isf``).

    Parameters
    ----------
    p : float or array_like
        Tail probability.

    Returns
    -------
    float or ndarray of float64
        ``x`` with ``Q(x) = p``; 0 when ``p <= 0``, ``p >= 1`` or `p` is NaN.

    Examples
    --------
    >>> import numpy as np
    >>> from veltra.detection import det_q_inv
    >>> round(det_q_inv(0.025), 5)
    1.95996
    >>> np.round(det_q_inv([0.5, 0.1, 1.0]), 4)
    array([0.    , 1.2816, 0.    ])
    """
    return _d.det_q_inv(p)


def det_dwell_gauss(d: ArrayLike, k: ArrayLike, pd: ArrayLike, pfa: ArrayLike) -> Count:
    """Samples needed by a Gaussian statistic whose mean separation per sample is `d`.

    Parameters
    ----------
    d : float or array_like
        Separation of the means under signal and noise, per sample, ``> 0``.
    k : float or array_like
        Variance factor, ``> 0``.
    pd, pfa : float or array_like
        Target detection and false-alarm probabilities, ``0 < pfa < pd < 1``.

    Returns
    -------
    int or ndarray of int64
        ``max(1, ceil(k*((Q^-1(pfa) - Q^-1(pd))/d)**2))`` capped at 2147483647; -1 for
        arguments outside their ranges.

    Examples
    --------
    >>> from veltra.detection import det_dwell_gauss
    >>> det_dwell_gauss(0.5, 1.0, 0.9, 1e-3)
    77
    >>> det_dwell_gauss(1.0, 1.0, 0.1, 0.2)            # pd <= pfa
    -1
    """
    return _d.det_dwell_gauss(d, k, pd, pfa)


def det_threshold_gauss(mu: ArrayLike, pd: ArrayLike, pfa: ArrayLike) -> Real:
    """Threshold of a Gaussian statistic with mean `mu` under signal.

    Parameters
    ----------
    mu : float or array_like
        Mean of the statistic under signal, ``> 0``.
    pd, pfa : float or array_like
        Target detection and false-alarm probabilities, ``0 < pfa < pd < 1``.

    Returns
    -------
    float or ndarray of float64
        ``mu*Q^-1(pfa)/(Q^-1(pfa) - Q^-1(pd))``; 0 for arguments outside their ranges.

    Examples
    --------
    >>> from veltra.detection import det_threshold_gauss
    >>> round(det_threshold_gauss(2.0, 0.9, 1e-3), 4)
    1.4137
    """
    return _d.det_threshold_gauss(mu, pd, pfa)


def det_ema_alpha(in_snr_db: ArrayLike, out_snr_db: ArrayLike) -> Real:
    """Smoothing factor of an EMA that lifts a noise reference from one SNR to another.

    Parameters
    ----------
    in_snr_db : float or array_like
        SNR of each raw estimate, in dB.
    out_snr_db : float or array_like
        SNR wanted of the smoothed reference, in dB.

    Returns
    -------
    float or ndarray of float64
        ``2c/(c + e)`` with ``c = 10**(in/10)``, ``e = 10**(out/10)``; 1 when the input
        is already good enough or either value is NaN.

    Examples
    --------
    >>> from veltra.detection import det_ema_alpha
    >>> det_ema_alpha(0.0, 10.0) == 2 / 11
    True
    >>> det_ema_alpha(0.0, 0.0)
    1.0
    """
    return _d.det_ema_alpha(in_snr_db, out_snr_db)


def det_verify_count(p: ArrayLike, budget: ArrayLike) -> Count:
    """Consecutive passes a lock test needs so that false passes stay within a budget.

    Parameters
    ----------
    p : float or array_like
        Probability that one decision passes falsely.
    budget : float or array_like
        Allowed probability of `n` false passes in a row.

    Returns
    -------
    int or ndarray of int64
        Smallest ``n >= 1`` with ``p**n <= budget``; 1 when ``p <= 0`` or ``p <= budget``;
        2147483647 when ``p >= 1``, ``budget <= 0``, either is NaN or the count would not
        fit.

    Examples
    --------
    >>> from veltra.detection import det_verify_count
    >>> det_verify_count(1e-3, 1e-6), det_verify_count(0.1, 1e-3)
    (2, 3)
    >>> det_verify_count(1.0, 1e-3)
    2147483647
    """
    return _d.det_verify_count(p, budget)


def det_verify_delay(n: ArrayLike, p: ArrayLike) -> Real:
    """Expected number of decisions until `n` consecutive passes of probability `p`.

    Parameters
    ----------
    n : int or array_like of int
        Consecutive passes required (values below 1 count as 1).
    p : float or array_like
        Probability that one decision passes.

    Returns
    -------
    float or ndarray of float64
        ``(1 - p**m)/((1 - p)*p**m)`` with ``m = max(n, 1)``; ``m`` when ``p >= 1``;
        ``inf`` when ``p <= 0`` or `p` is NaN.

    Examples
    --------
    >>> from veltra.detection import det_verify_delay
    >>> det_verify_delay(2, 0.5), det_verify_delay(3, 1.0), det_verify_delay(2, 0.0)
    (6.0, 3.0, inf)
    """
    return _d.det_verify_delay(n, p)
