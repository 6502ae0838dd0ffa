// veltra.ber: bit-error measurement with marker alignment and exact confidence intervals.
#include <cmath>
#include <optional>

#include "vxb.h"

#include "ber_meter.h"
#include "frame_meter.h"
#include "link_theory.h"

namespace {

using namespace vxb;

struct BerMeterPy : Handle<ber_meter, ber_meter_destroy> {};
using H = BerMeterPy;
struct FrameMeterPy : Handle<frame_meter, frame_meter_destroy> {};

// ---- the BerInterval record -------------------------------------------------------------

PyStructSequence_Field INTERVAL_FIELDS[] = {
    {"p_hat", "Point estimate of the error probability."},
    {"lo", "Lower confidence limit."},
    {"hi", "Upper confidence limit."},
    {"rel", "Relative standard error ``1/sqrt(errors)``."},
    {"conf", "Confidence level used."},
    {"errors", "`r`."},
    {"symbols", "`N` (or bits, for a BER)."},
    {nullptr, nullptr},
};

const char *const INTERVAL_DOC = R"doc(Error rate with its two-sided exact confidence interval.

A read-only named tuple ``(p_hat, lo, hi, rel, conf, errors, symbols)``. With `N`
fixed in advance the interval is ``[G(r).ppf(g/2), G(r + 1).ppf(1 - g/2)] / N``
(``G(k)`` the unit Gamma distribution, ``g = 1 - conf``) and ``p_hat = r/N``; when
counting stopped at the `r`-th error (inverse binomial sampling) the upper limit uses
``G(r)`` and ``p_hat = (r - 1)/(N - 1)``.

Examples
--------
>>> from veltra.ber import ber_confidence
>>> iv = ber_confidence(8, 20000)
>>> round(iv.lo, 6), round(iv.hi, 6), iv.errors
(0.000129, 0.000929, 8)
)doc";

PyStructSequence_Desc INTERVAL_DESC = {"veltra.ber.BerInterval", INTERVAL_DOC, INTERVAL_FIELDS, 7};

PyTypeObject *interval_type = nullptr;

nb::object to_python(const ber_interval &iv)
{
    nb::object r = nb::steal(PyStructSequence_New(interval_type));
    if (!r)
        raise_pending();
    const double f[] = {iv.p_hat, iv.lo, iv.hi, iv.rel, iv.conf};
    for (int i = 0; i < 5; ++i)
        PyStructSequence_SetItem(r.ptr(), i, PyFloat_FromDouble(f[i]));
    PyStructSequence_SetItem(r.ptr(), 5, PyLong_FromUnsignedLongLong(iv.errors));
    PyStructSequence_SetItem(r.ptr(), 6, PyLong_FromUnsignedLongLong(iv.symbols));
    for (int i = 0; i < 7; ++i)
        if (!PyStructSequence_GetItem(r.ptr(), i))
            raise_pending();
    return r;
}

nb::dict to_python(const ber_align &a)
{
    nb::dict d;
    d["lag"] = a.lag;
    d["phase"] = a.phase;
    d["stat"] = a.stat;
    d["threshold"] = a.threshold;
    d["margin_db"] = a.margin_db;
    d["runner_db"] = a.runner_db;
    d["occurrences"] = a.occurrences;
    d["slips"] = a.slips;
    d["saturated"] = a.saturated != 0;
    d["ok"] = a.ok != 0;
    return d;
}

const char *const INTERVAL_SIG = "-> BerInterval";

// ---- the meter ----------------------------------------------------------------------------

// BerMeter(m, target_errors, conf, truth=None): the truth, when given, as by set_truth.
ber_meter *create_meter(uint32_t m, uint64_t target_errors, double conf, nb::handle truth)
{
    std::optional<InArray<uint8_t>> t;  // converted first: a refused array leaves nothing to free
    if (!truth.is_none())
        t.emplace(truth);
    ber_meter *bm = ber_meter_create(m, target_errors, conf);
    if (bm && t) {
        if (ber_meter_set_truth(bm, t->data(), t->size()) != VX_OK) {
            ber_meter_destroy(bm);
            raise(PyExc_ValueError, "truth must be non-empty symbol indices below m");
        }
    }
    return bm;
}

// The truth (a copy), or None before one is installed.
nb::object truth_of(const ber_meter *bm)
{
    const uint64_t n = ber_meter_get_truth_len(bm);
    if (!n)
        return nb::none();
    OutArray<uint8_t> t(nb::none(), n);
    ber_meter_get_truth(bm, t.data(), n);
    return t.finish(n);
}

// ---- documentation ----------------------------------------------------------------------

const char *const BER_METER_DOC = R"doc(Symbol and bit error meter for M-PSK symbols against a known truth.

Symbol index ``s`` sits at angle ``2*pi*s/m + theta0`` (``theta0 = pi/4`` for
``m = 4``, else 0); bits are Gray-coded. The alignment between received symbols and
the truth is *detected*: a marker taken from the truth is correlated against the
received stream over a span of lags and the peak gated by a false-alarm probability
(``align``). The lag and carrier phase found are then used verbatim by ``score``; no
search ever minimises the error count. Stop once ``enough`` (errors reached
`target_errors`) and read ``ser()`` / ``ber()``.

Parameters
----------
m : int, optional
    Constellation order: 2, 4 or 8. Default 4.
target_errors : int, optional
    Symbol errors after which ``enough`` turns true (0 means 200). Default 200.
conf : float, optional
    Two-sided confidence level of the intervals, in (0, 1) (0 means 0.99).
    Default 0.99.
truth : array_like of uint8, optional
    The transmitted symbol indices, installed as by ``set_truth``. Default None.

Raises
------
ValueError
    "m must be 2, 4 or 8 and conf must lie in (0, 1)", or "truth must be
    non-empty symbol indices below m".

Examples
--------
>>> import numpy as np
>>> from veltra.ber import BerMeter
>>> rng = np.random.default_rng(1)
>>> truth = rng.integers(0, 4, 400).astype(np.uint8)
>>> rx = np.exp(1j * (np.pi / 2 * truth + np.pi / 4)).astype(np.complex64)
>>> bm = BerMeter(m=4)
>>> bm.set_truth(truth)
>>> bm.align(rx, n_marker=64)
1
>>> bm.score(rx, hi=400), bm.errors, bm.skipped
(336, 0, 64)
)doc";

const char *const ALIGN_DOC = R"doc(Detect the lag and carrier phase of `rx` against the truth's marker.

The marker ``truth[t0 + k*period : t0 + k*period + n_marker]`` (one occurrence when
`period` is 0, else as many as `rx` holds) is correlated coherently with `rx` at
every lag in ``-lag_span..lag_span``; occurrences add non-coherently. The peak's
statistic, normalised to the mean of the lags off the peak, must clear the
non-coherent threshold for `pfa` spread over all lags, lie inside the span, and beat
the runner-up lag by 0.3 dB. The record (``lag``, ``phase``, ``align_*``) is kept for
``score`` either way.

Parameters
----------
rx : array_like of complex64
    Received symbols, one per truth symbol, any shape, read in C order.
t0 : int, optional
    Truth index of the marker's first occurrence. Default 0.
n_marker : int, optional
    Marker length (0 means 256; at least 8). Default 0.
period : int, optional
    Marker repeat period in symbols (0: a single occurrence). Default 0.
lag_span : int, optional
    Largest lag searched (<= 0 means 200; at most 1023). Default 0.
pfa : float, optional
    False-alarm probability of the whole search (outside (0, 1) means 1e-6).
    Default 0.0.

Returns
-------
int
    1 when the alignment was detected, else 0 (then ``score`` refuses).

Examples
--------
>>> import numpy as np
>>> from veltra.ber import BerMeter
>>> truth = np.random.default_rng(2).integers(0, 2, 600).astype(np.uint8)
>>> rx = (1 - 2.0 * truth).astype(np.complex64) * 1j
>>> bm = BerMeter(m=2)
>>> bm.set_truth(truth)
>>> bm.align(rx[5:], t0=100, n_marker=128), bm.lag, round(bm.phase, 4)
(1, 5, 1.5708)
)doc";

const char *const SCORE_DOC = R"doc(Count symbol and bit errors of `rx` at the aligned lag and phase.

For each ``i`` in ``[lo, min(len(rx), hi))`` the symbol ``rx[i]`` is decided against
``truth[i + lag]`` after removing the aligned phase. Symbols outside the truth or on
a marker occurrence are skipped (counted in ``skipped``); a non-finite symbol is an
error with all its bits wrong.

Parameters
----------
rx : array_like of complex64
    Received symbols, indexed as for ``align``.
lo, hi : int, optional
    Window of received indices to score (hi = 0 scores nothing). Default 0.

Returns
-------
int
    Symbols scored by this call.

Raises
------
ValueError
    "score needs a successful align" when the last alignment was not detected.

Examples
--------
>>> import numpy as np
>>> from veltra.ber import BerMeter
>>> truth = np.random.default_rng(3).integers(0, 8, 500).astype(np.uint8)
>>> rx = np.exp(2j * np.pi * truth / 8).astype(np.complex64)
>>> rx[300] *= np.exp(2j * np.pi / 8)              # one step: one bit (Gray)
>>> bm = BerMeter(m=8)
>>> bm.set_truth(truth)
>>> bm.align(rx, n_marker=32)
1
>>> bm.score(rx, hi=500), bm.errors, bm.bit_errors
(468, 1, 1)
)doc";

const char *const CONFIDENCE_DOC = R"doc(Two-sided exact confidence interval of an error rate.

`N` is taken as fixed in advance: ``lo = G(r).ppf(g/2)/N`` and
``hi = G(r + 1).ppf(1 - g/2)/N`` with ``G(k)`` the unit Gamma distribution and
``g = 1 - conf``; ``r = 0`` gives ``lo = 0`` and ``hi = -ln(g/2)/N``. These are the
Poisson (Garwood) limits, which bracket the binomial Clopper-Pearson ones.

Parameters
----------
errors : int
    Errors counted, `r`.
trials : int
    Trials, `N`.
conf : float, optional
    Confidence level; outside (0, 1) means 0.99. Default 0.99.

Returns
-------
BerInterval
    ``p_hat = r/N``; NaN, with ``hi = inf``, for ``N = 0``.

Examples
--------
>>> from veltra.ber import ber_confidence
>>> iv = ber_confidence(0, 1000, 0.95)
>>> iv.lo, round(iv.hi * 1000, 4)
(0.0, 3.6889)
)doc";

const char *const ALIGN_DETECT_DOC = R"doc(Detect a marker of `truth` in `rx`, as ``BerMeter.align`` does.

Parameters
----------
rx : array_like of complex64
    Received symbols.
truth : array_like of uint8
    Transmitted symbol indices, each below `m`.
m : int, optional
    Constellation order 2, 4 or 8. Default 4.
pfa, t0, n_marker, period, lag_span
    As for ``BerMeter.align``.

Returns
-------
dict
    ``lag``, ``phase``, ``stat``, ``threshold``, ``margin_db``, ``runner_db``,
    ``occurrences``, ``slips``, ``saturated`` and ``ok``. A failed detection has
    lag 0, threshold inf, margin_db -inf and ok False.

Examples
--------
>>> import numpy as np
>>> from veltra.ber import ber_align_detect
>>> truth = np.random.default_rng(4).integers(0, 4, 1000).astype(np.uint8)
>>> rx = np.exp(1j * (np.pi / 2 * truth + np.pi / 4 + 0.3)).astype(np.complex64)
>>> r = ber_align_detect(rx[7:], truth, t0=100, n_marker=64)
>>> r["ok"], r["lag"], round(r["phase"], 3)
(True, 7, 0.3)
)doc";

const char *const FRAME_METER_DOC = R"doc(Frame outcome counter with exact frame-error and sync-miss intervals.

Each ``add`` records one frame: without sync it is an error; with sync a failed CRC
(``crc = 0``) is an error, a passed one (``crc > 0``) or a frame without CRC
(``crc < 0``) is delivered. ``fer()`` and ``sync_miss()`` return the same exact
intervals as ``BerMeter``; the frame-error one becomes the inverse-binomial interval
once ``enough``.

Parameters
----------
target_errors : int, optional
    Frame errors after which ``enough`` turns true (0 means 200). Default 200.
conf : float, optional
    Two-sided confidence level, in (0, 1) (0 means 0.99). Default 0.99.

Raises
------
ValueError
    "conf must lie in (0, 1)".

Examples
--------
>>> from veltra.ber import FrameMeter
>>> fm = FrameMeter()
>>> for sync_ok, crc in [(1, 1), (1, 0), (0, 0), (1, -1)]:
...     fm.add(sync_ok, crc)
>>> fm.frames, fm.sync_detected, fm.crc_passed, fm.errors
(4, 3, 1, 2)
>>> round(fm.fer().p_hat, 3)
0.5
)doc";

const char *const THEORY_SER_DOC = R"doc(Symbol error rate of coherent M-PSK.

Parameters
----------
m : int
    Constellation order: below 3 BPSK, 4 QPSK, otherwise 8-PSK.
esn0 : float
    Es/N0, linear.

Returns
-------
float
    ``Q(sqrt(2*esn0))`` (BPSK), ``2*Q(sqrt(esn0))`` (QPSK) or
    ``2*Q(sqrt(2*esn0)*sin(pi/8))``, never above the guessing rate (0.5 for BPSK,
    ``1 - 1/m`` otherwise), which ``esn0 <= 0`` gives; NaN for NaN.

Examples
--------
>>> from veltra.ber import ber_theory_ser
>>> ber_theory_ser(2, 0.0), ber_theory_ser(8, 0.0)
(0.5, 0.875)
>>> round(ber_theory_ser(4, 10 ** 0.6), 5)
0.04601
)doc";

const char *const THEORY_BER_DOC = R"doc(Gray-coded bit error rate of coherent M-PSK.

Parameters
----------
m : int
    Constellation order (2, 4 or 8; others count one bit per symbol).
esn0 : float
    Es/N0, linear.

Returns
-------
float
    ``Q(sqrt(2*esn0/b))`` for ``m < 5`` (``b = log2 m``: BPSK and QPSK bits alike),
    else ``ber_theory_ser(m, esn0)/b``; ``esn0 <= 0`` counts as 0.

Examples
--------
>>> from veltra.ber import ber_theory_ber
>>> round(ber_theory_ber(4, 2 * 10 ** 0.6), 6)   # Eb/N0 = 6 dB
0.002388
)doc";

const char *const ESN0_DOC = R"doc(Es/N0 in dB at which theory gives a symbol error rate.

Parameters
----------
m : int
    Constellation order, as for ``ber_theory_ser``.
ser : float
    Symbol error rate.

Returns
-------
float
    Found by 200 bisection steps on [-10, 40] dB; -10 when `ser` is at or above the
    rate at -10 dB, 40 when it is at or below the rate at 40 dB (an error-free
    ``ser = 0`` included); NaN for NaN.

Examples
--------
>>> from veltra.ber import ber_esn0_db_for_ser, ber_theory_ser
>>> round(ber_esn0_db_for_ser(4, ber_theory_ser(4, 10 ** 0.6)), 9)
6.0
>>> ber_esn0_db_for_ser(4, 0.0)
40.0
)doc";

const char *const EVM_FLOOR_DOC = R"doc(Floor of the self-referenced EVM when symbols fill their decision sectors.

Parameters
----------
m : int
    Constellation order (raised to 2).

Returns
-------
float
    ``10*log10(2 - 2*sin(t)/t)`` dB with ``t = pi/max(m, 2)``.

Examples
--------
>>> from veltra.ber import ber_evm_scatter_floor_db
>>> [round(ber_evm_scatter_floor_db(m), 1) for m in (2, 4, 8)]
[-1.4, -7.0, -12.9]
)doc";

const char *const SETTLE_SYMS_DOC = R"doc(Symbols a timing and carrier loop pair needs to settle.

Parameters
----------
bn_timing, bn_carrier : float
    Loop noise bandwidths in cycles per symbol; a term is left out when its
    bandwidth is <= 0.

Returns
-------
int
    ``trunc(2*(5/bn_timing + 5/bn_carrier))``, saturating at 2**64 - 1.

Raises
------
ValueError
    "bn_timing and bn_carrier must not be NaN".

Examples
--------
>>> from veltra.ber import ber_settle_syms
>>> ber_settle_syms(0.01, 0.01), ber_settle_syms(0.0, 0.0)
(2000, 0)
)doc";

const char *const SETTLE_FROM_DOC = R"doc(Symbol at which a steady-state measurement window may start.

Parameters
----------
budget : int
    Settling budget, for instance ``ber_settle_syms(...)``.
timing_lock, carrier_lock : int, optional
    Symbols at which each loop declared lock; <= 0 (-1: never) is ignored, so check
    for -1 yourself. Default -1.

Returns
-------
int
    `budget`, moved to `timing_lock` when that is at or past it, then to
    `carrier_lock` when that is past the result.

Examples
--------
>>> from veltra.ber import ber_settle_from
>>> ber_settle_from(2000, 415, -1), ber_settle_from(2000, 2525, -1)
(2000, 2525)
)doc";

const char *const LOCK_SYMBOL_DOC = R"doc(First symbol from which a lock indicator stays set.

Parameters
----------
flags : array_like of uint8
    Per-symbol lock flags (non-zero: locked).
sustain : int, optional
    Consecutive set flags required (0 means 200). Default 200.
min_frac : float, optional
    Share of set flags required from there to the end (<= 0 means 0.9).
    Default 0.9.

Returns
-------
int
    The first such index, or -1.

Examples
--------
>>> import numpy as np
>>> from veltra.ber import ber_lock_symbol
>>> flags = np.r_[np.zeros(50), np.ones(500)].astype(np.uint8)
>>> ber_lock_symbol(flags), ber_lock_symbol(np.zeros(300, np.uint8))
(50, -1)
)doc";

const char *const EVM_DOC = R"doc(Self-referenced EVM of M-PSK symbols, in dB.

No truth and no lag are used, so an alignment search cannot flatter it: the rotation
comes from the m-th power of the window's sum, each symbol is normalised to the
window's rms and compared with its nearest constellation point. A locked
matched-filter output reads about ``-Es/N0``.

Parameters
----------
rx : array_like of complex64
    Symbols.
lo, hi : int, optional
    Window ``[lo, min(len(rx), hi))``; give `hi` (0 measures nothing). Default 0.
m : int, optional
    Constellation order, raised to 2; above 64 gives NaN. Default 4.

Returns
-------
float
    The EVM; 0.0 for a window under 20 symbols, at most -120 for ideal symbols, NaN
    when a sample is not finite.

Examples
--------
>>> import numpy as np
>>> from veltra.ber import ber_evm_db
>>> s = np.exp(1j * (np.pi / 2 * np.arange(100) + 0.4)).astype(np.complex64)
>>> ber_evm_db(s, hi=100), ber_evm_db(s, hi=19)
(-120.0, 0.0)
)doc";

std::string interval_method_doc(const char *summary, const char *example)
{
    return std::string(summary) +
           "\n\nReturns\n-------\nBerInterval\n    Estimate and two-sided interval at the meter's `conf`.\n\n"
           "Examples\n--------\n>>> from veltra.ber import BerMeter\n>>> bm = BerMeter()\n" +
           example;
}

}  // namespace

NB_MODULE(ber, m)
{
    init_module(m, "Link measurement: BER and frame meters with exact intervals, and M-PSK link theory.");

    interval_type = PyStructSequence_NewType(&INTERVAL_DESC);
    if (!interval_type)
        raise_pending();
    m.attr("BerInterval") = nb::steal(reinterpret_cast<PyObject *>(interval_type));

    Class<H>(m, "BerMeter", BER_METER_DOC)
        .ctor(create_meter, invalid("m must be 2, 4 or 8 and conf must lie in (0, 1)"),
              "m"_a = 4u, "target_errors"_a = uint64_t{BER_TARGET_ERRORS}, "conf"_a = BER_CONF,
              "truth"_a.none() = nb::none())
        .repr(+[](const ber_meter *b) {
            return Args().u("m", ber_meter_get_m(b)).u("target_errors", ber_meter_get_target_errors(b))
                .f("conf", ber_meter_get_conf(b));
        })
        // The truth travels as a parameter; the counters and the alignment in the blob.
        .pickle(+[](const ber_meter *b) {
            return Args().u("m", ber_meter_get_m(b)).u("target_errors", ber_meter_get_target_errors(b))
                .f("conf", ber_meter_get_conf(b)).o("truth", truth_of(b));
        })
        .reset(ber_meter_reset)
        .state(ber_meter_state_bytes, ber_meter_get_state, ber_meter_set_state)
        .ro("errors", ber_meter_get_errors, "Symbol errors counted.")
        .ro("symbols", ber_meter_get_symbols, "Symbols scored.")
        .ro("bit_errors", ber_meter_get_bit_errors, "Gray-coded bit errors counted.")
        .ro("bits", ber_meter_get_bits, "Bits scored.")
        .ro("skipped", ber_meter_get_skipped, "Symbols not scored: on a marker or outside the truth.")
        .ro("m", ber_meter_get_m, "Constellation order.")
        .ro("truth", truth_of, "The installed truth (a uint8 copy), or None before ``set_truth``.")
        .ro("target_errors", ber_meter_get_target_errors, "Symbol errors that make ``enough`` true.")
        .ro("conf", ber_meter_get_conf, "Confidence level of the intervals.")
        .ro("enough", +[](const ber_meter *b) { return ber_meter_get_enough(b) != 0; },
            "True once ``errors >= target_errors``: stop measuring.")
        .ro("lag", ber_meter_get_lag, "Aligned lag: ``rx[i]`` carries ``truth[i + lag]``.")
        .ro("phase", ber_meter_get_phase, "Aligned carrier phase in radians (rotation beyond the constellation).")
        .ro("align_stat", ber_meter_get_align_stat, "Detection statistic at the peak (noise-normalised envelope).")
        .ro("align_margin_db", ber_meter_get_align_margin_db, "``20*log10(stat/threshold)`` in dB.")
        .ro("align_runner_db", ber_meter_get_align_runner_db, "Peak power over the best runner-up lag, in dB.")
        .ro("align_occurrences", ber_meter_get_align_occurrences, "Marker occurrences combined at the peak.")
        .ro("align_slips", ber_meter_get_align_slips,
            "Occurrences whose phase strays more than pi/m from the peak's.")
        .ro("align_saturated", +[](const ber_meter *b) { return ber_meter_get_align_saturated(b) != 0; },
            "True when the peak sat on the edge of the lag span.")
        .ro("align_ok", +[](const ber_meter *b) { return ber_meter_get_align_ok(b) != 0; },
            "True when the last alignment was detected.")
        .def("set_truth", [](H &h, nb::handle truth) {
            Use<H> pin(h);
            InArray<uint8_t> t(truth);
            check_status(ber_meter_set_truth(pin, t.data(), t.size()), "set_truth");
        }, "truth"_a, R"doc(Install the transmitted symbol indices (copied).

Parameters
----------
truth : array_like of uint8
    Symbol indices, each below `m`, any shape, read in C order.

Raises
------
ValueError
    "set_truth failed (rc=-4)" when `truth` is empty or holds an index >= m; the
    previous truth is kept.

Examples
--------
>>> import numpy as np
>>> from veltra.ber import BerMeter
>>> BerMeter(m=2).set_truth(np.array([0, 1, 1], np.uint8))
)doc")
        .def("align", [](H &h, nb::handle rx, Count t0, Count n_marker, Count period, int64_t lag_span,
                         double pfa) {
            Use<H> pin(h);
            InArray<vx_cf32> x(rx);
            return ber_meter_align(pin, x.data(), x.size(), t0, n_marker, period, pfa, lag_span);
        }, "rx"_a, "t0"_a = Count{0}, "n_marker"_a = Count{0}, "period"_a = Count{0}, "lag_span"_a = 0,
           "pfa"_a = 0.0, ALIGN_DOC)
        .def("score", [](H &h, nb::handle rx, Count lo, Count hi) {
            Use<H> pin(h);
            InArray<vx_cf32> x(rx);
            if (!ber_meter_get_align_ok(pin))
                raise(PyExc_ValueError, "score needs a successful align");
            return ber_meter_score(pin, x.data(), x.size(), lo, hi);
        }, "rx"_a, "lo"_a = Count{0}, "hi"_a = Count{0}, SCORE_DOC)
        .def("ser", [](H &h) { return to_python(ber_meter_ser(Use<H>(h))); },
             nb::sig("def ser(self) -> BerInterval"),
             keep(interval_method_doc(
                 "Symbol error rate so far.\n\nOnce ``enough`` the count stopped the sampling and the upper\n"
                 "limit is the inverse-binomial one; before, `N` counts as fixed.",
                 ">>> bm.ser().symbols\n0\n")))
        .def("ber", [](H &h) { return to_python(ber_meter_ber(Use<H>(h))); },
             nb::sig("def ber(self) -> BerInterval"),
             keep(interval_method_doc("Gray-coded bit error rate so far (`N` counts as fixed).",
                                      ">>> bm.ber().errors\n0\n")))
        .def("interval", [](H &h, Count errors, Count symbols) {
            return to_python(ber_meter_interval(Use<H>(h), errors, symbols));
        }, "errors"_a, "symbols"_a, nb::sig("def interval(self, errors: int, symbols: int) -> BerInterval"),
             keep(interval_method_doc(
                 "Interval of `errors` in `symbols` trials at this meter's `conf` (fixed `N`).\n\n"
                 "Parameters\n----------\nerrors, symbols : int\n    The counts.",
                 ">>> round(bm.interval(12, 736).lo, 4)\n0.0067\n")));

    m.def("ber_confidence", [](Count errors, Count trials, double conf) {
        return to_python(ber_confidence(errors, trials, conf));
    }, "errors"_a, "trials"_a, "conf"_a = BER_CONF,
       nb::sig("def ber_confidence(errors: int, trials: int, conf: float = 0.99) -> BerInterval"),
       CONFIDENCE_DOC);
    m.def("ber_align_detect", [](nb::handle rx, nb::handle truth, uint32_t mo, double pfa, Count t0,
                                 Count n_marker, Count period, int64_t lag_span) {
        InArray<vx_cf32> x(rx);
        InArray<uint8_t> t(truth);
        return to_python(ber_align_detect(x.data(), x.size(), t.data(), t.size(), mo, pfa, t0, n_marker,
                                          period, lag_span));
    }, "rx"_a, "truth"_a, "m"_a = 4u, "pfa"_a = 0.0, "t0"_a = Count{0}, "n_marker"_a = Count{0},
       "period"_a = Count{0}, "lag_span"_a = 0, ALIGN_DETECT_DOC);
    Class<FrameMeterPy>(m, "FrameMeter", FRAME_METER_DOC)
        .ctor(frame_meter_create, invalid("conf must lie in (0, 1)"),
              "target_errors"_a = uint64_t{BER_TARGET_ERRORS}, "conf"_a = BER_CONF)
        .repr(+[](const frame_meter *f) {
            return Args().u("target_errors", frame_meter_get_target_errors(f)).f("conf", frame_meter_get_conf(f));
        })
        .pickle()
        .reset(frame_meter_reset)
        .state(frame_meter_state_bytes, frame_meter_get_state, frame_meter_set_state)
        .fn("add", +[](frame_meter *f, Flag sync_ok, int crc) { frame_meter_add(f, sync_ok, crc); },
            "sync_ok"_a, "crc"_a, R"doc(Record one frame.

Parameters
----------
sync_ok : bool or int
    Whether the frame's sync was detected.
crc : int
    1 (or any positive) CRC passed, 0 failed, negative: the frame carries no CRC.

Examples
--------
>>> from veltra.ber import FrameMeter
>>> fm = FrameMeter()
>>> fm.add(True, 0)
>>> fm.errors
1
)doc")
        .ro("frames", frame_meter_get_frames, "Frames recorded.")
        .ro("sync_detected", frame_meter_get_sync_detected, "Frames whose sync was detected.")
        .ro("crc_passed", frame_meter_get_crc_passed, "Frames whose CRC passed.")
        .ro("errors", frame_meter_get_errors, "Frame errors: no sync, or a failed CRC.")
        .ro("enough", +[](const frame_meter *f) { return frame_meter_get_enough(f) != 0; },
            "True once ``errors >= target_errors``: stop measuring.")
        .def("fer", [](FrameMeterPy &h) { return to_python(frame_meter_fer(Use<FrameMeterPy>(h))); },
             nb::sig("def fer(self) -> BerInterval"),
             R"doc(Frame error rate with its exact interval.

Returns
-------
BerInterval
    The inverse-binomial interval once ``enough``, else the fixed-count one.

Examples
--------
>>> from veltra.ber import FrameMeter
>>> FrameMeter().fer().symbols
0
)doc")
        .def("sync_miss", [](FrameMeterPy &h) { return to_python(frame_meter_sync_miss(Use<FrameMeterPy>(h))); },
             nb::sig("def sync_miss(self) -> BerInterval"),
             R"doc(Sync-miss rate (frames without sync over frames) with its exact interval.

Returns
-------
BerInterval
    The fixed-count interval.

Examples
--------
>>> from veltra.ber import FrameMeter
>>> fm = FrameMeter()
>>> fm.add(0, 0)
>>> fm.sync_miss().errors
1
)doc");

    m.def("ber_theory_ser", &ber_theory_ser, "m"_a, "esn0"_a, THEORY_SER_DOC);
    m.def("ber_theory_ber", &ber_theory_ber, "m"_a, "esn0"_a, THEORY_BER_DOC);
    m.def("ber_esn0_db_for_ser", &ber_esn0_db_for_ser, "m"_a, "ser"_a, ESN0_DOC);
    m.def("ber_evm_scatter_floor_db", &ber_evm_scatter_floor_db, "m"_a, EVM_FLOOR_DOC);
    m.def("ber_settle_syms", [](double bt, double bc) {
        if (std::isnan(bt) || std::isnan(bc))
            raise(PyExc_ValueError, "bn_timing and bn_carrier must not be NaN");
        return ber_settle_syms(bt, bc);
    }, "bn_timing"_a, "bn_carrier"_a, SETTLE_SYMS_DOC);
    m.def("ber_settle_from", &ber_settle_from, "budget"_a, "timing_lock"_a = -1, "carrier_lock"_a = -1,
          SETTLE_FROM_DOC);
    m.def("ber_lock_symbol", [](nb::handle flags, Count sustain, double min_frac) {
        InArray<uint8_t> f(flags);
        return ber_lock_symbol(f.data(), f.size(), sustain, min_frac);
    }, "flags"_a, "sustain"_a = Count{200}, "min_frac"_a = 0.9, LOCK_SYMBOL_DOC);
    m.def("ber_evm_db", [](nb::handle rx, Count lo, Count hi, int mo) {
        InArray<vx_cf32> x(rx);
        return ber_evm_db(x.data(), x.size(), lo, hi, mo);
    }, "rx"_a, "lo"_a = Count{0}, "hi"_a = Count{0}, "m"_a = 4, EVM_DOC);
}
