/* specmeas: stateless spectral measurements — magnitude in dB, peak finding with
 * parabolic sub-bin refinement on a DC-centred dB trace, occupied bandwidth of a power
 * vector and a median noise floor. */
#ifndef VX_SPECMEAS_H
#define VX_SPECMEAS_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One spectral peak: DC-centred normalised frequency [cycles/sample], level [dB]. */
typedef struct {
    float freq_norm;
    float level;
} vx_peak_t;

/* out[k] = 20·log10(max(|x[k]|, lin_floor)) + offset_db, in single precision. A NaN
 * magnitude stays NaN. */
VX_API void magnitude_db_cf32(const vx_cf32 *x, uint64_t n, float *out, float lin_floor, float offset_db);
/* |x[k]| and the logarithm in double, narrowed to float, then offset_db added in float. */
VX_API void magnitude_db_cf64(const vx_cf64 *x, uint64_t n, float *out, double lin_floor, float offset_db);

/* Local maxima of a dB trace of n bins (bin n/2 is DC) above min_db: a bin k in 1..n-2
 * with db[k] > min_db, db[k] > db[k-1] and db[k] >= db[k+1], refined by a parabola
 * through its neighbours. At most n/2 + 1 candidates are kept (in scan order); the
 * n_peaks highest are written to out, best first. Returns the count written (0 for
 * n < 3, n_peaks = 0 or a failed temporary allocation). */
VX_API uint64_t find_peaks_f32(const float *db, uint64_t n, uint64_t n_peaks, vx_peak_t *out, float min_db);

/* Width [Hz] of the bins holding the central fraction frac (0 < frac <= 1) of the total
 * power of pwr[0..n), for bins spaced fs/n. 0 for n = 0, a total that is not finite and
 * positive, or frac outside (0, 1]. */
VX_API double obw_from_power(const double *pwr, uint64_t n, double fs, double frac);

/* Median of db[0..n): the middle value, or the mean of the two middle values for even n.
 * NaN sorts above every number. 0 for n = 0 or a failed temporary allocation. */
VX_API double noise_floor_db(const float *db, uint64_t n);
/* The same median, reordering db in place (no allocation); for callers' own scratch. */
VX_API double noise_floor_db_inplace(float *db, uint64_t n);

#ifdef __cplusplus
}
#endif

#endif
