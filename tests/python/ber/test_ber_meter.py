import struct

import numpy as np
import pytest
from scipy import stats

from veltra.ber import BerInterval, BerMeter, ber_align_detect, ber_confidence

from vxcheck import assert_header_rules, assert_lifecycle

THETA0 = {2: 0.0, 4: np.pi / 4, 8: 0.0}


def psk(truth, m, phase=0.0):
    return np.exp(1j * (2 * np.pi * truth / m + THETA0[m] + phase))


def channel(truth, m, lag, phase, esn0_db, rng):
    """rx[i] carries truth[i + lag], rotated by `phase`, in complex noise at Es/N0."""
    x = psk(truth, m, phase)
    x = x[lag:] if lag >= 0 else np.concatenate([np.zeros(-lag), x])
    sigma = np.sqrt(10 ** (-esn0_db / 10) / 2)
    return (x + sigma * (rng.normal(size=x.size) + 1j * rng.normal(size=x.size))).astype(np.complex64)


def qpsk_ser(esn0_db, delta):
    """QPSK symbol error rate with the constellation rotated by delta off the decision
    boundaries: both rotated coordinates must keep their sign."""
    a = np.sqrt(2 * 10 ** (esn0_db / 10))   # unit symbol over sigma per dimension
    q = stats.norm.sf
    return 1 - (1 - q(a * np.cos(np.pi / 4 + delta))) * (1 - q(a * np.sin(np.pi / 4 + delta)))


def redecide(rx, truth, m, lag, phase, skip):
    """The meter's decision rule in NumPy: symbol and Gray bit errors over rx."""
    i = np.arange(rx.size)
    t = i + lag
    keep = (t >= 0) & (t < truth.size) & ~skip(t)
    ang = np.angle(rx[keep].astype(np.complex128)) - (THETA0[m] + phase)
    v = ang * m / (2 * np.pi)
    d = (np.sign(v) * np.floor(np.abs(v) + 0.5)).astype(np.int64) % m
    want = truth[t[keep]].astype(np.int64)
    gray = lambda s: s ^ (s >> 1)
    bits = np.unpackbits((gray(d) ^ gray(want)).astype(np.uint8)[:, None], axis=1).sum()
    return int(keep.sum()), int((d != want).sum()), int(bits)


# ---- intervals against scipy -----------------------------------------------------------

@pytest.mark.parametrize("conf", [0.9, 0.95, 0.99])
def test_intervals_are_the_exact_gamma_ones(conf):
    g = 1 - conf
    for r in [1, 2, 5, 8, 12, 100, 1000, 10**4]:
        for n in [r, 3 * r + 7, 10**6]:
            iv = ber_confidence(r, n, conf)
            assert iv.lo == pytest.approx(stats.gamma.ppf(g / 2, r) / n, rel=1e-9)
            assert iv.hi == pytest.approx(stats.gamma.isf(g / 2, r + 1) / n, rel=1e-9)
            assert (iv.p_hat, iv.rel, iv.conf, iv.errors, iv.symbols) == (r / n, 1 / np.sqrt(r), conf, r, n)
            # The Poisson limits bracket the binomial (Clopper-Pearson) ones, up to a
            # factor 1 + p on the lower limit at r = 1 (and scipy's 5e-5 at p ~ 1e-6).
            cp = stats.binomtest(r, n).proportion_ci(conf, method="exact")
            assert iv.lo <= cp.low * (1 + r / n + 1e-4) and iv.hi >= cp.high
    iv = ber_confidence(0, 1000, conf)
    assert (iv.p_hat, iv.lo, iv.rel) == (0.0, 0.0, np.inf)
    assert iv.hi == pytest.approx(-np.log(g / 2) / 1000, rel=1e-12)


def test_interval_edge_values_and_record_type():
    iv = ber_confidence(3, 0)
    assert np.isnan(iv.p_hat) and (iv.lo, iv.hi, iv.rel) == (0.0, np.inf, np.inf)
    assert isinstance(iv, BerInterval) and type(iv).__module__ == "veltra.ber"
    assert iv._fields if hasattr(iv, "_fields") else iv.n_fields == 7
    for bad in (0.0, 1.0, -0.5, np.nan):   # outside (0, 1): the default level
        assert ber_confidence(8, 20000, bad).conf == 0.99
    iv = ber_confidence(8, 20000)
    assert (round(iv.lo, 6), round(iv.hi, 6)) == (0.000129, 0.000929)


def meter_with_counts(errors, symbols, target, m=4):
    bm = BerMeter(m=m, target_errors=target)
    bits = {2: 1, 4: 2, 8: 3}[m] * symbols
    blob = bm.get_state()
    bm.set_state(blob[:16] + struct.pack("<6Q", errors, symbols, errors, bits, 0, 1) + blob[64:])
    return bm


def test_ser_uses_the_stopped_interval_once_enough():
    stopped = meter_with_counts(8, 20000, target=8)
    assert stopped.enough
    iv = stopped.ser()
    assert (round(iv.p_hat, 5), round(iv.lo, 6), round(iv.hi, 6)) == (0.00035, 0.000129, 0.000857)
    assert iv.hi == pytest.approx(stats.gamma.isf(0.005, 8) / 20000, rel=1e-9)
    running = meter_with_counts(8, 20000, target=9)
    assert not running.enough and running.ser() == ber_confidence(8, 20000)
    assert stopped.ber() == ber_confidence(8, 40000)   # bits never stop the count
    assert stopped.interval(12, 736) == ber_confidence(12, 736)


# ---- alignment and scoring -------------------------------------------------------------

def test_qpsk_at_6db_aligns_and_scores_like_numpy():
    rng = np.random.default_rng(19)
    n, t0, nm = 10**6, 5000, 256
    truth = rng.integers(0, 4, n).astype(np.uint8)
    lag, phase = int(rng.integers(-150, 151)), float(rng.uniform(-np.pi, np.pi))
    rx = channel(truth, 4, lag, phase, 6.0, rng)
    bm = BerMeter(m=4)
    bm.set_truth(truth)
    assert bm.align(rx, t0=t0, n_marker=nm) == 1
    assert (bm.lag, bm.align_ok, bm.align_saturated, bm.align_slips) == (lag, True, False, 0)
    assert abs(bm.phase - phase) < 0.1 and bm.align_margin_db > 3
    scored = bm.score(rx, hi=rx.size)
    want = redecide(rx, truth, 4, lag, bm.phase, lambda t: (t >= t0) & (t < t0 + nm))
    assert (bm.symbols, bm.errors, bm.bit_errors) == want and scored == want[0]
    assert bm.skipped == rx.size - scored
    ser = bm.ser()
    assert ser.lo < qpsk_ser(6.0, bm.phase - phase) < ser.hi


def test_intervals_cover_theory_at_about_the_stated_rate():
    covered = 0
    for seed in range(20):
        rng = np.random.default_rng(seed)
        truth = rng.integers(0, 4, 30000).astype(np.uint8)
        rx = channel(truth, 4, 3, 0.7, 6.0, rng)
        bm = BerMeter(m=4, conf=0.9)
        bm.set_truth(truth)
        assert bm.align(rx, t0=1000, n_marker=256)
        bm.score(rx, hi=rx.size)
        iv = bm.ser()
        covered += iv.lo <= qpsk_ser(6.0, bm.phase - 0.7) <= iv.hi
    assert 14 <= covered <= 20


@pytest.mark.parametrize("m", [2, 4, 8])
def test_decisions_match_numpy_for_every_order(m):
    rng = np.random.default_rng(m)
    truth = rng.integers(0, m, 40000).astype(np.uint8)
    rx = channel(truth, m, -40, -2.5, 8.0, rng)
    rx[[100, 7000]] = [np.nan, np.inf]
    bm = BerMeter(m=m)
    bm.set_truth(truth)
    assert bm.align(rx, t0=500, n_marker=300, lag_span=64)
    assert bm.lag == -40
    for lo in range(0, rx.size, 9999):          # any split counts the same
        bm.score(rx, lo=lo, hi=lo + 9999)
    bad = ~np.isfinite(rx)
    finite = redecide(np.where(bad, 1, rx), truth, m, -40, bm.phase,
                      lambda t: (t >= 500) & (t < 800) | np.isin(t, np.flatnonzero(bad) - 40))
    bits = {2: 1, 4: 2, 8: 3}[m]
    assert (bm.symbols, bm.errors, bm.bit_errors) == (finite[0] + 2, finite[1] + 2, finite[2] + 2 * bits)


def test_periodic_markers_combine_and_are_skipped():
    rng = np.random.default_rng(7)
    truth = rng.integers(0, 2, 20000).astype(np.uint8)
    rx = channel(truth, 2, 12, 0.4, 3.0, rng)
    r = ber_align_detect(rx, truth, m=2, t0=100, n_marker=32, period=1000)
    assert r["ok"] and r["lag"] == 12 and r["occurrences"] == 20
    bm = BerMeter(m=2)
    bm.set_truth(truth)
    bm.align(rx, t0=100, n_marker=32, period=1000)
    n = bm.score(rx, hi=rx.size)
    on_marker = lambda t: (t >= 100) & ((t - 100) // 1000 < 20) & ((t - 100) % 1000 < 32)
    assert (n, bm.errors) == redecide(rx, truth, 2, 12, bm.phase, on_marker)[:2]


@pytest.mark.parametrize("kw, what", [
    (dict(n_marker=4), "marker shorter than 8"),
    (dict(t0=2**64 - 1), "marker past the truth"),
    (dict(t0=990), "marker past the truth"),
    (dict(lag_span=20), "peak on the edge of the span"),
])
def test_failed_alignments_are_reported_and_refuse_scoring(kw, what):
    rng = np.random.default_rng(3)
    truth = rng.integers(0, 4, 1000).astype(np.uint8)
    rx = channel(truth, 4, 20, 0.0, 30.0, rng)
    bm = BerMeter()
    bm.set_truth(truth)
    assert bm.align(rx, **{"t0": 300, "n_marker": 64, **kw}) == 0, what
    assert not bm.align_ok
    if "lag_span" in kw:
        assert bm.align_saturated and bm.lag == 20
    else:
        assert (bm.lag, bm.align_stat, bm.align_margin_db) == (0, 0.0, -np.inf)
    with pytest.raises(ValueError, match="^score needs a successful align$"):
        bm.score(rx, hi=1000)
    assert bm.symbols == 0
    with pytest.raises(ValueError, match="^score needs a successful align$"):
        BerMeter().score(rx, hi=10)


def test_noise_alone_is_not_detected():
    rng = np.random.default_rng(5)
    truth = rng.integers(0, 4, 5000).astype(np.uint8)
    noise = (rng.normal(size=5000) + 1j * rng.normal(size=5000)).astype(np.complex64)
    assert not ber_align_detect(noise, truth, t0=1000)["ok"]
    assert not ber_align_detect(np.full(5000, np.nan, np.complex64), truth, t0=1000)["ok"]
    assert not ber_align_detect(noise[:0], truth)["ok"]


# ---- object rules --------------------------------------------------------------------

def test_construction_truth_and_repr():
    for kw in (dict(m=3), dict(m=16), dict(conf=1.0), dict(conf=-0.1), dict(conf=np.nan)):
        with pytest.raises(ValueError, match=r"^m must be 2, 4 or 8 and conf must lie in \(0, 1\)$"):
            BerMeter(**kw)
    bm = BerMeter(m=8, target_errors=0, conf=0)
    assert (bm.m, bm.target_errors, bm.conf) == (8, 200, 0.99)
    assert repr(bm) == "BerMeter(m=8, target_errors=200, conf=0.99)"
    bm.set_truth(np.arange(8, dtype=np.uint8))
    for bad in (np.array([0, 8], np.uint8), np.array([], np.uint8)):
        with pytest.raises(ValueError, match=r"^set_truth failed \(rc=-4\)$"):
            bm.set_truth(bad)
        with pytest.raises(ValueError, match="^truth must be non-empty symbol indices below m$"):
            BerMeter(m=8, truth=bad)
    assert bm.truth.tobytes() == bytes(range(8)) and BerMeter(m=2, truth=[1, 0]).truth.tolist() == [1, 0]
    assert ber_align_detect(psk(np.arange(8), 8).astype(np.complex64), np.arange(8, dtype=np.uint8),
                            m=8, n_marker=8)["threshold"] == np.inf   # too few noise lags


def test_state_roundtrip_reset_and_lifecycle():
    rng = np.random.default_rng(9)
    truth = rng.integers(0, 4, 6000).astype(np.uint8)
    rx = channel(truth, 4, 0, 0.0, 5.0, rng)
    a = BerMeter()
    a.set_truth(truth)
    a.align(rx, t0=100)
    a.score(rx, hi=3000)
    b = BerMeter(truth=truth)
    b.set_state(a.get_state())  # the alignment comes with the counts
    a.score(rx, lo=3000, hi=6000)
    b.score(rx, lo=3000, hi=6000)
    assert a.get_state() == b.get_state() and a.ser() == b.ser()
    assert_header_rules(a)
    good = a.get_state()
    # ... and counts no run reaches, which later scores would wrap past 2^64
    for fields in [(5, 4, 0, 8, 0, 1), (0, 4, 9, 8, 0, 1), (0, 4, 0, 7, 0, 1), (0, 4, 0, 8, 0, 5),
                   (0, 2**62, 0, 2**63, 0, 0), (0, 4, 0, 8, 2**62, 1)]:
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            a.set_state(good[:16] + struct.pack("<6Q", *fields) + good[64:])
    assert a.get_state() == good
    a.reset()
    assert (a.errors, a.symbols, a.bits, a.skipped, a.align_ok, a.lag) == (0, 0, 0, 0, True, 0)
    assert_lifecycle(BerMeter, [("set_truth", (truth,)), ("align", (rx,)), ("score", (rx,)),
                                ("ser", ()), ("ber", ()), ("interval", (1, 2))])
