/* symsync: symbol-timing synchroniser for oversampled complex baseband. A 32-bit timing NCO
 * (one wrap = one symbol) marks the strobes; a four-sample Farrow interpolator forms the
 * mid-symbol and on-time interpolants; a Gardner or DTTL detector, a PI loop filter and an
 * always-on eye-opening lock detector close the loop once per symbol. One complex sample
 * out per recovered symbol.
 *
 * The S-curve helpers give the detectors' slope at zero timing error for a pulse, which
 * the rate synchroniser and the receivers use to normalise their detector gain. */
#ifndef VX_SYMSYNC_H
#define VX_SYMSYNC_H

#include "lockdet.h"
#include "loop_filter.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SYMSYNC_TED_GARDNER = 0, SYMSYNC_TED_DTTL = 1 };
enum { SYMSYNC_LINEAR = 0, SYMSYNC_PARABOLIC = 1, SYMSYNC_CUBIC = 2 };
enum { SYMSYNC_PULSE_TRIANGLE = 0, SYMSYNC_PULSE_RAISED_COSINE = 1 };

/* Measured per-look variance of the lock statistic under noise. */
#define SYMSYNC_LOCK_STAT_VARIANCE 1.343
#define SYMSYNC_STATE_BYTES 304u
/* Bytes 16..271 of the blob are the object image up to the telemetry slot. */
#define SYMSYNC_IMAGE_BYTES 256u

typedef struct symsync {
    uint32_t phase;          /* timing NCO; 2^32 = one symbol */
    uint32_t inc;            /* NCO increment per input sample */
    uint8_t reserved[16];    /* zero */
    vx_cf32 hist[4];         /* Farrow history, hist[3] the newest input */
    int32_t order;           /* SYMSYNC_LINEAR .. SYMSYNC_CUBIC */
    uint32_t pad0;
    loop_filter lf;          /* t = 1: one update per symbol */
    uint64_t sps;            /* nominal samples per symbol (0 stored as 1) */
    uint32_t nominal_inc;    /* trunc(2^32 / sps) */
    int32_t ted;             /* SYMSYNC_TED_GARDNER or SYMSYNC_TED_DTTL */
    int32_t have_prev;       /* an on-time interpolant is held */
    vx_cf32 prev;            /* previous on-time interpolant */
    vx_cf32 mid;             /* latest mid-symbol interpolant */
    uint32_t pad1;
    double bn, zeta;         /* configured loop bandwidth [per symbol] and damping */
    double timing_error;     /* last normalised detector output */
    double rate;             /* smoothed tracked samples per symbol */
    double pwr;              /* running on-time power */
    double lock_sum;         /* looks summed in the open lock block */
    uint64_t lock_count;     /* looks in the open lock block */
    uint64_t avgs;           /* looks per lock decision, >= 1 */
    double lock_stat;        /* last block-averaged lock statistic */
    lockdet ld;
    vx_tlm *tlm;             /* attached telemetry context (one reference held) */
    int32_t tlm_ids[5];      /* e, freq, rate, lock, locked */
} symsync;

/* The eye-opening look of one symbol, 2·(P − M)/(M + 1e-12 + P) for on-time power P and
 * mid-symbol power M, added to the open block; every `avgs` looks the block average is
 * judged by the lock detector and a new block opens. Shared by every timing loop. */
static inline void symsync_lock_look(double p, double m, double *sum, uint64_t *count, uint64_t avgs,
                                     double *stat, lockdet *ld)
{
    *sum += 2.0 * (p - m) / (m + 1e-12 + p);
    if (++*count >= avgs) {
        *stat = *sum / (double)avgs;
        lockdet_look(ld, *stat);
        *sum = 0.0;
        *count = 0;
    }
}

/* sps: samples per symbol (>= 2 to run; 0 and 1 give a zero increment). order 0..2, ted
 * 0..1, bn >= 0 [per symbol], zeta > 0, all finite; NULL otherwise or without memory. */
VX_API symsync *symsync_create(uint64_t sps, int order, int ted, double bn, double zeta);
VX_API void symsync_destroy(symsync *s);
/* Back to the post-create running state; configuration and lock geometry kept. */
VX_API void symsync_reset(symsync *s);

/* New loop gains (t = 1), integrator and timing kept. VX_ERR_INVALID, unchanged, unless
 * bn >= 0 and zeta > 0, both finite. */
VX_API int symsync_configure(symsync *s, double bn, double zeta);
VX_API int symsync_set_bn(symsync *s, double bn);
VX_API double symsync_get_bn(const symsync *s);

VX_API double symsync_get_timing_error(const symsync *s);
VX_API double symsync_get_rate(const symsync *s);
VX_API double symsync_get_lock_stat(const symsync *s);
VX_API int symsync_get_locked(const symsync *s);

/* avgs looks per decision (0 -> 1), then the lock detector's thresholds and counts
 * (counts below 1 -> 1); the open block and the verify run restart, a lock is kept. */
VX_API void symsync_configure_lock_raw(symsync *s, uint64_t avgs, int n_up, int n_down,
                                       double up, double down);
/* Lock geometry from the detection statistics: per-look mean
 * (0.26 + 0.6·rolloff)·(1 − exp(−0.275·10^(esno_min_db/10))), dwell and threshold for
 * (pfa, pd). VX_ERR_INVALID, unchanged, unless 0 < pfa < pd < 1 and the dwell exists. */
VX_API int symsync_configure_lock(symsync *s, double rolloff, double esno_min_db, double pfa,
                                  double pd);

/* One symbol out per recovered instant (at most one per input). Symbols beyond max_out
 * still run the loop and lock updates but are not stored. Returns the symbols written. */
VX_API uint64_t symsync_steps(symsync *s, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                              uint64_t max_out);
/* 0: never more symbols than inputs. */
VX_API uint64_t symsync_steps_max_out(const symsync *s);

VX_API uint64_t symsync_state_bytes(const symsync *s);
VX_API void symsync_get_state(const symsync *s, void *out);
/* Rejects (VX_ERR_INVALID, object unchanged) a header mismatch or a field that selects a
 * code path or counts (ted, order, flags, avgs, lock counts, sps/nominal_inc) out of range;
 * the object's telemetry attachment is kept. */
VX_API int symsync_set_state(symsync *s, const void *blob);

/* Probes "<prefix>.e", ".freq", ".rate", ".lock", ".locked" (prefix NULL -> "sync"). tlm
 * NULL detaches. VX_ERR_INVALID, attachment unchanged, when a registration fails. */
VX_API int symsync_set_telemetry(symsync *s, vx_tlm *tlm, const char *prefix,
                                 unsigned long decim);

/* Detector S-curve at timing offset tau [symbols] for a matched pulse: pulse 0 the
 * triangle (matched rectangle), 1 the raised cosine of roll-off beta; span the one-sided
 * span in symbols (Gardner sum over |i| <= span + 2; below -2 gives 0). */
VX_API double symsync_s_curve(int ted, int pulse, long span, double beta, double tau);
/* |S'(0)| by a central difference of +-1e-4. */
VX_API double symsync_ted_slope(int ted, int pulse, long span, double beta);

#ifdef __cplusplus
}
#endif

#endif
