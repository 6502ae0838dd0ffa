// Float-to-integer converters: one kernel template, six output formats. The kernel is a
// plain element-wise loop the compiler vectorises in every per-ISA clone; each element
// goes through the same IEEE operations whatever the lane, so clones agree bit for bit.
#include "f32_to_int.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vx_blob.hpp"
#include "vx_kernel.hpp"

namespace {

// Rounding half away from zero by adding just under one half with the sign of v and
// truncating: the sum rounds up to the next integer exactly when v's fraction is >= 0.5.
constexpr float HALF_F = 0.49999997f;
constexpr double HALF_D = 0.49999999999999994;

// An output format: the element stored, the precision v is computed in, the code range,
// and how codes in that range are packed (one code, or a vector of them).
template <class Out, class Work, int32_t Lo, int32_t Hi, class Pack> struct Format {
    using out = Out;
    using work = Work;
    static constexpr Work lo = Lo, hi = Hi;
    static constexpr Work half = sizeof(Work) == 4 ? Work(HALF_F) : Work(HALF_D);
    template <class C> static auto pack(C code) { return Pack::template apply<Out>(code); }
};

template <class T, int L> struct Vec {
    typedef T type __attribute__((vector_size(L * sizeof(T))));
};
template <class T, int L> using vec = typename Vec<T, L>::type;

// Element conversion of a scalar or a lane vector to element type T.
template <class T, class C> auto to(C c)
{
    if constexpr (std::is_scalar_v<C>)
        return static_cast<T>(c);
    else
        return __builtin_convertvector(c, vec<T, sizeof(C) / sizeof(c[0])>);
}

struct AsIs {
    template <class Out, class C> static auto apply(C c) { return to<Out>(c); }
};
struct ZeroExtend16 {  // the int16 code in the low 16 bits of a wider word
    template <class Out, class C> static auto apply(C c) { return to<Out>(to<uint16_t>(to<int16_t>(c))); }
};
struct Offset16 {  // offset binary: code + 32768 modulo 2^16
    template <class Out, class C> static auto apply(C c) { return to<uint16_t>(to<int16_t>(c)) ^ 0x8000; }
};

using I8 = Format<int8_t, float, -128, 127, AsIs>;
using I16 = Format<int16_t, float, -32768, 32767, AsIs>;
using I32 = Format<int32_t, double, INT32_MIN, INT32_MAX, AsIs>;
using I16U32 = Format<uint32_t, float, -32768, 32767, ZeroExtend16>;
using I16U64 = Format<uint64_t, float, -32768, 32767, ZeroExtend16>;
using UQ15 = Format<uint16_t, float, -32768, 32767, Offset16>;

// One element: v = x·scale; NaN -> 0; clamp; round half away from zero; pack. `clip` gets
// 1 when the clamped value differs from v (out of range, or NaN).
template <class F> inline typename F::out element(float x, typename F::work scale, uint32_t &clip)
{
    using W = typename F::work;
    const W v = static_cast<W>(x) * scale;
    W w = v == v ? v : W(0);
    w = w > F::lo ? w : F::lo;
    w = w < F::hi ? w : F::hi;
    clip |= w != v;
    const W r = w + (std::signbit(w) ? -F::half : F::half);
    return static_cast<typename F::out>(F::pack(static_cast<int32_t>(r)));
}

// The same operations on L lanes at once (GCC vector extensions; a clone without wide
// registers splits them). Lane compares give 0 / -1 masks.
constexpr int LANES = 16;
using mask_vec = vec<int32_t, LANES>;

template <class F>
[[gnu::always_inline]] inline void lanes(const float *x, typename F::out *y, typename F::work scale,
                                         mask_vec &clip)
{
    using W = typename F::work;
    using IW = std::conditional_t<sizeof(W) == 4, int32_t, int64_t>;
    using wv = vec<W, LANES>;
    using iv = vec<IW, LANES>;
    vec<float, LANES> xf;
    std::memcpy(&xf, x, sizeof xf);
    const wv v = __builtin_convertvector(xf, wv) * scale;
    wv w = v == v ? v : wv{};
    w = w > F::lo ? w : F::lo;
    w = w < F::hi ? w : F::hi;
    clip |= __builtin_convertvector(w != v, mask_vec);
    // w + copysign(half, w), bit for bit as std::signbit picks the sign in `element`.
    const iv sign = reinterpret_cast<iv>(w) & std::numeric_limits<IW>::min();
    const wv half = reinterpret_cast<wv>(sign | reinterpret_cast<iv>(wv{} + F::half));
    const mask_vec code = __builtin_convertvector(w + half, mask_vec);
    const auto out = F::pack(code);
    std::memcpy(y, &out, sizeof out);
}

// Converts n elements; returns 1 when any was out of range or NaN. No restrict: y may be
// x when the element sizes match (each block is read before its slots are written).
template <class F>
VX_KERNEL uint32_t convert(const float *x, typename F::out *y, uint64_t n, typename F::work scale)
{
    mask_vec clipv{};
    uint64_t i = 0;
    for (; i + LANES <= n; i += LANES)
        lanes<F>(x + i, y + i, scale, clipv);
    uint32_t clip = 0;
    for (int k = 0; k < LANES; ++k)
        clip |= clipv[k] != 0;
    for (; i < n; ++i)
        y[i] = element<F>(x[i], scale, clip);
    return clip;
}

}  // namespace

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
    VX_API void family##_steps(family *q, const float *x, F::out *y, uint64_t n)             \
    {                                                                                        \
        if (q && x && y && n)                                                                \
            q->clipped |= convert<F>(x, y, n, static_cast<F::work>(q->scale));               \
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

VX_F32_TO_INT_DEFINE(f32_to_i8, I8, F32_TO_I8)
VX_F32_TO_INT_DEFINE(f32_to_i16, I16, F32_TO_I16)
VX_F32_TO_INT_DEFINE(f32_to_i32, I32, F32_TO_I32)
VX_F32_TO_INT_DEFINE(f32_to_i16u32, I16U32, F32_TO_I16U32)
VX_F32_TO_INT_DEFINE(f32_to_i16u64, I16U64, F32_TO_I16U64)
VX_F32_TO_INT_DEFINE(f32_to_uq15, UQ15, F32_TO_UQ15)
