// Capture quantiser kernels: a scalar reference that saturates and rounds one component at
// a time, and per ISA a vector form of the same steps, lane by lane, that also keeps the
// peak and the clip count in the same pass over the input. Every step is exact or
// correctly rounded and the peak is a maximum (exact in any order), so each variant writes
// the same bytes and statistics as the reference.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vx_base.h"
#include "vx_kernel.hpp"

// Vector values never cross a non-inlined call (see cic_kernel.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx::scriba_kernel {

// Saturate and round halves away from zero; out-of-range and NaN values count as clipped
// (NaN becomes 0). The saturated value is within the integer range, so its truncation is
// exact, and so is q - trunc(q).
template <class T, class F> T quantise(F q, uint32_t &clips)
{
    using W = std::conditional_t<sizeof(T) == 4, int64_t, int32_t>;
    constexpr F lo = static_cast<F>(INT64_C(-1) << (8 * sizeof(T) - 1));
    constexpr F hi = -lo - 1;
    clips += static_cast<uint32_t>(!(q >= lo) | !(q <= hi));
    F s = q > hi ? hi : q;
    s = s < lo ? lo : s;
    s = q == q ? s : F{0};
    W t = static_cast<W>(s);
    const F frac = s - static_cast<F>(t);
    t += static_cast<W>(frac >= F{0.5}) - static_cast<W>(frac <= F{-0.5});
    return static_cast<T>(t);
}

// Full scale of a narrow integer wire type: the gained component times this is quantised.
template <class T> constexpr float kScale = static_cast<float>(1 << (8 * sizeof(T) - 1));

// ---- scalar reference ----------------------------------------------------------------------

// m components (int16 or int8) into out; raises *peak to the largest |component * gain|
// (NaN never becomes the peak) and returns the clipped components.
template <class T> uint64_t reference(const float *in, uint64_t m, float gain, T *out, float *peak)
{
    uint32_t clips = 0;
    float p = *peak;
    for (uint64_t i = 0; i < m; ++i) {
        const float a = in[i] * gain;
        const float mag = a < 0 ? -a : a;
        p = mag > p ? mag : p;
        out[i] = quantise<T, float>(a * kScale<T>, clips);
    }
    *peak = p;
    return clips;
}

// ---- vector form ---------------------------------------------------------------------------

// W floats per vector: one shape per ISA (16 for AVX-512, 8 for AVX2, 4 for SSE2).
template <int W, class E> struct Vec {
    typedef E type __attribute__((vector_size(W * sizeof(E))));
};

// Components [0, m) in vectors of W, U vectors per step, then the reference for the rest.
// Per lane the steps of quantise(), with the comparisons GCC keeps in vectors on every
// level (it lowers >= and <= lane by lane for AVX-512): a component is in range exactly when
// saturation left it unchanged, and the fraction of a finite value is never NaN. The clip count runs as per-lane counts of components in
// range (a chunk is far below 2^31 components per lane), the peak as per-lane maxima.
template <class T, int W, int U>
[[gnu::always_inline]] inline uint64_t run(const float *in, uint64_t m, float gain, T *out, float *peak)
{
    using vf = typename Vec<W, float>::type;
    using vi = typename Vec<W, int32_t>::type;
    using vt = typename Vec<W, T>::type;
    const vf zero = {}, g = zero + gain, scale = zero + kScale<T>, lo = zero - kScale<T>, hi = scale - 1.0f;
    const vf half = zero + 0.5f, mhalf = zero - 0.5f;
    vf pk[U];  // one chain per vector of a step, so no step waits on the last
    vi inside[U];
    for (int u = 0; u < U; ++u) {
        pk[u] = zero + *peak;
        inside[u] = vi{};
    }
    uint64_t i = 0;
    for (; i + W * U <= m; i += W * U) {
        for (int u = 0; u < U; ++u) {
            vf a;
            std::memcpy(&a, in + i + u * W, sizeof a);
            a = a * g;
            const vf mag = (vf)((vi)a & 0x7fffffff);  // |a|; NaN stays NaN and loses every comparison
            pk[u] = mag > pk[u] ? mag : pk[u];
            const vf q = a * scale;
            vf s = q < hi ? q : hi;  // the clamp of quantise(); NaN gives hi here, 0 below
            s = s > lo ? s : lo;
            s = q == q ? s : zero;
            inside[u] -= s == q;  // -1 where true: q in range (not NaN, not saturated)
            vi t = __builtin_convertvector(s, vi);
            const vf frac = s - __builtin_convertvector(t, vf);
            t = t - ~(frac < half) + ~(frac > mhalf);  // frac is never NaN: >= 0.5, <= -0.5
            const vt o = __builtin_convertvector(t, vt);  // within range: narrowing is exact
            std::memcpy(out + i + u * W, &o, sizeof o);
        }
    }
    float p = *peak;
    uint64_t in_range = 0;
    for (int u = 0; u < U; ++u)
        for (int l = 0; l < W; ++l) {
            p = pk[u][l] > p ? pk[u][l] : p;
            in_range += static_cast<uint32_t>(inside[u][l]);
        }
    *peak = p;
    return (i - in_range) + reference(in + i, m - i, gain, out + i, peak);
}

// ---- per-ISA entry points ------------------------------------------------------------------

template <class T> using kernel_fn = uint64_t (*)(const float *in, uint64_t m, float gain, T *out, float *peak);

// AVX-512F by intrinsics: comparisons straight into lane masks, min and max for the clamp,
// vpmovdw / vpmovdb for the narrowing (GCC's vector extensions round-trip the masks through
// vectors and narrow by packs). The same steps as quantise(), lane by lane.
template <class T> [[gnu::target("avx512f")]]
uint64_t avx512(const float *in, uint64_t m, float gain, T *out, float *peak)
{
    const __m512 g = _mm512_set1_ps(gain), scale = _mm512_set1_ps(kScale<T>);
    const __m512 lo = _mm512_set1_ps(-kScale<T>), hi = _mm512_set1_ps(kScale<T> - 1);
    const __m512 half = _mm512_set1_ps(0.5f), mhalf = _mm512_set1_ps(-0.5f);
    const __m512i one = _mm512_set1_epi32(1);
    __m512 pk[2] = {_mm512_set1_ps(*peak), _mm512_set1_ps(*peak)};
    __m512i inside[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
    uint64_t i = 0;
    for (; i + 32 <= m; i += 32)
        for (int u = 0; u < 2; ++u) {
            const __m512 a = _mm512_mul_ps(_mm512_loadu_ps(in + i + 16 * u), g);
            pk[u] = _mm512_max_ps(_mm512_abs_ps(a), pk[u]);  // NaN (first operand) never wins
            const __m512 q = _mm512_mul_ps(a, scale);
            // min(q, hi) gives hi for NaN; the ordered mask then zeroes the lane.
            const __m512 s = _mm512_maskz_max_ps(_mm512_cmp_ps_mask(q, q, _CMP_ORD_Q), _mm512_min_ps(q, hi), lo);
            inside[u] = _mm512_mask_add_epi32(inside[u], _mm512_cmp_ps_mask(s, q, _CMP_EQ_OQ), inside[u], one);
            __m512i t = _mm512_cvttps_epi32(s);
            const __m512 frac = _mm512_sub_ps(s, _mm512_cvtepi32_ps(t));
            t = _mm512_mask_add_epi32(t, _mm512_cmp_ps_mask(frac, half, _CMP_GE_OQ), t, one);
            t = _mm512_mask_sub_epi32(t, _mm512_cmp_ps_mask(frac, mhalf, _CMP_LE_OQ), t, one);
            if constexpr (sizeof(T) == 2)
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i + 16 * u), _mm512_cvtepi32_epi16(t));
            else
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 16 * u), _mm512_cvtepi32_epi8(t));
        }
    alignas(64) float p[32];
    alignas(64) uint32_t c[32];
    for (int u = 0; u < 2; ++u) {
        _mm512_store_ps(p + 16 * u, pk[u]);
        _mm512_store_si512(c + 16 * u, inside[u]);
    }
    float top = *peak;
    uint64_t in_range = 0;
    for (int l = 0; l < 32; ++l) {
        top = p[l] > top ? p[l] : top;
        in_range += c[l];
    }
    *peak = top;
    return (i - in_range) + reference(in + i, m - i, gain, out + i, peak);
}
template <class T> [[gnu::target("avx2")]]
uint64_t avx2(const float *in, uint64_t m, float gain, T *out, float *peak)
{
    return run<T, 8, 2>(in, m, gain, out, peak);
}
template <class T> uint64_t sse2(const float *in, uint64_t m, float gain, T *out, float *peak)
{
    return run<T, 4, 4>(in, m, gain, out, peak);
}

// Kernels per SIMD level, best first; `level` names what vx_simd_level() reports.
struct Variant {
    const char *level;
    kernel_fn<int16_t> i16;
    kernel_fn<int8_t> i8;
};
inline constexpr Variant VARIANTS[] = {
    {"avx512f", avx512<int16_t>, avx512<int8_t>},
    {"avx2", avx2<int16_t>, avx2<int8_t>},
    {"sse2", sse2<int16_t>, sse2<int8_t>},
};

// The variant for the SIMD level this machine runs at.
inline const Variant &best() { return best_variant(VARIANTS); }

}  // namespace vx::scriba_kernel
