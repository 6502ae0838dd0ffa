import numpy as np
import pytest

from veltra.spectral import FFT, FFT2D

from vxcheck import assert_lifecycle

RNG = np.random.default_rng(5)


def cnoise(shape, dtype=np.complex128):
    return (RNG.normal(size=shape) + 1j * RNG.normal(size=shape)).astype(dtype)


def oracle(x, sign, axes):
    if sign < 0:
        return np.fft.fftn(x, axes=axes)
    return np.fft.ifftn(x, axes=axes) * np.prod([x.shape[a] for a in axes])


@pytest.mark.parametrize("sign", [-1, 0, 1])
@pytest.mark.parametrize("shape", [(1024,), (4800,), (1000,), (17,), (1,), (17, 4), (3, 2), (4, 12), (16, 48)])
def test_matches_numpy_fft(shape, sign):
    x = cnoise(shape)
    ref = oracle(x, sign, tuple(range(len(shape))))
    eng = FFT(shape[0], sign) if len(shape) == 1 else FFT2D(*shape, sign)
    y64 = eng.execute_cf64(x)
    y32 = eng.execute_cf32(x.astype(np.complex64))
    assert y64.dtype == np.complex128 and y32.dtype == np.complex64 and y64.shape == (x.size,)
    scale = np.sqrt(x.size) * np.log2(x.size + 1) + 1
    np.testing.assert_allclose(y64, ref.ravel(), rtol=0, atol=1e-13 * scale)
    np.testing.assert_allclose(y32, ref.ravel(), rtol=0, atol=3e-6 * scale)


@pytest.mark.parametrize("make", [lambda: FFT(1000), lambda: FFT(17), lambda: FFT2D(16, 12)])
def test_lengths_outside_single_precision_are_widened_and_narrowed(make):
    x = cnoise(1000 if make().execute_cf32_max_out() == 1000 else make().execute_cf32_max_out(), np.complex64)
    f = make()
    want = f.execute_cf64(x.astype(np.complex128)).astype(np.complex64)
    assert f.execute_cf32(x).tobytes() == want.tobytes()


def test_spec_values():
    np.testing.assert_array_equal(FFT(4).execute_cf32([1, 0, 0, 0]), np.ones(4))
    np.testing.assert_array_equal(FFT(4).execute_cf32(np.ones(4, np.complex64)), [4, 0, 0, 0])
    x = cnoise(64)
    back = FFT(64, -1).execute_cf64(FFT(64, +1).execute_cf64(x))
    np.testing.assert_allclose(back, 64 * x, atol=1e-12)
    imp = np.zeros(16, np.complex64)
    imp[0] = 1
    np.testing.assert_array_equal(FFT2D(4, 4).execute_cf32(imp), np.ones(16))


@pytest.mark.parametrize("n", [1024, 1000])
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_same_bits_whatever_the_memory_layout(n, dtype):
    """Misaligned views, in place, longer inputs and a second object all give one result;
    a short input is zero-extended."""
    name = "cf32" if dtype == np.complex64 else "cf64"
    x = cnoise(n, dtype)
    ref = getattr(FFT(n), f"execute_{name}")(x).tobytes()
    f = FFT(n)
    off = np.dtype(dtype).itemsize // 2  # element-aligned for NumPy, off any SIMD alignment
    raw = np.zeros(x.nbytes + 64, np.uint8)
    base = -raw.ctypes.data % 64 + off
    mis = raw[base:base + x.nbytes].view(dtype)
    mis[:] = x
    assert getattr(f, f"execute_{name}")(mis).tobytes() == ref
    out_raw = np.zeros(x.nbytes + 64, np.uint8)
    base = -out_raw.ctypes.data % 64 + off
    mis_out = out_raw[base:base + x.nbytes].view(dtype)
    assert getattr(f, f"execute_{name}")(x, out=mis_out).tobytes() == ref
    y = x.copy()
    assert getattr(f, f"execute_inplace_{name}")(y, out=y).tobytes() == ref
    longer = np.concatenate([x, cnoise(7, dtype)])
    got = getattr(f, f"execute_inplace_{name}")(longer)
    assert got.shape == (n,) and got.tobytes() == ref
    short = getattr(f, f"execute_inplace_{name}")(x[:10])
    np.testing.assert_allclose(short, np.fft.fft(x[:10], n), rtol=0, atol=1e-4)


def test_integer_input_is_scaled_to_full_scale():
    iq = RNG.integers(-32768, 32768, size=2 * 256).astype(np.int16)
    want = FFT(256).execute_cf32((iq[0::2] + 1j * iq[1::2]).astype(np.complex64) / 32768)
    assert FFT(256).execute_ci16(iq).tobytes() == want.tobytes()
    iq8 = RNG.integers(-128, 128, size=2 * 100).astype(np.int8)
    want = FFT(100).execute_cf32((iq8[0::2] + 1j * iq8[1::2]).astype(np.complex64) / 128)
    assert FFT(100).execute_ci8(iq8).tobytes() == want.tobytes()
    full = FFT(8).execute_ci16(np.array([32767, 0] + [0] * 14, np.int16))
    np.testing.assert_array_equal(full, np.full(8, 32767 / 32768, np.complex64))
    assert FFT(8).execute_ci8([1, 2, 3]).shape == (8,)  # short and odd: zero-extended
    with pytest.raises(TypeError):
        FFT(8).execute_ci16(iq=iq)  # positional only


def test_refusals_and_surface():
    for bad in (lambda: FFT(0), lambda: FFT(2 ** 31), lambda: FFT(-1)):
        with pytest.raises(MemoryError, match="^fft_create returned NULL$"):
            bad()
    for bad in (lambda: FFT2D(0, 4), lambda: FFT2D(4, 2 ** 31), lambda: FFT2D(2 ** 31 - 1, 2 ** 31 - 1)):
        with pytest.raises(MemoryError, match="^fft2d_create returned NULL$"):
            bad()
    with pytest.raises(ValueError, match="^out has 3 elements, need >= 4$"):
        FFT(4).execute_cf64(np.ones(4), out=np.empty(3, np.complex128))
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
        FFT(4).execute_cf32(np.ones(4, np.complex64), out=np.empty(4, np.complex128))
    f = FFT(8, sign=0)
    assert (f.n, f.sign, f.execute_cf32_max_out()) == (8, 0, 8) and repr(f) == "FFT(n=8, sign=0)"
    g = FFT2D(3, 5, 1)
    assert (g.ny, g.nx, g.sign, g.execute_inplace_cf64_max_out()) == (3, 5, 1, 15)
    assert repr(g) == "FFT2D(ny=3, nx=5, sign=1)"
    assert_lifecycle(lambda: FFT(8), [("execute_cf32", (np.ones(8),)), ("execute_ci16", (np.ones(16, np.int16),))])
    assert_lifecycle(lambda: FFT2D(2, 2), [("execute_cf64", (np.ones(4),))])
