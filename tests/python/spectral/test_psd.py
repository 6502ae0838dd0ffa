import math

import numpy as np
import pytest
import scipy.signal as ss

from veltra.spectral import (PSD, blackman_harris_window, find_peaks_f32, hann_window, kaiser_enbw,
                             kaiser_window, magnitude_db_cf32, magnitude_db_cf64, noise_floor_db,
                             obw_from_power)

from vxcheck import assert_header_rules, assert_lifecycle, assert_state_roundtrip

RNG = np.random.default_rng(17)


def cnoise(n, sigma=1.0):
    return (sigma / np.sqrt(2) * (RNG.normal(size=n) + 1j * RNG.normal(size=n))).astype(np.complex64)


def tone(n, cycles_per_sample, amp=1.0):
    return (amp * np.exp(2j * np.pi * cycles_per_sample * np.arange(n))).astype(np.complex64)


def window_of(kind, n, beta=0.0):
    w = np.empty(n, np.float32)
    {"hann": hann_window, "blackman-harris": blackman_harris_window,
     "kaiser": lambda a: kaiser_window(a, beta)}[kind](w)
    return w


@pytest.mark.parametrize("kind, beta", [("hann", 0.0), ("kaiser", 8.6), ("blackman-harris", 0.0)])
def test_matches_welch(kind, beta):
    n, fs, frames = 256, 2.0e6, 12
    x = cnoise(n * frames) + tone(n * frames, 0.1, 0.5)
    p = PSD(n, fs=fs, window=kind, beta=beta)
    p.accumulate(x)
    w = window_of(kind, n, beta).astype(np.float64)
    kw = dict(fs=fs, window=w, nperseg=n, noverlap=0, detrend=False, return_onesided=False)
    _, spec = ss.welch(x.astype(np.complex128), scaling="spectrum", **kw)
    _, dens = ss.welch(x.astype(np.complex128), scaling="density", **kw)
    np.testing.assert_allclose(p.power_twosided(), np.fft.fftshift(spec), rtol=2e-4, atol=1e-9)
    np.testing.assert_allclose(10 ** (p.psd_dbhz().astype(np.float64) / 10), np.fft.fftshift(dens), rtol=2e-4,
                               atol=1e-15)
    assert p.enbw == pytest.approx(kaiser_enbw(w.astype(np.float32)), rel=1e-6)
    assert p.rbw == pytest.approx(p.enbw * fs / n)
    np.testing.assert_allclose(p.psd_db() - p.psd_dbhz(), 10 * np.log10(p.rbw), atol=1e-4)


def test_calibration_closed_forms():
    n, fs = 1024, 1.0e3
    # A full-scale complex tone on a bin centre reads 0 dBFS, whatever full scale is.
    for kwargs, amp in [({}, 1.0), ({"full_scale": 3.5}, 3.5), ({"bits": 12, "full_scale": 9.0}, 2048.0)]:
        p = PSD(n, fs=fs, **kwargs)
        p.accumulate(tone(2 * n, 100 / n, amp))
        db = p.psd_db()
        assert int(np.argmax(db)) == n // 2 + 100 and db.max() == pytest.approx(0.0, abs=1e-4)
        assert p.total_band_power([-fs / 2, fs / 2]) == pytest.approx(0.0, abs=0.01)
    assert PSD(bits=12, full_scale=9.0).full_scale == 2048.0
    # White noise of power s2: the whole band sums to s2, the floor is flat at s2/(fs) per Hz.
    s2 = 0.04
    p = PSD(n, fs=fs, pad=2)
    p.accumulate(cnoise(n * 400, math.sqrt(s2)))
    assert p.nfft == 2048
    assert p.total_band_power([-fs / 2, fs / 2]) == pytest.approx(10 * np.log10(s2), abs=0.1)
    assert np.median(p.psd_dbhz()) == pytest.approx(10 * np.log10(s2 / fs),
                                                    abs=0.3)
    halves = p.band_power([-fs / 2, 0.0, 0.0, fs / 2, 900.0, 950.0, np.nan, 1.0])
    np.testing.assert_allclose(halves[:2], 10 * np.log10(s2 / 2), atol=0.15)
    assert halves[2:].tolist() == [-200.0, -200.0]  # above +fs/2; a NaN edge
    assert p.occupied_bw(1.0) == fs and 0.95 * fs < p.occupied_bw(0.99) <= fs


def test_spec_shapes_and_empty_readouts():
    p = PSD(64, pad=1)
    for name in ("psd_db", "psd_dbhz", "power_twosided", "power_onesided"):
        assert getattr(p, name)() is None
    assert p.band_power([0.0, 0.1]).shape == (0,)
    assert p.total_band_power([0.0, 0.1]) == -200.0 and p.occupied_bw(0.5) == 0.0
    assert (p.noise_floor(), p.snr(-0.5, 0.5), p.sfdr(-100.0)) == (0.0, 0.0, 0.0)
    p.accumulate(np.ones(4, np.complex64))
    assert p.count == 0
    p.accumulate(np.tile(tone(64, 8 / 64), 4))
    assert p.count == 4 and int(np.argmax(p.psd_db())) == 32 + 8
    assert (p.psd_db_max_out(), p.power_onesided_max_out(), p.band_power_max_out()) == (64, 33, 0)
    assert [PSD(n, pad=pad, window="blackman-harris").nfft for n, pad in [(1000, 1), (1024, 3), (2, 0), (3, 1)]] == [1024, 4096, 2, 4]
    # One-sided: a spectrum symmetric about DC folds to twice the two-sided value.
    q = PSD(64)
    q.accumulate_real(np.cos(2 * np.pi * 5 * np.arange(64) / 64).astype(np.float32) + 0.1)
    two, one = q.power_twosided(), q.power_onesided()
    np.testing.assert_allclose(one[1:32], 2 * two[33:64], rtol=1e-5, atol=1e-6 * two.max())
    assert one[0] == two[32] and one[32] == two[0]
    out = np.zeros(100, np.float32)
    v = q.psd_db(5, out=out)
    assert v.base is out and v.shape == (64,)


def test_frame_boundary_splits_memory_layout_and_state():
    n = 128
    x = cnoise(n * 9)
    whole = PSD(n, mode="exp", alpha=0.3)
    whole.accumulate(x)
    ref = whole.power_twosided().tobytes()
    for cuts in ([n], [n, 5 * n], list(range(n, 9 * n, n))):
        p = PSD(n, mode="exp", alpha=0.3)
        for part in np.split(x, cuts):
            p.accumulate(part)
        assert p.power_twosided().tobytes() == ref
    raw = np.zeros(x.nbytes + 64, np.uint8)
    at = -raw.ctypes.data % 64 + 4
    mis = raw[at:at + x.nbytes].view(np.complex64)
    mis[:] = x
    p = PSD(n, mode="exp", alpha=0.3)
    p.accumulate(mis)
    assert p.power_twosided().tobytes() == ref
    p = PSD(n, mode="exp", alpha=0.3)
    p.accumulate(np.concatenate([x, x[: n // 2]]))  # a trailing partial frame is dropped
    assert p.count == 9 and p.power_twosided().tobytes() == ref

    def run(obj, chunk):
        obj.accumulate(chunk)
        return obj.psd_db()

    blob = assert_state_roundtrip(lambda: PSD(n, mode="exp", alpha=0.3), run, x, cut=3 * n)
    assert len(blob) == 40 + 8 * n and blob[:4] == b"PSD " and blob[16:20] == b"ATRC"
    assert_header_rules(whole)
    bad = bytearray(whole.get_state())
    bad[16] ^= 1  # the nested accumulator header
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        whole.set_state(bytes(bad))
    assert whole.power_twosided().tobytes() == ref


def test_hold_modes():
    frames = [cnoise(64) for _ in range(6)]
    hi, lo = PSD(64, mode="maxhold"), PSD(64, mode="minhold")
    prev_hi = prev_lo = None
    for f in frames:
        hi.accumulate(f)
        lo.accumulate(f)
        if prev_hi is not None:
            assert np.all(hi.power_twosided() >= prev_hi) and np.all(lo.power_twosided() <= prev_lo)
        prev_hi, prev_lo = hi.power_twosided(), lo.power_twosided()
    assert (hi.mode, lo.mode) == (2, 3)


def test_measurements_of_a_two_tone_spectrum():
    n = 1024
    t = np.arange(4 * n)
    x = (np.exp(2j * np.pi * 0.125 * t) + 10 ** (-30 / 20) * np.exp(-2j * np.pi * 0.25 * t)
         + cnoise(4 * n, 1e-4)).astype(np.complex64)
    p = PSD(n, window="kaiser", beta=12.0)
    p.accumulate(x)
    assert p.sfdr(-150.0) == pytest.approx(30.0, abs=0.2)
    floor = p.noise_floor()
    assert floor == pytest.approx(noise_floor_db(p.psd_db()), abs=1e-9)
    assert p.snr(0.1, 0.15) == pytest.approx(p.psd_db().max() - floor, abs=1e-4)
    assert p.snr(2.0, 3.0) == 0.0 and p.snr(np.nan, 0.1) == 0.0


@pytest.mark.parametrize("kwargs", [dict(n=1), dict(fs=0.0), dict(fs=np.inf), dict(fs=np.nan),
                                    dict(full_scale=-1.0), dict(full_scale=np.nan), dict(n=2, window="hann"),
                                    dict(pad=-1), dict(n=2 ** 20, pad=65), dict(bits=65),
                                    dict(window="kaiser", beta=float("nan"))])
def test_refused_parameters(kwargs):
    with pytest.raises(MemoryError, match="^psd_create returned NULL$"):
        PSD(**kwargs)


def test_surface():
    with pytest.raises(ValueError, match="^window must be one of \"hann\", \"kaiser\", \"blackman-harris\", "
                                         "got 'flat'$"):
        PSD(window="flat")
    with pytest.raises(ValueError, match="^mode must be one of \"mean\", \"exp\", \"maxhold\", \"minhold\", "
                                         "got 'avg'$"):
        PSD(mode="avg")
    assert repr(PSD(64, fs=8000.0, window="kaiser", beta=6.0, bits=8)) == (
        "PSD(n=64, fs=8000.0, window='kaiser', beta=6.0, pad=1, full_scale=128.0, bits=8, mode='mean', "
        "alpha=0.1)")
    assert_lifecycle(lambda: PSD(16), [("accumulate", (np.ones(16, np.complex64),)), ("psd_db", ()),
                                       ("band_power", ([0.0, 0.1],)), ("sfdr", (-100.0,))])


def test_measurement_functions():
    assert magnitude_db_cf32([1, 0.1, 0], 1e-12, 0.0).round(4).tolist() == [0.0, -20.0, -240.0]
    assert magnitude_db_cf64([1, 10], 1e-12, 3.0).tolist() == [3.0, 23.0]
    assert np.isnan(magnitude_db_cf32([np.nan], 1e-12, 0.0)[0])
    db = np.full(32, -60, np.float32)
    db[7:10] = [-15, -10, -15]
    assert find_peaks_f32(db, 4, -30.0) == [(-0.25, -10.0)]
    assert find_peaks_f32(db, 4, -10.0) == []  # exactly at the gate
    db[20:22] = -20  # a plateau: only its first bin
    db[25], db[26] = -40, -35
    peaks = find_peaks_f32(db, 10, -100.0)
    assert [round(lv, 3) for _, lv in peaks][:2] == [-10.0, -15.0] and len(peaks) == 3  # the plateau refines up
    assert find_peaks_f32(db, 0, -100.0) == [] and find_peaks_f32(db[:2], 5, -100.0) == []
    assert len(find_peaks_f32(np.tile(np.float32([0, 1]), 50), 2 ** 63, -5.0)) == 49
    # Sub-bin refinement agrees with the true frequency of an off-centre tone.
    p = PSD(256, window="blackman-harris")
    p.accumulate(tone(256, 0.1234))
    (f, level), = find_peaks_f32(p.psd_db(), 1, -50.0)
    assert f == pytest.approx(0.1234, abs=0.1 / 256) and level == pytest.approx(0.0, abs=1.0)
    assert (noise_floor_db([3, 1, 2]), noise_floor_db([4, 1, 3, 2]), noise_floor_db([])) == (2.0, 2.5, 0.0)
    assert noise_floor_db([np.nan, 1, 2, np.nan, 3]) == 3.0  # NaN sorts last
    for frac in (0.5, 0.99):
        assert obw_from_power([0, 0, 1, 0], 1000.0, frac) == 250.0
    assert obw_from_power([0, 0, 1, 0], 1000.0, 1.0) == 750.0  # the lower edge is then the first bin
    assert obw_from_power([1, 1, 1, 1], 4.0, 1.0) == 4.0
    for frac in (0.0, -1.0, 1.5, np.nan):
        assert obw_from_power([1, 1, 1, 1], 4.0, frac) == 0.0
    assert obw_from_power([], 4.0, 0.5) == 0.0 and obw_from_power([np.inf, 1], 4.0, 0.5) == 0.0
