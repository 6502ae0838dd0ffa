#include "acc.h"

#include "vx_blob.hpp"

struct acc_f32 {
    float acc;
};

struct acc_cf64 {
    vx_cf64 acc;
};

namespace {

// The arithmetic of each family: sample type, how a sample and a weighted sample add in.
struct F32 {
    using obj = acc_f32;
    using sample = float;
    static constexpr uint32_t magic = VX_MAGIC_ACC_F32;
    static constexpr uint16_t version = VX_VERSION_ACC_F32;
    static void add(float &a, float x) { a += x; }
    static void madd(float &a, float x, float h) { a += x * h; }
};

struct CF64 {
    using obj = acc_cf64;
    using sample = vx_cf64;
    static constexpr uint32_t magic = VX_MAGIC_ACC_CF64;
    static constexpr uint16_t version = VX_VERSION_ACC_CF64;
    static void add(vx_cf64 &a, vx_cf64 x)
    {
        a.re += x.re;
        a.im += x.im;
    }
    static void madd(vx_cf64 &a, vx_cf64 x, float h)
    {
        a.re += static_cast<double>(h) * x.re;
        a.im += static_cast<double>(h) * x.im;
    }
};

template <class F> typename F::obj *create(typename F::sample v)
{
    auto *a = vx::alloc_object<typename F::obj>();
    if (a)
        a->acc = v;
    return a;
}

template <class F> void steps(typename F::obj *a, const typename F::sample *x, uint64_t n)
{
    if (!a || !x)
        return;
    for (uint64_t i = 0; i < n; ++i)
        F::add(a->acc, x[i]);
}

template <class F>
void madd(typename F::obj *a, const typename F::sample *x, uint64_t nx, const float *h, uint64_t nh)
{
    if (!a || !x || !h)
        return;
    const uint64_t n = nx < nh ? nx : nh;
    for (uint64_t i = 0; i < n; ++i)
        F::madd(a->acc, x[i], h[i]);
}

template <class F> typename F::sample dump(typename F::obj *a)
{
    const typename F::sample v = a->acc;
    a->acc = {};
    return v;
}

template <class F> uint64_t state_bytes() { return VX_STATE_HEADER_BYTES + sizeof(typename F::sample); }

template <class F> void get_state(const typename F::obj *a, void *out)
{
    vx::BlobWriter(out, F::magic, F::version, state_bytes<F>()).put(a->acc);
}

template <class F> int set_state(typename F::obj *a, const void *blob)
{
    if (!a || vx_state_check_header(blob, F::magic, F::version, state_bytes<F>()) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader(blob).get(a->acc);  // a value only: nothing indexes or counts
    return VX_OK;
}

}  // namespace

extern "C" {

VX_API acc_f32 *acc_f32_create(float acc) { return create<F32>(acc); }
VX_API void acc_f32_destroy(acc_f32 *a) { vx_free(a); }
VX_API void acc_f32_reset(acc_f32 *a) { a->acc = 0.0f; }
VX_API void acc_f32_steps(acc_f32 *a, const float *x, uint64_t n) { steps<F32>(a, x, n); }
VX_API float acc_f32_get_acc(const acc_f32 *a) { return a->acc; }
VX_API float acc_f32_get(const acc_f32 *a) { return a->acc; }
VX_API void acc_f32_set_acc(acc_f32 *a, float v) { a->acc = v; }
VX_API float acc_f32_dump(acc_f32 *a) { return dump<F32>(a); }
VX_API void acc_f32_madd(acc_f32 *a, const float *x, uint64_t nx, const float *h, uint64_t nh)
{
    madd<F32>(a, x, nx, h, nh);
}
VX_API void acc_f32_add2d(acc_f32 *a, const float *x, uint64_t n) { steps<F32>(a, x, n); }
VX_API void acc_f32_madd2d(acc_f32 *a, const float *x, uint64_t nx, const float *h, uint64_t nh)
{
    madd<F32>(a, x, nx, h, nh);
}
VX_API uint64_t acc_f32_state_bytes(const acc_f32 *) { return state_bytes<F32>(); }
VX_API void acc_f32_get_state(const acc_f32 *a, void *out) { get_state<F32>(a, out); }
VX_API int acc_f32_set_state(acc_f32 *a, const void *blob) { return set_state<F32>(a, blob); }

VX_API acc_cf64 *acc_cf64_create(double re, double im) { return create<CF64>({re, im}); }
VX_API void acc_cf64_destroy(acc_cf64 *a) { vx_free(a); }
VX_API void acc_cf64_reset(acc_cf64 *a) { a->acc = {0.0, 0.0}; }
VX_API void acc_cf64_steps(acc_cf64 *a, const vx_cf64 *x, uint64_t n) { steps<CF64>(a, x, n); }
VX_API vx_cf64 acc_cf64_get_acc(const acc_cf64 *a) { return a->acc; }
VX_API vx_cf64 acc_cf64_get(const acc_cf64 *a) { return a->acc; }
VX_API void acc_cf64_set_acc(acc_cf64 *a, double re, double im) { a->acc = {re, im}; }
VX_API vx_cf64 acc_cf64_dump(acc_cf64 *a) { return dump<CF64>(a); }
VX_API void acc_cf64_madd(acc_cf64 *a, const vx_cf64 *x, uint64_t nx, const float *h, uint64_t nh)
{
    madd<CF64>(a, x, nx, h, nh);
}
VX_API void acc_cf64_add2d(acc_cf64 *a, const vx_cf64 *x, uint64_t n) { steps<CF64>(a, x, n); }
VX_API void acc_cf64_madd2d(acc_cf64 *a, const vx_cf64 *x, uint64_t nx, const float *h, uint64_t nh)
{
    madd<CF64>(a, x, nx, h, nh);
}
VX_API uint64_t acc_cf64_state_bytes(const acc_cf64 *) { return state_bytes<CF64>(); }
VX_API void acc_cf64_get_state(const acc_cf64 *a, void *out) { get_state<CF64>(a, out); }
VX_API int acc_cf64_set_state(acc_cf64 *a, const void *blob) { return set_state<CF64>(a, blob); }

}  // extern "C"
