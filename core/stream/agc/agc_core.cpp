#include "agc.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "vx_blob.hpp"
#include "vx_tlm.h"

namespace {

constexpr double kPowMax = 0x1p257;          // detector guard
constexpr double kExpLimitDb = 6159.073711285056;  // 20·log10(2^1023)

// 10^(d/20): 2^floor(t) times a 4th-order series of 2^frac(t), t = d·log2(10)/20.
double fast_exp_db(double d)
{
    if (d != d)
        return 0.0;
    if (d > kExpLimitDb)
        return 0x1p1023;
    if (d < -kExpLimitDb)
        return 0.0;
    const double t = d * 0.16609640474436813;
    // floor and ldexp by hand (|t| <= 1024, p in [1, 2)): the per-sample step calls this,
    // and the library calls cost more than the series.
    double f = static_cast<double>(static_cast<int64_t>(t));
    if (f > t)
        f -= 1.0;
    const double c = (t - f) * 0.6931471805599453;
    const double p = 1.0 + c + c * c / 2.0 + c * c * c / 6.0 + c * c * c * c / 24.0;
    const int k = static_cast<int>(f);
    if (k < -1022)
        return std::ldexp(p, k); // subnormal results round as ldexp does
    return p * std::bit_cast<double>(static_cast<uint64_t>(k + 1023) << 52);
}

float fast_exp_db_f(double d)
{
    return d > kExpLimitDb ? INFINITY : static_cast<float>(fast_exp_db(d));
}

// Instantaneous power outside [0, 2^257] (NaN included) reads as 2^257.
double guard_power(double p) { return (p >= 0.0 && p <= kPowMax) ? p : kPowMax; }

// 10·log10(p) from the exponent and a rational series of the mantissa.
double fast_level_db(double p)
{
    if (!(p >= 0.0))
        p = p < 0.0 ? 0.0 : kPowMax;
    else if (p > kPowMax)
        p = kPowMax;
    // frexp by hand: p + 1e−30 is a positive normal number.
    const uint64_t bits = std::bit_cast<uint64_t>(p + 1e-30);
    const int k = static_cast<int>(bits >> 52) - 1022;
    const double m = 2.0 * std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFu) | (uint64_t{1022} << 52));
    const double f = (m - 1.0) / (m + 1.0);
    return (static_cast<double>(k - 1) + 2.885390081777927 * f * (1.0 + f * f / 3.0)) *
           3.010299956639812;
}

// Clamp to ±c; NaN maps to 0 so every output stays bounded.
inline float clamp(float v, float c)
{
    if (v > c)
        return c;
    if (v < -c)
        return -c;
    return v == v ? v : 0.0f;
}

// Coefficient of an N-sample chunk equal to N single updates of coefficient a.
double chunk_coef(double a, uint64_t n)
{
    if (!(a > 0.0))
        return 0.0;
    if (a >= 1.0)
        return 1.0;
    if (n == 1)
        return a;
    return -std::expm1(static_cast<double>(n) * std::log1p(-a));
}

void integrate(agc *a, double level, double k)
{
    double g = a->gain_db + (a->ref_db - level) * k;
    // A loop gain that overflows (|loop_bw| near the largest double) times a zero error is
    // NaN: no error, no change, rather than an integrator that no blob can restore.
    if (g != g)
        g = a->gain_db;
    if (g > AGC_GAIN_LIMIT_DB)
        g = AGC_GAIN_LIMIT_DB;
    else if (g < -AGC_GAIN_LIMIT_DB)
        g = -AGC_GAIN_LIMIT_DB;
    a->gain_db = g;
}

void tlm_flush(agc *a, double level)
{
    if (a->tlm) {
        const float v[2] = {static_cast<float>(a->gain_db), static_cast<float>(level)};
        vx_tlm_flush(a->tlm, a->tlm_ids, v, 2);
    }
}

bool finite3(double a, double b, double c) { return vx_finite(a) && vx_finite(b) && vx_finite(c); }

uint64_t decim_of(const agc *a) { return a->decim ? a->decim : 1; }

// The blob keeps the open chunk's fill in one u64. When `decim` was changed while a chunk
// was open, the chunk's own length rides along: bit 63 set, the length in bits 32..62 and
// the fill in bits 0..31. A chunk too long for that field is closed by the change instead.
constexpr uint64_t kPendingFlag = uint64_t{1} << 63;
constexpr uint64_t kPendingMaxLen = uint64_t{1} << 31;

bool chunk_pending(const agc *a) { return a->chunk_fill && a->chunk_len != decim_of(a); }

uint64_t pack_chunk(const agc *a)
{
    return chunk_pending(a) ? kPendingFlag | a->chunk_len << 32 | a->chunk_fill : a->chunk_fill;
}

void unpack_chunk(agc &v, uint64_t word)
{
    v.chunk_len = decim_of(&v);
    v.chunk_fill = word;
    if (word & kPendingFlag) {
        v.chunk_len = (word >> 32) & (kPendingMaxLen - 1);
        v.chunk_fill = word & 0xFFFFFFFFu;
    }
}

}  // namespace

extern "C" {

VX_API double agc_db_to_lin(double d) { return fast_exp_db(d); }
VX_API double agc_level_db(double p) { return fast_level_db(p); }

VX_API agc *agc_create(double ref_db, double loop_bw, double alpha)
{
    // Non-finite parameters would poison the loop state for good.
    if (!finite3(ref_db, loop_bw, alpha))
        return nullptr;
    agc *a = vx::alloc_object<agc>();
    if (!a)
        return nullptr;
    a->ref_db = ref_db;
    a->loop_bw = loop_bw;
    a->alpha = alpha;
    a->decim = AGC_DECIM_DEFAULT;
    a->clip_db = 120.0;
    a->gain_update_period = 1;
    a->tlm_ids[0] = a->tlm_ids[1] = -1;
    agc_reset(a);
    return a;
}

VX_API void agc_destroy(agc *a)
{
    if (a)
        vx_tlm_swap(&a->tlm, nullptr);
    vx_free(a);
}

VX_API void agc_reset(agc *a)
{
    a->gain_db = 0.0;
    a->count = 0;
    a->g_last = 1.0;
    a->clip_lin = fast_exp_db_f(a->clip_db);
    a->clip_db_of = a->clip_db;
    a->clip_lin_of = a->clip_lin;
    a->p_avg = std::pow(10.0, a->ref_db / 10.0);
    a->chunk_pow = 0.0f;
    a->chunk_fill = 0;
    a->chunk_g1 = 1.0;
    a->chunk_len = decim_of(a);
}

VX_API vx_cf32 agc_step(agc *a, vx_cf32 x)
{
    if (a->count == 0)
        a->g_last = fast_exp_db(a->gain_db);
    const float g = static_cast<float>(a->g_last);
    const vx_cf32 y = {x.re * g, x.im * g};
    const double power =
        guard_power(static_cast<double>(y.re) * y.re + static_cast<double>(y.im) * y.im);
    const uint64_t period = a->gain_update_period ? a->gain_update_period : 1;
    a->count += 1;
    if (a->alpha >= 1.0)
        a->p_avg = power;
    else if (a->alpha > 0.0) // alpha <= 0 holds the detector, as on the block path
        a->p_avg += a->alpha * (power - a->p_avg);
    if (a->count >= period) {
        const double level = fast_level_db(a->p_avg);
        // One update never corrects by more than the whole error.
        double k = static_cast<double>(period) * 4.0 * a->loop_bw;
        if (k > 1.0)
            k = 1.0;
        integrate(a, level, k);
        // The clip level changes only through its setter or a restore: recomputed then.
        if (a->clip_db != a->clip_db_of) {
            a->clip_db_of = a->clip_db;
            a->clip_lin_of = fast_exp_db_f(a->clip_db);
        }
        a->clip_lin = a->clip_lin_of;
        a->count = 0;
        tlm_flush(a, level);
    }
    return {clamp(y.re, a->clip_lin), clamp(y.im, a->clip_lin)};
}

VX_API void agc_steps(agc *a, const vx_cf32 *x, vx_cf32 *y, uint64_t n)
{
    // Chunks are counted along the stream, not per call, so any split of the input
    // gives the same output; each chunk ramps the gain linearly from g_last to the
    // gain commanded at its start.
    // A chunk opened before `decim` changed keeps its own length (and coefficients).
    uint64_t d = a->chunk_len;
    double an = chunk_coef(a->alpha, d);
    double kn = chunk_coef(4.0 * a->loop_bw, d);
    const float clip = a->clip_lin = fast_exp_db_f(a->clip_db);
    for (uint64_t i = 0; i < n; ++i) {
        if (a->chunk_fill == 0) {
            a->chunk_g1 = fast_exp_db(a->gain_db);
            a->chunk_pow = 0.0f;
            if (d != decim_of(a)) {
                d = a->chunk_len = decim_of(a);
                an = chunk_coef(a->alpha, d);
                kn = chunk_coef(4.0 * a->loop_bw, d);
            }
        }
        const uint64_t j = ++a->chunk_fill;
        const float g = static_cast<float>(a->g_last + static_cast<double>(j) *
                                                           (a->chunk_g1 - a->g_last) /
                                                           static_cast<double>(d));
        const vx_cf32 v = {x[i].re * g, x[i].im * g};
        a->chunk_pow += v.re * v.re + v.im * v.im;
        y[i] = {clamp(v.re, clip), clamp(v.im, clip)};
        if (j == d) {
            const double mean = guard_power(static_cast<double>(a->chunk_pow) / static_cast<double>(d));
            if (an >= 1.0)
                a->p_avg = mean;
            else
                a->p_avg += an * (mean - a->p_avg);
            const double level = fast_level_db(a->p_avg);
            integrate(a, level, kn);
            tlm_flush(a, level);
            a->g_last = a->chunk_g1;
            a->chunk_fill = 0;
        }
    }
}

VX_API double agc_get_applied_gain_db(const agc *a)
{
    if (a->g_last < 2.2250738585072014e-308)
        return -6153.053111371775;
    if (!(a->g_last <= 1.7976931348623157e308))
        return 6165.094311198335;
    return 20.0 * std::log10(a->g_last);
}

VX_API double agc_get_linear_gain(const agc *a) { return a->g_last; }
VX_API float agc_get_clip_lin(const agc *a) { return a->clip_lin; }

#define AGC_FINITE_SETTER(field)                          \
    VX_API int agc_set_##field(agc *a, double v)          \
    {                                                     \
        if (!a || !vx_finite(v))                          \
            return VX_ERR_INVALID;                        \
        a->field = v;                                     \
        return VX_OK;                                     \
    }
AGC_FINITE_SETTER(ref_db)
AGC_FINITE_SETTER(loop_bw)
AGC_FINITE_SETTER(alpha)
AGC_FINITE_SETTER(clip_db)
#undef AGC_FINITE_SETTER

VX_API void agc_set_decim(agc *a, uint64_t v)
{
    a->decim = v;
    if (a->chunk_fill == 0)
        a->chunk_len = decim_of(a);
    else if (a->chunk_len >= kPendingMaxLen) // cannot be saved beside the new length
        a->chunk_fill = 0, a->chunk_pow = 0.0f, a->chunk_len = decim_of(a);
}

VX_API void agc_set_gain_update_period(agc *a, uint64_t v)
{
    a->gain_update_period = v;
    const uint64_t p = v ? v : 1;
    if (a->count >= p)
        a->count = 0;
}

VX_API int agc_set_telemetry(agc *a, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    static const char *const probes[] = {"gain_db", "level_db"};
    return a ? vx_tlm_attach(&a->tlm, a->tlm_ids, tlm, prefix, "agc", probes, 2, decim)
             : VX_ERR_INVALID;
}

VX_API uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db)
{
    if (!(loop_bw > 0.0) || !(alpha > 0.0 && alpha <= 1.0) || !(tol_db > 0.0) ||
        !vx_finite(gain_err_db) || !vx_finite(loop_bw) || !vx_finite(tol_db))
        return 0;
    if (tol_db >= std::fabs(gain_err_db))
        return 1;
    // floor(16/loop_bw) + 1 samples, capped so a tiny bandwidth cannot hang the caller.
    constexpr uint64_t kCap = uint64_t(1) << 24;
    const uint64_t limit =
        static_cast<uint64_t>(vx_double_to_i64(std::floor(16.0 / loop_bw), 0, kCap, kCap)) + 1;
    agc a{};
    a.ref_db = 0.0;
    a.loop_bw = loop_bw;
    a.alpha = alpha;
    a.decim = AGC_DECIM_DEFAULT;
    a.clip_db = 120.0;
    a.gain_update_period = 1;
    agc_reset(&a);
    const float amp = static_cast<float>(std::pow(10.0, -gain_err_db / 20.0));
    const vx_cf32 x = {0.8f * amp, 0.6f * amp};
    for (uint64_t i = 1; i <= limit && i <= kCap; ++i) {
        agc_step(&a, x);
        if (std::fabs(a.gain_db - gain_err_db) <= tol_db)
            return i;
    }
    return 0;
}

VX_API uint64_t settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db)
{
    return agc_settling_samples(loop_bw, alpha, gain_err_db, tol_db);
}

VX_API uint64_t agc_state_bytes(const agc *) { return AGC_STATE_BYTES; }

VX_API void agc_get_state(const agc *a, void *out)
{
    // The open block-path chunk rides in the tail words of the layout.
    vx::BlobWriter(out, VX_MAGIC_AGC, VX_VERSION_AGC, AGC_STATE_BYTES)
        .put(a->ref_db).put(a->loop_bw).put(a->alpha).put(a->decim).put(a->clip_db)
        .put(a->gain_update_period).put(a->gain_db).put(a->p_avg).put(a->g_last).put(a->count)
        .put(a->clip_lin).put(a->chunk_pow).put(pack_chunk(a)).put(a->chunk_g1);
}

VX_API int agc_set_state(agc *a, const void *blob)
{
    if (!a || vx_state_check_header(blob, VX_MAGIC_AGC, VX_VERSION_AGC, AGC_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    agc v = *a;
    uint64_t chunk_word;
    vx::BlobReader(blob).get(v.ref_db).get(v.loop_bw).get(v.alpha).get(v.decim).get(v.clip_db)
        .get(v.gain_update_period).get(v.gain_db).get(v.p_avg).get(v.g_last).get(v.count)
        .get(v.clip_lin).get(v.chunk_pow).get(chunk_word).get(v.chunk_g1);
    unpack_chunk(v, chunk_word);
    const uint64_t period = v.gain_update_period ? v.gain_update_period : 1;
    const uint64_t d = v.chunk_len;
    // A pending length is written only for an open chunk whose length differs from decim.
    if ((chunk_word & kPendingFlag) && (!chunk_pending(&v) || d == 0))
        return VX_ERR_INVALID;
    // chunk_pow is read only through guard_power, and a huge or non-finite sample in the
    // open chunk makes it infinite or NaN: a state the object reaches, so it is accepted.
    // p_avg is read only through fast_level_db, which takes NaN and infinity: a reference
    // level beyond the double range makes it infinite from create on, then NaN.
    if (!finite3(v.ref_db, v.loop_bw, v.alpha) || !vx_finite(v.clip_db) || !vx_finite(v.gain_db) ||
        !vx_finite(v.g_last) || !vx_finite(v.chunk_g1) || v.count >= period || v.chunk_fill >= d)
        return VX_ERR_INVALID;
    *a = v; // telemetry attachment carried over from *a unchanged
    return VX_OK;
}

}  // extern "C"
