/* carrier_mpsk: decision-directed M-PSK carrier loop (M = 2, 4 or 8) on symbol-synchronous
 * complex baseband. tsamps samples are de-rotated and integrated per symbol, the prompt is
 * sliced to the nearest constellation point â (QPSK offset by π/4), and Im(P·conj(â))/|P|
 * steers the oscillator through a PI loop filter, with an optional cross-product FLL
 * assist. It settles on one of M phases; the ambiguity is resolved downstream. */
#ifndef VX_CARRIER_MPSK_H
#define VX_CARRIER_MPSK_H

#include "lo.h"
#include "loop_filter.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CARRIER_MPSK_STATE_BYTES 192u

typedef struct carrier_mpsk {
    lo osc;                /* carrier oscillator */
    loop_filter lf;        /* t = 1: one update per symbol; integ in radians per symbol */
    uint64_t tsamps;       /* samples per symbol, >= 1 */
    double init_norm_freq; /* seed frequency [cycles/sample] */
    double bn, zeta;       /* loop bandwidth [per symbol] and damping */
    double bn_fll;         /* FLL-assist bandwidth, >= 0 */
    double k_fll;          /* 4·bn_fll */
    int32_t m;             /* 2, 4 or 8 */
    vx_cf32 prompt;        /* integrate-and-dump sum of the symbol in progress */
    uint32_t pad0;
    uint64_t count;        /* samples in prompt, < tsamps */
    vx_cf32 prev;          /* previous prompt after slicing rotation, P·conj(â) */
    double prev_mag;       /* previous |P| + 1e-12 */
    uint32_t have_prev;
    uint32_t pad1;
    double lock_metric;    /* EMA of Re(P·conj(â)) / |P| */
    double last_error;
} carrier_mpsk;

/* m 2, 4 or 8; tsamps 0 acts as 1; bn >= 0 [per symbol], zeta > 0, bn_fll >= 0 and
 * init_norm_freq [cycles/sample], all finite. NULL otherwise or without memory. */
VX_API carrier_mpsk *carrier_mpsk_create(uint64_t tsamps, int m, double bn, double zeta,
                                         double init_norm_freq, double bn_fll);
/* The same on caller storage; VX_ERR_INVALID on create's refusals. */
VX_API int carrier_mpsk_init(carrier_mpsk *c, uint64_t tsamps, int m, double bn, double zeta,
                             double init_norm_freq, double bn_fll);
VX_API void carrier_mpsk_destroy(carrier_mpsk *c);
/* Seeded state; configuration kept. */
VX_API void carrier_mpsk_reset(carrier_mpsk *c);

/* One prompt per completed symbol; prompts beyond out_cap still steer the loop. */
VX_API uint64_t carrier_mpsk_steps(carrier_mpsk *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                                   uint64_t out_cap);
VX_API uint64_t carrier_mpsk_steps_max_out(const carrier_mpsk *c); /* 0 */

/* Setters refuse (VX_ERR_INVALID, unchanged) what create refuses. */
VX_API int carrier_mpsk_configure(carrier_mpsk *c, double bn, double zeta);
VX_API double carrier_mpsk_get_bn(const carrier_mpsk *c);
VX_API int carrier_mpsk_set_bn(carrier_mpsk *c, double bn);
VX_API double carrier_mpsk_get_norm_freq(const carrier_mpsk *c);
VX_API int carrier_mpsk_set_norm_freq(carrier_mpsk *c, double f); /* re-seed at f */
VX_API double carrier_mpsk_get_lock_metric(const carrier_mpsk *c);
VX_API double carrier_mpsk_get_last_error(const carrier_mpsk *c);
VX_API double carrier_mpsk_get_bn_fll(const carrier_mpsk *c);
VX_API int carrier_mpsk_set_bn_fll(carrier_mpsk *c, double bn_fll);
VX_API int carrier_mpsk_get_m(const carrier_mpsk *c);

VX_API uint64_t carrier_mpsk_state_bytes(const carrier_mpsk *c);
VX_API void carrier_mpsk_get_state(const carrier_mpsk *c, void *out);
/* Rejects a header mismatch and fields out of range (m, counts, flags, loop values). */
VX_API int carrier_mpsk_set_state(carrier_mpsk *c, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
