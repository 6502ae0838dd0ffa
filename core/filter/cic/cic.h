/* cic: fourth-order integer CIC decimator (differential delay 1) over cf32, for
 * power-of-two ratios 2..2048. Each component is quantised to a 16-bit offset-binary code
 * (full scale ±2.0, 2^−14 per step, truncated toward zero; out-of-range inputs and NaN
 * saturate and set the sticky `clipped` flag), integrated in 64-bit wrapping arithmetic
 * and combed once per r inputs. The arithmetic is exact (16 + 4·11 = 60 bits at r = 2048):
 * the output is the r^4-weighted mean of the codes, truncated, so DC gain is exactly 1. */
#ifndef VX_CIC_H
#define VX_CIC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct cic cic;

#define CIC_STATE_BYTES 149u
#define CIC_MAX_RATIO 2048u

/* NULL unless r is a power of two with 2 <= r <= 2048 (or memory runs out). */
VX_API cic *cic_create(uint32_t r);
/* Same test as create; on success stores r and resets, else VX_ERR_INVALID, unchanged. */
VX_API int cic_reconfigure(cic *c, uint32_t r);
VX_API void cic_reset(cic *c); /* registers, phase and clipped to 0 */
VX_API void cic_destroy(cic *c);

/* Decimates n_in cf32 inputs by r; writes the first max_out of the outputs they complete
 * and returns the count written. Every input advances the filter. */
VX_API uint64_t cic_decimate(cic *c, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                             uint64_t max_out);
VX_API uint64_t cic_decimate_max_out(const cic *c); /* 0: never more outputs than inputs */
/* Exact number of outputs the next n_in inputs complete: (phase + n_in) / r. */
VX_API uint64_t cic_decimate_bound(const cic *c, uint64_t n_in);

VX_API uint32_t cic_get_ratio(const cic *c);
VX_API int cic_get_clipped(const cic *c); /* 1 when an input saturated since reset */
VX_API double cic_dc_gain(const cic *c);  /* r^4 / 2^(4·log2 r) = 1 */

VX_API uint64_t cic_state_bytes(const cic *c); /* CIC_STATE_BYTES */
VX_API void cic_get_state(const cic *c, void *out);
VX_API int cic_set_state(cic *c, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
