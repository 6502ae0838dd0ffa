// veltra.track: the M-PSK receivers (MpskReceiver, MpskReceiverR, BpskReceiver).
#include <string>

#include "vxb.h"

#include "mpsk_receiver.h"

namespace {

using namespace vxb;

struct MpskReceiverPy : Handle<mpsk_receiver, mpsk_receiver_destroy> {};
struct MpskReceiverRPy : Handle<mpsk_receiver, mpsk_receiver_destroy> {};
struct BpskReceiverPy : Handle<mpsk_receiver, mpsk_receiver_destroy> {};

const char *const INVALID =
    "MpskReceiver: invalid parameter (need m in {2,4,8}, sps >= m_out -- sps > 2*m_out on the real-input "
    "MpskReceiverR, whose cascade runs behind a 2:1 halfband, m_out even in [2, 8], 0 <= rrc_beta <= 1, "
    "rrc_span >= 1, num_phases a power of two >= 2, bn >= 0, zeta > 0, 0 < bn_agc_ratio < 1)";
const char *const PULSES[] = {"iandd", "rrc"};

using Create = mpsk_receiver *(*)(int, uint64_t, uint32_t, int, int, uint64_t, double, double, double,
                                  double, double, double, double, double, int);

template <Create F>
mpsk_receiver *create(int m, double sps, Count m_out, const char *pulse, double beta, int span, double bn_c,
                      double zeta, double bn_t, double lock_thresh, double f0, int differential, Count phases,
                      int agc, double agc_ratio)
{
    const int p = choose("pulse", pulse, {PULSES[0], PULSES[1]});
    return F(m, m_out, p, span, differential, phases, sps, beta, bn_c, zeta, bn_t, lock_thresh, f0, agc_ratio, agc);
}

mpsk_receiver *create_bpsk(double fs, double rs, double fc, const char *pulse, double beta, int span, double bn_c,
                           double bn_t, int differential, int agc)
{
    const int p = choose("pulse", pulse, {PULSES[0], PULSES[1]});
    return mpsk_receiver_create_bpsk(p, span, differential, agc, fs, rs, fc, beta, bn_c, bn_t);
}

Args receiver_args(const mpsk_receiver *rx)
{
    const mpsk_rx_loops &l = rx->loops;
    return Args().i("m", l.m).f("sps", l.sps).u("m_out", l.m_out).s("pulse", PULSES[rx->pulse])
        .f("rrc_beta", rx->rrc_beta).i("rrc_span", rx->rrc_span).f("bn_carrier", l.bn_carrier)
        .f("zeta", l.zeta).f("bn_timing", l.timing.bn).f("lock_thresh", l.car_lock.up_thresh)
        .f("init_norm_freq", rx->init_norm_freq).i("differential", l.differential)
        .u("num_phases", rx->num_phases).i("agc", rx->agc).f("bn_agc_ratio", l.bn_agc_ratio);
}

Args bpsk_args(const mpsk_receiver *rx)
{
    const mpsk_rx_loops &l = rx->loops;
    return Args().f("sample_rate_hz", rx->sample_rate_hz).f("symbol_rate_hz", rx->symbol_rate_hz)
        .f("carrier_freq_hz", rx->carrier_freq_hz).s("pulse", PULSES[rx->pulse]).f("rrc_beta", rx->rrc_beta)
        .i("rrc_span", rx->rrc_span).f("bn_carrier", l.bn_carrier).f("bn_timing", l.timing.bn)
        .i("differential", l.differential).i("agc", rx->agc);
}

const char *const STEPS_DOC = R"doc(Recover the symbols of a block.

Every input is consumed. After construction or reset the first converter outputs
fill the matched filter and the first strobe only seeds the timing detector.

Parameters
----------
x : array_like
    Input samples (complex64, or float32 on ``MpskReceiverR``), any shape, read in C order.
out : ndarray of complex64, optional
    Destination with at least ``x.size`` elements; the result views its first elements.

Returns
-------
ndarray of complex64
    One symbol per recovered instant, turned by pi/4 for QPSK so the points sit on the
    diagonals.

Examples
--------
>>> import numpy as np
>>> from veltra.track import MpskReceiver
>>> MpskReceiver().steps(np.zeros(800, np.complex64)).dtype
dtype('complex64')
)doc";

const char *const BITS_DOC = R"doc(Recover hard Gray-coded bits of a block.

Each symbol gives log2(m) bits, least significant first; in differential mode the
label is the index difference to the previous symbol, so a constellation turned by
any multiple of 2*pi/m decodes alike (after the first symbol).

Parameters
----------
x : array_like
    Input samples (complex64, or float32 on ``MpskReceiverR``), any shape.
out : ndarray of uint8, optional
    Destination with at least ``bits_max_out(x.size)`` elements.

Returns
-------
ndarray of uint8
    Bits 0/1.

Examples
--------
>>> import numpy as np
>>> from veltra.track import MpskReceiver
>>> MpskReceiver(m=8).bits_max_out(100)
300
)doc";

bool bool_of(int v) { return v != 0; }

// The methods and properties all three classes share.
template <class H, class In>
void methods(Class<H> &c, uint64_t (*steps)(mpsk_receiver *, const In *, uint64_t, vx_cf32 *, uint64_t),
             uint64_t (*bits)(mpsk_receiver *, const In *, uint64_t, uint8_t *, uint64_t),
             Args (*args)(const mpsk_receiver *) = receiver_args)
{
    c.repr(args)
        .pickle()
        .template block<In, vx_cf32, Gil::release>("steps", steps, mpsk_receiver_steps_max_out, STEPS_DOC)
        .template block<In, uint8_t, Gil::release>("bits", bits, mpsk_receiver_bits_max_out, BITS_DOC)
        .fn("steps_max_out", mpsk_receiver_steps_max_out,
            "0: ``steps`` never returns more symbols than input samples.\n\nReturns\n-------\nint\n")
        .fn("bits_max_out", mpsk_receiver_bits_max_out, "x_len"_a,
            "Bits ``bits`` can return for `x_len` inputs: log2(m) per input.\n\nReturns\n-------\nint\n")
        .reset(mpsk_receiver_reset)
        .state(mpsk_receiver_state_bytes, mpsk_receiver_get_state, mpsk_receiver_set_state)
        .telemetry(mpsk_receiver_set_telemetry)
        .ro("agc_gain_db", mpsk_receiver_get_agc_gain_db, "Gain the AGC applies, dB (0 without AGC).")
        .ro("lock", mpsk_receiver_get_lock, "Smoothed carrier lock signal (cos of m times the phase error).")
        .ro("locked", +[](const mpsk_receiver *rx) { return bool_of(mpsk_receiver_get_locked(rx)); },
            "Carrier lock decision.")
        .ro("lock_time", mpsk_receiver_get_lock_time, "Symbol of the first carrier lock since reset; -1 before.")
        .ro("last_error", mpsk_receiver_get_last_error, "Last carrier discriminator output.")
        .ro("timing_rate", mpsk_receiver_get_timing_rate,
             "Tracked input samples per symbol: the converter's actual steps averaged over about "
             "4096 symbols (starts at `sps`).")
        .ro("zeta", mpsk_receiver_get_zeta, "Damping of both loops.")
        .ro("num_phases", mpsk_receiver_get_num_phases, "Arms of the matched filter bank.")
        .ro("lock_thresh", mpsk_receiver_get_lock_thresh, "Carrier lock declare threshold.")
        .ro("lock_drop_thresh", mpsk_receiver_get_lock_drop_thresh, "Carrier lock drop threshold.")
        .ro("sync_lock_thresh", mpsk_receiver_get_sync_lock_thresh, "Timing lock declare threshold.")
        .ro("sync_lock_drop_thresh", mpsk_receiver_get_sync_lock_drop_thresh, "Timing lock drop threshold.")
        .ro("bn_agc_ratio", mpsk_receiver_get_bn_agc_ratio, "AGC bandwidth over the slower loop's.")
        .ro("m", mpsk_receiver_get_m, "Constellation order.")
        .ro("sps", mpsk_receiver_get_sps, "Nominal input samples per symbol.")
        .ro("m_out", mpsk_receiver_get_m_out, "Converter outputs per symbol.")
        .ro("clipped", +[](const mpsk_receiver *rx) { return bool_of(mpsk_receiver_get_clipped(rx)); },
            "Has the front end's CIC clipped its input since the last reset?");
    c.def_prop_rw("norm_freq", [](H &h) { return mpsk_receiver_get_norm_freq(h.get()); },
                  [](H &h, double f) {
                      if (mpsk_receiver_set_norm_freq(h.get(), f) != 0)
                          raise(PyExc_ValueError, "norm_freq must be finite");
                  }, "Carrier frequency estimate, cycles per input sample; writing re-centres the "
                     "oscillator and clears the estimate.");
}

const char *const RECEIVER_PARAMS = R"doc(
m : {4, 2, 8}, optional
    Constellation order. Default 4.
m_out : int, optional
    Converter outputs per symbol, even in 2..8; 0 derives the largest allowed.
pulse : {"iandd", "rrc"}, optional
    Transmit pulse: integrate-and-dump rectangle or root-raised cosine. Default "iandd".
rrc_beta : float, optional
    RRC roll-off in [0, 1]. Default 0.35.
rrc_span : int, optional
    One-sided pulse span in symbols (>= 1). Default 8.
bn_carrier, bn_timing : float, optional
    Loop noise bandwidths, normalised to the symbol rate (>= 0). Default 0.01 each.
zeta : float, optional
    Damping of both loops; 0 means 1/sqrt(2).
lock_thresh : float, optional
    Carrier lock threshold on the smoothed cos(m*phase error); 0 means 0.4999 (drop
    at 0.8 times it).
init_norm_freq : float, optional
    Carrier centre, cycles per input sample. Default 0.
differential : int, optional
    1 decodes bits differentially. Default 0.
num_phases : int, optional
    Matched filter arms, a power of two; 0 means 64.
agc : int, optional
    1 levels the signal ahead of the matched filter. Default 1.
bn_agc_ratio : float, optional
    AGC bandwidth as a fraction of the slower loop, in (0, 1); 0 means 0.05.

Raises
------
ValueError
    For an unknown `pulse`, or "MpskReceiver: invalid parameter (need m in {2,4,8}, ...)".
)doc";

const char *const MPSK_DOC = R"doc(Complete M-PSK receiver for complex baseband.

A matched down-converter mixes, converts the rate and matched-filters; a Gardner
timing loop steers its polyphase arm and a non-data-aided M-th-power carrier loop
its oscillator, both once per symbol. Out come symbols (``steps``) or hard
Gray-coded bits (``bits``). With the default loop bandwidths (0.01 and 0.01) the
loop jitter costs about 0.4 dB of Eb/N0 against theory; bn_carrier 0.005 and
bn_timing 0.001 come within 0.3 dB. With pulse="rrc" the matched filter delays the
carrier loop by about `rrc_span` symbols: keep bn_carrier at 0.02 or below there.
Non-finite input samples enter as zeros.

Parameters
----------
sps : float, optional
    Input samples per symbol (>= m_out). Default 8.0.)doc";
const char *const MPSK_EXAMPLES = R"doc(
Examples
--------
>>> import numpy as np
>>> from veltra import mpsk
>>> from veltra.track import MpskReceiver
>>> bits = np.random.default_rng(0).integers(0, 2, 6000, dtype=np.uint8)
>>> x = mpsk.modulate(bits, m=4, sps=8, pulse="iandd") * np.exp(2j * np.pi * 0.0005 * np.arange(24000))
>>> rx = MpskReceiver(m=4, sps=8.0, bn_carrier=0.05)
>>> y = rx.steps(x.astype(np.complex64))
>>> rx.locked, round(rx.norm_freq, 4)
(True, 0.0005)
)doc";

const char *const MPSK_R_DOC = R"doc(Complete M-PSK receiver for a real IF.

As ``MpskReceiver``, behind a 2:1 real-to-complex halfband: the carrier centre
`init_norm_freq` is in cycles per input sample (0.25 for fs/4) and the converter
runs at half the input rate, so sps must exceed 2*m_out.

Parameters
----------
sps : float, optional
    Input samples per symbol (> 2*m_out). Default 32.0.)doc";
const char *const MPSK_R_EXAMPLES = R"doc(
Examples
--------
>>> from veltra.track import MpskReceiverR
>>> MpskReceiverR(sps=16.0).m_out, MpskReceiverR(sps=32.0).m_out
(6, 8)
)doc";

const char *const BPSK_DOC = R"doc(BPSK receiver stated in Hz.

An ``MpskReceiver`` with m = 2 whose samples per symbol and carrier centre follow
from the sample, symbol and carrier rates.

Parameters
----------
sample_rate_hz, symbol_rate_hz : float
    Sample and symbol rates (> 0).
carrier_freq_hz : float, optional
    Carrier centre, ``abs(carrier_freq_hz) < sample_rate_hz/2``. Default 0.
pulse : {"iandd", "rrc"}, optional
    Default "iandd".
rrc_beta : float, optional
    Default 0.35.
rrc_span : int, optional
    Default 8.
bn_carrier, bn_timing : float, optional
    Default 0.01 each.
differential : int, optional
    Default 0.
agc : int, optional
    Default 1.

Raises
------
ValueError
    "MpskReceiver: invalid parameter (...)" also for a carrier at or beyond half the
    sample rate.

Examples
--------
>>> from veltra.track import BpskReceiver
>>> rx = BpskReceiver(sample_rate_hz=48000.0, symbol_rate_hz=6000.0, carrier_freq_hz=1200.0)
>>> rx.sps, rx.m, rx.norm_freq
(8.0, 2, 0.025)
)doc";

}  // namespace

void bind_receivers(nb::module_ &m)
{
    Class<MpskReceiverPy> c(m, "MpskReceiver", keep(std::string(MPSK_DOC) + RECEIVER_PARAMS + MPSK_EXAMPLES));
    c.ctor(create<mpsk_receiver_create>, invalid(INVALID), "m"_a = 4, "sps"_a = 8.0, "m_out"_a = Count{0},
           "pulse"_a = "iandd", "rrc_beta"_a = 0.35, "rrc_span"_a = 8, "bn_carrier"_a = 0.01, "zeta"_a = 0.0,
           "bn_timing"_a = 0.01, "lock_thresh"_a = 0.0, "init_norm_freq"_a = 0.0, "differential"_a = 0,
           "num_phases"_a = Count{0}, "agc"_a = 1, "bn_agc_ratio"_a = 0.0);
    methods<MpskReceiverPy, vx_cf32>(c, mpsk_receiver_steps, mpsk_receiver_bits);

    Class<MpskReceiverRPy> r(m, "MpskReceiverR", keep(std::string(MPSK_R_DOC) + RECEIVER_PARAMS + MPSK_R_EXAMPLES));
    r.ctor(create<mpsk_receiver_create_real>, invalid(INVALID), "m"_a = 4, "sps"_a = 32.0, "m_out"_a = Count{0},
           "pulse"_a = "iandd", "rrc_beta"_a = 0.35, "rrc_span"_a = 8, "bn_carrier"_a = 0.01, "zeta"_a = 0.0,
           "bn_timing"_a = 0.01, "lock_thresh"_a = 0.0, "init_norm_freq"_a = 0.0, "differential"_a = 0,
           "num_phases"_a = Count{0}, "agc"_a = 1, "bn_agc_ratio"_a = 0.0);
    methods<MpskReceiverRPy, float>(r, mpsk_receiver_steps_real, mpsk_receiver_bits_real);

    Class<BpskReceiverPy> b(m, "BpskReceiver", BPSK_DOC);
    b.ctor(create_bpsk, invalid(INVALID), "sample_rate_hz"_a, "symbol_rate_hz"_a, "carrier_freq_hz"_a = 0.0,
           "pulse"_a = "iandd", "rrc_beta"_a = 0.35, "rrc_span"_a = 8, "bn_carrier"_a = 0.01,
           "bn_timing"_a = 0.01, "differential"_a = 0, "agc"_a = 1);
    methods<BpskReceiverPy, vx_cf32>(b, mpsk_receiver_steps, mpsk_receiver_bits, bpsk_args);
}
