#include "dll.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "detstat.h"
#include "vx_blob.hpp"
#include "vx_tlm.h"

// The blob head is the object image with pointers and the telemetry attachment zeroed.
static_assert(offsetof(dll, phase) == 48 && offsetof(dll, code) == 72 && offsetof(dll, held) == 176);
static_assert(offsetof(dll, early) == 296 && offsetof(dll, segments) == 328 && offsetof(dll, p_prompt) == 368);
static_assert(offsetof(dll, have_prev_epoch) == 424 && offsetof(dll, noise) == 428);
static_assert(offsetof(dll, noise_offset) == 440 && offsetof(dll, ld) == 520 && offsetof(dll, period) == 552);
static_assert(offsetof(dll, ring_prompt) == 616 && offsetof(dll, owns_code) == 656 && offsetof(dll, tlm) == 664);
static_assert(sizeof(dll) == DLL_HEAD_BYTES - VX_STATE_HEADER_BYTES);

namespace {

constexpr double kTwo32 = 4294967296.0;
constexpr double kInv2_32 = 1.0 / 4294967296.0;
constexpr double kPowGuard = 1e-12;
constexpr uint32_t kSeedXor = 0x2545F491u;

inline double frac(double v) { return v - std::floor(v); }
inline double clamp1(double v) { return v > 1.0 ? 1.0 : (v < -1.0 ? -1.0 : v); }
inline double pow2(vx_cf32 v) { return static_cast<double>(v.re) * v.re + static_cast<double>(v.im) * v.im; }
inline vx_cf32 add(vx_cf32 a, vx_cf32 b) { return {a.re + b.re, a.im + b.im}; }
inline vx_cf32 scale(vx_cf32 a, float s) { return {a.re * s, a.im * s}; }

// Increment from a fraction of a period per sample, truncated: 0 at or below 0, all ones
// at or above 1.
inline uint32_t inc_of(double v)
{
    return static_cast<uint32_t>(vx_double_to_i64(v * kTwo32, 0, UINT32_MAX, 0));
}

// bn and zeta give finite gains at update period t.
bool loop_ok(double bn, double zeta, double t = 1.0)
{
    loop_filter probe{};
    return loop_filter_configure(&probe, bn, zeta, t) == VX_OK;
}

// Replica at code phase tau [chips]: flat over the middle half of each chip, linear across
// chip boundaries, from two half-chip lookups.
inline float replica(const dll *d, double tau)
{
    const double two_sf = 2.0 * static_cast<double>(d->sf);
    // tau lies within one code period either side of [0, sf] (offsets are at most sf), so
    // two corrections each way wrap it without a division.
    double v = 2.0 * tau - 0.5;
    for (int i = 0; i < 2; ++i) {
        v = v < 0.0 ? v + two_sf : v;
        v = v >= two_sf ? v - two_sf : v;
    }
    if (!(v >= 0.0 && v < two_sf))  // rounding at the edges, or NaN
        v = 0.0;
    const uint64_t k = static_cast<uint64_t>(v);
    const double f = v - static_cast<double>(k);
    const uint64_t k1 = k + 1 == 2 * d->sf ? 0 : k + 1;
    const double c0 = (d->code[k / 2] & 1) ? -1.0 : 1.0;
    const double c1 = (d->code[k1 / 2] & 1) ? -1.0 : 1.0;
    return static_cast<float>((1.0 - f) * c0 + f * c1);
}

inline void mac(vx_cf32 &acc, float c, vx_cf32 x)
{
    acc.re += c * x.re;
    acc.im += c * x.im;
}

void redraw_noise(dll *d)
{
    const uint64_t g = static_cast<uint64_t>(std::floor(d->spacing + 2.0 + 0.999));
    if (2 * g >= d->sf) {
        d->noise_offset = 0.0;
        return;
    }
    uint32_t s = d->rng;
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    d->rng = s;
    d->noise_offset = static_cast<double>(g + s % (d->sf - 2 * g));
}

void lock_look(dll *d, vx_cf32 p, vx_cf32 o)
{
    d->looks_since_seed += 1;
    d->lock_sum += pow2(p);
    const double on = pow2(o);
    // A non-finite noise look would hold the reference at NaN for good; the prompt sum
    // takes it, so only its own decision is lost.
    if (vx_finite(on)) {
        const double w = 1.0 / static_cast<double>(d->looks_since_seed);
        d->noise_est += (on - d->noise_est) * (d->alpha > w ? d->alpha : w);
    }
    if (++d->looks >= d->n_looks) {
        d->lock_stat = std::sqrt(2.0 * d->lock_sum / (d->noise_est > kPowGuard ? d->noise_est : kPowGuard));
        lockdet_look(&d->ld, d->lock_stat);
        d->lock_sum = 0.0;
        d->looks = 0;
    }
}

// Discriminator D from early, late and prompt powers.
inline double discriminate(double e2, double l2, double p2) { return clamp1(0.5 * (e2 - l2) / (p2 + kPowGuard)); }

// The NCO is steered within 0..2 times the nominal rate: a negative rate would otherwise
// wrap to a full period per sample, and the bound keeps every partial at least one sample
// long, which is what sizes the output.
void set_inc(dll *d, double integ, double prop)
{
    const double v = (1.0 + d->rate_aid) * d->r + (d->c_i * integ + d->c_p * prop) * d->aid_scale;
    d->inc = inc_of(v < 2.0 * d->r ? v : 2.0 * d->r);
}

void steer(dll *d, double e)
{
    d->last_error = e;
    d->take_sum += e;
    d->take_count += 1;
    // A discriminator beyond double precision (NaN samples) leaves the loop where it was.
    if (d->coasting || !vx_finite(e))
        return;
    d->lf.integ += d->lf.ki * e;
    const double prop = d->lf.kp * e;
    d->code_rate = 1.0 + (d->k_i * d->lf.integ + d->k_p * prop) * d->aid_scale;
    set_inc(d, d->lf.integ, prop);
}

void clear_acc(dll *d) { d->early = d->prompt = d->late = d->noise = vx_cf32{0.0f, 0.0f}; }

void emit_tlm(dll *d)
{
    if (d->tlm) {
        const float v[4] = {static_cast<float>(d->last_error), static_cast<float>(d->code_rate),
                            static_cast<float>(d->lock_stat), static_cast<float>(d->ld.locked)};
        vx_tlm_flush(d->tlm, d->tlm_ids, v, 4);
    }
}

bool aid_on(const dll *d) { return d->period > 0.0; }

// lf moved to update period t: gains for t from bn and zeta, the integrator scaled so the
// rate it stands for carries on. False (lf unchanged) where either would not be finite.
bool retime(loop_filter &lf, double bn, double zeta, double t)
{
    loop_filter probe = lf;
    if (loop_filter_configure(&probe, bn, zeta, t) != VX_OK)
        return false;
    probe.integ = lf.integ * t / lf.t;
    if (!vx_finite(probe.integ))
        return false;
    lf = probe;
    return true;
}

// The live filter and the held snapshot at update period t, into lf and held: the snapshot
// moves with the loop, so coasting restores it at the period the loop runs at.
bool retime_loop(const dll *d, double t, loop_filter &lf, loop_filter &held)
{
    lf = d->lf;
    held = d->held;
    return retime(lf, d->bn, d->zeta, t) && (!d->held_inc || retime(held, held.bn, held.zeta, t));
}

// The symbol-period aid: push one scaled partial into the rings, score the window of the
// last L partials against each symbol-boundary hypothesis, and look (and steer) on the
// best hypothesis' windows.
void aid_look(dll *d, vx_cf32 p, vx_cf32 o, vx_cf32 e, vx_cf32 l)
{
    const uint64_t mask = d->ring_n - 1, at = d->pushed & mask;
    d->ring_prompt[at] = p;
    d->ring_noise[at] = o;
    d->ring_early[at] = e;
    d->ring_late[at] = l;
    const uint64_t count = ++d->pushed;
    const uint64_t L = d->window;
    if (count < L) {
        lock_look(d, vx_cf32{0.0f, 0.0f}, vx_cf32{0.0f, 0.0f});
        steer(d, 0.0);
        return;
    }
    const uint64_t start = count - L;
    vx_cf32 sp{0.0f, 0.0f}, so{0.0f, 0.0f}, se{0.0f, 0.0f}, sl{0.0f, 0.0f};
    for (uint64_t i = start; i < count; ++i) {
        sp = add(sp, d->ring_prompt[i & mask]);
        so = add(so, d->ring_noise[i & mask]);
        se = add(se, d->ring_early[i & mask]);
        sl = add(sl, d->ring_late[i & mask]);
    }
    const double power = pow2(sp);
    const double s = static_cast<double>(start);
    bool best_window = false;
    for (uint64_t j = 0; j < d->hyps; ++j) {
        const double k = std::round((s - static_cast<double>(j)) / d->period);
        if (k < 0.0 || std::round(k * d->period + static_cast<double>(j)) != s)
            continue;
        if (vx_finite(power))
            d->hyp_power[j] += d->hyp_alpha * (power - d->hyp_power[j]);
        uint64_t b = 0;
        for (uint64_t h = 1; h < d->hyps; ++h)
            if (d->hyp_power[h] > d->hyp_power[b])
                b = h;
        d->best = b;
        best_window = best_window || j == b;
    }
    if (best_window && start >= d->last_decision) {
        d->last_decision = count;
        lock_look(d, sp, so);
        steer(d, discriminate(pow2(se), pow2(sl), power));
    }
}

// Close partial `d->part` of a segments-mode epoch; the last one ends the epoch.
void close_partial(dll *d, vx_cf32 *out, uint64_t out_cap, uint64_t &written);

void end_epoch_segments(dll *d, vx_cf32 *out, uint64_t out_cap, uint64_t &written)
{
    const uint64_t seg = d->segments;
    const double norm = static_cast<double>(d->sps) * static_cast<double>(d->sf);
    vx_cf32 *pre = d->prefix;
    pre[0] = {0.0f, 0.0f};
    for (uint64_t k = 0; k < seg; ++k)
        pre[k + 1] = add(pre[k], d->p_prompt[k]);
    double y = std::sqrt(pow2(pre[seg])) / norm;
    uint64_t z = 0;
    if (d->have_prev_epoch)
        for (uint64_t w = seg - 1; w >= 1; --w) {
            const double score = std::sqrt(pow2(add(d->prev_suffix[w], pre[seg - w]))) / norm;
            if (score > y) {
                y = score;
                z = w;
            }
        }
    if (!aid_on(d)) {
        vx_cf32 ew{0.0f, 0.0f}, lw{0.0f, 0.0f};
        for (uint64_t k = seg - z; k < seg && z; ++k) {
            ew = add(ew, d->prev_early[k]);
            lw = add(lw, d->prev_late[k]);
        }
        for (uint64_t k = 0; k < seg - z; ++k) {
            ew = add(ew, d->p_early[k]);
            lw = add(lw, d->p_late[k]);
        }
        const double py = norm * y;
        steer(d, clamp1(0.5 * (pow2(ew) - pow2(lw)) / (py * py + kPowGuard)));
    }
    const float g = static_cast<float>(y > 0.0 ? 1.0 / (d->samples_pp * y) : 1.0 / d->samples_pp);
    for (uint64_t k = 0; k < seg; ++k)
        if (written < out_cap)
            out[written++] = scale(d->p_prompt[k], g);
    // Keep this epoch's suffix sums and early/late partials for the next look-back.
    vx_cf32 suffix{0.0f, 0.0f};
    d->prev_suffix[0] = suffix;
    for (uint64_t w = 1; w < seg; ++w) {
        suffix = add(suffix, d->p_prompt[seg - w]);
        d->prev_suffix[w] = suffix;
    }
    std::memcpy(d->prev_early, d->p_early, seg * sizeof(vx_cf32));
    std::memcpy(d->prev_late, d->p_late, seg * sizeof(vx_cf32));
    d->have_prev_epoch = 1;
    d->part = 0;
    d->close_now = 0;
    redraw_noise(d);
    emit_tlm(d);
}

void close_partial(dll *d, vx_cf32 *out, uint64_t out_cap, uint64_t &written)
{
    const float s = static_cast<float>(1.0 / d->samples_pp);
    if (aid_on(d))
        aid_look(d, scale(d->prompt, s), scale(d->noise, s), scale(d->early, s), scale(d->late, s));
    else
        lock_look(d, scale(d->prompt, s), scale(d->noise, s));
    const uint64_t j = d->part;
    d->p_prompt[j] = d->prompt;
    d->p_early[j] = d->early;
    d->p_late[j] = d->late;
    clear_acc(d);
    if (++d->part == d->segments)
        end_epoch_segments(d, out, out_cap, written);
}

void end_epoch_single(dll *d, vx_cf32 *out, uint64_t out_cap, uint64_t &written)
{
    steer(d, discriminate(pow2(d->early), pow2(d->late), pow2(d->prompt)));
    const float s = static_cast<float>(1.0 / (static_cast<double>(d->sps) * static_cast<double>(d->sf)));
    lock_look(d, scale(d->prompt, s), scale(d->noise, s));
    if (written < out_cap)
        out[written++] = scale(d->prompt, s);
    clear_acc(d);
    redraw_noise(d);
    emit_tlm(d);
}

// The per-sample loop, specialised by mode.
template <bool Segments>
uint64_t run(dll *d, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap)
{
    uint64_t written = 0;
    const double sf = static_cast<double>(d->sf);
    for (uint64_t i = 0; i < n; ++i) {
        const double tau = (static_cast<double>(d->phase) + 0.5 * d->inc) * kInv2_32 * sf;
        mac(d->noise, replica(d, tau + d->noise_offset), x[i]);
        mac(d->prompt, replica(d, tau), x[i]);
        mac(d->early, replica(d, tau + d->spacing), x[i]);
        mac(d->late, replica(d, tau - d->spacing), x[i]);
        const uint32_t old = d->phase;
        d->phase = old + d->inc;
        d->code_phase = static_cast<double>(d->phase) * kInv2_32 * sf;
        const bool wrap = d->phase < old;
        if (wrap && d->skip_wrap) {
            d->skip_wrap = 0;
            clear_acc(d);
            if constexpr (Segments)
                d->part = 0;
            continue;
        }
        if constexpr (Segments) {
            if (wrap || d->close_now) {
                // The rest close here (later ones empty); the last ends the epoch.
                for (uint64_t k = d->part; k < d->segments; ++k)
                    close_partial(d, out, out_cap, written);
                continue;
            }
            while (d->part + 1 < d->segments &&
                   d->code_phase >= static_cast<double>(d->part + 1) * d->chips_pp)
                close_partial(d, out, out_cap, written);
        } else if (wrap || d->close_now) {
            d->close_now = 0;
            end_epoch_single(d, out, out_cap, written);
        }
    }
    return written;
}

void free_aid(dll *d)
{
    vx_free(d->ring_prompt);
    vx_free(d->ring_noise);
    vx_free(d->ring_early);
    vx_free(d->ring_late);
    vx_free(d->hyp_power);
    d->ring_prompt = d->ring_noise = d->ring_early = d->ring_late = nullptr;
    d->hyp_power = nullptr;
}

void free_partials(dll *d)
{
    vx_cf32 **arrays[] = {&d->p_prompt, &d->p_early, &d->p_late, &d->prefix, &d->prev_suffix,
                          &d->prev_early, &d->prev_late};
    for (vx_cf32 **a : arrays) {
        vx_free(*a);
        *a = nullptr;
    }
}

uint64_t aid_bytes(const dll *d) { return aid_on(d) ? 8 * (d->hyps + 4 * d->ring_n) : 0; }
uint64_t partial_bytes(const dll *d) { return d->segments >= 2 ? 6 * 8 * d->segments : 0; }

// Configuration shared by create and init (the object zeroed, code set).
void configure_new(dll *d, uint64_t len, uint64_t sps, uint64_t segments, double init_chip, double bn,
                   double zeta, double spacing)
{
    d->sf = len;
    d->sps = sps ? sps : 1;
    d->segments = segments;
    d->inv_sps = 1.0 / static_cast<double>(d->sps);
    d->r = d->r_nominal = 1.0 / (static_cast<double>(d->sps) * static_cast<double>(len));
    d->r2 = d->r * d->r;
    d->r_sf = d->r / static_cast<double>(len);
    d->aid_scale = 1.0;
    d->spacing = spacing;
    d->noise_guard = spacing + 2.0;
    d->init_chip = init_chip;
    d->bn = bn;
    d->zeta = zeta;
    loop_filter_init(&d->lf, bn, zeta, 1.0);
    d->chips_pp = static_cast<double>(len) / static_cast<double>(segments);
    d->samples_pp = static_cast<double>(len) * static_cast<double>(d->sps) / static_cast<double>(segments);
    if (segments == 1) {
        d->c_i = d->r;
        d->c_p = d->r_sf;
        d->k_i = 1.0;
        d->k_p = 0.0;
    } else {
        d->c_i = d->c_p = d->r2;
        d->k_i = d->k_p = d->r;
    }
    d->hyp_alpha = 0.03125;
    d->tlm_ids[0] = d->tlm_ids[1] = d->tlm_ids[2] = d->tlm_ids[3] = -1;
    dll_configure_lock(d, 20, 0.001, 0.0);
    dll_reset(d);
}

bool params_ok(const uint8_t *code, uint64_t len, uint64_t sps, uint64_t segments, double init_chip,
               double bn, double zeta, double spacing)
{
    const uint64_t s = sps ? sps : 1;
    uint64_t samples;
    // Each partial spans at least two samples, so even a code rate of two (the most the
    // NCO is steered to) closes at most one partial per sample: the output bound holds.
    return code && len >= 1 && segments >= 1 && segments <= DLL_MAX_SEGMENTS && vx_size_mul(len, s, &samples) &&
           (segments == 1 || segments <= samples / 2) &&
           vx_finite(init_chip) && loop_ok(bn, zeta) && vx_finite(spacing) && spacing >= 0.0 &&
           spacing <= static_cast<double>(len);
}

}  // namespace

extern "C" {

VX_API dll *dll_create(const uint8_t *code, uint64_t len, uint64_t sps, uint64_t segments, double init_chip,
                       double bn, double zeta, double spacing)
{
    if (!params_ok(code, len, sps, segments, init_chip, bn, zeta, spacing))
        return nullptr;
    dll *d = vx::alloc_object<dll>();
    if (!d)
        return nullptr;
    auto *copy = static_cast<uint8_t *>(vx_calloc(len, 1));
    bool ok = copy != nullptr;
    if (ok && segments >= 2) {
        vx_cf32 **arrays[] = {&d->p_prompt, &d->p_early, &d->p_late, &d->prefix, &d->prev_suffix,
                              &d->prev_early, &d->prev_late};
        for (vx_cf32 **a : arrays)
            ok = ok && (*a = static_cast<vx_cf32 *>(vx_calloc(segments + 1, sizeof(vx_cf32)))) != nullptr;
    }
    if (!ok) {
        vx_free(copy);
        free_partials(d);
        vx_free(d);
        return nullptr;
    }
    std::memcpy(copy, code, len);
    d->code = copy;
    d->owns_code = 1;
    configure_new(d, len, sps, segments, init_chip, bn, zeta, spacing);
    return d;
}

VX_API int dll_init(dll *d, const uint8_t *code, uint64_t len, uint64_t sps, double init_chip, double bn,
                    double zeta, double spacing)
{
    if (!d || !params_ok(code, len, sps, 1, init_chip, bn, zeta, spacing))
        return VX_ERR_INVALID;
    *d = dll{};
    d->code = code;
    configure_new(d, len, sps, 1, init_chip, bn, zeta, spacing);
    return VX_OK;
}

VX_API void dll_destroy(dll *d)
{
    if (!d)
        return;
    vx_tlm_swap(&d->tlm, nullptr);
    free_partials(d);
    free_aid(d);
    if (d->owns_code)
        vx_free(const_cast<uint8_t *>(d->code));
    vx_free(d);
}

VX_API void dll_reset(dll *d)
{
    const double sf = static_cast<double>(d->sf);
    d->lf.integ = 0.0;
    // A tiny negative init_chip rounds to a full period (frac 1.0, or sf chips), and a huge
    // one can leave the remainder outside [0, sf): those are taken as phase 0.
    const double u = frac(d->init_chip / sf), e = d->init_chip - std::floor(d->init_chip / sf) * sf;
    d->phase = u < 1.0 ? static_cast<uint32_t>(u * kTwo32) : 0;
    d->inc = inc_of(d->r);
    clear_acc(d);
    d->last_error = 0.0;
    d->part = 0;
    d->close_now = d->skip_wrap = 0;
    d->have_prev_epoch = 0;
    d->code_phase = e >= 0.0 && e < sf ? e : 0.0;
    d->code_rate = 1.0;
    d->rng = static_cast<uint32_t>(d->sf) ^ kSeedXor;
    redraw_noise(d);
    d->lock_sum = 0.0;
    d->looks = 0;
    d->looks_since_seed = 0;
    d->noise_est = 0.0;
    d->lock_stat = 0.0;
    lockdet_reset(&d->ld);
    if (aid_on(d)) {
        for (vx_cf32 *ring : {d->ring_prompt, d->ring_noise, d->ring_early, d->ring_late})
            std::memset(ring, 0, d->ring_n * sizeof(vx_cf32));
        std::memset(d->hyp_power, 0, d->hyps * sizeof(double));
        d->best = d->pushed = d->last_decision = 0;
    }
}

VX_API int dll_configure(dll *d, double bn, double zeta)
{
    if (!d || loop_filter_configure(&d->lf, bn, zeta, d->lf.t) != VX_OK)
        return VX_ERR_INVALID;
    d->bn = bn;
    d->zeta = zeta;
    return VX_OK;
}

VX_API int dll_set_bn(dll *d, double bn) { return d ? dll_configure(d, bn, d->zeta) : VX_ERR_INVALID; }
VX_API double dll_get_bn(const dll *d) { return d->bn; }

VX_API int dll_configure_lock(dll *d, uint64_t n_looks, double pfa, double ref_snr_db)
{
    if (!d || !(pfa > 0.0 && pfa < 1.0) || ref_snr_db != ref_snr_db || n_looks > DLL_MAX_LOOKS)
        return VX_ERR_INVALID;
    const uint64_t n = n_looks ? n_looks : 1;
    if (ref_snr_db <= 0.0) {
        const double looks = 64.0 * static_cast<double>(n);
        ref_snr_db = 10.0 * std::log10((looks > 2048.0 ? looks : 2048.0) - 1.0);
    }
    const double alpha = det_ema_alpha(0.0, ref_snr_db);
    const double thresh = det_threshold_noncoherent(pfa, static_cast<int>(n));
    const int up = det_verify_count(pfa, 0.001 * pfa);
    return dll_configure_lock_raw(d, n, static_cast<uint32_t>(up), 2, thresh, thresh, alpha);
}

VX_API int dll_configure_lock_raw(dll *d, uint64_t n_looks, uint32_t n_up, uint32_t n_down, double up,
                                  double down, double alpha)
{
    if (!d || up != up || down != down || !(alpha >= 0.0 && alpha <= 1.0))
        return VX_ERR_INVALID;
    lockdet_init(&d->ld, up, down, n_up ? n_up : 1, n_down ? n_down : 1);
    lockdet_reset(&d->ld);
    d->lock_sum = 0.0;
    d->looks = 0;
    d->lock_stat = 0.0;
    d->noise_est = 0.0;
    d->looks_since_seed = 0;
    d->n_looks = n_looks ? n_looks : 1;
    d->alpha = alpha;
    return VX_OK;
}

VX_API int dll_set_lock_verify(dll *d, uint32_t n_up, uint32_t n_down)
{
    if (!d || n_up == 0 || n_down == 0)
        return VX_ERR_INVALID;
    lockdet_init(&d->ld, d->ld.up_thresh, d->ld.down_thresh, n_up, n_down);
    lockdet_reset(&d->ld);
    return VX_OK;
}

VX_API int dll_set_rate_aid(dll *d, double rate_aid)
{
    if (!d || !vx_finite(rate_aid))
        return VX_ERR_INVALID;
    d->rate_aid = rate_aid;
    if (d->coasting)
        set_inc(d, d->held_inc ? d->held.integ : d->lf.integ, 0.0);
    return VX_OK;
}

VX_API uint32_t dll_hold_here(dll *d)
{
    d->held = d->lf;
    d->held_inc = d->inc ? d->inc : 1;  // non-zero marks the snapshot
    return d->inc;
}

VX_API void dll_set_coast(dll *d, int coast)
{
    if (coast && !d->coasting && d->held_inc) {
        d->lf = d->held;
        set_inc(d, d->held.integ, 0.0);
    }
    d->coasting = coast != 0;
}

VX_API int dll_set_code_phase(dll *d, double chips)
{
    if (!d || !vx_finite(chips))
        return VX_ERR_INVALID;
    const double sf = static_cast<double>(d->sf), half = sf / 2.0;
    double e = chips - std::floor(chips / sf) * sf;
    if (!(e >= 0.0 && e < sf))
        e = 0.0;
    const double a = d->code_phase;
    const double m = half - a + e;
    const double a2 = a - half + (m - std::floor(m / sf) * sf);
    if (a2 >= sf) {
        if (d->skip_wrap)
            d->skip_wrap = 0;
        else
            d->close_now = 1;
    } else if (a2 < 0.0) {
        if (d->close_now)
            d->close_now = 0;
        else
            d->skip_wrap = 1;
    }
    d->phase = static_cast<uint32_t>(vx_double_to_i64(frac(e / sf) * kTwo32, 0, UINT32_MAX, 0));
    d->code_phase = e;
    return VX_OK;
}

VX_API uint64_t dll_take_error(dll *d, double *sum)
{
    const uint64_t n = d->take_count;
    if (sum)
        *sum = d->take_sum;
    d->take_sum = 0.0;
    d->take_count = 0;
    return n;
}

VX_API double dll_take_error_mean(dll *d)
{
    double sum;
    const uint64_t n = dll_take_error(d, &sum);
    return n ? sum / static_cast<double>(n) : NAN;
}

VX_API int dll_set_symbol_period(dll *d, double period)
{
    if (!d || period != period)
        return VX_ERR_INVALID;
    if (period <= 0.0) {
        if (aid_on(d)) {
            // Undo the integrator scale so the code rate carries on unchanged.
            loop_filter lf, held;
            if (!retime_loop(d, 1.0, lf, held))
                return VX_ERR_INVALID;
            d->lf = lf;
            d->held = held;
        }
        free_aid(d);
        d->period = 0.0;
        d->window = d->hyps = d->ring_n = d->best = d->pushed = d->last_decision = 0;
        d->aid_scale = 1.0;
        lockdet_reset(&d->ld);
        return VX_OK;
    }
    if (period < 2.0 || period > DLL_MAX_SYMBOL_PERIOD || d->segments < 2)
        return VX_ERR_INVALID;
    const double s = period / static_cast<double>(d->segments);
    loop_filter lf, held;
    if (!retime_loop(d, s, lf, held))
        return VX_ERR_INVALID;
    const uint64_t win_cap = static_cast<uint64_t>(std::floor(period)) - 1;
    const uint64_t L = 4 * d->segments < win_cap ? 4 * d->segments : win_cap;
    const uint64_t H = static_cast<uint64_t>(std::ceil(period));
    uint64_t N = 1;
    while (N < 2 * H + 2 * L + 2)
        N <<= 1;
    vx_cf32 *rings[4];
    bool ok = true;
    for (vx_cf32 *&r : rings)
        ok = (r = ok ? static_cast<vx_cf32 *>(vx_calloc(N, sizeof(vx_cf32))) : nullptr) != nullptr && ok;
    auto *hp = ok ? static_cast<double *>(vx_calloc(H, sizeof(double))) : nullptr;
    if (!hp) {
        for (vx_cf32 *r : rings)
            vx_free(r);
        return VX_ERR_INVALID;
    }
    free_aid(d);
    d->ring_prompt = rings[0];
    d->ring_noise = rings[1];
    d->ring_early = rings[2];
    d->ring_late = rings[3];
    d->hyp_power = hp;
    d->period = period;
    d->window = L;
    d->hyps = H;
    d->ring_n = N;
    d->best = d->pushed = d->last_decision = 0;
    d->lf = lf;
    d->held = held;
    d->aid_scale = 1.0 / s;
    lockdet_reset(&d->ld);
    return VX_OK;
}

VX_API uint64_t dll_get_symbol_window(const dll *d) { return aid_on(d) ? d->window : 0; }
VX_API double dll_get_code_phase(const dll *d) { return d->code_phase; }
VX_API double dll_get_code_rate(const dll *d) { return d->code_rate; }
VX_API double dll_get_last_error(const dll *d) { return d->last_error; }
VX_API uint64_t dll_get_segments(const dll *d) { return d->segments; }
VX_API int dll_get_locked(const dll *d) { return static_cast<int>(d->ld.locked); }
VX_API double dll_get_lock_stat(const dll *d) { return d->lock_stat; }
VX_API double dll_get_noise_est(const dll *d) { return d->noise_est; }

VX_API void dll_lock_look(dll *d, double n)
{
    const float s = static_cast<float>(1.0 / n);
    lock_look(d, scale(d->prompt, s), scale(d->noise, s));
    d->noise = {0.0f, 0.0f};
}

VX_API void dll_lock_epoch(dll *d) { redraw_noise(d); }

VX_API uint64_t dll_lookback_segments(uint64_t n, double loss_db)
{
    if (n == 0)
        return 1;
    const double b = std::pow(10.0, -loss_db / 10.0);
    double target = std::ceil(static_cast<double>(n) * (1.0 - b));
    if (!(target == target))
        target = 0.0;
    uint64_t best = 1;
    double best_gap = INFINITY;
    // Divisors come in pairs (k, n/k): at most 2·sqrt(n) candidates, 2^33 for any n.
    auto consider = [&](uint64_t k) {
        const double gap = std::fabs(static_cast<double>(k) - target);
        if (gap < best_gap || (gap == best_gap && k < best)) {
            best_gap = gap;
            best = k;
        }
    };
    for (uint64_t k = 1; k <= n / k; ++k)
        if (n % k == 0) {
            consider(k);
            if (k != n / k)
                consider(n / k);
        }
    return n / best;
}

VX_API uint64_t dll_steps(dll *d, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap)
{
    if (!d || !x)
        return 0;
    if (!out)
        out_cap = 0;
    return d->segments >= 2 ? run<true>(d, x, n, out, out_cap) : run<false>(d, x, n, out, out_cap);
}

VX_API uint64_t dll_steps_max_out(const dll *) { return 0; }

VX_API uint64_t dll_steps_bound(const dll *d, uint64_t n)
{
    const uint64_t extra = d->segments >= 2 ? d->segments : 0;
    return n > UINT64_MAX - extra ? UINT64_MAX : n + extra;
}

VX_API int dll_set_telemetry(dll *d, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    static const char *const probes[] = {"e", "rate", "lock", "locked"};
    return d ? vx_tlm_attach(&d->tlm, d->tlm_ids, tlm, prefix, "code", probes, 4, decim) : VX_ERR_INVALID;
}

VX_API uint64_t dll_state_bytes(const dll *d) { return DLL_HEAD_BYTES + partial_bytes(d) + aid_bytes(d); }

VX_API void dll_get_state(const dll *d, void *out)
{
    dll img = *d;
    img.code = nullptr;
    img.p_prompt = img.p_early = img.p_late = img.prefix = img.prev_suffix = img.prev_early = img.prev_late = nullptr;
    img.ring_prompt = img.ring_noise = img.ring_early = img.ring_late = nullptr;
    img.hyp_power = nullptr;
    img.owns_code = 0;
    img.tlm = nullptr;
    std::memset(img.tlm_ids, 0, sizeof img.tlm_ids);
    vx::BlobWriter w(out, VX_MAGIC_DLL, VX_VERSION_DLL, dll_state_bytes(d));
    w.put_bytes(&img, sizeof img);
    const uint64_t seg = d->segments;
    if (seg >= 2)
        for (const vx_cf32 *a : {d->p_prompt, d->p_early, d->p_late, d->prev_suffix, d->prev_early, d->prev_late})
            w.put_bytes(a, seg * sizeof(vx_cf32));
    if (aid_on(d)) {
        for (const vx_cf32 *r : {d->ring_prompt, d->ring_noise, d->ring_early, d->ring_late})
            w.put_bytes(r, d->ring_n * sizeof(vx_cf32));
        w.put_bytes(d->hyp_power, d->hyps * sizeof(double));
    }
}

VX_API int dll_set_state(dll *d, const void *blob)
{
    if (!d || vx_state_check_header(blob, VX_MAGIC_DLL, VX_VERSION_DLL, dll_state_bytes(d)) != VX_OK)
        return VX_ERR_INVALID;
    dll v;
    vx::BlobReader rd(blob);
    rd.get_bytes(&v, sizeof v);
    // The structure (code, sizes and the derived constants) must be the object's own;
    // every count, index, flag and loop value must be one the object can reach.
    const uint64_t seg = d->segments;
    const bool same = v.sf == d->sf && v.sps == d->sps && v.segments == seg && v.inv_sps == d->inv_sps &&
                      v.r == d->r && v.r_nominal == d->r_nominal && v.r2 == d->r2 && v.r_sf == d->r_sf &&
                      v.chips_pp == d->chips_pp && v.samples_pp == d->samples_pp && v.c_i == d->c_i &&
                      v.c_p == d->c_p && v.k_i == d->k_i && v.k_p == d->k_p && v.hyp_alpha == d->hyp_alpha &&
                      (v.period > 0.0) == aid_on(d) && v.hyps == d->hyps && v.ring_n == d->ring_n &&
                      v.window == d->window;
    const uint32_t run_limit = v.ld.locked ? v.ld.n_down : v.ld.n_up;
    const double t = aid_on(d) ? v.period / static_cast<double>(seg) : 1.0;
    const double sf = static_cast<double>(v.sf);
    const bool ok = same && v.part < seg && vx::is_flag(v.close_now) && vx::is_flag(v.skip_wrap) &&
                    vx::is_flag(v.coasting) && vx::is_flag(v.have_prev_epoch) &&
                    (!aid_on(d) || (v.period >= 2.0 && v.period <= DLL_MAX_SYMBOL_PERIOD &&
                                    static_cast<uint64_t>(std::ceil(v.period)) == v.hyps && v.best < v.hyps &&
                                    v.aid_scale == 1.0 / t)) &&
                    (aid_on(d) || v.aid_scale == 1.0) && v.n_looks >= 1 && v.looks < v.n_looks &&
                    v.ld.n_up >= 1 && v.ld.n_down >= 1 && vx::is_flag(v.ld.locked) && v.ld.count < run_limit &&
                    v.alpha >= 0.0 && v.alpha <= 1.0 && vx_finite(v.noise_est) && vx_finite(v.spacing) && v.spacing >= 0.0 &&
                    v.spacing <= sf && v.noise_offset >= 0.0 && v.noise_offset < sf && vx_finite(v.code_phase) &&
                    vx_finite(v.init_chip) && vx_finite(v.rate_aid) && loop_filter_valid(&v.lf, t) &&
                    loop_ok(v.bn, v.zeta, t) &&
                    (v.held_inc ? loop_filter_valid(&v.held, t)
                                : vx_finite(v.held.integ) && vx_finite(v.held.kp) && vx_finite(v.held.ki));
    if (!ok)
        return VX_ERR_INVALID;
    v.code = d->code;
    v.owns_code = d->owns_code;
    v.p_prompt = d->p_prompt;
    v.p_early = d->p_early;
    v.p_late = d->p_late;
    v.prefix = d->prefix;
    v.prev_suffix = d->prev_suffix;
    v.prev_early = d->prev_early;
    v.prev_late = d->prev_late;
    v.ring_prompt = d->ring_prompt;
    v.ring_noise = d->ring_noise;
    v.ring_early = d->ring_early;
    v.ring_late = d->ring_late;
    v.hyp_power = d->hyp_power;
    v.tlm = d->tlm;
    std::memcpy(v.tlm_ids, d->tlm_ids, sizeof v.tlm_ids);
    *d = v;
    if (seg >= 2)
        for (vx_cf32 *a : {d->p_prompt, d->p_early, d->p_late, d->prev_suffix, d->prev_early, d->prev_late})
            rd.get_bytes(a, seg * sizeof(vx_cf32));
    if (aid_on(d)) {
        for (vx_cf32 *r : {d->ring_prompt, d->ring_noise, d->ring_early, d->ring_late})
            rd.get_bytes(r, d->ring_n * sizeof(vx_cf32));
        rd.get_bytes(d->hyp_power, d->hyps * sizeof(double));
    }
    return VX_OK;
}

}  // extern "C"
