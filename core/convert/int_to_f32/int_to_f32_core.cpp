// Integer-to-float converters: one loop template over the six input formats. Each element
// is an exact integer-to-float conversion and one multiply, so the vectorised clones and
// the scalar path agree bit for bit.
#include "int_to_f32.h"

#include "vx_blob.hpp"
#include "vx_kernel.hpp"

namespace {

// The signed code of one input element.
struct AsIs {
    template <class In> static int32_t code(In v) { return v; }
};
struct Low16 {  // the low 16 bits of the word, as int16
    template <class In> static int32_t code(In v) { return static_cast<int16_t>(v); }
};
struct Offset16 {  // offset binary
    static int32_t code(uint16_t v) { return static_cast<int16_t>(v ^ 0x8000); }
};

// No restrict: y may be x when the element sizes match.
template <class Code, class In>
VX_KERNEL void convert(const In *x, float *y, uint64_t n, float inv_scale)
{
    for (uint64_t i = 0; i < n; ++i)
        y[i] = static_cast<float>(Code::code(x[i])) * inv_scale;
}

}  // namespace

struct vx_int_to_f32 {
    float scale;
    float inv_scale;
};

namespace {

vx_int_to_f32 *create(float scale)
{
    const float inv = 1.0f / scale;
    if (!(vx_finite(scale) && scale > 0.0f && vx_finite(inv)))
        return nullptr;
    vx_int_to_f32 *q = vx::alloc_object<vx_int_to_f32>();
    if (q) {
        q->scale = scale;
        q->inv_scale = inv;
    }
    return q;
}

}  // namespace

#define VX_INT_TO_F32_DEFINE(family, In, Code)                                               \
    struct family : vx_int_to_f32 {};                                                        \
    extern "C" {                                                                             \
    VX_API family *family##_create(float scale) { return static_cast<family *>(create(scale)); } \
    VX_API void family##_destroy(family *q) { vx_free(q); }                                  \
    VX_API void family##_steps(family *q, const In *x, float *y, uint64_t n)                 \
    {                                                                                        \
        if (q && x && y && n)                                                                \
            convert<Code>(x, y, n, q->inv_scale);                                            \
    }                                                                                        \
    VX_API void family##_reset(family *) {}                                                  \
    VX_API float family##_get_scale(const family *q) { return q->scale; }                    \
    }

VX_INT_TO_F32_DEFINE(i8_to_f32, int8_t, AsIs)
VX_INT_TO_F32_DEFINE(i16_to_f32, int16_t, AsIs)
VX_INT_TO_F32_DEFINE(i32_to_f32, int32_t, AsIs)
VX_INT_TO_F32_DEFINE(i16u32_to_f32, uint32_t, Low16)
VX_INT_TO_F32_DEFINE(i16u64_to_f32, uint64_t, Low16)
VX_INT_TO_F32_DEFINE(uq15_to_f32, uint16_t, Offset16)
