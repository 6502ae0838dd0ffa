/* acc_trace: per-bin reduction of equal-length float frames (spectra, for example) into
 * a running mean, exponential average, max-hold or min-hold trace kept in double. */
#ifndef VX_ACC_TRACE_H
#define VX_ACC_TRACE_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { ACC_TRACE_MEAN = 0, ACC_TRACE_EXP = 1, ACC_TRACE_MAXHOLD = 2, ACC_TRACE_MINHOLD = 3 };

typedef struct acc_trace acc_trace;

/* n bins [>= 1, the trace fits VX_SIZE_LIMIT], mode 0..3, alpha the exponential weight
 * (stored as given; alpha >= 1 copies each frame). NULL on refusal. */
VX_API acc_trace *acc_trace_create(uint64_t n, unsigned mode, double alpha);
VX_API void acc_trace_destroy(acc_trace *t);
/* Trace zeroed, count = 0. */
VX_API void acc_trace_reset(acc_trace *t);
/* Fold the first n values of p; a frame shorter than n is ignored. The first frame after
 * create or reset is copied; later ones combine by the mode. */
VX_API void acc_trace_accumulate(acc_trace *t, const float *p, uint64_t len);
/* The trace as float: min(n, cap) values, or 0 before the first frame. `count` is unused. */
VX_API uint64_t acc_trace_value(const acc_trace *t, uint64_t count, float *out, uint64_t cap);
VX_API uint64_t acc_trace_value_max_out(const acc_trace *t);
/* The trace in double, without conversion (n values); NULL-free read for composites. */
VX_API const double *acc_trace_data(const acc_trace *t);

VX_API uint64_t acc_trace_get_n(const acc_trace *t);
VX_API unsigned acc_trace_get_mode(const acc_trace *t);
VX_API uint64_t acc_trace_get_count(const acc_trace *t);
VX_API double acc_trace_get_alpha(const acc_trace *t);
VX_API void acc_trace_set_alpha(acc_trace *t, double alpha);

/* Blob "ATRC": header, count (u64), n trace values (f64). n, mode and alpha are
 * construction data, not saved. */
VX_API uint64_t acc_trace_state_bytes(const acc_trace *t);
VX_API void acc_trace_get_state(const acc_trace *t, void *out);
VX_API int acc_trace_set_state(acc_trace *t, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
