"""Lowpass design and the window functions, against scipy.signal.

The window functions have no Python surface in this module; they are exported core
functions of the extension, so they are called through ctypes on the module's own
shared library (the native C ABI every core function offers)."""

import ctypes

import numpy as np
import pytest
import scipy.signal as ss

import veltra.filter as vf
from veltra.filter import design_lowpass

from vxcheck import run_doctests

LIB = ctypes.CDLL(vf.__file__)
F32P = np.ctypeslib.ndpointer(np.float32, flags="C_CONTIGUOUS")
U64 = ctypes.c_uint64
for name, res, args in [("kaiser_window", None, [F32P, U64, ctypes.c_float]),
                        ("hann_window", None, [F32P, U64]),
                        ("blackman_harris_window", None, [F32P, U64]),
                        ("kaiser_enbw", ctypes.c_float, [F32P, U64]),
                        ("kaiser_beta", ctypes.c_double, [ctypes.c_double]),
                        ("kaiser_beta_for_sidelobe", ctypes.c_double, [ctypes.c_double]),
                        ("kaiser_num_taps", ctypes.c_int,
                         [ctypes.c_int, ctypes.c_double, ctypes.c_double, ctypes.c_double])]:
    getattr(LIB, name).restype = res
    getattr(LIB, name).argtypes = args


def window(name, n, *extra):
    w = np.full(n, np.nan, np.float32)
    getattr(LIB, name)(w, n, *extra)
    return w


@pytest.mark.parametrize("n", [1, 2, 8, 33, 128, 1001])
def test_windows_match_scipy_to_float32_precision(n):
    for beta in (0.0, 6.0, 11.9778):
        np.testing.assert_allclose(window("kaiser_window", n, beta),
                                   ss.windows.kaiser(n, beta), rtol=0, atol=3e-7)
    np.testing.assert_allclose(window("hann_window", n), ss.windows.hann(n), rtol=0, atol=2e-7)
    np.testing.assert_allclose(window("blackman_harris_window", n),
                               ss.windows.blackmanharris(n), rtol=0, atol=2e-7)


def test_window_reference_values_and_enbw():
    np.testing.assert_allclose(window("kaiser_window", 8, 6.0),
                               [0.0149, 0.1998, 0.5913, 0.9454, 0.9454, 0.5913, 0.1998, 0.0149],
                               atol=5e-5)
    np.testing.assert_allclose(window("blackman_harris_window", 8),
                               [0.0001, 0.0334, 0.3328, 0.8894, 0.8894, 0.3328, 0.0334, 0.0001],
                               atol=5e-5)
    hann8 = window("hann_window", 8)
    assert LIB.kaiser_enbw(hann8, 8) == pytest.approx(1.7143, abs=5e-5)
    for w in (ss.windows.kaiser(100, 9.0), ss.windows.blackmanharris(257)):
        w = w.astype(np.float32)
        want = len(w) * np.sum(w.astype(float) ** 2) / np.sum(w.astype(float)) ** 2
        assert LIB.kaiser_enbw(w, len(w)) == pytest.approx(want, rel=1e-6)
    assert LIB.kaiser_enbw(np.zeros(4, np.float32), 4) == 0.0
    assert LIB.kaiser_enbw(np.zeros(0, np.float32), 0) == 0.0


def test_kaiser_rules():
    for a in (10.0, 20.9, 21.0, 35.0, 50.0, 50.0001, 120.0):
        assert LIB.kaiser_beta(a) == pytest.approx(ss.kaiser_beta(a), rel=1e-15, abs=0)
    assert LIB.kaiser_beta_for_sidelobe(90.0) == pytest.approx(11.9778, abs=5e-5)
    assert LIB.kaiser_beta_for_sidelobe(10.0) == 0.0
    assert LIB.kaiser_num_taps(1, 60.0, 0.2, 0.3) == 38
    assert LIB.kaiser_num_taps(0, 60.0, 0.2, 0.3) == 0


def test_default_design():
    h = design_lowpass()
    assert h.dtype == np.float32 and h.shape == (39,)
    assert h[19] == 0.5
    np.testing.assert_array_equal(h, h[::-1])
    assert abs(float(h.sum()) - 1.0) < 0.01


@pytest.mark.parametrize("fpass,fstop,atten", [(0.4, 0.6, 60.0), (0.1, 0.2, 80.0),
                                               (0.2, 0.25, 40.0), (0.5, 0.9, 15.0),
                                               (0.3, 0.5, 100.0)])
def test_design_matches_firwin_and_meets_its_mask(fpass, fstop, atten):
    h = design_lowpass(fpass=fpass, fstop=fstop, atten_db=atten)
    n = LIB.kaiser_num_taps(1, atten, fpass / 2, fstop / 2) | 1
    assert len(h) == n and n % 2 == 1
    ref = ss.firwin(n, (fpass + fstop) / 2, window=("kaiser", ss.kaiser_beta(atten)), scale=False)
    np.testing.assert_allclose(h, ref, rtol=0, atol=1e-7)
    if atten >= 40:
        w, resp = ss.freqz(h.astype(np.float64), worN=8192)
        stop = np.abs(resp[w / np.pi >= fstop]).max()
        passband = np.abs(resp[w / np.pi <= fpass])
        assert 20 * np.log10(stop) < -(atten - 2)
        assert np.all(np.abs(20 * np.log10(passband)) < 0.2)


@pytest.mark.parametrize("kw", [dict(fpass=0.6, fstop=0.4), dict(fpass=0.5, fstop=0.5),
                                dict(atten_db=7.9), dict(atten_db=-60.0),
                                dict(fpass=np.nan), dict(fstop=np.inf), dict(atten_db=np.nan),
                                dict(fpass=-0.1), dict(fstop=1.9), dict(atten_db=1e7),
                                dict(atten_db=1e300)])
def test_design_refuses_meaningless_estimates(kw):
    with pytest.raises(ValueError, match="^design_lowpass needs 0 <= fpass < fstop <= 1 and "
                                         "8 <= atten_db <= 300, got fpass="):
        design_lowpass(**kw)


def test_design_refuses_absurd_lengths():
    with pytest.raises(ValueError, match="^design_lowpass would need more than 1048576 taps"):
        design_lowpass(fpass=0.4, fstop=0.4 + 1e-9)
    with pytest.raises(ValueError, match="more than 1048576 taps"):
        design_lowpass(fpass=0.0, fstop=1e-5, atten_db=300)
    taps = design_lowpass(fpass=0.0, fstop=1.0, atten_db=300)  # the widest allowed design
    assert np.all(np.isfinite(taps))
    with pytest.raises(TypeError):
        design_lowpass(fpass="wide")


def test_docstring_examples_run():
    run_doctests(vf, min_examples=24)
