// veltra.filter: FIR and moving-average filters and the Kaiser lowpass designer.
#include "vxb.h"

#include <nanobind/stl/complex.h>

#include <complex>

#include "boxcar.h"
#include "fir.h"
#include "window.h"

namespace {

using namespace vxb;

struct FirPy : Handle<fir, fir_destroy> {};
struct MovingAveragePy : Handle<boxcar, boxcar_destroy> {};

// float32 taps take the real path; anything else is converted to complex64.
fir *fir_from_taps(nb::handle taps)
{
    nb::object a = as_param_array(taps, NPY_NOTYPE, 1, "taps");
    if (PyArray_TYPE(reinterpret_cast<PyArrayObject *>(a.ptr())) == NPY_FLOAT32) {
        nb::object r = as_param_array(a, NPY_FLOAT32, 1, "taps");  // native byte order
        auto *ap = reinterpret_cast<PyArrayObject *>(r.ptr());
        return fir_create_real(static_cast<const float *>(PyArray_DATA(ap)),
                               static_cast<uint64_t>(PyArray_SIZE(ap)));
    }
    nb::object c = as_param_array(a, NPY_COMPLEX64, 1, "taps");
    auto *ap = reinterpret_cast<PyArrayObject *>(c.ptr());
    return fir_create(static_cast<const vx_cf32 *>(PyArray_DATA(ap)),
                      static_cast<uint64_t>(PyArray_SIZE(ap)));
}

// The taps as built: float32 on the real path, complex64 on the complex one.
nb::object fir_taps(const fir *f)
{
    const uint64_t n = fir_get_num_taps(f);
    nb::object a = out_alloc(nb::none(), fir_get_is_real(f) ? NPY_FLOAT32 : NPY_COMPLEX64, n);
    fir_get_taps(f, PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.ptr())));
    return a;
}

// The block form of fir_execute; the binding always passes room for every output.
uint64_t fir_block(fir *f, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint64_t)
{
    return fir_execute(f, x, n, y);
}

nb::object lowpass(double fpass, double fstop, double atten_db)
{
    const uint64_t n = design_lowpass_num_taps(fpass, fstop, atten_db);
    if (n == 0) {
        if (!(fpass >= 0.0 && fstop > fpass && fstop <= 1.0 && atten_db >= 8.0 &&
              atten_db <= DESIGN_MAX_ATTEN_DB))
            raise(PyExc_ValueError,
                  "design_lowpass needs 0 <= fpass < fstop <= 1 and 8 <= atten_db <= 300, got "
                  "fpass=%g, fstop=%g, atten_db=%g", fpass, fstop, atten_db);
        raise(PyExc_ValueError,
              "design_lowpass would need more than %llu taps for fpass=%g, fstop=%g, atten_db=%g",
              static_cast<unsigned long long>(KAISER_MAX_TAPS), fpass, fstop, atten_db);
    }
    OutArray<float> taps(nb::none(), n);
    design_lowpass(taps.data(), fpass, fstop, atten_db);
    return taps.finish(n);
}

const char *const MODULE_DOC = "FIR and moving-average filters over complex64 streams, and a "
                               "Kaiser-windowed-sinc lowpass designer.";

const char *const LOWPASS_DOC = R"doc(Design a Kaiser-windowed-sinc lowpass filter.

The length is the Kaiser estimate for a transition from ``fpass/2`` to
``fstop/2`` cycles per sample at ``atten_db``, made odd. The cutoff lies
midway between the edges, ``fc = (fpass + fstop) / 4`` cycles per sample; the
taps are ``sin(2*pi*fc*t) / (pi*t)`` (``2*fc`` at the centre) times a Kaiser
window of beta ``kaiser_beta(atten_db)``, not renormalised, so the DC gain is
close to, not exactly, 1.

Parameters
----------
fpass : float, optional
    Passband edge, Nyquist-normalised (1.0 = Nyquist). Default 0.4.
fstop : float, optional
    Stopband edge, Nyquist-normalised, above `fpass`. Default 0.6.
atten_db : float, optional
    Stopband attenuation in dB, at least 8. Default 60.0.

Returns
-------
ndarray of float32
    Symmetric taps of odd length.

Raises
------
ValueError
    Unless ``0 <= fpass < fstop <= 1`` and ``8 <= atten_db <= 300``, or if the
    design would need more than 1048576 taps.

Examples
--------
>>> from veltra.filter import design_lowpass
>>> h = design_lowpass()
>>> h.dtype, len(h), float(h[19])
(dtype('float32'), 39, 0.5)
>>> bool(abs(h.sum() - 1) < 0.01)
True
)doc";

const char *const FIR_DOC = R"doc(Direct-form FIR filter over complex64 samples.

Computes ``y[i] = sum(h[k] * x[i - k] for k in range(num_taps))`` over the
whole stream: the last ``num_taps - 1`` inputs are kept between calls, so a
stream cut into blocks of any size gives bit-identical output. Each sum runs
from ``k = 0`` upward in single precision, the same on every machine.

Parameters
----------
taps : array_like
    One-dimensional taps. float32 taps use the real path (one multiply-add
    per tap and component); anything else is converted to complex64.

Raises
------
MemoryError
    "fir_create returned NULL" when `taps` is empty (or memory runs out).
ValueError
    "taps must be a 1-D array".

Examples
--------
>>> import numpy as np
>>> from veltra.filter import FIR
>>> f = FIR(np.array([0.25, 0.5, 0.25], np.float32))
>>> f.execute(np.array([1, 0, 0], np.complex64)).real
array([0.25, 0.5 , 0.25], dtype=float32)
>>> f.num_taps, f.is_real
(3, True)
)doc";

const char *const FIR_EXECUTE_DOC = R"doc(Filter a block of samples.

Parameters
----------
x : array_like of complex64
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination of at least ``x.size`` elements; it may be `x` itself
    (filtering in place).

Returns
-------
ndarray of complex64
    One-dimensional, one output per input; a view of the first ``x.size``
    elements of `out` when given.

Raises
------
TypeError
    If `out` is not a writable, C-contiguous complex64 ndarray, or `x` cannot
    be converted to complex64 without an unsafe cast.
ValueError
    "out has N elements, need >= M" if `out` is too small.

Examples
--------
>>> import numpy as np
>>> from veltra.filter import FIR
>>> f = FIR(np.ones(2, np.float32))
>>> x = np.arange(4, dtype=np.complex64)
>>> y = f.execute(x, out=x)   # in place
>>> x.real
array([0., 1., 3., 5.], dtype=float32)
)doc";

const char *const MOVING_AVERAGE_DOC = R"doc(Sliding-window mean of the last `len` complex64 samples.

Each output is ``gain / len`` times the running sum of the last `len` inputs,
kept in one single-precision accumulator (O(1) per sample). After
construction or ``reset`` the window starts empty (zero-filled), so the first
``len - 1`` outputs ramp in.

Parameters
----------
len : int, optional
    Window length, 1 to 64. Default 4.
gain : float, optional
    Output gain. Default 1.0.

Raises
------
MemoryError
    "boxcar_create returned NULL" for a length outside 1..64.

Examples
--------
>>> from veltra.filter import MovingAverage
>>> ma = MovingAverage(3)
>>> [round(ma.step(1).real, 4) for _ in range(4)]
[0.3333, 0.6667, 1.0, 1.0]
)doc";

const char *const STEP_DOC = R"doc(Filter one sample.

Parameters
----------
x : complex
    Input sample, narrowed to complex64.

Returns
-------
complex
    The output for this sample.

Examples
--------
>>> from veltra.filter import MovingAverage
>>> ma = MovingAverage(2)
>>> ma.step(1 + 1j), ma.step(3 + 0j)
((0.5+0.5j), (2+0.5j))
)doc";

const char *const STEPS_DOC = R"doc(Filter a block of samples, one output per input.

Parameters
----------
x : array_like of complex64
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with exactly ``x.size`` elements; returned when given.

Returns
-------
ndarray of complex64
    One-dimensional outputs.

Raises
------
TypeError
    If `out` is not a writable, C-contiguous complex64 ndarray, or `x` cannot
    be converted to complex64 without an unsafe cast.
ValueError
    "out length N != input length M".

Examples
--------
>>> import numpy as np
>>> from veltra.filter import MovingAverage
>>> MovingAverage(2).steps(np.array([1, 3, 3], np.complex64)).real
array([0.5, 2. , 3. ], dtype=float32)
)doc";

}  // namespace

NB_MODULE(filter, m)
{
    init_module(m, MODULE_DOC);

    m.def("design_lowpass", lowpass, "fpass"_a = 0.4, "fstop"_a = 0.6, "atten_db"_a = 60.0,
          LOWPASS_DOC);

    Class<FirPy>(m, "FIR", FIR_DOC)
        .ctor(+[](nb::handle taps) { return fir_from_taps(taps); }, no_memory("fir"), "taps"_a)
        .repr(+[](const fir *f) {
            return Args().u("num_taps", fir_get_num_taps(f)).b("real", fir_get_is_real(f) != 0);
        })
        .pickle(+[](const fir *f) { return Args().o("taps", fir_taps(f)); })
        .block<vx_cf32, vx_cf32, Gil::hold, InPlace::yes>("execute", fir_block, fir_execute_max_out, FIR_EXECUTE_DOC)
        .fn("execute_max_out", fir_execute_max_out,
            "Output bound of ``execute`` beyond the input length: always 0 (one output per "
            "input).\n\nReturns\n-------\nint\n")
        .reset(fir_reset)
        .state(fir_state_bytes, fir_get_state, fir_set_state)
        .ro("num_taps", fir_get_num_taps, "Number of taps.")
        .ro("is_real", +[](const fir *f) { return fir_get_is_real(f) != 0; },
            "True when the filter was built from float32 taps (real path).");

    Class<MovingAveragePy>(m, "MovingAverage", MOVING_AVERAGE_DOC)
        .ctor(+[](Count len, double gain) { return boxcar_create(len, gain); }, no_memory("boxcar"),
              "len"_a = Count{4}, "gain"_a = 1.0)
        .repr(+[](const boxcar *b) { return Args().u("len", boxcar_get_len(b)).f("gain", boxcar_get_gain(b)); })
        .pickle()
        .fn("step", +[](boxcar *b, std::complex<double> x) {
                const vx_cf32 in = {static_cast<float>(x.real()), static_cast<float>(x.imag())};
                vx_cf32 out;
                boxcar_steps(b, &in, &out, 1);
                return std::complex<double>(out.re, out.im);
            }, "x"_a, STEP_DOC)
        .map<vx_cf32, vx_cf32>("steps", boxcar_steps, STEPS_DOC)
        .reset(boxcar_reset)
        .state(boxcar_state_bytes, boxcar_get_state, boxcar_set_state)
        .ro("len", boxcar_get_len, "Window length (read-only).")
        .rw("gain", boxcar_get_gain, boxcar_set_gain,
            "Output gain; setting it rescales later outputs and keeps the window.");
}
