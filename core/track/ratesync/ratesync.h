/* ratesync: symbol recovery through a matched rate converter. The converter's terminal
 * polyphase stage is the matched filter: one dot product converts the rate, filters and
 * interpolates, and its control port moves the timing. It emits m outputs per symbol;
 * every m-th is an on-time strobe and the output m/2 earlier the transition sample. A
 * Gardner or DTTL detector and a PI loop push a rate deviation with every input.
 *
 * The timing loop itself is the record `ratesync_loop`, which the M-PSK receivers embed
 * over their own converters. */
#ifndef VX_RATESYNC_H
#define VX_RATESYNC_H

#include "lockdet.h"
#include "loop_filter.h"
#include "rate_converter.h"
#include "symsync.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

struct resamp;

#define RATESYNC_LOOP_STATE_BYTES 216u
#define RATESYNC_MAX_M 8u

typedef struct ratesync_loop {
    loop_filter lf;         /* t = 1: one update per symbol */
    double sps;             /* nominal input samples per symbol */
    uint64_t m;             /* converter outputs per symbol, even, 2..8 */
    double cascade_rate;    /* terminal stage rate (outputs per stage input); 0 unbound */
    uint64_t num_taps;      /* terminal stage taps; 0 unbound */
    struct resamp *stage;   /* borrowed terminal stage, or NULL */
    double bn, zeta;        /* configured loop bandwidth [per symbol] and damping */
    int32_t ted;            /* SYMSYNC_TED_GARDNER or SYMSYNC_TED_DTTL */
    int32_t have_prev;      /* an on-time strobe is held */
    double ted_gain;        /* 1 / detector S-curve slope; 1 until bound */
    double ctrl;            /* rate deviation pushed with every input */
    double timing_error;    /* last normalised error */
    double rate;            /* tracked samples per symbol: the converter's steps, averaged */
    double push_period;     /* samples per symbol at the current push's control (transient) */
    uint64_t prime;         /* terminal outputs still ignored (filter fill) */
    uint64_t strobe_count;  /* terminal outputs counted since priming ended */
    uint64_t strobe_phase;  /* strobe_count mod m */
    vx_cf32 ring[RATESYNC_MAX_M / 2 + 1]; /* last m/2 + 1 outputs, newest first */
    uint64_t ring_fill;
    vx_cf32 prev;           /* previous on-time strobe */
    double lock_sum;
    uint64_t lock_count;
    uint64_t avgs;          /* looks per lock decision, >= 1 */
    double lock_stat;
    lockdet ld;
    vx_tlm *tlm;            /* attached telemetry context (one reference held) */
    int32_t tlm_ids[6];     /* e, ctrl, rate, lock, locked, mu */
} ratesync_loop;

typedef struct ratesync {
    RateConverter *conv;  /* owned matched converter */
    ratesync_loop loop;
    uint32_t pulse;       /* RC_PULSE_IANDD or RC_PULSE_RRC */
    uint32_t pad;
    double beta;
    uint64_t span;
    uint64_t num_phases;
} ratesync;

/* ---- the timing loop ----------------------------------------------------------------
 * Embedded by value; init on fresh storage. An attached loop holds a reference on its
 * telemetry context, which its owner drops (set_telemetry with NULL) before freeing it. */

/* Unbound loop (no stage, ted_gain 1), avgs 133, lock thresholds 0.311 / 0.311, n_up 1,
 * n_down 8, detached; then reset. Callers validate: m even in 2..8, ted 0/1, bn >= 0,
 * zeta > 0, sps finite. */
VX_API void ratesync_loop_init(ratesync_loop *l, uint64_t m, int ted, double sps, double bn,
                               double zeta);
VX_API void ratesync_loop_set_cascade(ratesync_loop *l, uint64_t num_taps, double rate);
/* Bind the converter's terminal resampler (or none) and, for pulse RC_PULSE_IANDD or
 * RC_PULSE_RRC, set ted_gain from the detector's S-curve slope for that pulse (the
 * converter does not report its pulse, so its owner passes it). */
VX_API void ratesync_loop_bind_cascade(ratesync_loop *l, const RateConverter *conv, int pulse,
                                       uint64_t span, double beta);
VX_API void ratesync_loop_reset(ratesync_loop *l);
/* VX_ERR_INVALID, unchanged, unless bn >= 0 and zeta > 0, both finite. */
VX_API int ratesync_loop_configure(ratesync_loop *l, double bn, double zeta);
VX_API void ratesync_loop_configure_lock_raw(ratesync_loop *l, uint64_t avgs, int n_up,
                                             int n_down, double up, double down);
VX_API uint64_t ratesync_loop_state_bytes(const ratesync_loop *l);
VX_API void ratesync_loop_get_state(const ratesync_loop *l, void *out);
/* Rejects (VX_ERR_INVALID, unchanged) a bad header, a bad nested loop-filter blob, or a
 * flag, ring fill, priming count or control out of range. */
VX_API int ratesync_loop_set_state(ratesync_loop *l, const void *blob);
/* Probes "<prefix>.e", ".ctrl", ".rate", ".lock", ".locked", ".mu" (prefix NULL -> "sync"). */
VX_API int ratesync_loop_set_telemetry(ratesync_loop *l, vx_tlm *tlm, const char *prefix,
                                       unsigned long decim);
/* Emit the six probes once (no-op when detached). */
VX_API void ratesync_loop_tlm_flush(ratesync_loop *l);

/* ---- the synchroniser --------------------------------------------------------------- */

/* pulse RC_PULSE_IANDD or RC_PULSE_RRC, span >= 1 symbols, m even in 2..8, num_phases a
 * power of two >= 2, ted 0/1, sps >= m, 0 <= beta <= 1, bn >= 0, zeta > 0, all finite, and
 * a converter the planner can build (rate m/sps); NULL otherwise. */
VX_API ratesync *ratesync_create(uint32_t pulse, uint64_t span, uint64_t m, uint64_t num_phases,
                                 uint32_t ted, double sps, double beta, double bn, double zeta);
VX_API void ratesync_destroy(ratesync *r);
VX_API void ratesync_reset(ratesync *r);
VX_API int ratesync_configure(ratesync *r, double bn, double zeta);
VX_API int ratesync_set_bn(ratesync *r, double bn);
VX_API double ratesync_get_bn(const ratesync *r);
VX_API void ratesync_configure_lock_raw(ratesync *r, uint64_t avgs, int n_up, int n_down,
                                        double up, double down);
VX_API double ratesync_get_timing_error(const ratesync *r);
/* Tracked input samples per symbol: the converter's steps averaged over about 4096 symbols. */
VX_API double ratesync_get_rate(const ratesync *r);
VX_API double ratesync_get_ctrl(const ratesync *r);
VX_API double ratesync_get_lock_stat(const ratesync *r);
VX_API int ratesync_get_locked(const ratesync *r);
VX_API int ratesync_get_clipped(const ratesync *r);

/* Every input is consumed; symbols beyond max_out still run the loop but are not stored.
 * Returns the symbols written. */
VX_API uint64_t ratesync_steps(ratesync *r, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                               uint64_t max_out);
/* 0: with sps >= m a block never yields more symbols than samples. */
VX_API uint64_t ratesync_steps_max_out(const ratesync *r);

/* 16 + converter blob + 216. */
VX_API uint64_t ratesync_state_bytes(const ratesync *r);
VX_API void ratesync_get_state(const ratesync *r, void *out);
/* Every part is checked before anything is written: VX_ERR_INVALID for the outer or loop
 * blob, the converter's status for its own; the object is then unchanged. */
VX_API int ratesync_set_state(ratesync *r, const void *blob);
VX_API int ratesync_set_telemetry(ratesync *r, vx_tlm *tlm, const char *prefix,
                                  unsigned long decim);

#ifdef __cplusplus
}
#endif

#endif
