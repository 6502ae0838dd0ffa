// veltra.track: the symbol-timing classes (SymbolSync, RateSync).
#include <climits>
#include <string>

#include "vxb.h"

#include "ratesync.h"
#include "symsync.h"

namespace {

using namespace vxb;

struct SymbolSyncPy : Handle<symsync, symsync_destroy> {};
struct RateSyncPy : Handle<ratesync, ratesync_destroy> {};

const char *const ORDERS[] = {"linear", "parabolic", "cubic"};
const char *const TEDS[] = {"gardner", "dttl"};
const char *const PULSES[] = {"iandd", "rrc"};

int lock_count(Count c) { return c.v > INT_MAX ? INT_MAX : static_cast<int>(c.v); }

// The loop-tuning methods both synchronisers share: configure, configure_lock_raw, bn.
template <class H, class Core = typename H::core_type>
void loop_methods(Class<H> &c, int (*configure)(Core *, double, double), double (*get_bn)(const Core *),
                  int (*set_bn)(Core *, double),
                  void (*lock_raw)(Core *, uint64_t, int, int, double, double), const char *lock_note)
{
    c.status("configure", configure, "bn"_a, "zeta"_a, R"doc(Retune the loop, keeping its integrator and timing.

Parameters
----------
bn : float
    Loop noise bandwidth per symbol (>= 0).
zeta : float
    Damping factor (> 0).

Raises
------
ValueError
    "configure failed (rc=-4)" for a negative or non-finite `bn` or a `zeta` that is not
    positive and finite; the loop is then unchanged.
)doc");
    c.def("configure_lock_raw", [lock_raw](H &h, Count avgs, double up, double down, Count n_up, Count n_down) {
        lock_raw(Use<H>(h), avgs, lock_count(n_up), lock_count(n_down), up, down);
    }, "avgs"_a, "up_thresh"_a, "down_thresh"_a, "n_up"_a, "n_down"_a,
        keep(std::string("Set the lock geometry directly; ") + lock_note + R"doc(.

Parameters
----------
avgs : int
    Looks per decision (0 acts as 1).
up_thresh, down_thresh : float
    A block statistic strictly above `up_thresh` counts toward lock, strictly below
    `down_thresh` toward loss.
n_up, n_down : int
    Consecutive qualifying decisions to declare and to drop (0 acts as 1).
)doc"));
    c.def_prop_rw("bn", [get_bn](H &h) { return get_bn(h.get()); },
                  [set_bn](H &h, double bn) {
                      if (set_bn(h.get(), bn) != 0)
                          raise(PyExc_ValueError, "bn must be >= 0 and finite");
                  }, "Loop noise bandwidth per symbol; writing retunes the loop (zeta kept).");
}

symsync *create_symsync(Count sps, double bn, double zeta, const char *order, const char *ted)
{
    const int o = choose("order", order, {ORDERS[0], ORDERS[1], ORDERS[2]});
    const int t = choose("ted", ted, {TEDS[0], TEDS[1]});
    return symsync_create(sps, o, t, bn, zeta);
}

const char *const SYMBOL_SYNC_DOC = R"doc(Symbol-timing synchroniser for oversampled complex baseband.

A 32-bit timing NCO (one wrap per symbol) marks the symbol instants; a
four-sample Farrow interpolator forms the on-time and mid-symbol samples; a
Gardner or sign-sign DTTL detector and a PI loop steer the NCO once per symbol.
An eye-opening lock statistic is averaged over ``avgs`` symbols and judged
against thresholds sized from the detection statistics (by default 133 looks
and a threshold of about 0.311, for roll-off 0.35, Es/N0 >= 10 dB, pfa 1e-3,
pd 0.9). The strobe rate is held within 0.5..1.5 times `sps`.

Parameters
----------
sps : int, optional
    Nominal samples per symbol (>= 2 to run; 0 and 1 give no symbols). Default 4.
bn : float, optional
    Loop noise bandwidth, normalised to the symbol rate (>= 0). Default 0.01.
zeta : float, optional
    Loop damping factor (> 0). Default 0.707.
order : {"cubic", "parabolic", "linear"}, optional
    Interpolator. Default "cubic".
ted : {"gardner", "dttl"}, optional
    Timing-error detector. Default "gardner".

Raises
------
ValueError
    For an unknown `order` or `ted`, or "SymbolSync: invalid parameter (need bn >= 0
    and zeta > 0, both finite)".

Examples
--------
>>> import numpy as np
>>> from veltra.track import SymbolSync
>>> x = np.repeat(np.tile([1.0, -1.0], 64), 4).astype(np.complex64)
>>> sync = SymbolSync(sps=4)
>>> y = sync.steps(x)
>>> len(y), round(sync.rate, 1), sorted(set(np.sign(y.real).tolist()))
(127, 4.0, [-1.0, 1.0])
)doc";

ratesync *create_ratesync(double sps, const char *pulse, double beta, Count span, Count m,
                          Count num_phases, double bn, double zeta, const char *ted)
{
    const int p = choose("pulse", pulse, {PULSES[0], PULSES[1]});
    const int t = choose("ted", ted, {TEDS[0], TEDS[1]});
    return ratesync_create(p, span, m, num_phases, t, sps, beta, bn, zeta);
}

const char *const RATE_SYNC_DOC = R"doc(Symbol recovery through a matched rate converter.

The converter's last polyphase stage is the matched filter: one dot product per
output converts the rate, filters and interpolates, and its arm is the timing
phase. It produces `m` outputs per symbol; a Gardner or DTTL detector on every
m-th output (with the output m/2 earlier as the transition sample) drives a PI
loop whose rate deviation is pushed with every input, so `sps` may be any real
number. The detector is normalised by its S-curve slope for the pulse, not by
the signal power, so the loop gain follows the input amplitude. The deviation
is held within 0.5..1.5 times `sps`. Lock is judged every 133 symbols against
0.311 until ``configure_lock_raw`` says otherwise.

Parameters
----------
sps : float, optional
    Input samples per symbol (>= m). Default 4.0.
pulse : {"rrc", "iandd"}, optional
    Root-raised cosine or integrate-and-dump rectangle. Default "rrc".
beta : float, optional
    RRC roll-off in [0, 1]. Default 0.35.
span : int, optional
    One-sided pulse span in symbols (>= 1). Default 8.
m : int, optional
    Converter outputs per symbol, even, 2..8. Default 2.
num_phases : int, optional
    Polyphase arms, a power of two >= 2. Default 1024.
bn : float, optional
    Loop noise bandwidth per symbol (>= 0). Default 0.01.
zeta : float, optional
    Damping factor (> 0). Default 0.707.
ted : {"gardner", "dttl"}, optional
    Timing-error detector. Default "gardner".

Raises
------
ValueError
    For an unknown `pulse` or `ted`, or "RateSync: invalid parameter (need sps >= m,
    0 <= beta <= 1, span >= 1, m even in [2, 8], num_phases a power of two >= 2,
    bn >= 0, zeta > 0)".

Examples
--------
>>> import numpy as np
>>> from veltra.track import RateSync
>>> rng = np.random.default_rng(0)
>>> x = np.repeat(rng.choice([-1.0, 1.0], 3000), 8).astype(np.complex64)
>>> sync = RateSync(sps=8.0, pulse="iandd", m=4)
>>> y = sync.steps(x)
>>> len(y) > 2990, round(sync.rate, 1), sync.locked
(True, 8.0, True)
)doc";

}  // namespace

void bind_timing(nb::module_ &m)
{
    Class<SymbolSyncPy> ss(m, "SymbolSync", SYMBOL_SYNC_DOC);
    ss.ctor(create_symsync, invalid("SymbolSync: invalid parameter (need bn >= 0 and zeta > 0, both finite)"),
              "sps"_a = Count{4}, "bn"_a = 0.01, "zeta"_a = 0.707, "order"_a = "cubic", "ted"_a = "gardner")
        .repr(+[](const symsync *s) {
            return Args().u("sps", s->sps).f("bn", s->bn).f("zeta", s->zeta).s("order", ORDERS[s->order])
                .s("ted", TEDS[s->ted]);
        })
        .pickle()
        .block<vx_cf32, vx_cf32, Gil::release>("steps", symsync_steps, symsync_steps_max_out,
            R"doc(Recover the symbols of a block.

Parameters
----------
x : array_like of complex64
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with at least ``x.size`` elements; the result views its first elements.

Returns
-------
ndarray of complex64
    One on-time sample per symbol instant in this block (the first instant after
    construction or reset only seeds the detector).

Examples
--------
>>> import numpy as np
>>> from veltra.track import SymbolSync
>>> SymbolSync(sps=4).steps(np.ones(40, np.complex64)).shape
(9,)
)doc")
        .fn("steps_max_out", symsync_steps_max_out,
            "0: ``steps`` never returns more symbols than input samples.\n\nReturns\n-------\nint\n")
        .status("configure_lock", symsync_configure_lock, "rolloff"_a, "esno_min_db"_a, "pfa"_a, "pd"_a,
            R"doc(Size the lock detector from detection statistics.

The per-look mean of the lock statistic is taken as
``(0.26 + 0.6*rolloff) * (1 - exp(-0.275 * 10**(esno_min_db/10)))`` with variance
1.343; the look count and threshold meet `pd` at the false-alarm rate `pfa`.

Parameters
----------
rolloff : float
    Pulse roll-off.
esno_min_db : float
    Lowest Es/N0 to detect, dB.
pfa, pd : float
    False-alarm and detection probabilities, 0 < pfa < pd < 1.

Raises
------
ValueError
    "configure_lock failed (rc=-4)" when the probabilities are out of range or no
    look count exists; the geometry is then unchanged.
)doc")
        .reset(symsync_reset)
        .state(symsync_state_bytes, symsync_get_state, symsync_set_state)
        .telemetry(symsync_set_telemetry)
        .ro("timing_error", symsync_get_timing_error, "Last normalised timing error.")
        .ro("rate", symsync_get_rate, "Smoothed tracked samples per symbol.")
        .ro("lock_stat", symsync_get_lock_stat, "Last block-averaged lock statistic.")
        .ro("locked", +[](const symsync *s) { return symsync_get_locked(s) != 0; },
            "Lock decision (changes only every ``avgs`` symbols).");
    loop_methods(ss, symsync_configure, symsync_get_bn, symsync_set_bn, symsync_configure_lock_raw,
                 "the lock decision itself is kept until the next block decisions");

    Class<RateSyncPy> rs(m, "RateSync", RATE_SYNC_DOC);
    rs.ctor(create_ratesync,
            invalid("RateSync: invalid parameter (need sps >= m, 0 <= beta <= 1, span >= 1, m even in [2, 8], "
                    "num_phases a power of two >= 2, bn >= 0, zeta > 0)"),
            "sps"_a = 4.0, "pulse"_a = "rrc", "beta"_a = 0.35, "span"_a = Count{8}, "m"_a = Count{2},
            "num_phases"_a = Count{1024}, "bn"_a = 0.01, "zeta"_a = 0.707, "ted"_a = "gardner")
        .repr(+[](const ratesync *r) {
            return Args().f("sps", r->loop.sps).s("pulse", PULSES[r->pulse]).f("beta", r->beta).u("span", r->span)
                .u("m", r->loop.m).u("num_phases", r->num_phases).f("bn", r->loop.bn).f("zeta", r->loop.zeta)
                .s("ted", TEDS[r->loop.ted]);
        })
        .pickle()
        .block<vx_cf32, vx_cf32, Gil::release>("steps", ratesync_steps, ratesync_steps_max_out,
            R"doc(Recover the symbols of a block.

Every input is consumed. After construction or reset the first outputs fill the
matched filter, and the first strobe only seeds the detector.

Parameters
----------
x : array_like of complex64
    Input samples, any shape, read in C order.
out : ndarray of complex64, optional
    Destination with at least ``x.size`` elements; the result views its first elements.

Returns
-------
ndarray of complex64
    One matched-filter output per recovered symbol.

Examples
--------
>>> import numpy as np
>>> from veltra.track import RateSync
>>> RateSync(sps=4.0).steps(np.ones(400, np.complex64)).dtype
dtype('complex64')
)doc")
        .fn("steps_max_out", ratesync_steps_max_out,
            "0: ``steps`` never returns more symbols than input samples.\n\nReturns\n-------\nint\n")
        .reset(ratesync_reset)
        .state(ratesync_state_bytes, ratesync_get_state, ratesync_set_state)
        .telemetry(ratesync_set_telemetry)
        .ro("timing_error", ratesync_get_timing_error, "Last timing error (scaled by 1/S-curve slope).")
        .ro("rate", ratesync_get_rate,
             "Tracked input samples per symbol: the converter's actual steps averaged over about "
             "4096 symbols (starts at `sps`).")
        .ro("ctrl", ratesync_get_ctrl, "Rate deviation pushed into the converter with every input.")
        .ro("lock_stat", ratesync_get_lock_stat, "Last block-averaged lock statistic.")
        .ro("locked", +[](const ratesync *r) { return ratesync_get_locked(r) != 0; },
            "Lock decision (changes only at block decisions).")
        .ro("clipped", +[](const ratesync *r) { return ratesync_get_clipped(r) != 0; },
            "Has the converter's CIC clipped its input since the last reset?");
    loop_methods(rs, ratesync_configure, ratesync_get_bn, ratesync_set_bn, ratesync_configure_lock_raw,
                 "the lock decision and its statistic restart");
}
