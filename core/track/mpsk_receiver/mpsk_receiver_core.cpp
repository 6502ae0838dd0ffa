#include "mpsk_receiver.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "ratesync_loop.hpp"
#include "vx_blob.hpp"
#include "vx_tlm.h"

using vx_timing::clamp;

namespace {

// The carrier integrator and its control stay within half a cycle per symbol, beyond which
// a symbol-rate loop can say nothing: noise or a corrupted input cannot wind it up without
// bound, and a restored blob cannot push an absurd frequency into the oscillator.
constexpr double kCarrierLimit = M_PI;
// Symbols a restore accepts: no run reaches 2^62, and a count past 2^63 would turn the
// lock time (the count at lock, signed) negative, a state the receiver then refused.
constexpr uint64_t kMaxSymbols = uint64_t{1} << 62;

bool finite_all(std::initializer_list<double> v)
{
    for (double d : v)
        if (!vx_finite(d))
            return false;
    return true;
}

bool power_of_two(uint64_t v) { return v >= 2 && (v & (v - 1)) == 0; }

int bits_per_symbol(int m) { return m == 2 ? 1 : (m == 4 ? 2 : 3); }

// Front-end calls of each face.
template <bool Real> struct Face;
// A non-finite input sample carries nothing: it enters the front end as an erasure (zero),
// so the oscillator, filters and AGC stay finite and the loops hold through a burst.
template <> struct Face<false> {
    using In = vx_cf32;
    static In erase(In x) { return x.re - x.re == 0.0f && x.im - x.im == 0.0f ? x : In{0.0f, 0.0f}; }
    static uint64_t push(mpsk_receiver *rx, vx_cf32 *buf, In x, double rate, double freq)
    {
        return ddc_execute_ctrl_push(rx->fe, buf, 4, x, rate, freq);
    }
};
template <> struct Face<true> {
    using In = float;
    static In erase(In x) { return x - x == 0.0f ? x : 0.0f; }
    static uint64_t push(mpsk_receiver *rx, vx_cf32 *buf, In x, double rate, double freq)
    {
        return ddcr_execute_ctrl_push(rx->fe_r, buf, 4, x, rate, freq);
    }
};

// One front-end call on whichever face this receiver has: front(rx, ddc_x, ddcr_x, args...).
template <class C, class R, class... A> auto front(const mpsk_receiver *rx, C on_ddc, R on_ddcr, A... a)
{
    return rx->real ? on_ddcr(rx->fe_r, a...) : on_ddc(rx->fe, a...);
}

RateConverter *converter(const mpsk_receiver *rx) { return front(rx, ddc_get_converter, ddcr_get_converter); }

uint64_t front_bytes(const mpsk_receiver *rx) { return front(rx, ddc_state_bytes, ddcr_state_bytes); }

uint32_t blob_magic(const mpsk_receiver *rx)
{
    return rx->real ? VX_MAGIC_MPSK_RECEIVER_R : VX_MAGIC_MPSK_RECEIVER;
}
uint16_t blob_version(const mpsk_receiver *rx)
{
    return rx->real ? VX_VERSION_MPSK_RECEIVER_R : VX_VERSION_MPSK_RECEIVER;
}

// M-th-power discriminator on the un-rotated strobe (double-angle identities, single
// precision), lock average and decision, loop update; returns the output symbol.
inline vx_cf32 carrier_update(mpsk_rx_loops *l, vx_cf32 c)
{
    float err = 0.0f, sig = 0.0f;
    const float p = c.re * c.re + c.im * c.im;
    if (p > 1e-12f && vx_finite(p)) {
        const float s = 2.0f * c.re * c.im / p, k = (c.re * c.re - c.im * c.im) / p;
        if (l->m == 2) {
            err = s;
            sig = k;
        } else if (l->m == 4) {
            err = k * s;
            sig = k * k - s * s;
        } else {
            const float a = k * s, b = k * k - s * s;
            err = b * a;
            sig = b * b - 4.0f * a * a;
        }
    }
    l->lock_ema = l->lock_ema + 0.05 * (static_cast<double>(sig) - l->lock_ema);
    lockdet_look(&l->car_lock, l->lock_ema);
    if (l->car_lock.locked && l->lock_time < 0)
        l->lock_time = static_cast<int64_t>(l->symbol_count);
    ++l->symbol_count;
    l->car_error = err;
    l->carrier.integ = clamp(l->carrier.integ + l->carrier.ki * err, -kCarrierLimit, kCarrierLimit);
    l->freq_ctrl = -clamp(l->carrier.kp * err + l->carrier.integ, -kCarrierLimit, kCarrierLimit) * l->freq_scale;
    const float cr = l->rotation[0], ci = l->rotation[1];
    return {c.re * cr - c.im * ci, c.re * ci + c.im * cr};
}

void tlm_flush(mpsk_rx_loops *l, vx_cf32 y)
{
    const float v[7] = {static_cast<float>(l->lock_ema), static_cast<float>(l->car_error),
                        static_cast<float>(mpsk_rx_freq_est(l)), static_cast<float>(-l->freq_ctrl),
                        static_cast<float>(l->car_lock.locked), y.re, y.im};
    vx_tlm_flush(l->tlm, l->tlm_ids, v, 7);
    ratesync_loop_tlm_flush(&l->timing);
}

// One loop per (face, telemetry, output kind): the hot path carries none of these branches.
template <bool Real, bool Tlm, bool Bits, class Out>
uint64_t run(mpsk_receiver *rx, const typename Face<Real>::In *x, uint64_t n, Out *out, uint64_t max_out)
{
    mpsk_rx_loops *l = &rx->loops;
    uint64_t written = 0;
    vx_cf32 buf[4];
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t k = Face<Real>::push(rx, buf, Face<Real>::erase(x[i]), l->timing.ctrl, l->freq_ctrl);
        for (uint64_t j = 0; j < k; ++j) {
            if (!vx_timing::output<SYMSYNC_TED_GARDNER>(&l->timing, buf[j], j == 0))
                continue;
            const vx_cf32 y = carrier_update(l, buf[j]);
            if constexpr (Tlm)
                tlm_flush(l, y);
            if constexpr (Bits) {
                uint8_t b[3];
                const int nb = mpsk_rx_symbol_to_bits(l, b, y);
                for (int t = 0; t < nb && written < max_out; ++t)
                    out[written++] = b[t];
            } else if (written < max_out) {
                out[written++] = y;
            }
        }
    }
    return written;
}

template <bool Real, bool Bits, class Out>
uint64_t dispatch(mpsk_receiver *rx, const typename Face<Real>::In *x, uint64_t n, Out *out,
                  uint64_t max_out)
{
    if (!rx || !x || rx->real != Real)
        return 0;
    if (!out)
        max_out = 0;
    return rx->loops.tlm ? run<Real, true, Bits>(rx, x, n, out, max_out)
                         : run<Real, false, Bits>(rx, x, n, out, max_out);
}

// "<prefix><suffix>" into buf; false when it would not fit a probe name.
bool sub_prefix(char (&buf)[VX_TLM_NAME_BYTES], const char *prefix, const char *suffix)
{
    const int k = std::snprintf(buf, sizeof buf, "%s%s", prefix, suffix);
    return k > 0 && static_cast<size_t>(k) < sizeof buf;
}

// Parse and check a loops blob into a copy of `l`.
int parse_loops(const mpsk_rx_loops *l, const void *blob, mpsk_rx_loops *out)
{
    if (vx_state_check_header(blob, VX_MAGIC_MPSK_RX_LOOPS, VX_VERSION_MPSK_RX_LOOPS,
                              MPSK_RX_LOOPS_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    mpsk_rx_loops v = *l;
    uint64_t have_label, prev_label;
    vx::BlobReader rd(blob);
    rd.get(v.freq_ctrl).get(v.car_error).get(v.lock_ema).get(v.symbol_count).get(have_label)
        .get(prev_label).get(v.lock_time).get(v.car_lock.count).get(v.car_lock.locked);
    if (vx_timing::parse_state(&l->timing, rd.cursor(), &v.timing) != VX_OK ||
        loop_filter_set_state(&v.carrier, rd.cursor() + RATESYNC_LOOP_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    const bool ok = have_label <= 1 && prev_label < static_cast<uint64_t>(l->m) && v.symbol_count < kMaxSymbols &&
                    vx::is_flag(v.car_lock.locked) && v.lock_time >= -1 &&
                    finite_all({v.carrier.kp, v.carrier.ki, v.carrier.integ, v.freq_ctrl}) &&
                    std::fabs(v.carrier.integ) <= kCarrierLimit &&
                    std::fabs(v.freq_ctrl) <= kCarrierLimit * v.freq_scale;
    if (!ok)
        return VX_ERR_INVALID;
    v.have_label = static_cast<int32_t>(have_label);
    v.prev_label = static_cast<uint32_t>(prev_label);
    *out = v;
    return VX_OK;
}

mpsk_receiver *create(bool real, int m, uint64_t m_out, uint32_t pulse, int rrc_span,
                      int differential, uint64_t num_phases, double sps, double beta,
                      double bn_carrier, double zeta, double bn_timing, double lock_thresh,
                      double f0, double agc_ratio, int agc)
{
    if ((m != 2 && m != 4 && m != 8) || pulse > MPSK_RX_PULSE_RRC ||
        !finite_all({sps, beta, bn_carrier, zeta, bn_timing, lock_thresh, f0, agc_ratio}))
        return nullptr;
    if (m_out == 0) {
        // The largest even count in 2..8 the front end allows: not above sps, or strictly
        // below sps/2 behind the real face's halfband.
        const double x = real ? std::nextafter(sps / 2.0, 0.0) : sps;
        const double k = std::floor(x / 2.0);
        if (!(k >= 1.0))
            return nullptr;
        m_out = k >= 4.0 ? 8 : 2 * static_cast<uint64_t>(k);
    }
    const double mo = static_cast<double>(m_out);
    const bool ok = m_out >= 2 && m_out <= RATESYNC_MAX_M && m_out % 2 == 0 &&
                    (real ? sps > 2.0 * mo : sps >= mo) && beta >= 0.0 && beta <= 1.0 &&
                    rrc_span > 0 && bn_carrier >= 0.0 && bn_timing >= 0.0 && num_phases != 1;
    if (!ok)
        return nullptr;
    zeta = zeta == 0.0 ? 0.7071067811865476 : zeta;
    num_phases = num_phases == 0 ? 64 : num_phases;
    agc_ratio = agc_ratio == 0.0 ? 0.05 : agc_ratio;
    lock_thresh = lock_thresh == 0.0 ? 0.4999 : lock_thresh;
    if (!vx_timing::loop_ok(bn_carrier, zeta) || !vx_timing::loop_ok(bn_timing, zeta) ||
        !power_of_two(num_phases) || !(agc_ratio > 0.0 && agc_ratio < 1.0))
        return nullptr;

    mpsk_receiver *rx = vx::alloc_object<mpsk_receiver>();
    if (!rx)
        return nullptr;
    const uint64_t span = static_cast<uint64_t>(rrc_span);
    if (real)
        rx->fe_r = ddcr_create_matched(static_cast<int>(pulse), span, num_phases, -(2.0 * f0 + 0.5),
                                       mo / sps, beta, mo);
    else
        rx->fe = ddc_create_matched(static_cast<int>(pulse), span, num_phases, -f0, mo / sps, beta, mo);
    if (!rx->fe && !rx->fe_r) {
        vx_free(rx);
        return nullptr;
    }
    rx->real = real;
    rx->pulse = static_cast<int32_t>(pulse);
    rx->init_norm_freq = f0;
    rx->rrc_beta = beta;
    rx->rrc_span = rrc_span;
    rx->num_phases = num_phases;
    rx->agc = agc != 0;
    mpsk_rx_loops_init(&rx->loops, m, m_out, SYMSYNC_TED_GARDNER, differential, sps,
                       real ? 0.5 * sps : sps, bn_carrier, zeta, bn_timing, agc_ratio, lock_thresh);
    RateConverter *rc = converter(rx);
    ratesync_loop_bind_cascade(&rx->loops.timing, rc, static_cast<int>(pulse), span, beta);
    if (agc)
        RateConverter_enable_agc(rc, std::fmin(bn_carrier, bn_timing) * agc_ratio, 0.01);
    return rx;
}

}  // namespace

extern "C" {

// ---- the loop set -----------------------------------------------------------------------

VX_API void mpsk_rx_loops_init(mpsk_rx_loops *l, int m, uint64_t m_out, int ted, int differential,
                               double sps, double sps_c, double bn_carrier, double zeta,
                               double bn_timing, double bn_agc_ratio, double lock_thresh)
{
    std::memset(l, 0, sizeof *l);
    l->m = m;
    l->m_out = m_out;
    l->differential = differential != 0;
    l->sps = sps;
    l->sps_c = sps_c;
    l->bn_carrier = bn_carrier;
    l->bn_agc_ratio = bn_agc_ratio;
    l->zeta = zeta;
    l->rotation[0] = m == 4 ? 0.70710677f : 1.0f;
    l->rotation[1] = m == 4 ? 0.70710677f : 0.0f;
    for (int32_t &id : l->tlm_ids)
        id = -1;
    ratesync_loop_init(&l->timing, m_out, ted, sps, bn_timing, zeta);
    lockdet_init(&l->car_lock, lock_thresh, 0.8 * lock_thresh, 8, 32);
    mpsk_rx_config_carrier(l);
    mpsk_rx_loops_reset(l);
}

VX_API void mpsk_rx_loops_reset(mpsk_rx_loops *l)
{
    ratesync_loop_reset(&l->timing);
    l->carrier.integ = 0.0;
    l->freq_ctrl = 0.0;
    l->symbol_count = 0;
    l->lock_time = -1;
    l->have_label = 0;
    l->prev_label = 0;
    l->car_error = 0.0;
    l->lock_ema = 0.0;
    lockdet_reset(&l->car_lock);
}

VX_API void mpsk_rx_config_carrier(mpsk_rx_loops *l)
{
    loop_filter_init(&l->carrier, l->bn_carrier, l->zeta, 1.0);
    l->freq_scale = 1.0 / (2.0 * M_PI * l->sps_c);
}

VX_API double mpsk_rx_freq_est(const mpsk_rx_loops *l) { return l->carrier.integ * l->freq_scale; }

VX_API void mpsk_rx_set_freq_est(mpsk_rx_loops *l, double value)
{
    const double integ = l->freq_scale > 0.0 ? value / l->freq_scale : 0.0;
    l->carrier.integ = vx_finite(integ) ? clamp(integ, -kCarrierLimit, kCarrierLimit) : 0.0;
    l->freq_ctrl = -l->carrier.integ * l->freq_scale;
}

VX_API int mpsk_rx_symbol_to_bits(mpsk_rx_loops *l, uint8_t *out3, vx_cf32 y)
{
    const int m = l->m;
    const double turn = m == 4 ? M_PI / 4.0 : 0.0;
    const double c = m / (2.0 * M_PI) * (std::atan2(static_cast<double>(y.im), static_cast<double>(y.re)) - turn);
    // atan2 of a non-finite symbol is NaN: it decides index 0 instead of reaching the cast.
    const int64_t q = vx_double_to_i64(std::round(c), -16, 16, 0) & (m - 1);
    uint32_t label = static_cast<uint32_t>(q);
    if (l->differential) {
        const uint32_t h = l->have_label ? l->prev_label : 0;
        l->prev_label = label;
        l->have_label = 1;
        label = (static_cast<uint32_t>(m) + label - h) & static_cast<uint32_t>(m - 1);
    }
    label ^= label >> 1;
    const int nb = bits_per_symbol(m);
    for (int t = 0; t < nb; ++t)
        out3[t] = static_cast<uint8_t>((label >> t) & 1u);
    return nb;
}

VX_API int mpsk_rx_set_telemetry(mpsk_rx_loops *l, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    if (!tlm) {
        vx_tlm_swap(&l->tlm, nullptr);
        return ratesync_loop_set_telemetry(&l->timing, nullptr, nullptr, 0);
    }
    static const char *const probes[] = {"lock", "car.e", "car.freq", "car.nco", "car.locked", "sym.i", "sym.q"};
    char sync[VX_TLM_NAME_BYTES];
    if (!sub_prefix(sync, prefix ? prefix : "rx", ".sync"))
        return VX_ERR_INVALID;  // a cut name would merge probes
    // Registered aside (the slot holds its own reference), so a failure leaves the
    // current attachment as it was.
    vx_tlm *slot = nullptr;
    int32_t ids[7];
    if (vx_tlm_attach(&slot, ids, tlm, prefix, "rx", probes, 7, decim) != VX_OK)
        return VX_ERR_INVALID;
    const int rc = ratesync_loop_set_telemetry(&l->timing, tlm, sync, decim);
    if (rc == VX_OK) {
        vx_tlm_swap(&l->tlm, slot);
        std::memcpy(l->tlm_ids, ids, sizeof ids);
    }
    vx_tlm_swap(&slot, nullptr);
    return rc;
}

VX_API uint64_t mpsk_rx_loops_state_bytes(const mpsk_rx_loops *) { return MPSK_RX_LOOPS_STATE_BYTES; }

VX_API void mpsk_rx_loops_get_state(const mpsk_rx_loops *l, void *out)
{
    vx::BlobWriter w(out, VX_MAGIC_MPSK_RX_LOOPS, VX_VERSION_MPSK_RX_LOOPS, MPSK_RX_LOOPS_STATE_BYTES);
    w.put(l->freq_ctrl).put(l->car_error).put(l->lock_ema).put(l->symbol_count)
        .put(static_cast<uint64_t>(l->have_label)).put(static_cast<uint64_t>(l->prev_label))
        .put(l->lock_time).put(l->car_lock.count).put(l->car_lock.locked);
    ratesync_loop_get_state(&l->timing, w.cursor());
    loop_filter_get_state(&l->carrier, w.cursor() + RATESYNC_LOOP_STATE_BYTES);
}

VX_API int mpsk_rx_loops_set_state(mpsk_rx_loops *l, const void *blob)
{
    return l ? parse_loops(l, blob, l) : VX_ERR_INVALID;
}

// ---- the receiver -----------------------------------------------------------------------

VX_API mpsk_receiver *mpsk_receiver_create(int m, uint64_t m_out, uint32_t pulse, int rrc_span,
                                           int differential, uint64_t num_phases, double sps,
                                           double rrc_beta, double bn_carrier, double zeta,
                                           double bn_timing, double lock_thresh,
                                           double init_norm_freq, double bn_agc_ratio, int agc)
{
    return create(false, m, m_out, pulse, rrc_span, differential, num_phases, sps, rrc_beta,
                  bn_carrier, zeta, bn_timing, lock_thresh, init_norm_freq, bn_agc_ratio, agc);
}

VX_API mpsk_receiver *mpsk_receiver_create_real(int m, uint64_t m_out, uint32_t pulse, int rrc_span,
                                                int differential, uint64_t num_phases, double sps,
                                                double rrc_beta, double bn_carrier, double zeta,
                                                double bn_timing, double lock_thresh,
                                                double init_norm_freq, double bn_agc_ratio, int agc)
{
    return create(true, m, m_out, pulse, rrc_span, differential, num_phases, sps, rrc_beta,
                  bn_carrier, zeta, bn_timing, lock_thresh, init_norm_freq, bn_agc_ratio, agc);
}

VX_API mpsk_receiver *mpsk_receiver_create_bpsk(uint32_t pulse, int rrc_span, int differential,
                                                int agc, double sample_rate_hz,
                                                double symbol_rate_hz, double carrier_freq_hz,
                                                double rrc_beta, double bn_carrier, double bn_timing)
{
    if (!(sample_rate_hz > 0.0 && symbol_rate_hz > 0.0 &&
          std::fabs(carrier_freq_hz) < 0.5 * sample_rate_hz))
        return nullptr;
    mpsk_receiver *rx = mpsk_receiver_create(2, 0, pulse, rrc_span, differential, 0,
                                             sample_rate_hz / symbol_rate_hz, rrc_beta, bn_carrier, 0.0,
                                             bn_timing, 0.0, carrier_freq_hz / sample_rate_hz, 0.0, agc);
    if (rx) {
        rx->sample_rate_hz = sample_rate_hz;
        rx->symbol_rate_hz = symbol_rate_hz;
        rx->carrier_freq_hz = carrier_freq_hz;
    }
    return rx;
}

VX_API void mpsk_receiver_destroy(mpsk_receiver *rx)
{
    if (!rx)
        return;
    ddc_destroy(rx->fe);
    ddcr_destroy(rx->fe_r);
    mpsk_rx_set_telemetry(&rx->loops, nullptr, nullptr, 0);  // the attachments' references
    vx_free(rx);
}

VX_API void mpsk_receiver_reset(mpsk_receiver *rx)
{
    front(rx, ddc_reset, ddcr_reset);
    mpsk_rx_loops_reset(&rx->loops);
}

VX_API uint64_t mpsk_receiver_steps(mpsk_receiver *rx, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                                    uint64_t max_out)
{
    return dispatch<false, false>(rx, x, n, out, max_out);
}
VX_API uint64_t mpsk_receiver_steps_real(mpsk_receiver *rx, const float *x, uint64_t n, vx_cf32 *out,
                                         uint64_t max_out)
{
    return dispatch<true, false>(rx, x, n, out, max_out);
}
VX_API uint64_t mpsk_receiver_bits(mpsk_receiver *rx, const vx_cf32 *x, uint64_t n, uint8_t *out,
                                   uint64_t max_out)
{
    return dispatch<false, true>(rx, x, n, out, max_out);
}
VX_API uint64_t mpsk_receiver_bits_real(mpsk_receiver *rx, const float *x, uint64_t n, uint8_t *out,
                                        uint64_t max_out)
{
    return dispatch<true, true>(rx, x, n, out, max_out);
}

VX_API uint64_t mpsk_receiver_steps_max_out(const mpsk_receiver *) { return 0; }

VX_API uint64_t mpsk_receiver_bits_max_out(const mpsk_receiver *rx, uint64_t n)
{
    uint64_t b;
    return vx_size_mul(n, static_cast<uint64_t>(bits_per_symbol(rx->loops.m)), &b) ? b : UINT64_MAX;
}

VX_API double mpsk_receiver_get_norm_freq(const mpsk_receiver *rx)
{
    return rx->init_norm_freq + (rx->real ? 0.5 : 1.0) * mpsk_rx_freq_est(&rx->loops);
}
VX_API double mpsk_receiver_get_nco_freq(const mpsk_receiver *rx)
{
    return rx->init_norm_freq - (rx->real ? 0.5 : 1.0) * rx->loops.freq_ctrl;
}
VX_API int mpsk_receiver_set_norm_freq(mpsk_receiver *rx, double f)
{
    if (!rx || !vx_finite(f))
        return VX_ERR_INVALID;
    rx->init_norm_freq = f;
    if (rx->real)
        ddcr_set_norm_freq(rx->fe_r, -(2.0 * f + 0.5));
    else
        ddc_set_norm_freq(rx->fe, -f);
    mpsk_rx_set_freq_est(&rx->loops, 0.0);
    return VX_OK;
}
VX_API double mpsk_receiver_get_lock(const mpsk_receiver *rx) { return rx->loops.lock_ema; }
VX_API int mpsk_receiver_get_locked(const mpsk_receiver *rx) { return static_cast<int>(rx->loops.car_lock.locked); }
VX_API int64_t mpsk_receiver_get_lock_time(const mpsk_receiver *rx) { return rx->loops.lock_time; }
VX_API double mpsk_receiver_get_last_error(const mpsk_receiver *rx) { return rx->loops.car_error; }
VX_API double mpsk_receiver_get_timing_rate(const mpsk_receiver *rx) { return rx->loops.timing.rate; }
VX_API int mpsk_receiver_get_m(const mpsk_receiver *rx) { return rx->loops.m; }
VX_API double mpsk_receiver_get_sps(const mpsk_receiver *rx) { return rx->loops.sps; }
VX_API uint64_t mpsk_receiver_get_m_out(const mpsk_receiver *rx) { return rx->loops.m_out; }
VX_API double mpsk_receiver_get_zeta(const mpsk_receiver *rx) { return rx->loops.zeta; }
VX_API double mpsk_receiver_get_bn_agc_ratio(const mpsk_receiver *rx) { return rx->loops.bn_agc_ratio; }
VX_API double mpsk_receiver_get_lock_thresh(const mpsk_receiver *rx) { return rx->loops.car_lock.up_thresh; }
VX_API double mpsk_receiver_get_lock_drop_thresh(const mpsk_receiver *rx) { return rx->loops.car_lock.down_thresh; }
VX_API double mpsk_receiver_get_sync_lock_thresh(const mpsk_receiver *rx) { return rx->loops.timing.ld.up_thresh; }
VX_API double mpsk_receiver_get_sync_lock_drop_thresh(const mpsk_receiver *rx)
{
    return rx->loops.timing.ld.down_thresh;
}
VX_API uint64_t mpsk_receiver_get_num_phases(const mpsk_receiver *rx) { return rx->num_phases; }
VX_API int mpsk_receiver_get_clipped(const mpsk_receiver *rx)
{
    return front(rx, ddc_get_clipped, ddcr_get_clipped);
}
VX_API double mpsk_receiver_get_agc_gain_db(const mpsk_receiver *rx)
{
    return RateConverter_agc_gain_db(converter(rx));
}

VX_API int mpsk_receiver_set_telemetry(mpsk_receiver *rx, vx_tlm *tlm, const char *prefix,
                                       unsigned long decim)
{
    if (!rx)
        return VX_ERR_INVALID;
    char agc[VX_TLM_NAME_BYTES];
    if (tlm && !sub_prefix(agc, prefix ? prefix : "rx", ".agc"))
        return VX_ERR_INVALID;
    if (const int rc = mpsk_rx_set_telemetry(&rx->loops, tlm, prefix, decim))
        return rc;
    const char *p = tlm ? agc : nullptr;
    const int rc = front(rx, ddc_set_telemetry, ddcr_set_telemetry, tlm, p, decim);
    if (rc != VX_OK)
        mpsk_rx_set_telemetry(&rx->loops, nullptr, nullptr, 0);
    return rc;
}

VX_API uint64_t mpsk_receiver_state_bytes(const mpsk_receiver *rx)
{
    return VX_STATE_HEADER_BYTES + front_bytes(rx) + MPSK_RX_LOOPS_STATE_BYTES;
}

VX_API void mpsk_receiver_get_state(const mpsk_receiver *rx, void *out)
{
    vx_state_write_header(out, blob_magic(rx), blob_version(rx), mpsk_receiver_state_bytes(rx));
    uint8_t *p = static_cast<uint8_t *>(out) + VX_STATE_HEADER_BYTES;
    front(rx, ddc_get_state, ddcr_get_state, static_cast<void *>(p));
    mpsk_rx_loops_get_state(&rx->loops, p + front_bytes(rx));
}

VX_API int mpsk_receiver_set_state(mpsk_receiver *rx, const void *blob)
{
    if (!rx || vx_state_check_header(blob, blob_magic(rx), blob_version(rx), mpsk_receiver_state_bytes(rx)) != VX_OK)
        return VX_ERR_INVALID;
    const uint8_t *p = static_cast<const uint8_t *>(blob) + VX_STATE_HEADER_BYTES;
    mpsk_rx_loops loops;
    if (parse_loops(&rx->loops, p + front_bytes(rx), &loops) != VX_OK)
        return VX_ERR_INVALID;
    // The front end checks its whole blob before writing, so a refusal changes nothing.
    if (const int rc = front(rx, ddc_set_state, ddcr_set_state, static_cast<const void *>(p)))
        return rc;
    rx->loops = loops;
    return VX_OK;
}

}  // extern "C"
