/* acc: running scalar sums carried across calls, a single-precision real one (acc_f32)
 * and a double-precision complex one (acc_cf64). Every operation adds term by term in
 * index order into the running value, so a stream summed in blocks of any size gives the
 * bits of one block. */
#ifndef VX_ACC_H
#define VX_ACC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct acc_f32 acc_f32;
typedef struct acc_cf64 acc_cf64;

/* ---- acc_f32 ---- */
VX_API acc_f32 *acc_f32_create(float acc);
VX_API void acc_f32_destroy(acc_f32 *a);
VX_API void acc_f32_reset(acc_f32 *a);                               /* acc = 0 */
VX_API void acc_f32_steps(acc_f32 *a, const float *x, uint64_t n);   /* acc += x[0], x[1], ... */
VX_API float acc_f32_get_acc(const acc_f32 *a);
VX_API float acc_f32_get(const acc_f32 *a);
VX_API void acc_f32_set_acc(acc_f32 *a, float v);
VX_API float acc_f32_dump(acc_f32 *a);                               /* return acc, then acc = 0 */
/* acc += x[i]·h[i] for i < min(nx, nh), in order. */
VX_API void acc_f32_madd(acc_f32 *a, const float *x, uint64_t nx, const float *h, uint64_t nh);
VX_API void acc_f32_add2d(acc_f32 *a, const float *x, uint64_t n);  /* flat buffer, as steps */
VX_API void acc_f32_madd2d(acc_f32 *a, const float *x, uint64_t nx, const float *h, uint64_t nh);
/* Blob "ACCF": header, acc (f32). */
VX_API uint64_t acc_f32_state_bytes(const acc_f32 *a);
VX_API void acc_f32_get_state(const acc_f32 *a, void *out);
VX_API int acc_f32_set_state(acc_f32 *a, const void *blob);

/* ---- acc_cf64 ---- */
VX_API acc_cf64 *acc_cf64_create(double re, double im);
VX_API void acc_cf64_destroy(acc_cf64 *a);
VX_API void acc_cf64_reset(acc_cf64 *a);
VX_API void acc_cf64_steps(acc_cf64 *a, const vx_cf64 *x, uint64_t n);
VX_API vx_cf64 acc_cf64_get_acc(const acc_cf64 *a);
VX_API vx_cf64 acc_cf64_get(const acc_cf64 *a);
VX_API void acc_cf64_set_acc(acc_cf64 *a, double re, double im);
VX_API vx_cf64 acc_cf64_dump(acc_cf64 *a);
/* acc += h[i]·x[i] for i < min(nx, nh), real taps h. */
VX_API void acc_cf64_madd(acc_cf64 *a, const vx_cf64 *x, uint64_t nx, const float *h, uint64_t nh);
VX_API void acc_cf64_add2d(acc_cf64 *a, const vx_cf64 *x, uint64_t n);
VX_API void acc_cf64_madd2d(acc_cf64 *a, const vx_cf64 *x, uint64_t nx, const float *h, uint64_t nh);
/* Blob "ACCC": header, acc re, im (f64, f64). */
VX_API uint64_t acc_cf64_state_bytes(const acc_cf64 *a);
VX_API void acc_cf64_get_state(const acc_cf64 *a, void *out);
VX_API int acc_cf64_set_state(acc_cf64 *a, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
