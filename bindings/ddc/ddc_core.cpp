// veltra.ddc: digital down-converters (complex or real input, plain or matched).
#include <nanobind/stl/complex.h>

#include <algorithm>
#include <complex>

#include "vxb.h"

#include "ddc.h"

namespace {

using namespace vxb;

struct DDCPy : Handle<ddc, ddc_destroy> {};
struct MatchedDDCPy : Handle<ddc, ddc_destroy> {};
struct DdcrPy : Handle<ddcr, ddcr_destroy> {};
struct MatchedDdcrPy : Handle<ddcr, ddcr_destroy> {};

const char *const DDC_INVALID =
    "DDC: invalid parameter (need rate > 0, 0 <= beta <= 1, span >= 1, pulse_sps > 0, "
    "num_phases a power of two >= 2)";
const char *const DDCR_INVALID =
    "Ddcr: invalid parameter (need 0 < rate < 0.5, 0 <= beta <= 1, span >= 1, pulse_sps > 0, "
    "num_phases a power of two >= 2)";
const char *const NARROW_WARNING =
    "pulse=\"iandd\" with pulse_sps < 4: the rectangle is one symbol wide, so its matched "
    "filter is a 2-3 tap sum here and barely opens the eye (measured on the timing loop this "
    "feeds: lock statistic -0.34 at 2 samples/symbol against +0.95 at 4). Use pulse_sps >= 4, "
    "or pulse=\"rrc\".";

// The core functions of one input family, so the four classes share one method table.
template <class Core, class In> struct Family;

template <> struct Family<ddc, vx_cf32> {
    using PyIn = std::complex<double>;
    static constexpr auto execute = ddc_execute;
    static constexpr auto execute_ctrl = ddc_execute_ctrl;
    static constexpr auto push = ddc_execute_ctrl_push;
    static constexpr auto push_max_out = ddc_execute_ctrl_push_max_out;
    static constexpr auto ctrl_bound = ddc_execute_ctrl_bound;
    static constexpr auto reset = ddc_reset;
    static constexpr auto state_bytes = ddc_state_bytes;
    static constexpr auto get_state = ddc_get_state;
    static constexpr auto set_state = ddc_set_state;
    static constexpr auto get_norm_freq = ddc_get_norm_freq;
    static constexpr auto set_norm_freq = ddc_set_norm_freq;
    static constexpr auto get_rate = ddc_get_rate;
    static constexpr auto clipped = ddc_get_clipped;
    static constexpr auto narrow = ddc_get_narrow_pulse;
    static constexpr auto converter = ddc_get_converter;
    static uint64_t bound(const ddc *d, uint64_t n) { return ddc_execute_max_out(d, n); }
    static vx_cf32 sample(PyIn x) { return {static_cast<float>(x.real()), static_cast<float>(x.imag())}; }
};

template <> struct Family<ddcr, float> {
    using PyIn = double;
    static constexpr auto execute = ddcr_execute;
    static constexpr auto execute_ctrl = ddcr_execute_ctrl;
    static constexpr auto push = ddcr_execute_ctrl_push;
    static constexpr auto push_max_out = ddcr_execute_ctrl_push_max_out;
    static constexpr auto ctrl_bound = ddcr_execute_ctrl_bound;
    static constexpr auto reset = ddcr_reset;
    static constexpr auto state_bytes = ddcr_state_bytes;
    static constexpr auto get_state = ddcr_get_state;
    static constexpr auto set_state = ddcr_set_state;
    static constexpr auto get_norm_freq = ddcr_get_norm_freq;
    static constexpr auto set_norm_freq = ddcr_set_norm_freq;
    static constexpr auto get_rate = ddcr_get_rate;
    static constexpr auto clipped = ddcr_get_clipped;
    static constexpr auto narrow = ddcr_get_narrow_pulse;
    static constexpr auto converter = ddcr_get_converter;
    // Object-only: the call needs max(n, this), 0 where the input length suffices.
    static uint64_t bound(const ddcr *d) { return ddcr_execute_max_out(d); }
    static float sample(PyIn x) { return static_cast<float>(x); }
};

bool bool_of(int v) { return v != 0; }

// A NaN or infinite deviation would stall the terminal stage; refused before anything runs.
void require_finite_ctrl(double rate_ctrl, double freq_ctrl)
{
    if (!vx_finite(rate_ctrl) || !vx_finite(freq_ctrl))
        raise(PyExc_ValueError, "rate_ctrl and freq_ctrl must be finite");
}

// The construction arguments, the matched ones only for a matched object.
template <class Core, class In> Args repr_args(const Core *d)
{
    using F = Family<Core, In>;
    Args a;
    a.f("norm_freq", F::get_norm_freq(d)).f("rate", F::get_rate(d));
    int pulse = RC_PULSE_NONE;
    uint64_t span = 0, phases = 0;
    double beta = 0.0, sps = 0.0;
    if (RateConverter_get_matched(F::converter(d), &pulse, &span, &phases, &beta, &sps))
        a.s("pulse", pulse == RC_PULSE_RRC ? "rrc" : "iandd").f("beta", beta).u("span", span)
            .f("pulse_sps", sps).u("num_phases", phases);
    return a;
}

template <class H, class In> void methods(Class<H> &c, const char *in_dtype)
{
    using Core = typename H::core_type;
    using F = Family<Core, In>;
    c.template block<In, vx_cf32, Gil::release>("execute", F::execute, F::bound,
        keep(std::string(R"doc(Down-convert a block.

Parameters
----------
x : array_like of )doc") + in_dtype + R"doc(
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with at least the bound's capacity; the result views its first elements.

Returns
-------
ndarray of complex64
    The outputs this block completes.
)doc"));
    c.def("execute_ctrl", [](H &h, nb::handle x, double rate_ctrl, double freq_ctrl) {
        Use<H> pin(h); // converting x may run Python code that tries to destroy the object
        Core *d = pin;
        require_finite_ctrl(rate_ctrl, freq_ctrl);
        InArray<In> in(x);
        OutArray<vx_cf32> y(nb::none(), std::max(in.size(), F::ctrl_bound(d, in.size(), rate_ctrl)));
        const uint64_t k = call<Gil::release>(h, [&] {
            return F::execute_ctrl(d, in.data(), in.size(), y.data(), y.capacity(), rate_ctrl, freq_ctrl);
        });
        return y.finish(k);
    }, "x"_a, "rate_ctrl"_a, "freq_ctrl"_a, R"doc(Down-convert a block with control deviations.

`freq_ctrl` (cycles per mixer sample) is added to the oscillator increment and
`rate_ctrl` to the terminal stage's rate, for this call only: ``norm_freq`` and
``rate`` keep their values.

Raises
------
ValueError
    "rate_ctrl and freq_ctrl must be finite"; the object is left unchanged.

Returns
-------
ndarray of complex64
    The outputs this block completes.
)doc");
    c.def("execute_ctrl_push", [](H &h, typename F::PyIn x, double rate_ctrl, double freq_ctrl,
                                  nb::handle out) {
        Use<H> pin(h);
        Core *d = pin;
        require_finite_ctrl(rate_ctrl, freq_ctrl);
        // A positive rate deviation can complete more outputs than the rate alone allows.
        OutArray<vx_cf32> y(out, std::max(F::push_max_out(d), F::ctrl_bound(d, 1, rate_ctrl)));
        return y.finish(F::push(d, y.data(), y.capacity(), F::sample(x), rate_ctrl, freq_ctrl));
    }, "x"_a, "rate_ctrl"_a, "freq_ctrl"_a, "out"_a.none() = nb::none(),
       R"doc(Push one input sample with control deviations.

Returns
-------
ndarray of complex64
    The outputs this sample completes (0, 1 or more).
)doc");
    c.repr(repr_args<Core, In>);
    c.pickle();
    c.fn("execute_ctrl_push_max_out", F::push_max_out, "Most outputs one push can return.")
        .reset(F::reset)
        .state(F::state_bytes, F::get_state, F::set_state)
        .rw("norm_freq", F::get_norm_freq, F::set_norm_freq,
            "Oscillator frequency in cycles per mixer sample (any real value).")
        .ro("rate", F::get_rate, "Output rate over input rate.")
        .ro("clipped", +[](const Core *d) { return bool_of(F::clipped(d)); },
            "Has the cascade's CIC clipped its input since the last reset?")
        .ro("narrow_pulse", +[](const Core *d) { return bool_of(F::narrow(d)); },
            "True for an \"iandd\" pulse narrower than 4 samples per symbol.");
}

void destroy_core(ddc *d) { ddc_destroy(d); }
void destroy_core(ddcr *d) { ddcr_destroy(d); }

// Matched constructor arguments, with the pulse given by name.
template <class Core>
Core *create_matched(Core *(*create)(int, uint64_t, uint64_t, double, double, double, double),
                     double norm_freq, double rate, Text pulse, double beta, Count span,
                     double pulse_sps, Count num_phases)
{
    const int p = choose("pulse", pulse, {"iandd", "rrc"});
    Core *d = create(p, span, num_phases, norm_freq, rate, beta, pulse_sps);
    if (d && p == RC_PULSE_IANDD && pulse_sps < 4.0 &&
        PyErr_WarnEx(PyExc_UserWarning, NARROW_WARNING, 1) < 0) {
        destroy_core(d);
        raise_pending();
    }
    return d;
}

const char *const REAL_MAX_OUT_DOC =
    "Outputs ``execute`` can return beyond the input length: ``out`` needs\n"
    "``max(len(x), execute_max_out())`` elements. 0 (the input length suffices) unless a\n"
    "stage up-samples after the halfband or outputs are owed, when a short block can\n"
    "yield more outputs than inputs.";

const char *const DDC_DOC = R"doc(Digital down-converter for complex input.

Mixes the input with a local oscillator at `norm_freq` and converts the rate with
the cheapest cascade of halfband, CIC and polyphase stages.

Parameters
----------
norm_freq : float, optional
    Oscillator frequency in cycles per sample; -f brings a tone at f to DC.
rate : float, optional
    Output rate over input rate (> 0; above 1 up-samples). Default 0.25.

Raises
------
ValueError
    "DDC: invalid parameter (need rate > 0, ...)".

Examples
--------
>>> import numpy as np
>>> from veltra.ddc import DDC
>>> x = np.exp(2j * np.pi * 0.1 * np.arange(4096)).astype(np.complex64)
>>> y = DDC(norm_freq=-0.1, rate=0.25).execute(x)
>>> y.shape, round(float(np.abs(y[-1])), 2)
((1024,), 1.0)
)doc";

const char *const DDCR_DOC = R"doc(Digital down-converter for real input.

A 2:1 real-to-complex halfband (a real tone at f appears at 2f + 0.5 cycles per
intermediate sample), then a mixer at half the input rate and the rate cascade.

Parameters
----------
norm_freq : float, optional
    Oscillator frequency in cycles per intermediate sample; -(2f + 0.5) brings a
    real tone at f to DC.
rate : float, optional
    Output rate over input rate, 0 < rate < 0.5. Default 0.25.

Raises
------
ValueError
    "Ddcr: invalid parameter (need 0 < rate < 0.5, ...)".

Examples
--------
>>> import numpy as np
>>> from veltra.ddc import Ddcr
>>> x = np.cos(2 * np.pi * 0.1 * np.arange(4096)).astype(np.float32)
>>> y = Ddcr(norm_freq=-0.7, rate=0.25).execute(x)
>>> y.shape, round(float(np.abs(y[-1])), 2)
((1024,), 1.0)
)doc";

const char *const MATCHED_DOC = R"doc(Down-converter whose last stage is a polyphase matched filter.

Parameters
----------
norm_freq, rate : float, optional
    As for the plain class.
pulse : {"rrc", "iandd"}, optional
    Root-raised-cosine or integrate-and-dump rectangle. Default "rrc".
beta : float, optional
    RRC roll-off in [0, 1]. Default 0.35.
span : int, optional
    One-sided RRC span in symbols (1..1024). Default 8.
pulse_sps : float, optional
    Pulse period in output samples (> 0). Default 2.0.
num_phases : int, optional
    Arms of the matched bank, a power of two in 2..65536. Default 1024.

Warns
-----
UserWarning
    For pulse="iandd" with pulse_sps < 4, whose matched filter barely opens the eye.

Examples
--------
>>> import numpy as np
>>> from veltra.ddc import MatchedDDC
>>> m = MatchedDDC(rate=0.5, pulse="rrc", pulse_sps=2.0)
>>> m.execute(np.ones(64, np.complex64)).shape
(32,)
)doc";

}  // namespace

NB_MODULE(ddc, m)
{
    init_module(m, "Digital down-converters: mix, filter and convert the rate.");

    Class<DDCPy> d(m, "DDC", DDC_DOC);
    d.ctor(ddc_create, invalid(DDC_INVALID), "norm_freq"_a = 0.0, "rate"_a = 0.25);
    methods<DDCPy, vx_cf32>(d, "complex64");
    d.fn("execute_max_out", ddc_execute_max_out, "x_len"_a,
         "Outputs ``execute`` can return for `x_len` inputs (covers up-sampling).");

    Class<DdcrPy> r(m, "Ddcr", DDCR_DOC);
    r.ctor(ddcr_create, invalid(DDCR_INVALID), "norm_freq"_a = 0.0, "rate"_a = 0.25);
    methods<DdcrPy, float>(r, "float32");
    r.fn("execute_max_out", ddcr_execute_max_out, REAL_MAX_OUT_DOC);
    r.def("close", [](DdcrPy &h) { h.destroy(); }, "Same as ``destroy``.");

    Class<MatchedDDCPy> md(m, "MatchedDDC", MATCHED_DOC);
    md.ctor(+[](double f, double rate, Text pulse, double beta, Count span, double sps, Count phases) {
                return create_matched(ddc_create_matched, f, rate, pulse, beta, span, sps, phases);
            }, invalid(DDC_INVALID), "norm_freq"_a = 0.0, "rate"_a = 0.25, "pulse"_a = "rrc",
            "beta"_a = 0.35, "span"_a = Count{8}, "pulse_sps"_a = 2.0, "num_phases"_a = Count{1024});
    methods<MatchedDDCPy, vx_cf32>(md, "complex64");
    md.fn("execute_max_out", ddc_execute_max_out, "x_len"_a,
          "Outputs ``execute`` can return for `x_len` inputs (covers up-sampling).");

    Class<MatchedDdcrPy> mr(m, "MatchedDdcr", MATCHED_DOC);
    mr.ctor(+[](double f, double rate, Text pulse, double beta, Count span, double sps, Count phases) {
                return create_matched(ddcr_create_matched, f, rate, pulse, beta, span, sps, phases);
            }, invalid(DDCR_INVALID), "norm_freq"_a = 0.0, "rate"_a = 0.25, "pulse"_a = "rrc",
            "beta"_a = 0.35, "span"_a = Count{8}, "pulse_sps"_a = 2.0, "num_phases"_a = Count{1024});
    methods<MatchedDdcrPy, float>(mr, "float32");
    mr.fn("execute_max_out", ddcr_execute_max_out, REAL_MAX_OUT_DOC);
    mr.def("close", [](MatchedDdcrPy &h) { h.destroy(); }, "Same as ``destroy``.");
}
