/* psd: averaging power-spectrum estimator. Consecutive, non-overlapping frames of n
 * samples are windowed, zero-padded to nfft (the smallest power of two >= n·pad, at least
 * 2), transformed, turned into a DC-centred power trace (bin nfft/2 is DC, bin 0 is
 * -fs/2) and folded into a running reduction (acc_trace). Read-outs are calibrated
 * against the window sums and full scale. */
#ifndef VX_PSD_H
#define VX_PSD_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { PSD_WINDOW_HANN = 0, PSD_WINDOW_KAISER = 1, PSD_WINDOW_BLACKMAN_HARRIS = 2 };

/* Largest n·pad: 2^26 bins already take about 2.5 GB of buffers and plans. */
#define PSD_MAX_NFFT ((uint64_t)1 << 26)

/* Level [dB] of an empty band or an estimator without frames. */
#define PSD_EMPTY_DB (-200.0)

typedef struct psd psd;

/* n frame length [>= 2]; window 0..2 (beta: Kaiser shape, ignored otherwise); pad 0 counts
 * as 1, n·pad <= PSD_MAX_NFFT; bits > 0 replaces full_scale by 2^(bits-1) [bits <= 64];
 * mode 0 mean, 1 exp, 2 maxhold, 3 minhold with weight alpha; fs [Hz] finite > 0;
 * full_scale finite > 0. NULL when any is refused, or the window's sum or energy is not
 * finite and positive (e.g. Hann of length 2). */
VX_API psd *psd_create(uint64_t n, unsigned window, uint64_t pad, uint64_t bits, unsigned mode, double fs,
                       float beta, double full_scale, double alpha);
VX_API void psd_destroy(psd *p);
/* Clear the reduction and its frame count. */
VX_API void psd_reset(psd *p);

/* Fold floor(len/n) frames; the samples past the last whole frame are dropped (nothing
 * is carried to the next call). Returns the frames folded. */
VX_API uint64_t psd_accumulate(psd *p, const vx_cf32 *x, uint64_t len);
VX_API uint64_t psd_accumulate_real(psd *p, const float *x, uint64_t len);

/* Trace read-outs: 0 values before the first frame, else min(cap, max_out) values.
 * twosided: T/sum_w² (nfft); onesided: DC, then bins folded about DC, then -fs/2 alone
 * (nfft/2 + 1); db: 10·log10(max(T/(sum_w·full_scale)², 1e-20)) (nfft); dbhz: db minus
 * 10·log10(rbw) (nfft). */
VX_API uint64_t psd_power_twosided(psd *p, float *out, uint64_t cap);
VX_API uint64_t psd_power_twosided_max_out(const psd *p);
VX_API uint64_t psd_power_onesided(psd *p, float *out, uint64_t cap);
VX_API uint64_t psd_power_onesided_max_out(const psd *p);
VX_API uint64_t psd_psd_db(psd *p, float *out, uint64_t cap);
VX_API uint64_t psd_psd_db_max_out(const psd *p);
VX_API uint64_t psd_psd_dbhz(psd *p, float *out, uint64_t cap);
VX_API uint64_t psd_psd_dbhz_max_out(const psd *p);

/* Power [dB re full scale] in each band (a, b) [Hz, either order] of bands[0..len), an
 * odd trailing edge ignored; a band outside the spectrum, or with a NaN edge, reads
 * PSD_EMPTY_DB. Returns min(len/2, cap), or 0 before the first frame. */
VX_API uint64_t psd_band_power(psd *p, const double *bands, uint64_t len, float *out, uint64_t cap);
/* 0: the caller sizes the output from the band list. */
VX_API uint64_t psd_band_power_max_out(const psd *p);
/* Sum of the linear powers of every band that does not read PSD_EMPTY_DB, in dB. */
VX_API double psd_total_band_power(psd *p, const double *bands, uint64_t len);
/* Width [Hz] holding the central fraction (0, 1] of the power; 0 otherwise. */
VX_API double psd_occupied_bw(psd *p, double fraction);
/* Median of the dB trace (mean of the two middle values for even nfft). */
VX_API double psd_noise_floor(psd *p);
/* Highest dB bin in [lo_hz, hi_hz] minus the noise floor; 0 for a band wholly outside. */
VX_API double psd_snr(psd *p, double lo_hz, double hi_hz);
/* Highest minus second-highest of up to 16 peaks above min_db; 0 with fewer than two. */
VX_API double psd_sfdr(psd *p, float min_db);

VX_API uint64_t psd_get_n(const psd *p);
VX_API uint64_t psd_get_nfft(const psd *p);
VX_API double psd_get_fs(const psd *p);
VX_API double psd_get_full_scale(const psd *p);
VX_API uint64_t psd_get_bits(const psd *p);
VX_API double psd_get_enbw(const psd *p);   /* bins: n·Σw²/(Σw)² */
VX_API double psd_get_rbw(const psd *p);    /* Hz: enbw·fs/n */
VX_API uint64_t psd_get_count(const psd *p);
VX_API unsigned psd_get_mode(const psd *p);
VX_API unsigned psd_get_window(const psd *p);
VX_API float psd_get_beta(const psd *p);
VX_API uint64_t psd_get_pad(const psd *p);
VX_API double psd_get_alpha(const psd *p);

/* Blob "PSD ": header, then the trace accumulator's blob (count and nfft doubles). */
VX_API uint64_t psd_state_bytes(const psd *p);
VX_API void psd_get_state(const psd *p, void *out);
VX_API int psd_set_state(psd *p, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
