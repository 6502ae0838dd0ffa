/* window: Kaiser, Hann and Blackman-Harris windows, the Kaiser beta and tap-count rules,
 * the equivalent noise bandwidth of a window and a Kaiser-windowed-sinc lowpass designer.
 * Stateless. Windows are written into caller-owned float arrays of length n. */
#ifndef VX_WINDOW_H
#define VX_WINDOW_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest total length kaiser_num_taps will estimate; beyond it the estimate is refused. */
#define KAISER_MAX_TAPS ((uint64_t)1 << 20)

/* Beta for a Kaiser filter of stopband attenuation atten_db [dB]; 0 below 21 dB. */
VX_API double kaiser_beta(double atten_db);

/* Beta for a Kaiser window of peak-sidelobe attenuation atten_db [dB]; 0 at or below
 * 13.26 dB (rectangular). */
VX_API double kaiser_beta_for_sidelobe(double atten_db);

/* Taps per phase of a Kaiser filter with `phases` polyphase branches (1 for a plain
 * filter), attenuation atten_db [dB, >= 8] and pass/stop edges f_pass < f_stop
 * [cycles/sample]. The total estimate is forced odd before the division, so a plain
 * filter gets an even count. 0 when phases <= 0 or the estimate is meaningless
 * (non-finite arguments, f_stop <= f_pass, atten_db < 8, total above KAISER_MAX_TAPS). */
VX_API int kaiser_num_taps(int phases, double atten_db, double f_pass, double f_stop);

/* Kaiser window of shape beta [>= 0]: I0(beta·sqrt(1 - r²)) / I0(beta), r in [-1, 1]. */
VX_API void kaiser_window(float *w, uint64_t n, float beta);

/* Symmetric Hann window; both ends are 0 (n = 1 gives 1). */
VX_API void hann_window(float *w, uint64_t n);

/* Symmetric minimum 4-term Blackman-Harris window (n = 1 gives 1). */
VX_API void blackman_harris_window(float *w, uint64_t n);

/* Equivalent noise bandwidth in bins: n·Σw² / (Σw)². 0 for an empty window or one whose
 * sum is 0 (no bandwidth is defined there). */
VX_API float kaiser_enbw(const float *w, uint64_t n);

/* Largest attenuation a design accepts: far beyond what float32 taps resolve, and the
 * window series stays finite there. */
#define DESIGN_MAX_ATTEN_DB 300.0

/* Length of the lowpass design_lowpass writes: kaiser_num_taps(1, atten_db, fpass/2,
 * fstop/2) | 1 (odd). 0 when kaiser_num_taps refuses the parameters, or unless
 * 0 <= fpass < fstop <= 1 and atten_db <= DESIGN_MAX_ATTEN_DB. */
VX_API uint64_t design_lowpass_num_taps(double fpass, double fstop, double atten_db);

/* Kaiser-windowed sinc lowpass with Nyquist-normalised edges fpass < fstop [1.0 =
 * Nyquist] and stopband attenuation atten_db [dB, >= 8]; cutoff at the midpoint of the
 * edges, no renormalisation. Writes design_lowpass_num_taps(...) taps. VX_ERR_INVALID
 * (nothing written) when that length is 0. */
VX_API int design_lowpass(float *taps, double fpass, double fstop, double atten_db);

#ifdef __cplusplus
}
#endif

#endif
