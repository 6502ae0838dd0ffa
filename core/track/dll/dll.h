/* dll: delay-lock loop for direct-sequence spread spectrum. Carrier-wiped samples are
 * correlated against an interpolated replica of a binary spreading code at early, prompt
 * and late taps and at a randomly placed off-peak noise tap; a power-domain early-minus-
 * late discriminator steers a 32-bit code NCO (one wrap per code period) once per epoch,
 * and the prompt correlation is emitted: one value per epoch, or, in segments mode,
 * `segments` partial correlations per epoch (with a look-back that picks the best window
 * across the epoch boundary). An always-on lock detector judges the non-coherent prompt
 * power against the noise tap. Hold/coast, code-phase puts and a symbol-period aid let an
 * outside holder steer it. */
#ifndef VX_DLL_H
#define VX_DLL_H

#include "lockdet.h"
#include "loop_filter.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The fixed head of the blob: the 16-byte header and the object image. */
#define DLL_HEAD_BYTES 704u
/* Most partials per epoch, and most looks per decision of dll_configure_lock. */
#define DLL_MAX_SEGMENTS ((uint64_t)1 << 20)
#define DLL_MAX_LOOKS 10000000u
/* Longest symbol period of the aid, in partials (its rings grow with it). */
#define DLL_MAX_SYMBOL_PERIOD 65536.0

typedef struct dll {
    loop_filter lf;          /* t = 1, or period/segments while the aid is on */
    uint32_t phase;          /* code NCO; one wrap = one code period */
    uint32_t inc;            /* NCO increment per sample */
    double r_nominal;        /* 1/(sps·sf): nominal increment as a fraction of a period */
    double reserved;
    const uint8_t *code;     /* bit 0 of each byte: 0 -> +1, 1 -> -1 */
    uint64_t sf;             /* code length, chips */
    uint64_t sps;            /* samples per chip */
    double inv_sps;
    double r, r2, r_sf;      /* r = 1/(sps·sf), r², r/sf */
    double aid_scale;        /* 1, or segments/period while the aid is on */
    double spacing;          /* early/late offset, chips */
    double code_phase;       /* prompt code phase, chips */
    double code_rate;        /* chips advanced per nominal chip */
    double rate_aid;         /* fractional rate bias */
    uint32_t coasting;
    uint32_t held_inc;       /* non-zero once dll_hold_here ran */
    loop_filter held;        /* snapshot of the loop filter */
    double c_i, c_p;         /* increment coefficients (integrator, proportional) */
    double k_i, k_p;         /* code-rate coefficients */
    double take_sum;         /* discriminator outputs since the last take */
    uint64_t take_count;
    double init_chip;
    double bn, zeta;
    vx_cf32 early, prompt, late;
    double last_error;
    uint64_t segments;
    double chips_pp;         /* chips per partial, sf/segments */
    double samples_pp;       /* samples per partial, sf·sps/segments */
    uint64_t part;           /* partial in progress */
    uint32_t close_now;      /* a forward put across the wrap ends the epoch next sample */
    uint32_t skip_wrap;      /* a backward put across the wrap skips the next wrap */
    vx_cf32 *p_prompt, *p_early, *p_late; /* this epoch's partials */
    vx_cf32 *prefix;         /* scratch: prefix sums, segments + 1 */
    vx_cf32 *prev_suffix;    /* previous epoch: sum of its last z partials at [z] */
    vx_cf32 *prev_early, *prev_late;
    uint32_t have_prev_epoch;
    vx_cf32 noise;
    uint32_t pad0;
    double noise_offset;     /* chips from the prompt */
    double noise_guard;      /* spacing + 2 */
    uint32_t rng;            /* xorshift32 state */
    uint32_t pad1;
    double noise_est;        /* EMA of the noise tap's |O|² */
    double alpha;
    double lock_sum;         /* prompt power of the decision in progress */
    uint64_t looks;
    uint64_t n_looks;
    double lock_stat;
    uint64_t looks_since_seed;
    lockdet ld;
    double period;           /* symbol period in partials, 0 = aid off */
    uint64_t window;         /* L */
    uint64_t hyps;           /* H = ceil(period) */
    uint64_t ring_n;         /* N, a power of two */
    uint64_t best;
    uint64_t pushed;
    uint64_t last_decision;
    double hyp_alpha;
    vx_cf32 *ring_prompt, *ring_noise, *ring_early, *ring_late;
    double *hyp_power;
    uint32_t owns_code;
    uint32_t pad2;
    vx_tlm *tlm;             /* attached telemetry context (one reference) */
    int32_t tlm_ids[4];      /* e, rate, lock, locked */
} dll;

/* code[len] (copied), sps samples per chip (0 -> 1), segments 1 or 2..min(sps·len/2,
 * DLL_MAX_SEGMENTS), init_chip,
 * bn >= 0, zeta > 0 and spacing in [0, len] chips, all finite. NULL otherwise or without
 * memory. */
VX_API dll *dll_create(const uint8_t *code, uint64_t len, uint64_t sps, uint64_t segments,
                       double init_chip, double bn, double zeta, double spacing);
/* The same on caller storage with segments 1, borrowing `code` (it must outlive d). */
VX_API int dll_init(dll *d, const uint8_t *code, uint64_t len, uint64_t sps, double init_chip,
                    double bn, double zeta, double spacing);
VX_API void dll_destroy(dll *d);
/* Re-seed at init_chip; configuration, rate aid, coasting and take sums kept. */
VX_API void dll_reset(dll *d);

/* Setters refuse (VX_ERR_INVALID, unchanged) what create refuses. */
VX_API int dll_configure(dll *d, double bn, double zeta);
VX_API int dll_set_bn(dll *d, double bn);
VX_API double dll_get_bn(const dll *d);
/* pfa in (0, 1), n_looks <= DLL_MAX_LOOKS; derives the noise EMA, threshold and verify
 * count (ref_snr_db <= 0 picks a reference SNR from n_looks). */
VX_API int dll_configure_lock(dll *d, uint64_t n_looks, double pfa, double ref_snr_db);
/* Thresholds NaN or alpha outside [0, 1] refused; counts below 1 taken as 1. */
VX_API int dll_configure_lock_raw(dll *d, uint64_t n_looks, uint32_t n_up, uint32_t n_down,
                                  double up, double down, double alpha);
VX_API int dll_set_lock_verify(dll *d, uint32_t n_up, uint32_t n_down);
VX_API int dll_set_rate_aid(dll *d, double rate_aid);
VX_API uint32_t dll_hold_here(dll *d);
VX_API void dll_set_coast(dll *d, int coast);
VX_API int dll_set_code_phase(dll *d, double chips);
VX_API uint64_t dll_take_error(dll *d, double *sum);
VX_API double dll_take_error_mean(dll *d);
/* period <= 0 turns the aid off; else 2 <= period <= DLL_MAX_SYMBOL_PERIOD partials with
 * segments >= 2. The loop filter and its held snapshot move to the new update period
 * (refused, unchanged, where their gains or integrators would not come out finite). */
VX_API int dll_set_symbol_period(dll *d, double period);
VX_API uint64_t dll_get_symbol_window(const dll *d);

VX_API double dll_get_code_phase(const dll *d);
VX_API double dll_get_code_rate(const dll *d);
VX_API double dll_get_last_error(const dll *d);
VX_API uint64_t dll_get_segments(const dll *d);
VX_API int dll_get_locked(const dll *d);
VX_API double dll_get_lock_stat(const dll *d);
VX_API double dll_get_noise_est(const dll *d);

/* One lock look on the current prompt and noise accumulators scaled by 1/n (the noise
 * accumulator is then cleared); dll_lock_epoch redraws the noise offset. */
VX_API void dll_lock_look(dll *d, double n);
VX_API void dll_lock_epoch(dll *d);
VX_API uint64_t dll_lookback_segments(uint64_t n, double loss_db);

/* Prompt outputs: one per epoch, or one per partial in segments mode. Returns the count
 * written (at most out_cap; later ones still run the loop). */
VX_API uint64_t dll_steps(dll *d, const vx_cf32 *x, uint64_t n, vx_cf32 *out, uint64_t out_cap);
VX_API uint64_t dll_steps_max_out(const dll *d); /* 0 */
/* A capacity that never drops an output for n inputs: n, plus one epoch of partials in
 * segments mode (a forward put across the wrap closes them all on one sample). */
VX_API uint64_t dll_steps_bound(const dll *d, uint64_t n);

/* Probes "<prefix>.e", ".rate", ".lock", ".locked" (prefix NULL -> "code"), emitted once
 * per epoch. */
VX_API int dll_set_telemetry(dll *d, vx_tlm *tlm, const char *prefix, unsigned long decim);
VX_API uint64_t dll_state_bytes(const dll *d);
VX_API void dll_get_state(const dll *d, void *out);
VX_API int dll_set_state(dll *d, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
