#include "carrier_nda.h"

#include <climits>
#include <cstddef>

#include "carrier_loop.hpp"
#include "vx_blob.hpp"
#include "vx_tlm.h"

// The blob body is the object image; these pin the image to the blob's offsets (minus 16).
static_assert(offsetof(carrier_nda, sps) == 64 && offsetof(carrier_nda, window) == 80);
static_assert(offsetof(carrier_nda, arm) == 112 && offsetof(carrier_nda, lock) == 672);
static_assert(offsetof(carrier_nda, ld) == 696 && offsetof(carrier_nda, tlm) == CARRIER_NDA_IMAGE_BYTES);
static_assert(sizeof(carrier_nda) == CARRIER_NDA_STATE_BYTES - VX_STATE_HEADER_BYTES);

namespace {

using namespace vx::carrier;

constexpr double kLockEma = 0.05;
constexpr double kEnergyFloor = 1e-12;

bool params_ok(uint64_t sps, uint64_t n, int m, double bn, double zeta, double f)
{
    return (m == 2 || m == 4 || m == 8) && sps > 0 && n > 0 && n <= INT32_MAX && sps % n == 0 &&
           sps / n <= BOXCAR_MAX_LEN && loop_ok(bn, zeta) && vx_finite(f);
}

// Gains for one update per sample, in cycles/sample.
void gains(loop_filter &lf, double bn, double zeta)
{
    loop_filter_init(&lf, bn, zeta, 1.0);
    lf.kp /= kTwoPi;
    lf.ki /= kTwoPi;
}

// A restored filter: the gains gains() derives from its own bn and zeta, a finite integrator.
bool filter_ok(const loop_filter &lf)
{
    loop_filter probe{};
    if (lf.t != 1.0 || !vx_finite(lf.integ) || !loop_ok(lf.bn, lf.zeta))
        return false;
    gains(probe, lf.bn, lf.zeta);
    return probe.kp == lf.kp && probe.ki == lf.ki;
}

// The arm's window mean after pushing y. A non-finite sample makes the running sum
// non-finite for good (inf - inf, NaN - NaN); the sum is then taken afresh over the window,
// so the arm recovers as soon as the sample leaves it.
// The step is boxcar_steps' own arithmetic, inlined: a call per sample costs a third of
// the loop.
inline vx_cf32 arm_push(boxcar &b, vx_cf32 y)
{
    vx_cf32 &old = b.ring[b.pos];
    b.acc.re = b.acc.re + y.re - old.re;
    b.acc.im = b.acc.im + y.im - old.im;
    old = y;
    b.pos = b.pos + 1 == b.len ? 0 : b.pos + 1;
    vx_cf32 z = {b.acc.re * b.scale, b.acc.im * b.scale};
    if (!vx_finite(static_cast<double>(b.acc.re) + b.acc.im)) {
        vx_cf32 s = {0.0f, 0.0f};
        for (uint64_t i = 0; i < b.len; ++i) {
            s.re += b.ring[i].re;
            s.im += b.ring[i].im;
        }
        b.acc = s;
        z = {s.re * b.scale, s.im * b.scale};
    }
    return z;
}

// Error (2/M)·sin(M·θ) and lock signal cos(M·θ) of the arm phase θ; 0, 0 below the floor.
template <int M> inline void detect(vx_cf32 z, double &err, double &sig)
{
    const double re = z.re, im = z.im;
    const double e = re * re + im * im;
    if (!(e > kEnergyFloor && e < INFINITY)) {
        err = sig = 0.0;
        return;
    }
    const double c2 = (re * re - im * im) / e, s2 = 2.0 * re * im / e;
    if constexpr (M == 2) {
        err = s2;
        sig = c2;
        return;
    }
    const double c4 = c2 * c2 - s2 * s2, h = c2 * s2;
    if constexpr (M == 4) {
        err = h;
        sig = c4;
    } else {
        err = c4 * h;
        sig = c4 * c4 - 4.0 * h * h;
    }
}

template <int M, bool Tlm>
uint64_t run(carrier_nda *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap)
{
    const float *tab = lo_sin_table();
    const uint64_t m = n < out_cap ? n : out_cap;
    for (uint64_t i = 0; i < n; ++i) {
        const vx_cf32 w = lo_sample(tab, c->osc.phase);
        c->osc.phase += c->osc.phase_inc + vx_phase_inc_of(c->ctrl);
        const vx_cf32 y = {x[i].re * w.re + x[i].im * w.im, x[i].im * w.re - x[i].re * w.im};
        double err, sig;
        detect<M>(arm_push(c->arm, y), err, sig);
        c->lock += kLockEma * (sig - c->lock);
        lockdet_look(&c->ld, c->lock);
        c->lf.integ += c->lf.ki * err;
        c->ctrl = c->lf.kp * err + c->lf.integ;
        c->last_error = err;
        if (i < m)
            out[i] = y;
        if constexpr (Tlm) {
            const float v[4] = {static_cast<float>(c->lock), static_cast<float>(err),
                                static_cast<float>(c->osc.norm_freq + c->lf.integ),
                                static_cast<float>(c->ld.locked)};
            vx_tlm_flush(c->tlm, c->tlm_ids, v, 4);
        }
    }
    return m;
}

template <int M>
uint64_t run_m(carrier_nda *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap)
{
    return c->tlm ? run<M, true>(c, x, n, out, out_cap) : run<M, false>(c, x, n, out, out_cap);
}

}  // namespace

extern "C" {

VX_API int carrier_nda_init(carrier_nda *c, uint64_t sps, uint64_t n, int m, double bn, double zeta,
                            double init_norm_freq)
{
    if (!c || !params_ok(sps, n, m, bn, zeta, init_norm_freq))
        return VX_ERR_INVALID;
    *c = carrier_nda{};
    c->sps = sps;
    c->m = m;
    c->n = static_cast<int32_t>(n);
    c->window = sps / n;
    c->init_norm_freq = init_norm_freq;
    c->bn = bn;
    c->zeta = zeta;
    gains(c->lf, bn, zeta);
    boxcar_init(&c->arm, c->window, 1.0);
    lockdet_init(&c->ld, 0.5, 0.4, 64, 32);
    c->tlm_ids[0] = c->tlm_ids[1] = c->tlm_ids[2] = c->tlm_ids[3] = -1;
    carrier_nda_reset(c);
    return VX_OK;
}

VX_API carrier_nda *carrier_nda_create(uint64_t sps, uint64_t n, int m, double bn, double zeta,
                                       double init_norm_freq)
{
    if (!params_ok(sps, n, m, bn, zeta, init_norm_freq))
        return nullptr;
    carrier_nda *c = vx::alloc_object<carrier_nda>();
    if (c)
        carrier_nda_init(c, sps, n, m, bn, zeta, init_norm_freq);
    return c;
}

VX_API void carrier_nda_destroy(carrier_nda *c)
{
    if (c)
        vx_tlm_swap(&c->tlm, nullptr);
    vx_free(c);
}

VX_API void carrier_nda_reset(carrier_nda *c)
{
    c->lf.integ = 0.0;
    lo_init(&c->osc, c->init_norm_freq);
    c->ctrl = 0.0;
    boxcar_reset(&c->arm);
    c->lock = 0.0;
    c->last_error = 0.0;
    lockdet_reset(&c->ld);
}

VX_API uint64_t carrier_nda_steps(carrier_nda *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                                  uint64_t out_cap)
{
    if (!c || !x)
        return 0;
    if (!out)
        out_cap = 0;
    switch (c->m) {
    case 2: return run_m<2>(c, x, n, out, out_cap);
    case 4: return run_m<4>(c, x, n, out, out_cap);
    default: return run_m<8>(c, x, n, out, out_cap);
    }
}

VX_API uint64_t carrier_nda_steps_max_out(const carrier_nda *) { return 0; }

VX_API double carrier_nda_get_norm_freq(const carrier_nda *c) { return c->osc.norm_freq + c->lf.integ; }
VX_API double carrier_nda_get_nco_freq(const carrier_nda *c) { return c->osc.norm_freq + c->ctrl; }

VX_API int carrier_nda_set_norm_freq(carrier_nda *c, double f)
{
    if (!c || !vx_finite(f))
        return VX_ERR_INVALID;
    c->init_norm_freq = f;
    carrier_nda_reset(c);
    return VX_OK;
}

VX_API double carrier_nda_get_lock(const carrier_nda *c) { return c->lock; }
VX_API int carrier_nda_get_locked(const carrier_nda *c) { return static_cast<int>(c->ld.locked); }
VX_API double carrier_nda_get_last_error(const carrier_nda *c) { return c->last_error; }
VX_API double carrier_nda_get_bn(const carrier_nda *c) { return c->bn; }

VX_API int carrier_nda_set_bn(carrier_nda *c, double bn)
{
    if (!c || !loop_ok(bn, c->zeta))
        return VX_ERR_INVALID;
    const double integ = c->lf.integ;
    gains(c->lf, bn, c->zeta);
    c->lf.integ = integ;
    c->bn = bn;
    return VX_OK;
}

VX_API int carrier_nda_get_m(const carrier_nda *c) { return c->m; }
VX_API int carrier_nda_get_n(const carrier_nda *c) { return c->n; }
VX_API uint64_t carrier_nda_get_sps(const carrier_nda *c) { return c->sps; }

VX_API int carrier_nda_configure_lock(carrier_nda *c, double up_thresh, double down_thresh,
                                      uint32_t n_up, uint32_t n_down)
{
    if (!c || up_thresh != up_thresh || down_thresh != down_thresh)
        return VX_ERR_INVALID;
    lockdet_configure(&c->ld, up_thresh, down_thresh, n_up, n_down);
    return VX_OK;
}

VX_API int carrier_nda_set_telemetry(carrier_nda *c, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    static const char *const probes[] = {"lock", "e", "freq", "locked"};
    return c ? vx_tlm_attach(&c->tlm, c->tlm_ids, tlm, prefix, "car", probes, 4, decim)
             : VX_ERR_INVALID;
}

VX_API uint64_t carrier_nda_state_bytes(const carrier_nda *) { return CARRIER_NDA_STATE_BYTES; }

VX_API void carrier_nda_get_state(const carrier_nda *c, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_CARRIER_NDA, VX_VERSION_CARRIER_NDA, CARRIER_NDA_STATE_BYTES)
        .put_bytes(c, CARRIER_NDA_IMAGE_BYTES)
        .zeros(CARRIER_NDA_STATE_BYTES - VX_STATE_HEADER_BYTES - CARRIER_NDA_IMAGE_BYTES);
}

VX_API int carrier_nda_set_state(carrier_nda *c, const void *blob)
{
    if (!c || vx_state_check_header(blob, VX_MAGIC_CARRIER_NDA, VX_VERSION_CARRIER_NDA,
                                    CARRIER_NDA_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    carrier_nda v = *c;  // keeps the telemetry attachment
    vx::BlobReader(blob).get_bytes(&v, CARRIER_NDA_IMAGE_BYTES);
    const boxcar &a = v.arm;
    const bool ok = v.n >= 1 && params_ok(v.sps, static_cast<uint64_t>(v.n), v.m, v.bn, v.zeta, v.init_norm_freq) &&
                    v.window == v.sps / static_cast<uint64_t>(v.n) && a.len == v.window && a.pos < a.len &&
                    a.gain == 1.0 && a.inv_len == 1.0 / static_cast<double>(a.len) &&
                    a.scale == static_cast<float>(a.inv_len) && filter_ok(v.lf) &&
                    vx_finite(v.ctrl) && v.osc.norm_freq == v.init_norm_freq &&
                    v.osc.phase_inc == vx_phase_inc(v.osc.norm_freq) && lockdet_ok(v.ld);
    if (!ok)
        return VX_ERR_INVALID;
    *c = v;
    return VX_OK;
}

}  // extern "C"
