/* Integer-to-float sample converters: one integer code in, y = (float)code · (1/scale)
 * out per element. Six families share one loop and differ only in how the code is read:
 *
 *   family          input     code
 *   i8_to_f32       int8      as is
 *   i16_to_f32      int16     as is
 *   i32_to_f32      int32     as is (rounded to float)
 *   i16u32_to_f32   uint32    low 16 bits as int16
 *   i16u64_to_f32   uint64    low 16 bits as int16
 *   uq15_to_f32     uint16    offset binary: value - 32768
 *
 * Each family has
 *   <family> *<family>_create(float scale)   scale finite and > 0 with 1/scale finite,
 *                                            else NULL
 *   void <family>_steps(obj, x, y, n)        n elements; y may be x when the element
 *                                            sizes match, else they must not overlap
 *   void <family>_reset(obj)                 nothing to clear: the object has no state
 *   void <family>_destroy(obj)               accepts NULL
 *   float <family>_get_scale(obj) */
#ifndef VX_INT_TO_F32_H
#define VX_INT_TO_F32_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VX_INT_TO_F32_DECLARE(family, in_type)                                          \
    typedef struct family family;                                                       \
    VX_API family *family##_create(float scale);                                        \
    VX_API void family##_destroy(family *q);                                            \
    VX_API void family##_steps(family *q, const in_type *x, float *y, uint64_t n);      \
    VX_API void family##_reset(family *q);                                              \
    VX_API float family##_get_scale(const family *q);

VX_INT_TO_F32_DECLARE(i8_to_f32, int8_t)
VX_INT_TO_F32_DECLARE(i16_to_f32, int16_t)
VX_INT_TO_F32_DECLARE(i32_to_f32, int32_t)
VX_INT_TO_F32_DECLARE(i16u32_to_f32, uint32_t)
VX_INT_TO_F32_DECLARE(i16u64_to_f32, uint64_t)
VX_INT_TO_F32_DECLARE(uq15_to_f32, uint16_t)

#ifdef __cplusplus
}
#endif

#endif
