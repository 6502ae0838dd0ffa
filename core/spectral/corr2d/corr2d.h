/* corr2d: the 2-D circular cross-correlator with integrate-and-dump, over ny×nx row-major
 * grids: R[dy, dx] = Σ_{p,q} x[(p+dy) mod ny, (q+dx) mod nx]·conj(r[p, q]), scaled by
 * 1/(ny·nx) at each dump; output grids larger than the frame interpolate the map. */
#ifndef VX_CORR2D_H
#define VX_CORR2D_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct corr2d corr2d;

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
/* The reference as given (flat, row-major): writes min(ny·nx, cap) values and returns
 * that count. */
VX_API uint64_t corr2d_get_ref(const corr2d *c, vx_cf32 *out, uint64_t cap);
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
