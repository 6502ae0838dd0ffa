/* agc: log-domain feedback automatic gain control over cf32 samples. Applies a gain,
 * measures output power with an exponential detector and integrates the dB error against
 * a reference level. Two paths: per sample (agc_step, gain held for gain_update_period
 * samples) and per block (agc_steps, one loop update per `decim` samples with a linearly
 * interpolated gain). */
#ifndef VX_AGC_H
#define VX_AGC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct agc {
    double ref_db;               /* target output power [dB] */
    double loop_bw;              /* loop bandwidth [cycles/sample]; gain per update 4·loop_bw */
    double alpha;                /* detector EMA coefficient, (0, 1] */
    uint64_t decim;              /* block path: samples per loop update (0 acts as 1) */
    double clip_db;              /* output clamp level [dB] */
    uint64_t gain_update_period; /* per-sample path: samples per update (0 acts as 1) */
    double gain_db;              /* loop integrator: the commanded gain [dB] */
    double p_avg;                /* detector state, linear power */
    double g_last;               /* linear gain applied to the latest sample */
    uint64_t count;              /* per-sample path: samples since the last update */
    float clip_lin;              /* E(clip_db) */
    float chunk_pow;             /* block path: power summed over the open chunk */
    uint64_t chunk_fill;         /* block path: samples in the open chunk */
    double chunk_g1;             /* block path: gain the open chunk ramps to */
    uint64_t chunk_len;          /* block path: length of the open chunk (decim at its start) */
    vx_tlm *tlm;                 /* attached telemetry context (one reference) */
    int32_t tlm_ids[2];          /* gain_db, level_db */
    double clip_db_of;           /* the clip level clip_lin_of was computed from (not saved) */
    float clip_lin_of;           /* E(clip_db_of): the per-sample path's update reuses it */
} agc;

#define AGC_STATE_BYTES 120u
#define AGC_DECIM_DEFAULT 8u
/* gain_db stays within ±this, so the single-precision gain stays finite (silence would
 * otherwise drive it to infinity and the output to NaN). */
#define AGC_GAIN_LIMIT_DB 700.0

/* NULL when a parameter is not finite or memory runs out. */
VX_API agc *agc_create(double ref_db, double loop_bw, double alpha);
VX_API void agc_destroy(agc *a);
VX_API void agc_reset(agc *a);

/* Per-sample path: one sample in, one out. */
VX_API vx_cf32 agc_step(agc *a, vx_cf32 x);
/* Block path; y may alias x. */
VX_API void agc_steps(agc *a, const vx_cf32 *x, vx_cf32 *y, uint64_t n);

VX_API double agc_get_applied_gain_db(const agc *a);
VX_API double agc_get_linear_gain(const agc *a);
VX_API float agc_get_clip_lin(const agc *a);

/* Setters refuse non-finite values with VX_ERR_INVALID. */
VX_API int agc_set_ref_db(agc *a, double v);
VX_API int agc_set_loop_bw(agc *a, double v);
VX_API int agc_set_alpha(agc *a, double v);
VX_API int agc_set_clip_db(agc *a, double v);
/* The new chunk length applies from the next chunk boundary; the open chunk keeps its own. */
VX_API void agc_set_decim(agc *a, uint64_t v);
VX_API void agc_set_gain_update_period(agc *a, uint64_t v);

/* Probes "<prefix>.gain_db" and "<prefix>.level_db" (prefix NULL -> "agc"). The AGC holds
 * a reference to the attached context until detached or destroyed; a closed context is
 * refused (VX_ERR_INVALID, the previous attachment kept). */
VX_API int agc_set_telemetry(agc *a, vx_tlm *tlm, const char *prefix, unsigned long decim);

/* Samples the per-sample loop needs to bring a gain error of gain_err_db within tol_db;
 * 0 for arguments out of range or when it does not settle within its bounded run. */
VX_API uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db,
                                     double tol_db);
VX_API uint64_t settling_samples(double loop_bw, double alpha, double gain_err_db,
                                 double tol_db);

VX_API uint64_t agc_state_bytes(const agc *a);
VX_API void agc_get_state(const agc *a, void *out);
VX_API int agc_set_state(agc *a, const void *blob);

/* 10^(d/20) by the fast exponential (0 below, 2^1023 above the double range). */
VX_API double agc_db_to_lin(double d);
/* 10·log10(p) by the fast rational log, p guarded to [0, 2^257]. */
VX_API double agc_level_db(double p);

#ifdef __cplusplus
}
#endif

#endif
