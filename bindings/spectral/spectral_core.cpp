// veltra.spectral: FFT engines, window functions, spectral measurements and the PSD estimator.
#include "vxb.h"

#include <cstdio>
#include <cstring>

#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <utility>
#include <vector>

#include "corr.h"
#include "corr2d.h"
#include "detector.h"
#include "detector2d.h"
#include "fft.h"
#include "fft2d.h"
#include "psd.h"
#include "specmeas.h"
#include "window.h"

namespace {

using namespace vxb;

struct FftPy : Handle<fft, fft_destroy> {};
struct Fft2dPy : Handle<fft2d, fft2d_destroy> {};
struct PsdPy : Handle<psd, psd_destroy> {};
struct CorrPy : Handle<corr, corr_destroy> {};
struct Corr2dPy : Handle<corr2d, corr2d_destroy> {};
struct DetectorPy : Handle<detector, detector_destroy> {};
struct Detector2dPy : Handle<detector2d, detector2d_destroy> {};

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

std::string execute_doc(const char *dtype, bool grid, bool inplace, const char *example)
{
    const std::string n = grid ? "ny*nx" : "n";
    std::string d = std::string("Transform ") + (grid ? "a flat row-major " : "") + dtype +
                    (grid ? " grid" : " samples") + (inplace ? ", possibly into `x` itself" : "") +
                    ".\n\nParameters\n----------\nx : array_like of " + dtype +
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
    return d + example;
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

// The four complex execute forms and their bounds, shared by FFT and FFT2D.
template <class H, class C>
void add_executes(Class<H> &cls, uint64_t (*e64)(C *, const vx_cf64 *, uint64_t, vx_cf64 *, uint64_t),
                  uint64_t (*e32)(C *, const vx_cf32 *, uint64_t, vx_cf32 *, uint64_t),
                  uint64_t (*i64)(C *, const vx_cf64 *, uint64_t, vx_cf64 *, uint64_t),
                  uint64_t (*i32)(C *, const vx_cf32 *, uint64_t, vx_cf32 *, uint64_t), uint64_t (*bound)(const C *),
                  bool grid, const char *example, const char *example_inplace)
{
    cls.template block<vx_cf64, vx_cf64, Gil::hold, InPlace::yes>(
           "execute_cf64", e64, bound, keep(execute_doc("complex128", grid, false, example)))
        .template block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>(
            "execute_cf32", e32, bound, keep(execute_doc("complex64", grid, false, example)))
        .template block<vx_cf64, vx_cf64, Gil::hold, InPlace::yes>(
            "execute_inplace_cf64", i64, bound, keep(execute_doc("complex128", grid, true, example_inplace)))
        .template block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>(
            "execute_inplace_cf32", i32, bound, keep(execute_doc("complex64", grid, true, example_inplace)));
    for (const char *name : {"execute_cf64_max_out", "execute_cf32_max_out", "execute_inplace_cf64_max_out",
                             "execute_inplace_cf32_max_out"})
        cls.fn(name, bound, MAX_OUT_DOC);
}

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

// ---- spectral measurements -----------------------------------------------------------

template <class T, class Floor>
nb::object magnitude_db(nb::handle x, Floor lin_floor, float offset_db,
                        void (*f)(const T *, uint64_t, float *, Floor, float))
{
    InArray<T> in(x);
    OutArray<float> y(nb::none(), in.size());
    f(in.data(), in.size(), y.data(), lin_floor, offset_db);
    return y.finish(in.size());
}

std::vector<std::pair<float, float>> peaks_of(nb::handle db, Count n_peaks, float min_db)
{
    InArray<float> in(db);
    // Never more than the candidate capacity, whatever the caller asks for.
    const uint64_t room = std::min<uint64_t>(n_peaks, in.size() / 2 + 1);
    std::vector<vx_peak_t> recs(room);
    const uint64_t k = find_peaks_f32(in.data(), in.size(), room, recs.data(), min_db);
    std::vector<std::pair<float, float>> out;
    out.reserve(k);
    for (uint64_t i = 0; i < k; ++i)
        out.emplace_back(recs[i].freq_norm, recs[i].level);
    return out;
}

const char *const MAG_DOC = R"doc(Magnitude in dB of %s samples.

``out[k] = 20*log10(max(abs(x[k]), lin_floor)) + offset_db``, the magnitude and
logarithm in %s precision%s. A NaN sample gives NaN.

Parameters
----------
x : array_like of %s
    Samples, any shape, read in C order.
lin_floor : float
    Smallest magnitude represented (sets the floor of the result).
offset_db : float
    Added to every value, in single precision.

Returns
-------
ndarray of float32
    One value per sample.

Examples
--------
>>> from veltra.spectral import %s
>>> %s([1, %s, 0], 1e-12, 0.0).round(3).tolist()
[0.0, %s, -240.0]
)doc";

std::string mag_doc(const char *dtype, const char *prec, const char *extra, const char *fn, const char *v,
                    const char *db)
{
    char buf[2048];
    std::snprintf(buf, sizeof buf, MAG_DOC, dtype, prec, extra, dtype, fn, fn, v, db);
    return buf;
}

const char *const PEAKS_DOC = R"doc(Peaks of a DC-centred dB trace, refined to a fraction of a bin.

A bin ``k`` (not the first or last) is a peak when ``db[k] > min_db``,
``db[k] > db[k-1]`` and ``db[k] >= db[k+1]`` (a plateau reports its first bin).
A parabola through its neighbours gives the offset ``d`` (within half a bin) and
the level ``db[k] + 0.25*(db[k+1] - db[k-1])*d``. At most ``len(db)//2 + 1``
candidates are considered, in scan order.

Parameters
----------
db : array_like of float32
    The trace; bin ``len(db)//2`` is DC.
n_peaks : int
    Most peaks returned.
min_db : float
    Gate: a peak must lie strictly above it.

Returns
-------
list of (float, float)
    ``(freq_norm, level)`` pairs, highest level first; ``freq_norm`` in cycles
    per sample, ``(k - len(db)//2 + d) / len(db)``.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import find_peaks_f32
>>> db = np.full(32, -60, np.float32); db[7:10] = [-15, -10, -15]
>>> find_peaks_f32(db, 4, -30)
[(-0.25, -10.0)]
)doc";

const char *const OBW_DOC = R"doc(Occupied bandwidth of a power vector.

Walking the bins upward with the running sum ``S`` of a total ``T``, the lower
edge is the first bin where ``S >= (1 - frac)/2 * T`` and the upper the first
where ``S >= (1 + frac)/2 * T``.

Parameters
----------
pwr : array_like of float64
    Linear power per bin.
fs : float
    Span of the ``len(pwr)`` bins, Hz.
frac : float
    Fraction of the power, in (0, 1].

Returns
-------
float
    ``(upper - lower + 1) * fs / len(pwr)`` Hz; 0.0 for an empty vector, a total
    that is not finite and positive, or `frac` outside (0, 1].

Examples
--------
>>> from veltra.spectral import obw_from_power
>>> obw_from_power([0, 0, 1, 0], 1000.0, 0.99)
250.0
)doc";

const char *const FLOOR_DOC = R"doc(Median of a dB trace, as a noise-floor estimate.

The middle value of the sorted trace, or the mean of the two middle values for
an even length. NaN sorts above every number.

Parameters
----------
db : array_like of float32
    The trace.

Returns
-------
float
    The median; 0.0 for an empty trace.

Examples
--------
>>> from veltra.spectral import noise_floor_db
>>> noise_floor_db([3, 1, 2]), noise_floor_db([4, 1, 3, 2])
(2.0, 2.5)
)doc";

// ---- PSD -------------------------------------------------------------------------------

const char *const WINDOWS[] = {"hann", "kaiser", "blackman-harris"};
const char *const MODES[] = {"mean", "exp", "maxhold", "minhold"};

psd *psd_from_keywords(Count n, double fs, Text window, float beta, Count pad, double full_scale, Count bits,
                       Text mode, double alpha)
{
    const int w = choose("window", window.c_str(), {WINDOWS[0], WINDOWS[1], WINDOWS[2]});
    const int md = choose("mode", mode.c_str(), {MODES[0], MODES[1], MODES[2], MODES[3]});
    return psd_create(n, static_cast<unsigned>(w), pad, bits, static_cast<unsigned>(md), fs, beta, full_scale,
                      alpha);
}

// A trace read-out: None before the first frame, else the full trace.
template <uint64_t (*F)(psd *, float *, uint64_t), uint64_t (*Bound)(const psd *)>
nb::object readout(PsdPy &h, nb::handle count, nb::handle out)
{
    Use<PsdPy> c(h);
    read_count(count, 1);  // validated; the whole trace is returned whatever it is
    if (psd_get_count(c) == 0)
        return nb::none();
    OutArray<float> y(out, Bound(c));
    return y.finish(F(c, y.data(), y.capacity()));
}

std::string readout_doc(const char *what, const char *len, const char *example)
{
    return std::string(what) +
           "\n\nParameters\n----------\ncount : int, optional\n    Accepted for symmetry; the whole trace is returned. "
           "Default 1.\nout : ndarray of float32, optional\n    Destination of at least " + len +
           " elements.\n\nReturns\n-------\nndarray of float32 or None\n    " + len +
           " values, or None while no frame has been folded.\n\nExamples\n--------\n"
           ">>> import numpy as np\n>>> from veltra.spectral import PSD\n"
           ">>> p = PSD(64, fs=6400.0)\n>>> p.accumulate(np.exp(2j * np.pi * 8 * np.arange(128) / 64).astype(np.complex64))\n" + example;
}

const char *const PSD_DOC = R"doc(Averaging power-spectrum estimator.

Consecutive, non-overlapping frames of ``n`` samples are windowed, zero-padded
to ``nfft`` (the smallest power of two >= ``n*pad``), transformed and turned
into a DC-centred power trace (index ``nfft//2`` is DC, index 0 is ``-fs/2``),
which folds into a running mean, exponential average, max hold or min hold.
Each ``accumulate`` call folds ``len(x) // n`` frames and drops the samples past
the last whole frame (nothing is carried to the next call), so feed it whole
frames to make block splits irrelevant. Equal to ``scipy.signal.welch`` with
the same window, ``nperseg=n``, ``noverlap=0``, ``detrend=False``, two-sided,
``fftshift``-ed.

Read-outs: linear power ``T/sum(w)**2`` (two- or one-sided), dBFS
``10*log10(T/(sum(w)*full_scale)**2)`` (a full-scale complex tone on a bin
centre reads 0 dB; floor -200 dB), dBFS/Hz (dBFS minus ``10*log10(rbw)``), band
power (the sum over a band's bins, normalised so that white noise sums to its
power), occupied bandwidth, noise floor (median of the dB trace, the mean of the
two middle values), SNR and SFDR.

Parameters
----------
n : int, optional
    Frame (window) length, >= 2. Default 1024.
fs : float, optional
    Sample rate in Hz, finite and > 0. Default 1.0.
window : str, optional
    "hann", "kaiser" or "blackman-harris". Default "hann".
beta : float, optional
    Kaiser shape (single precision); ignored by the other windows. Default 0.0.
pad : int, optional
    Zero-padding factor (0 counts as 1); ``n*pad`` at most 2**26. Default 1.
full_scale : float, optional
    Amplitude that reads 0 dBFS, finite and > 0. Default 1.0.
bits : int, optional
    ADC depth; when > 0 (at most 64), full scale becomes ``2**(bits-1)``. Default 0.
mode : str, optional
    "mean", "exp", "maxhold" or "minhold". Default "mean".
alpha : float, optional
    Weight of the "exp" mode (>= 1 tracks the last frame). Default 0.1.

Raises
------
ValueError
    For a window or mode outside its list.
MemoryError
    "psd_create returned NULL" for any other refused parameter (``n < 2``,
    ``fs`` or ``full_scale`` not finite and positive, an oversized ``n*pad``,
    ``bits > 64``, a window whose sum is not positive such as Hann of length 2).

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(64, fs=6400.0)
>>> p.accumulate(np.exp(2j * np.pi * 8 * np.arange(256) / 64).astype(np.complex64))
>>> p.count, int(np.argmax(p.psd_db())), round(float(p.psd_db().max()), 6)
(4, 40, 0.0)
)doc";

// ---- correlators ------------------------------------------------------------------------

// A reference array of exactly `ndim` dimensions (else ValueError `message`), as complex64.
nb::object reference(nb::handle ref, int ndim, const char *message)
{
    nb::object a = nb::steal(PyArray_FromAny(ref.ptr(), nullptr, 0, 0, 0, nullptr));
    if (!a)
        raise_pending();
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject *>(a.ptr())) != ndim)
        raise(PyExc_ValueError, "%s", message);
    return as_param_array(a, NPY_COMPLEX64, ndim, "ref");
}

const vx_cf32 *cdata(const nb::object &a)
{
    return static_cast<const vx_cf32 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.ptr())));
}
npy_intp dim(const nb::object &a, int i) { return PyArray_DIMS(reinterpret_cast<PyArrayObject *>(a.ptr()))[i]; }

corr *corr_from(nb::handle ref, Count dwell, int nthreads, Count n_out)
{
    nb::object a = reference(ref, 1, "ref must be a 1-D array");
    return corr_create(cdata(a), static_cast<uint64_t>(dim(a, 0)), dwell, nthreads, n_out);
}

corr2d *corr2d_from(nb::handle ref, Count dwell, int nthreads, Count ny_out, Count nx_out, int32_t col_out)
{
    nb::object a = reference(ref, 2, "ref must be a 2-D (ny, nx) array");
    return corr2d_create(cdata(a), static_cast<uint64_t>(dim(a, 0)), static_cast<uint64_t>(dim(a, 1)), dwell,
                         nthreads, ny_out, nx_out, col_out);
}

// The reference an object was built from, as a new complex64 array: (n,), or (rows, n/rows)
// for a 2-D one.
template <class C> nb::object ref_array(const C *c, uint64_t (*get)(const C *, vx_cf32 *, uint64_t), uint64_t n,
                                        uint64_t rows = 0)
{
    OutArray<vx_cf32> y(nb::none(), n);
    get(c, y.data(), n);
    nb::object a = y.finish(n);
    return rows ? a.attr("reshape")(rows, n / rows) : a;
}

nb::object corr_ref(const corr *c) { return ref_array(c, corr_get_ref, corr_get_n(c)); }
nb::object corr2d_ref(const corr2d *c)
{
    return ref_array(c, corr2d_get_ref, corr2d_get_ny(c) * corr2d_get_nx(c), corr2d_get_ny(c));
}

// execute(x, out=None): the dump, or None between dumps. Without `out`, no array is made
// for a frame that does not dump.
template <class H, uint64_t (*Exec)(typename H::core_type *, const vx_cf32 *, uint64_t, vx_cf32 *, uint64_t),
          uint64_t (*Bound)(const typename H::core_type *), uint64_t (*Count_)(const typename H::core_type *),
          uint64_t (*Dwell)(const typename H::core_type *)>
nb::object corr_execute_py(H &h, nb::handle x, nb::handle out)
{
    Use<H> c(h);
    InArray<vx_cf32> in(x);
    if (out.is_none() && Count_(c) + 1 != Dwell(c)) {
        Exec(c, in.data(), in.size(), nullptr, 0);
        return nb::none();
    }
    OutArray<vx_cf32> y(out, Bound(c));
    in.detach_from(y.data(), y.capacity() * sizeof(vx_cf32), false);
    const uint64_t k = Exec(c, in.data(), in.size(), y.data(), y.capacity());
    return k ? y.finish(k) : nb::none();
}

const char *const CORR_DOC = R"doc(Circular cross-correlator with coherent integrate-and-dump.

``R[m] = sum(x[(p + m) % n] * conj(ref[p]))`` over frames of ``n = len(ref)``
samples, i.e. ``ifft(fft(x) * conj(fft(ref)))``. The cross-spectra of ``dwell``
frames are summed (coherently) and inverted once at the dump, scaled by
``1/n``. With ``n_out > n`` the dump is the band-limited (Dirichlet)
interpolation of the correlation on ``n_out`` points, at the native height: the
peak of lag ``L`` appears at ``L * n_out / n``.

Parameters
----------
ref : array_like of complex64
    One-dimensional reference, at least one sample.
dwell : int, optional
    Frames per dump; 0 accumulates and never dumps. Default 1.
nthreads : int, optional
    Accepted and ignored. Default 1.
n_out : int, optional
    Output length, 0 (= n) or at least n. Default 0.

Raises
------
ValueError
    "ref must be a 1-D array".
MemoryError
    "corr_create returned NULL" for an empty reference or ``0 < n_out < n``.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import Corr
>>> c = Corr(np.complex64([1, 0, 0, 0]), dwell=2)
>>> c.execute(np.ones(4, np.complex64)) is None
True
>>> c.execute(np.ones(4, np.complex64))
array([2.+0.j, 2.+0.j, 2.+0.j, 2.+0.j], dtype=complex64)
)doc";

const char *const CORR2D_DOC = R"doc(Two-dimensional circular cross-correlator with integrate-and-dump.

``R[dy, dx] = sum(x[(p+dy) % ny, (q+dx) % nx] * conj(ref[p, q]))`` over flat
row-major frames of ``ny*nx`` samples, scaled by ``1/(ny*nx)``, every ``dwell``
frames; ``ny_out``, ``nx_out`` above ``ny``, ``nx`` interpolate the map. When
``ny_out == ny`` and the reference is zero outside row 0, each row is
correlated on its own with 1-D transforms (same map, less work, each row
scaled by ``1/nx``). There ``col_out = c`` returns only column ``c``: for every
row ``i``, ``sum(conj(ref[0, p]) * x[i, (p + c) % nx])`` computed in the time
domain without a transform or a scale (``ny`` values).

Parameters
----------
ref : array_like of complex64
    The ``(ny, nx)`` reference, both dimensions at least 1.
dwell : int, optional
    Frames per dump, at least 1. Default 1.
nthreads : int, optional
    Accepted and ignored. Default 1.
ny_out, nx_out : int, optional
    Output grid, 0 (native) or at least ``ny``, ``nx``. Default 0.
col_out : int, optional
    Negative for the whole map, else the single column to output (row path,
    ``nx_out == nx`` and ``col_out < nx`` only). Default -1.

Raises
------
ValueError
    "ref must be a 2-D (ny, nx) array".
MemoryError
    "corr2d_create returned NULL" for a zero dimension, ``dwell = 0``, a
    smaller output grid, or a `col_out` the reference or grid does not allow.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import Corr2D
>>> ref = np.zeros((2, 2), np.complex64); ref[0, 0] = 1
>>> c = Corr2D(ref, dwell=2)
>>> c.execute(np.ones(4, np.complex64)) is None
True
>>> c.execute(np.ones(4, np.complex64)).real.tolist()
[2.0, 2.0, 2.0, 2.0]
)doc";

const char *const CORR_EXECUTE_DOC = R"doc(Correlate one frame.

Parameters
----------
x : array_like of complex64
    The frame (2-D frames flat, row-major); only the first frame-size samples
    are used, and a shorter frame is zero-extended.
out : ndarray of complex64, optional
    Destination of at least ``execute_max_out()`` elements, written only on a dump.

Returns
-------
ndarray of complex64 or None
    The correlation on the dwell-th frame (a view of `out` when given), else None.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import Corr
>>> ref = np.exp(2j * np.pi * np.random.default_rng(1).random(64)).astype(np.complex64)
>>> int(np.argmax(abs(Corr(ref).execute(np.roll(ref, 5)))))
5
)doc";

// ---- correlation detectors ----------------------------------------------------------------

const char *const NOISE_MODES[] = {"mean", "median", "min", "max"};

unsigned noise_mode_of(Text mode)
{
    return static_cast<unsigned>(
        choose("noise_mode", mode.c_str(), {NOISE_MODES[0], NOISE_MODES[1], NOISE_MODES[2], NOISE_MODES[3]}));
}

detector *detector_from(nb::handle ref, Count dwell, Count noise_lo, Count noise_hi, Text noise_mode,
                        float threshold, int nthreads)
{
    const unsigned mode = noise_mode_of(noise_mode);
    nb::object a = reference(ref, 1, "ref must be a 1-D array");
    return detector_create(cdata(a), static_cast<uint64_t>(dim(a, 0)), dwell, noise_lo, noise_hi, mode, threshold,
                           nthreads);
}

detector2d *detector2d_from(nb::handle ref, Count dwell, Count noise_lo, Count noise_hi, Text noise_mode,
                            float threshold, int nthreads)
{
    const unsigned mode = noise_mode_of(noise_mode);
    nb::object a = reference(ref, 2, "ref must be a 2-D array");
    return detector2d_create(cdata(a), static_cast<uint64_t>(dim(a, 0)), static_cast<uint64_t>(dim(a, 1)), dwell,
                             noise_lo, noise_hi, threshold, mode, nthreads);
}

nb::object record_tuple(const detector_record &r)
{
    return nb::make_tuple(r.lag, r.peak_mag, r.noise_est, r.test_stat);
}
nb::object record_tuple(const detector2d_record &r)
{
    return nb::make_tuple(r.row, r.col, r.peak_mag, r.noise_est, r.test_stat);
}

// push(x): the whole input is fed, 64 records of room at a time, so nothing is dropped.
template <class H, class Rec,
          uint64_t (*Push)(typename H::core_type *, const vx_cf32 *, uint64_t, Rec *, uint64_t, uint64_t *)>
nb::list detector_push_py(H &h, nb::handle x)
{
    Use<H> c(h);
    InArray<vx_cf32> in(x);
    nb::list out;
    Rec recs[64];
    for (uint64_t done = 0;;) {
        uint64_t used = 0;
        const uint64_t k = Push(c, in.data() + done, in.size() - done, recs, 64, &used);
        for (uint64_t i = 0; i < k; ++i)
            out.append(record_tuple(recs[i]));
        done += used;
        if (done == in.size() && k < 64)
            break;
    }
    return out;
}

template <class H, const vx_cf32 *(*Last)(const typename H::core_type *),
          uint64_t (*N)(const typename H::core_type *)>
nb::object last_corr_py(H &h)
{
    auto *c = h.get();
    const vx_cf32 *v = Last(c);
    if (!v)
        return nb::none();
    // A copy: a view would outlive the buffer once destroy() frees it.
    OutArray<vx_cf32> y(nb::none(), N(c));
    std::memcpy(y.data(), v, N(c) * sizeof(vx_cf32));
    return y.finish(N(c));
}

const char *const DETECTOR_COMMON_DOC = R"doc(
Chunks of any length are queued, cut into non-overlapping frames of the
reference's size and correlated with integrate-and-dump (``dwell`` frames per
dump, as ``%s``). At each dump the peak of ``|R|`` (lowest index on ties) is
compared with a noise estimate over the bins ``noise_lo..noise_hi`` of ``|R|``
(both clamped to ``n - 1`` and swapped when reversed): "mean", "median" (the
element at index ``m//2`` of the ``m`` sorted bins: the upper middle value for
even ``m``, no averaging), "min" or "max". The statistic is peak / noise (0 when
the noise is 0); a record is reported when ``threshold == 0`` or the statistic
exceeds it. Any chunking of the input gives the same records.

Parameters
----------
ref : array_like of complex64
    The reference (%s).
dwell : int, optional
    Frames per dump. Default 1.
noise_lo, noise_hi : int, optional
    Inclusive noise-bin range (flat indices). Default 0 and 2**64 - 1 (all bins).
noise_mode : str, optional
    "mean", "median", "min" or "max". Default "mean".
threshold : float, optional
    Detection threshold on peak / noise; 0 reports every dump. Default 0.0.
nthreads : int, optional
    Accepted and ignored. Default 1.

Raises
------
ValueError
    "%s", or "noise_mode must be one of ...".
MemoryError
    "%s_create returned NULL" for an empty reference%s.
)doc";

std::string detector_doc(const char *summary, const char *corr_name, const char *shape, const char *ref_msg,
                         const char *object, const char *extra, const char *example)
{
    char buf[4096];
    std::snprintf(buf, sizeof buf, DETECTOR_COMMON_DOC, corr_name, shape, ref_msg, object, extra);
    return std::string(summary) + "\n" + buf + "\nExamples\n--------\n" + example;
}

const char *const PUSH_DOC = R"doc(Feed samples; every whole frame is correlated.

Parameters
----------
x : array_like of complex64
    Samples, any length (positional only); a 2-D detector reads any shape flat.
    All of it is consumed.

Returns
-------
list of tuple
    One record per reported dump: ``(lag, peak_mag, noise_est, test_stat)``,
    or ``(row, col, peak_mag, noise_est, test_stat)`` for the 2-D detector.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import CorrDetector
>>> ref = np.zeros(8, np.complex64); ref[0] = 1
>>> d = CorrDetector(ref, noise_lo=1, noise_hi=7)
>>> d.push(np.ones(3, np.complex64)), d.push(np.ones(5, np.complex64))
([], [(0, 1.0, 1.0, 1.0)])
)doc";

// The core functions of each detector, so both classes share one method table.
template <class H> struct DetectorFamily;

template <> struct DetectorFamily<DetectorPy> {
    using Core = detector;
    using Record = detector_record;
    static constexpr auto from = detector_from;
    static constexpr auto push = detector_push;
    static constexpr auto reset = detector_reset;
    static constexpr auto state_bytes = detector_state_bytes;
    static constexpr auto get_state = detector_get_state;
    static constexpr auto set_state = detector_set_state;
    static constexpr auto last_corr = detector_last_corr;
    static constexpr auto n = detector_get_n;
    static constexpr auto dwell = detector_get_dwell;
    static constexpr auto count = detector_get_count;
    static constexpr auto ring_cap = detector_get_ring_cap;
    static constexpr auto noise_lo = detector_get_noise_lo;
    static constexpr auto noise_hi = detector_get_noise_hi;
    static constexpr auto noise_mode = detector_get_noise_mode;
    static constexpr auto threshold = detector_get_threshold;
    static constexpr auto set_threshold = detector_set_threshold;
    static constexpr const char *object = "detector";
    static Args shape(const Core *d) { return Args().u("n", detector_get_n(d)); }
    static nb::object ref(const Core *d) { return ref_array(d, detector_get_ref, detector_get_n(d)); }
};

template <> struct DetectorFamily<Detector2dPy> {
    using Core = detector2d;
    using Record = detector2d_record;
    static constexpr auto from = detector2d_from;
    static constexpr auto push = detector2d_push;
    static constexpr auto reset = detector2d_reset;
    static constexpr auto state_bytes = detector2d_state_bytes;
    static constexpr auto get_state = detector2d_get_state;
    static constexpr auto set_state = detector2d_set_state;
    static constexpr auto last_corr = detector2d_last_corr;
    static constexpr auto n = detector2d_get_n;
    static constexpr auto dwell = detector2d_get_dwell;
    static constexpr auto count = detector2d_get_count;
    static constexpr auto ring_cap = detector2d_get_ring_cap;
    static constexpr auto noise_lo = detector2d_get_noise_lo;
    static constexpr auto noise_hi = detector2d_get_noise_hi;
    static constexpr auto noise_mode = detector2d_get_noise_mode;
    static constexpr auto threshold = detector2d_get_threshold;
    static constexpr auto set_threshold = detector2d_set_threshold;
    static constexpr const char *object = "detector2d";
    static Args shape(const Core *d) { return Args().u("ny", detector2d_get_ny(d)).u("nx", detector2d_get_nx(d)); }
    static nb::object ref(const Core *d)
    {
        return ref_array(d, detector2d_get_ref, detector2d_get_n(d), detector2d_get_ny(d));
    }
};

template <class H> Class<H> bind_detector(nb::module_ &m, const char *name, const char *doc);

const char *const LAST_CORR_DOC =
    "Correlation of the most recent dump (flat complex64 copy of n values), or None before the first "
    "dump and after reset.";

template <class H> Class<H> bind_detector(nb::module_ &m, const char *name, const char *doc)
{
    using F = DetectorFamily<H>;
    using C = typename F::Core;
    Class<H> cls(m, name, doc);
    cls.ctor(F::from, no_memory(F::object), "ref"_a, "dwell"_a = Count{1}, "noise_lo"_a = Count{0},
             "noise_hi"_a = Count{UINT64_MAX}, "noise_mode"_a = Text{"mean", 4}, "threshold"_a = 0.0f,
             "nthreads"_a = 1)
        .repr(+[](const C *d) {
            return F::shape(d).u("dwell", F::dwell(d)).u("noise_lo", F::noise_lo(d)).u("noise_hi", F::noise_hi(d))
                .s("noise_mode", NOISE_MODES[F::noise_mode(d)]).f("threshold", F::threshold(d));
        })
        .pickle(+[](const C *d) {
            return Args().o("ref", F::ref(d)).u("dwell", F::dwell(d)).u("noise_lo", F::noise_lo(d))
                .u("noise_hi", F::noise_hi(d)).s("noise_mode", NOISE_MODES[F::noise_mode(d)])
                .f("threshold", F::threshold(d));
        })
        .reset(F::reset)
        .state(F::state_bytes, F::get_state, F::set_state)
        .ro("n", F::n, "Frame size: the reference's element count.")
        .ro("ref", F::ref, "The reference, as given (a copy).")
        .ro("dwell", F::dwell, "Frames per dump.")
        .ro("count", F::count, "Frames accumulated toward the next dump.")
        .ro("ring_cap", F::ring_cap, "Input queue capacity: the smallest power of two >= max(n, 512).")
        .ro("noise_lo", F::noise_lo, "First noise bin, flat index (after clamping).")
        .ro("noise_hi", F::noise_hi, "Last noise bin, flat index (after clamping).")
        .rw("threshold", F::threshold, F::set_threshold,
            "Detection threshold on peak / noise; 0 reports every dump. Writable.")
        .def_prop_ro("last_corr", last_corr_py<H, F::last_corr, F::n>, LAST_CORR_DOC)
        .def("push", detector_push_py<H, typename F::Record, F::push>, PUSH_DOC);
    return cls;
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

    Class<FftPy> fft_cls(m, "FFT", FFT_DOC);
    fft_cls.ctor(+[](Count n, int sign, int nthreads) { return fft_create(n, sign, nthreads); }, no_memory("fft"),
                 "n"_a = Count{1024}, "sign"_a = -1, "nthreads"_a = 1)
        .repr(+[](const fft *f) { return Args().u("n", fft_get_n(f)).i("sign", fft_get_sign(f)); })
        .pickle()
        .reset(fft_reset)
        .ro("n", fft_get_n, "Transform length.")
        .ro("sign", fft_get_sign, "Direction: negative forward, otherwise inverse.")
        .def("execute_ci16", execute_int<int16_t, fft_execute_ci16>,
             keep(ci_doc("int16", 15, "execute_ci16", -32768, "-1.+0.j")))
        .def("execute_ci8", execute_int<int8_t, fft_execute_ci8>,
             keep(ci_doc("int8", 7, "execute_ci8", -128, "-1.+0.j")));
    add_executes(fft_cls, fft_execute_cf64, fft_execute_cf32, fft_execute_inplace_cf64, fft_execute_inplace_cf32,
                 fft_execute_max_out, false, EXAMPLE_1D, EXAMPLE_INPLACE);

    Class<Fft2dPy> fft2d_cls(m, "FFT2D", FFT2D_DOC);
    fft2d_cls.ctor(+[](Count ny, Count nx, int sign, int nthreads) { return fft2d_create(ny, nx, sign, nthreads); },
                   no_memory("fft2d"), "ny"_a = Count{64}, "nx"_a = Count{64}, "sign"_a = -1, "nthreads"_a = 1)
        .repr(+[](const fft2d *f) {
            return Args().u("ny", fft2d_get_ny(f)).u("nx", fft2d_get_nx(f)).i("sign", fft2d_get_sign(f));
        })
        .pickle()
        .reset(fft2d_reset)
        .ro("ny", fft2d_get_ny, "Rows (outer dimension).")
        .ro("nx", fft2d_get_nx, "Columns (inner dimension).")
        .ro("sign", fft2d_get_sign, "Direction: negative forward, otherwise inverse.");
    add_executes(fft2d_cls, fft2d_execute_cf64, fft2d_execute_cf32, fft2d_execute_inplace_cf64,
                 fft2d_execute_inplace_cf32, fft2d_execute_max_out, true, EXAMPLE_2D, EXAMPLE_2D);

    m.def("magnitude_db_cf32", [](nb::handle x, float lin_floor, float offset_db) {
        return magnitude_db<vx_cf32, float>(x, lin_floor, offset_db, magnitude_db_cf32);
    }, "x"_a, "lin_floor"_a, "offset_db"_a,
          keep(mag_doc("complex64", "single", "", "magnitude_db_cf32", "0.1", "-20.0")));
    m.def("magnitude_db_cf64", [](nb::handle x, double lin_floor, float offset_db) {
        return magnitude_db<vx_cf64, double>(x, lin_floor, offset_db, magnitude_db_cf64);
    }, "x"_a, "lin_floor"_a, "offset_db"_a,
          keep(mag_doc("complex128", "double", ", then narrowed to float32", "magnitude_db_cf64", "10", "20.0")));
    m.def("find_peaks_f32", peaks_of, "db"_a, "n_peaks"_a, "min_db"_a, PEAKS_DOC);
    m.def("obw_from_power", [](nb::handle pwr, double fs, double frac) {
        InArray<double> in(pwr);
        return obw_from_power(in.data(), in.size(), fs, frac);
    }, "pwr"_a, "fs"_a, "frac"_a, OBW_DOC);
    m.def("noise_floor_db", [](nb::handle db) {
        InArray<float> in(db);
        return noise_floor_db(in.data(), in.size());
    }, "db"_a, FLOOR_DOC);

    Class<PsdPy>(m, "PSD", PSD_DOC)
        .ctor(psd_from_keywords, no_memory("psd"), "n"_a = Count{1024}, "fs"_a = 1.0, "window"_a = Text{"hann", 4},
              "beta"_a = 0.0f, "pad"_a = Count{1}, "full_scale"_a = 1.0, "bits"_a = Count{0},
              "mode"_a = Text{"mean", 4}, "alpha"_a = 0.1)
        .repr(+[](const psd *p) {
            return Args().u("n", psd_get_n(p)).f("fs", psd_get_fs(p)).s("window", WINDOWS[psd_get_window(p)])
                .f("beta", psd_get_beta(p)).u("pad", psd_get_pad(p)).f("full_scale", psd_get_full_scale(p))
                .u("bits", psd_get_bits(p)).s("mode", MODES[psd_get_mode(p)]).f("alpha", psd_get_alpha(p));
        })
        .pickle()
        .fn("accumulate", +[](psd *p, nb::handle x) {
                InArray<vx_cf32> in(x);
                psd_accumulate(p, in.data(), in.size());
            }, "x"_a, R"doc(Fold ``len(x) // n`` frames of complex samples; the remainder is dropped.

Parameters
----------
x : array_like of complex64
    Samples, any shape, read in C order.

Returns
-------
None

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(1024)
>>> p.accumulate(np.ones(4, np.complex64)); p.count
0
>>> p.accumulate(np.ones(2560, np.complex64)); p.count
2
)doc")
        .fn("accumulate_real", +[](psd *p, nb::handle x) {
                InArray<float> in(x);
                psd_accumulate_real(p, in.data(), in.size());
            }, "x"_a, R"doc(Fold ``len(x) // n`` frames of real samples; the remainder is dropped.

Parameters
----------
x : array_like of float32
    Samples, any shape, read in C order.

Returns
-------
None

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(64)
>>> p.accumulate_real(np.cos(2 * np.pi * 8 * np.arange(64) / 64).astype(np.float32))
>>> sorted(np.argsort(p.psd_db())[-2:].tolist())
[24, 40]
)doc")
        .fn("psd_db_max_out", psd_psd_db_max_out, "Values of ``psd_db``: nfft.\n\nReturns\n-------\nint\n")
        .fn("psd_dbhz_max_out", psd_psd_dbhz_max_out, "Values of ``psd_dbhz``: nfft.\n\nReturns\n-------\nint\n")
        .fn("power_twosided_max_out", psd_power_twosided_max_out,
            "Values of ``power_twosided``: nfft.\n\nReturns\n-------\nint\n")
        .fn("power_onesided_max_out", psd_power_onesided_max_out,
            "Values of ``power_onesided``: nfft // 2 + 1.\n\nReturns\n-------\nint\n")
        .fn("band_power_max_out", psd_band_power_max_out,
            "Always 0: ``band_power`` sizes its output from the band list.\n\nReturns\n-------\nint\n")
        .fn("total_band_power", +[](psd *p, nb::handle bands) {
                InArray<double> in(bands);
                return psd_total_band_power(p, in.data(), in.size());
            }, "bands"_a, R"doc(Total power of a list of bands, dB re full scale.

Parameters
----------
bands : array_like of float64
    Edges in Hz, in pairs (either order); an odd trailing edge is ignored.

Returns
-------
float
    ``10*log10`` of the summed linear power of every band inside the spectrum;
    -200.0 with fewer than two edges or no frame folded.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(64, fs=64.0)
>>> p.total_band_power([-1.0, 1.0])
-200.0
>>> p.accumulate(np.ones(64, np.complex64))
>>> abs(round(p.total_band_power([-32.0, 32.0]), 3))
0.0
)doc")
        .fn("occupied_bw", psd_occupied_bw, "fraction"_a, R"doc(Bandwidth holding the central `fraction` of the power, Hz.

Parameters
----------
fraction : float
    In (0, 1]; any other value gives 0.0.

Returns
-------
float
    A whole number of bins times ``fs / nfft``; 0.0 before the first frame.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(64, fs=6400.0, window="blackman-harris")
>>> p.accumulate(np.exp(2j * np.pi * 8 * np.arange(64) / 64).astype(np.complex64))
>>> p.occupied_bw(0.99)
500.0
)doc")
        .fn("noise_floor", psd_noise_floor, R"doc(Median of the dB trace (the mean of the two middle values), dB.

Returns
-------
float
    0.0 before the first frame.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(256, fs=1.0)
>>> p.accumulate(np.full(256, 0.01, np.complex64))
>>> p.noise_floor() < -150
True
)doc")
        .fn("snr", psd_snr, "lo_hz"_a, "hi_hz"_a, R"doc(Highest dB bin within a band minus the noise floor, dB.

Parameters
----------
lo_hz, hi_hz : float
    Band edges in Hz (either order), clamped to the spectrum.

Returns
-------
float
    0.0 for a band wholly outside the spectrum or before the first frame.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(64, fs=64.0)
>>> x = np.exp(2j * np.pi * 8 * np.arange(64) / 64) + 0.001
>>> p.accumulate(x.astype(np.complex64))
>>> p.snr(4.0, 12.0) > 60
True
)doc")
        .fn("sfdr", psd_sfdr, "min_db"_a, R"doc(Spurious-free dynamic range, dB.

Up to 16 peaks of the dB trace above `min_db` are found (see
``find_peaks_f32``); the result is the highest level minus the second.

Parameters
----------
min_db : float
    Gate of the peak search, dB.

Returns
-------
float
    0.0 with fewer than two peaks or before the first frame.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> t = np.arange(64)
>>> p = PSD(64, window="blackman-harris")
>>> p.accumulate((np.exp(2j * np.pi * 8 * t / 64) + 0.01 * np.exp(-2j * np.pi * 20 * t / 64)).astype(np.complex64))
>>> round(p.sfdr(-150.0), 1)
40.0
)doc")
        .reset(psd_reset)
        .state(psd_state_bytes, psd_get_state, psd_set_state)
        .ro("n", psd_get_n, "Frame (window) length.")
        .ro("nfft", psd_get_nfft, "Transform length: the smallest power of two >= n*pad.")
        .ro("fs", psd_get_fs, "Sample rate, Hz.")
        .ro("full_scale", psd_get_full_scale, "Amplitude that reads 0 dBFS.")
        .ro("bits", psd_get_bits, "ADC depth that set full_scale, else 0.")
        .ro("enbw", psd_get_enbw, "Equivalent noise bandwidth of the window, bins.")
        .ro("rbw", psd_get_rbw, "Resolution bandwidth ``enbw * fs / n``, Hz.")
        .ro("count", psd_get_count, "Frames folded since construction or reset.")
        .ro("mode", psd_get_mode, "Reduction mode index: 0 mean, 1 exp, 2 maxhold, 3 minhold.")
        .def("psd_db", readout<psd_psd_db, psd_psd_db_max_out>, "count"_a.none() = 1, "out"_a.none() = nb::none(),
             keep(readout_doc("The reduced trace in dB re full scale.", "nfft",
                              ">>> int(np.argmax(p.psd_db())), round(float(p.psd_db()[40]), 6)\n(40, 0.0)\n")))
        .def("psd_dbhz", readout<psd_psd_dbhz, psd_psd_dbhz_max_out>, "count"_a.none() = 1,
             "out"_a.none() = nb::none(),
             keep(readout_doc("The reduced trace in dB re full scale per Hz (dB minus ``10*log10(rbw)``).", "nfft",
                              ">>> d = p.psd_db() - p.psd_dbhz()\n>>> bool(np.allclose(d, 10 * np.log10(p.rbw)))\n"
                              "True\n")))
        .def("power_twosided", readout<psd_power_twosided, psd_power_twosided_max_out>, "count"_a.none() = 1,
             "out"_a.none() = nb::none(),
             keep(readout_doc("Linear power ``T / sum(w)**2`` of every bin, DC-centred (not referred to full scale).",
                              "nfft", ">>> round(float(p.power_twosided()[40]), 5)\n1.0\n")))
        .def("power_onesided", readout<psd_power_onesided, psd_power_onesided_max_out>, "count"_a.none() = 1,
             "out"_a.none() = nb::none(),
             keep(readout_doc("Linear power folded about DC: DC, then each +f bin plus its -f image, then -fs/2 alone.",
                              "nfft//2 + 1", ">>> p.power_onesided().shape, int(np.argmax(p.power_onesided()))\n"
                              "((33,), 8)\n")))
        .def("band_power", [](PsdPy &h, nb::handle bands, nb::handle out) {
                Use<PsdPy> c(h);
                InArray<double> in(bands);
                const uint64_t k = psd_get_count(c) ? in.size() / 2 : 0;
                OutArray<float> y(out, k);
                return y.finish(psd_band_power(c, in.data(), in.size(), y.data(), k));
            }, "bands"_a, "out"_a.none() = nb::none(), R"doc(Power in each band, dB re full scale.

A band ``(a, b)`` covers the bins from ``round(min*nfft/fs + nfft//2)`` to
``round(max*nfft/fs + nfft//2)`` clamped to the spectrum; its power is the sum
of those bins over ``full_scale**2 * nfft * sum(w**2)``.

Parameters
----------
bands : array_like of float64
    Edges in Hz, in pairs (either order); an odd trailing edge is ignored.
out : ndarray of float32, optional
    Destination of at least ``len(bands) // 2`` elements.

Returns
-------
ndarray of float32
    One value per band; -200.0 for a band outside the spectrum or with a NaN
    edge. Empty before the first frame.

Examples
--------
>>> import numpy as np
>>> from veltra.spectral import PSD
>>> p = PSD(64, fs=64.0)
>>> p.accumulate(np.exp(2j * np.pi * 8 * np.arange(64) / 64).astype(np.complex64))
>>> (p.band_power([6.0, 10.0, 40.0, 50.0]).round(3) + 0).tolist()
[0.0, -200.0]
)doc");

    Class<CorrPy>(m, "Corr", CORR_DOC)
        .ctor(corr_from, no_memory("corr"), "ref"_a, "dwell"_a = Count{1}, "nthreads"_a = 1, "n_out"_a = Count{0})
        .repr(+[](const corr *c) {
            return Args().u("n", corr_get_n(c)).u("dwell", corr_get_dwell(c)).u("n_out", corr_get_n_out(c));
        })
        .pickle(+[](const corr *c) {
            return Args().o("ref", corr_ref(c)).u("dwell", corr_get_dwell(c)).u("n_out", corr_get_n_out(c));
        })
        .fn("execute_max_out", corr_execute_max_out, "Values of a dump: n_out.\n\nReturns\n-------\nint\n")
        .reset(corr_reset)
        .state(corr_state_bytes, corr_get_state, corr_set_state)
        .ro("n", corr_get_n, "Frame and reference length.")
        .ro("ref", corr_ref, "The reference, as given (a copy).")
        .ro("n_out", corr_get_n_out, "Output length of a dump.")
        .ro("dwell", corr_get_dwell, "Frames per dump.")
        .ro("count", corr_get_count, "Frames accumulated toward the next dump.")
        .def("execute", corr_execute_py<CorrPy, corr_execute, corr_execute_max_out, corr_get_count, corr_get_dwell>,
             "x"_a, "out"_a.none() = nb::none(), CORR_EXECUTE_DOC);

    Class<Corr2dPy>(m, "Corr2D", CORR2D_DOC)
        .ctor(corr2d_from, no_memory("corr2d"), "ref"_a, "dwell"_a = Count{1}, "nthreads"_a = 1,
              "ny_out"_a = Count{0}, "nx_out"_a = Count{0}, "col_out"_a = -1)
        .repr(+[](const corr2d *c) {
            return Args().u("ny", corr2d_get_ny(c)).u("nx", corr2d_get_nx(c)).u("dwell", corr2d_get_dwell(c))
                .u("ny_out", corr2d_get_ny_out(c)).u("nx_out", corr2d_get_nx_out(c)).i("col_out", corr2d_get_col_out(c));
        })
        .pickle(+[](const corr2d *c) {
            return Args().o("ref", corr2d_ref(c)).u("dwell", corr2d_get_dwell(c)).u("ny_out", corr2d_get_ny_out(c))
                .u("nx_out", corr2d_get_nx_out(c)).i("col_out", corr2d_get_col_out(c));
        })
        .fn("execute_max_out", corr2d_execute_max_out, "Values of a dump: n_out.\n\nReturns\n-------\nint\n")
        .reset(corr2d_reset)
        .state(corr2d_state_bytes, corr2d_get_state, corr2d_set_state)
        .ro("ny", corr2d_get_ny, "Reference rows.")
        .ro("nx", corr2d_get_nx, "Reference columns.")
        .ro("ref", corr2d_ref, "The (ny, nx) reference, as given (a copy).")
        .ro("ny_out", corr2d_get_ny_out, "Output rows.")
        .ro("nx_out", corr2d_get_nx_out, "Output columns.")
        .ro("n_out", corr2d_execute_max_out, "Values of a dump: ny_out*nx_out, or ny with col_out.")
        .ro("dwell", corr2d_get_dwell, "Frames per dump.")
        .ro("count", corr2d_get_count, "Frames accumulated toward the next dump.")
        .ro("col_out", corr2d_get_col_out, "The single output column, or -1 for the whole map.")
        .ro("row_path", +[](const corr2d *c) { return corr2d_get_row_path(c) != 0; },
            "True when each row is correlated on its own (reference zero outside row 0).")
        .def("execute",
             corr_execute_py<Corr2dPy, corr2d_execute, corr2d_execute_max_out, corr2d_get_count, corr2d_get_dwell>,
             "x"_a, "out"_a.none() = nb::none(), CORR_EXECUTE_DOC);

    bind_detector<DetectorPy>(m, "CorrDetector", keep(detector_doc(
        "Streaming 1-D correlation detector reporting the peak lag.", "Corr", "one-dimensional, n samples",
        "ref must be a 1-D array", "detector", "",
        ">>> import numpy as np\n>>> from veltra.spectral import CorrDetector\n"
        ">>> ref = np.exp(2j * np.pi * np.random.default_rng(3).random(64)).astype(np.complex64)\n"
        ">>> d = CorrDetector(ref, threshold=4.0)\n"
        ">>> [r[0] for r in d.push(np.tile(np.roll(ref, 7), 3))]\n[7, 7, 7]\n")));

    bind_detector<Detector2dPy>(m, "CorrDetector2D", keep(detector_doc(
        "Streaming 2-D correlation detector reporting the peak as (row, col).", "Corr2D",
        "a 2-D (ny, nx) array; frames are ny*nx samples, row-major", "ref must be a 2-D array", "detector2d",
        " or dwell = 0",
        ">>> import numpy as np\n>>> from veltra.spectral import CorrDetector2D\n"
        ">>> ref = np.zeros((4, 4), np.complex64); ref[0, 0] = 1\n"
        ">>> x = np.zeros(16, np.complex64); x[6] = 1\n"
        ">>> CorrDetector2D(ref).push(x)\n[(1, 2, 1.0, 0.0625, 16.0)]\n")))
        .ro("ny", detector2d_get_ny, "Reference rows.")
        .ro("nx", detector2d_get_nx, "Reference columns.");
}
