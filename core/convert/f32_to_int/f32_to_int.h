/* Float-to-integer sample converters: float32 in, one saturated integer code out per
 * element. Six families share one algorithm and differ only in the output format:
 *
 *   family          output    code range        packing
 *   f32_to_i8       int8      -128..127         as is
 *   f32_to_i16      int16     -32768..32767     as is
 *   f32_to_i32      int32     -2^31..2^31-1     as is (computed in double)
 *   f32_to_i16u32   uint32    -32768..32767     int16 code zero-extended
 *   f32_to_i16u64   uint64    -32768..32767     int16 code zero-extended
 *   f32_to_uq15     uint16    -32768..32767     offset binary: code + 32768 mod 2^16
 *
 * v = x·scale (single precision; double for f32_to_i32), clamped to the code range and
 * rounded half away from zero. A value outside the range, or NaN (which converts to 0),
 * sets the sticky `clipped` flag; saturation is never an error. Each family has
 *   <family> *<family>_create(float scale)    scale finite and > 0, else NULL
 *   void <family>_steps(obj, x, y, n)         n elements; y may be x when the element
 *                                             sizes match, else they must not overlap
 *   void <family>_reset(obj)                  clears clipped
 *   void <family>_destroy(obj)                accepts NULL
 *   int <family>_get_clipped(obj), float <family>_get_scale(obj)
 *   <family>_state_bytes / _get_state / _set_state
 * Blob (24 bytes): header, scale f32 at 16, clipped u8 at 20, three zero bytes; set_state
 * restores the scale too and rejects one that is not finite and > 0, or a flag above 1. */
#ifndef VX_F32_TO_INT_H
#define VX_F32_TO_INT_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VX_F32_TO_INT_DECLARE(family, out_type)                                         \
    typedef struct family family;                                                       \
    VX_API family *family##_create(float scale);                                        \
    VX_API void family##_destroy(family *q);                                            \
    VX_API void family##_steps(family *q, const float *x, out_type *y, uint64_t n);     \
    VX_API void family##_reset(family *q);                                              \
    VX_API int family##_get_clipped(const family *q);                                   \
    VX_API float family##_get_scale(const family *q);                                   \
    VX_API uint64_t family##_state_bytes(const family *q);                              \
    VX_API void family##_get_state(const family *q, void *out);                         \
    VX_API int family##_set_state(family *q, const void *blob);

VX_F32_TO_INT_DECLARE(f32_to_i8, int8_t)
VX_F32_TO_INT_DECLARE(f32_to_i16, int16_t)
VX_F32_TO_INT_DECLARE(f32_to_i32, int32_t)
VX_F32_TO_INT_DECLARE(f32_to_i16u32, uint32_t)
VX_F32_TO_INT_DECLARE(f32_to_i16u64, uint64_t)
VX_F32_TO_INT_DECLARE(f32_to_uq15, uint16_t)

#ifdef __cplusplus
}
#endif

#endif
