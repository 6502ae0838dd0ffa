import numpy as np
import pytest
import scipy.signal as ss

from veltra.spectral import Corr, Corr2D

from vxcheck import assert_header_rules, assert_lifecycle, assert_state_roundtrip

RNG = np.random.default_rng(23)


def cnoise(shape):
    return (RNG.normal(size=shape) + 1j * RNG.normal(size=shape)).astype(np.complex64)


def circ_corr(x, r):
    """R[m] = sum_p x[(p + m) % n] conj(r[p]), over every axis."""
    return np.fft.ifftn(np.fft.fftn(x) * np.conj(np.fft.fftn(r)))


@pytest.mark.parametrize("n", [64, 100, 17])
def test_matches_fft_formula_and_scipy(n):
    r, x = cnoise(n), cnoise(n)
    y = Corr(r).execute(x)
    want = circ_corr(x.astype(np.complex128), r.astype(np.complex128))
    np.testing.assert_allclose(y, want, rtol=0, atol=2e-5 * n)
    # scipy.signal.correlate over the circularly extended input gives the same lags.
    ext = np.concatenate([x, x[:-1]]).astype(np.complex128)
    np.testing.assert_allclose(y, ss.correlate(ext, r.astype(np.complex128), mode="valid"), atol=2e-5 * n)


def test_dwell_sums_frames_and_interpolated_grid():
    n, d = 64, 3
    r = cnoise(n)
    frames = [cnoise(n) for _ in range(2 * d)]
    c = Corr(r, dwell=d)
    outs = [c.execute(f) for f in frames]
    assert [o is None for o in outs] == [True, True, False] * 2 and c.count == 0
    for k in (0, 1):
        want = sum(circ_corr(f.astype(np.complex128), r) for f in frames[k * d:(k + 1) * d])
        np.testing.assert_allclose(outs[k * d + d - 1], want, atol=1e-3)
    # A 2n grid holds the native values at every even index, with the native peak height.
    for m in (64, 63):
        r = cnoise(m)
        native = Corr(r).execute(np.roll(r, 9))
        fine = Corr(r, n_out=2 * m).execute(np.roll(r, 9))
        assert fine.shape == (2 * m,)
        np.testing.assert_allclose(fine[::2], native, atol=1e-4 * m)
        assert int(np.argmax(abs(fine))) == 18
    assert Corr(r, n_out=3 * 63).execute(r).shape == (189,)


def test_spec_cases_and_state():
    c = Corr(np.complex64([1, 0, 0, 0]), dwell=2)
    assert c.execute(np.ones(4, np.complex64)) is None
    np.testing.assert_array_equal(c.execute(np.ones(4, np.complex64)), [2, 2, 2, 2])
    short = Corr(np.complex64([1, 0, 0, 0])).execute([1, 2])  # zero-extended
    np.testing.assert_allclose(short, [1, 2, 0, 0], atol=1e-6)
    out = np.zeros(10, np.complex64)
    v = Corr(np.complex64([1, 0])).execute(np.complex64([3, 4, 5]), out=out)
    assert v.base is out and v.tolist() == [3, 4]
    never = Corr(np.ones(4, np.complex64), dwell=0)
    assert all(never.execute(np.ones(4, np.complex64)) is None for _ in range(3)) and never.count == 3
    for bad in ([], np.zeros(0, np.complex64)):
        with pytest.raises(MemoryError, match="^corr_create returned NULL$"):
            Corr(bad)
    with pytest.raises(MemoryError, match="^corr_create returned NULL$"):
        Corr(np.ones(8, np.complex64), n_out=7)
    with pytest.raises(ValueError, match="^ref must be a 1-D array$"):
        Corr(np.ones((2, 2), np.complex64))
    frames = cnoise((10, 32))
    make = lambda: Corr(frames[0], dwell=3)

    def run(obj, chunk):
        outs = [obj.execute(f) for f in chunk]
        return np.concatenate([o for o in outs if o is not None] or [np.zeros(0, np.complex64)])

    blob = assert_state_roundtrip(make, run, frames, cut=4)
    assert len(blob) == 24 + 8 * 32 and blob[:4] == b"CORR" and blob[16] == 1
    obj = make()
    run(obj, frames[:2])
    assert_header_rules(obj)
    bad = bytearray(obj.get_state())
    bad[16:24] = (3).to_bytes(8, "little")  # a count not below dwell
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        obj.set_state(bytes(bad))
    assert repr(make()) == "Corr(n=32, dwell=3, n_out=32)"
    assert_lifecycle(make, [("execute", (frames[0],))])


@pytest.mark.parametrize("shape", [(4, 4), (3, 5), (16, 12)])
def test_2d_matches_fft2_formula_and_grids(shape):
    r, x = cnoise(shape), cnoise(shape)
    c = Corr2D(r)
    assert not c.row_path and c.n_out == r.size
    y = c.execute(x.ravel()).reshape(shape)
    np.testing.assert_allclose(y, circ_corr(x.astype(np.complex128), r), atol=1e-4 * r.size)
    ny, nx = shape
    fine = Corr2D(r, ny_out=2 * ny, nx_out=2 * nx).execute(x).reshape(2 * ny, 2 * nx)
    np.testing.assert_allclose(fine[::2, ::2], y, atol=1e-4 * r.size)


def test_2d_row_path_single_lag_and_refusals():
    r = np.zeros((4, 6), np.complex64)
    r[0] = cnoise(6)
    x = cnoise((4, 6))
    full = circ_corr(x.astype(np.complex128), r)
    row = Corr2D(r)
    assert row.row_path
    np.testing.assert_allclose(row.execute(x).reshape(4, 6), full, atol=1e-4)
    wide = Corr2D(r, nx_out=12).execute(x).reshape(4, 12)  # row path, interpolated rows
    np.testing.assert_allclose(wide[:, ::2], full, atol=1e-4)
    tall = Corr2D(r, ny_out=8)  # a taller grid takes the 2-D path
    assert not tall.row_path
    np.testing.assert_allclose(tall.execute(x).reshape(8, 6)[::2], full, atol=1e-4)
    for col in (0, 4):
        one = Corr2D(r, col_out=col, dwell=2)
        assert one.execute(x) is None
        np.testing.assert_allclose(one.execute(x), 2 * full[:, col], atol=1e-4)  # R itself, summed
        assert one.n_out == 4
    ones = np.zeros((2, 2), np.complex64)
    ones[0, 0] = 1
    c = Corr2D(ones, dwell=2)
    assert c.execute(np.ones(4, np.complex64)) is None
    np.testing.assert_array_equal(c.execute(np.ones(4, np.complex64)), [2, 2, 2, 2])
    r2 = r.copy()
    r2[1, 0] = 1
    for kwargs in [dict(ref=r, col_out=6), dict(ref=r, col_out=1, nx_out=12), dict(ref=r2, col_out=0),
                   dict(ref=r, dwell=0), dict(ref=r, ny_out=3), dict(ref=r, nx_out=5),
                   dict(ref=np.zeros((0, 4), np.complex64)), dict(ref=np.zeros((3, 0), np.complex64))]:
        with pytest.raises(MemoryError, match="^corr2d_create returned NULL$"):
            Corr2D(**kwargs)
    for bad in (np.ones(4, np.complex64), np.ones((2, 2, 2), np.complex64)):
        with pytest.raises(ValueError, match=r"^ref must be a 2-D \(ny, nx\) array$"):
            Corr2D(bad)
    make = lambda: Corr2D(r, dwell=2)
    frames = cnoise((7, 24))
    blob = assert_state_roundtrip(make, lambda o, ch: np.concatenate(
        [v for v in (o.execute(f) for f in ch) if v is not None] or [np.zeros(0, np.complex64)]), frames, cut=3)
    assert len(blob) == 24 + 8 * 24 and blob[:4] == b"CR2D"
    assert repr(Corr2D(r, col_out=2)) == "Corr2D(ny=4, nx=6, dwell=1, ny_out=4, nx_out=6, col_out=2)"
    assert_lifecycle(make, [("execute", (frames[0],))])
