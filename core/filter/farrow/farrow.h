/* farrow: fractional-delay interpolator over cf32 (linear, parabolic or cubic Lagrange),
 * embedded by value in the symbol synchroniser. Each input shifts a four-sample history
 * h0 (oldest) .. h3 (newest); the output lies between h1 (mu = 0) and h2 (mu = 1), two
 * samples behind the newest input. Single precision throughout. */
#ifndef VX_FARROW_H
#define VX_FARROW_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { FARROW_LINEAR = 0, FARROW_PARABOLIC = 1, FARROW_CUBIC = 2 };

typedef struct farrow {
    vx_cf32 h[4];   /* history, h[0] oldest */
    uint32_t order; /* FARROW_LINEAR .. FARROW_CUBIC */
} farrow;

#define FARROW_STATE_BYTES 52u

/* NULL for an order above FARROW_CUBIC or no memory. */
VX_API farrow *farrow_create(uint32_t order);
/* On caller storage; VX_ERR_INVALID (storage untouched) for a bad order. */
VX_API int farrow_init(farrow *f, uint32_t order);
VX_API void farrow_reset(farrow *f); /* history to zero */
VX_API void farrow_destroy(farrow *f);

/* One output per input, all at fractional delay mu in [0, 1): writes min(n_in, max_out)
 * and returns that count; every input enters the history. */
VX_API uint64_t farrow_delay(farrow *f, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                             uint64_t max_out, float mu);
VX_API uint64_t farrow_delay_max_out(const farrow *f); /* 0: as many outputs as inputs */
VX_API double farrow_get_group_delay(const farrow *f); /* 2 samples */

VX_API uint64_t farrow_state_bytes(const farrow *f); /* FARROW_STATE_BYTES */
VX_API void farrow_get_state(const farrow *f, void *out);
VX_API int farrow_set_state(farrow *f, const void *blob); /* restores the order too */

#ifdef __cplusplus
}
#endif

#endif
