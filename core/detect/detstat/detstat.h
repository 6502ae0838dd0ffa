/* detstat: detection-theory functions that size detectors from target probabilities:
 * CFAR thresholds, detection probabilities through the generalised Marcum Q function,
 * look and sample counts for a target detection probability, Gaussian sizing rules, the
 * EMA factor of a noise reference and the verify counts of consecutive-pass lock tests.
 *
 * Stateless, allocation-free, and every iteration is bounded, so no input can hang a
 * caller. Conventions:
 *  - envelope statistics are normalised to the noise standard deviation per real
 *    dimension (noise alone: P(R > eta) = exp(-eta^2/2));
 *  - power statistics are normalised to the noise power (noise alone: P(P > eta) = exp(-eta));
 *  - snr is an amplitude SNR per sample for the envelope functions and a power SNR per
 *    sample for the _power functions;
 *  - Q^-1 is the inverse of the Gaussian tail Q(x) = erfc(x/sqrt(2))/2.
 * Out-of-domain inputs give the fixed values stated per function (-1 counts, 0 or +inf
 * thresholds, +inf delays); where none is stated, NaN in gives NaN out.
 * Compiles as C99 and C++. */
#ifndef VX_DETSTAT_H
#define VX_DETSTAT_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ln|Gamma(x)| (the sign is discarded); re-entrant. */
VX_API double vx_lgamma(double x);

/* Generalised Marcum Q_M(a, b) = P(R > b) for the envelope R of a signal of amplitude a
 * in M complex looks of unit-variance noise. M >= 1; depends on a through a^2.
 * b <= 0 gives 1; NaN, or M < 1, gives NaN; otherwise a value in [0, 1], within 1e-11
 * absolute for any a and M up to 1e7. */
VX_API double marcum_q(int M, double a, double b);

/* ---- envelope detector, one look of n coherent samples ----------------------------- */

/* Threshold eta = sqrt(-2 ln pfa) with P(R > eta) = pfa under noise. pfa in [0, 1]. */
VX_API double det_threshold(double pfa);
/* Detection probability Q_1(sqrt(2n)*snr, eta) after n coherent samples. */
VX_API double det_pd(int n, double snr, double eta);
/* Smallest n in 1..max_n with det_pd(n, snr, det_threshold(pfa)) >= pd; -1 if none. */
VX_API int det_dwell(int max_n, double snr, double pd, double pfa);
/* Amplitude snr at which det_pd(n, snr, det_threshold(pfa)) reaches pd. +inf when pd >= 1
 * or pfa = 0 makes the target unreachable; NaN for n < 1, pfa outside [0, 1] or NaN. */
VX_API double det_snr(int n, double pd, double pfa);

/* ---- non-coherent integration of n_looks envelope looks ---------------------------- */

/* eta with Q_{n_looks}(0, eta) = pfa; det_threshold(pfa) for n_looks < 2.
 * pfa = 0 gives +inf, pfa = 1 gives 0; pfa outside [0, 1] or NaN gives NaN. */
VX_API double det_threshold_noncoherent(double pfa, int n_looks);
/* Q_L(sqrt(2*L*N)*snr, eta): L looks of N coherent samples each. */
VX_API double det_pd_noncoherent(int N, int L, double snr, double eta);
/* Smallest L in 1..max_looks meeting pd with the threshold of each L; -1 if none. */
VX_API int det_n_noncoh(int N, int max_looks, double snr, double pd, double pfa);

/* ---- power (square-law) detector --------------------------------------------------- */

/* Threshold -ln pfa with P(P > eta) = pfa under noise. */
VX_API double det_threshold_power(double pfa);
/* Q_1(sqrt(2*n*snr), sqrt(2*eta)) with snr a power SNR. */
VX_API double det_pd_power(int n, double snr, double eta);
/* As det_dwell with det_pd_power and det_threshold_power. */
VX_API int det_dwell_power(int max_n, double snr, double pd, double pfa);
/* Power SNR reaching pd: det_snr(n, pd, pfa)^2. */
VX_API double det_snr_power(int n, double pd, double pfa);

/* ---- F-ratio and Gaussian sizing --------------------------------------------------- */

/* t with P(F > t) = pfa for F ~ F(n, n); 0 when pfa is not in (0, 1) or n < 1. */
VX_API double det_threshold_f(int n, double pfa);
/* Q^-1(p); 0 when p <= 0, p >= 1 or p is NaN. */
VX_API double det_q_inv(double p);
/* max(1, ceil(k*((Q^-1(pfa) - Q^-1(pd))/d)^2)), capped at 2147483647; -1 unless d > 0,
 * k > 0, 0 < pfa < 1, 0 < pd < 1 and pd > pfa. */
VX_API int det_dwell_gauss(double d, double k, double pd, double pfa);
/* mu*Q^-1(pfa)/(Q^-1(pfa) - Q^-1(pd)); 0 unless mu > 0 (finite), both probabilities in
 * (0, 1), pd > pfa and the denominator is positive. */
VX_API double det_threshold_gauss(double mu, double pd, double pfa);

/* ---- noise reference and lock verification ----------------------------------------- */

/* EMA factor taking a reference from in_snr_db to out_snr_db [dB]: 1 when the input is
 * already good enough (or either value is NaN), else 2c/(c + e) with c = 10^(in/10),
 * e = 10^(out/10). */
VX_API double det_ema_alpha(double in_snr_db, double out_snr_db);
/* Consecutive passes n so that p^n <= budget: 1 when p <= 0 or p <= budget; 2147483647
 * when p >= 1, budget <= 0, either is NaN, or the count would reach 2147483647. */
VX_API int det_verify_count(double p, double budget);
/* Expected decisions until n consecutive passes of probability p: with m = max(n, 1),
 * (1 - p^m)/((1 - p)*p^m); m when p >= 1; +inf when p <= 0 or p is NaN. */
VX_API double det_verify_delay(int n, double p);

#ifdef __cplusplus
}
#endif

#endif
