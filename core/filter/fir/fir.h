/* fir: direct-form FIR filter over cf32 samples, with complex or real taps.
 * Keeps the last num_taps - 1 inputs, so a stream may be cut into blocks of any size;
 * each output sums tap k = 0 upward in single precision, whatever the block size or
 * the machine's SIMD level. */
#ifndef VX_FIR_H
#define VX_FIR_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fir fir;

/* Copy n >= 1 complex taps (fir_create) or real taps (fir_create_real). NULL when taps
 * is NULL, n is 0 or memory runs out. The delay line starts zeroed. */
VX_API fir *fir_create(const vx_cf32 *taps, uint64_t n);
VX_API fir *fir_create_real(const float *taps, uint64_t n);
VX_API void fir_destroy(fir *f);

/* y[i] = Σ_{k=0}^{num_taps-1} h[k]·x[i-k] over the stream, for n inputs; returns n
 * (0, with nothing changed, on NULL pointers or n = 0). y may be x (in place); otherwise
 * the two must not overlap. Never allocates: blocks pass through a scratch sized at
 * create. */
VX_API uint64_t fir_execute(fir *f, const vx_cf32 *x, uint64_t n, vx_cf32 *y);
/* Always 0: one output per input. */
VX_API uint64_t fir_execute_max_out(const fir *f);

/* Zero the delay line; the taps stay. */
VX_API void fir_reset(fir *f);

VX_API uint64_t fir_get_num_taps(const fir *f);
/* 1 when created by fir_create_real. */
VX_API int fir_get_is_real(const fir *f);
/* Copy the num_taps taps to out: cf32 on the complex path, f32 on the real one. */
VX_API void fir_get_taps(const fir *f, void *out);
/* Sum of the real taps, or of the real parts of complex taps, in double. */
VX_API double fir_dc_gain(const fir *f);

/* Blob "FIR_": header, then the delay line (num_taps - 1 cf32, oldest first). */
VX_API uint64_t fir_state_bytes(const fir *f);
VX_API void fir_get_state(const fir *f, void *out);
VX_API int fir_set_state(fir *f, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
