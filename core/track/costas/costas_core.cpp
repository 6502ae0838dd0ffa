#include "costas.h"

#include <cmath>
#include <cstddef>

#include "carrier_loop.hpp"
#include "vx_blob.hpp"
#include "vx_tlm.h"

// The blob body is the object image; these pin the image to the blob's offsets (minus 16).
static_assert(offsetof(costas, lf) == 16 && offsetof(costas, tsamps) == 64);
static_assert(offsetof(costas, prompt) == 112 && offsetof(costas, prev) == 128);
static_assert(offsetof(costas, lock_metric) == 144 && offsetof(costas, ld) == 152);
static_assert(offsetof(costas, tlm) == COSTAS_IMAGE_BYTES && offsetof(costas, tlm_ids) == 200);

namespace {

using namespace vx::carrier;

constexpr double kLockEma = 0.1;

inline double sgn(float v) { return v < 0.0f ? -1.0 : 1.0; }

bool params_ok(double bn, double zeta, double f, double bn_fll)
{
    return loop_ok(bn, zeta) && vx_finite(f) && fll_ok(bn_fll);
}

// The loop's work on one dumped prompt p.
void dump(costas *c, vx_cf32 p)
{
    const float mag = magnitude(p);
    // A prompt beyond single precision (NaN, or a power overflowing) carries no phase: the
    // loop holds its frequency and phase and restarts the FLL, and the look counts
    // toward a drop, so one bad burst cannot poison the loop for good.
    if (!vx_finite(mag)) {
        c->last_error = NAN;
        c->have_prev = 0;
        lockdet_look(&c->ld, NAN);
        return;
    }
    const double e = sgn(p.re) * static_cast<double>(p.im) / mag;
    c->last_error = e;
    if (c->k_fll > 0.0 && c->have_prev) {
        const vx_cf32 q = c->prev;
        const double cross = static_cast<double>(q.re) * p.im - static_cast<double>(q.im) * p.re;
        fll_push(c->lf, c->k_fll * (cross * sgn(p.re) * sgn(q.re) / (static_cast<double>(magnitude(q)) * mag)));
    }
    c->prev = p;
    c->have_prev = 1;
    steer(c->osc, c->lf, c->tsamps, e);
    c->lock_metric += kLockEma * (std::fabs(static_cast<double>(p.re)) / mag - c->lock_metric);
    lockdet_look(&c->ld, c->lock_metric);
}

template <bool Tlm>
uint64_t run(costas *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap)
{
    return integrate_and_dump(c, x, n, out, out_cap, [c](vx_cf32 p) {
        dump(c, p);
        if constexpr (Tlm) {
            const float v[4] = {static_cast<float>(c->lock_metric), static_cast<float>(c->last_error),
                                static_cast<float>(c->osc.norm_freq), static_cast<float>(c->ld.locked)};
            vx_tlm_flush(c->tlm, c->tlm_ids, v, 4);
        }
    });
}

}  // namespace

extern "C" {

VX_API int costas_init(costas *c, uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                       double bn_fll)
{
    if (!c || !params_ok(bn, zeta, init_norm_freq, bn_fll) || !vx::carrier::seed_ok(init_norm_freq, tsamps))
        return VX_ERR_INVALID;
    *c = costas{};
    c->tsamps = tsamps ? tsamps : 1;
    c->init_norm_freq = init_norm_freq;
    c->bn = bn;
    c->zeta = zeta;
    c->bn_fll = bn_fll;
    c->k_fll = 4.0 * bn_fll;
    loop_filter_init(&c->lf, bn, zeta, 1.0);
    lockdet_init(&c->ld, 0.85, 0.78, 8, 32);
    c->tlm_ids[0] = c->tlm_ids[1] = c->tlm_ids[2] = c->tlm_ids[3] = -1;
    costas_reset(c);
    return VX_OK;
}

VX_API costas *costas_create(uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                             double bn_fll)
{
    if (!params_ok(bn, zeta, init_norm_freq, bn_fll) || !vx::carrier::seed_ok(init_norm_freq, tsamps))
        return nullptr;
    costas *c = vx::alloc_object<costas>();
    if (c)
        costas_init(c, tsamps, bn, zeta, init_norm_freq, bn_fll);
    return c;
}

VX_API void costas_destroy(costas *c)
{
    if (c)
        vx_tlm_swap(&c->tlm, nullptr);
    vx_free(c);
}

VX_API void costas_reset(costas *c)
{
    seed(c->osc, c->lf, c->tsamps, c->init_norm_freq);
    c->prompt = c->prev = vx_cf32{0.0f, 0.0f};
    c->count = 0;
    c->have_prev = 0;
    c->lock_metric = 0.0;
    c->last_error = 0.0;
    lockdet_reset(&c->ld);
}

VX_API uint64_t costas_steps(costas *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap)
{
    if (!c || !x)
        return 0;
    if (!out)
        out_cap = 0;
    return c->tlm ? run<true>(c, x, n, out, out_cap) : run<false>(c, x, n, out, out_cap);
}

VX_API uint64_t costas_steps_max_out(const costas *) { return 0; }

VX_API int costas_configure(costas *c, double bn, double zeta)
{
    if (!c || loop_filter_configure(&c->lf, bn, zeta, 1.0) != VX_OK)
        return VX_ERR_INVALID;
    c->bn = bn;
    c->zeta = zeta;
    return VX_OK;
}

VX_API double costas_get_bn(const costas *c) { return c->bn; }
VX_API int costas_set_bn(costas *c, double bn) { return c ? costas_configure(c, bn, c->zeta) : VX_ERR_INVALID; }
VX_API double costas_get_bn_fll(const costas *c) { return c->bn_fll; }

VX_API int costas_set_bn_fll(costas *c, double bn_fll)
{
    if (!c || !fll_ok(bn_fll))
        return VX_ERR_INVALID;
    c->bn_fll = bn_fll;
    c->k_fll = 4.0 * bn_fll;
    return VX_OK;
}

VX_API double costas_get_norm_freq(const costas *c) { return c->osc.norm_freq; }

VX_API int costas_set_norm_freq(costas *c, double f)
{
    if (!c || !vx::carrier::seed_ok(f, c->tsamps))
        return VX_ERR_INVALID;
    c->init_norm_freq = f;
    c->lf.integ = 0.0;
    costas_reset(c);
    return VX_OK;
}

VX_API double costas_get_nco_freq(const costas *c)
{
    return c->osc.norm_freq + c->lf.kp * c->last_error / (kTwoPi * static_cast<double>(c->tsamps));
}

VX_API double costas_get_lock_metric(const costas *c) { return c->lock_metric; }
VX_API int costas_get_locked(const costas *c) { return static_cast<int>(c->ld.locked); }
VX_API double costas_get_last_error(const costas *c) { return c->last_error; }

VX_API int costas_configure_lock(costas *c, double up_thresh, double down_thresh, uint32_t n_up,
                                 uint32_t n_down)
{
    if (!c || up_thresh != up_thresh || down_thresh != down_thresh)
        return VX_ERR_INVALID;
    lockdet_configure(&c->ld, up_thresh, down_thresh, n_up, n_down);
    return VX_OK;
}

VX_API int costas_set_telemetry(costas *c, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    static const char *const probes[] = {"lock", "e", "freq", "locked"};
    return c ? vx_tlm_attach(&c->tlm, c->tlm_ids, tlm, prefix, "car", probes, 4, decim)
             : VX_ERR_INVALID;
}

VX_API uint64_t costas_state_bytes(const costas *) { return COSTAS_STATE_BYTES; }

VX_API void costas_get_state(const costas *c, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_COSTAS, VX_VERSION_COSTAS, COSTAS_STATE_BYTES)
        .put_bytes(c, COSTAS_IMAGE_BYTES)
        .zeros(COSTAS_STATE_BYTES - VX_STATE_HEADER_BYTES - COSTAS_IMAGE_BYTES);
}

VX_API int costas_set_state(costas *c, const void *blob)
{
    if (!c || vx_state_check_header(blob, VX_MAGIC_COSTAS, VX_VERSION_COSTAS, COSTAS_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    costas v = *c;  // keeps the telemetry attachment
    vx::BlobReader(blob).get_bytes(&v, COSTAS_IMAGE_BYTES);
    const bool ok = v.tsamps >= 1 && v.count < v.tsamps && vx::is_flag(v.have_prev) &&
                    (!v.have_prev || vx_finite(magnitude(v.prev))) &&
                    params_ok(v.bn, v.zeta, v.init_norm_freq, v.bn_fll) && v.k_fll == 4.0 * v.bn_fll &&
                    loop_filter_valid(&v.lf, 1.0) && vx_finite(v.osc.norm_freq) &&
                    v.osc.phase_inc == vx_phase_inc(v.osc.norm_freq) && lockdet_ok(v.ld);
    if (!ok)
        return VX_ERR_INVALID;
    *c = v;
    return VX_OK;
}

}  // extern "C"
