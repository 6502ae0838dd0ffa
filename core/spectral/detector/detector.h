/* detector: streaming correlation detector. Chunks of any length are queued on a
 * mirrored ring, cut into non-overlapping frames of the reference's size and correlated
 * with integrate-and-dump (corr, native grid; detector2d.h is the 2-D one). At each dump the peak magnitude
 * is compared with a noise estimate over a range of correlation bins; a record is
 * reported when peak/noise passes the threshold (threshold 0 reports every dump). */
#ifndef VX_DETECTOR_H
#define VX_DETECTOR_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Noise estimate over the bins noise_lo..noise_hi: mean (single precision), median (the
 * element at index m/2 of the sorted bins: the upper middle for even m, no averaging;
 * NaN sorts last), minimum or maximum. */
enum { DETECTOR_NOISE_MEAN = 0, DETECTOR_NOISE_MEDIAN = 1, DETECTOR_NOISE_MIN = 2, DETECTOR_NOISE_MAX = 3 };

typedef struct {
    uint64_t lag;
    float peak_mag, noise_est, test_stat;
} detector_record;

typedef struct detector detector;

/* Reference of n >= 1 samples; dwell frames per dump (0: never dumps); noise_lo and
 * noise_hi clamped to n - 1 and swapped when reversed; noise_mode 0..3; threshold on
 * peak/noise. NULL on refusal or when the ring cannot be mapped. */
VX_API detector *detector_create(const vx_cf32 *ref, uint64_t n, uint64_t dwell, uint64_t noise_lo,
                                 uint64_t noise_hi, unsigned noise_mode, float threshold, int nthreads);
VX_API void detector_destroy(detector *d);
/* Empty the ring, reset the correlator, forget the last result. */
VX_API void detector_reset(detector *d);
/* Reset, then replace the reference. */
VX_API int detector_set_ref(detector *d, const vx_cf32 *ref);
VX_API void detector_set_threshold(detector *d, float threshold);
/* The reference as given: writes min(n, cap) values, returns that count. */
VX_API uint64_t detector_get_ref(const detector *d, vx_cf32 *out, uint64_t cap);

/* Queue x[0..len) and run every whole frame, writing at most cap records. Input is
 * queued (as far as the ring has room) only while the record array has room, and frames
 * still queued when it fills wait for the next call, which may pass no input: *consumed
 * (may be NULL) receives how much input was queued, so a caller pushes the rest and calls
 * again while the records come back full. Returns the records written. */
VX_API uint64_t detector_push(detector *d, const vx_cf32 *x, uint64_t len, detector_record *rec, uint64_t cap,
                              uint64_t *consumed);

VX_API uint64_t detector_get_n(const detector *d);
VX_API uint64_t detector_get_dwell(const detector *d);
VX_API uint64_t detector_get_count(const detector *d);
VX_API uint64_t detector_get_ring_cap(const detector *d);
VX_API uint64_t detector_get_noise_lo(const detector *d);
VX_API uint64_t detector_get_noise_hi(const detector *d);
VX_API unsigned detector_get_noise_mode(const detector *d);
VX_API float detector_get_threshold(const detector *d);
VX_API uint64_t detector_get_pending(const detector *d);
/* The correlation of the most recent dump (n values), or NULL before the first one. */
VX_API const vx_cf32 *detector_last_corr(const detector *d);
/* The record of the most recent dump, reported or not; 0 (nothing written) before one. */
VX_API int detector_get_last(const detector *d, detector_record *out);

/* Blobs "DET1" / "DET2": header, the correlator's blob, the pending count and ring_cap
 * samples (pending first, then zeros), the last result, then the last dump's correlation
 * (n values, so last_corr survives a restore). A pending count above
 * ring_cap, a peak index outside the frame or a has_result flag other than 0/1 is
 * rejected. */
VX_API uint64_t detector_state_bytes(const detector *d);
VX_API void detector_get_state(const detector *d, void *out);
VX_API int detector_set_state(detector *d, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
