/* fft2d: fixed-size 2-D discrete Fourier transform over the FFT plan layer (fft.h), on
 * flat row-major arrays of ny·nx samples; the same direction, precision and layout rules
 * as the 1-D engine, unscaled in both dimensions. */
#ifndef VX_FFT2D_H
#define VX_FFT2D_H

#include "fft.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fft2d fft2d;

VX_API fft2d *fft2d_create(uint64_t ny, uint64_t nx, int sign, int nthreads);
VX_API void fft2d_destroy(fft2d *f);
VX_API void fft2d_reset(fft2d *f);
VX_API uint64_t fft2d_get_ny(const fft2d *f);
VX_API uint64_t fft2d_get_nx(const fft2d *f);
VX_API int fft2d_get_sign(const fft2d *f);

VX_API uint64_t fft2d_execute_cf64(fft2d *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap);
VX_API uint64_t fft2d_execute_cf32(fft2d *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap);
VX_API uint64_t fft2d_execute_inplace_cf64(fft2d *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap);
VX_API uint64_t fft2d_execute_inplace_cf32(fft2d *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap);
/* ny·nx. */
VX_API uint64_t fft2d_execute_max_out(const fft2d *f);

#ifdef __cplusplus
}
#endif

#endif
