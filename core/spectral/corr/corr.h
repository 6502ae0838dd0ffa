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
typedef struct corr2d corr2d;

/* ---- 1-D ---------------------------------------------------------------------------- */

/* Reference of n >= 1 samples; dwell frames per dump (0: accumulates, never dumps);
 * n_out the output length (0 = n, else >= n). nthreads is ignored. NULL on refusal. */
VX_API corr *corr_create(const vx_cf32 *ref, uint64_t n, uint64_t dwell, int nthreads, uint64_t n_out);
VX_API void corr_destroy(corr *c);
/* Zero the accumulator and the frame count. */
VX_API void corr_reset(corr *c);
/* New reference of n samples: recomputes its spectrum, then resets. */
VX_API void corr_set_ref(corr *c, const vx_cf32 *ref);
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

/* ---- 2-D ---------------------------------------------------------------------------- */

/* Reference of ny×nx >= 1×1 (flat, row-major); dwell >= 1; output grid ny_out×nx_out
 * (0 = native, else at least ny, nx). When ny_out = ny and the reference is zero outside
 * row 0, each row is correlated on its own (the row path: 1-D transforms only). col_out
 * >= 0 (row path, nx_out = nx, col_out < nx) outputs only column col_out of the map,
 * computed in the time domain. NULL on refusal. */
VX_API corr2d *corr2d_create(const vx_cf32 *ref, uint64_t ny, uint64_t nx, uint64_t dwell, int nthreads,
                             uint64_t ny_out, uint64_t nx_out, int32_t col_out);
VX_API void corr2d_destroy(corr2d *c);
VX_API void corr2d_reset(corr2d *c);
/* 0, or -1 (reference kept) when a row-path correlator is given a reference with a
 * non-zero value outside row 0; resets in both cases. */
VX_API int corr2d_set_ref(corr2d *c, const vx_cf32 *ref);
VX_API uint64_t corr2d_execute(corr2d *c, const vx_cf32 *frame, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t corr2d_execute_max_out(const corr2d *c);
VX_API uint64_t corr2d_get_ny(const corr2d *c);
VX_API uint64_t corr2d_get_nx(const corr2d *c);
VX_API uint64_t corr2d_get_ny_out(const corr2d *c);
VX_API uint64_t corr2d_get_nx_out(const corr2d *c);
VX_API uint64_t corr2d_get_dwell(const corr2d *c);
VX_API uint64_t corr2d_get_count(const corr2d *c);
VX_API int32_t corr2d_get_col_out(const corr2d *c);
/* 1 when the row path was chosen. */
VX_API int corr2d_get_row_path(const corr2d *c);
/* Blob "CR2D": header, count (u64), acc (cf32[ny·nx]). */
VX_API uint64_t corr2d_state_bytes(const corr2d *c);
VX_API void corr2d_get_state(const corr2d *c, void *out);
VX_API int corr2d_set_state(corr2d *c, const void *blob);

/* Zero-pad spectrum s[0..n) to p[0..m), m >= n: the non-negative frequencies first, the
 * negative ones at the top, the rest zero; for even n the Nyquist value is halved into
 * both p[n/2] and p[m - n/2]. m = n copies. */
VX_API void corr2d_zeropad_1d(const vx_cf32 *s, uint64_t n, vx_cf32 *p, uint64_t m);

#ifdef __cplusplus
}
#endif

#endif
