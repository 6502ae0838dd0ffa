// veltra.spectral: FFT engines, window functions, spectral measurements and the PSD estimator.
#include "vxb.h"

#include <cstdio>

#include "fft.h"
#include "window.h"

namespace {

using namespace vxb;

struct FftPy : Handle<fft, fft_destroy> {};
struct Fft2dPy : Handle<fft2d, fft2d_destroy> {};

const char *const MODULE_DOC =
    "FFT engines, window functions, spectral measurements and the averaging PSD estimator.";

const char *const FFT_DOC = R"doc(Fixed-length discrete Fourier transform, planned once at construction.

``sign < 0`` computes ``X[k] = sum(x[m] * exp(-2j*pi*k*m/n))`` (``numpy.fft.fft``);
``sign >= 0`` the inverse kernel without the ``1/n`` (``numpy.fft.ifft(x) * n``).
Bins are in natural order. complex128 input runs in double precision; complex64
and integer input run in single precision when ``n`` is at least 16, a multiple
of 16 and of the form ``2**a * 3**b * 5**c``, and otherwise are widened to double
and narrowed back. Two objects of one length give bit-identical results, and so
do aligned, misaligned and in-place calls.

Parameters
----------
n : int, optional
    Transform length, 1 to 2**31 - 1. Default 1024.
sign : int, optional
    Direction: negative forward, zero or positive inverse. Default -1.
nthreads : int, optional
    Accepted and ignored. Default 1.

Raises
------
MemoryError
    "fft_create returned NULL" for ``n = 0``, a length beyond 2**31 - 1, or
    when memory runs out.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import FFT
>>> f = FFT(4)
>>> f.execute_cf32(np.ones(4, np.complex64))
array([4.+0.j, 0.+0.j, 0.+0.j, 0.+0.j], dtype=complex64)
>>> FFT(4, sign=1).execute_cf64([0, 1, 0, 0])
array([ 1.+0.j,  0.+1.j, -1.+0.j,  0.-1.j])
)doc";

const char *const FFT2D_DOC = R"doc(Fixed-size two-dimensional DFT over flat row-major arrays.

Row ``r``, column ``c`` of the ``ny`` by ``nx`` grid is element ``r*nx + c``; the
result is laid out the same way (reshape to ``(ny, nx)`` for ``numpy.fft.fft2``).
Unscaled in both dimensions. complex64 input runs in single precision when both
``ny`` and ``nx`` qualify as for ``FFT``, else in double precision.

Parameters
----------
ny, nx : int, optional
    Rows and columns, each 1 to 2**31 - 1. Default 64 and 64.
sign : int, optional
    Negative forward, zero or positive inverse. Default -1.
nthreads : int, optional
    Accepted and ignored. Default 1.

Raises
------
MemoryError
    "fft2d_create returned NULL" for a zero or oversized dimension.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import FFT2D
>>> x = np.zeros(16, np.complex64); x[0] = 1
>>> FFT2D(4, 4).execute_cf32(x).reshape(4, 4).real.tolist()[0]
[1.0, 1.0, 1.0, 1.0]
)doc";

std::string execute_doc(const char *dtype, const char *what, const char *n, bool inplace)
{
    std::string d = std::string("Transform ") + what + ".\n\nParameters\n----------\nx : array_like of " + dtype +
                    "\n    Input samples, read in C order. Only the first " + n +
                    " are used; a shorter\n    input is zero-extended.\n"
                    "out : ndarray of " + dtype + ", optional\n"
                    "    Destination of at least ``max(" + n + ", x.size)`` elements";
    d += inplace ? "; it may be `x` itself.\n" : ".\n";
    d += std::string("\nReturns\n-------\nndarray of ") + dtype + "\n    The " + n +
         " bins, one-dimensional; a view of `out` when given.\n\n"
         "Raises\n------\nTypeError\n    If `out` is not a writable, C-contiguous " + dtype +
         " ndarray, or `x` cannot be\n    converted without an unsafe cast.\nValueError\n"
         "    \"out has N elements, need >= M\".\n";
    return d;
}

const char *const EXAMPLE_1D = R"doc(
Examples
--------
>>> import numpy as np
>>> from veltra.spectral import FFT
>>> x = np.exp(2j * np.pi * 3 * np.arange(16) / 16)
>>> int(np.argmax(abs(FFT(16).execute_cf64(x))))
3
)doc";

const char *const EXAMPLE_INPLACE = R"doc(
Examples
--------
>>> import numpy as np
>>> from veltra.spectral import FFT
>>> x = np.zeros(32, np.complex64); x[0] = 1
>>> y = FFT(32).execute_inplace_cf32(x, out=x)
>>> bool(np.all(x == 1)), y.base is x
(True, True)
)doc";

const char *const EXAMPLE_2D = R"doc(
Examples
--------
>>> import numpy as np
>>> from veltra.spectral import FFT2D
>>> x = np.arange(12, dtype=np.complex128)
>>> y = FFT2D(3, 4).execute_cf64(x).reshape(3, 4)
>>> bool(np.allclose(y, np.fft.fft2(x.reshape(3, 4))))
True
)doc";

const char *const CI_DOC = R"doc(Transform interleaved %s I/Q samples.

Each component ``v`` becomes ``v * 2**-%d`` (full scale maps to 1.0) inside the
transform call, without an intermediate array.

Parameters
----------
iq : array_like of %s
    Interleaved I, Q values (positional only); ``iq.size // 2`` samples, of
    which the first ``n`` are used and a shorter input is zero-extended.

Returns
-------
ndarray of complex64
    The ``n`` bins.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import FFT
>>> FFT(4).%s(np.array([%d, 0, 0, 0, 0, 0, 0, 0], np.%s))
array([%s, %s, %s, %s], dtype=complex64)
)doc";

std::string ci_doc(const char *dtype, int shift, const char *method, int value, const char *bin)
{
    char buf[2048];
    std::snprintf(buf, sizeof buf, CI_DOC, dtype, shift, dtype, method, value, dtype, bin, bin, bin, bin);
    return buf;
}

const char *const MAX_OUT_DOC = "Bins every call writes (the plan size).\n\nReturns\n-------\nint\n";

template <class T, uint64_t (*F)(fft *, const T *, uint64_t, vx_cf32 *, uint64_t)>
nb::object execute_int(FftPy &h, nb::handle iq)
{
    Use<FftPy> c(h);
    InArray<T> in(iq);
    const uint64_t n = fft_execute_max_out(c);
    OutArray<vx_cf32> y(nb::none(), n);
    return y.finish(F(c, in.data(), in.size(), y.data(), y.capacity()));
}

// Fill a caller's float32 array in place with a window.
template <class F> void fill_window(nb::handle w, F fill)
{
    PyArrayObject *a = checked_out(w, NPY_FLOAT32, "w");
    fill(static_cast<float *>(PyArray_DATA(a)), static_cast<uint64_t>(PyArray_SIZE(a)));
}

const char *const KAISER_WINDOW_DOC = R"doc(Fill `w` with a Kaiser window of shape `beta`.

``w[j] = I0(beta * sqrt(1 - r**2)) / I0(beta)`` with ``r`` running from -1 to 1.

Parameters
----------
w : ndarray of float32
    Writable, C-contiguous destination; its size is the window length.
beta : float
    Shape parameter (>= 0), taken in single precision.

Raises
------
TypeError
    "w must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import kaiser_window
>>> w = np.empty(8, np.float32)
>>> kaiser_window(w, 6.0)
>>> np.round(w.astype(float), 4).tolist()
[0.0149, 0.1998, 0.5913, 0.9454, 0.9454, 0.5913, 0.1998, 0.0149]
)doc";

const char *const HANN_WINDOW_DOC = R"doc(Fill `w` with a symmetric Hann window (both ends 0; length 1 gives 1).

Parameters
----------
w : ndarray of float32
    Writable, C-contiguous destination.

Raises
------
TypeError
    "w must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import hann_window
>>> w = np.empty(8, np.float32)
>>> hann_window(w)
>>> np.round(w.astype(float), 4).tolist()
[0.0, 0.1883, 0.6113, 0.9505, 0.9505, 0.6113, 0.1883, 0.0]
)doc";

const char *const BH_WINDOW_DOC = R"doc(Fill `w` with a symmetric minimum 4-term Blackman-Harris window.

Parameters
----------
w : ndarray of float32
    Writable, C-contiguous destination.

Raises
------
TypeError
    "w must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import blackman_harris_window
>>> w = np.empty(8, np.float32)
>>> blackman_harris_window(w)
>>> np.round(w.astype(float), 4).tolist()
[0.0001, 0.0334, 0.3328, 0.8894, 0.8894, 0.3328, 0.0334, 0.0001]
)doc";

const char *const ENBW_DOC = R"doc(Equivalent noise bandwidth of a window, in bins: ``n * sum(w**2) / sum(w)**2``.

Parameters
----------
w : array_like
    One-dimensional window, converted to float32.

Returns
-------
float
    1.0 for a rectangular window; 0.0 for an empty window or one summing to 0.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import hann_window, kaiser_enbw
>>> w = np.empty(8, np.float32); hann_window(w)
>>> round(kaiser_enbw(w), 4)
1.7143
)doc";

const char *const BETA_DOC = R"doc(Kaiser beta for a window whose peak sidelobe lies `atten_db` below the main lobe.

Parameters
----------
atten_db : float
    Peak-sidelobe attenuation in dB.

Returns
-------
float
    ``0.12438*(A + 6.3)`` above 60 dB, ``0.76609*(A - 13.26)**0.4 +
    0.09834*(A - 13.26)`` above 13.26 dB, else 0 (rectangular).

Examples
--------
>>> from veltra.spectral import kaiser_beta_for_sidelobe
>>> round(kaiser_beta_for_sidelobe(90), 4), kaiser_beta_for_sidelobe(10)
(11.9778, 0.0)
)doc";

float enbw_of(nb::handle w)
{
    nb::object a = as_param_array(w, NPY_FLOAT32, 1, "w");
    auto *ap = reinterpret_cast<PyArrayObject *>(a.ptr());
    return kaiser_enbw(static_cast<const float *>(PyArray_DATA(ap)), static_cast<uint64_t>(PyArray_SIZE(ap)));
}

}  // namespace

NB_MODULE(spectral, m)
{
    init_module(m, MODULE_DOC);

    m.def("kaiser_window", [](nb::handle w, float beta) {
        fill_window(w, [beta](float *p, uint64_t n) { kaiser_window(p, n, beta); });
    }, "w"_a, "beta"_a, KAISER_WINDOW_DOC);
    m.def("hann_window", [](nb::handle w) { fill_window(w, hann_window); }, "w"_a, HANN_WINDOW_DOC);
    m.def("blackman_harris_window", [](nb::handle w) { fill_window(w, blackman_harris_window); }, "w"_a,
          BH_WINDOW_DOC);
    m.def("kaiser_enbw", enbw_of, "w"_a, ENBW_DOC);
    m.def("kaiser_beta_for_sidelobe", kaiser_beta_for_sidelobe, "atten_db"_a, BETA_DOC);

    Class<FftPy>(m, "FFT", FFT_DOC)
        .ctor(+[](Count n, int sign, int nthreads) { return fft_create(n, sign, nthreads); }, no_memory("fft"),
              "n"_a = Count{1024}, "sign"_a = -1, "nthreads"_a = 1)
        .repr(+[](const fft *f) { return Args().u("n", fft_get_n(f)).i("sign", fft_get_sign(f)); })
        .block<vx_cf64, vx_cf64, Gil::hold, InPlace::yes>(
            "execute_cf64", fft_execute_cf64, fft_execute_max_out,
            keep(execute_doc("complex128", "complex128 samples in double precision", "n", false) + EXAMPLE_1D))
        .block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>(
            "execute_cf32", fft_execute_cf32, fft_execute_max_out,
            keep(execute_doc("complex64", "complex64 samples", "n", false) + EXAMPLE_1D))
        .block<vx_cf64, vx_cf64, Gil::hold, InPlace::yes>(
            "execute_inplace_cf64", fft_execute_inplace_cf64, fft_execute_max_out,
            keep(execute_doc("complex128", "complex128 samples, possibly into `x` itself", "n", true) +
                 EXAMPLE_INPLACE))
        .block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>(
            "execute_inplace_cf32", fft_execute_inplace_cf32, fft_execute_max_out,
            keep(execute_doc("complex64", "complex64 samples, possibly into `x` itself", "n", true) +
                 EXAMPLE_INPLACE))
        .fn("execute_cf64_max_out", fft_execute_max_out, MAX_OUT_DOC)
        .fn("execute_cf32_max_out", fft_execute_max_out, MAX_OUT_DOC)
        .fn("execute_inplace_cf64_max_out", fft_execute_max_out, MAX_OUT_DOC)
        .fn("execute_inplace_cf32_max_out", fft_execute_max_out, MAX_OUT_DOC)
        .reset(fft_reset)
        .ro("n", fft_get_n, "Transform length.")
        .ro("sign", fft_get_sign, "Direction: negative forward, otherwise inverse.")
        .def("execute_ci16", execute_int<int16_t, fft_execute_ci16>,
             keep(ci_doc("int16", 15, "execute_ci16", -32768, "-1.+0.j")))
        .def("execute_ci8", execute_int<int8_t, fft_execute_ci8>,
             keep(ci_doc("int8", 7, "execute_ci8", -128, "-1.+0.j")));

    Class<Fft2dPy>(m, "FFT2D", FFT2D_DOC)
        .ctor(+[](Count ny, Count nx, int sign, int nthreads) { return fft2d_create(ny, nx, sign, nthreads); },
              no_memory("fft2d"), "ny"_a = Count{64}, "nx"_a = Count{64}, "sign"_a = -1, "nthreads"_a = 1)
        .repr(+[](const fft2d *f) {
            return Args().u("ny", fft2d_get_ny(f)).u("nx", fft2d_get_nx(f)).i("sign", fft2d_get_sign(f));
        })
        .block<vx_cf64, vx_cf64, Gil::hold, InPlace::yes>(
            "execute_cf64", fft2d_execute_cf64, fft2d_execute_max_out,
            keep(execute_doc("complex128", "a flat row-major complex128 grid", "ny*nx", false) + EXAMPLE_2D))
        .block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>(
            "execute_cf32", fft2d_execute_cf32, fft2d_execute_max_out,
            keep(execute_doc("complex64", "a flat row-major complex64 grid", "ny*nx", false) + EXAMPLE_2D))
        .block<vx_cf64, vx_cf64, Gil::hold, InPlace::yes>(
            "execute_inplace_cf64", fft2d_execute_inplace_cf64, fft2d_execute_max_out,
            keep(execute_doc("complex128", "a flat complex128 grid, possibly into `x` itself", "ny*nx", true) +
                 EXAMPLE_2D))
        .block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>(
            "execute_inplace_cf32", fft2d_execute_inplace_cf32, fft2d_execute_max_out,
            keep(execute_doc("complex64", "a flat complex64 grid, possibly into `x` itself", "ny*nx", true) +
                 EXAMPLE_2D))
        .fn("execute_cf64_max_out", fft2d_execute_max_out, MAX_OUT_DOC)
        .fn("execute_cf32_max_out", fft2d_execute_max_out, MAX_OUT_DOC)
        .fn("execute_inplace_cf64_max_out", fft2d_execute_max_out, MAX_OUT_DOC)
        .fn("execute_inplace_cf32_max_out", fft2d_execute_max_out, MAX_OUT_DOC)
        .reset(fft2d_reset)
        .ro("ny", fft2d_get_ny, "Rows (outer dimension).")
        .ro("nx", fft2d_get_nx, "Columns (inner dimension).")
        .ro("sign", fft2d_get_sign, "Direction: negative forward, otherwise inverse.");
}
