#include "carrier_mpsk.h"

#include <cmath>
#include <cstddef>

#include "carrier_loop.hpp"
#include "vx_blob.hpp"

// The blob body is the whole object image.
static_assert(offsetof(carrier_mpsk, lf) == 16 && offsetof(carrier_mpsk, m) == 112);
static_assert(offsetof(carrier_mpsk, prompt) == 116 && offsetof(carrier_mpsk, count) == 128);
static_assert(offsetof(carrier_mpsk, prev_mag) == 144 && offsetof(carrier_mpsk, lock_metric) == 160);
static_assert(sizeof(carrier_mpsk) == CARRIER_MPSK_STATE_BYTES - VX_STATE_HEADER_BYTES);

namespace {

using namespace vx::carrier;

constexpr double kLockEma = 0.1;

bool m_ok(int m) { return m == 2 || m == 4 || m == 8; }

bool params_ok(int m, double bn, double zeta, double f, double bn_fll)
{
    return m_ok(m) && loop_ok(bn, zeta) && vx_finite(f) && fll_ok(bn_fll);
}

void dump(carrier_mpsk *c, vx_cf32 p)
{
    const float mag = magnitude(p);
    // A prompt beyond single precision carries no phase (and no decision): the loop holds
    // and the FLL restarts, so one bad burst cannot poison it for good.
    if (!vx_finite(mag)) {
        c->last_error = NAN;
        c->have_prev = 0;
        return;
    }
    const double t = c->m == 4 ? M_PI / 4.0 : 0.0;
    const double u = c->m * (std::atan2(static_cast<double>(p.im), static_cast<double>(p.re)) - t) / kTwoPi;
    const int64_t k = static_cast<int64_t>(std::round(u)) & (c->m - 1);  // |u| <= m
    const double ph = kTwoPi * static_cast<double>(k) / c->m + t;
    const vx_cf32 a = {static_cast<float>(std::cos(ph)), static_cast<float>(std::sin(ph))};
    const vx_cf32 d = {p.re * a.re + p.im * a.im, p.im * a.re - p.re * a.im};
    const double e = d.im / static_cast<double>(mag);
    c->last_error = e;
    if (c->k_fll > 0.0 && c->have_prev) {
        const vx_cf32 q = c->prev;
        const double cross = static_cast<double>(q.re) * d.im - static_cast<double>(q.im) * d.re;
        fll_push(c->lf, c->k_fll * cross / (c->prev_mag * mag));
    }
    c->prev = d;
    c->prev_mag = mag;
    c->have_prev = 1;
    steer(c->osc, c->lf, c->tsamps, e);
    c->lock_metric += kLockEma * (d.re / static_cast<double>(mag) - c->lock_metric);
}

}  // namespace

extern "C" {

VX_API int carrier_mpsk_init(carrier_mpsk *c, uint64_t tsamps, int m, double bn, double zeta,
                             double init_norm_freq, double bn_fll)
{
    if (!c || !params_ok(m, bn, zeta, init_norm_freq, bn_fll) || !seed_ok(init_norm_freq, tsamps))
        return VX_ERR_INVALID;
    *c = carrier_mpsk{};
    c->tsamps = tsamps ? tsamps : 1;
    c->m = m;
    c->init_norm_freq = init_norm_freq;
    c->bn = bn;
    c->zeta = zeta;
    c->bn_fll = bn_fll;
    c->k_fll = 4.0 * bn_fll;
    loop_filter_init(&c->lf, bn, zeta, 1.0);
    carrier_mpsk_reset(c);
    return VX_OK;
}

VX_API carrier_mpsk *carrier_mpsk_create(uint64_t tsamps, int m, double bn, double zeta,
                                         double init_norm_freq, double bn_fll)
{
    if (!params_ok(m, bn, zeta, init_norm_freq, bn_fll) || !seed_ok(init_norm_freq, tsamps))
        return nullptr;
    carrier_mpsk *c = vx::alloc_object<carrier_mpsk>();
    if (c)
        carrier_mpsk_init(c, tsamps, m, bn, zeta, init_norm_freq, bn_fll);
    return c;
}

VX_API void carrier_mpsk_destroy(carrier_mpsk *c) { vx_free(c); }

VX_API void carrier_mpsk_reset(carrier_mpsk *c)
{
    seed(c->osc, c->lf, c->tsamps, c->init_norm_freq);
    c->prompt = c->prev = vx_cf32{0.0f, 0.0f};
    c->count = 0;
    c->prev_mag = 0.0;
    c->have_prev = 0;
    c->lock_metric = 0.0;
    c->last_error = 0.0;
}

VX_API uint64_t carrier_mpsk_steps(carrier_mpsk *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                                   uint64_t out_cap)
{
    if (!c || !x)
        return 0;
    if (!out)
        out_cap = 0;
    return integrate_and_dump(c, x, n, out, out_cap, [c](vx_cf32 p) { dump(c, p); });
}

VX_API uint64_t carrier_mpsk_steps_max_out(const carrier_mpsk *) { return 0; }

VX_API int carrier_mpsk_configure(carrier_mpsk *c, double bn, double zeta)
{
    if (!c || loop_filter_configure(&c->lf, bn, zeta, 1.0) != VX_OK)
        return VX_ERR_INVALID;
    c->bn = bn;
    c->zeta = zeta;
    return VX_OK;
}

VX_API double carrier_mpsk_get_bn(const carrier_mpsk *c) { return c->bn; }
VX_API int carrier_mpsk_set_bn(carrier_mpsk *c, double bn)
{
    return c ? carrier_mpsk_configure(c, bn, c->zeta) : VX_ERR_INVALID;
}
VX_API double carrier_mpsk_get_norm_freq(const carrier_mpsk *c) { return c->osc.norm_freq; }

VX_API int carrier_mpsk_set_norm_freq(carrier_mpsk *c, double f)
{
    if (!c || !seed_ok(f, c->tsamps))
        return VX_ERR_INVALID;
    c->init_norm_freq = f;
    carrier_mpsk_reset(c);
    return VX_OK;
}

VX_API double carrier_mpsk_get_lock_metric(const carrier_mpsk *c) { return c->lock_metric; }
VX_API double carrier_mpsk_get_last_error(const carrier_mpsk *c) { return c->last_error; }
VX_API double carrier_mpsk_get_bn_fll(const carrier_mpsk *c) { return c->bn_fll; }

VX_API int carrier_mpsk_set_bn_fll(carrier_mpsk *c, double bn_fll)
{
    if (!c || !fll_ok(bn_fll))
        return VX_ERR_INVALID;
    c->bn_fll = bn_fll;
    c->k_fll = 4.0 * bn_fll;
    return VX_OK;
}

VX_API int carrier_mpsk_get_m(const carrier_mpsk *c) { return c->m; }

VX_API uint64_t carrier_mpsk_state_bytes(const carrier_mpsk *) { return CARRIER_MPSK_STATE_BYTES; }

VX_API void carrier_mpsk_get_state(const carrier_mpsk *c, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_CARRIER_MPSK, VX_VERSION_CARRIER_MPSK, CARRIER_MPSK_STATE_BYTES)
        .put_bytes(c, sizeof *c);
}

VX_API int carrier_mpsk_set_state(carrier_mpsk *c, const void *blob)
{
    if (!c || vx_state_check_header(blob, VX_MAGIC_CARRIER_MPSK, VX_VERSION_CARRIER_MPSK,
                                    CARRIER_MPSK_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    carrier_mpsk v;
    vx::BlobReader(blob).get_bytes(&v, sizeof v);
    const bool ok = v.tsamps >= 1 && v.count < v.tsamps && vx::is_flag(v.have_prev) &&
                    (!v.have_prev || (v.prev_mag >= kMagGuard && vx_finite(v.prev_mag) &&
                                      vx_finite(magnitude(v.prev)))) &&
                    params_ok(v.m, v.bn, v.zeta, v.init_norm_freq, v.bn_fll) && v.k_fll == 4.0 * v.bn_fll &&
                    loop_filter_valid(&v.lf, 1.0) && vx_finite(v.osc.norm_freq) &&
                    v.osc.phase_inc == vx_phase_inc(v.osc.norm_freq);
    if (!ok)
        return VX_ERR_INVALID;
    *c = v;
    return VX_OK;
}

}  // extern "C"
