// Pieces shared by the symbol-synchronous carrier loops (Costas, M-PSK): the de-rotating
// integrate-and-dump, the per-symbol steer, the seed, and the checks their creators and
// restores make.
#pragma once

#include <cmath>

#include "lo.h"
#include "lockdet.h"
#include "loop_filter.h"

namespace vx::carrier {

constexpr double kTwoPi = 6.283185307179586;
constexpr float kMagGuard = 1e-12f;

// |p| + 1e-12 in single precision.
inline float magnitude(vx_cf32 p) { return std::sqrt(p.re * p.re + p.im * p.im) + kMagGuard; }

// De-rotate k samples by the oscillator and add them to p, in single precision, in stream
// order (so any split of the stream sums identically).
inline void integrate(lo &osc, vx_cf32 &p, const vx_cf32 *x, uint64_t k, const float *tab)
{
    uint32_t ph = osc.phase;
    const uint32_t inc = osc.phase_inc;
    float re = p.re, im = p.im;
    for (uint64_t i = 0; i < k; ++i) {
        const vx_cf32 w = lo_sample(tab, ph);
        ph += inc;
        re += x[i].re * w.re + x[i].im * w.im;
        im += x[i].im * w.re - x[i].re * w.im;
    }
    osc.phase = ph;
    p = {re, im};
}

// Integrate-and-dump over a block for a loop with fields osc, prompt, count and tsamps:
// on_dump(P) runs once per completed symbol, which is written as P/tsamps while room
// remains. A partial symbol stays in prompt/count for the next call.
template <class Loop, class OnDump>
uint64_t integrate_and_dump(Loop *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap,
                            OnDump on_dump)
{
    const float *tab = lo_sin_table();
    const float ts = static_cast<float>(c->tsamps);
    uint64_t written = 0;
    while (n) {
        const uint64_t k = c->tsamps - c->count < n ? c->tsamps - c->count : n;
        integrate(c->osc, c->prompt, x, k, tab);
        c->count += k;
        x += k;
        n -= k;
        if (c->count < c->tsamps)
            break;
        const vx_cf32 p = c->prompt;
        c->prompt = {0.0f, 0.0f};
        c->count = 0;
        on_dump(p);
        if (written < out_cap)
            out[written++] = {p.re / ts, p.im / ts};
    }
    return written;
}

// One loop update with phase error e [radians]: the integrator (radians per symbol) sets
// the frequency, the proportional term nudges the phase once.
inline void steer(lo &osc, loop_filter &lf, uint64_t tsamps, double e)
{
    lf.integ += lf.ki * e;
    lo_set_norm_freq(&osc, lf.integ / (static_cast<double>(tsamps) * kTwoPi));
    osc.phase += vx_phase_inc(lf.kp * e / kTwoPi);
}

// Oscillator at f with phase 0, integrator at the matching radians per symbol.
// A seed frequency whose integrator value f * 2*pi * tsamps overflows would leave an
// object that refuses its own blob: such frequencies are refused up front.
inline bool seed_ok(double f, uint64_t tsamps)
{
    return vx_finite(f * kTwoPi * static_cast<double>(tsamps ? tsamps : 1));
}

inline void seed(lo &osc, loop_filter &lf, uint64_t tsamps, double f)
{
    lo_init(&osc, f);
    lf.integ = f * kTwoPi * static_cast<double>(tsamps);
}

// The loop filter's own check: in range, finite, and gains that come out finite.
inline bool loop_ok(double bn, double zeta)
{
    loop_filter probe{};
    return loop_filter_configure(&probe, bn, zeta, 1.0) == VX_OK;
}

// The assist gain is 4·bn_fll: it must come out finite as well.
inline bool fll_ok(double bn_fll) { return bn_fll >= 0.0 && vx_finite(4.0 * bn_fll); }

// The FLL's push on the integrator, skipped where the sum overflows: a large assist gain
// would otherwise run the integrator (and the frequency) to infinity, a state no restore
// accepts.
inline void fll_push(loop_filter &lf, double step)
{
    const double v = lf.integ + step;
    if (vx_finite(v))
        lf.integ = v;
}

// A restored lock detector: counts >= 1, a flag, and a run shorter than its limit.
inline bool lockdet_ok(const lockdet &ld)
{
    const uint32_t limit = ld.locked ? ld.n_down : ld.n_up;
    return ld.n_up >= 1 && ld.n_down >= 1 && ld.locked <= 1 && ld.count < limit;
}

}  // namespace vx::carrier
