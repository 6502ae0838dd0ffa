/* link_theory: coherent M-PSK theory curves, the Es/N0 a measured symbol error rate
 * implies, the self-referenced EVM and its floor, and where a steady-state measurement
 * window may start. Stateless; every loop is bounded. Es/N0 arguments are linear, results
 * in dB where named _db. Compiles as C99 and C++. */
#ifndef VX_LINK_THEORY_H
#define VX_LINK_THEORY_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gaussian tail Q(x) = erfc(x/sqrt(2))/2. */
VX_API double ber_qfunc(double x);

/* Symbol error rate of coherent M-PSK at Es/N0 = esn0: m < 3 Q(sqrt(2 esn0)); m = 4
 * 2Q(sqrt(esn0)); other m 2Q(sqrt(2 esn0) sin(pi/8)); never above the guessing rate
 * (0.5 for m < 3, else 1 - 1/m), which esn0 <= 0 gives. NaN gives NaN. */
VX_API double ber_theory_ser(int m, double esn0);
/* Gray-coded bit error rate: with b = log2 m (1, 2, 3; other m 1), m < 5 Q(sqrt(2 esn0/b)),
 * else ber_theory_ser/b; esn0 <= 0 gives its value at 0. NaN gives NaN. */
VX_API double ber_theory_ber(int m, double esn0);
/* Es/N0 [dB] at which ber_theory_ser reaches ser, by 200 bisection steps on [-10, 40] dB:
 * -10 when ser is at or above the rate there, 40 when ser is at or below the rate at
 * 40 dB (an error-free ser = 0 included); NaN gives NaN. */
VX_API double ber_esn0_db_for_ser(int m, double ser);
/* EVM floor [dB] of the self-referenced EVM for symbols spread uniformly over their
 * decision sectors: 10 log10(2 - 2 sin(t)/t), t = pi/max(m, 2). */
VX_API double ber_evm_scatter_floor_db(int m);
/* Symbols a loop pair needs to settle: trunc(2 (5/bn_timing + 5/bn_carrier)), a term left
 * out when its bandwidth is <= 0; saturates at UINT64_MAX; 0 when either is NaN. */
VX_API uint64_t ber_settle_syms(double bn_timing, double bn_carrier);
/* Start of the measurement window: budget, moved to a timing_lock > 0 at or past it, then
 * to a carrier_lock > 0 past that. Indicators <= 0 (-1: never locked) are ignored. */
VX_API uint64_t ber_settle_from(uint64_t budget, int64_t timing_lock, int64_t carrier_lock);
/* First j at which flags[j ... j + sustain) are all non-zero and at least min_frac of
 * flags[j ... len) are; -1 when none (or flags is NULL, len 0, no flag set). sustain 0
 * means 200; min_frac <= 0 or NaN means 0.9. One pass, no allocation. */
VX_API int64_t ber_lock_symbol(const uint8_t *flags, uint64_t len, uint64_t sustain, double min_frac);
/* Self-referenced EVM [dB] over rx[lo, min(len, hi)) for M-PSK of order m (raised to 2;
 * above 64 gives NaN): the rotation from the m-th power of the sum, each symbol
 * normalised to the window's rms and compared with its nearest constellation point.
 * 0.0 for a window under 20 symbols or rms below 1e-20; floored at -120 (ideal symbols);
 * NaN when a sample is not finite. */
VX_API double ber_evm_db(const vx_cf32 *rx, uint64_t len, uint64_t lo, uint64_t hi, int m);

#ifdef __cplusplus
}
#endif

#endif
