#include "resamp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "vx_blob.hpp"
#include "vx_kernel.hpp"

struct resamp {
    double rate;
    float ratef;     // rate as applied to samples in the transposed form
    uint64_t L, K;   // arms, taps per arm
    uint32_t up;     // rate >= 1: direct form on the block path
    uint32_t step;   // block-path phase increment, 0 = one output per input
    float *bank;     // L·K, arm-major
    uint64_t size;   // ring length, smallest power of two >= K
    vx_cf32 *ring;   // 2·size, every sample at pos and pos + size, newest at pos
    vx_cf32 *tacc;   // K transposed-form accumulators
    vx_cf32 *partial; // K − 1 transposed-form partial sums (none for K = 1)
    // running state
    uint32_t acc;
    uint64_t pos;
    uint32_t ctrl_frac, ctrl_wait, ctrl_owed;
};

namespace {

constexpr double kTwo32 = 4294967296.0;
constexpr uint32_t kStallWait = 1000000; // inputs per output once rate + ctrl <= 1e−6
constexpr uint64_t kFixedBytes = 40;

bool rate_ok(double rate) { return vx_finite(rate) && rate > 0.0; }

// Arms and taps a bank may have; *cells = L·K.
bool shape_ok(uint64_t L, uint64_t K, uint64_t *cells)
{
    return L > 0 && K > 0 && L <= RESAMP_MAX_PHASES && K <= RESAMP_MAX_TAPS &&
           vx_size_mul(L * sizeof(float), K, nullptr) && vx_size_mul(L, K, cells);
}

uint32_t block_step(double rate)
{
    const double v = std::floor(rate >= 1.0 ? kTwo32 / rate : kTwo32 * rate);
    return v > 0.0 && v < kTwo32 ? static_cast<uint32_t>(v) : 0;
}

inline const float *arm(const resamp *r, uint32_t phase)
{
    return r->bank + ((static_cast<uint64_t>(phase) * r->L) >> 32) * r->K;
}

inline void push(resamp *r, vx_cf32 x)
{
    r->pos = (r->pos - 1) & (r->size - 1);
    r->ring[r->pos] = r->ring[r->pos + r->size] = x;
}

// Σ_k a[k]·w[k] in four interleaved partial sums (the order the header fixes).
inline vx_cf32 dot(const float *__restrict a, const vx_cf32 *__restrict w, uint64_t n)
{
    float sr[4] = {0, 0, 0, 0}, si[4] = {0, 0, 0, 0};
    uint64_t k = 0;
    for (; k + 4 <= n; k += 4)
        for (int j = 0; j < 4; ++j) {
            sr[j] += a[k + j] * w[k + j].re;
            si[j] += a[k + j] * w[k + j].im;
        }
    for (int j = 0; k < n; ++k, ++j) {
        sr[j] += a[k] * w[k].re;
        si[j] += a[k] * w[k].im;
    }
    return {(sr[0] + sr[1]) + (sr[2] + sr[3]), (si[0] + si[1]) + (si[2] + si[3])};
}

inline vx_cf32 direct_output(const resamp *r, uint32_t phase)
{
    return dot(arm(r, phase), r->ring + r->pos, r->K);
}

// acc += step; true when an input is due (a carry, or always for a zero step).
inline bool advance(uint32_t &acc, uint32_t step)
{
    const uint32_t old = acc;
    acc += step;
    return step == 0 || acc < old;
}

VX_KERNEL uint64_t run_direct(resamp *r, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                              uint64_t max_out)
{
    uint64_t used = 0, written = 0;
    while (used < n_in) {
        if (written < max_out) {
            y[written++] = direct_output(r, r->acc);
            if (!advance(r->acc, r->step))
                continue;
        } else if (r->step) {
            // No room: jump straight to the output whose step carries.
            const uint64_t left = (uint64_t{1} << 32) - r->acc;
            r->acc = static_cast<uint32_t>(r->acc + (left + r->step - 1) / r->step * r->step);
        }
        push(r, x[used++]);
    }
    return written;
}

VX_KERNEL uint64_t run_transposed(resamp *r, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                                  uint64_t max_out)
{
    const uint64_t K = r->K;
    float *__restrict t = &r->tacc->re;
    float *__restrict part = K > 1 ? &r->partial->re : nullptr;
    uint64_t written = 0;
    for (uint64_t i = 0; i < n_in; ++i) {
        const float *a = arm(r, r->acc);
        const float xr = x[i].re * r->ratef, xi = x[i].im * r->ratef;
        for (uint64_t k = 0; k < K; ++k) {
            t[2 * k] += xr * a[K - 1 - k];
            t[2 * k + 1] += xi * a[K - 1 - k];
        }
        if (!advance(r->acc, r->step))
            continue;
        vx_cf32 out = {t[0], t[1]};
        if (K > 1) {
            out = {t[0] + part[0], t[1] + part[1]};
            for (uint64_t q = 0; q + 2 < 2 * (K - 1); ++q)
                part[q] = part[q + 2] + t[q + 2];
            part[2 * K - 4] = t[2 * K - 2];
            part[2 * K - 3] = t[2 * K - 1];
        }
        std::memset(t, 0, 2 * K * sizeof(float));
        if (written < max_out)
            y[written++] = out;
    }
    return written;
}

// Control-path step for deviation c: whole inputs and a Q0.32 fraction per output.
void ctrl_step(double e, uint32_t &whole, uint32_t &frac)
{
    if (!(e > 1e-6)) {
        whole = kStallWait;
        frac = 0;
        return;
    }
    const double s = 1.0 / e, w = std::trunc(s), f = s - w;
    whole = w >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(w);
    frac = f >= 1.0 ? 0xFFFFFFFFu
                    : f > 0.0 ? static_cast<uint32_t>(std::min(std::floor(f * kTwo32), 4294967295.0))
                              : 0;
}

void free_parts(resamp *r)
{
    vx_free(r->bank);
    vx_free(r->ring);
    vx_free(r->tacc);
    vx_free(r->partial);
    vx_free(r);
}

// Default prototype: 19 taps × 4096 phases of a sinc cut off at half the input rate under
// a Kaiser window (beta 5.65326, 60 dB). The window's series S(x) = Σ_k (x^k/k!)² stops
// after the first term below 1e−20 of the running sum, or after 29 terms.
double kaiser_series(double x)
{
    double term = 1.0, sum = 1.0;
    for (int k = 1; k <= 29; ++k) {
        term *= (x / k) * (x / k);
        sum += term;
        if (term < 1e-20 * sum)
            break;
    }
    return sum;
}

float *default_bank()
{
    const uint64_t L = RESAMP_DEFAULT_PHASES, K = RESAMP_DEFAULT_TAPS;
    float *bank = static_cast<float *>(vx_calloc(L * K, sizeof(float)));
    if (!bank)
        return nullptr;
    const double half_beta = 2.82663, c = 9.5 * L;
    const double norm = kaiser_series(half_beta);
    for (uint64_t j = 0; j < L * K; ++j) { // the prototype's last sample is not used
        const double d = (static_cast<double>(j) - c) / c;
        const double w = kaiser_series(half_beta * std::sqrt(1.0 - d * d)) / norm;
        const double theta = (static_cast<double>(j) - c) * std::numbers::pi / static_cast<double>(L);
        const double h = theta == 0.0 ? w : w * std::sin(theta) / theta;
        bank[(j % L) * K + j / L] = static_cast<float>(h);
    }
    return bank;
}

} // namespace

extern "C" {

VX_API resamp *resamp_create_from_bank(uint64_t num_phases, uint64_t num_taps, float *bank,
                                       double rate)
{
    uint64_t cells;
    if (!bank || !shape_ok(num_phases, num_taps, &cells) || !rate_ok(rate)) {
        vx_free(bank);
        return nullptr;
    }
    resamp *r = vx::alloc_object<resamp>();
    if (!r) {
        vx_free(bank);
        return nullptr;
    }
    r->bank = bank;
    r->L = num_phases;
    r->K = num_taps;
    r->size = 1;
    while (r->size < num_taps)
        r->size <<= 1;
    r->ring = static_cast<vx_cf32 *>(vx_calloc(2 * r->size, sizeof(vx_cf32)));
    r->tacc = static_cast<vx_cf32 *>(vx_calloc(num_taps, sizeof(vx_cf32)));
    r->partial = num_taps > 1 ? static_cast<vx_cf32 *>(vx_calloc(num_taps - 1, sizeof(vx_cf32)))
                              : nullptr;
    if (!r->ring || !r->tacc || (num_taps > 1 && !r->partial)) {
        free_parts(r);
        return nullptr;
    }
    resamp_set_rate(r, rate);
    return r;
}

VX_API resamp *resamp_create_custom(uint64_t num_phases, uint64_t num_taps, const float *bank,
                                    double rate)
{
    uint64_t cells;
    if (!bank || !shape_ok(num_phases, num_taps, &cells) || !rate_ok(rate))
        return nullptr;
    float *copy = static_cast<float *>(vx_calloc(cells, sizeof(float)));
    if (!copy)
        return nullptr;
    std::memcpy(copy, bank, cells * sizeof(float));
    return resamp_create_from_bank(num_phases, num_taps, copy, rate);
}

VX_API resamp *resamp_create(double rate)
{
    if (!rate_ok(rate))
        return nullptr;
    float *bank = default_bank();
    return bank ? resamp_create_from_bank(RESAMP_DEFAULT_PHASES, RESAMP_DEFAULT_TAPS, bank, rate)
                : nullptr;
}

VX_API void resamp_destroy(resamp *r)
{
    if (r)
        free_parts(r);
}

VX_API void resamp_reset(resamp *r)
{
    std::memset(r->ring, 0, 2 * r->size * sizeof(vx_cf32));
    std::memset(r->tacc, 0, r->K * sizeof(vx_cf32));
    if (r->partial)
        std::memset(r->partial, 0, (r->K - 1) * sizeof(vx_cf32));
    r->acc = 0;
    r->pos = 0;
    r->ctrl_frac = r->ctrl_wait = r->ctrl_owed = 0;
}

VX_API uint64_t resamp_execute(resamp *r, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                               uint64_t max_out)
{
    if (!r || !x || n_in == 0)
        return 0;
    if (!y)
        max_out = 0;
    return r->up ? run_direct(r, x, n_in, y, max_out) : run_transposed(r, x, n_in, y, max_out);
}

VX_API uint64_t resamp_execute_max_out(const resamp *r, uint64_t n_in)
{
    if (!r || n_in == 0)
        return 0;
    if (r->step == 0)
        return n_in;
    const unsigned __int128 step = r->step, acc = r->acc;
    unsigned __int128 outs;
    if (r->up) // outputs until the n_in-th carry: ceil((n_in·2^32 − acc) / step)
        outs = ((static_cast<unsigned __int128>(n_in) << 32) - acc + step - 1) / step;
    else // carries within n_in steps
        outs = (acc + step * n_in) >> 32;
    return outs > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(outs);
}

VX_API uint64_t resamp_execute_ctrl_push(resamp *r, vx_cf32 *y, uint64_t max_out, vx_cf32 x,
                                         double ctrl)
{
    if (!r)
        return 0;
    if (!y)
        max_out = 0;
    uint32_t whole, frac;
    ctrl_step(r->rate + ctrl, whole, frac);
    uint64_t written = 0;
    for (;;) {
        while (r->ctrl_wait == 0 && written < max_out) {
            y[written++] = direct_output(r, r->ctrl_frac);
            const uint32_t old = r->ctrl_frac;
            r->ctrl_frac += frac;
            r->ctrl_wait = whole + (r->ctrl_frac < old); // whole <= 10^6: no overflow
        }
        if (r->ctrl_wait == 0) { // no room: store x now, count it when its turn comes
            push(r, x);
            ++r->ctrl_owed;
            return written;
        }
        // Inputs stored ahead of their turn count against the wait first.
        const uint32_t d = std::min(r->ctrl_wait, r->ctrl_owed);
        r->ctrl_wait -= d;
        r->ctrl_owed -= d;
        if (r->ctrl_wait > 0) {
            --r->ctrl_wait;
            push(r, x);
            return written;
        }
    }
}

VX_API uint64_t resamp_execute_ctrl(resamp *r, const vx_cf32 *x, const double *ctrl,
                                    uint64_t n_in, vx_cf32 *y, uint64_t max_out)
{
    if (!r || !x || !ctrl)
        return 0;
    if (!y)
        max_out = 0;
    // Every input is stored even once max_out is reached, so the ring never skips.
    uint64_t written = 0;
    for (uint64_t i = 0; i < n_in; ++i)
        written += resamp_execute_ctrl_push(r, y + written, max_out - written, x[i], ctrl[i]);
    return written;
}

VX_API int resamp_set_rate(resamp *r, double rate)
{
    if (!r || !rate_ok(rate))
        return VX_ERR_INVALID;
    r->rate = rate;
    r->ratef = static_cast<float>(rate);
    r->up = rate >= 1.0;
    r->step = block_step(rate);
    return VX_OK;
}

VX_API double resamp_get_rate(const resamp *r) { return r->rate; }
VX_API uint64_t resamp_get_num_phases(const resamp *r) { return r->L; }
VX_API uint64_t resamp_get_num_taps(const resamp *r) { return r->K; }
VX_API double resamp_get_delay(const resamp *r)
{
    return static_cast<double>(r->L * r->K / 2) / static_cast<double>(r->L) + 1.0;
}
VX_API double resamp_dc_gain(const resamp *r)
{
    double s = 0.0;
    for (uint64_t k = 0; k < r->K; ++k)
        s += r->bank[k];
    return s;
}
VX_API double resamp_get_ctrl_acc(const resamp *r) { return r->ctrl_frac / kTwo32; }

VX_API uint64_t resamp_interp_inputs_needed(const resamp *r, uint64_t n_out)
{
    if (!r || r->step == 0)
        return n_out;
    const unsigned __int128 n = (static_cast<unsigned __int128>(n_out) * r->step + r->acc) >> 32;
    return n > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(n);
}

VX_API uint64_t resamp_interp_fill(resamp *r, const vx_cf32 *x, vx_cf32 *y, uint64_t n_out)
{
    if (!r || !y || (!x && resamp_interp_inputs_needed(r, n_out) > 0))
        return 0;
    uint64_t used = 0;
    for (uint64_t o = 0; o < n_out; ++o) {
        y[o] = direct_output(r, r->acc);
        if (advance(r->acc, r->step))
            push(r, x[used++]);
    }
    return used;
}

VX_API uint64_t resamp_state_bytes(const resamp *r)
{
    return kFixedBytes + 2 * r->size * sizeof(vx_cf32) + (2 * r->K - 1) * sizeof(vx_cf32);
}

VX_API void resamp_get_state(const resamp *r, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_RESAMP, VX_VERSION_RESAMP, resamp_state_bytes(r))
        .put(r->acc).put(r->pos).put(r->ctrl_frac).put(r->ctrl_wait).put(r->ctrl_owed)
        .put_bytes(r->ring, 2 * r->size * sizeof(vx_cf32))
        .put_bytes(r->tacc, r->K * sizeof(vx_cf32))
        .put_bytes(r->partial, (r->K - 1) * sizeof(vx_cf32));
}

VX_API int resamp_set_state(resamp *r, const void *blob)
{
    if (!r || vx_state_check_header(blob, VX_MAGIC_RESAMP, VX_VERSION_RESAMP,
                                    resamp_state_bytes(r)) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader in(blob);
    uint32_t acc, frac, wait, owed;
    uint64_t pos;
    in.get(acc).get(pos).get(frac).get(wait).get(owed);
    // Any phase word indexes a valid arm; the ring position and the wait must be reachable.
    if (!vx::below(pos, r->size) || wait > kStallWait + 1)
        return VX_ERR_INVALID;
    r->acc = acc;
    r->pos = pos;
    r->ctrl_frac = frac;
    r->ctrl_wait = wait;
    r->ctrl_owed = owed;
    in.get_bytes(r->ring, 2 * r->size * sizeof(vx_cf32))
        .get_bytes(r->tacc, r->K * sizeof(vx_cf32))
        .get_bytes(r->partial, (r->K - 1) * sizeof(vx_cf32));
    return VX_OK;
}

} // extern "C"
