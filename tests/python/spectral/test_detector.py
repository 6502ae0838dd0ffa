import copy

import numpy as np
import pytest

from veltra.spectral import CorrDetector, CorrDetector2D

from vxcheck import assert_header_rules, assert_lifecycle, assert_state_roundtrip, random_cuts

RNG = np.random.default_rng(29)


def cnoise(shape, s=1.0):
    return (s * (RNG.normal(size=shape) + 1j * RNG.normal(size=shape))).astype(np.complex64)


def oracle(frames, ref, lo, hi, mode, threshold, dwell=1):
    """Records an independent NumPy detector would report."""
    out = []
    n = ref.size
    for k in range(dwell - 1, len(frames), dwell):
        r = sum(np.fft.ifft(np.fft.fft(f.ravel()) * np.conj(np.fft.fft(ref.ravel())))
                for f in frames[k - dwell + 1:k + 1]) if ref.ndim == 1 else sum(
            np.fft.ifft2(np.fft.fft2(f) * np.conj(np.fft.fft2(ref))) for f in frames[k - dwell + 1:k + 1])
        mag = np.abs(r).ravel()
        band = np.sort(mag[lo:hi + 1])
        noise = {"mean": band.mean(), "median": band[len(band) // 2], "min": band[0], "max": band[-1]}[mode]
        stat = mag.max() / noise if noise > 0 else 0.0
        if threshold == 0 or stat > threshold:
            out.append((int(np.argmax(mag)), mag.max(), noise, stat))
    assert n == ref.size
    return out


@pytest.mark.parametrize("mode", ["mean", "median", "min", "max"])
def test_records_match_an_independent_detector(mode):
    n = 64
    ref = cnoise(n)
    frames = []
    for _ in range(12):
        f = cnoise(n, 0.7)
        if RNG.random() < 0.6:
            f = f + np.roll(ref, int(RNG.integers(n)))
        frames.append(f.astype(np.complex64))
    thr = 3.0
    d = CorrDetector(ref, noise_lo=5, noise_hi=60, noise_mode=mode, threshold=thr, dwell=2)
    got = d.push(np.concatenate(frames))
    want = oracle(frames, ref, 5, 60, mode, thr, dwell=2)
    assert [g[0] for g in got] == [w[0] for w in want]
    np.testing.assert_allclose([g[1:] for g in got], [w[1:] for w in want], rtol=1e-4)
    last = d.last_corr
    assert last.dtype == np.complex64 and last.shape == (n,)


def test_any_chunking_gives_the_same_records_and_nothing_is_dropped():
    ref = cnoise(8)
    x = cnoise(8 * 300)
    whole = CorrDetector(ref).push(x)
    assert len(whole) == 300  # far beyond 64 records in one push
    for seed in range(4):
        d = CorrDetector(ref)
        edges = [0, *random_cuts(len(x), np.random.default_rng(seed)), len(x)]
        got = sum((d.push(x[a:b]) for a, b in zip(edges[:-1], edges[1:])), [])
        assert got == whole
    big = CorrDetector(ref)
    assert len(big.push(x[:1000])) == 125 and big.push(x[1000:1003]) == []

    def run(obj, chunk):
        return np.array(obj.push(chunk), dtype=float).reshape(-1, 4)

    blob = assert_state_roundtrip(lambda: CorrDetector(ref, dwell=3), run, x[:500], cut=101)
    assert len(blob) == (24 + 8 * 8) + 8 * 512 + 48 + 8 * 8 and blob[:4] == b"DET1" and blob[16:20] == b"CORR"


def test_spec_cases():
    ref = np.zeros(8, np.complex64)
    ref[0] = 1
    d = CorrDetector(ref, noise_lo=1, noise_hi=7)
    assert d.ring_cap == 512 and d.last_corr is None
    assert d.push(np.ones(8, np.complex64)) == [(0, 1.0, 1.0, 1.0)]
    np.testing.assert_allclose(d.last_corr, np.ones(8), atol=1e-6)
    d.reset()
    assert d.last_corr is None and d.count == 0
    assert (d.push(np.ones(3, np.complex64)), d.push(np.ones(5, np.complex64))) == ([], [(0, 1.0, 1.0, 1.0)])
    r = CorrDetector(ref, noise_lo=9, noise_hi=2)
    assert (r.noise_lo, r.noise_hi) == (2, 7)
    x = np.zeros(8, np.complex64)
    x[:4] = [8, 1, 2, 3]  # |R| = 8, 1, 2, 3, 0, 0, 0, 0; bins 0..3 sorted 1, 2, 3, 8
    assert CorrDetector(ref, noise_lo=0, noise_hi=3, noise_mode="median").push(x)[0][2] == 3.0  # upper middle
    two = x.copy()
    two[:2] = [4, 2]
    two[2:] = 2
    # peak 4, mean noise over bins 1..7 = 2: exactly the threshold, not reported
    assert CorrDetector(ref, noise_lo=1, noise_hi=7, threshold=2.0).push(two) == []
    assert CorrDetector(ref, noise_lo=1, noise_hi=7, threshold=1.99).push(two)[0][3] == 2.0
    assert CorrDetector(ref).push(np.zeros(8, np.complex64)) == [(0, 0.0, 0.0, 0.0)]
    assert CorrDetector(ref, threshold=np.nan).push(np.ones(8, np.complex64)) == []
    d.threshold = 5.0
    assert d.threshold == 5.0
    big = CorrDetector(np.ones(1000, np.complex64))
    assert big.ring_cap == 1024 and big.n == 1000
    never = CorrDetector(ref, dwell=0)
    assert never.push(np.ones(80, np.complex64)) == [] and never.count == 10


def test_2d_detector():
    ref = np.zeros((4, 4), np.complex64)
    ref[0, 0] = 1
    x = np.zeros(16, np.complex64)
    x[6] = 1
    d = CorrDetector2D(ref)
    assert d.push(x) == [(1, 2, 1.0, 0.0625, 16.0)]
    assert (d.ny, d.nx, d.n) == (4, 4, 16) and d.last_corr.shape == (16,)
    ref2 = cnoise((4, 8))
    frames = [np.roll(ref2, (1, 3), axis=(0, 1)) + cnoise((4, 8), 0.3) for _ in range(3)]
    got = CorrDetector2D(ref2, threshold=2.0).push(np.stack(frames))  # any shape, read flat
    want = oracle(frames, ref2, 0, 31, "mean", 2.0)
    assert [(g[0], g[1]) for g in got] == [divmod(w[0], 8) for w in want] == [(1, 3)] * 3
    np.testing.assert_allclose([g[2:] for g in got], [w[1:] for w in want], rtol=1e-4)

    def run(obj, chunk):
        return np.array(obj.push(chunk), dtype=float).reshape(-1, 5)

    flat = np.concatenate([f.ravel() for f in frames] * 3)
    blob = assert_state_roundtrip(lambda: CorrDetector2D(ref2, dwell=2), run, flat, cut=45)
    assert len(blob) == (24 + 8 * 32) + 8 * 512 + 56 + 8 * 32 and blob[:4] == b"DET2"
    with pytest.raises(MemoryError, match="^detector2d_create returned NULL$"):
        CorrDetector2D(ref2, dwell=0)
    with pytest.raises(ValueError, match="^ref must be a 2-D array$"):
        CorrDetector2D(np.ones(4, np.complex64))
    assert_lifecycle(lambda: CorrDetector2D(ref2), [("push", (flat,))])


def test_blob_checks_and_refusals():
    ref = cnoise(16)
    d = CorrDetector(ref, dwell=2)
    d.push(cnoise(16 * 3 + 5))
    good = d.get_state()
    assert_header_rules(d)
    lc = 24 + 8 * 16
    tail = 16 + lc + 8 + 8 * 512
    for at, value in [(16 + lc, (513).to_bytes(8, "little")),    # pending above ring_cap
                      (tail, (16).to_bytes(8, "little")),        # lag outside the frame
                      (tail + 20, (2).to_bytes(4, "little")),    # has_result not a flag
                      (16 + 16, (2).to_bytes(8, "little"))]:     # correlator count not below dwell
        bad = bytearray(good)
        bad[at:at + len(value)] = value
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            d.set_state(bytes(bad))
        assert d.get_state() == good
    with pytest.raises(ValueError, match="^noise_mode must be one of \"mean\", \"median\", \"min\", \"max\", "
                                         "got 'avg'$"):
        CorrDetector(ref, noise_mode="avg")
    for bad in ([], np.zeros(0, np.complex64)):
        with pytest.raises(MemoryError, match="^detector_create returned NULL$"):
            CorrDetector(bad)
    with pytest.raises(ValueError, match="^ref must be a 1-D array$"):
        CorrDetector(np.ones((2, 2), np.complex64))
    with pytest.raises(TypeError):
        d.push(x=ref)  # positional only
    assert repr(CorrDetector(ref, noise_hi=3)) == (
        "CorrDetector(n=16, dwell=1, noise_lo=0, noise_hi=3, noise_mode='mean', threshold=0.0)")
    # last_corr is a copy: it outlives the detector.
    e = CorrDetector(ref)
    e.push(ref)
    keep = e.last_corr
    assert copy.deepcopy(e).last_corr.tobytes() == keep.tobytes()  # the last dump travels too
    e.destroy()
    assert abs(keep[0]) == pytest.approx(np.sum(np.abs(ref) ** 2), rel=1e-5)
    assert_lifecycle(lambda: CorrDetector(ref), [("push", (ref,))])
