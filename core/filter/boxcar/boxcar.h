/* boxcar: sliding-window mean of the last len (1..64) cf32 samples, O(1) per sample.
 * The window sum lives in a single-precision accumulator; the output is acc·scale with
 * scale = gain / len. Embeddable by value (boxcar_init). */
#ifndef VX_BOXCAR_H
#define VX_BOXCAR_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BOXCAR_MAX_LEN 64u
#define BOXCAR_STATE_BYTES 576u

typedef struct boxcar {
    uint64_t len;                     /* window length, 1..BOXCAR_MAX_LEN */
    uint64_t pos;                     /* ring slot the next input overwrites, < len */
    double inv_len;                   /* 1/len */
    double gain;                      /* output gain */
    float scale;                      /* gain·inv_len, the one multiplier per output */
    vx_cf32 acc;                      /* running window sum */
    vx_cf32 ring[BOXCAR_MAX_LEN];     /* the last len inputs */
} boxcar;

/* NULL unless 1 <= len <= 64 (or when memory runs out). */
VX_API boxcar *boxcar_create(uint64_t len, double gain);
/* On caller storage: len 0 is taken as 1, above 64 as 64; the window starts empty. */
VX_API void boxcar_init(boxcar *b, uint64_t len, double gain);
VX_API void boxcar_destroy(boxcar *b);
/* Zero pos, acc and the ring; len, gain and scale stay. */
VX_API void boxcar_reset(boxcar *b);

/* Per input: acc += x - ring[pos]; ring[pos] = x; pos advances; y = acc·scale.
 * x and y may be the same array. */
VX_API void boxcar_steps(boxcar *b, const vx_cf32 *x, vx_cf32 *y, uint64_t n);

/* Store gain and recompute scale = gain·inv_len; the window is kept. */
VX_API void boxcar_set_gain(boxcar *b, double gain);
VX_API double boxcar_get_gain(const boxcar *b);
VX_API uint64_t boxcar_get_len(const boxcar *b);

/* Blob "BOXC", always 576 bytes: header, then len, pos, inv_len, gain, scale, acc, ring
 * and 4 zero bytes. Restoring rejects len outside 1..64 or pos >= len. */
VX_API uint64_t boxcar_state_bytes(const boxcar *b);
VX_API void boxcar_get_state(const boxcar *b, void *out);
VX_API int boxcar_set_state(boxcar *b, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
