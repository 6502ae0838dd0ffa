#include "carrier_acq.h"

#include <cmath>
#include <cstring>

#include "detector.h"
#include "detstat.h"
#include "psd.h"
#include "vx_blob.hpp"

struct carrier_acq {
    psd *est;            // n-sample frames, mean averaging, fs = sample rate, full scale 1
    detector *det;       // reference = template, nfft, dwell 1, median noise over every bin
    float *power;        // two-sided power, nfft
    vx_cf32 *power_c;    // the same as complex samples, nfft
    vx_cf32 *partial;    // an incomplete block carried between calls, n
    float *templ;        // the template as given, nfft; NULL for the default shape
    uint64_t fill, n_blocks, dwell_target, max_n_blocks, n, nfft;
    uint64_t ready;
    double residual_hz;
    int sequential;
    double fs, symbol_rate, resolution, pfa, pd, design_snr;
    double sum_t, sum_t2;
};

namespace {

constexpr uint64_t PAYLOAD_FIXED = 7 * 8;  // nfft .. fill

uint64_t active_cap(const carrier_acq *a) { return a->sequential ? a->max_n_blocks : a->dwell_target; }

bool done(const carrier_acq *a) { return a->ready || a->n_blocks >= active_cap(a); }

void test(carrier_acq *a)
{
    if (psd_power_twosided(a->est, a->power, a->nfft) != a->nfft)
        return;
    for (uint64_t k = 0; k < a->nfft; ++k)
        a->power_c[k] = {a->power[k], 0.0f};
    detector_set_threshold(a->det, static_cast<float>(carrier_acq_threshold(a, a->n_blocks)));
    detector_record rec;
    if (detector_push(a->det, a->power_c, a->nfft, &rec, 1, nullptr) != 1)
        return;
    // Sub-bin refinement: a parabola through the real correlation around the peak lag.
    const vx_cf32 *c = detector_last_corr(a->det);
    const uint64_t k = rec.lag, n = a->nfft;
    const double e = c[(k + n - 1) % n].re, mid = c[k].re, f = c[(k + 1) % n].re;
    const double g = e - 2.0 * mid + f;
    const double delta = g != 0.0 ? 0.5 * (e - f) / g : 0.0;
    double m = static_cast<double>(k) + delta;
    if (m > static_cast<double>(n / 2))
        m -= static_cast<double>(n);
    a->residual_hz = m * a->fs / static_cast<double>(n);
    a->ready = 1;
}

void process(carrier_acq *a, const vx_cf32 *block)
{
    psd_accumulate(a->est, block, a->n);
    ++a->n_blocks;
    if (a->sequential || a->n_blocks == a->dwell_target)
        test(a);
}

bool finite_positive(double v) { return vx_finite(v) && v > 0.0; }

}  // namespace

extern "C" {

VX_API carrier_acq *carrier_acq_create(uint64_t zero_pad, unsigned window, const float *templ,
                                       uint64_t template_len, int sequential, uint64_t max_n_blocks,
                                       double sample_rate_hz, double symbol_rate_hz, double resolution_hz,
                                       float beta, double pfa, double pd, double design_snr)
{
    // Every rate, probability and target is checked before a size is derived from it.
    if (zero_pad == 0 || !finite_positive(sample_rate_hz) || !finite_positive(symbol_rate_hz) ||
        !(pfa > 0.0 && pfa < 1.0) || !(pd > 0.0 && pd < 1.0) || !(vx_finite(design_snr) && design_snr >= 0.0) ||
        std::isnan(resolution_hz))
        return nullptr;
    if (resolution_hz <= 0.0)
        resolution_hz = 0.1 * symbol_rate_hz;
    const double blocks = std::round(sample_rate_hz / resolution_hz);
    if (!(blocks <= static_cast<double>(CARRIER_ACQ_MAX_BLOCK)))  // also an infinite ratio
        return nullptr;
    const uint64_t n = blocks < 2.0 ? 2 : static_cast<uint64_t>(blocks);

    carrier_acq *a = vx::alloc_object<carrier_acq>();
    if (!a)
        return nullptr;
    a->n = n;
    a->sequential = sequential != 0;
    a->max_n_blocks = max_n_blocks ? max_n_blocks : 1;
    a->fs = sample_rate_hz;
    a->symbol_rate = symbol_rate_hz;
    a->resolution = resolution_hz;
    a->pfa = pfa;
    a->pd = pd;
    a->design_snr = design_snr;
    a->est = psd_create(n, window, zero_pad, 0, 0, sample_rate_hz, beta, 1.0, 0.1);
    const uint64_t nfft = a->est ? psd_get_nfft(a->est) : 0;
    a->nfft = nfft;
    bool ok = a->est && (template_len == 0 || !templ || template_len == nfft);
    if (ok) {
        a->power = static_cast<float *>(vx_calloc(nfft, sizeof(float)));
        a->power_c = static_cast<vx_cf32 *>(vx_calloc(nfft, sizeof(vx_cf32)));
        a->partial = static_cast<vx_cf32 *>(vx_calloc(n, sizeof(vx_cf32)));
        ok = a->power && a->power_c && a->partial;
        if (ok && templ && template_len) {
            a->templ = static_cast<float *>(vx_calloc(nfft, sizeof(float)));
            ok = a->templ != nullptr;
            if (ok)
                std::memcpy(a->templ, templ, nfft * sizeof(float));
        }
    }
    if (ok) {
        // The template as the detector's complex reference (power_c serves as scratch).
        const double scale = sample_rate_hz / (symbol_rate_hz * static_cast<double>(nfft));
        for (uint64_t i = 0; i < nfft; ++i) {
            float t;
            if (templ && template_len) {
                t = templ[i];
            } else {
                const double u = scale * (static_cast<double>(i) - static_cast<double>(nfft / 2));
                const double s = u == 0.0 ? 1.0 : std::sin(M_PI * u) / (M_PI * u);
                t = static_cast<float>(s * s);
            }
            a->power_c[i] = {t, 0.0f};
            a->sum_t += t;
            a->sum_t2 += static_cast<double>(t) * t;
        }
        // The ratio threshold divides by Σt: a template without a positive, finite sum
        // (or with a non-finite value) matches nothing.
        ok = vx_finite(a->sum_t) && a->sum_t > 0.0 && vx_finite(a->sum_t2);
    }
    if (ok) {
        a->det = detector_create(a->power_c, nfft, 1, 0, nfft - 1, DETECTOR_NOISE_MEDIAN, 0.0f, 1);
        ok = a->det != nullptr;
    }
    if (!ok) {
        carrier_acq_destroy(a);
        return nullptr;
    }
    const int looks = det_n_noncoh(static_cast<int>(n), CARRIER_ACQ_MAX_LOOKS, design_snr, pd, pfa);
    a->dwell_target = looks < 1 ? CARRIER_ACQ_MAX_LOOKS : static_cast<uint64_t>(looks);
    return a;
}

VX_API void carrier_acq_destroy(carrier_acq *a)
{
    if (!a)
        return;
    psd_destroy(a->est);
    detector_destroy(a->det);
    vx_free(a->power);
    vx_free(a->power_c);
    vx_free(a->partial);
    vx_free(a->templ);
    vx_free(a);
}

VX_API void carrier_acq_reset(carrier_acq *a)
{
    psd_reset(a->est);
    detector_reset(a->det);
    a->fill = a->n_blocks = a->ready = 0;
    a->residual_hz = 0.0;
}

VX_API void carrier_acq_steps(carrier_acq *a, const vx_cf32 *x, uint64_t len)
{
    if (!a || !x || done(a))
        return;
    uint64_t at = 0;
    if (a->fill > 0) {
        const uint64_t take = a->n - a->fill < len ? a->n - a->fill : len;
        std::memcpy(a->partial + a->fill, x, take * sizeof(vx_cf32));
        a->fill += take;
        at = take;
        if (a->fill < a->n)
            return;
        a->fill = 0;
        process(a, a->partial);
        if (done(a))
            return;
    }
    for (; len - at >= a->n; at += a->n) {
        process(a, x + at);
        if (done(a))
            return;
    }
    std::memcpy(a->partial, x + at, (len - at) * sizeof(vx_cf32));
    a->fill = len - at;
}

VX_API int carrier_acq_get_ready(const carrier_acq *a) { return static_cast<int>(a->ready); }
VX_API double carrier_acq_get_residual_hz(const carrier_acq *a) { return a->residual_hz; }
VX_API uint64_t carrier_acq_get_n_blocks(const carrier_acq *a) { return a->n_blocks; }
VX_API uint64_t carrier_acq_get_dwell_target(const carrier_acq *a) { return a->dwell_target; }
VX_API uint64_t carrier_acq_get_max_n_blocks(const carrier_acq *a) { return a->max_n_blocks; }
VX_API uint64_t carrier_acq_get_nfft(const carrier_acq *a) { return a->nfft; }
VX_API uint64_t carrier_acq_get_n(const carrier_acq *a) { return a->n; }
VX_API int carrier_acq_get_sequential(const carrier_acq *a) { return a->sequential; }
VX_API double carrier_acq_get_sample_rate(const carrier_acq *a) { return a->fs; }
VX_API double carrier_acq_get_symbol_rate(const carrier_acq *a) { return a->symbol_rate; }
VX_API double carrier_acq_get_pfa(const carrier_acq *a) { return a->pfa; }
VX_API double carrier_acq_get_pd(const carrier_acq *a) { return a->pd; }
VX_API double carrier_acq_get_design_snr(const carrier_acq *a) { return a->design_snr; }
VX_API double carrier_acq_get_resolution(const carrier_acq *a) { return a->resolution; }
VX_API uint64_t carrier_acq_get_zero_pad(const carrier_acq *a) { return psd_get_pad(a->est); }
VX_API unsigned carrier_acq_get_window(const carrier_acq *a) { return psd_get_window(a->est); }
VX_API float carrier_acq_get_beta(const carrier_acq *a) { return psd_get_beta(a->est); }

VX_API uint64_t carrier_acq_get_template(const carrier_acq *a, float *out, uint64_t cap)
{
    if (!a->templ)
        return 0;
    const uint64_t k = cap < a->nfft ? cap : a->nfft;
    if (k)
        std::memcpy(out, a->templ, k * sizeof(float));
    return k;
}

VX_API double carrier_acq_threshold(const carrier_acq *a, uint64_t k)
{
    const double blocks = k ? static_cast<double>(k) : 1.0;
    return 1.0 + 7.9 * det_threshold(a->pfa) * std::sqrt(a->sum_t2 / blocks) / a->sum_t;
}

VX_API double carrier_acq_get_test_stat(const carrier_acq *a)
{
    detector_record r;
    return detector_get_last(a->det, &r) ? r.test_stat : 0.0;
}

VX_API uint64_t carrier_acq_state_bytes(const carrier_acq *a)
{
    return VX_STATE_HEADER_BYTES + PAYLOAD_FIXED + psd_state_bytes(a->est) + detector_state_bytes(a->det) +
           a->n * sizeof(vx_cf32);
}

VX_API void carrier_acq_get_state(const carrier_acq *a, void *out)
{
    vx::BlobWriter w(out, VX_MAGIC_CARRIER_ACQ, VX_VERSION_CARRIER_ACQ, carrier_acq_state_bytes(a));
    w.put(a->nfft).put(a->dwell_target).put(a->max_n_blocks).put(a->n_blocks).put(a->ready).put(a->residual_hz)
        .put(a->fill);
    uint8_t *p = w.cursor();
    w.zeros(psd_state_bytes(a->est));
    psd_get_state(a->est, p);
    p = w.cursor();
    w.zeros(detector_state_bytes(a->det));
    detector_get_state(a->det, p);
    // Only the filled part of the open block: what lies past it is stale.
    w.put_bytes(a->partial, a->fill * sizeof(vx_cf32));
    w.zeros((a->n - a->fill) * sizeof(vx_cf32));
}

VX_API int carrier_acq_set_state(carrier_acq *a, const void *blob)
{
    if (!a || vx_state_check_header(blob, VX_MAGIC_CARRIER_ACQ, VX_VERSION_CARRIER_ACQ,
                                    carrier_acq_state_bytes(a)) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    const uint64_t nfft = r.get<uint64_t>(), dwell = r.get<uint64_t>(), cap = r.get<uint64_t>();
    const uint64_t n_blocks = r.get<uint64_t>(), ready = r.get<uint64_t>();
    const double residual = r.get<double>();
    const uint64_t fill = r.get<uint64_t>();
    if (nfft != a->nfft || dwell != a->dwell_target || cap != a->max_n_blocks || ready > 1 || fill > a->n)
        return VX_ERR_INVALID;
    const uint8_t *psd_blob = r.cursor();
    const uint8_t *det_blob = psd_blob + psd_state_bytes(a->est);
    const uint8_t *partial = det_blob + detector_state_bytes(a->det);
    // Both nested blobs are checked before either is written: the PSD blob is its header
    // and its accumulator's header (what psd_set_state checks), so it is checked here
    // first; the detector checks its own blob before writing.
    const uint64_t lp = psd_state_bytes(a->est);
    if (vx_state_check_header(psd_blob, VX_MAGIC_PSD, VX_VERSION_PSD, lp) != VX_OK ||
        vx_state_check_header(psd_blob + VX_STATE_HEADER_BYTES, VX_MAGIC_ACC_TRACE, VX_VERSION_ACC_TRACE,
                              lp - VX_STATE_HEADER_BYTES) != VX_OK ||
        detector_set_state(a->det, det_blob) != VX_OK || psd_set_state(a->est, psd_blob) != VX_OK)
        return VX_ERR_INVALID;
    a->n_blocks = n_blocks;
    a->ready = ready;
    a->residual_hz = residual;
    a->fill = fill;
    std::memcpy(a->partial, partial, a->n * sizeof(vx_cf32));
    return VX_OK;
}

}  // extern "C"
