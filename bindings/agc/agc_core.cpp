// veltra.agc: log-domain feedback automatic gain control.
#include <nanobind/stl/complex.h>

#include <complex>

#include "vxb.h"

#include "agc.h"

namespace {

using namespace vxb;

struct AGCPy : Handle<agc, agc_destroy> {};

const char *const AGC_DOC = R"doc(Log-domain feedback automatic gain control over complex64 samples.

The gain is applied, the output power is measured by an exponential detector
(coefficient `alpha`) and the dB error against `ref_db` is integrated with gain
``4*loop_bw`` per update. ``step`` runs the per-sample path (the gain held for
``gain_update_period`` samples); ``steps`` runs the block path, one loop update per
``decim`` samples with the gain ramped linearly across each chunk. Chunks are counted
along the stream, so any split of the input gives the same output. Every output
component is clamped to ``±10**(clip_db/20)`` (NaN becomes 0).

Parameters
----------
ref_db : float, optional
    Target output power in dB (default 0.0).
loop_bw : float, optional
    Loop bandwidth in cycles per sample (default 0.0025).
alpha : float, optional
    Detector averaging coefficient in (0, 1] (default 0.05).

Raises
------
ValueError
    "ref_db, loop_bw and alpha must be finite".

Examples
--------
>>> import numpy as np
>>> from veltra.agc import AGC
>>> a = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)
>>> y = a.steps(np.full(1000, 4 + 0j, np.complex64))
>>> round(a.gain_db, 1)
-12.0
>>> round(float(np.mean(np.abs(a.steps(np.full(8, 4 + 0j, np.complex64))) ** 2)), 2)
1.0
)doc";

std::complex<double> step(agc *a, std::complex<double> x)
{
    const vx_cf32 y = agc_step(a, {static_cast<float>(x.real()), static_cast<float>(x.imag())});
    return {y.re, y.im};
}

// The two periods are counts: any int, a negative one wrapping modulo 2^64.
Count get_decim(const agc *a) { return {a->decim}; }
void set_decim(agc *a, Count v) { agc_set_decim(a, v); }
Count get_gain_update_period(const agc *a) { return {a->gain_update_period}; }
void set_gain_update_period(agc *a, Count v) { agc_set_gain_update_period(a, v); }

}  // namespace

NB_MODULE(agc, m)
{
    init_module(m, "Automatic gain control.");

    Class<AGCPy>(m, "AGC", AGC_DOC)
        .ctor(agc_create, invalid("ref_db, loop_bw and alpha must be finite"),
              "ref_db"_a = 0.0, "loop_bw"_a = 0.0025, "alpha"_a = 0.05)
        .repr(+[](const agc *a) {
            return Args().f("ref_db", a->ref_db).f("loop_bw", a->loop_bw).f("alpha", a->alpha);
        })
        .pickle()
        .fn("step", step, "x"_a, R"doc(Run the per-sample path on one sample.

Parameters
----------
x : complex
    Input sample.

Returns
-------
complex
    The gained and clamped sample.

Examples
--------
>>> from veltra.agc import AGC
>>> a = AGC()
>>> a.step(4 + 0j)
(4+0j)
>>> round(a.gain_db, 4)
-0.0243
)doc")
        .map<vx_cf32, vx_cf32>("steps", agc_steps, R"doc(Run the block path.

Parameters
----------
x : array_like of complex64
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with exactly ``x``'s element count (may be ``x`` itself); returned
    when given.

Returns
-------
ndarray of complex64
    One output per input.

Examples
--------
>>> import numpy as np
>>> from veltra.agc import AGC
>>> AGC().steps(np.ones(16, np.complex64)).shape
(16,)
)doc")
        .reset(agc_reset)
        .telemetry(agc_set_telemetry)
        .state(agc_state_bytes, agc_get_state, agc_set_state)
        .ro("gain_db", &agc::gain_db, "The loop integrator: the commanded gain in dB.")
        .ro("applied_gain_db", agc_get_applied_gain_db, "Gain applied to the latest sample, in dB.")
        .rw("ref_db", &agc::ref_db, agc_set_ref_db, "finite", "Target output power in dB.")
        .rw("loop_bw", &agc::loop_bw, agc_set_loop_bw, "finite",
            "Loop bandwidth in cycles per sample.")
        .rw("alpha", &agc::alpha, agc_set_alpha, "finite", "Detector coefficient in (0, 1].")
        .rw("clip_db", &agc::clip_db, agc_set_clip_db, "finite", "Output clamp level in dB.")
        .rw("decim", get_decim, set_decim, "Block path: samples per loop update (0 acts as 1).")
        .rw("gain_update_period", get_gain_update_period, set_gain_update_period,
            "Per-sample path: samples the gain is held between updates (0 acts as 1).");

    m.def("settling_samples", &agc_settling_samples, "loop_bw"_a, "alpha"_a, "gain_err_db"_a,
          "tol_db"_a, R"doc(Samples the per-sample AGC loop needs to settle.

Runs a fresh loop (reference 0 dB) on a constant input whose level is
`gain_err_db` below the reference and counts the samples until the gain is
within `tol_db` of `gain_err_db`.

Parameters
----------
loop_bw : float
    Loop bandwidth in cycles per sample (> 0).
alpha : float
    Detector coefficient in (0, 1].
gain_err_db : float
    Initial gain error in dB; positive is a quiet input (the slow direction).
tol_db : float
    Tolerance in dB (> 0).

Returns
-------
int
    1-based sample index, 1 when already within tolerance, 0 for arguments out of
    range or when the loop does not settle within its bounded run.

Examples
--------
>>> from veltra.agc import settling_samples
>>> settling_samples(0.0, 0.05, 3.0, 0.5)
0
>>> settling_samples(0.0025, 0.05, 3.0, 5.0)
1
>>> 0 < settling_samples(0.0025, 0.05, 20.0, 0.5) < 2000
True
)doc");
}
