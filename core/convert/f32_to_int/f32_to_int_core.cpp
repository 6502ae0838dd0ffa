// Float-to-integer converters: six output formats over the kernels of
// f32_to_int_kernel.hpp. The object is exactly its blob's payload.
#include "f32_to_int.h"

#include "f32_to_int_kernel.hpp"
#include "vx_blob.hpp"

namespace fk = vx::f32_to_int_kernel;


// The object of every family: scale and the sticky flag, exactly the blob's payload.
struct vx_f32_to_int {
    float scale;
    uint8_t clipped;
    uint8_t pad[3];
};

namespace {

bool valid_scale(float s) { return vx_finite(s) && s > 0.0f; }

vx_f32_to_int *create(float scale)
{
    if (!valid_scale(scale))
        return nullptr;
    vx_f32_to_int *q = vx::alloc_object<vx_f32_to_int>();
    if (q)
        q->scale = scale;
    return q;
}

constexpr uint64_t BLOB_BYTES = VX_STATE_HEADER_BYTES + 8;

void get_state(const vx_f32_to_int *q, void *out, uint32_t magic, uint16_t version)
{
    vx::BlobWriter(out, magic, version, BLOB_BYTES).put(q->scale).put(q->clipped).zeros(3);
}

int set_state(vx_f32_to_int *q, const void *blob, uint32_t magic, uint16_t version)
{
    if (!q || vx_state_check_header(blob, magic, version, BLOB_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    const float scale = r.get<float>();
    const uint8_t clipped = r.get<uint8_t>();
    if (!valid_scale(scale) || !vx::is_flag(clipped))
        return VX_ERR_INVALID;
    q->scale = scale;
    q->clipped = clipped;
    return VX_OK;
}

}  // namespace

// Each family's ABI is a thin cast over the shared object.
#define VX_F32_TO_INT_DEFINE(family, F, NAME)                                                \
    struct family : vx_f32_to_int {};                                                        \
    extern "C" {                                                                             \
    VX_API family *family##_create(float scale) { return static_cast<family *>(create(scale)); } \
    VX_API void family##_destroy(family *q) { vx_free(q); }                                  \
    VX_API void family##_steps(family *q, const float *x, F::out *y, uint64_t n)                 \
    {                                                                                        \
        if (q && x && y && n)                                                                \
            q->clipped |= fk::run<F>(x, y, n, static_cast<F::work>(q->scale));                   \
    }                                                                                        \
    VX_API void family##_reset(family *q) { q->clipped = 0; }                                \
    VX_API int family##_get_clipped(const family *q) { return q->clipped; }                  \
    VX_API float family##_get_scale(const family *q) { return q->scale; }                    \
    VX_API uint64_t family##_state_bytes(const family *) { return BLOB_BYTES; }              \
    VX_API void family##_get_state(const family *q, void *out)                               \
    {                                                                                        \
        get_state(q, out, VX_MAGIC_##NAME, VX_VERSION_##NAME);                               \
    }                                                                                        \
    VX_API int family##_set_state(family *q, const void *blob)                               \
    {                                                                                        \
        return set_state(q, blob, VX_MAGIC_##NAME, VX_VERSION_##NAME);                       \
    }                                                                                        \
    }

VX_F32_TO_INT_DEFINE(f32_to_i8, fk::I8, F32_TO_I8)
VX_F32_TO_INT_DEFINE(f32_to_i16, fk::I16, F32_TO_I16)
VX_F32_TO_INT_DEFINE(f32_to_i32, fk::I32, F32_TO_I32)
VX_F32_TO_INT_DEFINE(f32_to_i16u32, fk::I16U32, F32_TO_I16U32)
VX_F32_TO_INT_DEFINE(f32_to_i16u64, fk::I16U64, F32_TO_I16U64)
VX_F32_TO_INT_DEFINE(f32_to_uq15, fk::UQ15, F32_TO_UQ15)
