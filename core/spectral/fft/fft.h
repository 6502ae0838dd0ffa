/* fft: fixed-length 1-D and 2-D discrete Fourier transforms over FFTW, planned once at
 * create. sign < 0 is the forward kernel e^(-j2πkm/N), sign >= 0 the inverse e^(+j2πkm/N);
 * nothing is normalised (the inverse does not divide by N). Bins are in natural order.
 *
 * Precision: cf64 input always runs in double precision. cf32 and integer input run in
 * single precision only when every transformed length L qualifies (L >= 16, a multiple of
 * 16, of the form 2^a·3^b·5^c); otherwise they are widened to double, transformed and
 * narrowed back. Plans are FFTW_ESTIMATE, so two objects of one size give identical bits;
 * an input or output that is misaligned, aliased or short goes through the plan's own
 * aligned buffers, which gives the same bits as the direct call. */
#ifndef VX_FFT_H
#define VX_FFT_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest length of one dimension: FFTW takes int sizes. */
#define VX_FFT_MAX_DIM ((uint64_t)0x7fffffff)

/* ---- plan layer ------------------------------------------------------------------- */

typedef struct vx_fft_plan vx_fft_plan;

/* 1 when a transform of length len runs in single precision (see above). */
VX_API int vx_fft_single_ok(uint64_t len);

/* Plans of length n, or ny rows by nx columns (row-major). NULL when a dimension is 0
 * or above VX_FFT_MAX_DIM, the size overflows, or memory runs out. */
VX_API vx_fft_plan *vx_fft_plan_1d(uint64_t n, int sign);
VX_API vx_fft_plan *vx_fft_plan_2d(uint64_t ny, uint64_t nx, int sign);
VX_API void vx_fft_destroy_plan(vx_fft_plan *p);
/* Samples per transform: n, or ny·nx. */
VX_API uint64_t vx_fft_plan_size(const vx_fft_plan *p);

/* Transform the first min(len, size) samples of x, zero-extended to the plan size, and
 * write the first min(cap, size) bins to out; returns that count. x may be out or
 * overlap it; x is never modified. Integer input holds 2·samples interleaved I/Q values
 * (len counts values, an odd last one is ignored) scaled by 2^-15 (ci16) or 2^-7 (ci8). */
VX_API uint64_t vx_fft_execute_cf64(vx_fft_plan *p, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap);
VX_API uint64_t vx_fft_execute_cf32(vx_fft_plan *p, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t vx_fft_execute_ci16(vx_fft_plan *p, const int16_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t vx_fft_execute_ci8(vx_fft_plan *p, const int8_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap);

/* ---- FFT: 1-D object ----------------------------------------------------------------- */

typedef struct fft fft;

/* Length n [1, VX_FFT_MAX_DIM], direction sign; nthreads is ignored. NULL on refusal. */
VX_API fft *fft_create(uint64_t n, int sign, int nthreads);
VX_API void fft_destroy(fft *f);
/* Nothing to do: plans are immutable. */
VX_API void fft_reset(fft *f);
VX_API uint64_t fft_get_n(const fft *f);
VX_API int fft_get_sign(const fft *f);

/* x holds len samples (len/2 for the integer forms); a shorter x is zero-extended and only
 * the first n samples of a longer one are used. Returns min(n, cap) bins written. The
 * in-place forms are the same transform: x may be out. */
VX_API uint64_t fft_execute_cf64(fft *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap);
VX_API uint64_t fft_execute_cf32(fft *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t fft_execute_inplace_cf64(fft *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap);
VX_API uint64_t fft_execute_inplace_cf32(fft *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t fft_execute_ci16(fft *f, const int16_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t fft_execute_ci8(fft *f, const int8_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap);
/* Every form writes n bins. */
VX_API uint64_t fft_execute_max_out(const fft *f);

#ifdef __cplusplus
}
#endif

#endif
