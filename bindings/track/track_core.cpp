// veltra.track: tracking loops and receivers.
#include "vxb.h"

#include "loop_filter.h"

void bind_timing(nanobind::module_ &m);     // track_timing.cpp
void bind_receivers(nanobind::module_ &m);  // track_receiver.cpp
void bind_loops(nanobind::module_ &m);      // track_loops.cpp

namespace {

using namespace vxb;

struct LoopFilterPy : Handle<loop_filter, loop_filter_destroy> {};

const char *const LOOP_FILTER_DOC = R"doc(Second-order proportional-plus-integral loop filter.

Gains follow from the loop noise bandwidth and damping factor: with
``wn = 8*zeta*bn / (1 + 4*zeta**2)`` and ``theta = wn*t``,
``kp = 8*zeta*theta / d`` and ``ki = 4*theta**2 / d`` where
``d = 4*(1 + zeta*theta) + theta**2``. Each update adds ``ki*x`` to the
integrator and returns ``integ + kp*x``.

Parameters
----------
bn : float, optional
    Loop noise bandwidth in cycles per sample (>= 0). Default 0.01.
zeta : float, optional
    Damping factor (> 0). Default 0.707.
t : float, optional
    Update period in samples (> 0). Default 1.0.

Raises
------
ValueError
    "bn must be >= 0, zeta > 0 and t > 0, and all three finite".

Examples
--------
>>> from veltra.track import LoopFilter
>>> lf = LoopFilter(bn=0.02, zeta=0.707, t=1.0)
>>> round(lf.step(1.0), 5)
0.05331
>>> lf.steps([0.0, 0.0]).shape
(2,)
)doc";

}  // namespace

NB_MODULE(track, m)
{
    init_module(m, "Carrier, timing and code tracking loops and M-PSK receivers.");

    Class<LoopFilterPy>(m, "LoopFilter", LOOP_FILTER_DOC)
        .ctor(loop_filter_create, invalid("bn must be >= 0, zeta > 0 and t > 0, and all three finite"),
              "bn"_a = 0.01, "zeta"_a = 0.707, "t"_a = 1.0)
        .repr(+[](const loop_filter *lf) { return Args().f("bn", lf->bn).f("zeta", lf->zeta).f("t", lf->t); })
        .pickle()
        .fn("step", +[](loop_filter *lf, double x) { return loop_filter_step(lf, x); }, "x"_a,
            R"doc(Perform one update.

Parameters
----------
x : float
    Error input.

Returns
-------
float
    Control output ``integ + kp*x`` after the integrator took ``ki*x``.

Examples
--------
>>> from veltra.track import LoopFilter
>>> round(LoopFilter(bn=0.05).step(0.0), 3)
0.0
)doc")
        .map<double, double>("steps", loop_filter_steps,
            R"doc(Run one update per element.

Parameters
----------
x : array_like of float64
    Error inputs, any shape, read in C order.
out : ndarray of float64, optional
    Destination with exactly ``x``'s element count; returned when given.

Returns
-------
ndarray of float64
    One-dimensional control outputs, one per input.

Raises
------
TypeError
    If `out` is not a writable, C-contiguous float64 ndarray, or `x` cannot be
    converted to float64 without an unsafe cast.
ValueError
    If `out` has a different length than `x`.

Examples
--------
>>> import numpy as np
>>> from veltra.track import LoopFilter
>>> y = LoopFilter(bn=0.02).steps(np.ones(4))
>>> bool(np.all(np.diff(y) > 0))
True
)doc")
        .status("configure", loop_filter_configure, "bn"_a, "zeta"_a, "t"_a,
            R"doc(Retune the gains, keeping the integrator.

Parameters
----------
bn, zeta, t : float
    As for the constructor.

Raises
------
ValueError
    "configure failed (rc=-4)" for values the constructor would reject; the
    filter is then unchanged.

Examples
--------
>>> from veltra.track import LoopFilter
>>> lf = LoopFilter(bn=0.02)
>>> lf.configure(0.05, 0.707, 1.0)
>>> round(lf.kp, 6)
0.124728
)doc")
        .reset(loop_filter_reset)
        .state(loop_filter_state_bytes, loop_filter_get_state, loop_filter_set_state)
        .ro("kp", &loop_filter::kp, "Proportional gain.")
        .ro("ki", &loop_filter::ki, "Integral gain.")
        .rw("integ", &loop_filter::integ, "Integrator (running frequency or rate estimate); writable.")
        .ro("bn", &loop_filter::bn, "Loop noise bandwidth in cycles per sample.")
        .ro("zeta", &loop_filter::zeta, "Damping factor.")
        .ro("t", &loop_filter::t, "Update period in samples.");

    bind_timing(m);
    bind_receivers(m);
    bind_loops(m);
}
