// Both down-converters share one implementation over the input type: complex input is
// mixed directly; real input first passes the 2:1 real-to-complex halfband.
#include "ddc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "hbdecim.h"
#include "lo.h"
#include "mix_kernel.hpp"
#include "vx_blob.hpp"

namespace {

constexpr uint64_t kChunk = 4096; // samples mixed per pass; the buffer is sized at create

template <class In> struct Down {
    lo osc;
    RateConverter *rc;
    hbdecim_r2c *hb; // real input only
    double rate;     // overall output/input rate
    vx_cf32 *buf;    // kChunk mixed samples
    vx::mix_kernel::mix_fn mixer; // the mixer for this machine
    const float *table;           // the sine table
    // The per-sample push: the frequency deviation last converted and its phase step.
    // Loops change it once per symbol, so most pushes reuse it (NaN never matches).
    double freq_ctrl_of;
    uint32_t freq_ctrl_inc;
};

// y = x · e^{jθ} in single precision, θ advancing by the LO increment plus `extra`.
template <class In> void mix(Down<In> *d, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint32_t extra)
{
    d->osc.phase = d->mixer(d->table, d->osc.phase, d->osc.phase_inc + extra, x, n, y);
}

// Up to kChunk inputs to mixed samples in d->buf; returns how many.
uint64_t front(Down<vx_cf32> *d, const vx_cf32 *x, uint64_t m, uint32_t extra)
{
    mix(d, x, m, d->buf, extra);
    return m;
}
uint64_t front(Down<float> *d, const float *x, uint64_t m, uint32_t extra)
{
    const uint64_t k = hbdecim_r2c_execute(d->hb, x, m, d->buf, kChunk);
    mix(d, d->buf, k, d->buf, extra);
    return k;
}

// Inputs that reach the converter for n inputs (the halfband halves real input).
template <class In> uint64_t mid_bound(const Down<In> *d, uint64_t n)
{
    if constexpr (std::is_same_v<In, float>)
        return hbdecim_r2c_execute_max_out(d->hb, n);
    else
        return n;
}

template <class In> uint64_t execute_bound(const Down<In> *d, uint64_t n)
{
    return RateConverter_execute_bound(d->rc, mid_bound(d, n));
}

template <class In> uint64_t ctrl_bound(const Down<In> *d, uint64_t n, double rate_ctrl)
{
    return RateConverter_execute_ctrl_bound(d->rc, mid_bound(d, n), rate_ctrl);
}

// Object-only bound for a call of any length: 0 when a call never yields more outputs
// than inputs, else the most a short call can yield. Above n0 the bound's line lies under
// the input length, so only shorter calls are looked at (the bound grows with n).
template <class In> uint64_t short_call_bound(const Down<In> *d, bool ctrl)
{
    constexpr uint64_t kScan = 4096;
    double a, b;
    RateConverter_bound_line(d->rc, ctrl, 0.0, &a, &b);
    if constexpr (std::is_same_v<In, float>) // the halfband's (n + 1) / 2 ahead of it
        b += 0.5 * a, a *= 0.5;
    auto bound = [&](uint64_t n) { return ctrl ? ctrl_bound(d, n, 0.0) : execute_bound(d, n); };
    const double n0 = std::ceil(b / (1.0 - a));
    if (!(a < 1.0 && n0 <= 9.0e15))
        return UINT64_MAX; // no length beyond which the input length suffices
    if (n0 < 1.0)
        return 0;
    const uint64_t last = static_cast<uint64_t>(n0) - 1;
    if (last > kScan)
        return bound(last);
    uint64_t most = 0;
    for (uint64_t n = 1; n <= last; ++n)
        if (const uint64_t k = bound(n); k > n)
            most = std::max(most, k);
    return most;
}

template <class In>
uint64_t execute(Down<In> *d, const In *x, uint64_t n, vx_cf32 *y, uint64_t max_out,
                 uint32_t extra = 0)
{
    if (!d || !x || (!y && max_out) || n == 0 || max_out < execute_bound(d, n))
        return 0; // refuse rather than drop input
    uint64_t written = 0;
    for (uint64_t at = 0; at < n; at += kChunk) {
        const uint64_t k = front(d, x + at, std::min(kChunk, n - at), extra);
        written += RateConverter_execute_part(d->rc, d->buf, k, y + written, max_out - written);
    }
    return written;
}

template <class In>
uint64_t execute_ctrl(Down<In> *d, const In *x, uint64_t n, vx_cf32 *y, uint64_t max_out,
                      double rate_ctrl, double freq_ctrl)
{
    // A non-finite deviation would stall the terminal stage for millions of samples.
    if (!d || !x || (!y && max_out) || n == 0 || !vx_finite(rate_ctrl) || !vx_finite(freq_ctrl))
        return 0;
    const uint32_t extra = vx_phase_inc(freq_ctrl);
    if (!RateConverter_terminal(d->rc)) // nothing to steer: execute, refusing a short max_out
        return execute(d, x, n, y, max_out, extra);
    uint64_t written = 0;
    for (uint64_t at = 0; at < n; at += kChunk) {
        const uint64_t k = front(d, x + at, std::min(kChunk, n - at), extra);
        written += RateConverter_execute_ctrl(d->rc, d->buf, k, y + written, max_out - written,
                                              rate_ctrl);
    }
    return written;
}

template <class In>
[[gnu::always_inline]] inline uint64_t push(Down<In> *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed, int *mixed_valid,
              vx_cf32 *tap, int *tap_valid, In x, double rate_ctrl, double freq_ctrl)
{
    if (mixed_valid)
        *mixed_valid = 0;
    if (tap_valid)
        *tap_valid = 0;
    if (!d)
        return 0;
    vx_cf32 v;
    if constexpr (std::is_same_v<In, float>) {
        if (hbdecim_r2c_execute(d->hb, &x, 1, &v, 1) == 0)
            return 0; // every second input completes an intermediate sample
    } else {
        v = x;
    }
    if (freq_ctrl != d->freq_ctrl_of) {
        d->freq_ctrl_of = freq_ctrl;
        d->freq_ctrl_inc = vx_phase_inc_of(freq_ctrl);
    }
    // One sample through the reference arithmetic every mixer variant reproduces: a call
    // through the variant's pointer costs more than the sample.
    d->osc.phase = vx::mix_kernel::reference(d->table, d->osc.phase, d->osc.phase_inc + d->freq_ctrl_inc,
                                             &v, 1, &v);
    if (mixed)
        *mixed = v;
    if (mixed_valid)
        *mixed_valid = 1;
    if (!tap && !tap_valid)
        return RateConverter_execute_ctrl_push(d->rc, y, max_out, v, rate_ctrl);
    return RateConverter_execute_ctrl_push_tap(d->rc, y, max_out, tap, tap_valid, v, rate_ctrl);
}

template <class D> D *make(RateConverter *rc, double norm_freq, double rate, bool real)
{
    if (!rc)
        return nullptr;
    D *d = vx::alloc_object<D>();
    if (d) {
        d->rc = rc;
        d->rate = rate;
        d->buf = static_cast<vx_cf32 *>(vx_calloc(kChunk, sizeof(vx_cf32)));
        d->hb = real ? hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR) : nullptr;
        d->mixer = vx::mix_kernel::best().mix;
        d->table = lo_sin_table();
        d->freq_ctrl_of = NAN;
        lo_init(&d->osc, norm_freq);
    }
    if (!d || !d->buf || (real && !d->hb)) {
        RateConverter_destroy(rc);
        if (d) {
            vx_free(d->buf);
            hbdecim_r2c_destroy(d->hb);
            vx_free(d);
        }
        return nullptr;
    }
    return d;
}

template <class In> void destroy(Down<In> *d)
{
    if (!d)
        return;
    RateConverter_destroy(d->rc);
    hbdecim_r2c_destroy(d->hb);
    vx_free(d->buf);
    vx_free(d);
}

template <class In> void reset(Down<In> *d)
{
    lo_reset(&d->osc);
    RateConverter_reset(d->rc);
    if (d->hb)
        hbdecim_r2c_reset(d->hb);
}

// Blob: header, the rate (a construction check), [HBR2], LO, RCVT.
template <class In> uint64_t state_bytes(const Down<In> *d)
{
    return VX_STATE_HEADER_BYTES + sizeof(double) + (d->hb ? hbdecim_r2c_state_bytes(d->hb) : 0) +
           LO_STATE_BYTES + RateConverter_state_bytes(d->rc);
}

template <class In> void get_state(const Down<In> *d, void *out, uint32_t magic, uint16_t version)
{
    vx::BlobWriter w(out, magic, version, state_bytes(d));
    w.put(d->rate);
    uint8_t *p = w.cursor();
    if (d->hb) {
        hbdecim_r2c_get_state(d->hb, p);
        p += hbdecim_r2c_state_bytes(d->hb);
    }
    lo_get_state(&d->osc, p);
    RateConverter_get_state(d->rc, p + LO_STATE_BYTES);
}

template <class In> int set_state(Down<In> *d, const void *blob, uint32_t magic, uint16_t version)
{
    if (!d || vx_state_check_header(blob, magic, version, state_bytes(d)) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    if (r.get<double>() != d->rate)
        return VX_ERR_INVALID;
    const uint8_t *p = r.cursor();
    const uint8_t *hb_blob = p;
    if (d->hb)
        p += hbdecim_r2c_state_bytes(d->hb);
    const uint8_t *lo_blob = p;
    const uint8_t *rc_blob = p + LO_STATE_BYTES;
    if (vx_state_check_header(lo_blob, VX_MAGIC_LO, VX_VERSION_LO, LO_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    // Each part restores atomically; the halfband goes first and is put back if the
    // converter then rejects its blob, so a rejection changes nothing.
    std::vector<uint8_t> hb_saved;
    if (d->hb) {
        hb_saved.resize(hbdecim_r2c_state_bytes(d->hb));
        hbdecim_r2c_get_state(d->hb, hb_saved.data());
        if (hbdecim_r2c_set_state(d->hb, hb_blob) != VX_OK)
            return VX_ERR_INVALID;
    }
    if (RateConverter_set_state(d->rc, rc_blob) != VX_OK) {
        if (d->hb)
            hbdecim_r2c_set_state(d->hb, hb_saved.data());
        return VX_ERR_INVALID;
    }
    lo_set_state(&d->osc, lo_blob);
    return VX_OK;
}

template <class In>
uint64_t run(Down<In> *d, const void *state_in, void *state_out, const In *x, uint64_t n,
             vx_cf32 *y, uint64_t max_out, uint32_t magic, uint16_t version)
{
    if (!d || (state_in && set_state(d, state_in, magic, version) != VX_OK))
        return 0;
    const uint64_t k = execute(d, x, n, y, max_out);
    if (state_out)
        get_state(d, state_out, magic, version);
    return k;
}

bool valid_real_rate(double rate) { return rate > 0.0 && rate < 0.5; }

}  // namespace

struct ddc : Down<vx_cf32> {};
struct ddcr : Down<float> {};

extern "C" {

VX_API ddc *ddc_create(double norm_freq, double rate)
{
    return make<ddc>(RateConverter_create(0, rate), norm_freq, rate, false);
}

VX_API ddc *ddc_create_matched(int pulse, uint64_t span, uint64_t num_phases, double norm_freq,
                               double rate, double beta, double pulse_sps)
{
    if (pulse == RC_PULSE_NONE)
        return nullptr;
    return make<ddc>(RateConverter_create_matched(1, pulse, span, num_phases, rate, beta, pulse_sps),
                     norm_freq, rate, false);
}

VX_API ddcr *ddcr_create(double norm_freq, double rate)
{
    if (!valid_real_rate(rate))
        return nullptr;
    return make<ddcr>(RateConverter_create(0, 2.0 * rate), norm_freq, rate, true);
}

VX_API ddcr *ddcr_create_matched(int pulse, uint64_t span, uint64_t num_phases, double norm_freq,
                                 double rate, double beta, double pulse_sps)
{
    if (!valid_real_rate(rate) || pulse == RC_PULSE_NONE)
        return nullptr;
    return make<ddcr>(
        RateConverter_create_matched(1, pulse, span, num_phases, 2.0 * rate, beta, pulse_sps),
        norm_freq, rate, true);
}

VX_API uint64_t ddc_execute(ddc *d, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint64_t max_out)
{
    return execute<vx_cf32>(d, x, n, y, max_out);
}
VX_API uint64_t ddcr_execute(ddcr *d, const float *x, uint64_t n, vx_cf32 *y, uint64_t max_out)
{
    return execute<float>(d, x, n, y, max_out);
}

VX_API uint64_t ddc_execute_ctrl(ddc *d, const vx_cf32 *x, uint64_t n, vx_cf32 *y,
                                 uint64_t max_out, double rate_ctrl, double freq_ctrl)
{
    return execute_ctrl<vx_cf32>(d, x, n, y, max_out, rate_ctrl, freq_ctrl);
}
VX_API uint64_t ddcr_execute_ctrl(ddcr *d, const float *x, uint64_t n, vx_cf32 *y,
                                  uint64_t max_out, double rate_ctrl, double freq_ctrl)
{
    return execute_ctrl<float>(d, x, n, y, max_out, rate_ctrl, freq_ctrl);
}

VX_API uint64_t ddc_execute_ctrl_push(ddc *d, vx_cf32 *y, uint64_t max_out, vx_cf32 x,
                                      double rate_ctrl, double freq_ctrl)
{
    return push<vx_cf32>(d, y, max_out, nullptr, nullptr, nullptr, nullptr, x, rate_ctrl, freq_ctrl);
}
VX_API uint64_t ddcr_execute_ctrl_push(ddcr *d, vx_cf32 *y, uint64_t max_out, float x,
                                       double rate_ctrl, double freq_ctrl)
{
    return push<float>(d, y, max_out, nullptr, nullptr, nullptr, nullptr, x, rate_ctrl, freq_ctrl);
}
VX_API uint64_t ddc_execute_ctrl_push_tap(ddc *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed,
                                          int *mixed_valid, vx_cf32 x, double rate_ctrl,
                                          double freq_ctrl)
{
    return push<vx_cf32>(d, y, max_out, mixed, mixed_valid, nullptr, nullptr, x, rate_ctrl, freq_ctrl);
}
VX_API uint64_t ddc_execute_ctrl_push_tap2(ddc *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed,
                                           int *mixed_valid, vx_cf32 *tap, vx_cf32 x,
                                           double rate_ctrl, double freq_ctrl, int *tap_valid)
{
    return push<vx_cf32>(d, y, max_out, mixed, mixed_valid, tap, tap_valid, x, rate_ctrl, freq_ctrl);
}
VX_API uint64_t ddcr_execute_ctrl_push_tap(ddcr *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed,
                                           int *mixed_valid, float x, double rate_ctrl,
                                           double freq_ctrl)
{
    return push<float>(d, y, max_out, mixed, mixed_valid, nullptr, nullptr, x, rate_ctrl, freq_ctrl);
}
VX_API uint64_t ddcr_execute_ctrl_push_tap2(ddcr *d, vx_cf32 *y, uint64_t max_out,
                                            vx_cf32 *mixed, int *mixed_valid, vx_cf32 *tap,
                                            float x, double rate_ctrl, double freq_ctrl,
                                            int *tap_valid)
{
    return push<float>(d, y, max_out, mixed, mixed_valid, tap, tap_valid, x, rate_ctrl, freq_ctrl);
}

// ddc_execute_max_out covers n·rate, so up-sampling outputs are sized correctly.
VX_API uint64_t ddc_execute_max_out(const ddc *d, uint64_t n)
{
    return std::max(n, execute_bound<vx_cf32>(d, n));
}
VX_API uint64_t ddc_execute_ctrl_bound(const ddc *d, uint64_t n, double rate_ctrl)
{
    return ctrl_bound<vx_cf32>(d, n, rate_ctrl);
}
VX_API uint64_t ddc_execute_ctrl_max_out(const ddc *d, uint64_t n)
{
    return std::max(n, ctrl_bound<vx_cf32>(d, n, 0.0));
}
VX_API uint64_t ddc_execute_ctrl_push_max_out(const ddc *d)
{
    return RateConverter_execute_ctrl_push_max_out(d->rc);
}
VX_API uint64_t ddcr_execute_max_out(const ddcr *d) { return short_call_bound<float>(d, false); }
VX_API uint64_t ddcr_execute_ctrl_bound(const ddcr *d, uint64_t n, double rate_ctrl)
{
    return ctrl_bound<float>(d, n, rate_ctrl);
}
VX_API uint64_t ddcr_execute_ctrl_max_out(const ddcr *d) { return short_call_bound<float>(d, true); }
VX_API uint64_t ddcr_execute_ctrl_push_max_out(const ddcr *d)
{
    return d->rate <= 1.0 ? 3u : static_cast<uint64_t>(d->rate) + 2u;
}

VX_API uint64_t ddc_run(ddc *d, const void *state_in, void *state_out, const vx_cf32 *x,
                        uint64_t n, vx_cf32 *y, uint64_t max_out)
{
    return run<vx_cf32>(d, state_in, state_out, x, n, y, max_out, VX_MAGIC_DDC, VX_VERSION_DDC);
}
VX_API uint64_t ddcr_run(ddcr *d, const void *state_in, void *state_out, const float *x,
                         uint64_t n, vx_cf32 *y, uint64_t max_out)
{
    return run<float>(d, state_in, state_out, x, n, y, max_out, VX_MAGIC_DDCR, VX_VERSION_DDCR);
}

VX_API void ddc_reset(ddc *d) { reset<vx_cf32>(d); }
VX_API void ddcr_reset(ddcr *d) { reset<float>(d); }
VX_API void ddc_destroy(ddc *d) { destroy<vx_cf32>(d); }
VX_API void ddcr_destroy(ddcr *d) { destroy<float>(d); }
VX_API double ddc_get_norm_freq(const ddc *d) { return lo_get_norm_freq(&d->osc); }
VX_API double ddcr_get_norm_freq(const ddcr *d) { return lo_get_norm_freq(&d->osc); }
VX_API void ddc_set_norm_freq(ddc *d, double f) { lo_set_norm_freq(&d->osc, f); }
VX_API void ddcr_set_norm_freq(ddcr *d, double f) { lo_set_norm_freq(&d->osc, f); }
VX_API double ddc_get_rate(const ddc *d) { return RateConverter_get_rate(d->rc); }
VX_API double ddcr_get_rate(const ddcr *d) { return d->rate; }
VX_API double ddc_get_bank_sps(const ddc *d) { return RateConverter_get_bank_sps(d->rc); }
VX_API double ddcr_get_bank_sps(const ddcr *d) { return RateConverter_get_bank_sps(d->rc); }
VX_API int ddc_get_narrow_pulse(const ddc *d) { return RateConverter_get_narrow_pulse(d->rc); }
VX_API int ddcr_get_narrow_pulse(const ddcr *d) { return RateConverter_get_narrow_pulse(d->rc); }
VX_API int ddc_get_clipped(const ddc *d) { return RateConverter_get_clipped(d->rc); }
VX_API int ddcr_get_clipped(const ddcr *d) { return RateConverter_get_clipped(d->rc); }
VX_API RateConverter *ddc_get_converter(const ddc *d) { return d->rc; }
VX_API RateConverter *ddcr_get_converter(const ddcr *d) { return d->rc; }
VX_API int ddc_set_telemetry(ddc *d, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    return RateConverter_set_telemetry(d->rc, tlm, prefix, decim);
}
VX_API int ddcr_set_telemetry(ddcr *d, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    return RateConverter_set_telemetry(d->rc, tlm, prefix, decim);
}
VX_API uint64_t ddc_state_bytes(const ddc *d) { return state_bytes<vx_cf32>(d); }
VX_API uint64_t ddcr_state_bytes(const ddcr *d) { return state_bytes<float>(d); }
VX_API void ddc_get_state(const ddc *d, void *out)
{
    get_state<vx_cf32>(d, out, VX_MAGIC_DDC, VX_VERSION_DDC);
}
VX_API void ddcr_get_state(const ddcr *d, void *out)
{
    get_state<float>(d, out, VX_MAGIC_DDCR, VX_VERSION_DDCR);
}
VX_API int ddc_set_state(ddc *d, const void *blob)
{
    return set_state<vx_cf32>(d, blob, VX_MAGIC_DDC, VX_VERSION_DDC);
}
VX_API int ddcr_set_state(ddcr *d, const void *blob)
{
    return set_state<float>(d, blob, VX_MAGIC_DDCR, VX_VERSION_DDCR);
}

}  // extern "C"
