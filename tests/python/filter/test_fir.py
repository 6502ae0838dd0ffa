import numpy as np
import pytest
import scipy.signal as ss

from veltra.filter import FIR

from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip)

RNG = np.random.default_rng(11)


def cnoise(n, rng=RNG):
    return (rng.normal(size=n) + 1j * rng.normal(size=n)).astype(np.complex64)


def sum_order_reference(h, x):
    """The stated arithmetic in NumPy float32: per output, start from +0 and add tap
    k = 0, 1, ... (real taps: one product per component; complex taps: re += xr*hr - xi*hi,
    im += xi*hr + xr*hi), each operation rounded to float32."""
    m = len(h) - 1
    s = np.concatenate([np.zeros(m, np.complex64), x])
    xr, xi = s.real.copy(), s.imag.copy()
    re = np.zeros(len(x), np.float32)
    im = np.zeros(len(x), np.float32)
    for k in range(len(h)):
        a, b = xr[m - k:m - k + len(x)], xi[m - k:m - k + len(x)]
        if h.dtype == np.float32:
            re = re + h[k] * a
            im = im + h[k] * b
        else:
            hr, hi = np.float32(h[k].real), np.float32(h[k].imag)
            re = re + (a * hr - b * hi)
            im = im + (b * hr + a * hi)
    return (re + 1j * im.astype(np.complex64)).astype(np.complex64)


@pytest.mark.parametrize("ntaps", [1, 3, 64, 101])
@pytest.mark.parametrize("kind", ["real", "complex"])
def test_matches_lfilter_and_the_stated_sum_order(ntaps, kind):
    h = RNG.normal(size=ntaps).astype(np.float32) if kind == "real" else cnoise(ntaps)
    x = cnoise(5000)
    f = FIR(h)
    assert f.is_real == (kind == "real") and f.num_taps == ntaps
    y = f.execute(x)
    assert y.dtype == np.complex64 and y.shape == x.shape
    ref = ss.lfilter(h.astype(np.complex128), 1, x.astype(np.complex128))
    scale = np.sqrt(ntaps) * np.abs(h).max() * 4
    np.testing.assert_allclose(y, ref, rtol=0, atol=2e-6 * scale)
    # Bit for bit the float32 sum from k = 0 upward, whatever SIMD level ran it.
    assert y.tobytes() == sum_order_reference(h, x).tobytes()


def test_spec_impulse_and_reset():
    f = FIR(np.array([0.25, 0.5, 0.25], np.float32))
    imp = np.array([1, 0, 0], np.complex64)
    np.testing.assert_array_equal(f.execute(imp), [0.25, 0.5, 0.25])
    np.testing.assert_array_equal(f.execute(imp), [0.25, 0.5, 0.25])  # delay held zeros
    f.execute(np.ones(5, np.complex64))
    f.reset()
    np.testing.assert_array_equal(f.execute(imp), [0.25, 0.5, 0.25])
    assert f.execute_max_out() == 0


@pytest.mark.parametrize("taps", [np.float32([0.5, -1.0, 2.0, 0.25, 3.0]),
                                  cnoise(64, np.random.default_rng(2))])
def test_split_invariance_and_state(taps):
    x = cnoise(6000, np.random.default_rng(3))
    make = lambda: FIR(taps)
    run = lambda o, c: o.execute(c)
    # Cuts straddling the core's internal chunking.
    assert_split_invariant(make, run, x[:300])
    assert_split_invariant(make, run, x, cuts=[1, 2047, 2048, 2049, 4097, 5999], trials=3)
    blob = assert_state_roundtrip(make, run, x, cut=2500)
    assert len(blob) == 8 + 8 * len(taps)
    assert blob[:8] == b"FIR_\x01\x00\x01\x00"
    f = make()
    f.execute(x[:10])
    assert_header_rules(f)


def test_delay_line_blob_layout():
    f = FIR(np.ones(4, np.float32))
    x = np.arange(1, 7, dtype=np.complex64)
    f.execute(x)
    blob = f.get_state()
    assert len(blob) == 8 + 8 * 4 == f.state_bytes()
    np.testing.assert_array_equal(np.frombuffer(blob[16:], np.complex64), x[-3:])  # oldest first
    one = FIR(np.float32([3.0]))
    assert one.state_bytes() == 16 and len(one.get_state()) == 16
    np.testing.assert_array_equal(one.execute(x), 3 * x)


def test_taps_conversion_rules():
    assert FIR(np.ones(3, np.float32)).is_real
    assert FIR(np.ones(3, ">f4")).is_real  # byte order does not matter, only the type
    for taps in ([1.0, 2.0], np.ones(3), [1, 2, 3], np.ones(2, np.complex128), [1 + 2j]):
        assert not FIR(taps).is_real
    # float64 taps are narrowed to complex64 with a zero imaginary part.
    x = cnoise(50)
    np.testing.assert_array_equal(FIR([0.5, 0.25]).execute(x),
                                  FIR(np.complex64([0.5, 0.25])).execute(x))
    for bad in (np.ones((2, 2), np.float32), 1.0):
        with pytest.raises(ValueError, match="^taps must be a 1-D array$"):
            FIR(bad)
    for empty in ([], np.zeros(0, np.float32)):
        with pytest.raises(MemoryError, match="^fir_create returned NULL$"):
            FIR(empty)
    with pytest.raises((TypeError, ValueError)):
        FIR(["a", "b"])


def test_out_rules_and_in_place():
    h = cnoise(7)
    x = cnoise(100)
    want = FIR(h).execute(x)
    big = np.full(130, 9 + 9j, np.complex64)
    y = FIR(h).execute(x, out=big)
    assert y.shape == (100,) and y.base is big
    np.testing.assert_array_equal(y, want)
    assert np.all(big[100:] == 9 + 9j)

    buf = x.copy()
    y = FIR(h).execute(buf, out=buf)  # in place
    np.testing.assert_array_equal(buf, want)
    assert y.base is buf
    # Overlap in either direction, over blocks longer than the core's internal chunk,
    # behaves as if the input were copied first.
    long_x = cnoise(5000)
    long_want = FIR(h).execute(long_x)
    for shift in (1, -1, 40, -100):
        buf = np.zeros(5200, np.complex64)
        buf[100:5100] = long_x
        src, dst = buf[100:5100], buf[100 + shift:5100 + shift]
        np.testing.assert_array_equal(FIR(h).execute(src, out=dst), long_want)

    with pytest.raises(ValueError, match=r"^out has 99 elements, need >= 100$"):
        FIR(h).execute(x, out=np.empty(99, np.complex64))
    for bad in (np.empty(100, np.complex128), np.empty(200, np.complex64)[::2], list(x)):
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray"):
            FIR(h).execute(x, out=bad)


def test_input_conversion():
    h = np.float32([1.0, 0.5])
    x2 = cnoise(12).reshape(3, 4)
    np.testing.assert_array_equal(FIR(h).execute(x2), FIR(h).execute(x2.ravel()))
    assert FIR(h).execute(np.zeros(0, np.complex64)).shape == (0,)
    np.testing.assert_array_equal(FIR(h).execute(np.float32([1, 2])), [1, 2.5])  # safe cast
    with pytest.raises(TypeError):
        FIR(h).execute(np.ones(3, np.complex128))  # would lose precision


def test_nan_input_propagates_as_values():
    h = np.ones(4, np.float32)
    x = np.ones(20, np.complex64)
    x[5] = np.nan
    f = FIR(h)
    y = f.execute(x)
    assert y.shape == (20,)
    bad = np.isnan(y.real)
    np.testing.assert_array_equal(np.flatnonzero(bad), [5, 6, 7, 8])
    assert np.all(np.isfinite(f.execute(np.ones(10, np.complex64))[3:]))
    f.reset()
    assert np.all(np.isfinite(f.execute(np.ones(10, np.complex64))))


def test_lifecycle():
    assert_lifecycle(lambda: FIR(np.ones(3, np.float32)),
                     calls=[("execute", (np.ones(2, np.complex64),)), ("execute_max_out", ()),
                            ("set_state", (b"",))])


def test_example_script(capsys):
    import pathlib
    import runpy

    path = pathlib.Path(__file__).parents[3] / "examples" / "lowpass_filter.py"
    y = runpy.run_path(str(path))["main"]()
    printed = capsys.readouterr().out
    assert "39 taps" in printed and len(y) == 20000
    # The interferer is gone, the wanted tone kept.
    n = np.arange(100, 20000)
    assert abs(np.mean(y[100:] * np.exp(-2j * np.pi * 0.35 * n))) < 1e-3
    assert abs(np.mean(y[100:] * np.exp(-2j * np.pi * 0.05 * n))) == pytest.approx(1, abs=0.01)
