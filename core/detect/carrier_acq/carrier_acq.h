/* carrier_acq: cold-start carrier acquisition. Blocks of n = sample_rate/resolution
 * samples fold into an averaged power spectrum (psd); the spectrum is correlated across
 * frequency with a template of the expected spectral shape (detector, median noise), and
 * the carrier is declared found when the template-matched peak stands a CFAR ratio above
 * the median of the correlation. The residual frequency is refined to a fraction of a bin
 * by a parabola through the correlation peak. */
#ifndef VX_CARRIER_ACQ_H
#define VX_CARRIER_ACQ_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Looks the non-sequential dwell may take, and its value when pd is unreachable. */
#define CARRIER_ACQ_MAX_LOOKS 100000
/* Largest block length n (sample_rate / resolution). */
#define CARRIER_ACQ_MAX_BLOCK ((uint64_t)1 << 24)

typedef struct carrier_acq carrier_acq;

/* zero_pad >= 1; window 0 Hann, 1 Kaiser (beta), 2 Blackman-Harris; template of exactly
 * nfft finite values with a positive sum, or NULL / length 0 for the rectangular-pulse
 * spectrum (sinc², DC-centred); sequential: test after every block (else once, at the
 * dwell_target-th block); max_n_blocks the give-up cap (0 counts as 1); rates [Hz] finite
 * > 0, resolution_hz <= 0 meaning symbol_rate/10, n = round(sample_rate/resolution) in
 * [2, CARRIER_ACQ_MAX_BLOCK]; pfa and pd in (0, 1); design_snr finite >= 0 (amplitude SNR
 * of one look, sizing dwell_target). NULL on any refusal. */
VX_API carrier_acq *carrier_acq_create(uint64_t zero_pad, unsigned window, const float *templ,
                                       uint64_t template_len, int sequential, uint64_t max_n_blocks,
                                       double sample_rate_hz, double symbol_rate_hz, double resolution_hz,
                                       float beta, double pfa, double pd, double design_snr);
VX_API void carrier_acq_destroy(carrier_acq *a);
/* Back to collecting: average, detector, partial block, counters and result cleared. */
VX_API void carrier_acq_reset(carrier_acq *a);
/* Feed samples; ignored once ready or once the active cap (max_n_blocks when sequential,
 * else dwell_target) is reached. A trailing part block is kept for the next call. */
VX_API void carrier_acq_steps(carrier_acq *a, const vx_cf32 *x, uint64_t len);

VX_API int carrier_acq_get_ready(const carrier_acq *a);
VX_API double carrier_acq_get_residual_hz(const carrier_acq *a);
VX_API uint64_t carrier_acq_get_n_blocks(const carrier_acq *a);
VX_API uint64_t carrier_acq_get_dwell_target(const carrier_acq *a);
VX_API uint64_t carrier_acq_get_max_n_blocks(const carrier_acq *a);
VX_API uint64_t carrier_acq_get_nfft(const carrier_acq *a);
VX_API uint64_t carrier_acq_get_n(const carrier_acq *a);
VX_API int carrier_acq_get_sequential(const carrier_acq *a);
VX_API double carrier_acq_get_sample_rate(const carrier_acq *a);
VX_API double carrier_acq_get_symbol_rate(const carrier_acq *a);
VX_API double carrier_acq_get_pfa(const carrier_acq *a);
VX_API double carrier_acq_get_pd(const carrier_acq *a);
VX_API double carrier_acq_get_design_snr(const carrier_acq *a);
/* The block resolution in Hz (symbol_rate/10 when it was given <= 0). */
VX_API double carrier_acq_get_resolution(const carrier_acq *a);
VX_API uint64_t carrier_acq_get_zero_pad(const carrier_acq *a);
VX_API unsigned carrier_acq_get_window(const carrier_acq *a);
VX_API float carrier_acq_get_beta(const carrier_acq *a);
/* The template as given: writes min(nfft, cap) values and returns that count; 0 (nothing
 * written) when the default shape is in use. */
VX_API uint64_t carrier_acq_get_template(const carrier_acq *a, float *out, uint64_t cap);
/* Ratio threshold after k blocks: 1 + 7.9·η·sqrt(Σt²/k)/Σt, η = det_threshold(pfa). */
VX_API double carrier_acq_threshold(const carrier_acq *a, uint64_t k);
/* Peak-to-median statistic of the most recent test (0 before one). */
VX_API double carrier_acq_get_test_stat(const carrier_acq *a);

/* Blob "CAQR": header, nfft, dwell_target, max_n_blocks, n_blocks, ready, residual_hz,
 * fill, the PSD blob, the detector blob, the partial block (cf32[n]). */
VX_API uint64_t carrier_acq_state_bytes(const carrier_acq *a);
VX_API void carrier_acq_get_state(const carrier_acq *a, void *out);
VX_API int carrier_acq_set_state(carrier_acq *a, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
