#include "rate_converter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agc.h"
#include "vx_tlm.h"
#include "cic.h"
#include "ciccomp.h"
#include "fir.h"
#include "hbdecim.h"
#include "resamp.h"
#include "rrc.h"
#include "vx_blob.hpp"

namespace {

// Samples moved between stages per pass; the scratch buffers are sized once at create.
constexpr uint64_t kChunk = RC_FRONT_MAX;
constexpr uint32_t kMaxCicLog2 = 11; // CIC ratios up to 2048
constexpr int kCompTaps = 7;
constexpr uint64_t kAgcUpdatePeriod = AGC_DECIM_DEFAULT;

struct Stage {
    int kind;
    double rate;    // this stage's output/input rate
    uint32_t ratio; // CIC decimation ratio
    hbdecim *hb;
    cic *c;
    fir *comp;      // CIC droop compensator (plain plans)
    resamp *rs;
};

struct Plan {
    int n = 0;
    int kind[3] = {0, 0, 0};
    uint32_t ratio = 0;
    double rs_rate = 0.0;
};

struct Matched {
    int pulse = RC_PULSE_NONE;
    double beta = 0.0;
    uint64_t span = 0;
    double pulse_sps = 0.0;
    uint64_t num_phases = 0;
};

// A resampler stage must have a usable phase step: rate 1 is the fixed-arm case, any
// other rate whose step floor(2^32/rate) or floor(2^32·rate) rounds to 0 is refused.
bool step_ok(double s)
{
    if (!(s > 0.0) || !vx_finite(s))
        return false;
    if (s == 1.0)
        return true;
    return s > 1.0 ? 4294967296.0 / s >= 1.0 : s * 4294967296.0 >= 1.0;
}

// The cheapest cascade for rate r; a matched plan always ends in a resampler.
bool make_plan(double r, bool matched, Plan &p)
{
    // A rate whose inverse overflows (a denormal) would reach the ratio's integer cast as
    // infinity; no cascade converts at such a rate anyway.
    if (!(r > 0.0 && r <= RC_MAX_RATE) || !vx_finite(1.0 / r))
        return false;
    auto add = [&p](int kind) { p.kind[p.n++] = kind; };
    auto add_rs = [&](double s) {
        add(RC_STAGE_RESAMPLER);
        p.rs_rate = s;
    };
    const double d = 1.0 / r;
    if (r >= 1.0 || d < 2.0) {
        add_rs(r);
    } else {
        const double e = std::log2(d);
        const double h = std::round(e);
        if (std::fabs(e - h) < 1e-9) {
            if (h == 1.0 || h == 2.0) {
                for (int i = 0; i < static_cast<int>(h); ++i)
                    add(RC_STAGE_HALFBAND);
                if (matched)
                    add_rs(r * std::exp2(h));
            } else {
                p.ratio = 1u << std::min<uint32_t>(static_cast<uint32_t>(h), kMaxCicLog2);
                add(RC_STAGE_CIC);
                if (matched || h > kMaxCicLog2)
                    add_rs(p.ratio * r);
            }
        } else if (d >= 8.0) {
            const uint32_t l = static_cast<uint32_t>(std::floor(e));
            const double lo = std::exp2(std::min(l, kMaxCicLog2));
            const double hi = std::exp2(std::min(l + 1, kMaxCicLog2));
            // The residual closer to 1 in log2 terms; a tie goes to the smaller ratio.
            const double ratio = std::fabs(std::log2(lo * r)) <= std::fabs(std::log2(hi * r)) ? lo : hi;
            p.ratio = static_cast<uint32_t>(ratio);
            add(RC_STAGE_CIC);
            const double resid = ratio * r;
            if (matched || std::fabs(resid - 1.0) > 1e-6)
                add_rs(resid);
        } else {
            add_rs(r);
        }
    }
    return p.kind[p.n - 1] != RC_STAGE_RESAMPLER || step_ok(p.rs_rate);
}

double pulse_value(int pulse, double t, double beta)
{
    if (pulse == RC_PULSE_IANDD)
        return (t >= -0.5 && t < 0.5) ? 1.0 : 0.0;
    return wfm_rrc_pulse(t, beta);
}

// Matched bank for a terminal stage at rate s: arm j, tap k holds pulse(m − j·d/L − k·d)
// (d = tap spacing in symbols), optionally convolved with the CIC compensator, scaled so a
// pulse sampled on the arms gives unit peak output.
resamp *build_matched(double s, const Matched &mp, const double *comp, double &bank_sps,
                      double &energy)
{
    bank_sps = mp.pulse_sps / s;
    if (!(bank_sps > 0.0) || !vx_finite(bank_sps))
        return nullptr;
    const double d = 1.0 / bank_sps;
    const double m = mp.pulse == RC_PULSE_RRC ? static_cast<double>(mp.span) : 0.5;
    const double o = 2.0 * m;
    const double taps = std::ceil((o + d) * bank_sps); // checked in double before the cast
    if (!(taps >= 0.0 && taps < RC_MAX_ARM_TAPS))
        return nullptr;
    const uint64_t t_max = static_cast<uint64_t>(taps);
    const uint64_t arm = t_max + 1 + (comp ? kCompTaps - 1 : 0);
    const uint64_t arms = mp.num_phases;
    uint64_t total;
    if (!vx_size_mul(arms, arm, &total) || total > RC_MAX_BANK_CELLS)
        return nullptr;

    energy = 0.0;
    for (uint64_t k = 0; k <= t_max; ++k) {
        const double v = pulse_value(mp.pulse, m - static_cast<double>(k) * d, mp.beta);
        energy += v * v;
    }
    const double scale = energy > 0.0 ? 1.0 / energy : 1.0;

    auto *bank = static_cast<float *>(vx_calloc(total, sizeof(float)));
    auto *row = static_cast<double *>(vx_calloc(arm, sizeof(double)));
    resamp *rs = nullptr;
    if (bank && row) {
        for (uint64_t j = 0; j < arms; ++j) {
            std::fill(row, row + arm, 0.0);
            for (uint64_t k = 0; k <= t_max; ++k) {
                const double t = m - static_cast<double>(j) * d / static_cast<double>(arms) -
                                 static_cast<double>(k) * d;
                const double v = pulse_value(mp.pulse, t, mp.beta);
                if (comp)
                    for (int i = 0; i < kCompTaps; ++i)
                        row[k + i] += v * comp[i];
                else
                    row[k] = v;
            }
            for (uint64_t k = 0; k < arm; ++k)
                bank[j * arm + k] = static_cast<float>(row[k] * scale);
        }
        rs = resamp_create_custom(arms, arm, bank, s);
    }
    vx_free(row);
    vx_free(bank);
    return rs;
}

void destroy_stages(Stage *st, int n)
{
    for (int i = 0; i < n; ++i) {
        hbdecim_destroy(st[i].hb);
        cic_destroy(st[i].c);
        fir_destroy(st[i].comp);
        resamp_destroy(st[i].rs);
        st[i] = Stage{};
    }
}

struct Built {
    Stage st[3] = {};
    int n = 0;
    double bank_sps = 0.0, energy = 0.0;
};

// Build every stage of the plan for `rate`; false (nothing left allocated) on failure.
bool build(double rate, int compensate, const Matched *mp, Built &b)
{
    Plan p;
    if (!make_plan(rate, mp != nullptr, p))
        return false;
    double comp[kCompTaps];
    bool fold_comp = false;
    for (int i = 0; i < p.n; ++i) {
        Stage &s = b.st[i];
        s.kind = p.kind[i];
        bool ok = true;
        switch (s.kind) {
        case RC_STAGE_HALFBAND:
            s.rate = 0.5;
            ok = (s.hb = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR)) != nullptr;
            break;
        case RC_STAGE_CIC:
            s.ratio = p.ratio;
            s.rate = 1.0 / p.ratio;
            ok = (s.c = cic_create(p.ratio)) != nullptr;
            if (ok && compensate) {
                ciccompmf(comp, 4, static_cast<double>(p.ratio), kCompTaps);
                if (mp) {
                    fold_comp = true; // folded into the matched bank instead
                } else {
                    float taps[kCompTaps];
                    for (int k = 0; k < kCompTaps; ++k)
                        taps[k] = static_cast<float>(comp[k]);
                    ok = (s.comp = fir_create_real(taps, kCompTaps)) != nullptr;
                }
            }
            break;
        default:
            s.rate = p.rs_rate;
            s.rs = mp ? build_matched(p.rs_rate, *mp, fold_comp ? comp : nullptr, b.bank_sps, b.energy)
                      : resamp_create(p.rs_rate);
            ok = s.rs != nullptr;
            break;
        }
        b.n = i + 1;
        if (!ok) {
            destroy_stages(b.st, b.n);
            b.n = 0;
            return false;
        }
    }
    return true;
}

uint64_t stage_block(Stage &s, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint64_t cap)
{
    switch (s.kind) {
    case RC_STAGE_HALFBAND:
        return hbdecim_execute(s.hb, x, n, y, cap);
    case RC_STAGE_CIC: {
        const uint64_t k = cic_decimate(s.c, x, n, y, cap);
        if (s.comp && k)
            fir_execute(s.comp, y, k, y);
        return k;
    }
    default:
        return resamp_execute(s.rs, x, n, y, cap);
    }
}

// Upper bound of a stage's outputs for n inputs from its current state.
uint64_t stage_bound(const Stage &s, uint64_t n)
{
    switch (s.kind) {
    case RC_STAGE_HALFBAND:
        return hbdecim_execute_max_out(s.hb, n);
    case RC_STAGE_CIC:
        return cic_decimate_bound(s.c, n);
    default:
        return resamp_execute_max_out(s.rs, n);
    }
}

// A line over stage_bound: outputs <= slope·n + offset for every n.
void stage_line(const Stage &s, double &slope, double &offset)
{
    switch (s.kind) {
    case RC_STAGE_HALFBAND: // (n + pending) / 2
        slope = 0.5, offset = 0.5;
        break;
    case RC_STAGE_CIC: // (phase + n) / r with phase < r
        slope = 1.0 / s.ratio, offset = 1.0;
        break;
    default:
        resamp_bound_line(s.rs, 0, 0.0, &slope, &offset);
    }
}

uint64_t stage_state_bytes(const Stage &s)
{
    switch (s.kind) {
    case RC_STAGE_HALFBAND:
        return hbdecim_state_bytes(s.hb);
    case RC_STAGE_CIC:
        return cic_state_bytes(s.c) + (s.comp ? fir_state_bytes(s.comp) : 0);
    default:
        return resamp_state_bytes(s.rs);
    }
}

uint64_t saturating_bound(double v)
{
    if (!(v >= 0.0))
        return 0;
    return v >= 9.0e15 ? UINT64_MAX : static_cast<uint64_t>(std::ceil(v));
}

}  // namespace

struct RateConverter {
    double rate;
    int compensate;
    int num_stages;
    Stage st[3];
    vx_cf32 *buf_a, *buf_b; // kChunk samples each, ping-pong between stages
    int matched;
    Matched mp;
    uint8_t narrow_pulse;
    agc *gain;
    double bank_sps, bank_energy, agc_ref_db, agc_bn, agc_param;
    vx_tlm *tlm;
    char tlm_prefix[32];
    unsigned long tlm_decim;
};

namespace {

Stage *terminal_rs(RateConverter *rc)
{
    if (!rc->num_stages)
        return nullptr;
    Stage &t = rc->st[rc->num_stages - 1];
    return t.kind == RC_STAGE_RESAMPLER ? &t : nullptr;
}

// Take built stages and their bank figures into the converter.
void adopt(RateConverter *rc, Built &b, double rate)
{
    std::copy(b.st, b.st + b.n, rc->st);
    rc->num_stages = b.n;
    rc->rate = rate;
    rc->bank_sps = b.bank_sps;
    rc->bank_energy = b.energy;
    rc->agc_ref_db = (b.bank_sps > 0.0 && b.energy > 0.0) ? 10.0 * std::log10(b.energy / b.bank_sps) : 0.0;
}

RateConverter *create(int compensate, double rate, const Matched *mp)
{
    Built b;
    if (!build(rate, compensate, mp, b))
        return nullptr;
    auto *rc = vx::alloc_object<RateConverter>();
    if (rc) {
        rc->buf_a = static_cast<vx_cf32 *>(vx_calloc(kChunk, sizeof(vx_cf32)));
        rc->buf_b = static_cast<vx_cf32 *>(vx_calloc(kChunk, sizeof(vx_cf32)));
    }
    if (!rc || !rc->buf_a || !rc->buf_b) {
        destroy_stages(b.st, b.n);
        if (rc) {
            vx_free(rc->buf_a);
            vx_free(rc->buf_b);
            vx_free(rc);
        }
        return nullptr;
    }
    rc->compensate = compensate;
    rc->matched = mp != nullptr;
    rc->mp = mp ? *mp : Matched{};
    rc->narrow_pulse = mp && mp->pulse == RC_PULSE_IANDD && mp->pulse_sps < 4.0;
    adopt(rc, b, rate);
    return rc;
}

vx_cf32 through_agc(RateConverter *rc, vx_cf32 v) { return rc->gain ? agc_step(rc->gain, v) : v; }

// The deviation the terminal resampler runs: its rate plus ctrl never passes RC_MAX_RATE,
// so one input cannot ask for an unbounded number of outputs (NaN passes: it stalls).
double terminal_ctrl(const Stage &t, double ctrl) { return std::min(ctrl, RC_MAX_RATE - t.rate); }

// Bound of the block path through every stage.
uint64_t block_bound(const RateConverter *rc, uint64_t n)
{
    for (int i = 0; i < rc->num_stages; ++i)
        n = stage_bound(rc->st[i], n);
    return n;
}

int attach_agc_telemetry(RateConverter *rc, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    return rc->gain ? agc_set_telemetry(rc->gain, tlm, prefix, decim ? decim : 1) : VX_OK;
}

}  // namespace

extern "C" {

VX_API RateConverter *RateConverter_create(int compensate, double rate)
{
    return create(compensate, rate, nullptr);
}

VX_API RateConverter *RateConverter_create_matched(int compensate, int pulse, uint64_t span,
                                                   uint64_t num_phases, double rate,
                                                   double beta, double pulse_sps)
{
    const bool pow2 = num_phases >= 2 && num_phases <= RC_MAX_PHASES && !(num_phases & (num_phases - 1));
    if (!(rate > 0.0) || !vx_finite(rate) || !(beta >= 0.0 && beta <= 1.0) || span < 1 ||
        span > RC_MAX_SPAN || !(pulse_sps > 0.0 && pulse_sps <= RC_MAX_PULSE_SPS) || !pow2 ||
        (pulse != RC_PULSE_IANDD && pulse != RC_PULSE_RRC))
        return nullptr;
    const Matched mp{pulse, beta, span, pulse_sps, num_phases};
    return create(compensate, rate, &mp);
}

VX_API void RateConverter_destroy(RateConverter *rc)
{
    if (!rc)
        return;
    destroy_stages(rc->st, rc->num_stages);
    agc_destroy(rc->gain);
    vx_tlm_swap(&rc->tlm, nullptr);
    vx_free(rc->buf_a);
    vx_free(rc->buf_b);
    vx_free(rc);
}

VX_API void RateConverter_reset(RateConverter *rc)
{
    for (int i = 0; i < rc->num_stages; ++i) {
        Stage &s = rc->st[i];
        if (s.hb)
            hbdecim_reset(s.hb);
        if (s.c)
            cic_reset(s.c);
        if (s.comp)
            fir_reset(s.comp);
        if (s.rs)
            resamp_reset(s.rs);
    }
    if (rc->gain)
        agc_reset(rc->gain);
}

VX_API uint64_t RateConverter_execute_bound(const RateConverter *rc, uint64_t n_in)
{
    // A matched converter executes through the control path.
    return rc->matched ? RateConverter_execute_ctrl_bound(rc, n_in, 0.0) : block_bound(rc, n_in);
}

VX_API uint64_t RateConverter_execute_ctrl_bound(const RateConverter *rc, uint64_t n_in, double ctrl)
{
    const int last = rc->num_stages - 1;
    if (last < 0 || rc->st[last].kind != RC_STAGE_RESAMPLER)
        return block_bound(rc, n_in);
    uint64_t n = n_in;
    for (int i = 0; i < last; ++i)
        n = stage_bound(rc->st[i], n);
    const Stage &t = rc->st[last];
    return resamp_execute_ctrl_bound(t.rs, n, terminal_ctrl(t, ctrl));
}

VX_API void RateConverter_bound_line(const RateConverter *rc, int ctrl_mode, double ctrl,
                                    double *slope, double *offset)
{
    double a = 1.0, b = 0.0;
    const int last = rc->num_stages - 1;
    // The terminal resampler runs its control path in ctrl mode and in a matched execute.
    const bool ctrl_path = last >= 0 && rc->st[last].kind == RC_STAGE_RESAMPLER &&
                           (ctrl_mode || rc->matched);
    for (int i = 0; i <= last; ++i) {
        double s, o;
        if (i == last && ctrl_path)
            resamp_bound_line(rc->st[i].rs, 1, ctrl_mode ? terminal_ctrl(rc->st[i], ctrl) : 0.0, &s, &o);
        else
            stage_line(rc->st[i], s, o);
        a *= s;
        b = b * s + o;
    }
    *slope = a;
    *offset = b;
}

// Chunks of the input run through the pre-terminal stages; the terminal stage writes into
// y. In control mode every terminal input is pushed (through the AGC) with `ctrl`. With
// `refuse_short`, a max_out below the execute bound is refused before anything runs.
static uint64_t run(RateConverter *rc, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint64_t max_out,
                    bool ctrl_mode, double ctrl, bool refuse_short)
{
    if (!rc || !x || (!y && max_out) || n == 0 || rc->num_stages == 0)
        return 0;
    Stage &last = rc->st[rc->num_stages - 1];
    ctrl_mode = ctrl_mode && last.kind == RC_STAGE_RESAMPLER;
    if (refuse_short && max_out < RateConverter_execute_bound(rc, n))
        return 0; // refuse rather than drop or defer output
    uint64_t written = 0;
    for (uint64_t at = 0; at < n; at += kChunk) {
        const vx_cf32 *cur = x + at;
        uint64_t cur_n = std::min(kChunk, n - at);
        for (int i = 0; i + 1 < rc->num_stages; ++i) {
            vx_cf32 *dst = (i % 2 == 0) ? rc->buf_a : rc->buf_b;
            cur_n = stage_block(rc->st[i], cur, cur_n, dst, kChunk);
            cur = dst;
        }
        if (ctrl_mode) {
            ctrl = terminal_ctrl(last, ctrl);
            for (uint64_t i = 0; i < cur_n; ++i)
                written += resamp_execute_ctrl_push(last.rs, y + written, max_out - written,
                                                    through_agc(rc, cur[i]), ctrl);
        } else {
            written += stage_block(last, cur, cur_n, y + written, max_out - written);
        }
    }
    return written;
}

VX_API uint64_t RateConverter_execute(RateConverter *rc, const vx_cf32 *x, uint64_t n_in,
                                      vx_cf32 *y, uint64_t max_out)
{
    return run(rc, x, n_in, y, max_out, rc && rc->matched, 0.0, true);
}

VX_API uint64_t RateConverter_execute_part(RateConverter *rc, const vx_cf32 *x, uint64_t n_in,
                                           vx_cf32 *y, uint64_t max_out)
{
    return run(rc, x, n_in, y, max_out, rc && rc->matched, 0.0, false);
}

VX_API uint64_t RateConverter_execute_ctrl(RateConverter *rc, const vx_cf32 *x, uint64_t n_in,
                                           vx_cf32 *y, uint64_t max_out, double ctrl)
{
    // A plan ending in a halfband or CIC has no owed outputs to defer into: it refuses a
    // short max_out like execute.
    return run(rc, x, n_in, y, max_out, true, ctrl, rc && !RateConverter_terminal(rc));
}

VX_API const vx_cf32 *RateConverter_front(RateConverter *rc, const vx_cf32 *x, uint64_t n,
                                          uint64_t *n_out)
{
    *n_out = 0;
    if (!rc || !x || rc->num_stages == 0 || n > kChunk)
        return x;
    const vx_cf32 *cur = x;
    for (int i = 0; i + 1 < rc->num_stages && n; ++i) {
        vx_cf32 *dst = (i % 2 == 0) ? rc->buf_a : rc->buf_b;
        n = stage_block(rc->st[i], cur, n, dst, kChunk);
        cur = dst;
    }
    *n_out = n;
    return cur;
}

// One terminal-stage input; tap (when given) receives it after the AGC.
static uint64_t terminal_push(RateConverter *rc, vx_cf32 *y, uint64_t max_out, vx_cf32 v,
                              double ctrl, vx_cf32 *tap)
{
    Stage &t = rc->st[rc->num_stages - 1];
    if (t.kind == RC_STAGE_RESAMPLER)
        v = through_agc(rc, v);
    if (tap)
        *tap = v;
    // A missing output buffer still consumes the sample (its outputs are owed or skipped).
    if (!y)
        max_out = 0;
    if (t.kind == RC_STAGE_RESAMPLER)
        return resamp_execute_ctrl_push(t.rs, y, max_out, v, terminal_ctrl(t, ctrl));
    return stage_block(t, &v, 1, y, max_out);
}

VX_API uint64_t RateConverter_terminal_push(RateConverter *rc, vx_cf32 *y, uint64_t max_out,
                                            vx_cf32 v, double ctrl)
{
    if (!rc || rc->num_stages == 0)
        return 0;
    return terminal_push(rc, y, max_out, v, ctrl, nullptr);
}

VX_API uint64_t RateConverter_execute_ctrl_push_tap(RateConverter *rc, vx_cf32 *y,
                                                    uint64_t max_out, vx_cf32 *tap,
                                                    int *tap_valid, vx_cf32 x, double ctrl)
{
    if (tap_valid)
        *tap_valid = 0;
    if (!rc || rc->num_stages == 0)
        return 0;
    const vx_cf32 *v = &x;
    if (rc->num_stages > 1) { // most matched plans have the terminal stage only
        uint64_t n;
        v = RateConverter_front(rc, &x, 1, &n);
        if (n == 0)
            return 0;
    }
    if (tap_valid)
        *tap_valid = 1;
    return terminal_push(rc, y, max_out, *v, ctrl, tap);
}

VX_API uint64_t RateConverter_execute_ctrl_push(RateConverter *rc, vx_cf32 *y, uint64_t max_out,
                                                vx_cf32 x, double ctrl)
{
    // The receivers' per-sample path, a lone terminal resampler, straight through: the
    // general form's checks and tap handling cost more than the AGC step they wrap.
    if (rc && rc->num_stages == 1 && rc->st[0].kind == RC_STAGE_RESAMPLER)
        return terminal_push(rc, y, max_out, x, ctrl, nullptr);
    return RateConverter_execute_ctrl_push_tap(rc, y, max_out, nullptr, nullptr, x, ctrl);
}

VX_API uint64_t RateConverter_execute_max_out(const RateConverter *rc)
{
    // The nominal figure, or the exact bound of 65536 inputs from this state where that is
    // larger (outputs owed by an earlier short control call), so execute accepts it.
    const uint64_t nominal =
        rc->rate <= 1.0 ? 65538u : saturating_bound(std::floor(rc->rate * 65536.0) + 2.0);
    return std::max(nominal, RateConverter_execute_bound(rc, 65536));
}

VX_API uint64_t RateConverter_execute_ctrl_push_max_out(const RateConverter *rc)
{
    return rc->rate <= 1.0 ? 3u : saturating_bound(std::floor(rc->rate) + 2.0);
}

VX_API uint64_t RateConverter_execute_ctrl_max_out(const RateConverter *) { return 0; }

VX_API uint64_t RateConverter_convert(int compensate, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                                      uint64_t max_out, double rate)
{
    RateConverter *rc = RateConverter_create(compensate, rate);
    const uint64_t n = RateConverter_execute(rc, x, n_in, y, max_out);
    RateConverter_destroy(rc);
    return n;
}

VX_API int RateConverter_set_rate(RateConverter *rc, double rate)
{
    if (!rc)
        return VX_ERR_INVALID;
    Built b;
    if (!build(rate, rc->compensate, rc->matched ? &rc->mp : nullptr, b))
        return VX_ERR_INVALID; // the old plan stays
    destroy_stages(rc->st, rc->num_stages);
    adopt(rc, b, rate);
    if (rc->gain)
        RateConverter_enable_agc(rc, rc->agc_bn, rc->agc_param);
    return VX_OK;
}

VX_API int RateConverter_enable_agc(RateConverter *rc, double bn, double param)
{
    if (!rc || !rc->matched || !(bn > 0.0) || !vx_finite(bn) || !(param > 0.0 && param <= 1.0))
        return VX_ERR_INVALID;
    agc_destroy(rc->gain);
    rc->gain = nullptr;
    rc->agc_bn = bn;
    rc->agc_param = param;
    if (!(rc->bank_sps > 0.0))
        return VX_ERR_INVALID;
    rc->gain = agc_create(rc->agc_ref_db, bn / rc->bank_sps, param);
    if (!rc->gain)
        return VX_ERR_INVALID;
    agc_set_gain_update_period(rc->gain, kAgcUpdatePeriod);
    if (rc->tlm) // a context closed meanwhile refuses: nothing to emit into then
        attach_agc_telemetry(rc, rc->tlm, rc->tlm_prefix, rc->tlm_decim);
    return VX_OK;
}

VX_API double RateConverter_agc_ref_db(const RateConverter *rc) { return rc->agc_ref_db; }
VX_API double RateConverter_agc_gain_db(const RateConverter *rc)
{
    return rc->gain ? agc_get_applied_gain_db(rc->gain) : 0.0;
}

VX_API int RateConverter_set_telemetry(RateConverter *rc, vx_tlm *tlm, const char *prefix,
                                       unsigned long decim)
{
    if (!rc)
        return VX_ERR_INVALID;
    if (!tlm) {
        vx_tlm_swap(&rc->tlm, nullptr);
        if (rc->gain)
            agc_set_telemetry(rc->gain, nullptr, nullptr, 0);
        return VX_OK;
    }
    const char *p = prefix ? prefix : "agc";
    if (std::strlen(p) >= sizeof rc->tlm_prefix || vx_tlm_closed(tlm))
        return VX_ERR_INVALID;
    // The AGC attaches first, so a refusal keeps the previous attachment whole.
    const int st = attach_agc_telemetry(rc, tlm, p, decim);
    if (st != VX_OK)
        return st;
    vx_tlm_swap(&rc->tlm, tlm);
    std::snprintf(rc->tlm_prefix, sizeof rc->tlm_prefix, "%s", p);
    rc->tlm_decim = decim;
    return VX_OK;
}

VX_API int RateConverter_get_clipped(const RateConverter *rc)
{
    for (int i = 0; i < rc->num_stages; ++i)
        if (rc->st[i].c && cic_get_clipped(rc->st[i].c))
            return 1;
    return 0;
}

VX_API double RateConverter_get_rate(const RateConverter *rc) { return rc->rate; }
VX_API double RateConverter_get_bank_sps(const RateConverter *rc) { return rc->bank_sps; }
VX_API int RateConverter_get_narrow_pulse(const RateConverter *rc) { return rc->narrow_pulse; }
VX_API int RateConverter_get_matched(const RateConverter *rc, int *pulse, uint64_t *span,
                                     uint64_t *num_phases, double *beta, double *pulse_sps)
{
    if (!rc || !rc->matched)
        return 0;
    if (pulse)
        *pulse = rc->mp.pulse;
    if (span)
        *span = rc->mp.span;
    if (num_phases)
        *num_phases = rc->mp.num_phases;
    if (beta)
        *beta = rc->mp.beta;
    if (pulse_sps)
        *pulse_sps = rc->mp.pulse_sps;
    return 1;
}
VX_API int RateConverter_num_stages(const RateConverter *rc) { return rc->num_stages; }
VX_API int RateConverter_stage_kind(const RateConverter *rc, int i)
{
    return (i >= 0 && i < rc->num_stages) ? rc->st[i].kind : -1;
}

VX_API double RateConverter_stage_rate(const RateConverter *rc, int i)
{
    return (i >= 0 && i < rc->num_stages) ? rc->st[i].rate : 0.0;
}

VX_API double RateConverter_gain(const RateConverter *rc)
{
    double g = 1.0;
    for (int i = 0; i < rc->num_stages; ++i) {
        const Stage &s = rc->st[i];
        if (s.hb)
            g *= hbdecim_dc_gain(s.hb);
        if (s.c)
            g *= cic_dc_gain(s.c) * (s.comp ? fir_dc_gain(s.comp) : 1.0);
        if (s.rs)
            g *= resamp_dc_gain(s.rs);
    }
    return g;
}

VX_API struct resamp *RateConverter_terminal(const RateConverter *rc)
{
    Stage *t = terminal_rs(const_cast<RateConverter *>(rc));
    return t ? t->rs : nullptr;
}

VX_API int RateConverter_num_bank_shape(const RateConverter *rc)
{
    return RateConverter_terminal(rc) ? 2 : 0;
}

VX_API uint64_t RateConverter_bank_shape_value(const RateConverter *rc, int i)
{
    resamp *rs = RateConverter_terminal(rc);
    if (!rs || i < 0 || i > 1)
        return 0;
    return i == 0 ? resamp_get_num_phases(rs) : resamp_get_num_taps(rs);
}

VX_API int RateConverter_stage_label(const RateConverter *rc, int i, char *buf, size_t size)
{
    if (!rc || i < 0 || i >= rc->num_stages || !buf || size == 0)
        return 0;
    const Stage &s = rc->st[i];
    switch (s.kind) {
    case RC_STAGE_HALFBAND:
        std::snprintf(buf, size, "HalfbandDecimator");
        break;
    case RC_STAGE_CIC:
        std::snprintf(buf, size, s.comp ? "CIC(%u)+FIR" : "CIC(%u)", s.ratio);
        break;
    case RC_STAGE_RESAMPLER:
        if (rc->matched && i == rc->num_stages - 1)
            std::snprintf(buf, size, "Resampler(%g,%s)", s.rate,
                          rc->mp.pulse == RC_PULSE_RRC ? "rrc" : "iandd");
        else
            std::snprintf(buf, size, "Resampler(%g)", s.rate);
        break;
    default:
        std::snprintf(buf, size, "Unknown");
    }
    return 1;
}

VX_API const char *RateConverter_stages_value(const RateConverter *rc, int i)
{
    static thread_local char buf[64];
    return RateConverter_stage_label(rc, i, buf, sizeof buf) ? buf : nullptr;
}

VX_API uint64_t RateConverter_state_bytes(const RateConverter *rc)
{
    uint64_t n = VX_STATE_HEADER_BYTES;
    for (int i = 0; i < rc->num_stages; ++i)
        n += stage_state_bytes(rc->st[i]);
    if (rc->gain)
        n += agc_state_bytes(rc->gain);
    return n;
}

VX_API void RateConverter_get_state(const RateConverter *rc, void *out)
{
    auto *p = static_cast<uint8_t *>(out);
    vx_state_write_header(p, VX_MAGIC_RATE_CONVERTER, VX_VERSION_RATE_CONVERTER,
                          RateConverter_state_bytes(rc));
    p += VX_STATE_HEADER_BYTES;
    for (int i = 0; i < rc->num_stages; ++i) {
        const Stage &s = rc->st[i];
        if (s.hb)
            hbdecim_get_state(s.hb, p);
        if (s.c)
            cic_get_state(s.c, p);
        if (s.comp)
            fir_get_state(s.comp, p + cic_state_bytes(s.c));
        if (s.rs)
            resamp_get_state(s.rs, p);
        p += stage_state_bytes(s);
    }
    if (rc->gain)
        agc_get_state(rc->gain, p);
}

// Restore every part in order; false at the first part that rejects its slice.
static bool apply_state(RateConverter *rc, const uint8_t *p)
{
    p += VX_STATE_HEADER_BYTES;
    for (int i = 0; i < rc->num_stages; ++i) {
        const Stage &s = rc->st[i];
        int st = VX_OK;
        if (s.hb)
            st |= hbdecim_set_state(s.hb, p);
        if (s.c)
            st |= cic_set_state(s.c, p);
        if (s.comp && st == VX_OK)
            st |= fir_set_state(s.comp, p + cic_state_bytes(s.c));
        if (s.rs)
            st |= resamp_set_state(s.rs, p);
        if (st != VX_OK)
            return false;
        p += stage_state_bytes(s);
    }
    return !rc->gain || agc_set_state(rc->gain, p) == VX_OK;
}

VX_API int RateConverter_set_state(RateConverter *rc, const void *blob)
{
    if (!rc)
        return VX_ERR_INVALID;
    const uint64_t n = RateConverter_state_bytes(rc);
    if (vx_state_check_header(blob, VX_MAGIC_RATE_CONVERTER, VX_VERSION_RATE_CONVERTER, n) != VX_OK)
        return VX_ERR_INVALID;
    // A part that rejects its slice would leave the parts before it restored: keep the
    // current state aside and put it back in that case, so a rejection changes nothing.
    std::vector<uint8_t> saved(n);
    RateConverter_get_state(rc, saved.data());
    if (apply_state(rc, static_cast<const uint8_t *>(blob)))
        return VX_OK;
    apply_state(rc, saved.data());
    return VX_ERR_INVALID;
}

}  // extern "C"
