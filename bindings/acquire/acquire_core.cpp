// veltra.acquire: cold-start carrier acquisition.
#include "vxb.h"

#include "carrier_acq.h"

namespace {

using namespace vxb;

struct CarrierAcqPy : Handle<carrier_acq, carrier_acq_destroy> {};

const char *const WINDOWS[] = {"hann", "kaiser", "blackman-harris"};

carrier_acq *create(double sample_rate_hz, double symbol_rate_hz, double resolution_hz, Count zero_pad, Text window,
                    float beta, nb::handle psd_template, double pfa, double pd, double design_snr, Flag sequential,
                    Count max_n_blocks)
{
    const int w = choose("window", window.c_str(), {WINDOWS[0], WINDOWS[1], WINDOWS[2]});
    nb::object t;
    const float *tp = nullptr;
    uint64_t tn = 0;
    if (!psd_template.is_none()) {
        t = as_param_array(psd_template, NPY_FLOAT32, 1, "psd_template");
        auto *ap = reinterpret_cast<PyArrayObject *>(t.ptr());
        tp = static_cast<const float *>(PyArray_DATA(ap));
        tn = static_cast<uint64_t>(PyArray_SIZE(ap));
    }
    return carrier_acq_create(zero_pad, static_cast<unsigned>(w), tp, tn, sequential, max_n_blocks, sample_rate_hz,
                              symbol_rate_hz, resolution_hz, beta, pfa, pd, design_snr);
}

// The template as given, or None for the default shape.
nb::object template_of(const carrier_acq *a)
{
    const uint64_t n = carrier_acq_get_nfft(a);
    OutArray<float> t(nb::none(), n);
    return carrier_acq_get_template(a, t.data(), n) ? t.finish(n) : nb::none();
}

nb::dict report(CarrierAcqPy &h)
{
    const carrier_acq *a = h.get();
    const double fs = carrier_acq_get_sample_rate(a);
    const uint64_t blocks = carrier_acq_get_n_blocks(a), n = carrier_acq_get_n(a);
    nb::dict d;
    d["ready"] = carrier_acq_get_ready(a) != 0;
    d["residual_hz"] = carrier_acq_get_residual_hz(a);
    d["norm_freq"] = carrier_acq_get_residual_hz(a) / fs;
    d["bin_hz"] = fs / static_cast<double>(carrier_acq_get_nfft(a));
    d["n_blocks"] = blocks;
    d["samples"] = blocks * n;
    d["elapsed_s"] = static_cast<double>(blocks * n) / fs;
    d["test_stat"] = carrier_acq_get_test_stat(a);
    d["threshold"] = carrier_acq_threshold(a, blocks);
    d["given_up"] = !carrier_acq_get_ready(a) &&
                    blocks >= (carrier_acq_get_sequential(a) ? carrier_acq_get_max_n_blocks(a)
                                                             : carrier_acq_get_dwell_target(a));
    return d;
}

const char *const DOC = R"doc(Cold-start carrier acquisition from the averaged power spectrum.

Blocks of ``n = round(sample_rate_hz / resolution_hz)`` samples are folded into a
Hann (or chosen) windowed, ``zero_pad``-times padded, averaged power spectrum of
``nfft`` bins. The spectrum is correlated circularly across frequency with a
template of the expected spectral shape (by default the rectangular-pulse
spectrum ``sinc(u)**2``, ``u = sample_rate_hz/(symbol_rate_hz*nfft)*(i - nfft/2)``);
the carrier is declared found when the correlation peak exceeds the median of
the correlation magnitudes by the ratio ``1 + 7.9*eta*sqrt(sum(t**2)/k)/sum(t)``
after ``k`` blocks, ``eta = sqrt(-2*ln(pfa))``. The residual is the peak lag refined
by a parabola through the correlation, in Hz (sign included).

In sequential mode the test runs after every block up to ``max_n_blocks``;
otherwise once, after ``dwell_target`` blocks (the non-coherent look count that
reaches `pd` at `design_snr`, 100000 when unreachable). Once ready or given up,
input is ignored until ``reset``. A block split across calls is carried over,
so any chunking gives the same result.

The ratio threshold is conservative: on noise alone, single-block tests at
``pfa=1e-2`` fired at a measured rate of 2.9e-3 (0.29 x pfa, 3*10**4 tests);
read `pfa` as an upper bound. At the design SNR (amplitude over the rms of the
complex noise; 2.0 is 6 dB per sample), BPSK at 8 samples per symbol was
detected at the first block in 0.999 of 10**3 trials (configured pd 0.9:
``dwell_target`` comes from a coherent-tone model, which the spectral test
beats here); the residual fell within 4 bins of the truth in 0.66 of them,
since ten random symbols have a lumpy spectrum. ``bench/bench_acquire.py``
repeats these measurements.

Parameters
----------
sample_rate_hz, symbol_rate_hz : float
    Rates in Hz, finite and > 0.
resolution_hz : float, optional
    Block resolution; <= 0 means ``symbol_rate_hz / 10``. The block length
    ``n`` must come out at most 2**24. Default 0.0.
zero_pad : int, optional
    PSD padding factor, >= 1. Default 4.
window : str, optional
    "hann", "kaiser" or "blackman-harris". Default "hann".
beta : float, optional
    Kaiser shape. Default 0.0.
psd_template : array_like of float32, optional
    Expected DC-centred power shape of exactly ``nfft`` finite values with a
    positive sum; None or empty for the default.
pfa, pd : float, optional
    Per-test false-alarm and target detection probabilities, in (0, 1).
    Defaults 1e-3 and 0.9.
design_snr : float, optional
    Amplitude SNR of one look that sizes ``dwell_target``, finite >= 0. Default 2.0.
sequential : bool, optional
    Test after every block. Default True.
max_n_blocks : int, optional
    Give-up cap of the sequential mode (0 counts as 1). Default 100000.

Raises
------
ValueError
    For a window outside its list.
MemoryError
    "carrier_acq_create returned NULL" for any refused parameter (see above) or
    a template of the wrong length or without a positive sum.

Examples
--------
>>> import numpy as np
>>> from veltra.acquire import CarrierAcquisition
>>> fs, rs = 8000.0, 1000.0
>>> bits = np.random.default_rng(7).integers(0, 2, 400) * 2 - 1
>>> t = np.arange(400 * 8)
>>> x = (np.repeat(bits, 8) * np.exp(2j * np.pi * 123.0 * t / fs)).astype(np.complex64)
>>> acq = CarrierAcquisition(fs, rs)
>>> acq.n_blocks, acq.nfft
(0, 512)
>>> acq.steps(x)
>>> acq.ready, round(acq.residual_hz)
(True, 123)
)doc";

}  // namespace

NB_MODULE(acquire, m)
{
    init_module(m, "Cold-start carrier acquisition.");

    Class<CarrierAcqPy>(m, "CarrierAcquisition", keep(DOC))
        .ctor(create, no_memory("carrier_acq"), "sample_rate_hz"_a, "symbol_rate_hz"_a, "resolution_hz"_a = 0.0,
              "zero_pad"_a = Count{4}, "window"_a = Text{"hann", 4}, "beta"_a = 0.0f,
              "psd_template"_a.none() = nb::none(), "pfa"_a = 1e-3, "pd"_a = 0.9, "design_snr"_a = 2.0,
              "sequential"_a = Flag{true}, "max_n_blocks"_a = Count{100000})
        .repr(+[](const carrier_acq *a) {
            return Args().f("sample_rate_hz", carrier_acq_get_sample_rate(a))
                .f("symbol_rate_hz", carrier_acq_get_symbol_rate(a)).u("n", carrier_acq_get_n(a))
                .u("nfft", carrier_acq_get_nfft(a)).f("pfa", carrier_acq_get_pfa(a)).f("pd", carrier_acq_get_pd(a))
                .f("design_snr", carrier_acq_get_design_snr(a)).b("sequential", carrier_acq_get_sequential(a))
                .u("max_n_blocks", carrier_acq_get_max_n_blocks(a));
        })
        .pickle(+[](const carrier_acq *a) {
            return Args().f("sample_rate_hz", carrier_acq_get_sample_rate(a))
                .f("symbol_rate_hz", carrier_acq_get_symbol_rate(a)).f("resolution_hz", carrier_acq_get_resolution(a))
                .u("zero_pad", carrier_acq_get_zero_pad(a)).s("window", WINDOWS[carrier_acq_get_window(a)])
                .f("beta", carrier_acq_get_beta(a)).o("psd_template", template_of(a)).f("pfa", carrier_acq_get_pfa(a))
                .f("pd", carrier_acq_get_pd(a)).f("design_snr", carrier_acq_get_design_snr(a))
                .b("sequential", carrier_acq_get_sequential(a)).u("max_n_blocks", carrier_acq_get_max_n_blocks(a));
        })
        .fn("steps", +[](carrier_acq *a, nb::handle x) {
                InArray<vx_cf32> in(x);
                carrier_acq_steps(a, in.data(), in.size());
            }, "x"_a, R"doc(Feed complex baseband samples.

Parameters
----------
x : array_like of complex64
    Samples, any shape, read in C order. Ignored once ready or given up.

Returns
-------
None

Examples
--------
>>> import numpy as np
>>> from veltra.acquire import CarrierAcquisition
>>> acq = CarrierAcquisition(8000.0, 1000.0)
>>> acq.steps(np.zeros(100, np.complex64)); acq.n_blocks
1
)doc")
        .reset(carrier_acq_reset)
        .state(carrier_acq_state_bytes, carrier_acq_get_state, carrier_acq_set_state)
        .ro("ready", +[](const carrier_acq *a) { return carrier_acq_get_ready(a) != 0; },
            "True once the carrier has been detected.")
        .ro("residual_hz", carrier_acq_get_residual_hz, "Residual carrier frequency in Hz (valid when ready).")
        .ro("n_blocks", carrier_acq_get_n_blocks, "Blocks folded since construction or reset.")
        .ro("dwell_target", carrier_acq_get_dwell_target, "Blocks before the single test of the non-sequential mode.")
        .ro("max_n_blocks", carrier_acq_get_max_n_blocks, "Give-up cap of the sequential mode.")
        .ro("nfft", carrier_acq_get_nfft, "PSD transform length.")
        .ro("n", carrier_acq_get_n, "Block length in samples.")
        .ro("resolution_hz", carrier_acq_get_resolution,
            "Block resolution in Hz (``symbol_rate_hz / 10`` when given <= 0).")
        .ro("psd_template", template_of, "The template as given (a float32 copy), or None for the default shape.")
        .def("report", report, R"doc(The hand-over report for a tracking loop.

Returns
-------
dict
    ``ready``; ``residual_hz`` and ``norm_freq`` (cycles per sample, the seed of
    an oscillator or loop integrator); ``bin_hz`` (the spectrum's bin spacing);
    ``n_blocks``, ``samples`` and ``elapsed_s`` consumed to reach this point;
    ``test_stat`` and ``threshold`` of the most recent test; ``given_up`` when
    the cap was reached without a detection.

Examples
--------
>>> from veltra.acquire import CarrierAcquisition
>>> r = CarrierAcquisition(8000.0, 1000.0).report()
>>> r["ready"], r["bin_hz"], r["given_up"]
(False, 15.625, False)
)doc");
}
