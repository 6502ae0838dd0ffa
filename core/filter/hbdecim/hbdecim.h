/* hbdecim: 2:1 halfband decimators of the rate-conversion cascade.
 *
 * hbdecim      complex in, complex out.
 * hbdecim_r2c  real in, complex out, with the fs/4 shift x[k]·(−j)^k (k counted from reset)
 *              folded into the filter: a real tone of amplitude A at f cycles/input sample
 *              (0 < f < 0.5) comes out with amplitude A at 2f − 0.5 (mod 1) cycles/output.
 *
 * Both take a table t[0..n−1] (n >= 1; the cascade always uses VX_HB_FIR, n = 19) whose
 * first half is read: for odd n the output per input pair is the 2n−3 tap halfband
 *   y[m] = 0.5·x[2m − 2h] + Σ_{k<h} (t[k]/2)·(x[2m − 1 − 2k] + x[2m + 1 − 2(n − 1 − k)])
 * with h = n/2 (integer), and for even n
 *   y[m] = 0.5·x[2m + 1 − 2h] + Σ_{k<h} (t[k]/2)·(x[2m − 2k] + x[2m − 2(n − 1 − k)]).
 * Inputs before reset count as zero. Block splits never change the output. */
#ifndef VX_HBDECIM_H
#define VX_HBDECIM_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The cascade's halfband table: 18 symmetric taps then 0; Σ t[0..17] = 1.00056. */
#define VX_HB_FIR_LEN 19u
VX_API extern const float VX_HB_FIR[VX_HB_FIR_LEN];

/* Longest table accepted; longer ones are refused at create. */
#define HBDECIM_MAX_TAPS 4096u

typedef struct hbdecim hbdecim;
typedef struct hbdecim_r2c hbdecim_r2c;

/* NULL when n = 0, n > HBDECIM_MAX_TAPS, table is NULL or memory runs out. */
VX_API hbdecim *hbdecim_create(uint64_t n, const float *table);
VX_API void hbdecim_destroy(hbdecim *h);
VX_API void hbdecim_reset(hbdecim *h);
/* Consumes all n_in inputs (an odd one is held for the next call) and writes the first
 * max_out of the outputs they complete; returns the count written. Outputs beyond max_out
 * are skipped, the delay line still advances. */
VX_API uint64_t hbdecim_execute(hbdecim *h, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                                uint64_t max_out);
/* Exact number of outputs n_in more inputs complete: (n_in + held) / 2. */
VX_API uint64_t hbdecim_execute_max_out(const hbdecim *h, uint64_t n_in);
VX_API double hbdecim_get_rate(const hbdecim *h);       /* 0.5 */
VX_API uint64_t hbdecim_get_num_taps(const hbdecim *h); /* n */
VX_API double hbdecim_dc_gain(const hbdecim *h);        /* 0.5 + Σ_{k<h} t[k]; 1.00028 */
VX_API uint64_t hbdecim_state_bytes(const hbdecim *h);  /* 44 + 32·size, 1068 for n = 19 */
VX_API void hbdecim_get_state(const hbdecim *h, void *out);
VX_API int hbdecim_set_state(hbdecim *h, const void *blob);

/* Same contracts; f32 input, cf32 output. */
VX_API hbdecim_r2c *hbdecim_r2c_create(uint64_t n, const float *table);
VX_API void hbdecim_r2c_destroy(hbdecim_r2c *h);
VX_API void hbdecim_r2c_reset(hbdecim_r2c *h);
VX_API uint64_t hbdecim_r2c_execute(hbdecim_r2c *h, const float *x, uint64_t n_in, vx_cf32 *y,
                                    uint64_t max_out);
VX_API uint64_t hbdecim_r2c_execute_max_out(const hbdecim_r2c *h, uint64_t n_in);
VX_API double hbdecim_r2c_get_rate(const hbdecim_r2c *h);
VX_API uint64_t hbdecim_r2c_get_num_taps(const hbdecim_r2c *h);
VX_API double hbdecim_r2c_dc_gain(const hbdecim_r2c *h);
VX_API uint64_t hbdecim_r2c_state_bytes(const hbdecim_r2c *h); /* 44 + 16·size */
VX_API void hbdecim_r2c_get_state(const hbdecim_r2c *h, void *out);
VX_API int hbdecim_r2c_set_state(hbdecim_r2c *h, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
