/* corr: frequency-domain circular cross-correlators with coherent integrate-and-dump.
 * R[m] = Σ_p x[(p + m) mod n]·conj(r[p]) (2-D: over both axes of a row-major ny×nx grid).
 * Each frame is transformed and its product with conj(FFT(ref)) added to a complex
 * accumulator; every `dwell` frames the accumulated cross-spectrum is inverted once,
 * scaled by 1/n (1/(ny·nx)) and emitted. An output grid larger than the frame gives the
 * band-limited (Dirichlet) interpolation of the correlation, at the native peak height. */
#ifndef VX_CORR_H
#define VX_CORR_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct corr corr;

/* Reference of n >= 1 samples; dwell frames per dump (0: accumulates, never dumps);
 * n_out the output length (0 = n, else >= n). nthreads is ignored. NULL on refusal. */
VX_API corr *corr_create(const vx_cf32 *ref, uint64_t n, uint64_t dwell, int nthreads, uint64_t n_out);
VX_API void corr_destroy(corr *c);
/* Zero the accumulator and the frame count. */
VX_API void corr_reset(corr *c);
/* New reference of n samples: recomputes its spectrum, then resets. */
VX_API void corr_set_ref(corr *c, const vx_cf32 *ref);
/* The reference as given (a copy is kept beside its spectrum): writes min(n, cap) values
 * and returns that count. */
VX_API uint64_t corr_get_ref(const corr *c, vx_cf32 *out, uint64_t cap);
/* One frame: the first n samples of frame[0..len), zero-extended when shorter. On the
 * dwell-th frame writes min(n_out, cap) values and returns that count; else returns 0
 * and leaves out untouched. */
VX_API uint64_t corr_execute(corr *c, const vx_cf32 *frame, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t corr_execute_max_out(const corr *c);
VX_API uint64_t corr_get_n(const corr *c);
VX_API uint64_t corr_get_n_out(const corr *c);
VX_API uint64_t corr_get_dwell(const corr *c);
VX_API uint64_t corr_get_count(const corr *c);
/* Blob "CORR": header, count (u64), acc (cf32[n]). A count not below a non-zero dwell is
 * rejected. */
VX_API uint64_t corr_state_bytes(const corr *c);
VX_API void corr_get_state(const corr *c, void *out);
VX_API int corr_set_state(corr *c, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
