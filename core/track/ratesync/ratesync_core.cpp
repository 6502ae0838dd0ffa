#include "ratesync.h"

#include <algorithm>
#include <cstring>

#include "ratesync_loop.hpp"
#include "resamp.h"
#include "vx_blob.hpp"
#include "vx_tlm.h"

using namespace vx_timing;

namespace {

bool power_of_two(uint64_t v) { return v >= 2 && (v & (v - 1)) == 0; }

template <int Ted, bool Tlm>
uint64_t run(ratesync *r, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t max_out)
{
    ratesync_loop *l = &r->loop;
    uint64_t written = 0;
    vx_cf32 buf[4];
    // The stages before the terminal resampler do not depend on the loop: they run in
    // blocks, and only the terminal stage takes each sample with the current control.
    for (uint64_t at = 0; at < n; at += RC_FRONT_MAX) {
        uint64_t m;
        const vx_cf32 *v = RateConverter_front(r->conv, x + at, std::min<uint64_t>(RC_FRONT_MAX, n - at), &m);
        for (uint64_t i = 0; i < m; ++i) {
            const uint64_t k = RateConverter_terminal_push(r->conv, buf, 4, v[i], l->ctrl);
            for (uint64_t j = 0; j < k; ++j) {
                if (!output<Ted>(l, buf[j], j == 0))
                    continue;
                // Each symbol is kept (the window allows at most one per input at sps >= m);
                // surplus beyond max_out still ran the loop.
                if (written < max_out)
                    out[written++] = buf[j];
                if constexpr (Tlm)
                    ratesync_loop_tlm_flush(l);
            }
        }
    }
    return written;
}

}  // namespace

int vx_timing::parse_state(const ratesync_loop *l, const void *blob, ratesync_loop *out)
{
    if (vx_state_check_header(blob, VX_MAGIC_RATESYNC_LOOP, VX_VERSION_RATESYNC_LOOP,
                              RATESYNC_LOOP_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    ratesync_loop v = *l;
    uint64_t have_prev;
    vx::BlobReader rd(blob);
    rd.get(v.ctrl).get(v.timing_error).get(v.rate).get(v.lock_sum).get(v.lock_stat).get(have_prev)
        .get(v.prime).get(v.strobe_count).get(v.ring_fill).get(v.lock_count)
        .get_bytes(v.ring, sizeof v.ring).get(v.prev).get(v.ld.count).get(v.ld.locked);
    if (loop_filter_set_state(&v.lf, rd.cursor()) != VX_OK)
        return VX_ERR_INVALID;
    const double cr = v.cascade_rate;
    const bool ok = have_prev <= 1 && v.ring_fill <= v.m / 2 + 1 && v.prime <= v.num_taps + 1 &&
                    vx::is_flag(v.ld.locked) && loop_ok(v.lf.bn, v.lf.zeta) && vx_finite(v.lf.kp) &&
                    vx_finite(v.lf.ki) && v.lf.integ >= kDevMin && v.lf.integ <= kDevMax &&
                    v.ctrl >= kDevMin * cr && v.ctrl <= kDevMax * cr;
    if (!ok)
        return VX_ERR_INVALID;
    v.have_prev = static_cast<int32_t>(have_prev);
    v.bn = v.lf.bn;
    v.zeta = v.lf.zeta;
    v.strobe_phase = v.strobe_count % v.m;
    *out = v;
    return VX_OK;
}

extern "C" {

// ---- the timing loop ----------------------------------------------------------------------

VX_API void ratesync_loop_init(ratesync_loop *l, uint64_t m, int ted, double sps, double bn,
                               double zeta)
{
    std::memset(l, 0, sizeof *l);
    l->m = m;
    l->ted = ted;
    l->sps = sps;
    l->bn = bn;
    l->zeta = zeta;
    l->ted_gain = 1.0;
    loop_filter_init(&l->lf, bn, zeta, 1.0);
    l->avgs = 133;
    lockdet_init(&l->ld, 0.311, 0.311, 1, 8);
    for (int32_t &id : l->tlm_ids)
        id = -1;
    ratesync_loop_reset(l);
}

VX_API void ratesync_loop_set_cascade(ratesync_loop *l, uint64_t num_taps, double rate)
{
    l->num_taps = num_taps;
    l->cascade_rate = rate;
    l->prime = num_taps + 1;
    l->stage = nullptr;
}

VX_API void ratesync_loop_bind_cascade(ratesync_loop *l, const RateConverter *conv, int pulse,
                                       uint64_t span, double beta)
{
    resamp *t = conv ? RateConverter_terminal(conv) : nullptr;
    ratesync_loop_set_cascade(l, t ? resamp_get_num_taps(t) : 0, t ? resamp_get_rate(t) : 0.0);
    l->stage = t;
    if (pulse == RC_PULSE_IANDD || pulse == RC_PULSE_RRC) {
        const long s = span > 4096 ? 4096 : static_cast<long>(span);
        const double slope = symsync_ted_slope(l->ted, pulse, s, beta);
        if (slope > 0.0)
            l->ted_gain = 1.0 / slope;
    }
}

VX_API void ratesync_loop_reset(ratesync_loop *l)
{
    l->lf.integ = 0.0;
    l->have_prev = 0;
    l->ctrl = 0.0;
    l->timing_error = 0.0;
    l->rate = l->sps;
    l->strobe_count = 0;
    l->strobe_phase = 0;
    std::memset(l->ring, 0, sizeof l->ring);
    l->ring_fill = 0;
    l->prev = vx_cf32{0.0f, 0.0f};
    l->lock_sum = 0.0;
    l->lock_count = 0;
    l->lock_stat = 0.0;
    lockdet_reset(&l->ld);
    l->prime = l->num_taps + 1;
}

VX_API int ratesync_loop_configure(ratesync_loop *l, double bn, double zeta)
{
    if (!l || loop_filter_configure(&l->lf, bn, zeta, 1.0) != VX_OK)
        return VX_ERR_INVALID;
    l->bn = bn;
    l->zeta = zeta;
    return VX_OK;
}

VX_API void ratesync_loop_configure_lock_raw(ratesync_loop *l, uint64_t avgs, int n_up, int n_down,
                                             double up, double down)
{
    l->avgs = avgs ? avgs : 1;
    lockdet_init(&l->ld, up, down, static_cast<uint32_t>(n_up < 1 ? 1 : n_up),
                 static_cast<uint32_t>(n_down < 1 ? 1 : n_down));
    l->lock_sum = 0.0;
    l->lock_count = 0;
    l->lock_stat = 0.0;
}

VX_API uint64_t ratesync_loop_state_bytes(const ratesync_loop *) { return RATESYNC_LOOP_STATE_BYTES; }

VX_API void ratesync_loop_get_state(const ratesync_loop *l, void *out)
{
    vx::BlobWriter w(out, VX_MAGIC_RATESYNC_LOOP, VX_VERSION_RATESYNC_LOOP, RATESYNC_LOOP_STATE_BYTES);
    w.put(l->ctrl).put(l->timing_error).put(l->rate).put(l->lock_sum).put(l->lock_stat)
        .put(static_cast<uint64_t>(l->have_prev)).put(l->prime).put(l->strobe_count).put(l->ring_fill)
        .put(l->lock_count).put_bytes(l->ring, sizeof l->ring).put(l->prev).put(l->ld.count)
        .put(l->ld.locked);
    loop_filter_get_state(&l->lf, w.cursor());
}

VX_API int ratesync_loop_set_state(ratesync_loop *l, const void *blob)
{
    return l ? parse_state(l, blob, l) : VX_ERR_INVALID;
}

VX_API int ratesync_loop_set_telemetry(ratesync_loop *l, vx_tlm *tlm, const char *prefix,
                                       unsigned long decim)
{
    static const char *const probes[] = {"e", "ctrl", "rate", "lock", "locked", "mu"};
    return l ? vx_tlm_attach(&l->tlm, l->tlm_ids, tlm, prefix, "sync", probes, 6, decim)
             : VX_ERR_INVALID;
}

VX_API void ratesync_loop_tlm_flush(ratesync_loop *l)
{
    if (!l->tlm)
        return;
    const float v[6] = {static_cast<float>(l->timing_error), static_cast<float>(l->ctrl),
                        static_cast<float>(l->rate), static_cast<float>(l->lock_stat),
                        static_cast<float>(l->ld.locked),
                        static_cast<float>(l->stage ? resamp_get_ctrl_acc(l->stage) : 0.0)};
    vx_tlm_flush(l->tlm, l->tlm_ids, v, 6);
}

// ---- the synchroniser -----------------------------------------------------------------------

VX_API ratesync *ratesync_create(uint32_t pulse, uint64_t span, uint64_t m, uint64_t num_phases,
                                 uint32_t ted, double sps, double beta, double bn, double zeta)
{
    const bool ok = pulse <= RC_PULSE_RRC && ted <= 1 && span >= 1 && m >= 2 &&
                    m <= RATESYNC_MAX_M && m % 2 == 0 && power_of_two(num_phases) &&
                    vx_finite(sps) && sps >= static_cast<double>(m) && beta >= 0.0 && beta <= 1.0 &&
                    loop_ok(bn, zeta);
    if (!ok)
        return nullptr;
    ratesync *r = vx::alloc_object<ratesync>();
    if (!r)
        return nullptr;
    r->conv = RateConverter_create_matched(1, static_cast<int>(pulse), span, num_phases,
                                           static_cast<double>(m) / sps, beta, static_cast<double>(m));
    if (!r->conv) {
        vx_free(r);
        return nullptr;
    }
    r->pulse = pulse;
    r->span = span;
    r->num_phases = num_phases;
    r->beta = beta;
    ratesync_loop_init(&r->loop, m, static_cast<int>(ted), sps, bn, zeta);
    ratesync_loop_bind_cascade(&r->loop, r->conv, static_cast<int>(pulse), span, beta);
    return r;
}

VX_API void ratesync_destroy(ratesync *r)
{
    if (!r)
        return;
    RateConverter_destroy(r->conv);
    vx_tlm_swap(&r->loop.tlm, nullptr);  // the attachment's reference on the context
    vx_free(r);
}

VX_API void ratesync_reset(ratesync *r)
{
    RateConverter_reset(r->conv);
    ratesync_loop_reset(&r->loop);
}

VX_API int ratesync_configure(ratesync *r, double bn, double zeta)
{
    return r ? ratesync_loop_configure(&r->loop, bn, zeta) : VX_ERR_INVALID;
}
VX_API int ratesync_set_bn(ratesync *r, double bn) { return r ? ratesync_configure(r, bn, r->loop.zeta) : VX_ERR_INVALID; }
VX_API double ratesync_get_bn(const ratesync *r) { return r->loop.bn; }
VX_API void ratesync_configure_lock_raw(ratesync *r, uint64_t avgs, int n_up, int n_down, double up,
                                        double down)
{
    ratesync_loop_configure_lock_raw(&r->loop, avgs, n_up, n_down, up, down);
}
VX_API double ratesync_get_timing_error(const ratesync *r) { return r->loop.timing_error; }
VX_API double ratesync_get_rate(const ratesync *r) { return r->loop.rate; }
VX_API double ratesync_get_ctrl(const ratesync *r) { return r->loop.ctrl; }
VX_API double ratesync_get_lock_stat(const ratesync *r) { return r->loop.lock_stat; }
VX_API int ratesync_get_locked(const ratesync *r) { return static_cast<int>(r->loop.ld.locked); }
VX_API int ratesync_get_clipped(const ratesync *r) { return RateConverter_get_clipped(r->conv); }

VX_API uint64_t ratesync_steps(ratesync *r, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                               uint64_t max_out)
{
    if (!r || !x)
        return 0;
    if (!out)
        max_out = 0;
    const bool tlm = r->loop.tlm != nullptr;
    if (r->loop.ted == SYMSYNC_TED_DTTL)
        return tlm ? run<SYMSYNC_TED_DTTL, true>(r, x, n, out, max_out)
                   : run<SYMSYNC_TED_DTTL, false>(r, x, n, out, max_out);
    return tlm ? run<SYMSYNC_TED_GARDNER, true>(r, x, n, out, max_out)
               : run<SYMSYNC_TED_GARDNER, false>(r, x, n, out, max_out);
}

VX_API uint64_t ratesync_steps_max_out(const ratesync *) { return 0; }

VX_API uint64_t ratesync_state_bytes(const ratesync *r)
{
    return VX_STATE_HEADER_BYTES + RateConverter_state_bytes(r->conv) + RATESYNC_LOOP_STATE_BYTES;
}

VX_API void ratesync_get_state(const ratesync *r, void *out)
{
    const uint64_t cb = RateConverter_state_bytes(r->conv);
    vx_state_write_header(out, VX_MAGIC_RATESYNC, VX_VERSION_RATESYNC, ratesync_state_bytes(r));
    uint8_t *p = static_cast<uint8_t *>(out) + VX_STATE_HEADER_BYTES;
    RateConverter_get_state(r->conv, p);
    ratesync_loop_get_state(&r->loop, p + cb);
}

VX_API int ratesync_set_state(ratesync *r, const void *blob)
{
    if (!r || vx_state_check_header(blob, VX_MAGIC_RATESYNC, VX_VERSION_RATESYNC,
                                    ratesync_state_bytes(r)) != VX_OK)
        return VX_ERR_INVALID;
    const uint8_t *p = static_cast<const uint8_t *>(blob) + VX_STATE_HEADER_BYTES;
    ratesync_loop loop;
    if (parse_state(&r->loop, p + RateConverter_state_bytes(r->conv), &loop) != VX_OK)
        return VX_ERR_INVALID;
    // The converter checks its whole blob before writing, so a refusal changes nothing.
    if (const int rc = RateConverter_set_state(r->conv, p))
        return rc;
    r->loop = loop;
    return VX_OK;
}

VX_API int ratesync_set_telemetry(ratesync *r, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    return r ? ratesync_loop_set_telemetry(&r->loop, tlm, prefix, decim) : VX_ERR_INVALID;
}

}  // extern "C"
