import doctest
import inspect
import re
import signal

import numpy as np
import pytest
from scipy import special, stats

import veltra
from veltra import _detection, detection as det

COUNT_PARAMS = {"M", "n", "max_n", "n_looks", "N", "L", "max_looks"}


def assert_close(got, want, rtol, atol):
    got, want = np.broadcast_arrays(np.asarray(got, float), np.asarray(want, float))
    bad = ~(np.abs(got - want) <= np.maximum(rtol * np.abs(want), atol))
    assert not bad.any(), f"{bad.sum()} mismatches, first at {np.argwhere(bad)[0]}: " \
        f"got {got[bad][0]!r}, want {want[bad][0]!r}"


# ---- against independent oracles -------------------------------------------------------

def test_marcum_q_matches_noncentral_chi2():
    M = np.arange(1, 17)[:, None, None]
    a = np.linspace(0, 40, 81)[None, :, None]
    b = np.linspace(0, 40, 81)[None, None, :]
    assert_close(det.marcum_q(M, a, b), stats.ncx2.sf(b * b, 2 * M, a * a), 1e-9, 1e-14)

    rng = np.random.default_rng(5)
    M, a, b = rng.integers(1, 17, 4000), rng.uniform(0, 40, 4000), rng.uniform(0, 40, 4000)
    assert_close(det.marcum_q(M, a, b), stats.ncx2.sf(b * b, 2 * M, a * a), 1e-9, 1e-14)


@pytest.mark.parametrize("M", [1, 16, 1000, 10**5, 10**7])
def test_marcum_q_to_1e9_for_any_amplitude_and_order(M):
    # Both sides of lambda = a^2/2 = 1e6 (a ~ 1414), where the sum stops taking every term,
    # and up to 1e7 looks, across the whole transition of the envelope.
    a = np.array([60.0, 1000.0, 1414.0, 1414.3, 1415.0, 3000.0, 2e4, 1e5])[:, None]
    t = a * a + 2 * M + np.sqrt(4 * M + 4 * a * a) * np.linspace(-9, 9, 55)[None, :]
    b = np.sqrt(t)
    assert_close(det.marcum_q(M, a, b), stats.ncx2.sf(b * b, 2 * M, a * a), 0, 1e-9)


def test_probabilities_stay_within_0_and_1():
    a = np.array([30.0, 100.0, 300.0, 1000.0])[:, None]
    b = a + np.linspace(-9, 9, 181)[None, :]
    for M in (1, 10, 1000, 10**5):
        q = det.marcum_q(M, a, b)
        assert ((q >= 0) & (q <= 1)).all()
    n = np.array([100, 5000, 50000])[:, None]
    eta = np.linspace(0, 400, 801)[None, :]
    for pd in (det.det_pd(n, 1.0, eta), det.det_pd_power(n, 1.0, eta * eta / 2),
               det.det_pd_noncoherent(n, 4, 1.0, eta)):
        assert ((pd >= 0) & (pd <= 1)).all()


def test_gammaq_matches_gammaincc():
    rng = np.random.default_rng(1)
    a = np.concatenate([rng.uniform(0.05, 20, 2000), rng.uniform(20, 3000, 2000)])
    x = np.abs(a + rng.normal(size=a.size) * 4 * np.sqrt(a)) + 1e-3
    assert_close(_detection._gammaq(a, x), special.gammaincc(a, x), 1e-10, 1e-300)
    assert _detection._gammaq(3.0, 0.0) == 1.0 and _detection._gammaq(3.0, np.inf) == 0.0


def test_incomplete_beta_matches_betainc():
    n = np.concatenate([np.arange(1, 61), [100, 333, 1000, 5000]])[:, None]
    u = np.linspace(0.001, 0.999, 199)[None, :]
    assert_close(_detection._betai_half(n, u), special.betainc(n / 2, n / 2, u), 1e-9, 1e-300)


def test_threshold_f_matches_f_isf():
    n = np.concatenate([np.arange(1, 41), [64, 100, 200, 500, 1000]])[:, None]
    pfa = np.array([1e-6, 1e-4, 1e-3, 0.01, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99])[None, :]
    # (scipy's own F quantile drifts below pfa ~ 1e-6; the native suite checks the far
    # tail against closed forms.)
    assert_close(det.det_threshold_f(n, pfa), stats.f.isf(pfa, n, n), 1e-9, 0)


def test_q_inv_matches_norm_isf():
    p = np.concatenate([np.logspace(-300, -1, 1500), np.linspace(0.01, 0.99, 197),
                        1 - np.logspace(-15, -1, 200)])
    assert_close(det.det_q_inv(p), stats.norm.isf(p), 1e-12, 1e-15)


def test_threshold_noncoherent_inverts_gammaincc():
    L = np.array([2, 3, 4, 16, 100, 1000])[:, None]
    pfa = np.array([0.5, 1e-3, 1e-6, 1e-12])[None, :]
    eta = det.det_threshold_noncoherent(pfa, L)
    assert_close(special.gammaincc(L, eta * eta / 2), pfa, 1e-11, 0)
    assert_close(det.det_threshold_noncoherent(pfa, 1), det.det_threshold(pfa), 0, 0)


# ---- documented values -----------------------------------------------------------------

def test_documented_values():
    assert det.det_threshold(1e-3) == pytest.approx(3.7169, abs=1e-4)
    assert det.det_threshold_power(1e-3) == pytest.approx(6.9078, abs=1e-4)
    assert det.marcum_q(1, 0.0, 2.5) == pytest.approx(np.exp(-2.5 ** 2 / 2), rel=1e-14)
    assert det.marcum_q(5, 3.0, 0.0) == 1.0
    assert (det.det_verify_count(1e-3, 1e-6), det.det_verify_count(0.1, 1e-3),
            det.det_verify_count(0.01, 1e-6), det.det_verify_count(1.0, 0.5)) == (2, 3, 3, 2147483647)
    assert (det.det_verify_delay(3, 1.0), det.det_verify_delay(2, 0.5),
            det.det_verify_delay(2, 0.0)) == (3.0, 6.0, np.inf)
    assert det.det_ema_alpha(0, 0) == 1.0 and det.det_ema_alpha(0, 10) == 2 / 11
    assert det.det_q_inv(0.5) == 0.0 and det.det_q_inv(1.0) == 0.0
    assert det.det_q_inv(0.025) == pytest.approx(1.95996, abs=1e-5)
    assert det.det_dwell_gauss(1.0, 1.0, 0.2, 0.2) == -1
    assert det.det_dwell_gauss(1e-300, 1.0, 0.9, 1e-3) == 2147483647
    assert det.det_n_noncoh(64, 100, 5.0, 0.9, 1e-3) == 1
    assert det.det_n_noncoh(64, 2, 0.01, 0.9, 1e-6) == -1
    np.testing.assert_allclose(det.det_threshold_f(np.arange(1, 50), 0.5), 1.0, rtol=1e-14)
    # Saturated counts instead of undefined casts.
    assert det.det_verify_count([0.5, 0.5, np.nan], [0.0, -1.0, 1e-3]).tolist() == [2147483647] * 3


# ---- searches ----------------------------------------------------------------------------

def test_dwell_counts_are_the_smallest_meeting_pd():
    snr = np.array([0.05, 0.1, 0.3, 1.0])[:, None]
    pd = np.array([0.5, 0.9, 0.999])[None, :]
    for dwell, pd_of, thr, s in [(det.det_dwell, det.det_pd, det.det_threshold, snr),
                                 (det.det_dwell_power, det.det_pd_power, det.det_threshold_power,
                                  snr * snr)]:
        n = dwell(100000, s, pd, 1e-6)
        assert n.dtype == np.int64 and (n >= 1).all()
        eta = thr(1e-6)
        assert (pd_of(n, s, eta) >= pd).all()
        assert ((n == 1) | (pd_of(n - 1, s, eta) < pd)).all()


def test_noncoherent_look_counts_are_the_smallest_meeting_pd():
    for N, snr in [(64, 0.1), (16, 0.2), (64, 0.2), (1000, 0.05)]:
        L = det.det_n_noncoh(N, 1000, snr, 0.9, 1e-6)
        assert L >= 1
        pd_at = lambda l: det.det_pd_noncoherent(N, l, snr, det.det_threshold_noncoherent(1e-6, l))
        assert pd_at(L) >= 0.9
        assert L == 1 or pd_at(L - 1) < 0.9


def test_snr_reaches_pd_and_power_snr_is_its_square():
    n = np.array([1, 10, 1000])[:, None]
    pd = np.array([0.1, 0.5, 0.9, 0.99])[None, :]
    s = det.det_snr(n, pd, 1e-4)
    assert_close(det.det_pd(n, s, det.det_threshold(1e-4)), pd, 1e-12, 0)
    assert_close(det.det_snr_power(n, pd, 1e-4), s * s, 0, 0)
    assert det.det_snr(10, [1.0, 2.0, np.inf], 1e-3).tolist() == [np.inf] * 3
    assert det.det_snr(10, 0.9, 0.0) == np.inf
    assert np.isnan(det.det_snr([0, 10, 10], [0.9, np.nan, 0.9], [1e-3, 1e-3, -1.0])).all()


# ---- the Python face ---------------------------------------------------------------------

def test_scalars_in_give_python_scalars_out():
    assert type(det.marcum_q(2, 1.0, 2.0)) is float
    assert type(det.det_dwell(100, 0.5, 0.9, 1e-3)) is int
    assert type(det.det_pd(np.int32(3), np.float64(0.5), np.array(2.0))) is float
    assert type(det.det_verify_count(np.float32(0.1), 1e-3)) is int
    assert det.det_pd(True, 1, 2) == det.det_pd(1, 1.0, 2.0)


def test_arrays_broadcast_and_match_scalar_calls():
    n = np.arange(1, 6, dtype=np.int16)
    eta = [[3.0], [4.0]]
    got = det.det_pd(n, 0.5, eta)
    assert got.shape == (2, 5) and got.dtype == np.float64
    assert got[1, 2] == det.det_pd(3, 0.5, 4.0)
    counts = det.det_dwell([10, 100, 1000], 0.3, 0.9, 1e-3)
    assert counts.dtype == np.int64 and counts.tolist() == [
        det.det_dwell(m, 0.3, 0.9, 1e-3) for m in (10, 100, 1000)]
    assert det.det_q_inv(np.empty((0, 3))).shape == (0, 3)
    assert det.det_threshold(np.array([[1e-3]])).shape == (1, 1)
    # Non-contiguous views are read in place.
    p = np.linspace(0.01, 0.5, 20)[::3]
    assert det.det_q_inv(p).tolist() == [det.det_q_inv(float(v)) for v in p]


def test_argument_errors():
    with pytest.raises(TypeError):
        det.det_pd(1.5, 1.0, 1.0)  # a count must be an integer
    with pytest.raises(TypeError):
        det.det_dwell([10.0, 20.0], 0.5, 0.9, 1e-3)
    with pytest.raises(OverflowError, match="^n must fit in a 32-bit signed int"):
        det.det_pd(2 ** 31, 1.0, 1.0)
    with pytest.raises(OverflowError, match="^max_n must fit in a 32-bit signed int, got -2147483649$"):
        det.det_dwell(np.array([5, -2 ** 31 - 1]), 1.0, 0.9, 1e-3)
    with pytest.raises(ValueError):
        det.det_pd([1, 2], 1.0, [1.0, 2.0, 3.0])  # shapes do not broadcast
    with pytest.raises(TypeError):
        det.det_q_inv(np.array([0.5j]))
    with pytest.raises(TypeError):
        det.det_q_inv()
    assert det.det_pd(n=3, snr=0.5, eta=4.0) == det.det_pd(3, 0.5, 4.0)


def test_module_surface_and_docstrings():
    assert "_detection" in veltra.MODULES
    for name in det.__all__:
        f = getattr(det, name)
        # Same argument names and order as the native function (its signature line).
        native = getattr(_detection, name).__doc__.splitlines()[0]
        names = [a.split(":")[0].strip() for a in re.search(r"\((.*)\)", native)[1].split(",")]
        assert list(inspect.signature(f).parameters) == names, name
        for section in ("Parameters", "Returns", "Examples"):
            assert section in f.__doc__, (name, section)
    failed, attempted = doctest.testmod(det, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted > 40 and failed == 0


# ---- no input hangs a caller --------------------------------------------------------------

AWKWARD = [0.0, 1.0, -1.0, 1e-300, 1e300, np.nan, np.inf, -np.inf]
AWKWARD_COUNTS = [0, 1, -1, 2, 2 ** 31 - 1, -2 ** 31]


def _awkward_grid(f):
    """Outer-product arrays over the awkward values of every parameter of f."""
    params = list(inspect.signature(f).parameters)
    axes = [np.array(AWKWARD_COUNTS if p in COUNT_PARAMS else AWKWARD) for p in params]
    return np.ix_(*axes)


def test_every_function_returns_for_every_awkward_input():
    # Every iteration in the core is bounded by construction; the alarm only turns a
    # regression into a failure instead of a stuck suite.
    def stuck(*_):
        raise TimeoutError("the awkward-input grid did not finish in 60 s")

    old = signal.signal(signal.SIGALRM, stuck)
    signal.alarm(60)
    try:
        rng = np.random.default_rng(0)
        for name in det.__all__:
            f = getattr(det, name)
            grid = _awkward_grid(f)
            out = f(*grid)
            assert out.shape == tuple(len(g.ravel()) for g in grid)
            if out.dtype == np.int64:
                assert ((out == -1) | (out >= 1)).all(), name
            if name.startswith(("marcum_q", "det_pd")):
                assert ((out >= 0) & (out <= 1) | np.isnan(out)).all(), name
            # The scalar path agrees with the broadcast path.
            for idx in rng.choice(out.size, size=min(out.size, 40), replace=False):
                pos = np.unravel_index(idx, out.shape)
                args = [g.ravel()[pos[i]].item() for i, g in enumerate(grid)]
                got = f(*args)
                assert got == out[pos] or (np.isnan(got) and np.isnan(out[pos])), (name, args)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)
