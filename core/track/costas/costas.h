/* costas: BPSK carrier-recovery loop on symbol-synchronous complex baseband. A table
 * oscillator wipes the tracked carrier off each sample, tsamps samples are integrated and
 * dumped per symbol, and a decision-directed Costas discriminator on each prompt steers
 * the oscillator through a PI loop filter (one update per symbol), with an optional
 * cross-product FLL assist. A lock detector judges an EMA of |Re P|/|P|. One mean-scaled
 * prompt out per tsamps inputs. */
#ifndef VX_COSTAS_H
#define VX_COSTAS_H

#include "lo.h"
#include "lockdet.h"
#include "loop_filter.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define COSTAS_STATE_BYTES 232u
/* Bytes 16..207 of the blob are the object image up to the telemetry slot. */
#define COSTAS_IMAGE_BYTES 192u

typedef struct costas {
    lo osc;                /* carrier oscillator */
    loop_filter lf;        /* t = 1: one update per symbol; integ in radians per symbol */
    uint64_t tsamps;       /* samples per symbol, >= 1 */
    double init_norm_freq; /* seed frequency [cycles/sample], restored by reset */
    double bn, zeta;       /* loop bandwidth [per symbol] and damping */
    double bn_fll;         /* FLL-assist bandwidth, >= 0 (0 = pure PLL) */
    double k_fll;          /* 4·bn_fll */
    vx_cf32 prompt;        /* integrate-and-dump sum of the symbol in progress */
    uint64_t count;        /* samples in prompt, < tsamps */
    vx_cf32 prev;          /* previous dumped prompt */
    uint32_t have_prev;
    uint32_t pad;
    double lock_metric;    /* EMA of |Re P| / |P| */
    lockdet ld;
    double last_error;     /* last phase discriminator output */
    vx_tlm *tlm;           /* attached telemetry context (one reference) */
    int32_t tlm_ids[4];    /* lock, e, freq, locked */
} costas;

/* tsamps 0 acts as 1; bn >= 0 [per symbol], zeta > 0, bn_fll >= 0, init_norm_freq
 * [cycles/sample], all finite. NULL otherwise or without memory. */
VX_API costas *costas_create(uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                             double bn_fll);
/* The same on caller storage (no telemetry attached); VX_ERR_INVALID on create's refusals. */
VX_API int costas_init(costas *c, uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                       double bn_fll);
VX_API void costas_destroy(costas *c);
/* Seeded, unlocked state; gains, FLL, lock thresholds and telemetry kept. */
VX_API void costas_reset(costas *c);

/* One prompt per completed symbol; prompts beyond out_cap still steer the loop. A partial
 * symbol carries over to the next call. Returns the prompts written. */
VX_API uint64_t costas_steps(costas *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                             uint64_t out_cap);
/* 0: never more prompts than inputs. */
VX_API uint64_t costas_steps_max_out(const costas *c);

/* Setters refuse (VX_ERR_INVALID, unchanged) what create refuses. */
VX_API int costas_configure(costas *c, double bn, double zeta);
VX_API double costas_get_bn(const costas *c);
VX_API int costas_set_bn(costas *c, double bn);
VX_API double costas_get_bn_fll(const costas *c);
VX_API int costas_set_bn_fll(costas *c, double bn_fll);
VX_API double costas_get_norm_freq(const costas *c);
/* Re-seed at f [cycles/sample]: the new init_norm_freq, then as reset. */
VX_API int costas_set_norm_freq(costas *c, double f);
/* norm_freq + kp·last_error / (2π·tsamps). */
VX_API double costas_get_nco_freq(const costas *c);
VX_API double costas_get_lock_metric(const costas *c);
VX_API int costas_get_locked(const costas *c);
VX_API double costas_get_last_error(const costas *c);
/* Counts 0 -> 1; a live lock survives, the verify run restarts. NaN thresholds refused. */
VX_API int costas_configure_lock(costas *c, double up_thresh, double down_thresh, uint32_t n_up,
                                 uint32_t n_down);

/* Probes "<prefix>.lock", ".e", ".freq", ".locked" (prefix NULL -> "car"), emitted once per
 * symbol. tlm NULL detaches. VX_ERR_INVALID, attachment unchanged, on a failed registration. */
VX_API int costas_set_telemetry(costas *c, vx_tlm *tlm, const char *prefix, unsigned long decim);
VX_API uint64_t costas_state_bytes(const costas *c);
VX_API void costas_get_state(const costas *c, void *out);
/* Restores configuration and running state; the telemetry attachment is kept. Rejects a
 * header mismatch and fields out of range (counts, flags, non-finite loop values). */
VX_API int costas_set_state(costas *c, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
