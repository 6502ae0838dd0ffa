// ADC model. Every sample is clamped in double before it is converted to an integer, so a
// huge input, or a 64-bit converter at full scale, saturates instead of wrapping.
#include "adc.h"

#include <cmath>
#include <cstring>

#include "vx_blob.hpp"
#include "vx_kernel.hpp"

namespace {

constexpr uint32_t PRNG_SEED = 0x12345678u;
constexpr double HALF = 0.49999999999999994;  // rounds half away from zero, then truncate

// The doubles that bound [min_code, max_code]: v > hi exactly when v > max_code (the
// largest double not above max_code), v < lo exactly when v < min_code.
struct Limits {
    double lo, hi;
};
Limits limits(int64_t min_code, int64_t max_code)
{
    constexpr double TWO63 = 9223372036854775808.0;
    double hi = static_cast<double>(max_code);  // rounded to nearest
    if (hi >= TWO63 || static_cast<int64_t>(hi) > max_code)
        hi = std::nextafter(hi, -INFINITY);
    double lo = static_cast<double>(min_code);  // -2^63 and below never round past it
    if (lo > -TWO63 && static_cast<int64_t>(lo) < min_code)
        lo = std::nextafter(lo, INFINITY);
    return {lo, hi};
}

// One sample: saturate, or round half away from zero inside the range. `clip` gets 1
// when v was out of range or NaN.
inline int64_t quantise(double v, const adc *a, Limits l, uint32_t &clip)
{
    const bool nan = v != v, high = v > l.hi, low = v < l.lo;
    clip |= nan | high | low;
    if (nan)
        return 0;
    if (high)
        return a->max_code;
    if (low)
        return a->min_code;
    return static_cast<int64_t>(v + std::copysign(HALF, v));
}

template <class T, int L> struct Vec {
    typedef T type __attribute__((vector_size(L * sizeof(T))));
};
template <class T, int L> using vec = typename Vec<T, L>::type;

// Codes within int32 (bits <= 32, the usual case): `quantise` on L lanes at once, through
// the double-to-int32 conversion every x86-64 level vectorises. Same operations per
// element, so the results equal the scalar path's.
constexpr int LANES = 8;
using mask_vec = vec<int64_t, LANES>;

[[gnu::always_inline]] inline void lanes(const float *x, int64_t *y, double scale, Limits l,
                                         mask_vec &clip)
{
    using dv = vec<double, LANES>;
    vec<float, LANES> xf;
    std::memcpy(&xf, x, sizeof xf);
    const dv v = __builtin_convertvector(xf, dv) * scale;
    dv w = v == v ? v : dv{};
    w = v > l.hi ? l.hi : w;
    w = v < l.lo ? l.lo : w;
    clip |= w != v;  // out of range, or NaN
    const mask_vec sign = reinterpret_cast<mask_vec>(w) & INT64_MIN;
    const dv half = reinterpret_cast<dv>(sign | reinterpret_cast<mask_vec>(dv{} + HALF));
    const mask_vec code = __builtin_convertvector(__builtin_convertvector(w + half, vec<int32_t, LANES>), mask_vec);
    std::memcpy(y, &code, sizeof code);
}

VX_KERNEL uint32_t run_plain(const adc *a, Limits l, const float *x, int64_t *y, uint64_t n)
{
    uint64_t i = 0;
    uint32_t clip = 0;
    if (a->min_code >= INT32_MIN && a->max_code <= INT32_MAX) {
        mask_vec clipv{};
        for (; i + LANES <= n; i += LANES)
            lanes(x + i, y + i, a->scale, l, clipv);
        for (int k = 0; k < LANES; ++k)
            clip |= clipv[k] != 0;
    }
    for (; i < n; ++i)
        y[i] = quantise(static_cast<double>(x[i]) * a->scale, a, l, clip);
    return clip;
}

// Triangular dither of ±1 code from two draws of one xorshift32 step, in stream order.
uint32_t run_dithered(adc *a, Limits l, const float *x, int64_t *y, uint64_t n)
{
    uint32_t clip = 0, s = a->prng;
    for (uint64_t i = 0; i < n; ++i) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        const double u1 = static_cast<int32_t>(s);
        const double u2 = static_cast<int32_t>(s * 0x9E3779B1u);
        const double v = static_cast<double>(x[i]) * a->scale + (u1 + u2) * 0x1p-32;
        y[i] = quantise(v, a, l, clip);
    }
    a->prng = s;
    return clip;
}

double scale_for(uint32_t bits, float dbfs)
{
    return std::ldexp(1.0, static_cast<int>(bits) - 1) * std::pow(10.0, -static_cast<double>(dbfs) / 20.0);
}

bool valid_scale(double s) { return vx_finite(s) && s > 0.0; }

constexpr uint64_t BLOB_BYTES = VX_STATE_HEADER_BYTES + 48;

}  // namespace

extern "C" {

VX_API adc *adc_create(uint32_t bits, int32_t dithering, float dbfs)
{
    if (bits < 1 || bits > 64 || dithering < 0 || !vx_finite(dbfs))
        return nullptr;
    const double scale = scale_for(bits, dbfs);
    if (!valid_scale(scale))
        return nullptr;
    adc *a = vx::alloc_object<adc>();
    if (!a)
        return nullptr;
    a->scale = scale;
    a->max_code = bits == 64 ? INT64_MAX : (int64_t{1} << (bits - 1)) - 1;
    a->min_code = bits == 64 ? INT64_MIN : -(int64_t{1} << (bits - 1));
    a->bits = bits;
    a->dbfs = dbfs;
    a->dithering = dithering;
    a->prng = PRNG_SEED;
    return a;
}

VX_API void adc_destroy(adc *a) { vx_free(a); }

VX_API void adc_steps(adc *a, const float *x, int64_t *y, uint64_t n)
{
    if (!a || !x || !y || n == 0)
        return;
    const Limits l = limits(a->min_code, a->max_code);
    a->clipped |= a->dithering ? run_dithered(a, l, x, y, n) : run_plain(a, l, x, y, n);
}

VX_API void adc_reset(adc *a)
{
    a->clipped = 0;
    a->prng = PRNG_SEED;
}

VX_API uint64_t adc_state_bytes(const adc *) { return BLOB_BYTES; }

VX_API void adc_get_state(const adc *a, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_ADC, VX_VERSION_ADC, BLOB_BYTES)
        .put(a->scale).put(a->max_code).put(a->min_code).put(a->bits).put(a->dbfs)
        .put(a->dithering).put(a->clipped).zeros(3).put(a->prng).zeros(4);
}

VX_API int adc_set_state(adc *a, const void *blob)
{
    if (!a || vx_state_check_header(blob, VX_MAGIC_ADC, VX_VERSION_ADC, BLOB_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    adc t{};
    vx::BlobReader(blob).get(t.scale).get(t.max_code).get(t.min_code).get(t.bits).get(t.dbfs)
        .get(t.dithering).get(t.clipped).skip(3).get(t.prng);
    if (!valid_scale(t.scale) || t.bits < 1 || t.bits > 64 || t.min_code > t.max_code ||
        t.dithering < 0 || !vx::is_flag(t.clipped))
        return VX_ERR_INVALID;
    *a = t;
    return VX_OK;
}

}  // extern "C"
