/* carrier_nda: non-data-aided, sample-rate carrier loop for M-PSK (M = 2, 4 or 8). Each
 * de-rotated sample feeds a moving-average I/Q arm of sps/n samples whose output, raised
 * to the M-th power, strips the modulation: the error (2/M)·sin(M·θ) of the arm phase θ
 * steers the oscillator through a PI loop (one update per sample) and cos(M·θ), averaged,
 * feeds a lock detector. Needs neither symbol timing nor data. One de-rotated sample out
 * per input. */
#ifndef VX_CARRIER_NDA_H
#define VX_CARRIER_NDA_H

#include "boxcar.h"
#include "lo.h"
#include "lockdet.h"
#include "loop_filter.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CARRIER_NDA_STATE_BYTES 768u
/* Bytes 16..743 of the blob are the object image up to the telemetry slot. */
#define CARRIER_NDA_IMAGE_BYTES 728u

typedef struct carrier_nda {
    lo osc;                /* oscillator at the seed frequency; the control adds per sample */
    loop_filter lf;        /* t = 1 sample; kp and ki divided by 2π: cycles/sample */
    uint64_t sps;          /* samples per symbol, >= 1 */
    int32_t m;             /* 2, 4 or 8 */
    int32_t n;             /* arm windows per symbol, >= 1 */
    uint64_t window;       /* sps/n, 1..64 */
    double init_norm_freq; /* seed frequency [cycles/sample] */
    double bn, zeta;       /* loop bandwidth [cycles/sample] and damping */
    boxcar arm;            /* moving-average arm, gain 1 (the window mean) */
    double lock;           /* EMA of cos(M·θ) */
    double last_error;
    double ctrl;           /* loop output added to the seed frequency [cycles/sample] */
    lockdet ld;
    vx_tlm *tlm;           /* attached telemetry context (one reference) */
    int32_t tlm_ids[4];    /* lock, e, freq, locked */
} carrier_nda;

/* m 2, 4 or 8; sps > 0 a multiple of n > 0 with sps/n <= 64; bn >= 0, zeta > 0 and
 * init_norm_freq [cycles/sample], all finite. NULL otherwise or without memory. */
VX_API carrier_nda *carrier_nda_create(uint64_t sps, uint64_t n, int m, double bn, double zeta,
                                       double init_norm_freq);
/* The same on caller storage (no telemetry attached); VX_ERR_INVALID on create's refusals. */
VX_API int carrier_nda_init(carrier_nda *c, uint64_t sps, uint64_t n, int m, double bn,
                            double zeta, double init_norm_freq);
VX_API void carrier_nda_destroy(carrier_nda *c);
/* Seeded, unlocked state; configuration and telemetry kept. */
VX_API void carrier_nda_reset(carrier_nda *c);

/* One de-rotated sample per input up to out_cap; every input runs the loop. */
VX_API uint64_t carrier_nda_steps(carrier_nda *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                                  uint64_t out_cap);
VX_API uint64_t carrier_nda_steps_max_out(const carrier_nda *c); /* 0 */

/* Tracked carrier norm_freq + integ, and the oscillator's norm_freq + ctrl. */
VX_API double carrier_nda_get_norm_freq(const carrier_nda *c);
VX_API double carrier_nda_get_nco_freq(const carrier_nda *c);
/* Re-seed at f (VX_ERR_INVALID, unchanged, unless finite). */
VX_API int carrier_nda_set_norm_freq(carrier_nda *c, double f);
VX_API double carrier_nda_get_lock(const carrier_nda *c);
VX_API int carrier_nda_get_locked(const carrier_nda *c);
VX_API double carrier_nda_get_last_error(const carrier_nda *c);
VX_API double carrier_nda_get_bn(const carrier_nda *c);
/* New gains from bn and the retained zeta, integrator kept; VX_ERR_INVALID, unchanged,
 * for what create refuses. */
VX_API int carrier_nda_set_bn(carrier_nda *c, double bn);
VX_API int carrier_nda_get_m(const carrier_nda *c);
VX_API int carrier_nda_get_n(const carrier_nda *c);
VX_API uint64_t carrier_nda_get_sps(const carrier_nda *c);
/* Counts 0 -> 1; a live lock survives, the verify run restarts. NaN thresholds refused. */
VX_API int carrier_nda_configure_lock(carrier_nda *c, double up_thresh, double down_thresh,
                                      uint32_t n_up, uint32_t n_down);

/* Probes "<prefix>.lock", ".e", ".freq", ".locked" (prefix NULL -> "car"), emitted once per
 * input sample. tlm NULL detaches. VX_ERR_INVALID, attachment unchanged, on failure. */
VX_API int carrier_nda_set_telemetry(carrier_nda *c, vx_tlm *tlm, const char *prefix,
                                     unsigned long decim);
VX_API uint64_t carrier_nda_state_bytes(const carrier_nda *c);
VX_API void carrier_nda_get_state(const carrier_nda *c, void *out);
/* Restores configuration and running state; the telemetry attachment is kept. Rejects a
 * header mismatch and fields out of range (sps, n, window, arm length and position, m,
 * counts, flags, non-finite loop values). */
VX_API int carrier_nda_set_state(carrier_nda *c, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
