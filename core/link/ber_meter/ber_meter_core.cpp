#include "ber_meter.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "detstat.h"
#include "vx_blob.hpp"
#include "vx_kernel.hpp"

struct ber_meter {
    uint32_t m;
    uint32_t bits_per_symbol;
    uint64_t target_errors;
    double conf;
    uint8_t *truth;  // owned, truth_len indices < m
    uint64_t truth_len;
    uint64_t errors, symbols, bit_errors, bits, skipped, bursts;
    ber_align alignment;
    uint64_t t0, n_marker, period;
};

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double PI = 3.14159265358979323846;
constexpr double TWO_PI = 6.28318530717958647692;
constexpr int64_t MAX_LAGS = 2 * BER_LAG_SPAN_MAX + 1;
constexpr int64_t PEAK_GUARD = 3;      // lags either side of the peak kept out of the noise
constexpr int64_t MIN_NOISE_LAGS = 8;
constexpr double UNAMBIGUOUS_DB = 0.3;  // peak over the runner-up needed for a unique lag

bool valid_m(uint32_t m) { return m == 2 || m == 4 || m == 8; }
uint32_t bits_for(uint32_t m) { return m == 2 ? 1 : (m == 4 ? 2 : 3); }
double theta0(uint32_t m) { return m == 4 ? 0.25 * PI : 0.0; }
bool level_ok(double conf) { return conf > 0.0 && conf < 1.0; }

ber_align failed()
{
    ber_align a{};
    a.threshold = INF;
    a.margin_db = -INF;
    return a;
}

// Wrap into (-pi, pi].
double wrap(double x)
{
    x = std::remainder(x, TWO_PI);
    return x <= -PI ? x + TWO_PI : x;
}

struct cplx {
    double re, im;
};

// The marker geometry of one detection, every bound checked subtractively so that no
// sum or product of caller values can wrap.
struct Marker {
    int64_t rx_len;     // the received stream, as a signed length
    uint64_t t0, len, period, occurrences;
    const uint8_t *truth;
    const cplx *ref;    // conjugate reference phasor of each symbol index

    // Received start of occurrence k at lag `lag` (truth index t0 + k*period - lag), or -1
    // when that window does not lie inside rx. k*period < truth_len is known.
    int64_t rx_start(uint64_t k, int64_t lag) const
    {
        const int64_t t = static_cast<int64_t>(t0 + k * period);
        const int64_t s = t - lag;
        if (s < 0 || s > rx_len - static_cast<int64_t>(len))
            return -1;
        return s;
    }
    cplx correlate(const vx_cf32 *rx, uint64_t k, int64_t start) const
    {
        const uint8_t *tr = truth + t0 + k * period;
        const vx_cf32 *x = rx + start;
        double re = 0.0, im = 0.0;
        for (uint64_t j = 0; j < len; ++j) {
            const cplx r = ref[tr[j]];
            re += static_cast<double>(x[j].re) * r.re - static_cast<double>(x[j].im) * r.im;
            im += static_cast<double>(x[j].re) * r.im + static_cast<double>(x[j].im) * r.re;
        }
        return {re, im};
    }
};

double power(cplx c) { return c.re * c.re + c.im * c.im; }

// Decision of one received symbol: round((arg(y) - (theta0 + phase))*m/(2 pi)) half away
// from zero, reduced to 0..m-1. The sector of y rotated by -(theta0 + phase) decides
// directly; a point within 1e-9 rad of a sector edge (or at the origin, or non-finite)
// takes the formula itself, so the result is the formula's everywhere.
struct Decider {
    uint32_t m;
    double psi;           // theta0 + phase
    double cr, ci;        // e^{-j psi} * e^{j pi/m}: sector edges onto the axes (and diagonals)

    Decider(uint32_t m_, double phase) : m(m_), psi(theta0(m_) + phase)
    {
        const double a = -psi + PI / m_;
        cr = std::cos(a);
        ci = std::sin(a);
    }
    uint32_t formula(double re, double im) const
    {
        const double d = std::round((std::atan2(im, re) - psi) * m / TWO_PI);
        const int64_t k = static_cast<int64_t>(d) % static_cast<int64_t>(m);  // |d| <= 2m
        return static_cast<uint32_t>(k < 0 ? k + m : k);
    }
};

constexpr int DECIDE_CHUNK = 256;

// Sector of each of n symbols, and whether it lies clear of every sector edge: v = y times
// (cr + j ci) lies in sector floor(arg(v)*m/(2 pi)) of [0, 2 pi). Branch-free so that each
// clone vectorises it; NaN and infinities fail the clearance test.
VX_KERNEL void decide_sectors(const vx_cf32 *x, int n, uint32_t m, double cr, double ci,
                              uint8_t *sector, uint8_t *clear)
{
    for (int j = 0; j < n; ++j) {
        const double re = x[j].re, im = x[j].im;
        const double vr = re * cr - im * ci, vi = re * ci + im * cr;
        const double ar = std::fabs(vr), ai = std::fabs(vi);
        const double margin = 1e-9 * (ar + ai);
        const uint32_t below = vi < 0.0, left = vr < 0.0;
        const uint32_t quadrant = 2 * below + (below ^ left);  // counter-clockwise from +re
        // Within an even quadrant the first octant is the one below the diagonal, within
        // an odd one the one above it.
        const uint32_t octant = 2 * quadrant + ((quadrant & 1) ^ static_cast<uint32_t>(ai > ar));
        const uint32_t ok = static_cast<uint32_t>(ar > margin) & static_cast<uint32_t>(ai > margin) &
                            (static_cast<uint32_t>(m != 8) | static_cast<uint32_t>(std::fabs(ar - ai) > margin)) &
                            static_cast<uint32_t>(margin < INF);
        sector[j] = static_cast<uint8_t>(m == 2 ? below : (m == 4 ? quadrant : octant));
        clear[j] = static_cast<uint8_t>(ok);
    }
}

// Symbol errors and Gray-coded bit errors of n decisions against the truth (integer
// counts: any lane order gives the same sums).
VX_KERNEL void count_errors(const uint8_t *d, const uint8_t *want, int n, uint64_t *errors,
                            uint64_t *bit_errors)
{
    uint32_t e = 0, b = 0;
    for (int j = 0; j < n; ++j) {
        const uint32_t x = (d[j] ^ (d[j] >> 1)) ^ (want[j] ^ (want[j] >> 1));
        e += d[j] != want[j];
        b += (x & 1) + ((x >> 1) & 1) + ((x >> 2) & 1);
    }
    *errors += e;
    *bit_errors += b;
}

ber_interval interval(uint64_t r, uint64_t n, double conf, bool stopped)
{
    if (!level_ok(conf))
        conf = BER_CONF;
    const double g = 1.0 - conf;
    ber_interval iv{};
    iv.conf = conf;
    iv.errors = r;
    iv.symbols = n;
    if (n == 0) {
        iv.p_hat = std::numeric_limits<double>::quiet_NaN();
        iv.hi = INF;
        iv.rel = INF;
        return iv;
    }
    const double N = static_cast<double>(n);
    // Gamma(k) quantiles through the non-coherent threshold: Q_k(0, eta) = P(G > eta^2/2).
    auto gamma_isf = [](double p, uint64_t k) {
        const int looks = k > INT_MAX ? INT_MAX : static_cast<int>(k);
        const double eta = det_threshold_noncoherent(p, looks);
        return 0.5 * eta * eta;
    };
    if (r == 0) {
        iv.hi = -std::log(0.5 * g) / N;  // the Gamma(1) quantile
        iv.rel = INF;
        return iv;
    }
    const bool use_stop = stopped;  // r > 0 here
    iv.lo = gamma_isf(1.0 - 0.5 * g, r) / N;
    iv.hi = gamma_isf(0.5 * g, use_stop ? r : r + 1) / N;
    iv.rel = 1.0 / std::sqrt(static_cast<double>(r));
    if (use_stop)
        iv.p_hat = (r == 1 || n == 1) ? static_cast<double>(r) / N
                                      : static_cast<double>(r - 1) / (N - 1.0);
    else
        iv.p_hat = static_cast<double>(r) / N;
    return iv;
}

}  // namespace

extern "C" {

VX_API ber_meter *ber_meter_create(uint32_t m, uint64_t target_errors, double conf)
{
    if (!valid_m(m) || !(conf == 0.0 || level_ok(conf)))
        return nullptr;
    ber_meter *bm = vx::alloc_object<ber_meter>();
    if (!bm)
        return nullptr;
    bm->m = m;
    bm->bits_per_symbol = bits_for(m);
    bm->target_errors = target_errors ? target_errors : BER_TARGET_ERRORS;
    bm->conf = conf == 0.0 ? BER_CONF : conf;
    bm->alignment = failed();
    bm->n_marker = BER_SYNC_SYMS;
    return bm;
}

VX_API void ber_meter_destroy(ber_meter *bm)
{
    if (!bm)
        return;
    vx_free(bm->truth);
    vx_free(bm);
}

VX_API void ber_meter_reset(ber_meter *bm)
{
    bm->errors = bm->symbols = bm->bit_errors = bm->bits = bm->skipped = bm->bursts = 0;
}

VX_API int ber_meter_set_truth(ber_meter *bm, const uint8_t *truth, uint64_t len)
{
    if (!bm || !truth || len == 0)
        return VX_ERR_INVALID;
    for (uint64_t i = 0; i < len; ++i)
        if (truth[i] >= bm->m)
            return VX_ERR_INVALID;
    auto *copy = static_cast<uint8_t *>(vx_calloc(len, 1));
    if (!copy)
        return VX_ERR_INVALID;
    std::memcpy(copy, truth, len);
    vx_free(bm->truth);
    bm->truth = copy;
    bm->truth_len = len;
    return VX_OK;
}

VX_API uint64_t ber_meter_get_truth(const ber_meter *bm, uint8_t *out, uint64_t cap)
{
    const uint64_t k = bm->truth_len < cap ? bm->truth_len : cap;
    if (k)
        std::memcpy(out, bm->truth, k);
    return k;
}

VX_API uint64_t ber_meter_get_truth_len(const ber_meter *bm) { return bm->truth_len; }

VX_API ber_align ber_align_detect(const vx_cf32 *rx, uint64_t rx_len, const uint8_t *truth,
                                  uint64_t truth_len, uint32_t m, double pfa, uint64_t t0,
                                  uint64_t n_marker, uint64_t period, int64_t lag_span)
{
    const int64_t span = lag_span <= 0 ? BER_LAG_SPAN : (lag_span > BER_LAG_SPAN_MAX ? BER_LAG_SPAN_MAX : lag_span);
    if (n_marker == 0)
        n_marker = BER_SYNC_SYMS;
    if (!(pfa > 0.0 && pfa < 1.0))
        pfa = 1e-6;
    if (!valid_m(m) || !rx || rx_len == 0 || !truth || n_marker < 8 || n_marker > truth_len ||
        t0 > truth_len - n_marker || rx_len > static_cast<uint64_t>(INT64_MAX) || n_marker > rx_len)
        return failed();

    // Occurrences: as many periods as the received stream holds past the span, and no
    // more than the truth holds.
    uint64_t occ = 1;
    const uint64_t uspan = static_cast<uint64_t>(span);
    if (period >= n_marker && uspan < rx_len && t0 < rx_len - uspan && n_marker < rx_len - uspan - t0) {
        occ = (rx_len - uspan - t0 - n_marker) / period + 1;
        const uint64_t in_truth = (truth_len - n_marker - t0) / period + 1;
        if (in_truth < occ)
            occ = in_truth;
    }

    cplx ref[8];
    for (uint32_t s = 0; s < m; ++s) {
        const double a = TWO_PI * s / m + theta0(m);
        ref[s] = {std::cos(a), -std::sin(a)};
    }
    const Marker mk{static_cast<int64_t>(rx_len), t0, n_marker, period, occ, truth, ref};

    // Per lag: power summed over the valid occurrences (-1 when none), their count, and
    // the phasor of the strongest one. Fixed tables for the largest span.
    double pow_tab[MAX_LAGS];
    uint64_t cnt_tab[MAX_LAGS];
    cplx best_tab[MAX_LAGS];
    const int64_t n_lags = 2 * span + 1;
    int64_t best = -1;
    for (int64_t li = 0; li < n_lags; ++li) {
        const int64_t lag = li - span;
        double sum = 0.0, strongest = -1.0;
        uint64_t count = 0;
        cplx ph{0.0, 0.0};
        for (uint64_t k = 0; k < occ; ++k) {
            const int64_t start = mk.rx_start(k, lag);
            if (start < 0)
                continue;
            const cplx c = mk.correlate(rx, k, start);
            const double p = power(c);
            sum += p;
            ++count;
            if (p > strongest) {
                strongest = p;
                ph = c;
            }
        }
        pow_tab[li] = count ? sum : -1.0;
        cnt_tab[li] = count;
        best_tab[li] = ph;
        if (count && (best < 0 || pow_tab[li] / count > pow_tab[best] / cnt_tab[best]))
            best = li;
    }
    if (best < 0)
        return failed();

    // Noise: every lag off the peak, per occurrence, so lags at the edges of rx that see
    // fewer occurrences weigh alike.
    double noise_sum = 0.0, runner = -1.0;
    int64_t noise_lags = 0;
    for (int64_t li = 0; li < n_lags; ++li) {
        if (cnt_tab[li] == 0 || (li >= best - PEAK_GUARD && li <= best + PEAK_GUARD))
            continue;
        const double p = pow_tab[li] / cnt_tab[li];
        if (!(p >= 0.0))
            continue;  // NaN from a non-finite sample measures nothing
        noise_sum += p;
        ++noise_lags;
        if (p > runner)
            runner = p;
    }
    const double noise_mean = noise_lags ? noise_sum / noise_lags : 0.0;
    const double peak = pow_tab[best];
    if (noise_lags < MIN_NOISE_LAGS || !(noise_mean > 0.0) || !std::isfinite(noise_mean) ||
        !std::isfinite(peak))
        return failed();

    ber_align a{};
    a.occurrences = cnt_tab[best];
    a.lag = best - span;
    a.stat = std::sqrt(2.0 * peak / noise_mean);
    const int looks = a.occurrences > INT_MAX ? INT_MAX : static_cast<int>(a.occurrences);
    a.threshold = det_threshold_noncoherent(pfa / static_cast<double>(n_lags), looks);
    a.margin_db = 20.0 * std::log10(a.stat / a.threshold);
    a.runner_db = runner > 0.0 ? 10.0 * std::log10(peak / a.occurrences / runner) : INF;
    a.phase = std::atan2(best_tab[best].im, best_tab[best].re);
    a.saturated = best == 0 || best == n_lags - 1;

    for (uint64_t k = 0; k < occ; ++k) {
        const int64_t start = mk.rx_start(k, a.lag);
        if (start < 0)
            continue;
        const cplx c = mk.correlate(rx, k, start);
        if (std::fabs(wrap(std::atan2(c.im, c.re) - a.phase)) > PI / m)
            ++a.slips;
    }
    a.ok = a.stat >= a.threshold && !a.saturated && a.runner_db >= UNAMBIGUOUS_DB;
    return a;
}

VX_API ber_align ber_meter_detect(const ber_meter *bm, const vx_cf32 *rx, uint64_t rx_len,
                                  uint64_t t0, uint64_t n_marker, uint64_t period, double pfa,
                                  int64_t lag_span)
{
    return ber_align_detect(rx, rx_len, bm->truth, bm->truth_len, bm->m, pfa, t0, n_marker,
                            period, lag_span);
}

VX_API int ber_meter_align(ber_meter *bm, const vx_cf32 *rx, uint64_t rx_len, uint64_t t0,
                           uint64_t n_marker, uint64_t period, double pfa, int64_t lag_span)
{
    bm->alignment = ber_meter_detect(bm, rx, rx_len, t0, n_marker, period, pfa, lag_span);
    bm->t0 = t0;
    bm->n_marker = n_marker ? n_marker : BER_SYNC_SYMS;
    bm->period = period;
    return bm->alignment.ok;
}

VX_API int ber_meter_set_align(ber_meter *bm, uint64_t t0, uint64_t n_marker, uint64_t period,
                               const ber_align *record)
{
    if (!bm || !record || record->lag < -BER_LAG_SPAN_MAX || record->lag > BER_LAG_SPAN_MAX ||
        !std::isfinite(record->phase))
        return VX_ERR_INVALID;
    bm->alignment = *record;
    bm->alignment.ok = record->ok != 0;
    bm->alignment.saturated = record->saturated != 0;
    bm->t0 = t0;
    bm->n_marker = n_marker ? n_marker : BER_SYNC_SYMS;
    bm->period = period;
    return VX_OK;
}

// Score rx[T - lag] against truth[T] for T in [tb, te), none of them on a marker.
static void score_run(ber_meter *bm, const vx_cf32 *rx, const Decider &dec, uint64_t tb,
                      uint64_t te, int64_t lag)
{
    const uint8_t *truth = bm->truth;
    const uint32_t bps = bm->bits_per_symbol;
    const vx_cf32 *x = rx + (static_cast<int64_t>(tb) - lag);
    uint64_t errors = 0, bit_errors = 0;
    uint8_t sector[DECIDE_CHUNK], clear[DECIDE_CHUNK];
    for (uint64_t T = tb; T < te;) {
        const int n = te - T < DECIDE_CHUNK ? static_cast<int>(te - T) : DECIDE_CHUNK;
        const uint8_t *want = truth + T;
        decide_sectors(x, n, dec.m, dec.cr, dec.ci, sector, clear);
        for (int j = 0; j < n; ++j) {
            if (clear[j])
                continue;
            const double re = x[j].re, im = x[j].im;
            if (vx_finite(re) && vx_finite(im)) {
                sector[j] = static_cast<uint8_t>(dec.formula(re, im));
            } else {
                ++errors;  // no decision: a symbol error with every bit wrong
                bit_errors += bps;
                sector[j] = want[j];
            }
        }
        count_errors(sector, want, n, &errors, &bit_errors);
        T += n;
        x += n;
    }
    bm->errors += errors;
    bm->bit_errors += bit_errors;
}

VX_API uint64_t ber_meter_score(ber_meter *bm, const vx_cf32 *rx, uint64_t rx_len, uint64_t lo,
                                uint64_t hi)
{
    if (!bm->alignment.ok || !bm->truth || !rx || rx_len > static_cast<uint64_t>(INT64_MAX))
        return 0;
    const uint64_t end = hi < rx_len ? hi : rx_len;
    if (lo >= end)
        return 0;
    // Received [lo, end) carries truth [lo + lag, end + lag); the part outside the truth is
    // skipped. |lag| <= BER_LAG_SPAN_MAX and end <= INT64_MAX, so nothing here wraps.
    const int64_t lag = bm->alignment.lag;
    const int64_t tlen = bm->truth_len > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                                                           : static_cast<int64_t>(bm->truth_len);
    int64_t a = static_cast<int64_t>(lo) + lag, b = static_cast<int64_t>(end) + lag;
    a = a < 0 ? 0 : (a > tlen ? tlen : a);
    b = b < a ? a : (b > tlen ? tlen : b);
    uint64_t skipped = (end - lo) - static_cast<uint64_t>(b - a), scored = 0;

    // Walk the truth range in stretches that are wholly on or wholly off a marker.
    const uint64_t t0 = bm->t0, nm = bm->n_marker, period = bm->period;
    const uint64_t occ = bm->alignment.occurrences;
    const Decider decide(bm->m, bm->alignment.phase);
    uint64_t T = static_cast<uint64_t>(a);
    const uint64_t te = static_cast<uint64_t>(b);
    while (T < te) {
        const uint64_t left = te - T;
        uint64_t run = left;
        bool on_marker = false;
        if (T < t0) {
            run = t0 - T < left ? t0 - T : left;
        } else {
            const uint64_t off = T - t0;
            if (period == 0) {
                if (off < nm) {
                    on_marker = true;
                    run = nm - off < left ? nm - off : left;
                }
            } else if (off / period < occ) {
                const uint64_t r = off % period;
                on_marker = r < nm;
                const uint64_t to = on_marker ? nm - r : period - r;
                run = to < left ? to : left;
            }
        }
        if (on_marker) {
            skipped += run;
        } else {
            score_run(bm, rx, decide, T, T + run, lag);
            scored += run;
        }
        T += run;
    }
    bm->symbols += scored;
    bm->bits += scored * bm->bits_per_symbol;
    bm->skipped += skipped;
    bm->bursts += scored != 0;
    return scored;
}

VX_API ber_interval ber_confidence(uint64_t errors, uint64_t trials, double conf)
{
    return interval(errors, trials, conf, false);
}

VX_API ber_interval ber_confidence_stopped(uint64_t errors, uint64_t trials, double conf)
{
    return interval(errors, trials, conf, errors > 0);
}

VX_API ber_interval ber_meter_interval(const ber_meter *bm, uint64_t errors, uint64_t trials)
{
    return ber_confidence(errors, trials, bm->conf);
}

VX_API ber_interval ber_meter_ser(const ber_meter *bm)
{
    return ber_meter_get_enough(bm) ? ber_confidence_stopped(bm->errors, bm->symbols, bm->conf)
                                    : ber_confidence(bm->errors, bm->symbols, bm->conf);
}

VX_API ber_interval ber_meter_ber(const ber_meter *bm)
{
    return ber_confidence(bm->bit_errors, bm->bits, bm->conf);
}

VX_API uint64_t ber_meter_get_errors(const ber_meter *bm) { return bm->errors; }
VX_API uint64_t ber_meter_get_symbols(const ber_meter *bm) { return bm->symbols; }
VX_API uint64_t ber_meter_get_bit_errors(const ber_meter *bm) { return bm->bit_errors; }
VX_API uint64_t ber_meter_get_bits(const ber_meter *bm) { return bm->bits; }
VX_API uint64_t ber_meter_get_skipped(const ber_meter *bm) { return bm->skipped; }
VX_API uint64_t ber_meter_get_bursts(const ber_meter *bm) { return bm->bursts; }
VX_API uint32_t ber_meter_get_m(const ber_meter *bm) { return bm->m; }
VX_API uint64_t ber_meter_get_target_errors(const ber_meter *bm) { return bm->target_errors; }
VX_API double ber_meter_get_conf(const ber_meter *bm) { return bm->conf; }
VX_API int ber_meter_get_enough(const ber_meter *bm) { return bm->errors >= bm->target_errors; }
VX_API int64_t ber_meter_get_lag(const ber_meter *bm) { return bm->alignment.lag; }
VX_API double ber_meter_get_phase(const ber_meter *bm) { return bm->alignment.phase; }
VX_API double ber_meter_get_align_stat(const ber_meter *bm) { return bm->alignment.stat; }
VX_API double ber_meter_get_align_margin_db(const ber_meter *bm) { return bm->alignment.margin_db; }
VX_API double ber_meter_get_align_runner_db(const ber_meter *bm) { return bm->alignment.runner_db; }
VX_API uint64_t ber_meter_get_align_occurrences(const ber_meter *bm) { return bm->alignment.occurrences; }
VX_API uint64_t ber_meter_get_align_slips(const ber_meter *bm) { return bm->alignment.slips; }
VX_API int ber_meter_get_align_saturated(const ber_meter *bm) { return bm->alignment.saturated; }
VX_API int ber_meter_get_align_ok(const ber_meter *bm) { return bm->alignment.ok; }
VX_API ber_align ber_meter_get_align(const ber_meter *bm) { return bm->alignment; }

VX_API uint64_t ber_meter_state_bytes(const ber_meter *) { return BER_METER_STATE_BYTES; }

VX_API void ber_meter_get_state(const ber_meter *bm, void *out)
{
    const ber_align &a = bm->alignment;
    vx::BlobWriter(out, VX_MAGIC_BER_METER, VX_VERSION_BER_METER, BER_METER_STATE_BYTES)
        .put(bm->errors).put(bm->symbols).put(bm->bit_errors).put(bm->bits).put(bm->skipped)
        .put(bm->bursts).put(bm->t0).put(bm->n_marker).put(bm->period).put(a.lag).put(a.phase)
        .put(a.stat).put(a.threshold).put(a.margin_db).put(a.runner_db).put(a.occurrences)
        .put(a.slips).put(static_cast<uint32_t>(a.saturated)).put(static_cast<uint32_t>(a.ok));
}

VX_API int ber_meter_set_state(ber_meter *bm, const void *blob)
{
    if (!bm || vx_state_check_header(blob, VX_MAGIC_BER_METER, VX_VERSION_BER_METER,
                                     BER_METER_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    uint64_t errors, symbols, bit_errors, bits, skipped, bursts, t0, n_marker, period;
    ber_align a;
    uint32_t saturated, ok;
    vx::BlobReader(blob).get(errors).get(symbols).get(bit_errors).get(bits).get(skipped).get(bursts)
        .get(t0).get(n_marker).get(period).get(a.lag).get(a.phase).get(a.stat).get(a.threshold)
        .get(a.margin_db).get(a.runner_db).get(a.occurrences).get(a.slips).get(saturated).get(ok);
    // Counts a meter of this m can reach: no more errors than trials, every symbol's bits
    // counted, at most one burst per symbol.
    uint64_t want_bits;
    // No run reaches 2^62 symbols; a blob that claims them could count past 2^64 and wrap.
    if (errors > symbols || bit_errors > bits || bursts > symbols || symbols >= uint64_t{1} << 62 ||
        skipped >= uint64_t{1} << 62 ||
        __builtin_mul_overflow(symbols, uint64_t{bm->bits_per_symbol}, &want_bits) || want_bits != bits)
        return VX_ERR_INVALID;
    // The alignment as ber_meter_set_align would take it.
    if (a.lag < -BER_LAG_SPAN_MAX || a.lag > BER_LAG_SPAN_MAX || !std::isfinite(a.phase) || n_marker == 0 ||
        !vx::is_flag(saturated) || !vx::is_flag(ok))
        return VX_ERR_INVALID;
    a.saturated = static_cast<int32_t>(saturated);
    a.ok = static_cast<int32_t>(ok);
    bm->errors = errors;
    bm->symbols = symbols;
    bm->bit_errors = bit_errors;
    bm->bits = bits;
    bm->skipped = skipped;
    bm->bursts = bursts;
    bm->t0 = t0;
    bm->n_marker = n_marker;
    bm->period = period;
    bm->alignment = a;
    return VX_OK;
}

}  // extern "C"
