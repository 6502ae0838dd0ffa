// veltra.track: the symbol-timing classes (SymbolSync, RateSync).
#include <climits>

#include "vxb.h"

#include "symsync.h"

namespace {

using namespace vxb;

struct SymbolSyncPy : Handle<symsync, symsync_destroy> {};

const char *const ORDERS[] = {"linear", "parabolic", "cubic"};
const char *const TEDS[] = {"gardner", "dttl"};

int lock_count(Count c) { return c.v > INT_MAX ? INT_MAX : static_cast<int>(c.v); }

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
>>> len(y), round(sync.rate, 1), set(np.sign(y.real).tolist())
(127, 4.0, {-1.0, 1.0})
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
        .status("configure", symsync_configure, "bn"_a, "zeta"_a,
            R"doc(Retune the loop, keeping its integrator and timing.

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
)doc")
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
    ss.def("configure_lock_raw", [](SymbolSyncPy &h, Count avgs, double up, double down, Count n_up,
                                      Count n_down) {
            symsync_configure_lock_raw(Use<SymbolSyncPy>(h), avgs, lock_count(n_up), lock_count(n_down), up, down);
        }, "avgs"_a, "up_thresh"_a, "down_thresh"_a, "n_up"_a, "n_down"_a,
            R"doc(Set the lock geometry directly.

Parameters
----------
avgs : int
    Looks per decision (0 acts as 1).
up_thresh, down_thresh : float
    A block statistic strictly above `up_thresh` counts toward lock, strictly below
    `down_thresh` toward loss.
n_up, n_down : int
    Consecutive qualifying decisions to declare and to drop (0 acts as 1).
)doc");
    ss.def_prop_rw("bn", [](SymbolSyncPy &h) { return symsync_get_bn(h.get()); },
                     [](SymbolSyncPy &h, double bn) {
                         if (symsync_set_bn(h.get(), bn) != 0)
                             raise(PyExc_ValueError, "bn must be >= 0 and finite");
                     }, "Loop noise bandwidth per symbol; writing retunes the loop (zeta kept).");
}
