#include "psd.h"

#include <cmath>

#include "acc_trace.h"
#include "fft.h"
#include "specmeas.h"
#include "vx_blob.hpp"
#include "window.h"

struct psd {
    fft *engine;          // forward, length nfft
    acc_trace *trace;     // the running reduction, nfft bins
    float *window;        // n coefficients
    vx_cf32 *frame;       // windowed frame; bins n..nfft-1 stay zero
    vx_cf32 *spectrum;    // transform output
    float *power;         // DC-centred |X|² of a frame; also the read-out of the trace
    float *db_scratch;    // dB trace for the noise floor, SNR and SFDR
    double sum_w, sum_w2, enbw;
    uint64_t n, nfft, pad, bits;
    double fs, full_scale;
    unsigned window_kind;
    float beta;
};

namespace {

constexpr double DB_FLOOR = 1e-20;
constexpr uint64_t SFDR_PEAKS = 16;

double db_of(double v) { return 10.0 * std::log10(v < DB_FLOOR ? DB_FLOOR : v); }  // NaN stays NaN

// The reduced trace as float into p->power; false before the first frame.
bool read_trace(psd *p) { return acc_trace_value(p->trace, 1, p->power, p->nfft) != 0; }

uint64_t min_u(uint64_t a, uint64_t b) { return a < b ? a : b; }

// dB trace of the current reduction (read_trace done) into out[0..k).
void db_trace(const psd *p, float *out, uint64_t k)
{
    const double ref = p->sum_w * p->full_scale;
    const double ref2 = ref * ref;
    for (uint64_t i = 0; i < k; ++i)
        out[i] = static_cast<float>(db_of(p->power[i] / ref2));
}

// The bins of band (a, b) [Hz], clamped to the spectrum; false when the band lies
// outside it or an edge is NaN. Bin of f = round(f·nfft/fs + nfft/2), halves away from 0.
bool band_bins(const psd *p, double a, double b, uint64_t *lo, uint64_t *hi)
{
    if (std::isnan(a) || std::isnan(b))
        return false;
    const double nf = static_cast<double>(p->nfft);
    auto bin = [&](double f) { return std::round(f * nf / p->fs + static_cast<double>(p->nfft / 2)); };
    const double h = bin(a > b ? a : b), l = bin(a > b ? b : a);
    if (!(h >= 0.0) || !(l < nf))  // also a NaN from an infinite edge times 0
        return false;
    const double hc = h > nf - 1.0 ? nf - 1.0 : h, lc = l < 0.0 ? 0.0 : l;
    if (hc < lc)
        return false;
    *lo = static_cast<uint64_t>(lc);
    *hi = static_cast<uint64_t>(hc);
    return true;
}

// Linear power of one band from the current reduction, or a negative value when empty.
double band_linear(const psd *p, double a, double b)
{
    uint64_t lo, hi;
    if (!band_bins(p, a, b, &lo, &hi))
        return -1.0;
    double s = 0.0;
    for (uint64_t k = lo; k <= hi; ++k)
        s += p->power[k];
    return s / (p->full_scale * p->full_scale * static_cast<double>(p->nfft) * p->sum_w2);
}

template <class T, class Load> uint64_t accumulate(psd *p, const T *x, uint64_t len, Load load)
{
    if (!p || !x)
        return 0;
    const uint64_t frames = len / p->n, half = p->nfft / 2;
    for (uint64_t f = 0; f < frames; ++f) {
        const T *xf = x + f * p->n;
        for (uint64_t k = 0; k < p->n; ++k)
            p->frame[k] = load(xf[k], p->window[k]);
        fft_execute_cf32(p->engine, p->frame, p->nfft, p->spectrum, p->nfft);
        for (uint64_t k = 0; k < p->nfft; ++k) {
            const vx_cf32 v = p->spectrum[k];
            p->power[(k + half) % p->nfft] = v.re * v.re + v.im * v.im;
        }
        acc_trace_accumulate(p->trace, p->power, p->nfft);
    }
    return frames;
}

}  // namespace

extern "C" {

VX_API psd *psd_create(uint64_t n, unsigned window, uint64_t pad, uint64_t bits, unsigned mode, double fs,
                       float beta, double full_scale, double alpha)
{
    if (n < 2 || window > PSD_WINDOW_BLACKMAN_HARRIS || mode > ACC_TRACE_MINHOLD || bits > 64 ||
        !(vx_finite(fs) && fs > 0.0))
        return nullptr;
    if (bits > 0)
        full_scale = std::ldexp(1.0, static_cast<int>(bits) - 1);
    if (!(vx_finite(full_scale) && full_scale > 0.0))
        return nullptr;
    if (pad == 0)
        pad = 1;
    uint64_t span;
    if (!vx_size_mul(n, pad, &span) || span > PSD_MAX_NFFT)
        return nullptr;
    uint64_t nfft = 2;
    while (nfft < span)  // bounded: span <= PSD_MAX_NFFT
        nfft <<= 1;

    psd *p = vx::alloc_object<psd>();
    if (!p)
        return nullptr;
    p->n = n;
    p->nfft = nfft;
    p->pad = pad;
    p->bits = bits;
    p->fs = fs;
    p->full_scale = full_scale;
    p->window_kind = window;
    p->beta = beta;
    p->window = static_cast<float *>(vx_calloc(n, sizeof(float)));
    p->frame = static_cast<vx_cf32 *>(vx_calloc(nfft, sizeof(vx_cf32)));
    p->spectrum = static_cast<vx_cf32 *>(vx_calloc(nfft, sizeof(vx_cf32)));
    p->power = static_cast<float *>(vx_calloc(nfft, sizeof(float)));
    p->db_scratch = static_cast<float *>(vx_calloc(nfft, sizeof(float)));
    p->engine = fft_create(nfft, -1, 1);
    p->trace = acc_trace_create(nfft, mode, alpha);
    if (!p->window || !p->frame || !p->spectrum || !p->power || !p->db_scratch || !p->engine || !p->trace) {
        psd_destroy(p);
        return nullptr;
    }
    switch (window) {
    case PSD_WINDOW_HANN: hann_window(p->window, n); break;
    case PSD_WINDOW_KAISER: kaiser_window(p->window, n, beta); break;
    default: blackman_harris_window(p->window, n); break;
    }
    for (uint64_t k = 0; k < n; ++k) {
        p->sum_w += p->window[k];
        p->sum_w2 += static_cast<double>(p->window[k]) * p->window[k];
    }
    // Every calibration divides by these: a window without a positive, finite sum (Hann
    // of length 2, a Kaiser beta that overflows) measures nothing.
    if (!(vx_finite(p->sum_w) && p->sum_w > 0.0 && vx_finite(p->sum_w2) && p->sum_w2 > 0.0)) {
        psd_destroy(p);
        return nullptr;
    }
    p->enbw = static_cast<double>(n) * p->sum_w2 / (p->sum_w * p->sum_w);
    return p;
}

VX_API void psd_destroy(psd *p)
{
    if (!p)
        return;
    fft_destroy(p->engine);
    acc_trace_destroy(p->trace);
    vx_free(p->window);
    vx_free(p->frame);
    vx_free(p->spectrum);
    vx_free(p->power);
    vx_free(p->db_scratch);
    vx_free(p);
}

VX_API void psd_reset(psd *p) { acc_trace_reset(p->trace); }

VX_API uint64_t psd_accumulate(psd *p, const vx_cf32 *x, uint64_t len)
{
    return accumulate(p, x, len, [](vx_cf32 v, float w) { return vx_cf32{v.re * w, v.im * w}; });
}

VX_API uint64_t psd_accumulate_real(psd *p, const float *x, uint64_t len)
{
    return accumulate(p, x, len, [](float v, float w) { return vx_cf32{v * w, 0.0f}; });
}

VX_API uint64_t psd_power_twosided(psd *p, float *out, uint64_t cap)
{
    if (!out || !read_trace(p))
        return 0;
    const uint64_t k = min_u(cap, p->nfft);
    const double s2 = p->sum_w * p->sum_w;
    for (uint64_t i = 0; i < k; ++i)
        out[i] = static_cast<float>(p->power[i] / s2);
    return k;
}
VX_API uint64_t psd_power_twosided_max_out(const psd *p) { return p->nfft; }

VX_API uint64_t psd_power_onesided(psd *p, float *out, uint64_t cap)
{
    if (!out || !read_trace(p))
        return 0;
    const uint64_t c = p->nfft / 2, m = min_u(cap, c + 1);
    const double s2 = p->sum_w * p->sum_w;
    const float *t = p->power;
    if (m > 0)
        out[0] = static_cast<float>(t[c] / s2);
    for (uint64_t i = 1; i < min_u(m, c); ++i)
        out[i] = static_cast<float>((static_cast<double>(t[c + i]) + t[c - i]) / s2);
    if (m == c + 1)
        out[c] = static_cast<float>(t[0] / s2);  // -fs/2 has no mirror image
    return m;
}
VX_API uint64_t psd_power_onesided_max_out(const psd *p) { return p->nfft / 2 + 1; }

VX_API uint64_t psd_psd_db(psd *p, float *out, uint64_t cap)
{
    if (!out || !read_trace(p))
        return 0;
    const uint64_t k = min_u(cap, p->nfft);
    db_trace(p, out, k);
    return k;
}
VX_API uint64_t psd_psd_db_max_out(const psd *p) { return p->nfft; }

VX_API uint64_t psd_psd_dbhz(psd *p, float *out, uint64_t cap)
{
    if (!out || !read_trace(p))
        return 0;
    const uint64_t k = min_u(cap, p->nfft);
    const float rbw_db = static_cast<float>(10.0 * std::log10(psd_get_rbw(p)));
    db_trace(p, out, k);
    for (uint64_t i = 0; i < k; ++i)
        out[i] -= rbw_db;
    return k;
}
VX_API uint64_t psd_psd_dbhz_max_out(const psd *p) { return p->nfft; }

VX_API uint64_t psd_band_power(psd *p, const double *bands, uint64_t len, float *out, uint64_t cap)
{
    if (!bands || !out || !read_trace(p))
        return 0;
    const uint64_t k = min_u(len / 2, cap);
    for (uint64_t i = 0; i < k; ++i) {
        const double v = band_linear(p, bands[2 * i], bands[2 * i + 1]);
        out[i] = static_cast<float>(v < 0.0 ? PSD_EMPTY_DB : db_of(v));
    }
    return k;
}
VX_API uint64_t psd_band_power_max_out(const psd *) { return 0; }

VX_API double psd_total_band_power(psd *p, const double *bands, uint64_t len)
{
    if (!bands || len < 2 || !read_trace(p))
        return PSD_EMPTY_DB;
    double sum = 0.0;
    for (uint64_t i = 0; i < len / 2; ++i) {
        const double v = band_linear(p, bands[2 * i], bands[2 * i + 1]);
        if (v >= 0.0)
            sum += v;
    }
    return db_of(sum);
}

VX_API double psd_occupied_bw(psd *p, double fraction)
{
    if (acc_trace_get_count(p->trace) == 0)
        return 0.0;
    return obw_from_power(acc_trace_data(p->trace), p->nfft, p->fs, fraction);
}

VX_API double psd_noise_floor(psd *p)
{
    if (!read_trace(p))
        return 0.0;
    db_trace(p, p->db_scratch, p->nfft);
    return noise_floor_db_inplace(p->db_scratch, p->nfft);
}

VX_API double psd_snr(psd *p, double lo_hz, double hi_hz)
{
    uint64_t lo, hi;
    if (!read_trace(p) || !band_bins(p, lo_hz, hi_hz, &lo, &hi))
        return 0.0;
    db_trace(p, p->db_scratch, p->nfft);
    float peak = p->db_scratch[lo];
    for (uint64_t k = lo + 1; k <= hi; ++k)
        peak = p->db_scratch[k] > peak ? p->db_scratch[k] : peak;
    return static_cast<double>(peak) - noise_floor_db_inplace(p->db_scratch, p->nfft);
}

VX_API double psd_sfdr(psd *p, float min_db)
{
    if (!read_trace(p))
        return 0.0;
    db_trace(p, p->db_scratch, p->nfft);
    vx_peak_t peaks[SFDR_PEAKS];
    if (find_peaks_f32(p->db_scratch, p->nfft, SFDR_PEAKS, peaks, min_db) < 2)
        return 0.0;
    return static_cast<double>(peaks[0].level) - peaks[1].level;
}

VX_API uint64_t psd_get_n(const psd *p) { return p->n; }
VX_API uint64_t psd_get_nfft(const psd *p) { return p->nfft; }
VX_API double psd_get_fs(const psd *p) { return p->fs; }
VX_API double psd_get_full_scale(const psd *p) { return p->full_scale; }
VX_API uint64_t psd_get_bits(const psd *p) { return p->bits; }
VX_API double psd_get_enbw(const psd *p) { return p->enbw; }
VX_API double psd_get_rbw(const psd *p) { return p->enbw * p->fs / static_cast<double>(p->n); }
VX_API uint64_t psd_get_count(const psd *p) { return acc_trace_get_count(p->trace); }
VX_API unsigned psd_get_mode(const psd *p) { return acc_trace_get_mode(p->trace); }
VX_API unsigned psd_get_window(const psd *p) { return p->window_kind; }
VX_API float psd_get_beta(const psd *p) { return p->beta; }
VX_API uint64_t psd_get_pad(const psd *p) { return p->pad; }
VX_API double psd_get_alpha(const psd *p) { return acc_trace_get_alpha(p->trace); }

VX_API uint64_t psd_state_bytes(const psd *p) { return VX_STATE_HEADER_BYTES + acc_trace_state_bytes(p->trace); }

VX_API void psd_get_state(const psd *p, void *out)
{
    vx::BlobWriter w(out, VX_MAGIC_PSD, VX_VERSION_PSD, psd_state_bytes(p));
    acc_trace_get_state(p->trace, w.cursor());
}

VX_API int psd_set_state(psd *p, const void *blob)
{
    if (!p || vx_state_check_header(blob, VX_MAGIC_PSD, VX_VERSION_PSD, psd_state_bytes(p)) != VX_OK)
        return VX_ERR_INVALID;
    // The nested blob checks its own header before it writes anything.
    return acc_trace_set_state(p->trace, static_cast<const uint8_t *>(blob) + VX_STATE_HEADER_BYTES);
}

}  // extern "C"
