/* detector2d: the streaming correlation detector on ny×nx frames (corr2d, native grid,
 * whole map), reporting the peak as (row, col); otherwise as detector.h. */
#ifndef VX_DETECTOR2D_H
#define VX_DETECTOR2D_H

#include "detector.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint64_t row, col;
    float peak_mag, noise_est, test_stat;
} detector2d_record;

typedef struct detector2d detector2d;

/* Reference of ny×nx (flat, row-major); dwell >= 1. Peak reported as (row, col). */
VX_API detector2d *detector2d_create(const vx_cf32 *ref, uint64_t ny, uint64_t nx, uint64_t dwell,
                                     uint64_t noise_lo, uint64_t noise_hi, float threshold, unsigned noise_mode,
                                     int nthreads);
VX_API void detector2d_destroy(detector2d *d);
VX_API void detector2d_reset(detector2d *d);
/* Reset, then replace the reference: -1 (reference kept) where corr2d_set_ref refuses it. */
VX_API int detector2d_set_ref(detector2d *d, const vx_cf32 *ref);
VX_API void detector2d_set_threshold(detector2d *d, float threshold);
/* The reference as given (flat, row-major): writes min(n, cap) values, returns that count. */
VX_API uint64_t detector2d_get_ref(const detector2d *d, vx_cf32 *out, uint64_t cap);

VX_API uint64_t detector2d_push(detector2d *d, const vx_cf32 *x, uint64_t len, detector2d_record *rec,
                                uint64_t cap, uint64_t *consumed);

VX_API uint64_t detector2d_get_n(const detector2d *d);
VX_API uint64_t detector2d_get_ny(const detector2d *d);
VX_API uint64_t detector2d_get_nx(const detector2d *d);
VX_API uint64_t detector2d_get_dwell(const detector2d *d);
VX_API uint64_t detector2d_get_count(const detector2d *d);
VX_API uint64_t detector2d_get_ring_cap(const detector2d *d);
VX_API uint64_t detector2d_get_noise_lo(const detector2d *d);
VX_API uint64_t detector2d_get_noise_hi(const detector2d *d);
VX_API unsigned detector2d_get_noise_mode(const detector2d *d);
VX_API float detector2d_get_threshold(const detector2d *d);
VX_API uint64_t detector2d_get_pending(const detector2d *d);
VX_API const vx_cf32 *detector2d_last_corr(const detector2d *d);

/* Blob "DET2": as "DET1" with the correlator's "CR2D" blob and last_row, last_col. */
VX_API uint64_t detector2d_state_bytes(const detector2d *d);
VX_API void detector2d_get_state(const detector2d *d, void *out);
VX_API int detector2d_set_state(detector2d *d, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
