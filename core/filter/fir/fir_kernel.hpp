// FIR inner kernels: a scalar reference and one vector variant per ISA, all with the same
// arithmetic. They read the scratch s = [delay line (T - 1 samples) | n inputs] and write
// y[i] = Σ_{k=0}^{T-1} h[k]·s[i + T - 1 - k], each sum starting from +0 and running k = 0
// upward in single precision. The vector variants work across outputs (a block of
// interleaved re/im floats per accumulator), never across k, so every output sees exactly
// the scalar sequence of roundings: results do not depend on the ISA or block size.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "vx_base.h"

// Vector values never cross a non-inlined call, so the ABI note about passing them does
// not apply (GCC emits it at the end of the including unit, hence no push/pop).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx::fir_kernel {

// ---- scalar reference: outputs [i0, i1) -------------------------------------------------

inline void real_ref(const vx_cf32 *s, const float *h, uint64_t taps, vx_cf32 *y, uint64_t i0,
                     uint64_t i1)
{
    const uint64_t m = taps - 1;
    for (uint64_t i = i0; i < i1; ++i) {
        float re = 0.0f, im = 0.0f;
        for (uint64_t k = 0; k < taps; ++k) {
            const vx_cf32 x = s[i + m - k];
            re = re + h[k] * x.re;
            im = im + h[k] * x.im;
        }
        y[i] = {re, im};
    }
}

// The imaginary part adds x.im·h.re first: the order the vector variant's lanes use.
inline void complex_ref(const vx_cf32 *s, const vx_cf32 *h, uint64_t taps, vx_cf32 *y,
                        uint64_t i0, uint64_t i1)
{
    const uint64_t m = taps - 1;
    for (uint64_t i = i0; i < i1; ++i) {
        float re = 0.0f, im = 0.0f;
        for (uint64_t k = 0; k < taps; ++k) {
            const vx_cf32 x = s[i + m - k];
            re = re + (x.re * h[k].re - x.im * h[k].im);
            im = im + (x.im * h[k].re + x.re * h[k].im);
        }
        y[i] = {re, im};
    }
}

// ---- vector variants ---------------------------------------------------------------------

template <int W> struct Vec {
    typedef float type __attribute__((vector_size(W * sizeof(float))));
};
template <int W> using vec = typename Vec<W>::type;

template <int W> [[gnu::always_inline]] inline vec<W> load(const float *p)
{
    vec<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W> [[gnu::always_inline]] inline void store(float *p, vec<W> v)
{
    std::memcpy(p, &v, sizeof v);
}
// (even, odd) repeated across the lanes: one 64-bit broadcast, bit-exact (-0 stays -0).
template <int W> [[gnu::always_inline]] inline vec<W> pairs(float even, float odd)
{
    typedef uint64_t u64v __attribute__((vector_size(W * sizeof(float))));
    const vx_cf32 pair = {even, odd};
    uint64_t bits;
    std::memcpy(&bits, &pair, sizeof bits);
    return reinterpret_cast<vec<W>>(bits - u64v{});
}
template <int W, size_t... I>
[[gnu::always_inline]] inline vec<W> swap_pairs(vec<W> v, std::index_sequence<I...>)
{
    return __builtin_shufflevector(v, v, static_cast<int>(I ^ 1u)...);
}

// Interleaved floats [j, nf) in blocks of W·NV; returns where the blocks ended.
// Real taps: float j of the output is Σ_k h[k]·sf[j + 2(T-1-k)].
template <int W, int NV>
[[gnu::always_inline]] inline uint64_t real_blocks(uint64_t j, const float *sf, const float *h,
                                                   uint64_t taps, float *yf, uint64_t nf)
{
    constexpr uint64_t B = static_cast<uint64_t>(W) * NV;
    for (; j + B <= nf; j += B) {
        vec<W> acc[NV];
        for (int a = 0; a < NV; ++a)
            acc[a] = vec<W>{};
        const float *base = sf + j + 2 * (taps - 1);
        for (uint64_t k = 0; k < taps; ++k) {
            const vec<W> hk = pairs<W>(h[k], h[k]);
            const float *p = base - 2 * k;
            for (int a = 0; a < NV; ++a)
                acc[a] = acc[a] + hk * load<W>(p + a * W);
        }
        for (int a = 0; a < NV; ++a)
            store<W>(yf + j + a * W, acc[a]);
    }
    return j;
}

// Complex taps: per lane pair, x·h.re plus swapped(x)·(-h.im, +h.im), i.e.
// re: x.re·h.re + (-(x.im·h.im)) = x.re·h.re - x.im·h.im, im: x.im·h.re + x.re·h.im.
template <int W, int NV>
[[gnu::always_inline]] inline uint64_t complex_blocks(uint64_t j, const float *sf, const vx_cf32 *h,
                                                      uint64_t taps, float *yf, uint64_t nf)
{
    constexpr uint64_t B = static_cast<uint64_t>(W) * NV;
    constexpr auto lanes = std::make_index_sequence<W>{};
    for (; j + B <= nf; j += B) {
        vec<W> acc[NV];
        for (int a = 0; a < NV; ++a)
            acc[a] = vec<W>{};
        const float *base = sf + j + 2 * (taps - 1);
        for (uint64_t k = 0; k < taps; ++k) {
            const vec<W> hr = pairs<W>(h[k].re, h[k].re);
            const vec<W> hi = pairs<W>(-h[k].im, h[k].im);
            const float *p = base - 2 * k;
            for (int a = 0; a < NV; ++a) {
                const vec<W> x = load<W>(p + a * W);
                acc[a] = acc[a] + (x * hr + swap_pairs<W>(x, lanes) * hi);
            }
        }
        for (int a = 0; a < NV; ++a)
            store<W>(yf + j + a * W, acc[a]);
    }
    return j;
}

// Whole block: wide vector blocks, single vectors, then the scalar reference for the
// remaining outputs.
template <int W, int NV>
[[gnu::always_inline]] inline void real_run(const vx_cf32 *s, const void *h, uint64_t taps,
                                            vx_cf32 *y, uint64_t n)
{
    const float *hf = static_cast<const float *>(h);
    uint64_t done = real_blocks<W, NV>(0, &s[0].re, hf, taps, &y[0].re, 2 * n);
    done = real_blocks<W, 1>(done, &s[0].re, hf, taps, &y[0].re, 2 * n);
    real_ref(s, hf, taps, y, done / 2, n);
}
template <int W, int NV>
[[gnu::always_inline]] inline void complex_run(const vx_cf32 *s, const void *h, uint64_t taps,
                                               vx_cf32 *y, uint64_t n)
{
    const vx_cf32 *hc = static_cast<const vx_cf32 *>(h);
    uint64_t done = complex_blocks<W, NV>(0, &s[0].re, hc, taps, &y[0].re, 2 * n);
    done = complex_blocks<W, 1>(done, &s[0].re, hc, taps, &y[0].re, 2 * n);
    complex_ref(s, hc, taps, y, done / 2, n);
}

// ---- per-ISA entry points ------------------------------------------------------------------

using kernel_fn = void (*)(const vx_cf32 *s, const void *h, uint64_t taps, vx_cf32 *y, uint64_t n);

[[gnu::target("avx512f")]] inline void real_avx512(const vx_cf32 *s, const void *h, uint64_t t, vx_cf32 *y, uint64_t n) { real_run<16, 8>(s, h, t, y, n); }
[[gnu::target("avx512f")]] inline void complex_avx512(const vx_cf32 *s, const void *h, uint64_t t, vx_cf32 *y, uint64_t n) { complex_run<16, 8>(s, h, t, y, n); }
[[gnu::target("avx2")]] inline void real_avx2(const vx_cf32 *s, const void *h, uint64_t t, vx_cf32 *y, uint64_t n) { real_run<8, 8>(s, h, t, y, n); }
[[gnu::target("avx2")]] inline void complex_avx2(const vx_cf32 *s, const void *h, uint64_t t, vx_cf32 *y, uint64_t n) { complex_run<8, 8>(s, h, t, y, n); }
inline void real_sse2(const vx_cf32 *s, const void *h, uint64_t t, vx_cf32 *y, uint64_t n) { real_run<4, 8>(s, h, t, y, n); }
inline void complex_sse2(const vx_cf32 *s, const void *h, uint64_t t, vx_cf32 *y, uint64_t n) { complex_run<4, 8>(s, h, t, y, n); }

// Kernels per SIMD level, best first; `level` names what vx_simd_level() reports.
struct Variant {
    const char *level;
    kernel_fn real;
    kernel_fn complex;
};
inline constexpr Variant VARIANTS[] = {
    {"avx512f", real_avx512, complex_avx512},
    {"avx2", real_avx2, complex_avx2},
    {"sse2", real_sse2, complex_sse2},
};

// The variant for the SIMD level this machine runs at.
inline const Variant &best()
{
    const char *level = vx_simd_level();
    for (const Variant &v : VARIANTS)
        if (std::strcmp(v.level, level) == 0)
            return v;
    return VARIANTS[2];
}

}  // namespace vx::fir_kernel
