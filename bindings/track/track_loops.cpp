// veltra.track: the carrier and code loops (Costas, CarrierMpsk, CarrierNda, Dll).
#include <cstdint>
#include <string>

#include "vxb.h"

#include "carrier_mpsk.h"
#include "carrier_nda.h"
#include "costas.h"
#include "dll.h"

namespace {

using namespace vxb;

struct CostasPy : Handle<costas, costas_destroy> {};
struct CarrierMpskPy : Handle<carrier_mpsk, carrier_mpsk_destroy> {};
struct CarrierNdaPy : Handle<carrier_nda, carrier_nda_destroy> {};
struct DllPy : Handle<dll, dll_destroy> {};

// Lock counts arrive as Python ints: beyond 32 bits they saturate, never wrap to 0.
uint32_t lock_count(Count c) { return c.v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(c.v); }

// A property written through a core setter that refuses with a status.
template <class H, class Core = typename H::core_type>
void checked_prop(Class<H> &c, const char *name, double (*get)(const Core *), int (*set)(Core *, double),
                  const char *what, const char *doc)
{
    c.def_prop_rw(name, [get](H &h) { return get(h.get()); },
                  [set, name, what](H &h, double v) {
                      if (set(h.get(), v) != 0)
                          raise(PyExc_ValueError, "%s must be %s", name, what);
                  }, doc);
}

// configure_lock(up_thresh, down_thresh, n_up, n_down) of the loops with a lock detector.
template <class H, class Core = typename H::core_type>
void lock_method(Class<H> &c, int (*configure)(Core *, double, double, uint32_t, uint32_t), const char *look)
{
    c.def("configure_lock", [configure](H &h, double up, double down, Count n_up, Count n_down) {
        check_status(configure(Use<H>(h), up, down, lock_count(n_up), lock_count(n_down)), "configure_lock");
    }, "up_thresh"_a, "down_thresh"_a, "n_up"_a, "n_down"_a, keep(std::string(R"doc(Set the lock detector's hysteresis.

A live lock survives; the verify run restarts.

Parameters
----------
up_thresh, down_thresh : float
    A lock average strictly above `up_thresh` counts toward lock, strictly below
    `down_thresh` toward loss.
n_up, n_down : int
    Consecutive qualifying looks (one per )doc") + look + R"doc() to declare and to drop (0 acts as 1).

Raises
------
ValueError
    "configure_lock failed (rc=-4)" for a NaN threshold.
)doc"));
}

const char *const STEPS_DOC = R"doc(Integrate, dump and track a block.

Parameters
----------
x : array_like of complex64
    Symbol-synchronous input samples, any shape, read in C order. A partial symbol at
    the end is kept for the next call.
out : ndarray of complex64, optional
    Destination with at least ``x.size`` elements; the result views its first elements.

Returns
-------
ndarray of complex64
    One de-rotated prompt per completed symbol, scaled by ``1/tsamps``.
)doc";

const char *const CONFIGURE_DOC = R"doc(Retune the loop gains.

The frequency estimate, oscillator and the symbol in progress are kept.

Parameters
----------
bn : float
    Loop noise bandwidth per symbol (>= 0).
zeta : float
    Damping factor (> 0).

Raises
------
ValueError
    "configure failed (rc=-4)" for values out of range or not finite; the loop is
    then unchanged.

Examples
--------
>>> from veltra.track import CarrierMpsk
>>> c = CarrierMpsk(init_norm_freq=0.01)
>>> c.configure(0.02, 1.0)
>>> c.norm_freq, c.bn
(0.01, 0.02)
)doc";

const char *const COSTAS_DOC = R"doc(BPSK Costas carrier loop with optional FLL assist.

Each sample is de-rotated by a table oscillator and ``tsamps`` samples are
integrated per symbol. On each dumped prompt ``P`` the decision-directed error
``sign(Re P) * Im P / |P|`` drives a PI loop (one update per symbol) whose
integrator sets the frequency and whose proportional term nudges the phase;
with ``bn_fll > 0`` a cross-product frequency discriminator between consecutive
prompts adds ``4*bn_fll`` times its output to the integrator. Lock is declared
after 8 consecutive symbols whose lock-metric EMA (weight 0.1) of ``|Re P|/|P|``
exceeds 0.85, and dropped after 32 below 0.78 (``configure_lock``). A prompt
that is not finite leaves the loop where it was and counts toward a drop.

Parameters
----------
bn : float, optional
    Loop noise bandwidth, normalised to the symbol rate (>= 0). Default 0.05.
zeta : float, optional
    Damping factor (> 0). Default 0.707.
init_norm_freq : float, optional
    Seed carrier frequency, cycles/sample. Default 0.0.
tsamps : int, optional
    Samples per symbol (0 acts as 1). Default 64.
bn_fll : float, optional
    FLL-assist bandwidth (>= 0; 0 is a pure PLL). Default 0.0.

Raises
------
MemoryError
    "costas_create returned NULL", also for parameters out of range or not finite.

Examples
--------
>>> import numpy as np
>>> from veltra.track import Costas
>>> rng = np.random.default_rng(1)
>>> n = np.arange(4000 * 16)
>>> bits = np.repeat(rng.choice([-1.0, 1.0], 4000), 16)
>>> x = (bits * np.exp(2j * np.pi * 0.003 * n)).astype(np.complex64)
>>> c = Costas(bn=0.05, tsamps=16)
>>> y = c.steps(x)
>>> len(y), round(c.norm_freq, 3), c.lock_metric > 0.9, c.locked
(4000, 0.003, True, True)
)doc";

const char *const CARRIER_MPSK_DOC = R"doc(Decision-directed M-PSK carrier loop (M = 2, 4 or 8).

Each sample is de-rotated by a table oscillator and ``tsamps`` samples are
integrated per symbol. Each dumped prompt ``P`` is sliced to the nearest
constellation point ``a`` (QPSK at 45 degrees) and ``Im(P*conj(a))/|P|`` drives a
PI loop (one update per symbol); with ``bn_fll > 0`` a cross-product FLL assist
adds to the integrator. The loop settles on one of M phases: resolve the
ambiguity downstream. M = 2 is the BPSK Costas loop. A prompt that is not finite
leaves the loop where it was.

Parameters
----------
bn : float, optional
    Loop noise bandwidth, normalised to the symbol rate (>= 0). Default 0.05.
zeta : float, optional
    Damping factor (> 0). Default 0.707.
init_norm_freq : float, optional
    Seed carrier frequency, cycles/sample. Default 0.0.
tsamps : int, optional
    Samples per symbol (0 acts as 1). Default 64.
bn_fll : float, optional
    FLL-assist bandwidth (>= 0). Default 0.0.
m : int, optional
    Constellation order: 2, 4 or 8. Default 4.

Raises
------
MemoryError
    "carrier_mpsk_create returned NULL", also for parameters out of range or not finite.

Examples
--------
>>> import numpy as np
>>> from veltra.track import CarrierMpsk
>>> rng = np.random.default_rng(2)
>>> sym = np.exp(1j * (np.pi / 2 * rng.integers(0, 4, 3000) + np.pi / 4))
>>> n = np.arange(3000 * 16)
>>> x = (np.repeat(sym, 16) * np.exp(2j * np.pi * 0.003 * n)).astype(np.complex64)
>>> c = CarrierMpsk(bn=0.04, bn_fll=0.02, tsamps=16)
>>> y = c.steps(x)
>>> len(y), round(c.norm_freq, 3), c.lock_metric > 0.9
(3000, 0.003, True)
>>> c.reset(); c.norm_freq
0.0
)doc";

const char *const CARRIER_NDA_DOC = R"doc(Non-data-aided carrier loop for M-PSK at the sample rate.

Each de-rotated sample enters a moving-average arm of ``sps/n`` samples; the
arm's output raised to the M-th power strips the modulation, so the error
``(2/M) sin(M theta)`` of the arm phase needs neither symbol timing nor data. A
PI loop (one update per sample, gains in cycles/sample) steers the oscillator.
Lock is declared after 64 consecutive samples whose EMA (weight 0.05) of
``cos(M theta)`` exceeds 0.5, and dropped after 32 below 0.4. A non-finite
sample leaves the arm once it leaves its window.

Parameters
----------
bn : float, optional
    Loop noise bandwidth in cycles/sample (>= 0). Default 0.01.
zeta : float, optional
    Damping factor (> 0). Default 0.707.
init_norm_freq : float, optional
    Seed carrier frequency, cycles/sample. Default 0.0.
sps : int, optional
    Samples per symbol, a multiple of `n`. Default 8.
n : int, optional
    Arm windows per symbol; ``sps/n`` must be at most 64. Default 4.
m : int, optional
    Constellation order: 2, 4 or 8. Default 4.

Raises
------
MemoryError
    "carrier_nda_create returned NULL", also for rejected parameters.

Examples
--------
>>> import numpy as np
>>> from veltra.track import CarrierNda
>>> rng = np.random.default_rng(0)
>>> n = np.arange(40000)
>>> x = np.exp(2j * np.pi * 0.001 * n) + 0.05 * rng.standard_normal(40000)
>>> c = CarrierNda(bn=0.01, sps=8, n=4, m=4)
>>> y = c.steps(x.astype(np.complex64))
>>> len(y), round(c.norm_freq, 3), c.lock > 0.5, c.locked
(40000, 0.001, True, True)
)doc";

// The code as given to the constructor (pickling).
nb::object code_array(const dll *d)
{
    OutArray<uint8_t> a(nb::none(), d->sf);
    std::memcpy(a.data(), d->code, d->sf);
    return a.finish(d->sf);
}

dll *create_dll(nb::handle code, Count sps, double init_chip, double bn, double zeta, double spacing,
                Count segments)
{
    nb::object c = as_param_array(code, NPY_UINT8, 1, "code");
    auto *a = reinterpret_cast<PyArrayObject *>(c.ptr());
    return dll_create(static_cast<const uint8_t *>(PyArray_DATA(a)), static_cast<uint64_t>(PyArray_SIZE(a)), sps,
                      segments, init_chip, bn, zeta, spacing);
}

const char *const DLL_DOC = R"doc(Delay-lock loop: tracks and despreads a direct-sequence code.

Carrier-wiped samples are correlated against a replica of the binary code (flat
over the middle of each chip, linear across chip edges) at early, prompt and
late taps ``spacing`` chips apart, and at a randomly placed off-peak noise tap.
Once per code period (epoch) the power-domain discriminator
``0.5*(|E|**2 - |L|**2)/|P|**2`` steers a 32-bit code NCO through a PI loop, and
the prompt correlation is emitted, normalised to the sample amplitude. With
``segments >= 2`` each epoch emits ``segments`` partial correlations, normalised
by the best-aligned window across the epoch boundary, as a despread sample
stream. A lock detector compares the prompt power with the noise tap
(``configure_lock``); ``set_code_phase`` puts the code phase, ``hold_here`` and
``set_coast`` hold the loop, and ``set_symbol_period`` aligns the looks with the
data symbols. The NCO is steered within 0 to 2 times its nominal rate.

Parameters
----------
code : array_like of uint8
    The spreading code, one chip per element (bit 0: 0 is +1, 1 is -1); copied.
sps : int, optional
    Samples per chip (0 acts as 1). Default 2.
init_chip : float, optional
    Code phase at the first sample, chips. Default 0.0.
bn : float, optional
    Loop noise bandwidth per epoch (>= 0). Default 0.01.
zeta : float, optional
    Damping factor (> 0). Default 0.707.
spacing : float, optional
    Early/late offset from the prompt, chips, in ``[0, len(code)]``. Default 0.5.
segments : int, optional
    Outputs per epoch: 1, or 2 up to half the samples per code period (and at most
    2**20). Default 1.

Raises
------
MemoryError
    "dll_create returned NULL", also for rejected parameters.
ValueError
    If `code` is not one-dimensional.

Examples
--------
>>> import numpy as np
>>> from veltra.track import Dll
>>> code = np.array([1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1, 0,
...                  1, 0, 1, 1, 1, 0, 1, 1, 0, 0, 0], np.uint8)
>>> x = np.tile(np.repeat(1.0 - 2.0 * code, 2), 60).astype(np.complex64)
>>> d = Dll(code, sps=2)
>>> y = d.steps(x)
>>> len(y), bool(np.allclose(np.abs(y), 1.0, atol=0.02)), round(d.code_rate, 3), d.locked
(59, True, 1.0, True)
)doc";

}  // namespace

void bind_loops(nb::module_ &m)
{
    Class<CostasPy> cs(m, "Costas", COSTAS_DOC);
    cs.ctor(+[](double bn, double zeta, double f, Count tsamps, double bn_fll) {
                return costas_create(tsamps, bn, zeta, f, bn_fll);
            }, no_memory("costas"),
            "bn"_a = 0.05, "zeta"_a = 0.707, "init_norm_freq"_a = 0.0, "tsamps"_a = Count{64}, "bn_fll"_a = 0.0)
        .repr(+[](const costas *c) {
            return Args().f("bn", c->bn).f("zeta", c->zeta).f("init_norm_freq", c->init_norm_freq)
                .u("tsamps", c->tsamps).f("bn_fll", c->bn_fll);
        })
        .pickle()
        .block<vx_cf32, vx_cf32, Gil::release>("steps", costas_steps, costas_steps_max_out, STEPS_DOC)
        .fn("steps_max_out", costas_steps_max_out,
            "0: ``steps`` never returns more prompts than input samples.\n\nReturns\n-------\nint\n")
        .status("configure", costas_configure, "bn"_a, "zeta"_a, CONFIGURE_DOC)
        .reset(costas_reset)
        .state(costas_state_bytes, costas_get_state, costas_set_state)
        .telemetry(costas_set_telemetry)
        .ro("lock_metric", costas_get_lock_metric, "EMA of ``|Re P|/|P|`` over the dumped prompts.")
        .ro("locked", +[](const costas *c) { return costas_get_locked(c) != 0; }, "Lock decision.")
        .ro("last_error", costas_get_last_error, "Last phase discriminator output.");
    lock_method(cs, costas_configure_lock, "symbol");
    checked_prop(cs, "bn", costas_get_bn, costas_set_bn, ">= 0 and finite",
                 "Loop noise bandwidth per symbol; writing retunes the loop (zeta kept).");
    checked_prop(cs, "norm_freq", costas_get_norm_freq, costas_set_norm_freq, "finite",
                 "Oscillator frequency, cycles/sample; writing re-seeds the loop there.");
    checked_prop(cs, "bn_fll", costas_get_bn_fll, costas_set_bn_fll, ">= 0 and finite",
                 "FLL-assist bandwidth (0 = pure PLL); writable.");

    Class<CarrierMpskPy> cm(m, "CarrierMpsk", CARRIER_MPSK_DOC);
    cm.ctor(+[](double bn, double zeta, double f, Count tsamps, double bn_fll, int order) {
                return carrier_mpsk_create(tsamps, order, bn, zeta, f, bn_fll);
            }, no_memory("carrier_mpsk"),
            "bn"_a = 0.05, "zeta"_a = 0.707, "init_norm_freq"_a = 0.0, "tsamps"_a = Count{64}, "bn_fll"_a = 0.0,
            "m"_a = 4)
        .repr(+[](const carrier_mpsk *c) {
            return Args().f("bn", c->bn).f("zeta", c->zeta).f("init_norm_freq", c->init_norm_freq)
                .u("tsamps", c->tsamps).f("bn_fll", c->bn_fll).i("m", c->m);
        })
        .pickle()
        .block<vx_cf32, vx_cf32, Gil::release>("steps", carrier_mpsk_steps, carrier_mpsk_steps_max_out, STEPS_DOC)
        .fn("steps_max_out", carrier_mpsk_steps_max_out,
            "0: ``steps`` never returns more prompts than input samples.\n\nReturns\n-------\nint\n")
        .status("configure", carrier_mpsk_configure, "bn"_a, "zeta"_a, CONFIGURE_DOC)
        .reset(carrier_mpsk_reset)
        .state(carrier_mpsk_state_bytes, carrier_mpsk_get_state, carrier_mpsk_set_state)
        .ro("lock_metric", carrier_mpsk_get_lock_metric, "EMA of ``Re(P*conj(a))/|P|`` over the dumped prompts.")
        .ro("last_error", carrier_mpsk_get_last_error, "Last phase discriminator output.")
        .ro("m", carrier_mpsk_get_m, "Constellation order.");
    checked_prop(cm, "bn", carrier_mpsk_get_bn, carrier_mpsk_set_bn, ">= 0 and finite",
                 "Loop noise bandwidth per symbol; writing retunes the loop (zeta kept).");
    checked_prop(cm, "norm_freq", carrier_mpsk_get_norm_freq, carrier_mpsk_set_norm_freq, "finite",
                 "Oscillator frequency, cycles/sample; writing re-seeds the loop there.");
    checked_prop(cm, "bn_fll", carrier_mpsk_get_bn_fll, carrier_mpsk_set_bn_fll, ">= 0 and finite",
                 "FLL-assist bandwidth (0 = pure PLL); writable.");

    Class<CarrierNdaPy> cn(m, "CarrierNda", CARRIER_NDA_DOC);
    cn.ctor(+[](double bn, double zeta, double f, Count sps, Count n, int order) {
                return carrier_nda_create(sps, n, order, bn, zeta, f);
            }, no_memory("carrier_nda"),
            "bn"_a = 0.01, "zeta"_a = 0.707, "init_norm_freq"_a = 0.0, "sps"_a = Count{8}, "n"_a = Count{4},
            "m"_a = 4)
        .repr(+[](const carrier_nda *c) {
            return Args().f("bn", c->bn).f("zeta", c->zeta).f("init_norm_freq", c->init_norm_freq)
                .u("sps", c->sps).i("n", c->n).i("m", c->m);
        })
        .pickle()
        .block<vx_cf32, vx_cf32, Gil::release, InPlace::yes>("steps", carrier_nda_steps, carrier_nda_steps_max_out,
            R"doc(De-rotate a block and track its carrier.

Parameters
----------
x : array_like of complex64
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with at least ``x.size`` elements (may be `x` itself); the result
    views its first elements.

Returns
-------
ndarray of complex64
    The input de-rotated by the tracked carrier, one sample per input.
)doc")
        .fn("steps_max_out", carrier_nda_steps_max_out,
            "0: ``steps`` returns one sample per input.\n\nReturns\n-------\nint\n")
        .reset(carrier_nda_reset)
        .state(carrier_nda_state_bytes, carrier_nda_get_state, carrier_nda_set_state)
        .telemetry(carrier_nda_set_telemetry)
        .ro("lock", carrier_nda_get_lock, "EMA of the lock signal ``cos(M theta)``.")
        .ro("locked", +[](const carrier_nda *c) { return carrier_nda_get_locked(c) != 0; }, "Lock decision.")
        .ro("last_error", carrier_nda_get_last_error, "Last phase error ``(2/M) sin(M theta)``.")
        .ro("m", carrier_nda_get_m, "Constellation order.")
        .ro("n", carrier_nda_get_n, "Arm windows per symbol.")
        .ro("sps", carrier_nda_get_sps, "Samples per symbol.");
    lock_method(cn, carrier_nda_configure_lock, "sample");
    checked_prop(cn, "bn", carrier_nda_get_bn, carrier_nda_set_bn, ">= 0 and finite",
                 "Loop noise bandwidth in cycles/sample; writing retunes the loop (zeta and the integrator kept).");
    checked_prop(cn, "norm_freq", carrier_nda_get_norm_freq, carrier_nda_set_norm_freq, "finite",
                 "Tracked carrier frequency, cycles/sample; writing re-seeds the loop there.");

    Class<DllPy> dl(m, "Dll", DLL_DOC);
    dl.ctor(create_dll, no_memory("dll"), "code"_a, "sps"_a = Count{2}, "init_chip"_a = 0.0, "bn"_a = 0.01,
            "zeta"_a = 0.707, "spacing"_a = 0.5, "segments"_a = Count{1})
        .repr(+[](const dll *d) {
            return Args().u("len(code)", d->sf).u("sps", d->sps).f("init_chip", d->init_chip).f("bn", d->bn)
                .f("zeta", d->zeta).f("spacing", d->spacing).u("segments", d->segments);
        })
        .pickle(+[](const dll *d) {
            return Args().o("code", code_array(d)).u("sps", d->sps).f("init_chip", d->init_chip).f("bn", d->bn)
                .f("zeta", d->zeta).f("spacing", d->spacing).u("segments", d->segments);
        })
        .block<vx_cf32, vx_cf32, Gil::release>("steps", dll_steps, dll_steps_bound, R"doc(Track and despread a block.

Parameters
----------
x : array_like of complex64
    Carrier-wiped input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with at least ``x.size`` elements, plus ``segments`` in segments
    mode (a forward put across the wrap closes a whole epoch on one sample); the
    result views its first elements.

Returns
-------
ndarray of complex64
    One prompt correlation per epoch ended in this block, or one per partial in
    segments mode.
)doc")
        .fn("steps_max_out", dll_steps_max_out,
            "0: outputs are sized from the input length (plus one epoch of partials in\n"
            "segments mode).\n\nReturns\n-------\nint\n")
        .status("configure", dll_configure, "bn"_a, "zeta"_a, R"doc(Retune the loop gains.

Code phase, rate and accumulators are kept.

Parameters
----------
bn : float
    Loop noise bandwidth per epoch (>= 0).
zeta : float
    Damping factor (> 0).

Raises
------
ValueError
    "configure failed (rc=-4)" for values out of range or not finite.
)doc")
        .status("set_rate_aid", dll_set_rate_aid, "rate_aid"_a, R"doc(Bias the code rate by a fraction.

While coasting the increment follows at once.

Parameters
----------
rate_aid : float
    Fractional rate bias (finite).

Raises
------
ValueError
    "set_rate_aid failed (rc=-4)" for a non-finite value.
)doc")
        .status("set_symbol_period", dll_set_symbol_period, "partials_per_symbol"_a, R"doc(Align the looks with data symbols.

Lock looks and steering move to transition-free windows of the known symbol
period (segments mode only); the code rate carries on across the switch.

Parameters
----------
partials_per_symbol : float
    Symbol period in partials, 2 to 65536; 0 or below turns the aid off.

Raises
------
ValueError
    "set_symbol_period failed (rc=-4)" for a period in (0, 2), above 65536, NaN,
    or with ``segments == 1``.
)doc")
        .status("set_code_phase", dll_set_code_phase, "chips"_a, R"doc(Put the code phase.

The move is taken the short way round the code: a put forward across the wrap
ends the current epoch on the next sample; one backward across it lets the next
wrap pass without an epoch.

Parameters
----------
chips : float
    New prompt code phase (taken modulo the code length; finite).

Raises
------
ValueError
    "set_code_phase failed (rc=-4)" for a non-finite value.
)doc")
        .fn("take_error_mean", dll_take_error_mean, R"doc(Mean discriminator output since the last take.

Returns
-------
float
    NaN when no epoch ended since the last take.
)doc")
        .fn("hold_here", dll_hold_here, R"doc(Snapshot the loop filter and the NCO increment for coasting.

Returns
-------
int
    The held increment.
)doc")
        .fn("set_coast", +[](dll *d, Flag coast) { dll_set_coast(d, coast); }, "coast"_a, R"doc(Coast or track.

Entering coast restores the snapshot of ``hold_here`` (if any); while coasting the
discriminator is still computed but the loop is not steered.

Parameters
----------
coast : bool
)doc")
        .reset(dll_reset)
        .state(dll_state_bytes, dll_get_state, dll_set_state)
        .telemetry(dll_set_telemetry)
        .ro("code_phase", dll_get_code_phase, "Prompt code phase, chips.")
        .ro("code_rate", dll_get_code_rate, "Chips advanced per nominal chip.")
        .ro("last_error", dll_get_last_error, "Last discriminator output.")
        .ro("segments", dll_get_segments, "Outputs per epoch.")
        .ro("locked", +[](const dll *d) { return dll_get_locked(d) != 0; }, "Lock decision.")
        .ro("lock_stat", dll_get_lock_stat, "Last lock statistic R = sqrt(2*S/noise_est).")
        .ro("noise_est", dll_get_noise_est, "Noise-tap power reference.")
        .ro("symbol_window", dll_get_symbol_window, "Partials per aided look (0 while the aid is off).");
    dl.def("configure_lock", [](DllPy &h, double pfa, Count n_looks, double ref_snr_db) {
        check_status(dll_configure_lock(Use<DllPy>(h), n_looks, pfa, ref_snr_db), "configure_lock");
    }, "pfa"_a, "n_looks"_a, "ref_snr_db"_a = 0.0, R"doc(Size the lock detector from a false-alarm rate.

The threshold on ``R`` meets `pfa` over `n_looks` non-coherent looks, the verify
count keeps false declarations within 0.001*pfa, and the noise reference averages
over a window set by `ref_snr_db` (0 or below: 64 looks per decision, at least 2048).

Parameters
----------
pfa : float
    False-alarm probability per decision, in (0, 1).
n_looks : int
    Looks per decision (0 acts as 1; at most 10**7).
ref_snr_db : float, optional
    SNR of the noise reference, dB. Default 0.0.

Raises
------
ValueError
    "configure_lock failed (rc=-4)".
)doc");
    dl.def("configure_lock_raw", [](DllPy &h, double up, double down, Count n_looks, double alpha, Count n_up,
                                    Count n_down) {
        check_status(dll_configure_lock_raw(Use<DllPy>(h), n_looks, lock_count(n_up), lock_count(n_down), up, down,
                                            alpha), "configure_lock_raw");
    }, "up_thresh"_a, "down_thresh"_a, "n_looks"_a, "alpha"_a, "n_up"_a, "n_down"_a, R"doc(Set the lock geometry directly.

The decision, the statistic and the noise reference restart.

Parameters
----------
up_thresh, down_thresh : float
    Declare and drop thresholds on ``R``.
n_looks : int
    Looks per decision (0 acts as 1).
alpha : float
    Noise-reference EMA coefficient, in [0, 1].
n_up, n_down : int
    Consecutive decisions to declare and to drop (0 acts as 1).

Raises
------
ValueError
    "configure_lock_raw failed (rc=-4)" for a NaN threshold or `alpha` outside [0, 1].
)doc");
    dl.def("set_lock_verify", [](DllPy &h, Count n_up, Count n_down) {
        check_status(dll_set_lock_verify(Use<DllPy>(h), lock_count(n_up), lock_count(n_down)), "set_lock_verify");
    }, "n_up"_a, "n_down"_a, R"doc(Set the verify counts, keeping the thresholds.

Parameters
----------
n_up, n_down : int
    Consecutive decisions to declare and to drop.

Raises
------
ValueError
    "set_lock_verify failed (rc=-4)" when either is 0.
)doc");
    checked_prop(dl, "bn", dll_get_bn, dll_set_bn, ">= 0 and finite",
                 "Loop noise bandwidth per epoch; writing retunes the loop (zeta kept).");
}
