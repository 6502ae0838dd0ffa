// The timing loop's per-output step, inlined into every owner's per-sample loop (the rate
// synchroniser and the M-PSK receivers), and the checked restore composites build on.
#pragma once

#include "ratesync.h"

namespace vx_timing {

// The control may move the terminal rate, and the integrator the reported rate, within
// 0.5..1.5 times sps (a factor 1/1.5..2 on the rate): a loud or corrupted input can then
// neither stall the converter nor crowd strobes into one push.
constexpr double kDevMin = 1.0 / 1.5 - 1.0;
constexpr double kDevMax = 1.0;

// The loop filter's own check: in range, finite, and gains that come out finite.
inline bool loop_ok(double bn, double zeta)
{
    loop_filter probe{};
    return loop_filter_configure(&probe, bn, zeta, 1.0) == VX_OK;
}

inline double clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }
inline double power(vx_cf32 v) { return static_cast<double>(v.re * v.re + v.im * v.im); }
inline double sgn(float v) { return v >= 0.0f ? 1.0 : -1.0; }

// Detector, loop and lock look of one on-time strobe c with transition sample mid.
template <int Ted> inline void strobe(ratesync_loop *l, vx_cf32 c, vx_cf32 mid)
{
    const vx_cf32 p = l->prev;
    double raw;
    if constexpr (Ted == SYMSYNC_TED_GARDNER)
        raw = (static_cast<double>(c.re) - p.re) * mid.re + (static_cast<double>(c.im) - p.im) * mid.im;
    else
        raw = (sgn(c.re) - sgn(p.re)) * mid.re + (sgn(c.im) - sgn(p.im)) * mid.im;
    const double e = l->ted_gain * raw;
    l->timing_error = e;
    const double pc = power(c), pm = power(mid);
    // Samples beyond single precision carry no timing: the loop holds until they pass.
    const double integ = clamp(l->lf.integ + l->lf.ki * e, kDevMin, kDevMax);
    const double dev = l->lf.kp * e + integ;
    if (vx_finite(pc) && vx_finite(pm) && vx_finite(power(p)) && vx_finite(dev)) {
        l->lf.integ = integ;
        l->ctrl = clamp(dev, kDevMin, kDevMax) * l->cascade_rate;
    }
    symsync_lock_look(pc, pm, &l->lock_sum, &l->lock_count, l->avgs, &l->lock_stat, &l->ld);
    l->prev = c;
}

// Symbols over which `rate` averages the converter's steps. The strobes wander about the
// true clock by a fair part of a sample (detector self-noise; whole-sample steps under a
// rectangular filter), which moves a much shorter average by tens of ppm.
constexpr double kRateSymbols = 4096.0;

// Input samples per symbol the converter runs at deviation ctrl: it steps 1/(rate + ctrl)
// terminal inputs per output, sps/m input samples per output at the nominal rate.
inline double step_period(const ratesync_loop *l, double ctrl)
{
    return l->cascade_rate > 0.0 ? l->sps * l->cascade_rate / (l->cascade_rate + ctrl) : l->sps;
}

// d / (kRateSymbols · m). For m = 2, 4, 8 the divisor is a power of two, whose reciprocal
// multiplies to the same bits without a division's latency on every output.
inline double rate_step(double d, uint64_t m)
{
    switch (m) {
    case 2: return d * (1.0 / (kRateSymbols * 2.0));
    case 4: return d * (1.0 / (kRateSymbols * 4.0));
    case 8: return d * (1.0 / (kRateSymbols * 8.0));
    default: return d / (kRateSymbols * static_cast<double>(m));
    }
}

// One terminal output (`first`: the first its push produced): rate, ring, priming, strobe
// count; true when c is a recovered symbol.
template <int Ted> inline bool output(ratesync_loop *l, vx_cf32 c, bool first)
{
    // `rate` averages the step each output was actually given, so it holds the input's
    // samples per symbol as tracked, not the integrator (whose reciprocal is biased by its
    // jitter). A push steps all its outputs at the control it was given, which a strobe
    // earlier in the same push has already replaced: take it at the push's first output.
    if (first)
        l->push_period = step_period(l, l->ctrl);
    l->rate += rate_step(l->push_period - l->rate, l->m);
    const uint64_t half = l->m / 2;
    for (uint64_t j = l->ring_fill < half ? l->ring_fill : half; j > 0; --j)
        l->ring[j] = l->ring[j - 1];
    l->ring[0] = c;
    if (l->ring_fill <= half)
        ++l->ring_fill;
    if (l->prime) {
        --l->prime;
        return false;
    }
    const uint64_t k = l->strobe_phase;
    l->strobe_phase = k + 1 == l->m ? 0 : k + 1;
    ++l->strobe_count;
    if (k != 0 || l->ring_fill <= half)
        return false;
    if (!l->have_prev) {
        l->prev = c;
        l->have_prev = 1;
        return false;
    }
    strobe<Ted>(l, c, l->ring[half]);
    return true;
}

// Parse and check a loop blob into `out` (a copy of `l` with the restored fields), so a
// composite can check every part before restoring any.
int parse_state(const ratesync_loop *l, const void *blob, ratesync_loop *out);

}  // namespace vx_timing
