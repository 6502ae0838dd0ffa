#include "symsync.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "detstat.h"
#include "vx_blob.hpp"
#include "vx_tlm.h"

// The blob body is the object image; these pin the image to the blob's offsets (minus 16).
static_assert(offsetof(symsync, hist) == 24 && offsetof(symsync, order) == 56);
static_assert(offsetof(symsync, lf) == 64 && offsetof(symsync, sps) == 112);
static_assert(offsetof(symsync, prev) == 132 && offsetof(symsync, bn) == 152);
static_assert(offsetof(symsync, avgs) == 208 && offsetof(symsync, ld) == 224);
static_assert(offsetof(symsync, tlm) == SYMSYNC_IMAGE_BYTES);
static_assert(sizeof(symsync) - SYMSYNC_IMAGE_BYTES <= 32);

namespace {

constexpr double kTwo32 = 4294967296.0;
// The strobe rate may move within the window the reported rate is limited to,
// 0.5..1.5 times sps: beyond it a loud or corrupted input would stall or wrap the NCO.
constexpr double kRatioMin = 1.0 / 1.5;
constexpr double kRatioMax = 2.0;

inline double clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

uint32_t nominal_inc(uint64_t sps)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(kTwo32 / static_cast<double>(sps)));
}

// The loop filter's own check: in range, finite, and gains that come out finite.
bool loop_ok(double bn, double zeta)
{
    loop_filter probe{};
    return loop_filter_configure(&probe, bn, zeta, 1.0) == VX_OK;
}

// Farrow interpolant between h[1] and h[2] at fraction mu, per component in single precision.
inline float interp(int order, float x0, float x1, float x2, float x3, float mu)
{
    if (order == SYMSYNC_LINEAR)
        return x1 + mu * (x2 - x1);
    if (order == SYMSYNC_PARABOLIC) {
        const float a = (x0 + x3 - (x1 + x2)) / 2.0f;
        return x1 + mu * ((x2 - x1) + a * (mu - 1.0f));
    }
    const float c3 = (x3 - 3.0f * x2 + 3.0f * x1 - x0) / 6.0f;
    const float c2 = (x0 + x2 - 2.0f * x1) / 2.0f;
    const float c1 = (6.0f * x2 - 2.0f * x0 - 3.0f * x1 - x3) / 6.0f;
    return ((c3 * mu + c2) * mu + c1) * mu + x1;
}

inline vx_cf32 interp(int order, const vx_cf32 *h, float mu)
{
    return {interp(order, h[0].re, h[1].re, h[2].re, h[3].re, mu),
            interp(order, h[0].im, h[1].im, h[2].im, h[3].im, mu)};
}

inline double sgn(float v) { return v >= 0.0f ? 1.0 : -1.0; }

// One recovered symbol y: detector, loop, rate and lock updates. The four (detector x
// telemetry) specialisations are separate loops, so the hot path carries neither branch.
template <int Ted> inline void update(symsync *s, vx_cf32 y)
{
    const double p = static_cast<double>(y.re * y.re + y.im * y.im);
    if (vx_finite(p))
        s->pwr = s->pwr + 0.01 * (p - s->pwr);
    const vx_cf32 pv = s->prev, md = s->mid;
    double e_raw;
    if constexpr (Ted == SYMSYNC_TED_GARDNER)
        e_raw = (static_cast<double>(y.re) - pv.re) * md.re + (static_cast<double>(y.im) - pv.im) * md.im;
    else
        e_raw = (sgn(y.re) - sgn(pv.re)) * md.re + (sgn(y.im) - sgn(pv.im)) * md.im;
    const double e = e_raw / (s->pwr + 1e-6);
    s->timing_error = e;
    // A symbol beyond single precision (NaN, or power overflowing) carries no timing
    // information: the loop stays where it was and recovers as soon as the samples do.
    // The integrator stays within the strobe window, so a loud burst cannot wind it up.
    const double integ = clamp(s->lf.integ + s->lf.ki * e, kRatioMin - 1.0, kRatioMax - 1.0);
    const double ratio = 1.0 + s->lf.kp * e + integ;
    const double m = static_cast<double>(md.re * md.re + md.im * md.im);
    const float q = pv.re * pv.re + pv.im * pv.im;
    if (vx_finite(p) && vx_finite(m) && vx_finite(q) && vx_finite(integ) && vx_finite(ratio)) {
        s->lf.integ = integ;
        const double r = clamp(ratio, kRatioMin, kRatioMax);
        s->inc = static_cast<uint32_t>(vx_double_to_i64(s->nominal_inc * r, 0, UINT32_MAX, 0));
        // sps / r lies in 0.5..1.5 times sps: the reported rate's limits hold by the clamp.
        s->rate = s->rate + 0.02 * (static_cast<double>(s->sps) / r - s->rate);
    }
    symsync_lock_look(p, m, &s->lock_sum, &s->lock_count, s->avgs, &s->lock_stat, &s->ld);
    s->prev = y;
}

template <int Ted, bool Tlm>
uint64_t run(symsync *s, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t max_out)
{
    uint64_t written = 0;
    vx_cf32 *h = s->hist;
    for (uint64_t i = 0; i < n; ++i) {
        h[0] = h[1];
        h[1] = h[2];
        h[2] = h[3];
        h[3] = x[i];
        const uint32_t old = s->phase;
        const uint32_t inc = s->inc;
        const uint32_t now = old + inc;
        s->phase = now;
        if (now >= old) {  // no wrap
            if (old < 0x80000000u && now >= 0x80000000u) {
                const double mu = 1.0 - static_cast<double>(now - 0x80000000u) / inc;
                s->mid = interp(s->order, h, static_cast<float>(mu));
            }
            continue;
        }
        const double mu = 1.0 - static_cast<double>(now) / inc;
        const vx_cf32 y = interp(s->order, h, static_cast<float>(mu));
        if (!s->have_prev) {
            s->prev = y;
            s->have_prev = 1;
            continue;
        }
        update<Ted>(s, y);
        if (written < max_out)
            out[written++] = y;
        if constexpr (Tlm) {
            const float v[5] = {static_cast<float>(s->timing_error),
                                static_cast<float>(static_cast<double>(s->inc) / s->nominal_inc - 1.0),
                                static_cast<float>(s->rate), static_cast<float>(s->lock_stat),
                                static_cast<float>(s->ld.locked)};
            vx_tlm_flush(s->tlm, s->tlm_ids, v, 5);
        }
    }
    return written;
}

// Gain-normalisation pulses: the matched rectangle's triangle, or the raised cosine.
double pulse(int kind, double t, double beta)
{
    if (kind == SYMSYNC_PULSE_TRIANGLE) {
        const double a = std::fabs(t);
        return a < 1.0 ? 1.0 - a : 0.0;
    }
    if (std::fabs(t) < 1e-9)
        return 1.0;
    const double pt = M_PI * t;
    if (beta > 0.0 && std::fabs(std::fabs(t) - 1.0 / (2.0 * beta)) < 1e-9)
        return beta / 2.0 * std::sin(M_PI / (2.0 * beta));
    return std::sin(pt) / pt * std::cos(M_PI * beta * t) / (1.0 - 4.0 * beta * beta * t * t);
}

}  // namespace

extern "C" {

VX_API symsync *symsync_create(uint64_t sps, int order, int ted, double bn, double zeta)
{
    if (order < SYMSYNC_LINEAR || order > SYMSYNC_CUBIC || ted < 0 || ted > 1 || !loop_ok(bn, zeta))
        return nullptr;
    symsync *s = vx::alloc_object<symsync>();
    if (!s)
        return nullptr;
    s->bn = bn;
    s->zeta = zeta;
    s->sps = sps ? sps : 1;
    s->nominal_inc = nominal_inc(s->sps);
    s->ted = ted;
    s->order = order;
    loop_filter_init(&s->lf, bn, zeta, 1.0);
    s->tlm_ids[0] = s->tlm_ids[1] = s->tlm_ids[2] = s->tlm_ids[3] = s->tlm_ids[4] = -1;
    symsync_configure_lock(s, 0.35, 10.0, 1e-3, 0.9);
    symsync_reset(s);
    return s;
}

VX_API void symsync_destroy(symsync *s)
{
    if (!s)
        return;
    vx_tlm_swap(&s->tlm, nullptr);  // the attachment's reference on the context
    vx_free(s);
}

VX_API void symsync_reset(symsync *s)
{
    s->lf.integ = 0.0;
    s->phase = 0;
    s->inc = s->nominal_inc;
    s->prev = s->mid = vx_cf32{0.0f, 0.0f};
    s->have_prev = 0;
    s->timing_error = 0.0;
    s->lock_sum = 0.0;
    s->lock_count = 0;
    s->pwr = 1.0;
    s->lock_stat = 0.0;
    s->rate = static_cast<double>(s->sps);
    lockdet_reset(&s->ld);
    std::memset(s->hist, 0, sizeof s->hist);
}

VX_API int symsync_configure(symsync *s, double bn, double zeta)
{
    if (!s || loop_filter_configure(&s->lf, bn, zeta, 1.0) != VX_OK)
        return VX_ERR_INVALID;
    s->bn = bn;
    s->zeta = zeta;
    return VX_OK;
}

VX_API int symsync_set_bn(symsync *s, double bn) { return s ? symsync_configure(s, bn, s->zeta) : VX_ERR_INVALID; }
VX_API double symsync_get_bn(const symsync *s) { return s->bn; }
VX_API double symsync_get_timing_error(const symsync *s) { return s->timing_error; }
VX_API double symsync_get_rate(const symsync *s) { return s->rate; }
VX_API double symsync_get_lock_stat(const symsync *s) { return s->lock_stat; }
VX_API int symsync_get_locked(const symsync *s) { return static_cast<int>(s->ld.locked); }

VX_API void symsync_configure_lock_raw(symsync *s, uint64_t avgs, int n_up, int n_down, double up,
                                       double down)
{
    s->lock_sum = 0.0;
    s->lock_count = 0;
    s->avgs = avgs ? avgs : 1;
    lockdet_configure(&s->ld, up, down, static_cast<uint32_t>(n_up < 1 ? 1 : n_up),
                      static_cast<uint32_t>(n_down < 1 ? 1 : n_down));
}

VX_API int symsync_configure_lock(symsync *s, double rolloff, double esno_min_db, double pfa,
                                  double pd)
{
    if (!s || !(pfa > 0.0 && pfa < 1.0 && pd > 0.0 && pd < 1.0 && pd > pfa))
        return VX_ERR_INVALID;
    const double mean = (0.26 + 0.6 * rolloff) * (1.0 - std::exp(-0.275 * std::pow(10.0, esno_min_db / 10.0)));
    const int avgs = det_dwell_gauss(mean, SYMSYNC_LOCK_STAT_VARIANCE, pd, pfa);
    if (avgs <= 0)
        return VX_ERR_INVALID;
    const double thresh = det_threshold_gauss(mean, pd, pfa);
    symsync_configure_lock_raw(s, static_cast<uint64_t>(avgs), 1, 8, thresh, thresh);
    return VX_OK;
}

VX_API uint64_t symsync_steps(symsync *s, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                              uint64_t max_out)
{
    if (!s || !x)
        return 0;
    if (!out)
        max_out = 0;
    const bool tlm = s->tlm != nullptr;
    if (s->ted == SYMSYNC_TED_DTTL)
        return tlm ? run<SYMSYNC_TED_DTTL, true>(s, x, n, out, max_out)
                   : run<SYMSYNC_TED_DTTL, false>(s, x, n, out, max_out);
    return tlm ? run<SYMSYNC_TED_GARDNER, true>(s, x, n, out, max_out)
               : run<SYMSYNC_TED_GARDNER, false>(s, x, n, out, max_out);
}

VX_API uint64_t symsync_steps_max_out(const symsync *) { return 0; }

VX_API uint64_t symsync_state_bytes(const symsync *) { return SYMSYNC_STATE_BYTES; }

VX_API void symsync_get_state(const symsync *s, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_SYMSYNC, VX_VERSION_SYMSYNC, SYMSYNC_STATE_BYTES)
        .put_bytes(s, SYMSYNC_IMAGE_BYTES)
        .zeros(SYMSYNC_STATE_BYTES - VX_STATE_HEADER_BYTES - SYMSYNC_IMAGE_BYTES);
}

VX_API int symsync_set_state(symsync *s, const void *blob)
{
    if (!s || vx_state_check_header(blob, VX_MAGIC_SYMSYNC, VX_VERSION_SYMSYNC,
                                    SYMSYNC_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    symsync v = *s;  // keeps the telemetry attachment
    vx::BlobReader(blob).get_bytes(&v, SYMSYNC_IMAGE_BYTES);
    const uint32_t run_limit = v.ld.locked ? v.ld.n_down : v.ld.n_up;
    const bool ok = v.order >= SYMSYNC_LINEAR && v.order <= SYMSYNC_CUBIC &&
                    vx::is_flag(static_cast<uint32_t>(v.ted)) &&
                    vx::is_flag(static_cast<uint32_t>(v.have_prev)) && v.sps >= 1 &&
                    v.nominal_inc == nominal_inc(v.sps) && v.avgs >= 1 && v.lock_count < v.avgs &&
                    v.ld.n_up >= 1 && v.ld.n_down >= 1 && vx::is_flag(v.ld.locked) &&
                    v.ld.count < run_limit && vx_finite(v.lf.kp) && vx_finite(v.lf.ki) &&
                    vx_finite(v.lf.integ) && loop_ok(v.bn, v.zeta);
    if (!ok)
        return VX_ERR_INVALID;
    *s = v;
    return VX_OK;
}

VX_API int symsync_set_telemetry(symsync *s, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    static const char *const probes[] = {"e", "freq", "rate", "lock", "locked"};
    return s ? vx_tlm_attach(&s->tlm, s->tlm_ids, tlm, prefix, "sync", probes, 5, decim)
             : VX_ERR_INVALID;
}

VX_API double symsync_s_curve(int ted, int pulse_kind, long span, double beta, double tau)
{
    if (ted == SYMSYNC_TED_DTTL)
        return pulse(pulse_kind, tau - 0.5, beta) - pulse(pulse_kind, tau + 0.5, beta);
    if (span < -2)
        return 0.0;
    // 2·(span + 2) + 1 terms; the span is capped so no argument makes the sum long.
    const long k = (span > 4096 ? 4096 : span) + 2;
    double sum = 0.0;
    for (long i = -k; i <= k; ++i) {
        const double t = tau - static_cast<double>(i);
        sum += (pulse(pulse_kind, t, beta) - pulse(pulse_kind, t - 1.0, beta)) *
               pulse(pulse_kind, t - 0.5, beta);
    }
    return sum;
}

VX_API double symsync_ted_slope(int ted, int pulse_kind, long span, double beta)
{
    return std::fabs(symsync_s_curve(ted, pulse_kind, span, beta, 1e-4) -
                     symsync_s_curve(ted, pulse_kind, span, beta, -1e-4)) * 5000.0;
}

}  // extern "C"
