// Float-to-integer kernels: one scalar reference (`element`), one portable vector form
// (`lanes`, GCC vector extensions, cloned per ISA) and an AVX-512 form for the
// single-precision formats. All of them do the same IEEE operations per element, so every
// variant gives the same codes and the same clipped flag; a native test holds each to the
// reference.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vx_base.h"
#include "vx_kernel.hpp"

// Vector values never cross a non-inlined call; GCC 12's AVX-512 conversion intrinsics
// start from an undefined vector it then reports as uninitialised.
#pragma GCC diagnostic ignored "-Wpsabi"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vx::f32_to_int_kernel {

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


inline int32_t bits(float f)
{
    int32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// AVX-512 form of the single-precision formats. max(lo, v) and min(hi, w) return their
// second operand when it is NaN, so a NaN reaches the conversion, which gives 0x80000000:
// every format keeps only the low 8 or 16 bits of that, which are 0, as for the reference.
// The flag comes from running maxima of v's bits: as signed ints they exceed hi's bits
// exactly for v > hi or +NaN; as unsigned ints they exceed lo's bits exactly for v < lo or
// -NaN (lo < 0 < hi for every format).
template <class F>
[[gnu::target("avx512f"), gnu::always_inline]] inline void store16(typename F::out *y, __m512i code)
{
    using Out = typename F::out;
    if constexpr (sizeof(Out) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y), _mm512_cvtepi32_epi8(code));
    } else if constexpr (sizeof(Out) == 2) {
        __m256i c = _mm512_cvtepi32_epi16(code);
        if constexpr (std::is_same_v<Out, uint16_t>)
            c = _mm256_xor_si256(c, _mm256_set1_epi16(static_cast<short>(0x8000)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(y), c);
    } else {
        const __m512i low = _mm512_and_si512(code, _mm512_set1_epi32(0xFFFF));
        if constexpr (sizeof(Out) == 4) {
            _mm512_storeu_si512(y, low);
        } else {
            _mm512_storeu_si512(y, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(low)));
            _mm512_storeu_si512(y + 8, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(low, 1)));
        }
    }
}

template <class F>
[[gnu::target("avx512f")]] uint32_t avx512(const float *x, typename F::out *y, uint64_t n, float scale)
{
    static_assert(std::is_same_v<typename F::work, float>);
    const __m512 s = _mm512_set1_ps(scale), lo = _mm512_set1_ps(F::lo), hi = _mm512_set1_ps(F::hi);
    const __m512i sign = _mm512_set1_epi32(INT32_MIN), half = _mm512_set1_epi32(bits(F::half));
    __m512i smax = _mm512_set1_epi32(INT32_MIN), umax = _mm512_setzero_si512();
    uint64_t i = 0;
    for (; i + LANES <= n; i += LANES) {
        const __m512 v = _mm512_mul_ps(_mm512_loadu_ps(x + i), s);
        smax = _mm512_max_epi32(smax, _mm512_castps_si512(v));
        umax = _mm512_max_epu32(umax, _mm512_castps_si512(v));
        const __m512 w = _mm512_min_ps(hi, _mm512_max_ps(lo, v));
        // (w & sign) | half: the half with w's sign.
        const __m512i h = _mm512_ternarylogic_epi32(_mm512_castps_si512(w), sign, half, 0xEA);
        store16<F>(y + i, _mm512_cvttps_epi32(_mm512_add_ps(w, _mm512_castsi512_ps(h))));
    }
    uint32_t clip = _mm512_reduce_max_epi32(smax) > bits(F::hi) ||
                    static_cast<uint32_t>(_mm512_reduce_max_epu32(umax)) > static_cast<uint32_t>(bits(F::lo));
    for (; i < n; ++i)
        y[i] = element<F>(x[i], scale, clip);
    return clip;
}

// The best variant this machine runs. Called directly, not through vx::best_variant's
// table of pointers: the address of the portable form (an ifunc) taken in this header
// template makes libveltra bind to a test executable's copy, which the loader refuses.
template <class F> uint32_t run(const float *x, typename F::out *y, uint64_t n, typename F::work scale)
{
    if constexpr (std::is_same_v<typename F::work, float>) {
        static const bool wide = std::strcmp(vx_simd_level(), "avx512f") == 0;
        if (wide)
            return avx512<F>(x, y, n, scale);
    }
    return convert<F>(x, y, n, scale);
}

}  // namespace vx::f32_to_int_kernel
