#include "resamp.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "vx_blob.hpp"
#include "vx_kernel.hpp"

// The vector helpers below are always inlined into the kernels: no vector value crosses a
// call, so the ABI note GCC gives for 32-byte vectors outside AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

struct resamp {
    double rate;
    float ratef;     // rate as applied to samples in the transposed form
    uint64_t L, K;   // arms, taps per arm
    uint64_t stride; // K rounded up to whole vectors
    uint64_t pad;    // stride − K
    uint32_t up;     // rate >= 1: direct form on the block path
    uint32_t step;   // block-path phase increment, 0 = one output per input
    float *bank;     // L arms: arm p is `pad` zeros then its K taps, at bank + p·stride
    uint64_t size;   // ring length, smallest power of two >= K
    vx_cf32 *ring;   // 2·size, every sample at pos and pos + size, newest at pos
    // Transposed form, per component and `stride` long, after `pad` lanes that meet only
    // zero taps (q's are zeroed at every output): the accumulators in reverse,
    // tr[pad + u] = tacc[K − 1 − u] (arms are read forward), and the partial sums reversed,
    // q[pad + v] = partial[K − 2 − v], so each output lands in the last lane.
    float *tr[2], *q[2];
    // running state
    uint32_t acc;
    uint64_t pos;
    uint32_t ctrl_frac, ctrl_wait, ctrl_owed;
    // The control step last derived and the deviation it came from: loops change their
    // control once per symbol, so most pushes reuse it (NaN never matches).
    double step_of;
    uint32_t step_whole, step_frac;
};

namespace {

constexpr double kTwo32 = 4294967296.0;
constexpr uint32_t kStallWait = 1000000; // inputs per output once rate + ctrl <= 1e−6
constexpr uint64_t kFixedBytes = 40;

bool rate_ok(double rate) { return vx_finite(rate) && rate > 0.0; }

// Arms and taps a bank may have.
bool shape_ok(uint64_t L, uint64_t K)
{
    return L > 0 && K > 0 && L <= RESAMP_MAX_PHASES && K <= RESAMP_MAX_TAPS &&
           vx_size_mul(L * sizeof(float), K, nullptr);
}

uint32_t block_step(double rate)
{
    const double v = std::floor(rate >= 1.0 ? kTwo32 / rate : kTwo32 * rate);
    return v > 0.0 && v < kTwo32 ? static_cast<uint32_t>(v) : 0;
}

// Eight-float vectors. In the transposed form every access to tr and q uses the same
// stride-aligned chunks, so each load finds its data where a store of the same shape left it.
constexpr uint64_t kLanes = 8;
typedef float lanes __attribute__((vector_size(kLanes * sizeof(float))));
[[gnu::always_inline]] inline lanes load(const float *p)
{
    lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store(float *p, lanes v) { std::memcpy(p, &v, sizeof v); }

// Σ_k a[k]·w[k] in four interleaved partial sums (the order the header fixes): taps four
// at a time into the lanes (s0.re, s0.im, s1.re, …, s3.im), the last K mod 4 into
// s0.. in turn, then (s0 + s1) + (s2 + s3). The last group reads up to three taps and
// samples past the end (the bank and ring carry that slack) and keeps only its own lanes.
constexpr uint64_t kDotSlack = 3;
inline vx_cf32 dot(const float *__restrict a, const vx_cf32 *__restrict w, uint64_t n)
{
    typedef float quad __attribute__((vector_size(4 * sizeof(float))));
    typedef int32_t mask __attribute__((vector_size(kLanes * sizeof(int32_t))));
    lanes acc = {0, 0, 0, 0, 0, 0, 0, 0};
    quad a4;
    uint64_t k = 0;
    for (; k + 4 <= n; k += 4) {
        std::memcpy(&a4, a + k, sizeof a4);
        acc += __builtin_shufflevector(a4, a4, 0, 0, 1, 1, 2, 2, 3, 3) * load(&w[k].re);
    }
    if (k < n) {
        const int32_t r = static_cast<int32_t>(n - k) * 2; // lanes the last taps fill
        const mask lane = {0, 1, 2, 3, 4, 5, 6, 7};
        std::memcpy(&a4, a + k, sizeof a4);
        const lanes sum = acc + __builtin_shufflevector(a4, a4, 0, 0, 1, 1, 2, 2, 3, 3) * load(&w[k].re);
        acc = lane < r ? sum : acc;
    }
    const lanes u = acc + __builtin_shufflevector(acc, acc, 2, 3, 0, 1, 6, 7, 4, 5);
    return {u[0] + u[4], u[1] + u[5]};
}

// The padded arm for a phase word: its K taps start at + pad.
inline const float *arm(const resamp *r, uint32_t phase)
{
    return r->bank + ((static_cast<uint64_t>(phase) * r->L) >> 32) * r->stride;
}

inline void push(resamp *r, vx_cf32 x)
{
    r->pos = (r->pos - 1) & (r->size - 1);
    r->ring[r->pos] = r->ring[r->pos + r->size] = x;
}

inline vx_cf32 direct_output(const resamp *r, uint32_t phase)
{
    return dot(arm(r, phase) + r->pad, r->ring + r->pos, r->K);
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

// On each carry: y = tacc[0] + partial[0]; partial[k] = partial[k + 1] + tacc[k + 1];
// partial[K − 2] = tacc[K − 1]; tacc = 0. Reversed, q_new[v] = q_old[v − 1] + tr[v] (with
// q_old[−1] = 0) and y the last lane; the shift by one lane happens in registers.
// The pad lanes are zeroed again afterwards: a non-finite input leaves NaN there (x·0),
// which would otherwise shift into the partial sums and outlast the filter's support.
inline float emit(float *__restrict tr, float *__restrict q, uint64_t stride, uint64_t pad)
{
    lanes carry = {0, 0, 0, 0, 0, 0, 0, 0}, sum = carry;
    for (uint64_t c = 0; c < stride; c += kLanes) {
        const lanes old = load(q + c);
        sum = __builtin_shufflevector(carry, old, 7, 8, 9, 10, 11, 12, 13, 14) + load(tr + c);
        store(q + c, sum);
        store(tr + c, lanes{0, 0, 0, 0, 0, 0, 0, 0});
        carry = old;
    }
    for (uint64_t c = 0; c < pad; ++c)
        q[c] = 0.0f;
    return sum[kLanes - 1];
}

VX_KERNEL uint64_t run_transposed(resamp *r, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                                  uint64_t max_out)
{
    const uint64_t L = r->L, stride = r->stride;
    const float *bank = r->bank, ratef = r->ratef;
    const uint32_t step = r->step;
    float *__restrict tr_re = r->tr[0], *__restrict tr_im = r->tr[1];
    uint32_t acc = r->acc;
    uint64_t written = 0;
    for (uint64_t i = 0; i < n_in; ++i) {
        // tacc[k] += x·rate·bank[p·K + K − 1 − k], i.e. tr[u] += x·rate·arm[u].
        const float *__restrict a = bank + ((static_cast<uint64_t>(acc) * L) >> 32) * stride;
        const float xr = x[i].re * ratef, xi = x[i].im * ratef;
        for (uint64_t c = 0; c < stride; c += kLanes) {
            const lanes t = load(a + c);
            store(tr_re + c, load(tr_re + c) + xr * t);
            store(tr_im + c, load(tr_im + c) + xi * t);
        }
        if (!advance(acc, step))
            continue;
        const vx_cf32 out = {emit(tr_re, r->q[0], stride, r->pad), emit(tr_im, r->q[1], stride, r->pad)};
        if (written < max_out)
            y[written++] = out;
    }
    r->acc = acc;
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
    if (whole == 0 && frac == 0)
        frac = 1; // rate + ctrl >= 2^32 (or +inf): a zero step would emit without end
}

// Moves the control path's timing past one output: a step of whole inputs and frac.
inline void ctrl_next(resamp *r, uint32_t whole, uint32_t frac)
{
    const uint32_t old = r->ctrl_frac;
    r->ctrl_frac += frac;
    r->ctrl_wait = whole + (r->ctrl_frac < old); // whole <= 10^6: no overflow
}

// Skips every output due before the next input, as that many ctrl_next calls would: with
// whole = 0, up to the step that carries (at most 2^32 of them, in one jump).
inline void ctrl_skip(resamp *r, uint32_t whole, uint32_t frac)
{
    if (whole) {
        ctrl_next(r, whole, frac);
        return;
    }
    const uint64_t left = (uint64_t{1} << 32) - r->ctrl_frac;
    r->ctrl_frac = static_cast<uint32_t>(r->ctrl_frac + (left + frac - 1) / frac * frac);
    r->ctrl_wait = 1;
}

// Control path: each input x[i] with deviation ctrl[i] is stored exactly once, after the
// outputs due before it. An output due without room in y is deferred while the ring still
// holds its history: x is stored ahead (owed), and the output is computed later from the
// ring `owed` samples back, so it equals the one an unhurried call gives. Once the ring
// holds no more (owed = size − K), outputs due without room are skipped, timing kept, as
// the block path skips them.
VX_KERNEL uint64_t run_ctrl(resamp *r, const vx_cf32 *x, const double *ctrl, uint64_t n_in,
                            vx_cf32 *y, uint64_t max_out)
{
    const uint64_t slack = r->size - r->K;
    uint64_t written = 0;
    for (uint64_t i = 0; i < n_in; ++i) {
        const double e = r->rate + ctrl[i];
        if (e != r->step_of) {
            ctrl_step(e, r->step_whole, r->step_frac);
            r->step_of = e;
        }
        const uint32_t whole = r->step_whole, frac = r->step_frac;
        for (;;) {
            while (r->ctrl_wait == 0) {
                if (written < max_out) {
                    y[written++] = dot(arm(r, r->ctrl_frac) + r->pad, r->ring + r->pos + r->ctrl_owed, r->K);
                    ctrl_next(r, whole, frac);
                } else if (r->ctrl_owed < slack) {
                    break;
                } else {
                    ctrl_skip(r, whole, frac);
                }
            }
            if (r->ctrl_wait == 0) { // deferred: store x now, count it when its turn comes
                push(r, x[i]);
                ++r->ctrl_owed;
                break;
            }
            // Inputs stored ahead of their turn count against the wait first.
            const uint32_t d = std::min(r->ctrl_wait, r->ctrl_owed);
            r->ctrl_wait -= d;
            r->ctrl_owed -= d;
            if (r->ctrl_wait > 0) {
                --r->ctrl_wait;
                push(r, x[i]);
                break;
            }
        }
    }
    return written;
}

VX_KERNEL uint64_t run_fill(resamp *r, const vx_cf32 *x, vx_cf32 *y, uint64_t n_out)
{
    uint64_t used = 0;
    for (uint64_t o = 0; o < n_out; ++o) {
        y[o] = direct_output(r, r->acc);
        if (advance(r->acc, r->step))
            push(r, x[used++]);
    }
    return used;
}

void free_parts(resamp *r)
{
    vx_free(r->bank);
    vx_free(r->ring);
    vx_free(r->tr[0]);
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

// Built once, on first use (thread-safe static initialisation), then only read.
const float *default_bank()
{
    constexpr uint64_t L = RESAMP_DEFAULT_PHASES, K = RESAMP_DEFAULT_TAPS;
    static const std::array<float, L * K> bank = [] {
        std::array<float, L * K> b{};
        const double half_beta = 2.82663, c = 9.5 * L;
        const double norm = kaiser_series(half_beta);
        for (uint64_t j = 0; j < L * K; ++j) { // the prototype's last sample is not used
            const double d = (static_cast<double>(j) - c) / c;
            const double w = kaiser_series(half_beta * std::sqrt(1.0 - d * d)) / norm;
            const double theta = (static_cast<double>(j) - c) * std::numbers::pi / L;
            const double h = theta == 0.0 ? w : w * std::sin(theta) / theta;
            b[(j % L) * K + j / L] = static_cast<float>(h);
        }
        return b;
    }();
    return bank.data();
}

} // namespace

extern "C" {

VX_API resamp *resamp_create_custom(uint64_t num_phases, uint64_t num_taps, const float *bank,
                                    double rate)
{
    if (!bank || !shape_ok(num_phases, num_taps) || !rate_ok(rate))
        return nullptr;
    resamp *r = vx::alloc_object<resamp>();
    if (!r)
        return nullptr;
    r->L = num_phases;
    r->K = num_taps;
    r->stride = (num_taps + kLanes - 1) / kLanes * kLanes;
    r->pad = r->stride - num_taps;
    r->size = 1;
    while (r->size < num_taps)
        r->size <<= 1;
    r->bank = static_cast<float *>(vx_calloc(num_phases * r->stride + kDotSlack, sizeof(float)));
    r->ring = static_cast<vx_cf32 *>(vx_calloc(2 * r->size + kDotSlack, sizeof(vx_cf32)));
    r->tr[0] = static_cast<float *>(vx_calloc(4 * r->stride, sizeof(float)));
    if (!r->bank || !r->ring || !r->tr[0]) {
        free_parts(r);
        return nullptr;
    }
    r->step_of = NAN;
    r->tr[1] = r->tr[0] + r->stride;
    r->q[0] = r->tr[1] + r->stride;
    r->q[1] = r->q[0] + r->stride;
    for (uint64_t p = 0; p < num_phases; ++p)
        std::memcpy(r->bank + p * r->stride + r->pad, bank + p * num_taps, num_taps * sizeof(float));
    resamp_set_rate(r, rate);
    return r;
}

VX_API resamp *resamp_create_from_bank(uint64_t num_phases, uint64_t num_taps, float *bank,
                                       double rate)
{
    // Arms are re-laid on vector strides, so the bank is copied and released here.
    resamp *r = resamp_create_custom(num_phases, num_taps, bank, rate);
    vx_free(bank);
    return r;
}

VX_API resamp *resamp_create(double rate)
{
    if (!rate_ok(rate))
        return nullptr;
    return resamp_create_custom(RESAMP_DEFAULT_PHASES, RESAMP_DEFAULT_TAPS, default_bank(), rate);
}

VX_API void resamp_destroy(resamp *r)
{
    if (r)
        free_parts(r);
}

VX_API void resamp_reset(resamp *r)
{
    std::memset(r->ring, 0, 2 * r->size * sizeof(vx_cf32));
    std::memset(r->tr[0], 0, 4 * r->stride * sizeof(float));
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

VX_API uint64_t resamp_execute_ctrl_bound(const resamp *r, uint64_t n_in, double ctrl)
{
    if (!r || n_in == 0)
        return 0;
    uint32_t whole, frac;
    ctrl_step(r->rate + ctrl, whole, frac);
    // The next output falls due once ctrl_wait more inputs are in, at position ctrl_frac;
    // each further one a step later. The step is the truncated one the path runs. Inputs
    // stored ahead of their turn count as further inputs, up to n_in per call (the rest
    // stay owed), so the bound grows with n_in only.
    const unsigned __int128 step = (static_cast<unsigned __int128>(whole) << 32) | frac;
    const unsigned __int128 ticks = static_cast<unsigned __int128>(n_in) + std::min<uint64_t>(r->ctrl_owed, n_in);
    if (ticks <= r->ctrl_wait)
        return 0;
    const unsigned __int128 span = ((ticks - r->ctrl_wait) << 32) - r->ctrl_frac;
    const unsigned __int128 outs = (span + step - 1) / step;
    return outs > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(outs);
}

VX_API void resamp_bound_line(const resamp *r, int ctrl_mode, double ctrl, double *slope,
                              double *offset)
{
    // Outputs per input from the step the path runs, a hair above the exact quotient so
    // rounding cannot put the line under a bound.
    constexpr double kUp = 1.0 + 1e-12;
    double s = 1.0, o = 0.0;
    if (ctrl_mode) {
        uint32_t whole, frac;
        ctrl_step(r->rate + ctrl, whole, frac);
        s = kTwo32 / (static_cast<double>(whole) * kTwo32 + frac) * kUp;
        o = 1.0;
        // Owed inputs count up to n_in more ticks: a steeper line, but one that does not
        // grow with the owed count (which a restored blob sets).
        if (r->ctrl_owed)
            s *= 2.0;
    } else if (r->step) {
        s = (r->up ? kTwo32 / r->step : r->step / kTwo32) * kUp;
        o = 1.0;
    }
    *slope = s;
    *offset = o;
}

VX_API uint64_t resamp_execute_ctrl_push(resamp *r, vx_cf32 *y, uint64_t max_out, vx_cf32 x,
                                         double ctrl)
{
    if (!r)
        return 0;
    return run_ctrl(r, &x, &ctrl, 1, y, y ? max_out : 0);
}

VX_API uint64_t resamp_execute_ctrl(resamp *r, const vx_cf32 *x, const double *ctrl,
                                    uint64_t n_in, vx_cf32 *y, uint64_t max_out)
{
    if (!r || !x || !ctrl)
        return 0;
    return run_ctrl(r, x, ctrl, n_in, y, y ? max_out : 0);
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
        s += r->bank[r->pad + k];
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
    return run_fill(r, x, y, n_out);
}

VX_API uint64_t resamp_state_bytes(const resamp *r)
{
    return kFixedBytes + 2 * r->size * sizeof(vx_cf32) + (2 * r->K - 1) * sizeof(vx_cf32);
}

VX_API void resamp_get_state(const resamp *r, void *out)
{
    vx::BlobWriter w(out, VX_MAGIC_RESAMP, VX_VERSION_RESAMP, resamp_state_bytes(r));
    w.put(r->acc).put(r->pos).put(r->ctrl_frac).put(r->ctrl_wait).put(r->ctrl_owed)
        .put_bytes(r->ring, 2 * r->size * sizeof(vx_cf32));
    const uint64_t top = r->stride - 1;
    for (uint64_t k = 0; k < r->K; ++k)
        w.put(r->tr[0][top - k]).put(r->tr[1][top - k]);
    for (uint64_t k = 0; k + 1 < r->K; ++k)
        w.put(r->q[0][top - 1 - k]).put(r->q[1][top - 1 - k]);
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
    // Inputs owed beyond what the ring holds (blobs of earlier versions) have lost the
    // history of their outputs: those outputs are skipped.
    r->ctrl_owed = static_cast<uint32_t>(std::min<uint64_t>(owed, r->size - r->K));
    in.get_bytes(r->ring, 2 * r->size * sizeof(vx_cf32));
    const uint64_t top = r->stride - 1;
    for (uint64_t k = 0; k < r->K; ++k)
        in.get(r->tr[0][top - k]).get(r->tr[1][top - k]);
    for (uint64_t k = 0; k + 1 < r->K; ++k)
        in.get(r->q[0][top - 1 - k]).get(r->q[1][top - 1 - k]);
    return VX_OK;
}

} // extern "C"
